// High-speed counters and pulse outputs of the base modules against the
// simulated I/O logic: configuration, PWM and stepper parameters, values
// written once, readings and status bits in the named registers, direct
// drive, counter outputs, stop.
#include <vector>

#include "io/hsc.h"
#include "io_fixture.h"

namespace {

constexpr u32 R(u32 n) { return 0x8000 + 16 * (n - 1); }  // %Rn

class HscTest : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        ASSERT_EQ(spi_init(SpiSetup{2, 0, 5, 2}), 1);
        spi_usage = {2, 4};
    }
    void TearDown() override {
        spi_usage = {0, 0};
        IoTest::TearDown();
    }
    // Row 2 (counters and pulse channels) with the register blocks at %R1
    // (status), %R11 (outputs), %R21 (readings), %R41 (counter parameters),
    // %R71 (pulse parameters), %R91 (pulse status).
    std::vector<u8> Config(u16 mode) {
        std::vector<u8> c = ModeConfig(mode);
        PutLe32(&c[0x4C], 0x11223300);  // counter 1 control and second word
        PutLe32(&c[0x50], 0x0000ABCD);
        PutLe32(&c[0x54], 0x55667700);  // counter 2
        PutLe32(&c[0x58], 0x00001234);
        const u32 refs[6] = {R(1), R(11), R(21), R(41), R(71), R(91)};
        for (int i = 0; i < 6; ++i) PutLe32(&c[0x5C + 4 * i], refs[i]);
        c[0xAC] = 1;                 // clock option
        PutLe16(&c[0xAE], 1000);     // 1 kHz
        return c;
    }
    void SetR(u32 n, u16 v) { ASSERT_EQ(PlcReg_Set(R(n), &v, 16), 1); }
    void SetR32(u32 n, u32 v) {
        SetR(n, static_cast<u16>(v));
        SetR(n + 1, static_cast<u16>(v >> 16));
    }
    u16 GetR(u32 n) {
        u16 v = 0;
        PlcReg_Get(&v, R(n), 16);
        return v;
    }
    void Outputs() {
        u16 aq[12] = {};
        IoPutAQs(reinterpret_cast<u8*>(aq), 0, 0, 12);
    }
    void Inputs() {
        u16 ai[12] = {};
        IoGetAIs(reinterpret_cast<u8*>(ai), 0, 0, 12);
    }
    u32 Reg(u16 r) { return IoModules_LogicRegister(r); }
};

TEST_F(HscTest, ConfigurationProgramsTheLogic) {
    IoModules_SetLogicRegister(0x4C, 0xFFFFFFFF);
    Bring(0, 0xA00F, Config(0x0003 | 0x10 | 0x400 | 0x80));
    EXPECT_EQ(Reg(6), 1u);
    EXPECT_EQ(Reg(7), 24u);  // 25000 / 1000 - 1
    EXPECT_EQ(Reg(0x4C), 0u);  // cleared
    EXPECT_EQ(Reg(0xC2), 0x112233FFu);
    EXPECT_EQ(Reg(0xC6), 0xABCDu);
    EXPECT_EQ(Reg(0xE2), 0x556677FFu);
    EXPECT_EQ(Reg(0x41), 0x11u);
    EXPECT_EQ(Reg(0x81), 0x12u);
    EXPECT_EQ(Reg(4), 0u);  // inverted inputs
    // Counting starts with the first analog input.
    Inputs();
    EXPECT_EQ(Reg(3), 1u);
    EXPECT_EQ(Reg(0xC2), 0x11223300u);
}

struct PulseCase {
    const char* what;
    u32 p[5];
    std::vector<std::pair<u16, u32>> regs;
};

TEST_F(HscTest, PwmAndStepperParameters) {
    const PulseCase cases[] = {
        {"PWM 1 kHz half duty", {16000, 1000, 0, 0, 0}, {{0x44, 4999}, {0x48, 9999}}},
        {"PWM off", {0, 0, 0, 0, 0}, {{0x44, 0}, {0x48, 0}}},
        {"stepper 1000 to 5000 Hz, 100 steps up",
         {1000, 5000, 100, 500, 300},
         {{0x8C, 100}, {0x90, 500}, {0x94, 300}, {0x98, 0xFFFF}, {0x9C, 79}, {0x9A, (300 / (8000 % 300) - 1) | 0x8000},
          {0xA0, 8000 / 300 - 1}, {0x84, 9999}, {0x88, 1999}}},
        {"stepper ramp longer than the period difference",
         {1000, 5000, 16000, 0, 20000},
         {{0x98, 0x7FFF}, {0x9C, 1}, {0x9A, 20000 / (20000 % 8000) - 1}, {0xA0, 1}}},
        {"stepper start not below run", {5000, 5000, 100, 10, 100}, {{0x98, 0}, {0x9C, 0}, {0x9A, 0}, {0xA0, 0}}},
    };
    for (const PulseCase& c : cases) {
        SCOPED_TRACE(c.what);
        IoDriver_Reset();
        IoModules_Reset();
        ASSERT_EQ(spi_init(SpiSetup{2, 0, 5, 2}), 0);
        Bring(0, 0xA00F, Config(0x10 | 0x400));
        bool pwm = c.regs[0].first < 0x80;
        for (int i = 0; i < 5; ++i) SetR32(71 + (pwm ? 0 : 10) + 2 * static_cast<u32>(i), c.p[i]);
        Outputs();
        for (auto [reg, want] : c.regs) EXPECT_EQ(Reg(reg), want) << std::hex << reg;
    }
}

