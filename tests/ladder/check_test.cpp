// The program checker: what it refuses and where, and the load check of a
// stored block.
#include <functional>

#include "ladder/ladder_check.h"
#include "tests/ladder/ladder_fixture.h"

namespace {

using S = LadderCheckStatus;

struct CheckCase {
    const char* name;
    LadderWidth width;
    std::function<void(LadderBuilder&, u32* at)> build;
    S status;
};

TEST(LadderCheck, RefusesWhatCannotRunSafely) {
    const CheckCase cases[] = {
        {"good program", LadderWidth::k32, [](LadderBuilder& p, u32*) { p.Contl(kA).Out(kY0).End(); }, S::kOk},
        {"fault opcode on a path that also reaches END", LadderWidth::k16,
         [](LadderBuilder& p, u32*) {
             LadderLabel e = p.NewLabel();
             p.Contl(kA).Jmp(e).Raw(10).Bind(e).End();
         },
         S::kOk},
        {"no END", LadderWidth::k32,
         [](LadderBuilder& p, u32*) {
             LadderLabel l = p.NewLabel();
             p.Bind(l).Contl(kOn).Jmp(l).Raw(10);
         },
         S::kNoEnd},
        {"END only after an unassigned opcode", LadderWidth::k16, [](LadderBuilder& p, u32*) { p.Raw(10).End(); },
         S::kNoEnd},
        {"falls off the end", LadderWidth::k16,
         [](LadderBuilder& p, u32* at) {
             p.Contl(kA);
             *at = p.Here();
             p.Out(kY0);
         },
         S::kRunsOffEnd},
        {"unreachable words after END are not decoded", LadderWidth::k32,
         [](LadderBuilder& p, u32* at) {
             LadderLabel e = p.NewLabel();
             p.Contl(kA).Jmp(e).Bind(e).End();
             *at = p.Here();
             p.Raw(38).Raw(0x8000);  // OUT with one of its two operand words
         },
         S::kOk},
        {"operand cut by the end", LadderWidth::k32,
         [](LadderBuilder& p, u32* at) {
             p.Contl(kA);
             *at = p.Here();
             p.Raw(38).Raw(0x8000);
         },
         S::kTruncated},
        {"reached operand cut by the end", LadderWidth::k32,
         [](LadderBuilder& p, u32* at) {
             LadderLabel e = p.NewLabel();
             p.Contl(kA).Jmp(e).Contl(kOn);
             *at = p.Here();
             p.Raw(38).Raw(0x8000);
             p.Bind(e).End();
         },
         S::kTargetInside},  // the jump lands on the END word, which OUT takes as its operand
        {"jump target beyond the code", LadderWidth::k16,
         [](LadderBuilder& p, u32* at) {
             *at = p.Here() + 2;
             p.Contl(kA).Raw(71).Raw(500).End();
         },
         S::kTargetOutside},
        {"backward jump before the start", LadderWidth::k32,
         [](LadderBuilder& p, u32* at) {
             *at = 3;
             p.Contl(kA).Raw(68).Raw(0xFFF0).Raw(0xFFFF).End();
         },
         S::kTargetOutside},
        {"jump into an operand", LadderWidth::k32,
         [](LadderBuilder& p, u32* at) {
             // JMP +1 lands on the second word of OUT's operand.
             p.Contl(kA).Raw(71).Raw(1).Contl(kOn).Out(kY0).End();
         },
         S::kTargetInside},
        {"skip past the end", LadderWidth::k16,
         [](LadderBuilder& p, u32*) { p.Contl(kA).Raw(70).Raw(100).Pop().End(); }, S::kTargetOutside},
        {"21 entries on the power-flow stack", LadderWidth::k16,
         [](LadderBuilder& p, u32* at) {
             for (int i = 0; i < 20; ++i) p.Contact(kA);
             *at = p.Here();
             p.Contact(kA).End();
         },
         S::kBoolOverflow},
        {"REPUSH above 20 entries", LadderWidth::k16,
         [](LadderBuilder& p, u32* at) {
             for (int i = 0; i < 20; ++i) p.Contact(kA);
             *at = p.Here();
             p.Repush().End();
         },
         S::kBoolOverflow},
        {"20 entries are fine", LadderWidth::k16,
         [](LadderBuilder& p, u32*) {
             for (int i = 0; i < 20; ++i) p.Contact(kA);
             p.End();
         },
         S::kOk},
        {"loop that pushes each turn", LadderWidth::k32,
         [](LadderBuilder& p, u32*) {
             LadderLabel l = p.NewLabel();
             p.Bind(l).Contl(kA).Contl(kB).Jmp(l).End();
         },
         S::kBoolOverflow},
        {"combiner on one entry", LadderWidth::k16,
         [](LadderBuilder& p, u32* at) {
             p.Contl(kA);
             *at = p.Here();
             p.Or().End();
         },
         S::kBoolUnderflow},
        {"coil on the empty stack", LadderWidth::k32, [](LadderBuilder& p, u32*) { p.Out(kY0).End(); },
         S::kBoolUnderflow},
        {"subroutine pops more than its callers leave", LadderWidth::k16,
         [](LadderBuilder& p, u32* at) {
             LadderLabel sub = p.NewLabel();
             p.Contl(kA).Call(sub).End();
             p.Bind(sub);
             *at = p.Here();
             p.Out(kY0).Contl(kOn).Ret();
         },
         S::kBoolUnderflow},
        {"bit beyond the register memory", LadderWidth::k32,
         [](LadderBuilder& p, u32* at) {
             p.Contl(kA);
             *at = p.Here();
             p.Raw(38).Raw(0x57C0).Raw(0x000D).End();  // 0xD57C0: first bit past the memory
         },
         S::kBadOperand},
        {"bit below the register memory", LadderWidth::k16,
         [](LadderBuilder& p, u32*) { p.Raw(31).Raw(0x3FF).Pop().End(); }, S::kBadOperand},
        {"word below the register memory", LadderWidth::k16,
         [](LadderBuilder& p, u32*) { p.Raw(360).Raw(0x10).Pop().End(); }, S::kBadOperand},
        {"double word pair past the last register", LadderWidth::k32,
         [](LadderBuilder& p, u32*) {
             u32 last = lreg::Word(kPlcRegBytes / 2 - 1);
             p.Contl(kA).Raw(365).Raw(static_cast<u16>(last)).Raw(static_cast<u16>(last >> 16));
             p.Raw(static_cast<u16>(lreg::R(1))).Raw(0).End();
         },
         S::kBadOperand},
        {"short word that wraps", LadderWidth::k32,
         [](LadderBuilder& p, u32*) { p.Raw(362).Raw(static_cast<u16>(lreg::R(1))).Raw(0).Raw(0x10).Raw(0).Pop().End(); },
         S::kBadOperand},
    };
    for (const CheckCase& c : cases) {
        LadderBuilder p(c.width);
        u32 at = 0;
        c.build(p, &at);
        std::vector<u16> words = p.Words();
        LadderCheckResult r = LadderCheck_Words(words.data(), static_cast<u32>(words.size()), c.width == LadderWidth::k16);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << LadderCheck_Text(r.status) << " at " << r.offset << "\n"
                                      << LadderDisassemble(words, c.width == LadderWidth::k16);
        if (at != 0 && r.status == c.status && c.status != S::kOk) {
            EXPECT_EQ(r.offset, at) << c.name;
        }
    }
}

TEST(LadderCheck, StepTargetsAreChecked) {
    LadderBuilder p(LadderWidth::k16);
    LadderLabel e = p.NewLabel();
    p.Step(lreg::R(3), e, e, e, e).Bind(e).End();
    std::vector<u16> w = p.Words();
    ASSERT_TRUE(LadderCheck_Words(w.data(), static_cast<u32>(w.size()), true).Ok());
    w[2 + 2 * 2] = 40;  // o3 far past the end
    EXPECT_EQ(LadderCheck_Words(w.data(), static_cast<u32>(w.size()), true).status, S::kTargetOutside);
}

TEST(LadderCheck, EmptyAndAbsentPrograms) {
    EXPECT_EQ(LadderCheck(nullptr, 0, false).status, S::kEmpty);
    const u8 end[2] = {9, 0};
    EXPECT_TRUE(LadderCheck(end, 2, false).Ok());
}

TEST(LadderCheck, LoadCheckUsesTheTokenWidthOfTheTrailer) {
    LadderBuilder p(LadderWidth::k16);
    p.Contl(lreg::R(1)).Out(lreg::R(1) + 1).End();
    std::vector<u8> data = p.BlockData();
    EXPECT_TRUE(LadderProgram_Acceptable(data.data(), static_cast<u32>(data.size())));
    // Read with 32-bit addresses, CONTL's operand runs into the next opcode.
    EXPECT_FALSE(LadderCheck(data.data(), static_cast<u32>(data.size()), false).Ok());

    // Same words, trailer without the 16-bit flag: refused.
    std::vector<u8> as32 = data;
    PutLe32(&as32[as32.size() - 9], 0);
    EXPECT_FALSE(LadderProgram_Acceptable(as32.data(), static_cast<u32>(as32.size())));

    // An IEC application record is not ladder code.
    std::vector<u8> iec(64, 0xEE);
    const u8 head[8] = {0x4A, 0, 0, 0, 'X', 'T', 'I', 0};
    std::copy(head, head + 8, iec.begin());
    EXPECT_TRUE(LadderProgram_Acceptable(iec.data(), static_cast<u32>(iec.size())));
}

TEST(LadderCheck, BuilderProgramsAreAcceptedInBothWidths) {
    for (LadderWidth w : {LadderWidth::k16, LadderWidth::k32}) {
        LadderBuilder p(w);
        p.Contact(kA).Contl(kB).OrAnd().Pop().End();  // underflow: ORAND needs 3
        std::vector<u8> bad = p.BlockData();
        EXPECT_FALSE(LadderProgram_Acceptable(bad.data(), static_cast<u32>(bad.size())));

        LadderBuilder q(w);
        LadderLabel s2 = q.NewLabel(), k = q.NewLabel();
        q.Contact(kA).Contl(kB).Contl(kC).OrAnd().Calll(s2).Contl(kA).Skipf(k).Pop().Contl(kOn).Bind(k).Out(kY0).End();
        q.Bind(s2).Contl(kOn).TestD(lreg::R(5), lreg::R(7)).MaskD(lreg::R(9), lreg::R(11)).Ret();
        std::vector<u8> good = q.BlockData();
        EXPECT_TRUE(LadderProgram_Acceptable(good.data(), static_cast<u32>(good.size())))
            << LadderDisassemble(q.Words(), w == LadderWidth::k16);
    }
}

}  // namespace
