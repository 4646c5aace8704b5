// The flow instruction on register values, operand decoding and power flow.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "core/plc_regs.h"
#include "ladder/flow_fun.h"
#include "testsupport/reg_fixture.h"

namespace {

// Bit addresses of registers: one-word tokens reach the first 4,032
// registers; 1776 and 1777 the next banks.
constexpr u32 Reg(u32 word) { return 0x400 + 16 * word; }
constexpr u32 kIn = Reg(2000), kOut = Reg(2200);
constexpr u32 kFarIn = Reg(4100), kFarOut = Reg(8200);  // escapes 1776 and 1777

void PutReal(u32 at, float v) {
    u8 b[4];
    u32 w;
    std::memcpy(&w, &v, 4);
    PutLe32(b, w);
    ASSERT_EQ(PlcReg_Set(at, b, 32), 1);
}
float GetReal(u32 at) {
    u8 b[4];
    EXPECT_EQ(PlcReg_Get(b, at, 32), 1);
    const u32 w = GetLe32(b);
    float v;
    std::memcpy(&v, &w, 4);
    return v;
}
void PutLreal(u32 at, double v) {
    u64 w;
    std::memcpy(&w, &v, 8);
    u8 b[4];
    PutLe32(b, static_cast<u32>(w >> 32));
    ASSERT_EQ(PlcReg_Set(at, b, 32), 1);
    PutLe32(b, static_cast<u32>(w));
    ASSERT_EQ(PlcReg_Set(at + 32, b, 32), 1);
}
double GetLreal(u32 at) {
    u8 hi[4], lo[4];
    EXPECT_EQ(PlcReg_Get(hi, at, 32), 1);
    EXPECT_EQ(PlcReg_Get(lo, at + 32, 32), 1);
    const u64 w = (u64{GetLe32(hi)} << 32) | GetLe32(lo);
    double v;
    std::memcpy(&v, &w, 8);
    return v;
}
void PutLreals(u32 at, const std::vector<double>& v) {
    for (size_t i = 0; i < v.size(); ++i) PutLreal(at + 64 * static_cast<u32>(i), v[i]);
}

void Token(std::vector<u16>& code, u32 address) {
    if (address >= 0x20000) {
        code.push_back(1777);
        code.push_back(static_cast<u16>(address - 0x20000));
    } else if (address >= 0x10000) {
        code.push_back(1776);
        code.push_back(static_cast<u16>(address - 0x10000));
    } else {
        code.push_back(static_cast<u16>(address));
    }
}

// Operand words of each sub-operation: tokens (T) and words (W) in order.
std::vector<u16> Program(u16 op, u32 in, u32 out, std::vector<u16> words) {
    std::vector<u16> code{op};
    auto w = [&](size_t i) { code.push_back(i < words.size() ? words[i] : 0); };
    switch (op) {
    case 0: Token(code, in); w(0); w(1); Token(code, out); break;
    case 1: w(0); Token(code, in); w(1); w(2); Token(code, out); break;
    case 2:
    case 3: Token(code, in); Token(code, out); break;
    case 4:
    case 5:
    case 6: Token(code, in); w(0); w(1); Token(code, out); break;
    case 7: Token(code, in); w(0); Token(code, out); break;
    default: break;
    }
    code.push_back(0xEEEE);  // the next instruction
    return code;
}

// Runs the program; checks the cursor stops on the next instruction.
u8 RunFlow(const std::vector<u16>& code, u8 flow = 1) {
    const u16* ip = code.data();
    const u8 r = Flow_Funs(&ip, flow);
    EXPECT_EQ(*ip, 0xEEEE);
    EXPECT_EQ(Flow_OperandWords(code.data(), static_cast<u32>(code.size())), code.size() - 1);
    return r;
}

class Flow : public ::testing::Test {
protected:
    RegFixture regs;
};

// Crude-oil coefficients (K0 = 341.0957, K1 = K2 = 0).
const std::vector<double> kCrude = {341.0957, 0, 0};

TEST_F(Flow, TemperatureScale) {
    PutLreal(kIn, 60.0);
    EXPECT_EQ(RunFlow(Program(0, kIn, kOut, {1, 0})), 1);
    EXPECT_NEAR(GetLreal(kOut), 15.559375, 5e-7);
    EXPECT_NEAR(GetLreal(kOut + 64), 60.0068749, 5e-7);
    EXPECT_EQ(RunFlow(Program(0, kIn, kOut, {0x0101, 0x0201})), 1);  // high bytes do not count
    EXPECT_NEAR(GetReal(kOut), 15.559375f, 1e-5);
    EXPECT_NEAR(GetReal(kOut + 32), 60.0068749f, 1e-5);
    PutLreal(kIn, 15.5555555555555);  // the same temperature given in °C
    EXPECT_EQ(RunFlow(Program(0, kIn, kOut, {0x0100, 0})), 1);
    EXPECT_NEAR(GetLreal(kOut), 15.559375, 5e-7);
}

TEST_F(Flow, CtlAndCplAtBaseConditions) {
    for (bool real : {false, true}) {
        SCOPED_TRACE(real ? "REAL" : "LREAL");
        // t 60 °F, 0 psig, base density 800, volume 1000, K0..K2; alpha from K.
        const double in[] = {60, 0, 800, 1000, 341.0957, 0, 0};
        for (int i = 0; i < 7; ++i) {
            if (real)
                PutReal(kIn + 32 * i, static_cast<float>(in[i]));
            else
                PutLreal(kIn + 64 * i, in[i]);
        }
        EXPECT_EQ(RunFlow(Program(1, kIn, kOut, {real, 1, real})), 1);
        auto out = [&](int i) { return real ? double{GetReal(kOut + 32 * i)} : GetLreal(kOut + 64 * i); };
        EXPECT_NEAR(out(0), 1.0, 1e-5);  // CTL
        EXPECT_EQ(out(2), 1.0);          // CPL
        EXPECT_NEAR(out(3), out(0), 1e-7);
        EXPECT_NEAR(out(4), 800 * out(3), 1e-3);
        EXPECT_NEAR(out(5), 1000 * out(3), 1e-3);
        EXPECT_NEAR(out(6), 341.0957 / 800 / 800, 1e-5);  // alpha60 near the base density
    }
    // A given alpha60 (options word 0) sits before K0.
    PutLreals(kIn, {100, 50, 850, 1000, 0.0005, 341.0957, 0, 0});
    EXPECT_EQ(RunFlow(Program(1, kIn, kOut, {0, 0, 0})), 1);
    EXPECT_EQ(GetLreal(kOut + 6 * 64), 0.0005);
    EXPECT_LT(GetLreal(kOut), 1.0);    // hotter than base: smaller volume
    EXPECT_GT(GetLreal(kOut + 128), 1.0);  // pressure: larger
}

TEST_F(Flow, OutOfRangeConditionsWriteNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double t, p;
    };
    for (const Case c : {Case{302.5, 0}, Case{-58.5, 0}, Case{60, -1}, Case{60, 1500.5}, Case{nan, 0}, Case{60, nan}}) {
        PutLreals(kIn, {c.t, c.p, 800, 1000, 341.0957, 0, 0});
        for (int i = 0; i < 14; ++i) PutReal(kOut + 32 * i, 42.0f);
        EXPECT_EQ(RunFlow(Program(1, kIn, kOut, {0, 1, 0})), 0) << c.t << " " << c.p;
        for (int i = 0; i < 14; ++i) EXPECT_EQ(GetReal(kOut + 32 * i), 42.0f);
    }
}

