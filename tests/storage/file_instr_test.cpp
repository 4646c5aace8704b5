#include <cstring>
#include <string>

#include "core/plc_regs.h"
#include "file_fixture.h"
#include "ladder/ladder_operand.h"
#include "ladder/pid.h"
#include "platform/cmdrun.h"

using namespace frec;

namespace {

constexpr u32 kStatus = lreg::R(1000);  // status block: R1000-R1002
constexpr u32 kStatus2 = lreg::R(1010);

Transfer Write(const std::string& name, u32 data, u32 count, u16 type = 5) {
    Transfer t;
    t.op = kFileOpWrite;
    t.options = 0x10;     // line ends after the last value
    t.mode = 1;
    t.data = data;
    t.type = type;
    t.count = count;
    t.status = kStatus;
    t.name = Inline(name);
    return t;
}
Transfer Read(const std::string& name, u32 data, u32 count, u16 type = 5) {
    Transfer t;
    t.op = kFileOpRead;
    t.data = data;
    t.type = type;
    t.count = count;
    t.status = kStatus;
    t.name = Inline(name);
    return t;
}

}  // namespace

// Write registers to a CSV file and read them back elsewhere, with each of
// the three name forms.
TEST_F(FileInstrTest, WriteAndReadBackWithEachNameForm) {
    for (u16 i = 0; i < 10; ++i) SetWord(lreg::R(1), static_cast<u16>(1000 + 7 * i - 30), i);
    // Form 0: a string block (length in the high byte of the first word).
    const u32 block = lreg::R(500);
    SetWord(block, static_cast<u16>(std::strlen("A:\\DATA2.CSV") << 8));
    std::memcpy(plc_reg + (lreg::R(501) - 0x400) / 8, "A:\\DATA2.CSV", 12);
    // Register form: NUL-ended text from the register on.
    const u32 text = lreg::R(600);
    SetText(text, "A:\\DATA3.CSV");
    struct Case {
        Name name;
        const char* file;
    } cases[] = {{Inline("A:\\DATA.CSV"), "/mnt/USB0/DATA.CSV"},
                 {Block(block), "/mnt/USB0/DATA2.CSV"},
                 {Register(text), "/mnt/USB0/DATA3.CSV"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Transfer w = Write("", lreg::R(1), 10);
        w.name = c.name;
        const Words& wr = Keep(Make(w));
        EXPECT_EQ(Finish(wr, kStatus), 0);
        EXPECT_EQ(Word(kStatus, 1), 10);
        EXPECT_EQ(Get(c.file), "970,977,984,991,998,1005,1012,1019,1026,1033\r\n");
        Exec(wr, 0);
        EXPECT_EQ(static_cast<i16>(Word(kStatus)), kFileDisabled);

        std::memset(plc_reg + (lreg::R(101) - 0x400) / 8, 0, 40);
        Transfer r = Read("", lreg::R(101), 10);
        r.name = c.name;
        const Words& rd = Keep(Make(r));
        EXPECT_EQ(Finish(rd, kStatus), 0);
        EXPECT_EQ(Word(kStatus, 1), 10);
        for (u16 i = 0; i < 10; ++i) EXPECT_EQ(Word(lreg::R(101), i), Word(lreg::R(1), i));
        EXPECT_EQ(Word(lreg::R(111)), 0);  // nothing past the count
        Exec(rd, 0);
    }
}

// The common protocol: -4 while disabled, one operation per FALSE-to-TRUE
// transition, -3 for a second instruction while the first owns the channel.
TEST_F(FileInstrTest, OneOperationPerEnableAndChannelOwner) {
    // Append or create, line end after the last value: each operation adds
    // a line.
    Transfer w = Write("A:\\LOG.CSV", lreg::R(1), 2);
    w.options = 0x12;
    const Words& app = Keep(Make(w));
    SetWord(lreg::R(1), 5);
    SetWord(lreg::R(2), 6);

    EXPECT_EQ(Exec(app, 0), 0);
    EXPECT_EQ(static_cast<i16>(Word(kStatus)), kFileDisabled);
    EXPECT_EQ(Finish(app, kStatus), 0);
    EXPECT_EQ(Exec(app, 1), 1);  // power stays TRUE: the result stays, nothing runs
    for (int i = 0; i < 5; ++i) step_.Pass();
    EXPECT_EQ(Exec(app, 1), 1);
    EXPECT_EQ(Get("/mnt/USB0/LOG.CSV"), "5,6\r\n");

    // A second instruction gets -3 while the first owns the channel.
    Transfer other = Read("A:\\LOG.CSV", lreg::R(50), 2);
    other.status = kStatus2;
    const Words& rd = Keep(Make(other));
    EXPECT_EQ(Exec(rd, 1), 0);
    EXPECT_EQ(static_cast<i16>(Word(kStatus2)), kFileBusy);
    Exec(app, 0);
    EXPECT_EQ(static_cast<i16>(Word(kStatus)), kFileDisabled);
    EXPECT_EQ(Finish(rd, kStatus2), 0);
    EXPECT_EQ(Word(lreg::R(50)), 5);
    Exec(rd, 0);

    // FALSE then TRUE again: a second line.
    EXPECT_EQ(Finish(app, kStatus), 0);
    EXPECT_EQ(Get("/mnt/USB0/LOG.CSV"), "5,6\r\n5,6\r\n");
}

// Sizes and areas: refused with 86 before anything is posted.
TEST_F(FileInstrTest, TransferSizeAndAreaChecks) {
    Put("/mnt/USB0/BIG.CSV", "1,2,3\r\n");
    const u32 lastWord = 0x400 + (kPlcRegBytes - 2) * 8;  // last register word
    struct Case {
        const char* what;
        Transfer t;
        bool accepted;
    };
    auto rd = [](u32 data, u32 count, u16 type = 5) { return Read("A:\\BIG.CSV", data, count, type); };
    Transfer byColumnEnd = rd(lastWord - 16 * 9, 0);  // 10 words of room
    byColumnEnd.second = 0x80000000u | (0u << 16);    // by column, rows 0..0
    byColumnEnd.count = 0;                            // points 0: up to 600 values
    Transfer byColumnRoom = byColumnEnd;
    byColumnRoom.data = lreg::R(1);
    Transfer wrapCount = rd(lreg::R(1), 0x80000001u, 3);  // 32 bits x count wraps in 32 bits
    Transfer byOffset = rd(lreg::R(20), 1);
    byOffset.options = 0x80;  // R20/R21 hold a byte offset
    Transfer badType = rd(lreg::R(1), 1, 9);
    Transfer bitTwo = rd(lreg::R(1), 2, 2);
    Transfer writeEnd = Write("A:\\W.CSV", lastWord, 2);
    Transfer channel1 = rd(lreg::R(1), 1);
    channel1.channel = 1;
    Case cases[] = {
        {"4096 16-bit elements", rd(lreg::R(1), 4096), true},
        {"4097 16-bit elements", rd(lreg::R(1), 4097), false},
        {"into %SR", rd(lreg::SR(1), 1), false},
        {"into %S", rd(lreg::S(1), 1), false},
        {"into %IG", rd(0x400, 1), true},
        {"below the register memory", rd(0x200, 1), false},
        {"count times width wraps", wrapCount, false},
        {"byte offset wraps 1024 + 8 x offset", byOffset, false},
        {"type outside the width table", badType, false},
        {"two bits through one byte", bitTwo, false},
        {"by column into a small destination", byColumnEnd, false},
        {"by column with room for 600 values", byColumnRoom, true},
        {"write past the register memory", writeEnd, false},
        {"a channel other than 0", channel1, false},
    };
    // R20/R21: 0x20000000 -> 8 x offset = 2^32, which would wrap to 1024 (%IG).
    SetWord(lreg::R(20), 0x0000);
    SetWord(lreg::R(21), 0x2000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        File_Init(0);
        const Words& rec = Keep(Make(c.t));
        Exec(rec, 1);
        i16 st = static_cast<i16>(Word(kStatus));
        if (c.accepted)
            EXPECT_EQ(st, kFileRunning);
        else
            EXPECT_EQ(st, kFileInvalid);
        // Nothing posted for a refused one; drain an accepted one.
        EXPECT_EQ(dpram[kDpramFile] != dpram[kDpramFile + 1], c.accepted);
        for (int i = 0; i < 20 && dpram[kDpramFile] != dpram[kDpramFile + 1]; ++i) step_.Pass();
        Exec(rec, 0);
    }
}

// A by-column read that answers more values than the count word would
// suggest stays inside the destination it was checked for.
TEST_F(FileInstrTest, ByColumnReadStaysInItsDestination) {
    std::string csv;
    for (int i = 0; i < 700; ++i) csv += std::to_string(i) + ",9\r\n";
    Put("/mnt/USB0/COL.CSV", csv);
    Transfer t = Read("A:\\COL.CSV", lreg::R(1), 3u << 16);  // count word: column 0, points 3
    t.second = 0x80000000u | (699u << 16);
    const Words& rec = Keep(Make(t));
    SetWord(lreg::R(4), 0xBEEF);
    EXPECT_EQ(Finish(rec, kStatus), 0);
    EXPECT_EQ(Word(lreg::R(1)), 0);
    EXPECT_EQ(Word(lreg::R(3)), 699);
    EXPECT_EQ(Word(lreg::R(4)), 0xBEEF);
}

// A bit travels through one byte.
TEST_F(FileInstrTest, SingleBitWriteAndRead) {
    plc_reg[kRegR + 0] = 0x04;  // bit 2 of R1
    const Words& wr = Keep(Make(Write("A:\\BIT.CSV", lreg::R(1) + 2, 1, 2)));
    EXPECT_EQ(Finish(wr, kStatus), 0);
    EXPECT_EQ(Get("/mnt/USB0/BIT.CSV"), "1\r\n");
    Exec(wr, 0);
    const Words& rd = Keep(Make(Read("A:\\BIT.CSV", lreg::R(2) + 5, 1, 2)));
    EXPECT_EQ(Finish(rd, kStatus), 0);
    EXPECT_EQ(plc_reg[kRegR + 2], 0x20);
    EXPECT_EQ(plc_reg[kRegR + 3], 0);
}

TEST_F(FileInstrTest, RenameAndFormatThroughTheMailbox) {
    Put("/mnt/USB0/OLD.CSV", "1\r\n");
    const Words& rn = Keep(Rename(kStatus, Inline("A:\\OLD.CSV"), Inline("A:\\NEW.CSV")));
    EXPECT_EQ(Finish(rn, kStatus), 0);
    EXPECT_TRUE(Exists("/mnt/USB0/NEW.CSV"));
    EXPECT_FALSE(Exists("/mnt/USB0/OLD.CSV"));
    Exec(rn, 0);

    Put("/mnt/USB1/X.CSV", "1");
    const Words& fmtB = Keep(Format(1, kStatus));
    EXPECT_EQ(Exec(fmtB, 1), 0);
    EXPECT_EQ(fmtB.size(), 4u);
    i16 st = Finish(fmtB, kStatus);
    EXPECT_NE(st, kFileRunning);
    EXPECT_FALSE(Exists("/mnt/USB1/X.CSV"));
    EXPECT_TRUE(Exists("/mnt/USB0/NEW.CSV"));
    Exec(fmtB, 0);
    // The internal volume is no channel of these instructions.
    const Words& fmtZ = Keep(Format(2, kStatus));
    Exec(fmtZ, 1);
    EXPECT_EQ(static_cast<i16>(Word(kStatus)), kFileInvalid);
    EXPECT_EQ(dpram[kDpramFile], dpram[kDpramFile + 1]);
}

TEST_F(FileInstrTest, RecordWriteThenReadByIndex) {
    // Two fields: three 16-bit values and one 32-bit value: 10 bytes.
    std::vector<Field> fields{{5, 3, "V"}, {3, 1, "D"}};
    SetWord(lreg::R(1), 11);
    SetWord(lreg::R(2), 12);
    SetWord(lreg::R(3), 13);
    SetWord(lreg::R(4), 0x5678);
    SetWord(lreg::R(5), 0x0001);
    const Words& wr = Keep(Record(true, lreg::R(1), kStatus, 0, 10, fields, "A:\\REC.CSV"));
    EXPECT_EQ(Finish(wr, kStatus), 0);
    Exec(wr, 0);
    SetWord(lreg::R(1), 21);
    EXPECT_EQ(Finish(wr, kStatus), 0);
    Exec(wr, 0);
    std::string text = Get("/mnt/USB0/REC.CSV");
    ASSERT_NE(text, "<missing>");

    EXPECT_EQ(text, "V[0],V[1],V[2],D\r\n11,12,13,87672\r\n21,12,13,87672\r\n");

    // Reads go record by record; the rewind bit starts over, here after the
    // header row.
    const u32 rewind = lreg::R(40);
    plc_reg[(rewind - 0x400) / 8] |= 1;
    const Words& rd = Keep(Record(false, lreg::R(100), kStatus, rewind, 10, fields, "A:\\REC.CSV", 1));
    EXPECT_EQ(Finish(rd, kStatus), 0) << text;
    EXPECT_EQ(Word(lreg::R(100)), 11);
    EXPECT_EQ(Word(kStatus, 2), 2);
    Exec(rd, 0);
    EXPECT_EQ(Finish(rd, kStatus), 0);
    EXPECT_EQ(Word(lreg::R(100)), 21);
    EXPECT_EQ(Word(lreg::R(103)), 0x5678);
    EXPECT_EQ(Word(lreg::R(104)), 0x0001);
    Exec(rd, 0);
    plc_reg[(rewind - 0x400) / 8] |= 1;
    EXPECT_EQ(Finish(rd, kStatus), 0);
    EXPECT_EQ(Word(lreg::R(100)), 11);
    EXPECT_EQ(plc_reg[(rewind - 0x400) / 8] & 1, 0);
}

// Records that run past the code, or claim more fields than they hold, are
// refused by the words function the program checker uses.
TEST_F(FileInstrTest, WordsOfMalformedRecords) {
    Words copy = Copy(kStatus, Inline("B:\\A.CSV"), Inline("A:\\B.CSV"));
    EXPECT_EQ(File_Words(copy.data(), static_cast<u32>(copy.size())), copy.size());
    EXPECT_EQ(File_Words(copy.data(), static_cast<u32>(copy.size() - 1)), 0u);
    Words noNul = Delete(kStatus, Inline("A:\\X"));
    for (size_t i = 6; i < noNul.size(); ++i) noNul[i] = 0x4141;
    EXPECT_EQ(File_Words(noNul.data(), static_cast<u32>(noNul.size())), 0u);
    Words reg = Delete(kStatus, Register(lreg::R(5)));
    EXPECT_EQ(File_Words(reg.data(), static_cast<u32>(reg.size())), 6u);  // register form: no name words
    Words rec = Record(false, lreg::R(1), kStatus, 0, 4, {{5, 2}}, "A:\\R.CSV");
    EXPECT_EQ(File_Words(rec.data(), static_cast<u32>(rec.size())), rec.size());
    Words tooMany = rec;
    tooMany[12] = 1000;  // fields beyond the record
    EXPECT_EQ(File_Words(tooMany.data(), static_cast<u32>(tooMany.size())), 0u);
    Words longer = rec;
    longer[18] = static_cast<u16>(rec.size() * 2 + 2);  // size beyond the code
    EXPECT_EQ(File_Words(longer.data(), static_cast<u32>(longer.size())), 0u);
    EXPECT_EQ(File_Words(Format(0, kStatus).data(), 4), 4u);
    ASSERT_NE(File_FindRow(kFileOpCopy), nullptr);
    EXPECT_EQ(File_FindRow(kFileOpCopy)->words(copy.data() + 1, static_cast<u32>(copy.size() - 1), false),
              copy.size() - 1);
    EXPECT_EQ(File_FindRow(247), nullptr);
}

TEST(FileNameMatch, Patterns) {
    struct {
        const char* pattern;
        const char* name;
        int match;
    } cases[] = {
        {"*.CSV", "DATA.CSV", 1}, {"*.CSV", ".CSV", 1},      {"*.CSV", "DATA.CSVX", 0}, {"D?TA*", "DATA", 1},
        {"D?TA*", "DTA", 0},      {"*A*B*", "XAYBZ", 1},     {"*A*B*", "XBYA", 0},      {"ABC", "abc", 0},
        {"*", "", 1},             {"?", "", 0},              {"**?", "Q", 1},
    };
    for (const auto& c : cases) EXPECT_EQ(TestForMatchingFilename(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}

// The instruction routine form reads its record from the word before ip
// and leaves ip after it, whatever the token width.
TEST_F(FileInstrTest, RoutineFormInAProgram) {
    LadderBuilder b(LadderWidth::k16);
    b.Raw(1);
    u32 at = b.Here();
    Emit(b, Delete(kStatus, Inline("A:\\NONE.CSV")));
    b.Raw(9);
    std::vector<u16> code = b.Words();
    u32 ip = at + 1;
    EXPECT_EQ(File_Instruction(code.data(), ip, 1, true), 0);
    EXPECT_EQ(code[ip], 9);
    EXPECT_EQ(static_cast<i16>(Word(kStatus)), kFileNotFound);
}
