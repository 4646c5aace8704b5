#include "ladder/ladder_check.h"

#include <algorithm>

#include "ladder/ladder_operand.h"
#include "ladder/ladder_ops.h"

namespace {

using S = LadderCheckStatus;

// Stack depths that can hold before an instruction: [lo, hi] for each stack.
struct Depth {
    i8 blo, bhi, wlo, whi;
};

enum : u8 { kRoleNone = 0, kRoleStart = 1, kRoleOperand = 2 };

template <bool kTok16>
bool OperandValid(const u16* code, const LadderOperandAt& r) {
    u32 ip = r.at;
    switch (r.kind) {
        case LOpd::kBit:
            return LadderBitValid(LadderBitOperand<kTok16>(code, ip));
        case LOpd::kWord:
            return LadderWordValid(LadderWordOperand<kTok16>(code, ip), r.span);
        case LOpd::kWordPlain:
            return LadderWordValid(LadderWordOperand<kTok16, true>(code, ip), r.span);
        case LOpd::kShortWord:
            return LadderWordValid(LadderShortWordOperand<kTok16>(code, ip), r.span);
        case LOpd::kByte: {
            u32 b = LadderByteOperand<kTok16>(code, ip);
            return b < kPlcRegBytes && kPlcRegBytes - b >= r.span;
        }
        default:
            return true;
    }
}

template <bool kTok16>
bool OperandsValid(const u16* code, const LadderLayout& l) {
    for (u8 i = 0; i < l.count; ++i)
        if (!OperandValid<kTok16>(code, l.regs[i])) return false;
    return true;
}

class Checker {
public:
    Checker(const u16* code, u32 words, bool tok16)
        : code_(code), words_(words), tok16_(tok16), role_(words, kRoleNone), depth_(words), seen_(words, 0) {}

    LadderCheckResult Run() {
        if (words_ == 0) return {S::kEmpty, 0};
        Visit(0, Depth{0, 0, 0, 0}, 0, false);
        while (result_.Ok() && !work_.empty()) {
            u32 s = work_.back();
            work_.pop_back();
            Step(s);
        }
        if (result_.Ok() && !endSeen_) result_ = {S::kNoEnd, 0};
        return result_;
    }

private:
    void Fail(S status, u32 offset) {
        if (result_.Ok()) result_ = {status, offset};
    }

    // Control reaches word t from the instruction at `from` with depth d.
    void Visit(i64 t, Depth d, u32 from, bool fallThrough) {
        if (!result_.Ok()) return;
        if (t < 0 || t >= static_cast<i64>(words_)) {
            Fail(fallThrough ? S::kRunsOffEnd : S::kTargetOutside, from);
            return;
        }
        u32 w = static_cast<u32>(t);
        if (role_[w] == kRoleOperand) {
            Fail(S::kTargetInside, from);
            return;
        }
        if (!seen_[w]) {
            seen_[w] = 1;
            depth_[w] = d;
            work_.push_back(w);
            return;
        }
        Depth& o = depth_[w];
        Depth m{std::min(o.blo, d.blo), std::max(o.bhi, d.bhi), std::min(o.wlo, d.wlo), std::max(o.whi, d.whi)};
        if (m.blo != o.blo || m.bhi != o.bhi || m.wlo != o.wlo || m.whi != o.whi) {
            o = m;
            work_.push_back(w);
        }
    }

    // Marks the words of the instruction at s; false when it overlaps another.
    bool Claim(u32 s, u32 len) {
        if (role_[s] == kRoleStart) return true;  // decoded before
        if (role_[s] == kRoleOperand) return false;
        role_[s] = kRoleStart;
        for (u32 k = 1; k < len; ++k) {
            // A word that control reaches is an instruction start.
            if (role_[s + k] == kRoleStart || seen_[s + k]) return false;
            role_[s + k] = kRoleOperand;
        }
        return true;
    }