TEST_F(Flow, RoundingToDecimals) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double x;
        u16 n;
        float expect;
    };
    const Case cases[] = {
        {0.125, 2, 0.12f}, {-0.125, 2, -0.13f}, {2.3451, 2, 2.35f}, {2.345, 2, 2.34f}, {2.5, 0, 2.0f},
        {2.502, 0, 3.0f},  {-7.7, 0, -8.0f},    {123.456789, 4, 123.4568f},
        // More decimals than a 32-bit power of ten holds.
        {1.23456789e-11, 12, 1.2e-11f}, {0.5, 400, 0.5f}, {1e300, 9, std::numeric_limits<float>::infinity()},
        {inf, 2, std::numeric_limits<float>::infinity()}, {-inf, 2, -std::numeric_limits<float>::infinity()},
    };
    for (const auto& c : cases) {
        PutLreal(kIn, c.x);
        EXPECT_EQ(RunFlow(Program(7, kIn, kOut, {c.n})), 1);
        EXPECT_EQ(GetReal(kOut), c.expect) << c.x << " to " << c.n;
    }
    PutLreal(kIn, std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(RunFlow(Program(7, kIn, kOut, {2})), 1);
    EXPECT_TRUE(std::isnan(GetReal(kOut)));
}

TEST_F(Flow, ConversionsAndArithmetic) {
    PutLreal(kIn, 1.0 / 3);
    EXPECT_EQ(RunFlow(Program(2, kIn, kOut, {})), 1);
    EXPECT_EQ(GetReal(kOut), 1.0f / 3);
    PutReal(kIn, 0.1f);
    EXPECT_EQ(RunFlow(Program(3, kIn, kOut, {})), 1);
    EXPECT_EQ(GetLreal(kOut), double{0.1f});

    PutLreals(kIn, {7.5, 2.5});
    EXPECT_EQ(RunFlow(Program(4, kIn, kOut, {0, 0})), 1);
    EXPECT_EQ(GetLreal(kOut), 3.0);
    EXPECT_EQ(RunFlow(Program(5, kIn, kOut, {0, 1})), 1);
    EXPECT_EQ(GetReal(kOut), 18.75f);
    PutReal(kIn, 1.0f);
    PutReal(kIn + 32, 0.0f);
    EXPECT_EQ(RunFlow(Program(4, kIn, kOut, {1, 0})), 1);  // REAL inputs
    EXPECT_EQ(GetLreal(kOut), std::numeric_limits<double>::infinity());
}

