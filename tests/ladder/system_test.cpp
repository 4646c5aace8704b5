// The real executable runs a program written with the builder; its power-down
// register image shows what the program did.
#include "tests/ladder/ladder_fixture.h"
#include "tests/ladder/ladder_system.h"

namespace {

class LadderSystem : public ::testing::TestWithParam<LadderWidth> {};

TEST_P(LadderSystem, ControllerRunsTheStoredProgram) {
    TempRoot root;
    const u32 flag = lreg::R(100), masked = lreg::R(101), mask = lreg::R(102), step = lreg::R(110);
    LadderBuilder p(GetParam());
    LadderLabel done = p.NewLabel();
    p.Contl(lreg::R(1)).Not().Out(flag);                 // R100.0 = NOT R1.0
    p.Contl(lreg::R(1) + 15).MaskW(masked, mask);        // R101 |= R102 while R1.15
    p.Step(step, done, done, done, done).Bind(done).End();
    std::string log;
    const std::vector<u8> image =
        RunLadderUntilPowerDown(root, p,
                                {{WordOf(lreg::R(1)), 0x8000}, {WordOf(masked), 0x0001}, {WordOf(mask), 0x1234},
                                 {WordOf(step), 2}},
                                2, &log);
    ASSERT_EQ(image.size(), kPlcRegBytes);
    const u8* regs = image.data();
    auto word = [regs](u32 bitAddress) { return GetLe16(regs + 2 * WordOf(bitAddress)); };
    EXPECT_EQ(GetLe16(regs + 2 * (127 + 5)), 2) << "still in run mode\n" << log;
    EXPECT_EQ(GetLe16(regs + 2 * (127 + 4)) & 0x100, 0) << "no program fault";
    EXPECT_EQ(word(flag) & 1, 1);
    EXPECT_EQ(word(masked), 0x1235);
    EXPECT_EQ(word(step), 1) << "STEP moved from state 2 to 1";
    EXPECT_NE(GetLe32(regs + 2 * (127 + 149)), 0u) << "scan time stamp";
}

INSTANTIATE_TEST_SUITE_P(Widths, LadderSystem, ::testing::Values(LadderWidth::k16, LadderWidth::k32), WidthName);

}  // namespace
