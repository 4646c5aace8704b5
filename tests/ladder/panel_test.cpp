// Screens, alarm lists, the controller clock, the node number and the
// serial-port sub-operation, run through the interpreter in both token
// widths over scripted scans.
#include <ctime>
#include <filesystem>
#include <vector>

#include "core/plc.h"
#include "core/plc_regs.h"
#include "core/wiring.h"
#include "iec/kernel/q4rtclk.h"
#include "io/canopen.h"
#include "platform/clock.h"
#include "platform/rtclock.h"
#include "platform/rtcdev.h"
#include "tests/ladder/ladder_fixture.h"
#include "testsupport/temp_root.h"

namespace {

constexpr u16 kAlmList = 41, kTalkIec = 394, kAlmListX = 528;

class Panel : public LadderTest {
protected:
    void SetSr(int n, u16 v) { SR_Put(n, v); }
};

// ---- Screens --------------------------------------------------------------

// One scan of the screen program: inputs, registers the panel may have
// changed before it (-1: untouched), and SR1, SR2 and the two tests after it.
struct ScreenStep {
    const char* what;
    bool a, b, c;
    int sr1, sr2, sr3;
    u16 wantSr1, wantSr2;
    bool test7, test3;
};

const ScreenStep kScreenSteps[] = {
    {"two forces: the last TRUE one wins", true, true, true, -1, -1, -1, 4, 8, true, false},
    {"no force: tests see SR2 - 1 and SR1 - 1", false, false, false, -1, -1, -1, 4, 0, true, true},
    {"a force hides SR1 and SR2 from the tests", true, false, false, 4, 8, -1, 4, 6, false, false},
    {"switch from 0 to 4 writes SR1", false, false, true, 0, -1, -1, 4, 0, false, false},
    {"the same switch again does not write SR1", false, false, true, 9, -1, -1, 9, 0, false, false},
    {"a switch to 0 is remembered, not written", false, false, false, 9, -1, -1, 9, 0, false, false},
    {"so 4 is written again afterwards", false, false, true, -1, -1, -1, 4, 0, false, false},
    {"SR3 blocks every screen test", false, false, false, 4, 8, 1, 4, 0, false, false},
};

TEST_P(Panel, ScreensPublishedAtEnd) {
    LadderBuilder p = Prog();
    p.Contl(kA).Op("SCRFORCE", {5});
    p.Contl(kB).Op("SCRFORCE", {7});
    p.Contl(kC).Op("SCRSWITCH", {4});
    p.Op("SCRTEST", {7}).Out(kY0);
    p.Op("SCRTEST", {3}).Out(kY1);
    // SR1 or SR2 at 0 name no screen: 0 - 1 is not screen 65535.
    p.Op("SCRTEST", {0xFFFF}).Out(kY2);
    p.End();
    Load(p);
    for (const ScreenStep& s : kScreenSteps) {
        SCOPED_TRACE(s.what);
        SetRegBit(kA, s.a);
        SetRegBit(kB, s.b);
        SetRegBit(kC, s.c);
        if (s.sr1 >= 0) SetSr(1, static_cast<u16>(s.sr1));
        if (s.sr2 >= 0) SetSr(2, static_cast<u16>(s.sr2));
        SetSr(3, static_cast<u16>(s.sr3 >= 0 ? s.sr3 : 0));
        ASSERT_EQ(Scan(), kLadderEnd);
        EXPECT_EQ(SR_Get(1), s.wantSr1);
        EXPECT_EQ(SR_Get(2), s.wantSr2);
        EXPECT_EQ(RegBit(kY0), s.test7);
        EXPECT_EQ(RegBit(kY1), s.test3);
        EXPECT_FALSE(RegBit(kY2));
    }
}

// ---- Alarm lists ----------------------------------------------------------

constexpr u32 kEnable = kA;
constexpr u32 kKeys[4] = {lreg::R(3), lreg::R(3) + 1, lreg::R(3) + 2, lreg::R(3) + 3};  // next, prev, remove, ack
constexpr u8 kNext = 1, kPrev = 2, kRemove = 4, kAck = 8;
constexpr u32 kArr = lreg::R(50), kStamps = lreg::R(60), kPair = lreg::R(40);
constexpr u16 kFirstScreen = 10;  // S: alarm i shows screen 9 + i, SR2 = 10 + i

u32 Word(u32 base, u32 i) { return base + 16 * i; }

// The list instruction under test: ALMLIST with stamp mode 0, 1 or 2, or
// ALMLISTX (no stamps), both with N = 3, S = 10 and the keys above.
enum class Form { kMode0, kMode1, kMode2, kX };

void EmitList(LadderBuilder& p, Form f, u16 n, u16 s, u32 arr, u32 stamps, const u32* keys, u32 pair) {
    if (f == Form::kX) {
        p.Raw(kAlmListX).Raw(n).Raw(s).Raw(0).Raw(static_cast<u16>((pair - 0x400) >> 4))
            .Raw(static_cast<u16>((pair - 0x400) >> 4) + 2);
        for (int k = 0; k < 4; ++k) p.Raw(static_cast<u16>(keys[k]));
        return;
    }
    const u16 mode = f == Form::kMode0 ? 0 : f == Form::kMode1 ? 1 : 2;
    p.Raw(kAlmList).Raw(n).Raw(s).Raw(mode).Operand(LOpd::kWordPlain, arr).Operand(LOpd::kWordPlain, stamps);
    for (int k = 0; k < 4; ++k) p.Operand(LOpd::kBit, keys[k]);
}

struct AlarmStep {
    bool enable;
    u8 conditions;  // alarms whose condition bit the program holds
    u8 keys;
    u16 sr2;
    bool checkWords;
    u16 w[3];
    i8 stampedAt[3];  // step whose clock each alarm's stamp holds (-1: none)
    u8 leave = 0;     // alarms the program takes out of the list (bit 9) before the scan
};

struct AlarmScenario {
    const char* name;
    u16 preset[3];
    std::vector<AlarmStep> steps;
};

const AlarmScenario kScenarios[] = {
    {"enter, acknowledge, remove, enter again",
     {0, 0, 0},
     {
         // The display looks at the list before this scan's entries.
         {true, 0b010, 0, 0, true, {0xC000, 0x0301, 0}, {-1, 0, -1}},
         {true, 0b010, 0, 11, true, {0xC000, 0x0301, 0}, {-1, 0, -1}},
         {true, 0b010, kRemove, 11, true, {0xC000, 0x0301, 0}, {-1, 0, -1}},  // not acknowledged: stays
         {true, 0b010, kAck, 11, true, {0x8000, 0x0701, 0}, {-1, 0, -1}},
         // Removed while the condition holds: it enters again, count 2, new stamp.
         {true, 0b010, kRemove, 0, true, {0xC000, 0x0302, 0}, {-1, 4, -1}},
         {true, 0b010, 0, 11, true, {0xC000, 0x0302, 0}, {-1, 4, -1}},
         {true, 0b000, kAck, 11, true, {0x8000, 0x0602, 0}, {-1, 4, -1}},
         {true, 0b000, kRemove, 0, true, {0x0000, 0x0002, 0}, {-1, 4, -1}},
         // A FALSE rung forces no screen but still updates the words.
         {false, 0b101, 0, 0, true, {0xC301, 0x0002, 0x0301}, {8, 4, 8}},
         {true, 0b101, 0, 10, true, {0xC301, 0x0002, 0x0301}, {8, 4, 8}},
     }},
    {"next and previous step once per press",
     {0, 0, 0x00FF},  // a count at 255 stays there
     {
         {true, 0b111, 0, 0, true, {0xC301, 0x0301, 0x03FF}, {0, 0, 0}},
         {true, 0b111, 0, 10, false, {}, {}},
         {true, 0b111, kNext, 11, false, {}, {}},
         {true, 0b111, kNext, 11, false, {}, {}},
         {true, 0b111, kNext, 11, false, {}, {}},
         {true, 0b111, 0, 11, false, {}, {}},
         {true, 0b111, kNext, 12, false, {}, {}},
         {true, 0b111, 0, 12, false, {}, {}},
         {true, 0b111, kNext, 12, false, {}, {}},  // the last stays
         {true, 0b111, kPrev, 11, false, {}, {}},
         {true, 0b111, kPrev, 11, false, {}, {}},
         {true, 0b111, 0, 11, false, {}, {}},
         {true, 0b111, kPrev, 10, false, {}, {}},
         {true, 0b111, 0, 10, false, {}, {}},
         {true, 0b111, kPrev, 10, false, {}, {}},  // the first stays
         // Acknowledge and remove act on the alarm shown.
         {true, 0b111, kNext, 11, false, {}, {}},
         {true, 0b101, kAck, 11, true, {0xC301, 0x0601, 0x03FF}, {0, 0, 0}},
         {true, 0b101, kRemove, 10, true, {0xC301, 0x0001, 0x03FF}, {0, 0, 0}},
     }},
    {"the alarm shown leaves the list: removed without a key",
     {0, 0, 0},
     {
         {true, 0b011, 0, 0, true, {0xC301, 0x0301, 0}, {0, 0, -1}},
         {true, 0b011, 0, 10, false, {}, {}},
         {true, 0b010, 0, 11, true, {0xC001, 0x0301, 0}, {0, 0, -1}, 0b001},
         {true, 0b010, 0, 11, true, {0xC001, 0x0301, 0}, {0, 0, -1}},
     }},
};

class PanelAlarms : public LadderBase, public ::testing::TestWithParam<std::tuple<LadderWidth, Form>> {};

TEST_P(PanelAlarms, ScriptedScans) {
    const auto [width, form] = GetParam();
    for (const AlarmScenario& sc : kScenarios) {
        SCOPED_TRACE(sc.name);
        std::fill(plc_reg, plc_reg + kPlcRegBytes, 0);
        Ladder_Reset();
        LadderBuilder p(width);
        p.Contl(kEnable);
        EmitList(p, form, 3, kFirstScreen, kArr, kStamps, kKeys, kPair);
        p.Pop().End();
        Load(p);
        SetRegWord(kPair, static_cast<u16>(kArr));
        SetRegWord(kPair + 16, static_cast<u16>(kArr >> 16));
        for (u32 i = 0; i < 3; ++i) SetRegWord(Word(kArr, i), sc.preset[i]);
        const u32 stampRegs = form == Form::kMode1 ? 3 : form == Form::kMode2 ? 6 : 0;
        for (size_t k = 0; k < sc.steps.size(); ++k) {
            const AlarmStep& s = sc.steps[k];
            SCOPED_TRACE("step " + std::to_string(k));
            for (int r = 0; r < 6; ++r) SR_Put(44 + r, static_cast<u16>(0x100 * (k + 1) + r));
            for (u32 i = 0; i < 3; ++i) {
                u16 w = static_cast<u16>(RegWord(Word(kArr, i)) & ~((s.leave >> i) & 1 ? 0x300 : 0x100));
                SetRegWord(Word(kArr, i), static_cast<u16>(w | ((s.conditions >> i) & 1 ? 0x100 : 0)));
            }
            for (int key = 0; key < 4; ++key) SetRegBit(kKeys[key], (s.keys >> key) & 1);
            SetRegBit(kEnable, s.enable);
            ASSERT_EQ(Scan(), kLadderEnd);
            EXPECT_EQ(SR_Get(2), s.sr2);
            if (!s.checkWords) continue;
            for (u32 i = 0; i < 3; ++i) {
                EXPECT_EQ(RegWord(Word(kArr, i)), s.w[i]) << "alarm " << i;
                for (u32 r = 0; r < 6; ++r) {
                    const u16 got = RegWord(Word(kStamps, i * (stampRegs ? stampRegs : 6) + r));
                    const bool stamped = r < stampRegs && s.stampedAt[i] >= 0;
                    const u16 want = stamped ? static_cast<u16>(0x100 * (s.stampedAt[i] + 1) + r) : 0;
                    if (r < stampRegs || stampRegs == 0) {
                        EXPECT_EQ(got, want) << "alarm " << i << " stamp " << r;
                    }
                }
            }
        }
    }
}

std::string AlarmName(const ::testing::TestParamInfo<std::tuple<LadderWidth, Form>>& info) {
    static const char* kForms[] = {"NoStamps", "Stamps3", "Stamps6", "X"};
    return std::string(std::get<0>(info.param) == LadderWidth::k16 ? "Tok16" : "Tok32") +
           kForms[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Forms, PanelAlarms,
                         ::testing::Combine(::testing::Values(LadderWidth::k16, LadderWidth::k32),
                                            ::testing::Values(Form::kMode0, Form::kMode1, Form::kMode2, Form::kX)),
                         AlarmName);

// Two lists in one program keep their own place: the second list's next key
// sticks although the first list runs before it in every scan.
TEST_P(Panel, SeveralListsKeepTheirOwnPlace) {
    const u32 arrB = lreg::R(70), keysB[4] = {lreg::R(4), lreg::R(4) + 1, lreg::R(4) + 2, lreg::R(4) + 3};
    LadderBuilder p = Prog();
    p.Contl(kA);
    EmitList(p, Form::kMode0, 3, 10, kArr, kStamps, kKeys, kPair);
    p.Pop().Contl(kB);
    EmitList(p, Form::kMode0, 2, 20, arrB, kStamps, keysB, kPair);
    p.Pop().End();
    Load(p);
    SetRegWord(Word(kArr, 0), 0x100);
    SetRegWord(Word(kArr, 1), 0x100);
    SetRegWord(Word(arrB, 0), 0x100);
    SetRegWord(Word(arrB, 1), 0x100);
    SetRegBit(kA, true);
    SetRegBit(kB, true);
    ASSERT_EQ(Scan(), kLadderEnd);
    ASSERT_EQ(Scan(), kLadderEnd);
    EXPECT_EQ(SR_Get(2), 20) << "the second list's first alarm";
    SetRegBit(keysB[0], true);
    ASSERT_EQ(Scan(), kLadderEnd);
    SetRegBit(keysB[0], false);
    for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(Scan(), kLadderEnd);
        EXPECT_EQ(SR_Get(2), 21) << "scan " << k;
    }
    SetRegBit(kKeys[0], true);  // the first list steps on, unseen
    ASSERT_EQ(Scan(), kLadderEnd);
    SetRegBit(kB, false);
    ASSERT_EQ(Scan(), kLadderEnd);
    EXPECT_EQ(SR_Get(2), 11) << "the first list kept its own place";
    SetRegBit(kB, true);
    ASSERT_EQ(Scan(), kLadderEnd);
    EXPECT_EQ(SR_Get(2), 20) << "a list shown again starts at its first alarm";
}

// A new program whose list stands where the old program's list stood does
// not inherit a place beyond its own alarms.
TEST_P(Panel, ShorterListAfterADownloadStartsAtItsFirstAlarm) {
    for (u16 n : {4, 2}) {
        LadderBuilder p = Prog();
        p.Contl(kA);
        EmitList(p, Form::kMode0, n, kFirstScreen, kArr, kStamps, kKeys, kPair);
        p.Pop().End();
        Load(p);
        for (u32 i = 0; i < 4; ++i) SetRegWord(Word(kArr, i), 0x100);
        SetRegBit(kA, true);
        ASSERT_EQ(Scan(), kLadderEnd);
        ASSERT_EQ(Scan(), kLadderEnd);
        if (n == 4) {
            for (int k = 0; k < 3; ++k) {
                SetRegBit(kKeys[0], true);
                ASSERT_EQ(Scan(), kLadderEnd);
                SetRegBit(kKeys[0], false);
                ASSERT_EQ(Scan(), kLadderEnd);
            }
            EXPECT_EQ(SR_Get(2), 13) << "the old list shows its fourth alarm";
        } else {
            EXPECT_EQ(SR_Get(2), 10);
        }
    }
}

// ALMLISTX finds its array through registers; whatever it finds there is
// checked, and a list it cannot reach does nothing.
TEST_P(Panel, ListThroughRegistersOutsideTheMemoryDoesNothing) {
    struct Case {
        const char* what;
        u32 pairWord;  // register-word index of the pair
        u32 target;    // bit address the pair holds
    };
    const u32 lastWord = kPlcRegBytes / 2 - 1;
    const Case cases[] = {
        {"pair beyond the memory", 0xFFFF, kArr},
        {"pair on the last word", lastWord, kArr},
        {"array below the memory", (kPair - 0x400) >> 4, 0x3FF},
        {"array runs past the end", (kPair - 0x400) >> 4, 0x400 + 16 * (lastWord - 1)},
        {"array far beyond", (kPair - 0x400) >> 4, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LadderBuilder p = Prog();
        p.Contl(kA).Raw(kAlmListX).Raw(3).Raw(kFirstScreen).Raw(0).Raw(static_cast<u16>(c.pairWord)).Raw(0);
        for (u32 k : kKeys) p.Raw(static_cast<u16>(k));
        p.Out(kY0).End();
        Load(p);
        SetRegWord(kPair, static_cast<u16>(c.target));
        SetRegWord(kPair + 16, static_cast<u16>(c.target >> 16));
        PutLe16(&plc_reg[2 * lastWord], 0x0100);
        PutLe16(&plc_reg[2 * (lastWord - 1)], 0x0100);
        SetRegBit(kA, true);
        ASSERT_EQ(Scan(), kLadderEnd);
        ASSERT_EQ(Scan(), kLadderEnd);
        EXPECT_EQ(SR_Get(2), 0);
        EXPECT_TRUE(RegBit(kY0)) << "the rung value is left alone";
        EXPECT_EQ(GetLe16(&plc_reg[2 * lastWord]), 0x0100) << "nothing written";
        EXPECT_EQ(GetLe16(&plc_reg[2 * (lastWord - 1)]), 0x0100);
    }
}

// Lists whose literals or arrays cannot work are refused when loaded.
TEST_P(Panel, AlarmListsRefusedAtLoad) {
    struct Case {
        const char* what;
        Form form;
        u16 n, s;
        u32 arr, stamps;
        bool tok32Only;
        LadderCheckStatus want;
    };
    const u32 lastWord = kPlcRegBytes / 2 - 1;
    const u32 last = lreg::Word(lastWord);
    const Case cases[] = {
        {"largest list", Form::kMode2, 510, 1, kArr, kStamps, false, LadderCheckStatus::kOk},
        {"screen 511 needed", Form::kMode0, 511, 1, kArr, kStamps, false, LadderCheckStatus::kBadLiteral},
        {"screens 500-511", Form::kMode0, 12, 500, kArr, kStamps, false, LadderCheckStatus::kBadLiteral},
        {"first screen 0", Form::kMode0, 1, 0, kArr, kStamps, false, LadderCheckStatus::kBadLiteral},
        {"X: screen 511 needed", Form::kX, 2, 510, kArr, kStamps, false, LadderCheckStatus::kBadLiteral},
        {"X: first screen 0", Form::kX, 2, 0, kArr, kStamps, false, LadderCheckStatus::kBadLiteral},
        {"array ends on the last word", Form::kMode0, 2, 1, last - 16, kStamps, true, LadderCheckStatus::kOk},
        {"array past the end", Form::kMode0, 3, 1, last - 16, kStamps, true, LadderCheckStatus::kBadOperand},
        {"3-register stamps fit", Form::kMode1, 2, 1, kArr, last - 16 * 5, true, LadderCheckStatus::kOk},
        {"6-register stamps do not", Form::kMode2, 2, 1, kArr, last - 16 * 5, true,
         LadderCheckStatus::kBadOperand},
        {"no stamps: table not checked", Form::kMode0, 2, 1, kArr, 0x400 + 16 * 60000, true,
         LadderCheckStatus::kOk},
    };
    for (const Case& c : cases) {
        if (c.tok32Only && GetParam() == LadderWidth::k16) continue;
        SCOPED_TRACE(c.what);
        LadderBuilder p = Prog();
        p.Contl(kA);
        EmitList(p, c.form, c.n, c.s, c.arr, c.stamps, kKeys, kPair);
        p.Pop().End();
        const std::vector<u16> w = p.Words();
        const LadderCheckResult r = LadderCheck_Words(w.data(), static_cast<u32>(w.size()), p.Tok16());
        EXPECT_EQ(r.status, c.want) << LadderCheck_Text(r.status);
        if (c.want != LadderCheckStatus::kOk) {
            EXPECT_EQ(r.offset, p.Tok16() ? 2u : 3u);
        }
    }
}

// In 16-bit programs the two word operands are plain tokens: 1776 names a
// register there, not a far bank, and the instruction keeps its length.
class PanelTok16 : public LadderBase, public ::testing::Test {};

TEST_F(PanelTok16, AlarmListWordsArePlainTokens) {
    LadderBuilder p(LadderWidth::k16);
    p.Contl(kA).Raw(kAlmList).Raw(1).Raw(1).Raw(0).Raw(1776).Raw(1776);
    for (u32 k : kKeys) p.Operand(LOpd::kBit, k);
    p.Pop().End();
    p.Load();
    S_Put(1, true);
    const u32 word = (1776 - 0x400) >> 4;
    PutLe16(&plc_reg[2 * word], 0x0100);
    SetRegBit(kA, true);
    ASSERT_EQ(Ladder_Scan(ladder), kLadderEnd) << LadderCheck_Text(Ladder_LastCheck().status);
    EXPECT_EQ(GetLe16(&plc_reg[2 * word]), 0xC301);
}

// ---- Controller clock -----------------------------------------------------

class PanelClock : public Panel {
protected:
    PanelClock() {
        RtcDev_SetMissing(false);
        Rtc_Reset();
    }
    ~PanelClock() override { Rtc_Reset(); }
    TempRoot root;
};

TEST_P(PanelClock, SetsTheControllerClockNotTheHost) {
    struct Case {
        const char* what;
        bool pointer;
        bool rung;
        u16 rec[7];
        u32 where;  // pointer form: byte offset the pair holds
        bool set;
    };
    const u32 recByte = 2 * ((lreg::R(30) - 0x400) >> 4);
    const u32 endByte = kPlcRegBytes - 14;  // the record ends on the memory's last byte
    const u16 good[7] = {30, 20, 10, 15, 6, 2030, 7};
    const Case cases[] = {
        {"RTCSET valid", false, true, {30, 20, 10, 15, 6, 2030, 7}, 0, true},
        {"RTCSET February 30", false, true, {0, 0, 0, 30, 2, 2030, 1}, 0, false},
        {"RTCSET hour 24", false, true, {0, 0, 24, 1, 1, 2030, 1}, 0, false},
        {"RTCSET FALSE rung", false, false, {30, 20, 10, 15, 6, 2030, 7}, 0, false},
        {"RTCSETP valid", true, true, {30, 20, 10, 15, 6, 2030, 7}, recByte + 1, true},
        {"RTCSETP at the memory's end", true, true, {30, 20, 10, 15, 6, 2030, 7}, endByte, true},
        {"RTCSETP one byte past", true, true, {}, endByte + 1, false},
        {"RTCSETP far outside", true, true, {}, 0xFFFFFFF8u, false},
        {"RTCSETP month 13", true, true, {0, 0, 0, 1, 13, 2030, 1}, recByte, false},
        {"RTCSETP FALSE rung", true, false, {30, 20, 10, 15, 6, 2030, 7}, recByte, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(root.Path(kRtcOffsetFile));
        Rtc_Reset();
        const i64 hostBefore = Clock_UtcNs();
        const std::time_t realBefore = std::time(nullptr);
        LadderBuilder p = Prog();
        p.Contl(kA).Op(c.pointer ? "RTCSETP" : "RTCSET", {lreg::R(c.pointer ? 40 : 30)}).Out(kY0);
        p.Contl(kA).Not().Out(kY1);  // the instruction after runs in every case
        p.End();
        Load(p);
        std::fill(plc_reg + recByte, plc_reg + recByte + 16, 0);
        u8* rec = c.pointer ? (c.where <= endByte ? plc_reg + c.where : nullptr) : plc_reg + recByte;
        if (rec != nullptr)
            for (int k = 0; k < 7; ++k) PutLe16(rec + 2 * k, c.rec[k]);
        SetRegWord(lreg::R(40), static_cast<u16>(c.where));
        SetRegWord(lreg::R(41), static_cast<u16>(c.where >> 16));
        SetRegBit(kA, c.rung);
        ASSERT_EQ(Scan(), kLadderEnd);
        EXPECT_EQ(RegBit(kY0), c.set);
        EXPECT_EQ(RegBit(kY1), !c.rung);
        EXPECT_EQ(Clock_UtcNs(), hostBefore) << "the host clock is never set";
        EXPECT_LT(std::time(nullptr) - realBefore, 60);
        EXPECT_EQ(std::filesystem::exists(root.Path(kRtcOffsetFile)), c.set);
        if (c.set) {
            EXPECT_NE(RtcDev_OffsetSeconds(), 0);
            RTCTime t{};
            RtcGet(&t);
            EXPECT_EQ(t.year, good[5]);
            EXPECT_EQ(t.month, good[4]);
            EXPECT_EQ(t.day, good[3]);
            EXPECT_EQ(t.hour, good[2]);
            EXPECT_EQ(t.minute, good[1]);
            EXPECT_EQ(t.second, good[0]);
        }
    }
}

TEST_P(PanelClock, MovesTheIecRuntimeClockWithTheControllers) {
    // The IEC runtime reads the controller's clock: after RTCSET its local
    // date and time are the controller's, and its UTC is that less the zone
    // and daylight saving of ESR18 and ESR19.
    struct Case {
        const char* what;
        i16 zoneMinutes;
        u16 daylight;
        u16 rec[7];  // second, minute, hour, day, month, year, day of week
        u32 utcDate, utcMs;
    };
    const Case cases[] = {
        {"no zone", 0, 0, {30, 20, 10, 15, 6, 2030, 7}, 0x07EE060Fu, (10 * 3600 + 20 * 60 + 30) * 1000u},
        {"east, across midnight", 120, 0, {5, 0, 1, 1, 1, 2031, 4}, 0x07EE0C1Fu, (23 * 3600 + 5) * 1000u},
        {"west with daylight saving", -300, 1, {0, 30, 22, 28, 2, 2029, 4}, 0x07ED0301u, (2 * 3600 + 30 * 60) * 1000u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(root.Path(kRtcOffsetFile));
        Rtc_Reset();
        ESR_Put(18, static_cast<u16>(c.zoneMinutes));
        ESR_Put(19, c.daylight);
        u32 dateBefore = 0;
        Q4RtClk_GetCurDateTimeStamp(1, &dateBefore, nullptr, nullptr);
        LadderBuilder p = Prog();
        p.Contl(kA).Op("RTCSET", {lreg::R(30)}).Out(kY0);
        p.End();
        Load(p);
        const u32 recByte = 2 * ((lreg::R(30) - 0x400) >> 4);
        for (int k = 0; k < 7; ++k) PutLe16(plc_reg + recByte + 2 * k, c.rec[k]);
        SetRegBit(kA, true);
        ASSERT_EQ(Scan(), kLadderEnd);
        ASSERT_TRUE(RegBit(kY0));
        RTCTime controller{};
        RtcGet(&controller);
        u32 date = 0, ms = 0, daylight = 9;
        Q4RtClk_GetCurDateTimeStamp(1, &date, &ms, &daylight);
        EXPECT_NE(date, dateBefore);
        EXPECT_EQ(date, Q4DateStamp(controller.year, controller.month, controller.day));
        EXPECT_EQ(ms / 1000, (controller.hour * 3600u + controller.minute * 60u + controller.second));
        EXPECT_EQ(date, Q4DateStamp(c.rec[5], c.rec[4], c.rec[3]));
        EXPECT_EQ(ms / 1000, (c.rec[2] * 3600u + c.rec[1] * 60u + c.rec[0]));
        EXPECT_EQ(daylight, c.daylight);
        EXPECT_EQ(Q4RtClk_GetCurDateStamp(), date);
        Q4RtClk_GetCurDateTimeStamp(0, &date, &ms, nullptr);
        EXPECT_EQ(date, c.utcDate);
        EXPECT_EQ(ms / 1000, c.utcMs / 1000);
        ESR_Put(18, 0);
        ESR_Put(19, 0);
    }
}

// ---- Node number ----------------------------------------------------------

// Network restarts the controller asked for, with the last start record;
// while one lives, scanPeers.startCanOpen records instead of restarting.
struct NetworkRestarts {
    static inline int count = 0;
    static inline CanOpenNetStart last{};
    NetworkRestarts() {
        Reset();
        scanPeers.startCanOpen = [](const CanOpenNetStart* start) {
            count++;
            last = *start;
        };
    }
    ~NetworkRestarts() { Wiring_Connect(); }
    static void Reset() {
        count = 0;
        last = CanOpenNetStart{};
    }
};

TEST_P(Panel, NodeNumber) {
    struct Case {
        const char* what;
        bool rung;
        u32 operand;  // literal up to 1024, else a register holding `reg`
        u16 reg;
        u16 sr61;
        u16 sr29Before;
        bool ok;
        u16 sr29After;
        int restarts;
    };
    const u32 reg = lreg::R(30);
    const Case cases[] = {
        {"0 refused", true, 0, 0, 1, 7, false, 7, 0},
        {"127 with one id", true, 127, 0, 1, 7, true, 127, 1},
        {"128 with one id refused", true, 128, 0, 1, 7, false, 7, 0},
        {"118 with ten ids", true, 118, 0, 10, 7, true, 118, 1},
        {"119 with ten ids refused", true, 119, 0, 10, 7, false, 7, 0},
        {"literal 1024 refused", true, 1024, 0, 1, 7, false, 7, 0},
        {"same number: no restart", true, 7, 0, 1, 7, true, 7, 0},
        {"from a register", true, reg, 5, 1, 7, true, 5, 1},
        {"register 0xFFFF is no node", true, reg, 0xFFFF, 1, 7, false, 7, 0},
        {"more ids than numbers", true, 1, 0, 200, 7, false, 7, 0},
        {"FALSE rung", false, 5, 0, 1, 7, false, 7, 0},
    };
    NetworkRestarts restarts;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LadderBuilder p = Prog();
        p.Contl(kA).Op("NODEID", {c.operand}).Out(kY0).End();
        Load(p);
        SetRegWord(reg, c.reg);
        SR_Put(61, c.sr61);
        SR_Put(29, c.sr29Before);
        SetRegBit(kA, c.rung);
        NetworkRestarts::Reset();
        ASSERT_EQ(Scan(), kLadderEnd);
        EXPECT_EQ(RegBit(kY0), c.ok);
        EXPECT_EQ(SR_Get(29), c.sr29After);
        EXPECT_EQ(NetworkRestarts::count, c.restarts);
        // Repeated every scan, the network restarts only once per change.
        ASSERT_EQ(Scan(), kLadderEnd);
        ASSERT_EQ(Scan(), kLadderEnd);
        EXPECT_EQ(RegBit(kY0), c.ok);
        EXPECT_EQ(NetworkRestarts::count, c.restarts);
        if (c.restarts) {
            EXPECT_EQ(NetworkRestarts::last.nodeId, c.sr29After);
        }
    }
}

// ---- Serial-port sub-operation -------------------------------------------

TEST_P(Panel, TalkSubOperations) {
    const u32 kProgress = lreg::R(21);
    for (u16 sub : {0, 1, 2, 3, 4, 0xFFFF}) {
        SCOPED_TRACE(sub);
        // A TRUE skips the instruction; FALSE runs it.
        LadderBuilder p = Prog();
        LadderLabel end = p.NewLabel();
        p.Contl(kA).Jmp(end);
        // The instruction works on the rung value.
        p.Contl(kOn).Raw(kTalkIec).Raw(sub);
        if (sub <= 3) {
            // A send or receive on port 1, which no program opened: it
            // reports idle.
            p.Raw(1).Operand(LOpd::kLitOrReg, 4).Operand(LOpd::kWord, lreg::R(30)).Operand(LOpd::kWord, kProgress);
        }
        p.Out(kY1).Contl(kOn).Out(kY0);
        p.Bind(end).End();
        Load(p);
        SetRegBit(kA, false);
        SetRegWord(kProgress, 7);
        const i32 r = Scan();
        EXPECT_TRUE(Ladder_LastCheck().Ok()) << LadderCheck_Text(Ladder_LastCheck().status);
        EXPECT_EQ(r, kLadderEnd);
        EXPECT_TRUE(RegBit(kY0)) << "the instruction consumed exactly its words";
        EXPECT_EQ(RegBit(kY1), sub > 3) << "other sub-operations leave the rung as it was";
        if (sub <= 3) {
            EXPECT_EQ(RegWord(kProgress), 0xFFFF);
        }
    }
}

LADDER_BOTH_WIDTHS(Panel);
LADDER_BOTH_WIDTHS(PanelClock);

}  // namespace
