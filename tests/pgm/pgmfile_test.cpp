// The program-file reader: good files come back table by table; every kind
// of damage is refused with its code.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "storage/pgmfile.h"
#include "testsupport/pgmfile_builder.h"

namespace {

PgmFileBuilder Typical() {
    PgmFileBuilder b;
    b.Table(4, PgmFiller(80, 1)).Table(0, PgmFiller(1001, 2)).Table(5, PgmFiller(64, 3)).Table(6, PgmFiller(30, 4));
    return b;
}

TEST(PgmFileReader, ReadsEveryTableOnAnEvenOffsetWithTheIdentity) {
    PgmFileBuilder b = Typical();
    b.Table(kPgmTypeSkipped, PgmFiller(7, 5)).Presets({{0x400, 0x1234, 16}});
    std::vector<u8> file = b.Bytes();
    PgmImage img;
    ASSERT_EQ(Pgm_ReadBuffer(file.data(), static_cast<u32>(file.size()), &img), 0);
    ASSERT_EQ(img.count, 6u);
    const u16 types[] = {4, 0, 5, 6, 11, 99};
    const std::vector<u8> datas[] = {PgmFiller(80, 1), PgmFiller(1001, 2), PgmFiller(64, 3), PgmFiller(30, 4),
                                     PgmFiller(7, 5), PgmPresetBytes({{0x400, 0x1234, 16}})};
    for (u32 i = 0; i < img.count; ++i) {
        EXPECT_EQ(img.tables[i].type, types[i]);
        EXPECT_EQ(img.tables[i].offset % 2, 0u) << i;
        ASSERT_EQ(img.tables[i].length, datas[i].size());
        EXPECT_EQ(std::memcmp(img.TableData(i), datas[i].data(), datas[i].size()), 0) << i;
    }
    EXPECT_EQ(std::memcmp(img.identity, datas[0].data(), 80), 0);
    EXPECT_EQ(img.header.model, 567);
}

// Each damage is made on a good file; the reader must refuse it with the code.
TEST(PgmFileReader, RefusesDamagedFiles) {
    PgmFileBuilder b = Typical();
    const std::vector<u8> good = b.Bytes();
    struct Case {
        const char* name;
        std::function<void(std::vector<u8>&)> damage;
        i32 code;
    };
    const Case cases[] = {
        {"wrong magic", [](auto& f) { PgmFileBuilder::SetMagic(f, 7835); }, kPgmDamaged},
        {"81 tables", [](auto& f) { PgmFileBuilder::SetCount(f, 81); }, kPgmDamaged},
        {"more tables announced than present", [](auto& f) { PgmFileBuilder::SetCount(f, 5); }, kPgmDamaged},
        {"short header", [](auto& f) { f.resize(83); }, kPgmDamaged},
        {"empty file", [](auto& f) { f.clear(); }, kPgmDamaged},
        {"flipped data byte", [&](auto& f) { PgmFileBuilder::Flip(f, b.DataAt(1) + 500); }, kPgmDamaged},
        {"flipped CRC", [&](auto& f) { PgmFileBuilder::Flip(f, b.DataAt(1) + 1001); }, kPgmDamaged},
        {"cut inside a table", [&](auto& f) { f.resize(b.DataAt(1) + 10); }, kPgmDamaged},
        {"cut before the CRC", [&](auto& f) { f.resize(b.DataAt(3) + 30 + 1); }, kPgmDamaged},
        {"length beyond the data", [&](auto& f) { PgmFileBuilder::SetLength(f, b.TableAt(3), 31); }, kPgmDamaged},
        {"security table larger than its area", [&](auto& f) { PgmFileBuilder::SetLength(f, b.TableAt(0), 81); },
         kPgmDamaged},
        {"ladder larger than the program block",
         [&](auto& f) { PgmFileBuilder::SetLength(f, b.TableAt(1), kLadderCapacity + 2); }, kPgmDamaged},
        {"type the controller cannot take", [&](auto& f) { PutLe16(&f[b.TableAt(2)], 17); }, kPgmDamaged},
        {"type beyond the areas", [&](auto& f) { PutLe16(&f[b.TableAt(2)], 40); }, kPgmDamaged},
    };
    for (const Case& c : cases) {
        std::vector<u8> f = good;
        c.damage(f);
        PgmImage img;
        EXPECT_EQ(Pgm_ReadBuffer(f.data(), static_cast<u32>(f.size()), &img), c.code) << c.name;
    }
}

TEST(PgmFileReader, PresetsMustBeWholeRecordsWithAUsableBitCount) {
    struct Case {
        std::vector<u8> table;
        i32 code;
    };
    std::vector<u8> ragged = PgmPresetBytes({{0x400, 1, 16}});
    ragged.push_back(0);
    const Case cases[] = {
        {PgmPresetBytes({{0x400, 1, 1}, {0x410, 0xFFFFFFFF, 32}}), 0},
        {ragged, kPgmDamaged},
        // More than 32 bits would take value bytes from beyond the record;
        // 0 bits would clear the whole register memory.
        {PgmPresetBytes({{0x400, 1, 16}, {0x400, 1, 33}}), kPgmDamaged},
        {PgmPresetBytes({{0x400, 1, 0}}), kPgmDamaged},
    };
    for (const Case& c : cases) {
        std::vector<u8> f = Typical().Table(kPgmTypePresets, c.table).Bytes();
        PgmImage img;
        EXPECT_EQ(Pgm_ReadBuffer(f.data(), static_cast<u32>(f.size()), &img), c.code) << c.table.size();
    }
}

TEST(PgmFileReader, EveryTableTheControllerSavesFitsItsLimit) {
    EXPECT_GE(Pgm_TableLimit(0), kLadderCapacity);
    EXPECT_GE(Pgm_TableLimit(33), kMqttCapacity);  // MQTT tables are stored up to 8 MB
    EXPECT_GE(Pgm_TableLimit(20), kPromgrCapacity);
    EXPECT_EQ(Pgm_TableLimit(4), kSecurityTableMax);
    EXPECT_EQ(Pgm_TableLimit(11), 4194304u);
    u64 all = 0;
    for (u16 t : {4, 0, 5, 6, 20, 21, 22, 23, 33}) all += Pgm_TableLimit(t);
    EXPECT_LE(all, kPgmTotalMax);
}

// A source that makes zero-filled type 11 tables of 4 MB without holding them.
struct ZeroTables {
    u32 count;
    std::vector<u8> bytes;  // header, then one table's header
    u64 pos = 0;
    u16 crc;
};

TEST(PgmFileReader, RefusesTablesTooLargeTogether) {
    constexpr u32 kTable = 4194304;
    std::vector<u8> zeros(kTable, 0);
    ZeroTables src{7, std::vector<u8>(kPgmHeaderBytes), 0, crc16(zeros.data(), kTable)};
    PgmHeader h;
    h.tableCount = 7;
    Pgm_EncodeHeader(h, src.bytes.data());
    auto read = [](void* ctx, void* out, u32 n, u32* got) -> i32 {
        auto* s = static_cast<ZeroTables*>(ctx);
        const u64 per = kPgmTableHeaderBytes + kTable + 2;
        u8* o = static_cast<u8*>(out);
        for (u32 i = 0; i < n; ++i, ++s->pos) {
            if (s->pos < kPgmHeaderBytes) {
                o[i] = s->bytes[s->pos];
                continue;
            }
            u64 in = (s->pos - kPgmHeaderBytes) % per;
            u8 th[kPgmTableHeaderBytes];
            Pgm_EncodeTableHeader(kPgmTypeSkipped, kTable, th);
            if (in < kPgmTableHeaderBytes)
                o[i] = th[in];
            else if (in < kPgmTableHeaderBytes + kTable)
                o[i] = 0;
            else
                o[i] = static_cast<u8>(s->crc >> (8 * (in - kPgmTableHeaderBytes - kTable)));
        }
        *got = n;
        return 0;
    };
    PgmImage img;
    EXPECT_EQ(Pgm_Read(read, &src, &img), kPgmTooLarge);
    EXPECT_EQ(img.count, 6u);
}

TEST(PgmFileReader, PassesOnTheSourcesReadError) {
    auto read = [](void*, void*, u32, u32* got) -> i32 {
        *got = 0;
        return 5;
    };
    PgmImage img;
    EXPECT_EQ(Pgm_Read(read, nullptr, &img), 5);
}

}  // namespace
