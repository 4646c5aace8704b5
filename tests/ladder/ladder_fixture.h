// A clean interpreter for the ladder tests: zeroed registers, an empty
// program block, a hand-advanced clock and the next scan a first scan.
// Parameterised tests run once per token width.
#pragma once

#include <gtest/gtest.h>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "ladder/ladder_engine.h"
#include "ladder/ladder_operand.h"
#include "platform/fpga.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/ladder_disasm.h"
#include "testsupport/manual_clock.h"
#include "testsupport/reg_fixture.h"

// Inputs and outputs the tests use: bits of %R1 and %R2 (reachable by both
// token widths and by contact words).
constexpr u32 kA = lreg::R(1), kB = lreg::R(1) + 1, kC = lreg::R(1) + 2, kOn = lreg::R(1) + 15;
constexpr u32 kY0 = lreg::R(2), kY1 = lreg::R(2) + 1, kY2 = lreg::R(2) + 2, kY3 = lreg::R(2) + 3;

inline bool RegBit(u32 a) {
    a = LadderRemap(a);
    return (plc_reg[(a - 0x400) >> 3] >> (a & 7)) & 1;
}
inline void SetRegBit(u32 a, bool on) {
    a = LadderRemap(a);
    u8& b = plc_reg[(a - 0x400) >> 3];
    b = on ? static_cast<u8>(b | (1u << (a & 7))) : static_cast<u8>(b & ~(1u << (a & 7)));
}
inline u16 RegWord(u32 a) { return GetLe16(&plc_reg[2 * ((LadderRemap(a) - 0x400) >> 4)]); }
inline void SetRegWord(u32 a, u16 v) { PutLe16(&plc_reg[2 * ((LadderRemap(a) - 0x400) >> 4)], v); }

class LadderBase {
protected:
    LadderBase() {
        FPGA_Reset();
        Nvram_Reset();
        Ladder_Reset();
        S_Put(1, true);
        SetRegBit(kOn, true);
    }
    ~LadderBase() { Ladder_Reset(); }

    // Loads the program; the next scan is a first scan, which latches the
    // token width.
    void Load(const LadderBuilder& b, u32 features = 0) {
        b.Load(features);
        S_Put(1, true);
    }
    i32 Scan() { return Ladder_Scan(ladder); }
    i32 Exec(const LadderBuilder& b) {
        Load(b);
        return Scan();
    }

    ManualClock clock;
    RegFixture regs;
};

class LadderTest : public LadderBase, public ::testing::TestWithParam<LadderWidth> {
protected:
    LadderBuilder Prog() const { return LadderBuilder(GetParam()); }
};

inline std::string WidthName(const ::testing::TestParamInfo<LadderWidth>& info) {
    return info.param == LadderWidth::k16 ? "Tok16" : "Tok32";
}

#define LADDER_BOTH_WIDTHS(suite) \
    INSTANTIATE_TEST_SUITE_P(Widths, suite, ::testing::Values(LadderWidth::k16, LadderWidth::k32), WidthName)
