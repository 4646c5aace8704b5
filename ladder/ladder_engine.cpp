#include "ladder/ladder_engine.h"

#include <algorithm>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "iec/kernel/q4host.h"
#include "ladder/contacts.h"
#include "ladder/intmath.h"
#include "ladder/ladder_operand.h"
#include "ladder/ladder_ops.h"
#include "ladder/panel.h"
#include "ladder/pid.h"
#include "ladder/pointer.h"
#include "ladder/realmath.h"
#include "ladder/textops.h"
#include "ladder/wordmove.h"
#include "platform/fpga.h"

u8 RegTokLen_16b = 0;

LadderEnginePeers ladderEnginePeers;

void LadderEnginePeers_Check(NeighbourCheck& check) {
    NEIGHBOUR_REQUIRE(check, ladderEnginePeers, fileRow);
    NEIGHBOUR_REQUIRE(check, ladderEnginePeers, fileRestart);
    NEIGHBOUR_REQUIRE(check, ladderEnginePeers, talkRow);
    NEIGHBOUR_REQUIRE(check, ladderEnginePeers, talkRestart);
    NEIGHBOUR_REQUIRE(check, ladderEnginePeers, canOpenRow);
}

namespace {

struct State {
    // Power-flow stack: entry 0 lies below the bottom (the empty stack's
    // top), entries 1..20 hold values.
    u8 l_stack[kLadderBoolStackDepth + 1] = {};
    u16 w_stack[kLadderWordStackDepth] = {};
    u32 call_stack[kLadderCallDepth] = {};  // word offsets of the return points
    u8 call_stack_index = 0;
    u32 local_frt_100us = 0;
    u32 local_scan_time = 0;
    u32 local_scan_time_rm = 0;
    u16 time_frt_100us = 0;
    // The checked copy of the program: its length in words, and the block
    // header and token width it was taken with.
    u32 words = 0;
    bool loaded = false;
    u32 size = 0;
    u16 crc = 0;
    bool tok16 = false;
    LadderCheckResult check{LadderCheckStatus::kEmpty, 0};
};
State g;

// The checked copy of the program (a buffer each load writes, not state).
u16 g_code[kLadderMaxProgramBytes / 2];

void Translate(const u16* code, u32 words, bool tok16);

void LoadProgram(const u8* data, u32 size, u16 crc, bool tok16) {
    g.loaded = true;
    g.size = size;
    g.crc = crc;
    g.tok16 = tok16;
    if (size < 2) {
        // No program in the block: the scan ends at once.
        g_code[0] = 9;
        g.words = 1;
        g.check = {LadderCheckStatus::kOk, 0};
        Translate(g_code, g.words, tok16);
        return;
    }
    if (size > kLadderMaxProgramBytes) {
        g.words = 0;
        g.check = {LadderCheckStatus::kTooLarge, 0};
        return;
    }
    g.words = size / 2;
    for (u32 i = 0; i < g.words; ++i) g_code[i] = GetLe16(data + 2 * i);
    g.check = LadderCheck_Words(g_code, g.words, tok16);
    if (g.check.Ok()) Translate(g_code, g.words, tok16);
}

i32 EndHousekeeping() {
    if (QuilletRuntime) {
        // The IEC application's cycle replaces the ladder code; it clears the
        // first-scan bits itself. Only when the cycle unloaded it does the
        // scan end as a ladder scan would.
        _VMThread();
        if (QuilletRuntime) return kLadderEnd;
        LadderPanel_ScanStart();
        return EndHousekeeping();
    }
    LadderPanel_End();
    S_Put(1, false);
    S_Put(10, false);
    return kLadderEnd;
}

inline i32 Offset(u32 ip) { return static_cast<i32>(ip); }

// The interpreter of one instruction at a time: the checked code, the
// instruction pointer, both stacks, and the budget of code words the scan
// may still run. Stack depths, targets and operand addresses were proven by
// the checker; only the call depth and the budget are checked here.
template <bool kTok16>
struct Interp {
    const u16* code;
    u8* top;
    u16* wsp;
    u32 ip = 0;
    u32 segment = 0;  // where the current straight run of code began
    i64 budget = kLadderScanBudgetWords;
    i32 result = kLadderEnd;

    bool Stop(i32 r) {
        result = r;
        return false;
    }

