// The real executable runs a program with a screen switch, an alarm list
// with six-register stamps, a clock set on the first scan and a literal
// text: the program, the configuration and a register image that resumes
// run mode are put into a fresh root, the controller runs a few main-loop
// passes, the power-fail signal ends it, and the register image written at
// power-down shows the screens, the alarm words, the stamp and the text.
#include <ctime>
#include <filesystem>
#include <string>

#include "platform/rtcdev.h"
#include "tests/ladder/ladder_fixture.h"
#include "tests/ladder/ladder_system.h"

namespace {

class PanelSystem : public ::testing::TestWithParam<LadderWidth> {};

TEST_P(PanelSystem, ScreensAlarmsClockAndTextSeenFromOutside) {
    TempRoot root;
    const u32 arr = lreg::R(50), stamps = lreg::R(60), clockRec = lreg::R(20), text = lreg::R(80);
    const u32 keys[4] = {lreg::R(3), lreg::R(3) + 1, lreg::R(3) + 2, lreg::R(3) + 3};
    const u32 on = lreg::R(1) + 15, clockSet = lreg::R(2), firstScan = lreg::S(1);
    const u16 rec[7] = {9, 8, 7, 6, 5, 2035, 1};  // 2035-05-06 07:08:09

    LadderBuilder p(GetParam());
    p.Contl(on).Op("SCRSWITCH", {4});
    p.Contl(firstScan).Op("RTCSET", {clockRec}).Set(clockSet);
    p.Contl(firstScan).Not().Out(arr + 16 + 8);  // alarm 1's condition from the second scan on
    p.Contl(on).Raw(41).Raw(2).Raw(30).Raw(2).Operand(LOpd::kWordPlain, arr).Operand(LOpd::kWordPlain, stamps);
    for (u32 k : keys) p.Operand(LOpd::kBit, k);
    p.Pop();
    p.Raw(183).Raw(11).Operand(LOpd::kByte, text).Text("alarm panel");
    p.End();
    std::vector<std::pair<u32, u16>> words = {{WordOf(lreg::R(1)), 0x8000}};
    for (u32 k = 0; k < 7; ++k) words.push_back({WordOf(clockRec) + k, rec[k]});
    const std::time_t hostBefore = std::time(nullptr);
    // Enough passes for several scans (a pass that serves the network
    // without a scan due counts too): the alarm has entered the list and
    // been shown before the power fails.
    std::string log;
    const std::vector<u8> image = RunLadderUntilPowerDown(root, p, words, 30, &log);
    ASSERT_EQ(image.size(), kPlcRegBytes);
    const u8* regs = image.data();
    auto word = [regs](u32 bitAddress, u32 k = 0) { return GetLe16(regs + 2 * (WordOf(bitAddress) + k)); };
    auto sr = [regs](int n) { return GetLe16(regs + 2 * (127 + n)); };
    EXPECT_EQ(sr(5), 2) << "still in run mode\n" << log;
    EXPECT_EQ(sr(4) & 0x100, 0) << "no program fault";

    EXPECT_EQ(sr(1), 4) << "switch screen";
    EXPECT_EQ(sr(2), 31) << "alarm 1's screen (S - 1 + 1) forced, plus one";
    EXPECT_EQ(word(arr, 0), 0xC000) << "one alarm in the list, not acknowledged";
    EXPECT_EQ(word(arr, 1), 0x0301) << "alarm 1: condition, in the list, count 1";

    // The clock was set on the first scan; the alarm entered later, so its
    // stamp holds the controller's new time, and the host clock was left alone.
    EXPECT_EQ(word(clockSet) & 1, 1) << "RTCSET took the record";
    EXPECT_TRUE(std::filesystem::exists(root.Path(kRtcOffsetFile)));
    EXPECT_EQ(word(stamps, 6 + 5), 2035);
    EXPECT_EQ(word(stamps, 6 + 4), 5);
    EXPECT_EQ(word(stamps, 6 + 3), 6);
    EXPECT_EQ(word(stamps, 6 + 2), 7);
    EXPECT_EQ(word(stamps, 6 + 1), 8);
    EXPECT_GE(word(stamps, 6), 9);
    EXPECT_LT(word(stamps, 6), 40);
    for (u32 k = 0; k < 6; ++k) EXPECT_EQ(word(stamps, k), 0) << "alarm 0 never entered";
    const std::time_t hostAfter = std::time(nullptr);
    EXPECT_GE(hostAfter, hostBefore);
    EXPECT_LT(hostAfter - hostBefore, 120) << "the host clock was not moved";

    const u32 textByte = 2 * WordOf(text);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(regs + textByte), 11), "alarm panel");
}

INSTANTIATE_TEST_SUITE_P(Widths, PanelSystem, ::testing::Values(LadderWidth::k16, LadderWidth::k32), WidthName);

}  // namespace