// Observed density at 40 °C and 100 psig of a crude whose base density is
// 850: the iteration recovers 850 and corrects to 15 °C, 0 kPa.
TEST_F(Flow, BaseDensityByIteration) {
    // Forward: CTPL at the observed conditions from sub-operation 1.
    PutLreals(kIn, {104, 100, 850, 1, 341.0957, 0, 0});
    ASSERT_EQ(RunFlow(Program(1, kIn, kOut, {0, 1, 0})), 1);
    const double ctlObs = GetLreal(kOut), ctplObs = GetLreal(kOut + 3 * 64);
    const double rhoObs = 850 * ctplObs;

    // rho_obs, t_obs, t2, P2, V, P_obs, unused, K0, K1, K2
    PutLreals(kIn, {rhoObs, 40, 15, 0, 2000, 100, 0, 341.0957, 0, 0});
    EXPECT_EQ(RunFlow(Program(6, kIn, kOut, {1, 1})), 1);
    EXPECT_NEAR(GetLreal(kOut + 6 * 64), 850.0, 1e-4);     // rho60
    EXPECT_NEAR(GetLreal(kOut + 7 * 64), ctlObs, 1e-9);    // CTL observed
    EXPECT_EQ(GetLreal(kOut + 64), 1.0);                   // CPL at 0 kPa
    const double ctpl = GetLreal(kOut + 3 * 64);
    EXPECT_NEAR(ctpl, GetLreal(kOut) * GetLreal(kOut + 64), 1e-12);
    EXPECT_NEAR(GetLreal(kOut + 5 * 64), 2000 * ctpl, 1e-9);
    EXPECT_NEAR(GetLreal(kOut + 4 * 64), rhoObs * static_cast<float>(ctpl), 1e-9);

    // Given mode: the block carries rho60 and CTL observed.
    PutLreals(kIn, {rhoObs, 40, 15, 0, 2000, 100, 0, 341.0957, 0, 0, 850, ctlObs});
    EXPECT_EQ(RunFlow(Program(6, kIn, kOut, {1, 0})), 1);
    EXPECT_EQ(GetLreal(kOut + 6 * 64), 850.0);
    EXPECT_NEAR(GetLreal(kOut + 3 * 64), ctpl, 1e-7);
}

TEST_F(Flow, BaseDensityFailuresWriteNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::vector<double>> blocks = {
        {470.0, 40, 15, 0, 1, 100, 0, 341.0957, 0, 0},   // observed density below 470.5
        {800, 150.1, 15, 0, 1, 100, 0, 341.0957, 0, 0},  // 302.18 °F
        {800, 40, 15, 0, 1, 1501, 0, 341.0957, 0, 0},    // observed pressure
        {800, 40, 151, 0, 1, 100, 0, 341.0957, 0, 0},    // final temperature
        {800, 40, 15, -1, 1, 100, 0, 341.0957, 0, 0},    // final pressure
        {800, 40, 15, 0, 1, 100, 0, nan, 0, 0},          // never converges
        {nan, 40, 15, 0, 1, 100, 0, 341.0957, 0, 0},
    };
    for (const auto& block : blocks) {
        PutLreals(kIn, block);
        for (int i = 0; i < 16; ++i) PutReal(kOut + 32 * i, 42.0f);
        EXPECT_EQ(RunFlow(Program(6, kIn, kOut, {1, 1})), 0);
        for (int i = 0; i < 16; ++i) EXPECT_EQ(GetReal(kOut + 32 * i), 42.0f);
    }
}

// Every sub-operation with far-bank tokens: the cursor lands on the next
// instruction with power flow on or off; with power flow off nothing is
// computed and the result is 1 (0 for sub-operation 6).
TEST_F(Flow, EscapedTokensAndPowerFlowOff) {
    PutLreals(kFarIn, {60, 0, 800, 1000, 341.0957, 0, 0, 0, 0, 0, 0, 0});
    for (u16 op = 0; op <= 7; ++op) {
        for (u32 out : {kFarOut, kFarIn + 64 * 20}) {
            SCOPED_TRACE(::testing::Message() << "op " << op << " out " << out);
            for (int i = 0; i < 32; ++i) PutReal(out + 32 * i, 42.0f);
            const auto code = Program(op, kFarIn, out, {0, 1, 0});
            EXPECT_EQ(RunFlow(code, 0), op == 6 ? 0 : 1);
            for (int i = 0; i < 32; ++i) EXPECT_EQ(GetReal(out + 32 * i), 42.0f);
            RunFlow(code, 1);
            if (op != 6) {
                EXPECT_NE(GetReal(out), 42.0f);
            }
        }
    }
}

TEST_F(Flow, UnknownSubOperation) {
    const std::vector<u16> code = {8, 0xEEEE};
    for (u8 flow : {0, 1}) {
        const u16* ip = code.data();
        EXPECT_EQ(Flow_Funs(&ip, flow), 0);
        EXPECT_EQ(ip, code.data() + 1);
    }
    // Truncated operands are reported as not fitting.
    const std::vector<u16> truncated = {0, 1776};
    EXPECT_EQ(Flow_OperandWords(truncated.data(), 2), 0u);
}

}  // namespace
