// The interpreter inside the controller's scan: a program fault stops the
// controller with the fault position in SR53-54 and SR4 bit 0x100.
#include "core/plc.h"
#include "ladder/ladder_engine.h"
#include "ladder/logic.h"
#include "tests/core/plc_fixture.h"
#include "tests/ladder/ladder_fixture.h"

namespace {

class LadderScan : public PlcCore {
protected:
    void SetUp() override {
        PlcCore::SetUp();
        Ladder_Reset();
        SetRegBit(kOn, true);
    }
    void TearDown() override {
        Ladder_Reset();
        PlcCore::TearDown();
    }
    // Loads the program and enters run; the first scan latches the width.
    void Start(const LadderBuilder& p) {
        p.Load();
        SetPlcMode(kModeRun);
        ASSERT_EQ(Mode(), kModeRun);
    }
};

TEST_F(LadderScan, ProgramRunsInRunModeOnly) {
    for (LadderWidth w : {LadderWidth::k16, LadderWidth::k32}) {
        LadderBuilder p(w);
        p.Contl(kA).Not().Out(kY0).End();
        Start(p);
        SetRegBit(kY0, false);
        PlcScan();
        EXPECT_TRUE(RegBit(kY0));
        EXPECT_FALSE(S_Get(1));
        SetPlcMode(kModeStop);
        SetRegBit(kY0, false);
        PlcScan();
        EXPECT_FALSE(RegBit(kY0));
    }
}

struct FaultCase {
    const char* name;
    void (*build)(LadderBuilder&, u32* at);
};

TEST_F(LadderScan, ProgramFaultsStopTheController) {
    // Each faulting piece runs when A is clear; a jump over it keeps END
    // reachable.
    const FaultCase cases[] = {
        {"unknown opcode",
         [](LadderBuilder& p, u32* at) {
             p.Raw(700);
             *at = p.Here();
         }},
        {"CALL target inside an instruction (refused by the checker)",
         [](LadderBuilder& p, u32* at) {
             p.Contl(kOn).Raw(73).Raw(1);
             *at = p.Here();  // the CONTL whose operand the target names
             p.Contl(kOn).Out(kY0);
         }},
        {"power-flow stack overflow (refused)",
         [](LadderBuilder& p, u32* at) {
             for (int i = 0; i < 20; ++i) p.Contact(kOn);
             *at = p.Here();
             p.Contact(kOn);
         }},
        {"budget exhausted",
         [](LadderBuilder& p, u32* at) {
             LadderLabel l = p.NewLabel();
             p.Bind(l).Contl(kOn).Jmp(l);
             *at = p.Here();
         }},
        {"RET without CALL",
         [](LadderBuilder& p, u32* at) {
             p.Contl(kOn).Ret();
             *at = p.Here();
         }},
    };
    for (const FaultCase& c : cases) {
        for (LadderWidth w : {LadderWidth::k16, LadderWidth::k32}) {
            LadderBuilder p(w);
            u32 at = 0;
            LadderLabel end = p.NewLabel();
            p.Contl(kA).Jmp(end);
            c.build(p, &at);
            p.Bind(end).End();
            SR_Put(4, 0);
            SR_PutDword(53, 0);
            Start(p);
            PlcScan();
            EXPECT_EQ(Mode(), kModeStop) << c.name;
            EXPECT_TRUE(SR_Get(4) & kSr4ProgramFault) << c.name;
            EXPECT_EQ(SR_GetDword(53), at) << c.name << "\n" << LadderDisassembleBlock();
        }
    }
}

}  // namespace