    void Step(u32 s) {
        Depth d = depth_[s];
        u16 w = code_[s];
        const bool contact = w >= kLadderFirstContact;
        const LadderOp& op = LadderOp_Get(contact ? 31 : w);
        if (!contact && op.exec == LExec::kFault) {
            // Ends the scan with a program fault; it must still be a word of its own.
            if (!Claim(s, 1)) Fail(S::kTargetInside, s);
            return;
        }
        const LadderLayout l = LadderInstruction_Layout(code_ + s, words_ - s, tok16_);
        if (l.status == LLayoutStatus::kStops) {
            // This encoding ends the scan with a program fault when it runs.
            if (!Claim(s, 1)) Fail(S::kTargetInside, s);
            return;
        }
        if (l.status == LLayoutStatus::kTruncated || l.words == 0) {
            Fail(S::kTruncated, s);
            return;
        }
        const u32 len = l.words;
        if (!Claim(s, len)) {
            Fail(S::kTargetInside, s);
            return;
        }
        if (l.status == LLayoutStatus::kBadLiteral) return Fail(S::kBadLiteral, s);
        if (!(tok16_ ? OperandsValid<true>(code_ + s, l) : OperandsValid<false>(code_ + s, l))) {
            Fail(S::kBadOperand, s);
            return;
        }
        if (d.blo < op.boolNeed) return Fail(S::kBoolUnderflow, s);
        if (d.wlo < l.wordNeed) return Fail(S::kWordUnderflow, s);
        Depth out{static_cast<i8>(d.blo + op.boolDelta), static_cast<i8>(d.bhi + op.boolDelta),
                  static_cast<i8>(d.wlo + l.wordDelta), static_cast<i8>(d.whi + l.wordDelta)};
        if (out.bhi > kLadderBoolStackDepth) return Fail(S::kBoolOverflow, s);
        if (out.whi > kLadderWordStackDepth) return Fail(S::kWordOverflow, s);

        const i64 next = static_cast<i64>(s) + len;
        switch (op.flow) {
            case LFlow::kNext:
                Visit(next, out, s, true);
                break;
            case LFlow::kStop:
                if (op.exec == LExec::kEnd) endSeen_ = true;
                break;
            case LFlow::kJump:
            case LFlow::kCall: {
                i64 offset = op.exec == LExec::kJmpl || op.exec == LExec::kCalll
                                 ? static_cast<i32>(code_[s + 1] | (static_cast<u32>(code_[s + 2]) << 16))
                                 : static_cast<i16>(code_[s + 1]);
                Visit(next, out, s, true);
                Visit(next + offset, out, s, false);
                if (op.flow == LFlow::kCall) AddReturnSite(static_cast<u32>(next), s);
                break;
            }
            case LFlow::kSkip:
                Visit(next, out, s, true);
                Visit(next + code_[s + 1], out, s, false);
                break;
            case LFlow::kRet:
                Visit(next, out, s, true);
                MergeReturn(out, s);
                break;
            case LFlow::kStep: {
                // Each offset counts from the word after its own two words.
                i64 p = next - 8;
                for (int k = 0; k < 4; ++k, p += 2) {
                    i32 o = static_cast<i32>(code_[p] | (static_cast<u32>(code_[p + 1]) << 16));
                    Visit(p + 2 + o, out, s, false);
                }
                break;
            }
        }
    }

    void AddReturnSite(u32 site, u32 from) {
        if (std::find(returnSites_.begin(), returnSites_.end(), site) != returnSites_.end()) return;
        returnSites_.push_back(site);
        if (retSeen_) Visit(site, ret_, from, true);
    }

    void MergeReturn(Depth d, u32 from) {
        if (!retSeen_) {
            retSeen_ = true;
            ret_ = d;
        } else {
            Depth m{std::min(ret_.blo, d.blo), std::max(ret_.bhi, d.bhi), std::min(ret_.wlo, d.wlo),
                    std::max(ret_.whi, d.whi)};
            if (m.blo == ret_.blo && m.bhi == ret_.bhi && m.wlo == ret_.wlo && m.whi == ret_.whi) return;
            ret_ = m;
        }
        for (u32 site : returnSites_) Visit(site, ret_, from, true);
    }

    const u16* code_;
    u32 words_;
    bool tok16_;
    std::vector<u8> role_;
    std::vector<Depth> depth_;
    std::vector<u8> seen_;
    std::vector<u32> work_;
    std::vector<u32> returnSites_;
    Depth ret_{};
    bool retSeen_ = false;
    bool endSeen_ = false;
    LadderCheckResult result_{S::kOk, 0};
};

}  // namespace

const char* LadderCheck_Text(LadderCheckStatus status) {
    switch (status) {
        case S::kOk: return "ok";
        case S::kEmpty: return "empty program";
        case S::kNoEnd: return "no path reaches END";
        case S::kTargetOutside: return "target outside the code";
        case S::kTargetInside: return "target inside an instruction";
        case S::kRunsOffEnd: return "runs past the end of the code";
        case S::kTruncated: return "instruction truncated by the end of the code";
        case S::kBoolOverflow: return "power-flow stack overflow";
        case S::kBoolUnderflow: return "power-flow stack underflow";
        case S::kWordOverflow: return "word stack overflow";
        case S::kWordUnderflow: return "word stack underflow";
        case S::kBadOperand: return "register operand outside the register memory";
        case S::kTooLarge: return "program larger than a program block";
        case S::kBadLiteral: return "literal operand the instruction cannot carry out";
    }
    return "?";
}

LadderCheckResult LadderCheck_Words(const u16* code, u32 words, bool tok16) {
    return Checker(code, words, tok16).Run();
}

LadderCheckResult LadderCheck(const u8* data, u32 sizeBytes, bool tok16) {
    std::vector<u16> words(sizeBytes / 2);
    for (size_t i = 0; i < words.size(); ++i) words[i] = GetLe16(data + 2 * i);
    return LadderCheck_Words(words.data(), static_cast<u32>(words.size()), tok16);
}

bool LadderProgram_Acceptable(const u8* data, u32 sizeBytes) {
    // An IEC application record is handed to the IEC runtime, not run here.
    static const u8 kIecMagic[8] = {0x4A, 0x00, 0, 0, 'X', 'T', 'I', 0};
    if (sizeBytes >= 16 && data[0] == kIecMagic[0] && data[1] == kIecMagic[1] &&
        std::equal(kIecMagic + 4, kIecMagic + 8, data + 4))
        return true;
    // The token width as the editor-features word of the trailer gives it.
    bool tok16 = sizeBytes >= 9 && data[sizeBytes - 1] <= 253 && (GetLe32(data + sizeBytes - 9) & 0x8000) != 0;
    return LadderCheck(data, sizeBytes, tok16).Ok();
}
