#include "testsupport/ladder_disasm.h"

#include <cstdio>

#include "core/nvram.h"
#include "ladder/ladder_operand.h"
#include "ladder/ladder_ops.h"

namespace {

template <bool kTok16>
std::string Operands(const std::vector<u16>& code, u32 s, const LadderOp& op) {
    std::string out;
    char b[48];
    u32 ip = s + 1;
    for (u8 i = 0; i < op.operandCount; ++i) {
        switch (op.operands[i]) {
            case LOpd::kBit:
                std::snprintf(b, sizeof b, " bit:0x%X", LadderBitOperand<kTok16>(code.data(), ip));
                break;
            case LOpd::kWord:
                std::snprintf(b, sizeof b, " word:%u", LadderWordOperand<kTok16>(code.data(), ip));
                break;
            case LOpd::kWordPlain:
                std::snprintf(b, sizeof b, " word:%u", LadderWordOperand<kTok16, true>(code.data(), ip));
                break;
            case LOpd::kShortWord:
                std::snprintf(b, sizeof b, " word:%u", LadderShortWordOperand<kTok16>(code.data(), ip));
                break;
            case LOpd::kByte:
                std::snprintf(b, sizeof b, " byte:%u", LadderByteOperand<kTok16>(code.data(), ip));
                break;
            case LOpd::kLit:
                std::snprintf(b, sizeof b, " #%d", static_cast<i16>(LadderLit(code.data(), ip)));
                break;
            case LOpd::kLit2:
                std::snprintf(b, sizeof b, " #%d", static_cast<i32>(LadderLit2(code.data(), ip)));
                break;
            case LOpd::kLitOrReg:
                std::snprintf(b, sizeof b, " val:0x%X", LadderLitOrRegOperand<kTok16>(code.data(), ip));
                break;
            default: {
                u32 n = LadderOperand_Words(op.operands[i], code.data() + ip, static_cast<u32>(code.size()) - ip,
                                            kTok16);
                std::snprintf(b, sizeof b, " [%u words]", n);
                ip += n;
                break;
            }
        }
        out += b;
    }
    return out;
}

}  // namespace

std::string LadderDisassemble(const std::vector<u16>& code, bool tok16) {
    std::string out;
    char b[96];
    u32 s = 0;
    const u32 n = static_cast<u32>(code.size());
    while (s < n) {
        u16 w = code[s];
        if (w >= kLadderFirstContact) {
            std::snprintf(b, sizeof b, "%6u  contact bit:0x%X\n", s, w);
            out += b;
            ++s;
            continue;
        }
        const LadderOp& op = LadderOp_Get(w);
        u32 len = LadderInstruction_Words(code.data() + s, n - s, tok16);
        std::snprintf(b, sizeof b, "%6u  %s(%u)", s, op.name ? op.name : "?", w);
        out += b;
        if (len == 0) {
            out += "  <operands not decodable; listing stops>\n";
            break;
        }
        out += tok16 ? Operands<true>(code, s, op) : Operands<false>(code, s, op);
        if (op.flow == LFlow::kJump || op.flow == LFlow::kCall || op.flow == LFlow::kSkip) {
            i64 off = len == 3 ? static_cast<i32>(code[s + 1] | (static_cast<u32>(code[s + 2]) << 16))
                               : (op.flow == LFlow::kSkip ? static_cast<i64>(code[s + 1])
                                                          : static_cast<i64>(static_cast<i16>(code[s + 1])));
            std::snprintf(b, sizeof b, "  -> %lld", static_cast<long long>(s + len + off));
            out += b;
        }
        out += "\n";
        s += len;
    }
    return out;
}

std::string LadderDisassembleBlock() {
    u32 size = ladder_bl.Size() < ladder_bl.capacity ? ladder_bl.Size() : ladder_bl.capacity;
    std::vector<u16> code(size / 2);
    for (size_t i = 0; i < code.size(); ++i) code[i] = GetLe16(ladder + 2 * i);
    bool tok16 = size >= 9 && ladder[size - 1] <= 253 && (GetLe32(ladder + size - 9) & kFeatTok16) != 0;
    return LadderDisassemble(code, tok16);
}
