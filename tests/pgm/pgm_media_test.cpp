// Program save and load through the controller's own command interpreter.
#include "link/talk.h"
#include "pgm_fixture.h"

namespace {

constexpr u32 kR1 = 0x400 + 8 * kRegR;

class PgmMediaTest : public PgmTest {
protected:
    // The link is given back: no intercept, no hold of the programming link.
    void ExpectReleased() {
        EXPECT_FALSE(MCMD_Open());
        EXPECT_FALSE(Sci_InterceptOn(0));
        EXPECT_EQ(Vcomm_Lock & 2u, 0u);
    }
};

TEST_F(PgmMediaTest, SaveWritesTheTablesInOrderAndLoadBringsThemBack) {
    StoreProgram(10);
    const Snapshot saved = Take();
    ASSERT_EQ(SavePgm("A:\\AUTOLOAD.PGM"), 0);
    ExpectReleased();
    EXPECT_FALSE(OnCard("PGMSAVE.TMP"));

    std::vector<u8> file = Card("AUTOLOAD.PGM");
    PgmImage img;
    ASSERT_EQ(Pgm_ReadBuffer(file.data(), static_cast<u32>(file.size()), &img), 0);
    EXPECT_EQ(img.header.model, 567);
    EXPECT_EQ(img.header.major, 1);
    EXPECT_EQ(img.header.minor, 60);
    ASSERT_EQ(img.count, 5u);
    const std::vector<u8>* expect[] = {&saved.security, &saved.ladder, &saved.io, &saved.net, &saved.promgr};
    const u16 types[] = {4, 0, 5, 6, 20};
    for (u32 i = 0; i < img.count; ++i) {
        EXPECT_EQ(img.tables[i].type, types[i]);
        EXPECT_EQ(std::vector<u8>(img.TableData(i), img.TableData(i) + img.tables[i].length), *expect[i]) << i;
    }

    StoreProgram(50);
    ASSERT_NE(Take(), saved);
    ASSERT_EQ(PgmMedia_LoadFile("A:\\AUTOLOAD.PGM"), 0);
    ExpectReleased();
    EXPECT_EQ(Take(), saved);
    // Stored on the internal volume too (the network block has a store of
    // its own).
    Nvram_Reset();
    ASSERT_EQ(LoadProgram(), 1);
    Snapshot stored = Take();
    EXPECT_EQ(stored.ladder, saved.ladder);
    EXPECT_EQ(stored.io, saved.io);
    EXPECT_EQ(stored.promgr, saved.promgr);
    EXPECT_EQ(stored.security, saved.security);
}

TEST_F(PgmMediaTest, AProgramWithoutOptionalTablesSavesFourTables) {
    StoreProgram(3, 0);
    ASSERT_EQ(SavePgm("A:\\AUTOLOAD.PGM"), 0);
    std::vector<u8> file = Card("AUTOLOAD.PGM");
    ASSERT_GE(file.size(), kPgmHeaderBytes);
    EXPECT_EQ(GetLe16(&file[4]), 4);
    EXPECT_EQ(GetLe16(&file[6]), kPgmMagic);
}

TEST_F(PgmMediaTest, RefusedFilesChangeNothingAndReleaseTheLink) {
    auto base = [] {
        PgmFileBuilder b;
        b.Version(160).Table(4, PgmFiller(80, 91)).Table(0, LadderWithFeatures(600, 0, 92));
        b.Table(5, PgmFiller(40, 93)).Table(6, PgmFiller(20, 94));
        return b;
    };
    PgmFileBuilder good = base();
    struct Case {
        const char* name;
        std::vector<u8> file;
        i32 code;
    };
    std::vector<Case> cases;
    auto edit = [&](const char* name, i32 code, auto fn) {
        std::vector<u8> f = good.Bytes();
        fn(f);
        cases.push_back({name, f, code});
    };
    edit("wrong magic", kPgmDamaged, [](auto& f) { PgmFileBuilder::SetMagic(f, 1234); });
    edit("81 tables", kPgmDamaged, [](auto& f) { PgmFileBuilder::SetCount(f, 81); });
    edit("flipped byte", kPgmDamaged, [&](auto& f) { PgmFileBuilder::Flip(f, good.DataAt(1) + 7); });
    edit("short table", kPgmDamaged, [&](auto& f) { f.resize(good.DataAt(3) + 5); });
    edit("oversize table", kPgmDamaged, [&](auto& f) { PgmFileBuilder::SetLength(f, good.TableAt(0), 4096); });
    cases.push_back({"other model", base().Model(568).Bytes(), kPgmOtherModel});
    cases.push_back({"newer firmware", base().Version(161).Bytes(), kPgmNewerFirmware});
    cases.push_back({"hostile presets", base().Presets({{kR1, 5, 40}}).Bytes(), kPgmDamaged});

    StoreProgram(10);
    const Snapshot before = Take();
    const u16 r1 = GetLe16(plc_reg + kRegR);
    for (const Case& c : cases) {
        PutCard("DEFAULT.PGM", c.file);
        EXPECT_EQ(PgmMedia_LoadFile("A:\\DEFAULT.PGM"), c.code) << c.name;
        EXPECT_EQ(Take(), before) << c.name;
        EXPECT_EQ(GetLe16(plc_reg + kRegR), r1) << c.name;
        ExpectReleased();
    }
    EXPECT_EQ(PgmMedia_LoadFile("A:\\MISSING.PGM"), kCfNotFound);
    ExpectReleased();
}

TEST_F(PgmMediaTest, SkipsTypes11And9AndWritesPresets) {
    PgmFileBuilder b;
    b.Version(160).Table(4, PgmFiller(80, 1)).Table(0, LadderWithFeatures(600, 0, 2));
    b.Table(5, PgmFiller(40, 3)).Table(6, PgmFiller(20, 4));
    // The controller has no memory areas 11 and 9: a download of either
    // would be refused. A type 9 table is read by its length field whatever
    // its reserved field says.
    b.Table(kPgmTypeSkipped, PgmFiller(33, 5)).Table(kPgmTypeLegacy9, PgmFiller(12, 6));
    b.Presets({{kR1, 0xBEEF, 16}, {kR1 + 16, 0x12, 8}});
    std::vector<u8> file = b.Bytes();
    PgmFileBuilder::SetReserved(file, b.TableAt(5), 0xFFFFFFFF);
    PutCard("DEFAULT.PGM", file);
    ASSERT_EQ(PgmMedia_LoadFile("A:\\DEFAULT.PGM"), 0);
    EXPECT_EQ(GetLe16(plc_reg + kRegR), 0xBEEF);
    EXPECT_EQ(plc_reg[kRegR + 2], 0x12);
    EXPECT_EQ(BlockOf(ladder_bl), LadderWithFeatures(600, 0, 2));
}

TEST_F(PgmMediaTest, LoadWithoutValidationDownloadsNothing) {
    StoreProgram(10);
    const Snapshot before = Take();
    PutCard("DEFAULT.PGM", PgmFileBuilder().Version(160).Table(4, PgmFiller(80, 1)).Bytes());
    u8 id[80];
    ASSERT_EQ(PgmReadIdentity(id), 0);
    EXPECT_EQ(std::vector<u8>(id, id + 80), PgmFiller(80, 10));
    // A failed validation leaves nothing to load.
    EXPECT_EQ(ValidatePgm("A:\\NONE.PGM", id), kCfNotFound);
    EXPECT_EQ(LoadPgm(), kPgmNoAnswer);
    EXPECT_EQ(Take(), before);
    ExpectReleased();
}

int g_rounds = 0;
// The interpreter stops answering after a while.
void GoSilent() {
    PgmRoundMs();
    if (++g_rounds == 2000) Cmd_Override = 1;
}

TEST_F(PgmMediaTest, AFailedSaveKeepsTheOldFile) {
    StoreProgram(10);
    PutCard("AUTOLOAD.PGM", {'o', 'l', 'd'});
    g_rounds = 0;
    mcmdPeers.roundDone = GoSilent;
    EXPECT_EQ(SavePgm("A:\\AUTOLOAD.PGM"), kPgmNoAnswer);
    EXPECT_NE(MCMD_Errno, 0u);
    EXPECT_EQ(Card("AUTOLOAD.PGM"), (std::vector<u8>{'o', 'l', 'd'}));
    EXPECT_FALSE(OnCard("PGMSAVE.TMP"));
    Cmd_Override = 0;
    MCMD_Close();
}

TEST_F(PgmMediaTest, SaveRefusedWhileTheProgramHoldsThePort) {
    StoreProgram(10);
    Talk_SetOpened(0);
    EXPECT_EQ(SavePgm("A:\\AUTOLOAD.PGM"), kPgmPortTaken);
    EXPECT_FALSE(OnCard("AUTOLOAD.PGM"));
    TalkClosed(0);
}

}  // namespace