// Counter parameters and pulse parameters go to the logic only when they
// change: a value the logic holds otherwise is not written over.
TEST_F(HscTest, UnchangedValuesAreWrittenOnce) {
    Bring(0, 0xA00F, Config(0x0003 | 0x10));
    SetR32(41 + 6 + 2, 5000);  // counter 2 match 1
    SetR32(71 + 2, 1000);      // PWM 1 kHz
    Outputs();
    EXPECT_EQ(Reg(0xF0), 5000u);
    EXPECT_EQ(Reg(0x48), 9999u);
    IoModules_SetLogicRegister(0xF0, 0xDEAD);
    IoModules_SetLogicRegister(0x48, 0xBEEF);
    Outputs();
    EXPECT_EQ(Reg(0xF0), 0xDEADu);
    EXPECT_EQ(Reg(0x48), 0xBEEFu);
    SetR32(41 + 6 + 2, 5001);
    Outputs();
    EXPECT_EQ(Reg(0xF0), 5001u);
    EXPECT_EQ(Reg(0x48), 0xBEEFu);
}

TEST_F(HscTest, ReadingsAndStatusReachTheRegisters) {
    Bring(0, 0xA00F, Config(0x0003 | 0x400));
    IoModules_SetLogicRegister(0xD8, 0x12345678);
    IoModules_SetLogicRegister(0xDC, 0x00000009);
    IoModules_SetLogicRegister(0xF8, 0xCAFEF00D);
    IoModules_SetLogicRegister(0xCA, 0x5);
    IoModules_SetLogicRegister(0xEA, 0xA);
    IoModules_SetLogicRegister(0x82, 0x2);
    SetR(1, 0xF000);  // bits of the absent counters 3 and 4 are kept
    Inputs();
    EXPECT_EQ(GetR(21), 0x5678);
    EXPECT_EQ(GetR(22), 0x1234);
    EXPECT_EQ(GetR(23), 9);
    EXPECT_EQ(GetR(25), 0xF00D);
    EXPECT_EQ(GetR(26), 0xCAFE);
    u8 di[4] = {};
    IoGetIs(di, 0, 0, 32);
    EXPECT_EQ(GetR(1), 0xF0A5);
    EXPECT_EQ(GetR(91), 0x8);  // channel 2 (stepper) in bits 2-3
    // A block that would run past the register memory is left alone.
    std::vector<u8> c = Config(0x0003);
    PutLe32(&c[0x64], 0x400 + 8 * kPlcRegBytes - 16);
    Bring(0, 0xA00F, c);
    Inputs();
}

TEST_F(HscTest, DirectDriveAndCounterOutputs) {
    Bring(0, 0xA00F, Config(0x0001));  // counter 1 counts; counters 2-4 are outputs
    SetR(11 + 1, 0x1234);
    u8 q[4] = {0x03, 0, 0, 0};
    IoPutQs(q, 0, 0, 32);
    EXPECT_EQ(Reg(0x40), 1u);
    EXPECT_EQ(Reg(0x80), 1u);
    EXPECT_EQ(Reg(0xE0), 0x1234u);
    EXPECT_EQ(Reg(0xC0), 0u);  // counting: not driven
    IoModules_SetLogicRegister(0x40, 7);
    IoPutQs(q, 0, 0, 32);
    EXPECT_EQ(Reg(0x40), 7u);  // unchanged level: not written again
    q[0] = 0;
    IoPutQs(q, 0, 0, 32);
    EXPECT_EQ(Reg(0x40), 0u);
}

// Stop: counting ends, the stepper output drops, and until the next digital
// output the selected pulse parameters come from the configured stop values.
TEST_F(HscTest, StopValuesApply) {
    std::vector<u8> c = Config(0x0003 | 0x10 | 0x400);
    c[0x24] = 0x02;               // channel 1's P1 from its stop value
    PutLe32(&c[0x2C], 2000);      // 2 kHz
    Bring(0, 0xA00F, c);
    SetR32(71 + 2, 1000);
    Inputs();
    u8 q[4] = {};
    IoPutQs(q, 0, 0, 32);
    Outputs();
    EXPECT_EQ(Reg(0x48), 9999u);
    IoModules_SetLogicRegister(0x80, 1);
    IoStop();
    EXPECT_EQ(Reg(3), 0u);
    EXPECT_EQ(Reg(0xC2) & 0xFF, 0u);
    EXPECT_EQ(Reg(0x80), 0u);
    Outputs();
    EXPECT_EQ(Reg(0x48), 4999u);
    IoPutQs(q, 0, 0, 32);
    Outputs();
    EXPECT_EQ(Reg(0x48), 9999u);
    Inputs();
    EXPECT_EQ(Reg(3), 1u);
}

}  // namespace