    // A taken jump, call, return or step; false when the budget is spent.
    bool transfer(u32 target) {
        budget -= ip - segment;
        if (budget < 0) return false;
        ip = target;
        segment = target;
        return true;
    }

    // An instruction of a family module: it sees the interpreter's registers
    // through a LadderVm and hands them back.
    template <class Exec>
    bool family(Exec exec, u16 op) {
        LadderVm vm{code, ip, top, wsp};
        bool go = exec(op, vm);
        ip = vm.ip;
        top = vm.top;
        wsp = vm.wsp;
        return go;
    }

    // Runs the instruction at ip; false when the scan ends (result: the
    // fault offset, or kLadderEnd).
    [[gnu::always_inline]] bool Step() {
        using namespace lcontact;
        const u16 w = code[ip++];
        if (w >= kLadderFirstContact) {
            Contact(top, w);
            return true;
        }
        switch (kLadderExec[w]) {
            case LExec::kFault:
            case LExec::kContact:
                return Stop(Offset(ip));
            case LExec::kNop:
                break;
            case LExec::kEnd:
                return Stop(EndHousekeeping());
            case LExec::kContl:
                Contact(top, LadderBitOperand<kTok16>(code, ip));
                break;
            case LExec::kNot:
                NotTop(top);
                break;
            case LExec::kSetTrue:
                SetTrue(top);
                break;
            case LExec::kSetFalse:
                SetFalse(top);
                break;
            case LExec::kOr:
                Or(top);
                break;
            case LExec::kAnd:
                And(top);
                break;
            case LExec::kOut:
                Out(top, LadderBitOperand<kTok16>(code, ip));
                break;
            case LExec::kOsRise:
                OsRise(top, LadderBitOperand<kTok16>(code, ip));
                break;
            case LExec::kOsFall:
                OsFall(top, LadderBitOperand<kTok16>(code, ip));
                break;
            case LExec::kSet:
                Set(top, LadderBitOperand<kTok16>(code, ip));
                break;
            case LExec::kReset:
                Reset(top, LadderBitOperand<kTok16>(code, ip));
                break;
            case LExec::kOutNot:
                OutNot(top, LadderBitOperand<kTok16>(code, ip));
                break;
            case LExec::kPop:
                Pop(top);
                break;
            case LExec::kRepush:
                Repush(top);
                break;
            case LExec::kAndn:
                Andn(top);
                break;
            case LExec::kOrn:
                Orn(top);
                break;
            case LExec::kNand:
                Nand(top);
                break;
            case LExec::kNor:
                Nor(top);
                break;
            case LExec::kOrAnd:
                OrAnd(top);
                break;
            case LExec::kAndOr:
                AndOr(top);
                break;
            case LExec::kJmp:
            case LExec::kJmpl: {
                i32 n = w == 71 ? static_cast<i16>(LadderLit(code, ip)) : static_cast<i32>(LadderLit2(code, ip));
                if (*top-- != 0 && !transfer(ip + n)) return Stop(Offset(ip));
                break;
            }
            case LExec::kCall:
            case LExec::kCalll: {
                i32 n = w == 73 ? static_cast<i16>(LadderLit(code, ip)) : static_cast<i32>(LadderLit2(code, ip));
                if (*top-- == 0) break;
                if (g.call_stack_index >= kLadderCallDepth) return Stop(Offset(ip));
                g.call_stack[g.call_stack_index++] = ip;
                if (!transfer(ip + n)) return Stop(Offset(ip));
                break;
            }
            case LExec::kSkipf: {
                u16 n = LadderLit(code, ip);
                if (*top == 0 && !transfer(ip + n)) return Stop(Offset(ip));
                break;
            }
            case LExec::kRet:
                if (*top-- == 0) break;
                if (g.call_stack_index == 0) return Stop(Offset(ip));
                if (!transfer(g.call_stack[--g.call_stack_index])) return Stop(Offset(ip));
                break;
            case LExec::kStep: {
                // Record: state, then a u32 count of milliseconds.
                u32 s = LadderWordOperand<kTok16>(code, ip);
                const u32 offsets = ip;  // o1..o4, each counted from the word after its own two
                ip += 8;
                u32 k;
                switch (LadderRegWord(s)) {
                    case 2:
                        LadderPutRegWord(s, 1);
                        LadderPutRegWord(s + 1, 0);
                        LadderPutRegWord(s + 2, 0);
                        k = 0;
                        break;
                    case 1: {
                        u32 ms = (LadderRegWord(s + 1) | (static_cast<u32>(LadderRegWord(s + 2)) << 16)) + g.local_scan_time;
                        LadderPutRegWord(s + 1, static_cast<u16>(ms));
                        LadderPutRegWord(s + 2, static_cast<u16>(ms >> 16));
                        k = 1;
                        break;
                    }
                    case 3:
                        LadderPutRegWord(s, 0);
                        k = 2;
                        break;
                    default:
                        k = 3;
                        break;
                }
                u32 at = offsets + 2 * k;
                i32 n = static_cast<i32>(code[at] | (static_cast<u32>(code[at + 1]) << 16));
                if (!transfer(at + 2 + n)) return Stop(Offset(ip));
                break;
            }
            case LExec::kContEq1:
                ContEq1(top, LadderWordOperand<kTok16>(code, ip));
                break;
            case LExec::kTestW: {
                u32 r = LadderWordOperand<kTok16>(code, ip);
                TestW(top, r, LadderShortWordOperand<kTok16>(code, ip));
                break;
            }
            case LExec::kTestD: {
                u32 r = LadderWordOperand<kTok16>(code, ip);
                TestD(top, r, LadderShortWordOperand<kTok16>(code, ip));
                break;
            }
            case LExec::kMaskW: {
                u32 r = LadderWordOperand<kTok16>(code, ip);
                MaskW(top, r, LadderShortWordOperand<kTok16>(code, ip));
                break;
            }
            case LExec::kMaskD: {
                u32 r = LadderWordOperand<kTok16>(code, ip);
                MaskD(top, r, LadderShortWordOperand<kTok16>(code, ip));
                break;
            }
            case LExec::kRoutine: {
                const u32 at = ip;
                const LadderRoutineRow* row = LadderRoutine_Find(w);
                if (row == nullptr) return Stop(Offset(at));
                const u8 v = row->run(code, ip, *top, kTok16);
                if (row->faults && v == kLadderRoutineFault) return Stop(Offset(at));
                *top = v;
                break;
            }
            case LExec::kMove:
                if (!family(LadderMove_Exec<kTok16>, w)) return Stop(Offset(ip));
                break;
            case LExec::kIntMath:
                if (!family(LadderIntMath_Exec<kTok16>, w)) return Stop(Offset(ip));
                break;
            case LExec::kReal:
                if (!family(LadderReal_Exec<kTok16>, w)) return Stop(Offset(ip));
                break;
            case LExec::kText:
                if (!family(LadderText_Exec<kTok16>, w)) return Stop(Offset(ip));
                break;
            case LExec::kPointer:
                if (!family(LadderPointer_Exec<kTok16>, w)) return Stop(Offset(ip));
                break;
            case LExec::kPanel:
                if (!family(LadderPanel_Exec<kTok16>, w)) return Stop(Offset(ip));
                break;
        }
        return true;
    }
};

// ---------------------------------------------------------------------------
// The translated program.
//
// At load the checked code becomes one op per instruction, in code order:
// contacts, combiners and coils with their register byte and bit mask
// decoded, and every other instruction handed to the interpreter above. A
// contact followed by a combiner, and a combiner followed by a coil, are
// fused into one op at the first instruction's slot that covers them all;
// the covered instructions keep their own ops behind it, so a jump into the
// middle of a fused run finds the op of the instruction it lands on. Fused
// and decoded ops cannot fault and do not transfer control, so the budget
// and the fault offsets stay those of the interpreter, which runs every
// instruction that can.

#define LADDER_COMBINERS(X) X(Or) X(And) X(Andn) X(Orn) X(Nand) X(Nor)
#define LADDER_COILS(X) X(Out) X(OutNot) X(Set) X(Reset)

enum class XKind : u8 {
    kInterp,
    kContact,
    kNot,
    kSetTrue,
    kSetFalse,
    kOrAnd,
    kAndOr,
    kPop,
    kRepush,
    kOsRise,
    kOsFall,
#define X(c) k##c,
    LADDER_COMBINERS(X) LADDER_COILS(X)
#undef X
#define X(c) kContact##c,
    LADDER_COMBINERS(X)
#undef X
#define XK(c, coil) k##c##coil,
#define X(c) XK(c, Out) XK(c, OutNot) XK(c, Set) XK(c, Reset)
    LADDER_COMBINERS(X)
#undef X
#define X(c) XK(Contact##c, Out) XK(Contact##c, OutNot) XK(Contact##c, Set) XK(Contact##c, Reset)
    LADDER_COMBINERS(X)
#undef X
#undef XK
};

struct XOp {
    XKind kind;
    u8 mask;   // contact (or the coil of a coil op)
    u8 mask2;  // the coil of a fused op that also has a contact
    u8 skip;   // instructions the op covers
    u32 a;     // register byte of `mask`; kInterp: the instruction's offset
    u32 b;     // register byte of `mask2`
};

constexpr u32 kNoOp = 0xFFFFFFFF;

struct Translation {
    std::vector<XOp> ops;     // one per instruction, then one past the last
    std::vector<u32> opAt;    // op of the instruction at an offset (kNoOp: none)
};
Translation g_x;

// Where a bit operand lives.
void BitAt(u32 a, u32* byte, u8* mask) {
    *byte = LadderBitByte(a);
    *mask = on_mask[a & 7];
}

// The op of a single instruction, from its opcode (or contact word).
template <bool kTok16>
XOp Decode(const u16* code, u32 at) {
    XOp o{XKind::kInterp, 0, 0, 1, at, 0};
    u32 ip = at;
    const u16 w = code[ip++];
    if (w >= kLadderFirstContact) {
        o.kind = XKind::kContact;
        BitAt(w, &o.a, &o.mask);
        return o;
    }
    auto bit = [&](XKind k) {
        o.kind = k;
        BitAt(LadderBitOperand<kTok16>(code, ip), &o.a, &o.mask);
    };
    switch (kLadderExec[w]) {
        case LExec::kContl: bit(XKind::kContact); break;
        case LExec::kNot: o.kind = XKind::kNot; break;
        case LExec::kSetTrue: o.kind = XKind::kSetTrue; break;
        case LExec::kSetFalse: o.kind = XKind::kSetFalse; break;
        case LExec::kOrAnd: o.kind = XKind::kOrAnd; break;
        case LExec::kAndOr: o.kind = XKind::kAndOr; break;
        case LExec::kPop: o.kind = XKind::kPop; break;
        case LExec::kRepush: o.kind = XKind::kRepush; break;
        case LExec::kOsRise: bit(XKind::kOsRise); break;
        case LExec::kOsFall: bit(XKind::kOsFall); break;
#define X(c)                            \
    case LExec::k##c: o.kind = XKind::k##c; break;
            LADDER_COMBINERS(X)
#undef X
#define X(c)              \
    case LExec::k##c: bit(XKind::k##c); break;
            LADDER_COILS(X)
#undef X
        default: break;
    }
    return o;
}

int CombinerIndex(XKind k) {
    int i = 0;
#define X(c)                      \
    if (k == XKind::k##c) return i; \
    ++i;
    LADDER_COMBINERS(X)
#undef X
    return -1;
}
int CoilIndex(XKind k) {
    int i = 0;
#define X(c)                      \
    if (k == XKind::k##c) return i; \
    ++i;
    LADDER_COILS(X)
#undef X
    return -1;
}

constexpr int kCombiners = 6, kCoils = 4;

// Fuses the op at `i` with the ones after it where they form a contact and
// a combiner, a combiner and a coil, or all three.
XOp Fuse(const std::vector<XOp>& ops, size_t i) {
    XOp o = ops[i];
    const size_t n = ops.size();
    if (o.kind == XKind::kContact && i + 1 < n) {
        int c = CombinerIndex(ops[i + 1].kind);
        if (c < 0) return o;
        int k = i + 2 < n ? CoilIndex(ops[i + 2].kind) : -1;
        if (k >= 0) {
            o.kind = static_cast<XKind>(static_cast<int>(XKind::kContactOrOut) + kCoils * c + k);
            o.mask2 = ops[i + 2].mask;
            o.b = ops[i + 2].a;
            o.skip = 3;
        } else {
            o.kind = static_cast<XKind>(static_cast<int>(XKind::kContactOr) + c);
            o.skip = 2;
        }
        return o;
    }
    int c = CombinerIndex(o.kind);
    int k = c >= 0 && i + 1 < n ? CoilIndex(ops[i + 1].kind) : -1;
    if (k >= 0) {
        o.kind = static_cast<XKind>(static_cast<int>(XKind::kOrOut) + kCoils * c + k);
        o.mask = ops[i + 1].mask;
        o.a = ops[i + 1].a;
        o.skip = 2;
    }
    return o;
}

template <bool kTok16>
void TranslateWidth(const u16* code, u32 words) {
    Translation& x = g_x;
    x.ops.clear();
    x.opAt.assign(words + 1, kNoOp);
    for (u32 at = 0; at < words;) {
        u32 len = LadderInstruction_Words(code + at, words - at, kTok16);
        XOp o{XKind::kInterp, 0, 0, 1, at, 0};
        // Only instructions whose operands lie whole in the code are
        // decoded; what cannot be decoded is left to the interpreter.
        if (len != 0) o = Decode<kTok16>(code, at);
        else len = 1;
        x.opAt[at] = static_cast<u32>(x.ops.size());
        x.ops.push_back(o);
        at += len;
    }
    // Past the last instruction: whatever the interpreter does there.
    x.opAt[words] = static_cast<u32>(x.ops.size());
    x.ops.push_back(XOp{XKind::kInterp, 0, 0, 1, words, 0});
    std::vector<XOp> plain = x.ops;
    for (size_t i = 0; i < plain.size(); ++i) x.ops[i] = Fuse(plain, i);
}

void Translate(const u16* code, u32 words, bool tok16) {
    if (tok16)
        TranslateWidth<true>(code, words);
    else
        TranslateWidth<false>(code, words);
}

// The bit ops on pre-decoded operands, as the contact and coil functions do
// them on bit addresses.
inline bool XBit(const u8* mem, u32 byte, u8 mask) { return (mem[byte] & mask) != 0; }
inline void XPut(u8* mem, u32 byte, u8 mask, bool on) {
    u8& b = mem[byte];
    b = on ? static_cast<u8>(b | mask) : static_cast<u8>(b & ~mask);
}
inline void XContact(u8*& top, u32 byte, u8 mask) { *++top = XBit(plc_reg, byte, mask) ? 0xFF : 0; }
inline void XOut(u8*& top, u32 byte, u8 mask) { XPut(plc_reg, byte, mask, *top-- != 0); }
inline void XOutNot(u8*& top, u32 byte, u8 mask) { XPut(plc_reg, byte, mask, *top-- == 0); }
inline void XSet(u8*& top, u32 byte, u8 mask) {
    if (*top-- != 0) XPut(plc_reg, byte, mask, true);
}
inline void XReset(u8*& top, u32 byte, u8 mask) {
    if (*top-- != 0) XPut(plc_reg, byte, mask, false);
}
inline void XOsRise(u8*& top, u32 byte, u8 mask) {
    if (*top-- != 0) {
        XPut(plc_reg, byte, mask, !XBit(old_reg, byte, mask));
        XPut(old_reg, byte, mask, true);
    } else {
        XPut(plc_reg, byte, mask, false);
        XPut(old_reg, byte, mask, false);
    }
}
inline void XOsFall(u8*& top, u32 byte, u8 mask) {
    if (*top-- != 0) {
        XPut(plc_reg, byte, mask, false);
        XPut(old_reg, byte, mask, true);
    } else {
        XPut(plc_reg, byte, mask, XBit(old_reg, byte, mask));
        XPut(old_reg, byte, mask, false);
    }
}

// Runs the translated program.
template <bool kTok16>
i32 Run(const u16* code) {
    using namespace lcontact;
    Interp<kTok16> in{code, &g.l_stack[0], &g.w_stack[0]};
    const XOp* ops = g_x.ops.data();
    const u32* opAt = g_x.opAt.data();
    const u32 words = static_cast<u32>(g_x.opAt.size()) - 1;
    u8* top = in.top;
    u32 pc = 0;
    for (;;) {
        const XOp& o = ops[pc];
        switch (o.kind) {
            case XKind::kInterp: {
                // The interpreter runs until it stands on an instruction
                // with a decoded op; off the translated instruction starts
                // (a family that moved the pointer elsewhere) it goes on.
                in.top = top;
                in.ip = o.a;
                for (;;) {
                    if (!in.Step()) return in.result;
                    const u32 next = in.ip <= words ? opAt[in.ip] : kNoOp;
                    if (next == kNoOp) continue;
                    pc = next;
                    if (ops[pc].kind != XKind::kInterp) break;
                }
                top = in.top;
                continue;
            }
            case XKind::kContact: XContact(top, o.a, o.mask); break;
            case XKind::kNot: NotTop(top); break;
            case XKind::kSetTrue: SetTrue(top); break;
            case XKind::kSetFalse: SetFalse(top); break;
            case XKind::kOrAnd: OrAnd(top); break;
            case XKind::kAndOr: AndOr(top); break;
            case XKind::kPop: Pop(top); break;
            case XKind::kRepush: Repush(top); break;
            case XKind::kOsRise: XOsRise(top, o.a, o.mask); break;
            case XKind::kOsFall: XOsFall(top, o.a, o.mask); break;
#define X(c) \
    case XKind::k##c: c(top); break;
                LADDER_COMBINERS(X)
#undef X
#define X(c) \
    case XKind::k##c: X##c(top, o.a, o.mask); break;
                LADDER_COILS(X)
#undef X
#define X(c)                         \
    case XKind::kContact##c:         \
        XContact(top, o.a, o.mask);  \
        c(top);                      \
        break;
                LADDER_COMBINERS(X)
#undef X
#define XK(c, coil)               \
    case XKind::k##c##coil:       \
        c(top);                   \
        X##coil(top, o.a, o.mask); \
        break;
#define X(c) XK(c, Out) XK(c, OutNot) XK(c, Set) XK(c, Reset)
                LADDER_COMBINERS(X)
#undef X
#undef XK
#define XK(c, coil)                   \
    case XKind::kContact##c##coil:    \
        XContact(top, o.a, o.mask);   \
        c(top);                       \
        X##coil(top, o.b, o.mask2);   \
        break;
#define X(c) XK(c, Out) XK(c, OutNot) XK(c, Set) XK(c, Reset)
                LADDER_COMBINERS(X)
#undef X
#undef XK
        }
        pc += o.skip;
    }
}

#undef LADDER_COMBINERS
#undef LADDER_COILS

// The same program one instruction at a time, without the translation.
template <bool kTok16>
i32 Interpret(const u16* code) {
    Interp<kTok16> in{code, &g.l_stack[0], &g.w_stack[0]};
    while (in.Step()) {
    }
    return in.result;
}

bool g_translated = true;

}  // namespace

i32 Ladder_Scan(const u8* code) {
    // Scan time: whole milliseconds since the previous scan start, the
    // remainder carried over.
    const bool first = S_Get(1);
    if (first) {
        g.local_scan_time = 0;
        g.local_scan_time_rm = 0;
        ladderEnginePeers.talkRestart();   // the serial port instructions start from their edges
        ladderEnginePeers.fileRestart(0);  // no file instruction owns the channel after a (re)start
    } else {
        u32 d = FPGA_GetFrt() - g.local_frt_100us + g.local_scan_time_rm;
        g.local_scan_time = d / 10;
        g.local_scan_time_rm = d % 10;
    }
    u32 t = FPGA_GetFrt();
    g.time_frt_100us = static_cast<u16>(t & 0x3FFF);
    SR_PutDword(149, t);
    g.local_frt_100us = t;
    if (first) RegTokLen_16b = (NV_EditorFeatures & kFeatTok16) != 0 ? 1 : 0;
    g.call_stack_index = 0;

    // While an IEC application is loaded its cycle replaces the ladder code.
    if (QuilletRuntime) return EndHousekeeping();

    LadderPanel_ScanStart();
    if (code != ladder) return 0;
    u32 size = std::min(ladder_bl.Size(), ladder_bl.capacity);
    bool tok16 = RegTokLen_16b != 0;
    if (!g.loaded || size != g.size || ladder_bl.Crc() != g.crc || tok16 != g.tok16)
        LoadProgram(code, size, ladder_bl.Crc(), tok16);
    if (!g.check.Ok()) return Offset(g.check.offset);
    if (!g_translated) return tok16 ? Interpret<true>(g_code) : Interpret<false>(g_code);
    return tok16 ? Run<true>(g_code) : Run<false>(g_code);
}

u32 Ladder_ScanTimeMs() { return g.local_scan_time; }
u16 Ladder_TimerStamp() { return g.time_frt_100us; }
LadderCheckResult Ladder_LastCheck() { return g.check; }

void Ladder_UseTranslation(bool on) { g_translated = on; }

void Ladder_Reset() {
    g = State{};
    g_x = Translation{};
    g_translated = true;
    LadderPanel_Reset();
    RegTokLen_16b = 0;
}
