// Hostile programs: random code built from the instructions the interpreter
// executes, with random operands and targets. Whatever the checker accepts
// must run to END or to a program fault inside the code (the sanitizer
// build turns any stray access into a failure); whatever it refuses must
// never run.
#include <cstring>
#include <random>

#include "ladder/ladder_check.h"
#include "ladder/ladder_ops.h"
#include "tests/ladder/ladder_fixture.h"

namespace {

class LadderRandom : public LadderBase, public ::testing::Test {};

// The flow and contact instructions, unassigned codes, and every opcode of
// the instruction families (moves, arithmetic, compares, text, pointers,
// panel), whose operands come from registers that peers can write.
std::vector<u16> Opcodes() {
    std::vector<u16> ops = {9,  31, 32, 33, 34, 35, 36, 38, 50, 51, 52, 53, 54, 55,  56,  60,  61,  62,  63,
                            64, 65, 66, 68, 69, 70, 71, 73, 74, 10, 360, 361, 362, 363, 364, 365, 576, 700};
    for (u16 c = 0; c < kLadderOpcodes; ++c) {
        LExec e = LadderOp_Get(c).exec;
        if (e == LExec::kMove || e == LExec::kIntMath || e == LExec::kReal || e == LExec::kText ||
            e == LExec::kPointer || e == LExec::kPanel)
            ops.push_back(c);
    }
    return ops;
}

constexpr size_t kFlowOpcodes = 37;  // the first entries of Opcodes(): flow, contacts, coils

// The loads, stores, moves, arithmetic, compares and conversions, which the
// translation decodes or calls directly, with the flow instructions.
std::vector<u16> StackOpcodes() {
    std::vector<u16> ops = Opcodes();
    ops.resize(kFlowOpcodes);
    for (u16 c = 0; c < kLadderOpcodes; ++c) {
        LExec e = LadderOp_Get(c).exec;
        if (e == LExec::kMove || e == LExec::kIntMath || e == LExec::kReal) ops.push_back(c);
    }
    return ops;
}

// What the random code is mostly made of.
enum class Mix : u8 {
    kAny,
    kBits,   // contacts, combiners, coils and jumps
    kStack,  // word-stack instructions among the flow ones
};

std::vector<u16> RandomCode(std::mt19937& rng, bool tok16, Mix mix = Mix::kAny) {
    static const std::vector<u16> kOps = Opcodes();
    static const std::vector<u16> kStackOps = StackOpcodes();
    std::uniform_int_distribution<int> len(4, 60);
    std::uniform_int_distribution<int> pick(0, 99);
    std::vector<u16> code;
    const int n = len(rng);
    auto operandWord = [&]() -> u16 {
        switch (pick(rng) % 6) {
            case 0: return static_cast<u16>(rng());                      // anything
            case 1: return static_cast<u16>(0x8000 + rng() % 0x1000);    // %R bits
            case 2: return static_cast<u16>(pick(rng) % 2 ? 1776 : 1777);  // escapes
            case 3: return static_cast<u16>(rng() % 16);                 // small jumps
            case 4: return static_cast<u16>(-static_cast<int>(rng() % 16));
            default: return static_cast<u16>(tok16 ? 0x8000 + rng() % 0x100 : rng() % 0x10);
        }
    };
    for (int i = 0; i < n; ++i) {
        if (pick(rng) < 30) {
            code.push_back(static_cast<u16>(0x8000 + rng() % 0x800));  // contact word
            continue;
        }
        u16 op = kOps[rng() % kOps.size()];
        if (mix == Mix::kBits && pick(rng) < 85) op = kOps[rng() % kFlowOpcodes];
        if (mix == Mix::kStack && pick(rng) < 85) op = kStackOps[rng() % kStackOps.size()];
        // Word-stack operands first, so that arithmetic is not simply
        // refused for popping an empty stack.
        u32 need = LadderOp_Get(op).layout != nullptr ? 4 : LadderOp_Get(op).wordNeed;
        for (u32 k = 0; k < need; ++k) {
            static const u16 kValues[] = {0, 1, 0xFFFF, 0x8000, 0x7FFF, 0x7F80, 0xFF80};
            code.push_back(81);
            code.push_back(pick(rng) < 50 ? kValues[rng() % std::size(kValues)] : static_cast<u16>(rng()));
        }
        code.push_back(op);
        int words = 1 + static_cast<int>(rng() % 4);
        if (op == 361) words = 9 + static_cast<int>(rng() % 2);
        if (LadderOp_Get(op).operandCount > 3 || LadderOp_Get(op).layout != nullptr)
            words = static_cast<int>(rng() % 16);
        for (int k = 0; k < words && pick(rng) < 90; ++k) code.push_back(operandWord());
    }
    if (pick(rng) < 80) code.push_back(9);
    return code;
}

void LoadCode(const std::vector<u16>& code, bool tok16, std::vector<u8>* data) {
    data->assign(2 * code.size() + kLadderTrailerBytes, 0);
    for (size_t i = 0; i < code.size(); ++i) PutLe16(&(*data)[2 * i], code[i]);
    PutLe32(&(*data)[data->size() - 9], tok16 ? kFeatTok16 : 0);
    nv_write(ladder, data->data(), static_cast<u32>(data->size()));
    ladder_bl.SetHeader(crc16(data->data(), static_cast<u32>(data->size())), static_cast<u32>(data->size()));
    nv_get_features();
}

TEST_F(LadderRandom, AcceptedProgramsStayInsideTheirCodeAndMemory) {
    std::mt19937 rng(20261210);
    int accepted = 0;
    for (int round = 0; round < 100000; ++round) {
        const bool tok16 = round % 2 == 0;
        std::vector<u16> code = RandomCode(rng, tok16);
        // Hostile register contents where the random operands point:
        // pointers, index registers, counts and lengths.
        for (u32 b = (0x8000 - 0x400) / 8; b < (0x9000 - 0x400) / 8; ++b) plc_reg[b] = static_cast<u8>(rng());
        std::vector<u8> data;
        LoadCode(code, tok16, &data);
        S_Put(1, true);
        LadderCheckResult check = LadderCheck(data.data(), static_cast<u32>(data.size()), tok16);
        for (int scan = 0; scan < 3; ++scan) {
            i32 r = Scan();
            if (!check.Ok()) {
                ASSERT_EQ(r, static_cast<i32>(check.offset)) << LadderDisassemble(code, tok16);
                continue;
            }
            ASSERT_TRUE(r == kLadderEnd || (r > 0 && static_cast<u32>(r) <= data.size() / 2))
                << r << "\n" << LadderDisassemble(code, tok16);
        }
        if (check.Ok()) ++accepted;
    }
    // The generator must reach the interpreter often enough to mean something.
    EXPECT_GT(accepted, 3000);
}

// The translated program and the plain interpreter, from the same
// registers, end every scan with the same result and leave the same
// registers (the transition memory included).
TEST_F(LadderRandom, TranslationMatchesTheInterpreter) {
    std::mt19937 rng(20261211);
    int compared = 0, comparedStack = 0;
    std::vector<u8> start(kPlcRegBytes), startOld(kPlcRegBytes), regs(kPlcRegBytes), old(kPlcRegBytes);
    for (int round = 0; round < 100000; ++round) {
        const bool tok16 = round % 2 == 0;
        const Mix mix = round % 4 < 2 ? Mix::kBits : round % 4 == 2 ? Mix::kStack : Mix::kAny;
        std::vector<u16> code = RandomCode(rng, tok16, mix);
        std::vector<u8> data;
        LoadCode(code, tok16, &data);
        if (!LadderCheck(data.data(), static_cast<u32>(data.size()), tok16).Ok()) continue;
        for (u32 b = (0x8000 - 0x400) / 8; b < (0x9000 - 0x400) / 8; ++b) {
            plc_reg[b] = static_cast<u8>(rng());
            old_reg[b] = static_cast<u8>(rng());
        }
        std::memcpy(start.data(), plc_reg, kPlcRegBytes);
        std::memcpy(startOld.data(), old_reg, kPlcRegBytes);
        i32 results[2][3];
        for (int translated = 0; translated < 2; ++translated) {
            Ladder_Reset();
            Ladder_UseTranslation(translated != 0);
            std::memcpy(plc_reg, start.data(), kPlcRegBytes);
            std::memcpy(old_reg, startOld.data(), kPlcRegBytes);
            S_Put(1, true);
            for (int scan = 0; scan < 3; ++scan) results[translated][scan] = Scan();
            if (translated == 0) {
                std::memcpy(regs.data(), plc_reg, kPlcRegBytes);
                std::memcpy(old.data(), old_reg, kPlcRegBytes);
            }
        }
        for (int scan = 0; scan < 3; ++scan)
            ASSERT_EQ(results[1][scan], results[0][scan]) << "scan " << scan << "\n" << LadderDisassemble(code, tok16);
        ASSERT_EQ(std::memcmp(regs.data(), plc_reg, kPlcRegBytes), 0) << LadderDisassemble(code, tok16);
        ASSERT_EQ(std::memcmp(old.data(), old_reg, kPlcRegBytes), 0) << LadderDisassemble(code, tok16);
        ++compared;
        if (mix == Mix::kStack) ++comparedStack;
    }
    EXPECT_GT(compared, 1500);
    EXPECT_GT(comparedStack, 1000);
}

}  // namespace
