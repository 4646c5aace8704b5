// Operand decoding in both token widths.
#include "ladder/ladder_operand.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_routines.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

enum class Kind { kBit, kWord, kWordPlain, kByte, kShort };

struct DecodeCase {
    const char* name;
    bool tok16;
    Kind kind;
    std::vector<u16> words;
    u32 value;  // linear bit address, register word or byte
    u32 length;
};

template <bool kTok16>
u32 Decode(Kind k, const u16* code, u32& ip) {
    switch (k) {
        case Kind::kBit: return LadderBitOperand<kTok16>(code, ip);
        case Kind::kWord: return LadderWordOperand<kTok16>(code, ip);
        case Kind::kWordPlain: return LadderWordOperand<kTok16, true>(code, ip);
        case Kind::kByte: return LadderByteOperand<kTok16>(code, ip);
        case Kind::kShort: return LadderShortWordOperand<kTok16>(code, ip);
    }
    return 0;
}

TEST(LadderOperand, DecodesBothWidths) {
    const DecodeCase cases[] = {
        {"16-bit bit", true, Kind::kBit, {0x2005}, 0x2005, 1},
        {"16-bit word", true, Kind::kWord, {0x8010}, 1985, 1},
        {"16-bit far bank 1 word", true, Kind::kWord, {1776, 0x0010}, 4033, 2},
        {"16-bit far bank 2 word", true, Kind::kWord, {1777, 0x0020}, 8130, 2},
        {"16-bit escape without far banks", true, Kind::kWordPlain, {1776, 0x0010}, 47, 1},
        {"16-bit far bank 1 byte", true, Kind::kByte, {1776, 0x0010}, 8066, 2},
        {"16-bit far bank 2 byte", true, Kind::kByte, {1777, 0xFFF8}, 16256 + 8191, 2},
        {"16-bit short word", true, Kind::kShort, {1777, 0x0000}, 8128, 2},
        {"32-bit linear bit", false, Kind::kBit, {0x8001, 0x0000}, 0x8001, 2},
        {"32-bit %M window", false, Kind::kByte, {0xC000, 0x1001}, 0x1A000, 2},
        {"32-bit %T window", false, Kind::kWord, {0x8010, 0x1000}, (0xCC410 - 0x400) / 16, 2},
        {"32-bit %ESR window", false, Kind::kWord, {0x0FF0, 0x1003}, (0xD53F0 - 0x400) / 16, 2},
        {"32-bit past a window is not moved", false, Kind::kBit, {0x1000, 0x1003}, 0x10031000, 2},
        {"32-bit short word ignores the high half", false, Kind::kShort, {0x8010, 0x1001}, 1985, 2},
        {"32-bit short word wraps below 0x400", false, Kind::kShort, {0x0010, 0}, 65473, 2},
    };
    for (const DecodeCase& c : cases) {
        u32 ip = 0;
        u32 v = c.tok16 ? Decode<true>(c.kind, c.words.data(), ip) : Decode<false>(c.kind, c.words.data(), ip);
        EXPECT_EQ(v, c.value) << c.name;
        EXPECT_EQ(ip, c.length) << c.name;
    }
}

TEST(LadderOperand, InstructionLengthsFollowTheTable) {
    struct Case {
        std::vector<u16> code;
        bool tok16;
        u32 words;
    };
    const Case cases[] = {
        {{0x8000}, true, 1},                          // contact word
        {{38, 0x8000}, true, 2},                      // OUT
        {{38, 0x8000, 0}, false, 3},                  // OUT, 32-bit
        {{362, 1776, 16, 0x8000}, true, 4},           // TESTW with a far-bank word
        {{361, 0x8000, 0, 0, 0, 0, 0, 0, 0, 0}, true, 10},  // STEP
        {{38}, false, 0},                             // truncated
        {{91, 1, 2}, true, 0},                        // layout decoded by its instruction
    };
    for (const Case& c : cases)
        EXPECT_EQ(LadderInstruction_Words(c.code.data(), static_cast<u32>(c.code.size()), c.tok16), c.words)
            << c.code[0];
}

TEST(LadderOperand, OpcodeTableGroups) {
    // Assigned opcodes execute or fault; unassigned ones of groups 1 and 2
    // are no-operations; everything else faults.
    int nops = 0;
    for (u16 c = 0; c < kLadderOpcodes; ++c) {
        const LadderOp& op = LadderOp_Get(c);
        EXPECT_EQ(op.code, c);
        if (op.exec == LExec::kNop) {
            ++nops;
            EXPECT_TRUE(c >= 64 && c < 192) << c;
        }
        if (c >= 576) {
            EXPECT_FALSE(op.Assigned()) << c;
        }
        EXPECT_EQ(kLadderExec[c], op.exec) << c;
    }
    EXPECT_EQ(nops, 15);
    EXPECT_EQ(LadderOp_Find("MASKD")->code, 365);
    EXPECT_EQ(LadderOp_Find("nothing"), nullptr);
}

}  // namespace

TEST(LadderOperand, FamiliesClaimEachOpcodeOnce) {
    // The opcode table is assembled from the families' rows: no opcode may
    // come from two rows, and every assigned opcode comes from one.
    std::vector<int> claims(kLadderOpcodes, 0);
    for (std::span<const lrow::Row> family : LadderOp_Families())
        for (const lrow::Row& r : family) {
            ASSERT_LE(r.first, r.last) << r.name;
            ASSERT_LT(r.last, kLadderOpcodes) << r.name;
            for (u32 c = r.first; c <= r.last; ++c) ++claims[c];
        }
    std::vector<int> routineClaims(kLadderOpcodes, 0);
    for (std::span<const LadderRoutineRow> family : LadderRoutine_Families())
        for (const LadderRoutineRow& r : family)
            for (u32 c = r.first; c <= r.last && c < kLadderOpcodes; ++c) ++routineClaims[c];
    for (u16 c = 0; c < kLadderOpcodes; ++c) {
        const LadderOp& op = LadderOp_Get(c);
        EXPECT_LE(claims[c], 1) << c;
        EXPECT_EQ(claims[c], op.Assigned() ? 1 : 0) << c;
        EXPECT_LE(routineClaims[c], 1) << c;
        // A routine opcode has exactly one routine row (the file and serial
        // port rows come through the wiring), and a routine row serves only
        // such opcodes and the serial-port sub-operations of TALKIEC.
        const LadderRoutineRow* row = LadderRoutine_Find(c);
        EXPECT_EQ(row != nullptr, op.exec == LExec::kRoutine || c == 394) << c;
        if (row != nullptr) {
            EXPECT_LE(row->first, c);
            EXPECT_GE(row->last, c);
        }
        if (routineClaims[c] == 1) {
            EXPECT_EQ(op.exec, LExec::kRoutine) << c;
        }
    }
}
