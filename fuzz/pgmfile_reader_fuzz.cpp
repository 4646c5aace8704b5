// Feeds random program files to the reader, as they would come from a card:
// whole, and in odd-sized pieces as a slow medium hands them over. The
// reader must never read or store outside its buffers, and a file it
// accepts must hold only tables the controller can take, within their limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/bytes.h"
#include "core/plc_regs.h"
#include "storage/pgmfile.h"

namespace {

struct Trickle {
    const u8* data;
    u32 size;
    u32 pos;
    u32 piece;
};

i32 ReadTrickle(void* ctx, void* out, u32 n, u32* got) {
    auto* t = static_cast<Trickle*>(ctx);
    u32 k = n < t->piece ? n : t->piece;
    if (k > t->size - t->pos) k = t->size - t->pos;
    for (u32 i = 0; i < k; ++i) static_cast<u8*>(out)[i] = t->data[t->pos + i];
    t->pos += k;
    *got = k;
    return 0;
}

void Check(const PgmImage& img) {
    u64 total = 0;
    for (u32 i = 0; i < img.count; ++i) {
        const PgmTable& t = img.tables[i];
        if (t.offset % 2 != 0 || t.length > Pgm_TableLimit(t.type) || t.offset + u64{t.length} > img.data.size())
            std::abort();
        if (t.type == kPgmTypePresets && t.length % kPgmPresetBytes != 0) std::abort();
        total += t.length;
    }
    if (total > kPgmTotalMax || img.count > kPgmMaxTables) std::abort();
}

// Random bytes seldom get past the magic and the CRCs, so the input is also
// read as a recipe for a file with good framing: a table count, then per
// table a type, a length, flags that may spoil its length or its CRC, and
// its data.
std::vector<u8> Recipe(const u8* data, size_t size) {
    static const u16 kTypes[] = {0, 4, 5, 6, 9, 11, 20, 22, 23, 33, 99, 3, 17, 40, 2, 26};
    std::vector<u8> file(kPgmHeaderBytes);
    if (size == 0) return file;
    PgmHeader h;
    h.tableCount = static_cast<u16>(data[0] % 83);
    Pgm_EncodeHeader(h, file.data());
    size_t pos = 1;
    while (pos + 4 <= size) {
        u16 type = kTypes[data[pos] % (sizeof kTypes / sizeof kTypes[0])];
        u32 len = data[pos + 1] | ((data[pos + 2] & 0x3u) << 8);
        u8 flags = data[pos + 3];
        pos += 4;
        if (len > size - pos) len = static_cast<u32>(size - pos);
        size_t at = file.size();
        Pgm_AppendTable(file, type, data + pos, len);
        if (flags & 1) PutLe32(&file[at + 8], len + (flags >> 4));
        if (flags & 2) file[file.size() - 1] ^= 0x5A;
        if (flags & 4) PutLe32(&file[at + 4], 0xFFFFFFFFu);
        pos += len;
    }
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    {
        std::vector<u8> built = Recipe(data, size);
        PgmImage img;
        if (Pgm_ReadBuffer(built.data(), static_cast<u32>(built.size()), &img) == 0) Check(img);
    }
    PgmImage img;
    if (Pgm_ReadBuffer(data, static_cast<u32>(size), &img) == 0) Check(img);
    PgmImage again;
    Trickle t{data, static_cast<u32>(size), 0, size ? 1u + data[0] % 7u : 1u};
    i32 a = Pgm_Read(ReadTrickle, &t, &again);
    i32 b = Pgm_ReadBuffer(data, static_cast<u32>(size), &img);
    if (a != b) std::abort();  // the pieces a medium hands over change nothing
    if (a == 0) Check(again);
    return 0;
}
