#include "ladder/ladder_engine.h"

#include <algorithm>
#include <iterator>
#include <vector>

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
// At load the checked code becomes one op per instruction, in code order,
// with its register operands decoded into byte offsets and masks (or word
// offsets) and its literals read: contacts, combiners and coils, the loads,
// stores and moves, the integer and REAL arithmetic and compares, and every
// other instruction of the word-stack families, whose own code it calls
// directly with the instruction's position. A contact followed by a
// combiner, a combiner followed by a coil, and two register or literal
// loads in a row are fused into one op at the
// first instruction's slot that covers them all; the covered instructions
// keep their own ops behind it, so a jump into the middle of a fused run
// finds the op of the instruction it lands on. Jumps, calls, returns,
// steps, END and whatever cannot be decoded are left to the interpreter
// above. No translated op transfers control, so the budget (counted at the
// transfers) stays that of the interpreter; a family call that faults ends
// the scan at the offset the family leaves, as in the interpreter, and one
// that leaves the pointer anywhere but the next instruction hands the rest
// to the interpreter from there.

#define LADDER_COMBINERS(X) X(Or) X(And) X(Andn) X(Orn) X(Nand) X(Nor)
#define LADDER_COILS(X) X(Out) X(OutNot) X(Set) X(Reset)

// Word-stack instructions run with their opcode known: name, opcode and the
// family's inline code.
#define LADDER_STACK_OPS(X)                                                                         \
    X(AndW, 100, lintmath::Binary16) X(OrW, 101, lintmath::Binary16) X(XorW, 102, lintmath::Binary16) \
    X(ShlW, 110, lintmath::Binary16) X(ShrW, 111, lintmath::Binary16)                                 \
    X(AddI, 120, lintmath::Binary16) X(SubI, 121, lintmath::Binary16) X(MulI, 122, lintmath::Binary16) \
    X(DivI, 123, lintmath::Binary16) X(MulUW, 262, lintmath::Binary16) X(DivUW, 263, lintmath::Binary16) \
    X(AndD, 104, lintmath::Binary32) X(OrD, 105, lintmath::Binary32) X(XorD, 106, lintmath::Binary32) \
    X(AddDI, 124, lintmath::Binary32) X(SubDI, 125, lintmath::Binary32)                               \
    X(MulDI, 126, lintmath::Binary32) X(DivDI, 127, lintmath::Binary32)                               \
    X(AddR, 128, lreal::Arith) X(SubR, 129, lreal::Arith) X(MulR, 130, lreal::Arith) X(DivR, 131, lreal::Arith) \
    X(EqI, 160, lreal::Compare) X(NeI, 161, lreal::Compare) X(LtI, 162, lreal::Compare)               \
    X(GtI, 163, lreal::Compare) X(LeI, 164, lreal::Compare) X(GeI, 165, lreal::Compare)               \
    X(EqDI, 166, lreal::Compare) X(NeDI, 167, lreal::Compare) X(LtDI, 168, lreal::Compare)            \
    X(GtDI, 169, lreal::Compare) X(LeDI, 170, lreal::Compare) X(GeDI, 171, lreal::Compare)            \
    X(EqR, 172, lreal::Compare) X(NeR, 173, lreal::Compare) X(LtR, 174, lreal::Compare)               \
    X(GtR, 175, lreal::Compare) X(LeR, 176, lreal::Compare) X(GeR, 177, lreal::Compare)

// The instruction families called with their opcode.
#define LADDER_FAMILIES(X) \
    X(Move, LadderMove_Exec) X(IntMath, LadderIntMath_Exec) X(Real, LadderReal_Exec) \
    X(Text, LadderText_Exec) X(Pointer, LadderPointer_Exec) X(Panel, LadderPanel_Exec)

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
    // Loads, stores and moves: a and b register byte offsets or literals.
    kLdw,
    kLdkw,
    kStw,
    kLdd,
    kLdkd,
    kStd,
    kLdi2di,
    kLdki2di,
    kLdi2r,
    kLdb,
    kStb,
    kMovw,
    kMovkw,
    kMovd,
    kMovkd,
    // Two loads fused: LDW a, LDW b; LDW a, LDKW b; LDD a, LDD b; LDD a,
    // LDKD b (low 16 bits first in code order).
    kLdwLdw,
    kLdwLdkw,
    kLddLdd,
    kLddLdkd,
    kBlkWords,   // a dst, b src (byte offsets), Count() words
    kBlkBytes,   // the same, Count() bytes
    kLoadConv,   // b opcode, a register word
    kConvByte,   // b opcode, a register byte
    kConvWord,   // b opcode, a register word
    kConvPair,   // b opcode, a register word
#define X(name, code, fn) kS##name,
    LADDER_STACK_OPS(X)
#undef X
    // Family and routine calls: a the opcode's offset, b the opcode (or the
    // routine's index), Count() the instruction's words.
#define X(name, fn) kF##name,
    LADDER_FAMILIES(X)
#undef X
    kRoutine,
    kCount,
};

struct XOp {
    XKind kind;
    u8 mask;   // contact (or the coil of a coil op)
    u8 mask2;  // the coil of a fused op that also has a contact
    u8 skip;   // instructions the op covers
    u32 a;     // register byte of `mask`; kInterp: the instruction's offset
    u32 b;     // register byte of `mask2`

    // The count of kBlk*, the length of a family or routine call.
    u16 Count() const { return static_cast<u16>(mask | (mask2 << 8)); }
    void SetCount(u16 n) {
        mask = static_cast<u8>(n);
        mask2 = static_cast<u8>(n >> 8);
    }
};

constexpr u32 kNoOp = 0xFFFFFFFF;

struct Translation {
    std::vector<XOp> ops;     // one per instruction, then one past the last
    std::vector<u32> opAt;    // op of the instruction at an offset (kNoOp: none)
    std::vector<const LadderRoutineRow*> routines;  // of the kRoutine ops
};
Translation g_x;

// Where a bit operand lives.
void BitAt(u32 a, u32* byte, u8* mask) {
    *byte = LadderBitByte(a);
    *mask = on_mask[a & 7];
}

// The op of the move instruction `w` whose operands start at ip.
template <bool kTok16>
bool DecodeMove(const u16* code, u32 ip, u16 w, XOp& o) {
    auto word = [&] { return 2 * LadderWordOperand<kTok16>(code, ip); };
    auto lit = [&] { return u32{LadderLit(code, ip)}; };
    switch (w) {
        case 75: case 76: case 77: case 78:
            o.kind = XKind::kLoadConv;
            o.a = LadderWordOperand<kTok16>(code, ip);
            o.b = w;
            return true;
        case 79: o.kind = XKind::kLdi2r; o.a = word(); return true;
        case 80: o.kind = XKind::kLdw; o.a = word(); return true;
        case 81: o.kind = XKind::kLdkw; o.a = lit(); return true;
        case 82: o.kind = XKind::kStw; o.a = word(); return true;
        case 83: o.kind = XKind::kLdd; o.a = word(); return true;
        case 84: o.kind = XKind::kLdkd; o.a = lit(); o.b = lit(); return true;
        case 85: o.kind = XKind::kStd; o.a = word(); return true;
        case 86: o.kind = XKind::kLdki2di; o.a = lit(); return true;
        case 87: o.kind = XKind::kLdi2di; o.a = word(); return true;
        case 195: o.kind = XKind::kLdb; o.a = LadderByteOperand<kTok16>(code, ip); return true;
        case 196: o.kind = XKind::kStb; o.a = LadderByteOperand<kTok16>(code, ip); return true;
        case 90: o.kind = XKind::kMovw; o.a = word(); o.b = word(); return true;
        case 92: o.kind = XKind::kMovkw; o.a = word(); o.b = lit(); return true;
        case 95: o.kind = XKind::kMovd; o.a = word(); o.b = word(); return true;
        case 96: o.kind = XKind::kMovkd; o.a = word(); o.b = lit(); o.b |= lit() << 16; return true;
        case 91: {
            // BLKMOV: the plain form and the modes with operands.
            bool bytes = false;
            if (code[ip] == 0 && code[ip + 1] == 0) {
                const u16 mode = code[ip + 2];
                if (mode < 1 || mode > 4) return false;
                bytes = mode == 1;
                ip += 4;
            }
            o.kind = bytes ? XKind::kBlkBytes : XKind::kBlkWords;
            if (bytes) {
                o.a = LadderByteOperand<kTok16>(code, ip);
                o.b = LadderByteOperand<kTok16>(code, ip);
            } else {
                o.a = word();
                o.b = word();
            }
            o.SetCount(static_cast<u16>(lit()));
            return true;
        }
        default: return false;
    }
}

// The op of the REAL-family instruction `w` whose operands start at ip.
template <bool kTok16>
bool DecodeReal(const u16* code, u32 ip, u16 w, XOp& o) {
    o.b = w;
    switch (w) {
        case 300: case 301: case 302: case 303: case 304: case 324: case 325: case 326: case 327: case 328:
            o.kind = XKind::kConvByte;
            o.a = LadderByteOperand<kTok16>(code, ip);
            return true;
        case 305: case 306: case 307: case 308: case 309: case 315: case 316: case 329:
            o.kind = XKind::kConvWord;
            o.a = LadderWordOperand<kTok16>(code, ip);
            return true;
        case 310: case 311: case 312: case 313: case 314: case 317: case 318: case 319: case 320: case 321:
        case 330: case 331:
            o.kind = XKind::kConvPair;
            o.a = LadderWordOperand<kTok16>(code, ip);
            return true;
        default:
            return false;
    }
}

// The op of a single instruction of `len` words, from its opcode (or
// contact word).
template <bool kTok16>
XOp Decode(const u16* code, u32 at, u32 len) {
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
    // A call of the family's own code at the instruction.
    auto family = [&](XKind k) {
        if (len > 0xFFFF) return false;
        o.kind = k;
        o.b = w;
        o.SetCount(static_cast<u16>(len));
        return true;
    };
    switch (w) {
#define X(name, opcode, fn) \
    case opcode: o.kind = XKind::kS##name; return o;
        LADDER_STACK_OPS(X)
#undef X
        default: break;
    }
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
        case LExec::kMove:
            if (!DecodeMove<kTok16>(code, ip, w, o)) family(XKind::kFMove);
            break;
        case LExec::kReal:
            if (!DecodeReal<kTok16>(code, ip, w, o)) family(XKind::kFReal);
            break;
        case LExec::kIntMath: family(XKind::kFIntMath); break;
        case LExec::kText: family(XKind::kFText); break;
        case LExec::kPointer: family(XKind::kFPointer); break;
        case LExec::kPanel: family(XKind::kFPanel); break;
        case LExec::kRoutine: {
            const LadderRoutineRow* row = LadderRoutine_Find(w);
            // No row: the interpreter's program fault.
            if (row == nullptr || !family(XKind::kRoutine)) break;
            o.b = static_cast<u32>(g_x.routines.size());
            g_x.routines.push_back(row);
            break;
        }
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
// a combiner, a combiner and a coil, all three, or two loads.
XOp Fuse(const std::vector<XOp>& ops, size_t i) {
    XOp o = ops[i];
    const size_t n = ops.size();
    if ((o.kind == XKind::kLdw || o.kind == XKind::kLdd) && i + 1 < n) {
        const XOp& p = ops[i + 1];
        const bool w = o.kind == XKind::kLdw;
        XKind k = XKind::kInterp;
        u32 b = p.a;
        if (p.kind == XKind::kLdw && w) k = XKind::kLdwLdw;
        if (p.kind == XKind::kLdkw && w) k = XKind::kLdwLdkw;
        if (p.kind == XKind::kLdd && !w) k = XKind::kLddLdd;
        if (p.kind == XKind::kLdkd && !w) {
            k = XKind::kLddLdkd;
            b = (p.a & 0xFFFF) | (p.b << 16);
        }
        if (k != XKind::kInterp) {
            o.kind = k;
            o.b = b;
            o.skip = 2;
        }
        return o;
    }
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
    x.routines.clear();
    x.opAt.assign(words + 1, kNoOp);
    for (u32 at = 0; at < words;) {
        u32 len = LadderInstruction_Words(code + at, words - at, kTok16);
        XOp o{XKind::kInterp, 0, 0, 1, at, 0};
        // Only instructions whose operands lie whole in the code are
        // decoded; what cannot be decoded is left to the interpreter.
        if (len != 0) o = Decode<kTok16>(code, at, len);
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
[[gnu::always_inline]] inline bool XBit(const u8* mem, u32 byte, u8 mask) { return (mem[byte] & mask) != 0; }
[[gnu::always_inline]] inline void XPut(u8* mem, u32 byte, u8 mask, bool on) {
    u8& b = mem[byte];
    b = on ? static_cast<u8>(b | mask) : static_cast<u8>(b & ~mask);
}
[[gnu::always_inline]] inline void XContact(u8*& top, u32 byte, u8 mask) { *++top = XBit(plc_reg, byte, mask) ? 0xFF : 0; }
[[gnu::always_inline]] inline void XOut(u8*& top, u32 byte, u8 mask) { XPut(plc_reg, byte, mask, *top-- != 0); }
[[gnu::always_inline]] inline void XOutNot(u8*& top, u32 byte, u8 mask) { XPut(plc_reg, byte, mask, *top-- == 0); }
[[gnu::always_inline]] inline void XSet(u8*& top, u32 byte, u8 mask) {
    if (*top-- != 0) XPut(plc_reg, byte, mask, true);
}
[[gnu::always_inline]] inline void XReset(u8*& top, u32 byte, u8 mask) {
    if (*top-- != 0) XPut(plc_reg, byte, mask, false);
}
[[gnu::always_inline]] inline void XOsRise(u8*& top, u32 byte, u8 mask) {
    if (*top-- != 0) {
        XPut(plc_reg, byte, mask, !XBit(old_reg, byte, mask));
        XPut(old_reg, byte, mask, true);
    } else {
        XPut(plc_reg, byte, mask, false);
        XPut(old_reg, byte, mask, false);
    }
}
[[gnu::always_inline]] inline void XOsFall(u8*& top, u32 byte, u8 mask) {
    if (*top-- != 0) {
        XPut(plc_reg, byte, mask, false);
        XPut(old_reg, byte, mask, true);
    } else {
        XPut(plc_reg, byte, mask, XBit(old_reg, byte, mask));
        XPut(old_reg, byte, mask, false);
    }
}

// Register words at pre-decoded byte offsets.
[[gnu::always_inline]] inline u16 XWord(u32 byte) { return GetLe16(&plc_reg[byte]); }
[[gnu::always_inline]] inline void XPutWord(u32 byte, u16 v) { PutLe16(&plc_reg[byte], v); }

// Runs the translated program. Each op jumps straight to the code of the
// next through a table of label addresses (one indirect jump per op, each
// predicted on its own), and only the power-flow and word stack pointers
// and the op index stay in registers through the hot ops.
template <bool kTok16>
i32 Run(const u16* code) {
    using namespace lcontact;
    // The code of every kind, in the order of XKind.
    static const void* const kJump[] = {
        &&L_kInterp, &&L_kContact, &&L_kNot, &&L_kSetTrue, &&L_kSetFalse, &&L_kOrAnd, &&L_kAndOr, &&L_kPop,
        &&L_kRepush, &&L_kOsRise, &&L_kOsFall,
#define X(c) &&L_k##c,
        LADDER_COMBINERS(X) LADDER_COILS(X)
#undef X
#define X(c) &&L_kContact##c,
        LADDER_COMBINERS(X)
#undef X
#define XK(c, coil) &&L_k##c##coil,
#define X(c) XK(c, Out) XK(c, OutNot) XK(c, Set) XK(c, Reset)
        LADDER_COMBINERS(X)
#undef X
#define X(c) XK(Contact##c, Out) XK(Contact##c, OutNot) XK(Contact##c, Set) XK(Contact##c, Reset)
        LADDER_COMBINERS(X)
#undef X
#undef XK
        &&L_kLdw, &&L_kLdkw, &&L_kStw, &&L_kLdd, &&L_kLdkd, &&L_kStd, &&L_kLdi2di, &&L_kLdki2di, &&L_kLdi2r,
        &&L_kLdb, &&L_kStb, &&L_kMovw, &&L_kMovkw, &&L_kMovd, &&L_kMovkd, &&L_kLdwLdw, &&L_kLdwLdkw,
        &&L_kLddLdd, &&L_kLddLdkd, &&L_kBlkWords, &&L_kBlkBytes,
        &&L_kLoadConv, &&L_kConvByte, &&L_kConvWord, &&L_kConvPair,
#define X(name, opcode, fn) &&L_kS##name,
        LADDER_STACK_OPS(X)
#undef X
#define X(name, fn) &&L_kF##name,
        LADDER_FAMILIES(X)
#undef X
        &&L_kRoutine,
    };
    static_assert(std::size(kJump) == static_cast<size_t>(XKind::kCount));

    const XOp* const ops = g_x.ops.data();
    u8* top = &g.l_stack[0];
    u16* wsp = &g.w_stack[0];
    u32 pc = 0;
    u32 at = 0;  // where the interpreter takes over
    Interp<kTok16> in{code, top, wsp};

#define OP(k)  \
    L_##k: {   \
        const XOp& o = ops[pc];
#define NEXT                                              \
    pc += o.skip;                                         \
    goto* kJump[static_cast<u8>(ops[pc].kind)];           \
    }
#define DISPATCH() goto* kJump[static_cast<u8>(ops[pc].kind)]

    DISPATCH();

    OP(kInterp)
        at = o.a;
        goto interpret;
    }
    OP(kContact) XContact(top, o.a, o.mask); NEXT
    OP(kNot) NotTop(top); NEXT
    OP(kSetTrue) SetTrue(top); NEXT
    OP(kSetFalse) SetFalse(top); NEXT
    OP(kOrAnd) OrAnd(top); NEXT
    OP(kAndOr) AndOr(top); NEXT
    OP(kPop) Pop(top); NEXT
    OP(kRepush) Repush(top); NEXT
    OP(kOsRise) XOsRise(top, o.a, o.mask); NEXT
    OP(kOsFall) XOsFall(top, o.a, o.mask); NEXT
#define X(c) OP(k##c) c(top); NEXT
    LADDER_COMBINERS(X)
#undef X
#define X(c) OP(k##c) X##c(top, o.a, o.mask); NEXT
    LADDER_COILS(X)
#undef X
#define X(c)                     \
    OP(kContact##c)              \
        XContact(top, o.a, o.mask); \
        c(top);                  \
    NEXT
    LADDER_COMBINERS(X)
#undef X
#define XK(c, coil)                \
    OP(k##c##coil)                 \
        c(top);                    \
        X##coil(top, o.a, o.mask); \
    NEXT
#define X(c) XK(c, Out) XK(c, OutNot) XK(c, Set) XK(c, Reset)
    LADDER_COMBINERS(X)
#undef X
#undef XK
#define XK(c, coil)                  \
    OP(kContact##c##coil)            \
        XContact(top, o.a, o.mask);  \
        c(top);                      \
        X##coil(top, o.b, o.mask2);  \
    NEXT
#define X(c) XK(c, Out) XK(c, OutNot) XK(c, Set) XK(c, Reset)
    LADDER_COMBINERS(X)
#undef X
#undef XK
    OP(kLdw) *wsp++ = XWord(o.a); NEXT
    OP(kLdkw) *wsp++ = static_cast<u16>(o.a); NEXT
    OP(kStw) XPutWord(o.a, *--wsp); NEXT
    OP(kLdd)
        wsp[0] = XWord(o.a);
        wsp[1] = XWord(o.a + 2);
        wsp += 2;
    NEXT
    OP(kLdkd)
        wsp[0] = static_cast<u16>(o.a);
        wsp[1] = static_cast<u16>(o.b);
        wsp += 2;
    NEXT
    OP(kStd)
        XPutWord(o.a + 2, wsp[-1]);
        XPutWord(o.a, wsp[-2]);
        wsp -= 2;
    NEXT
    OP(kLdi2di)
        const u16 v = XWord(o.a);
        wsp[0] = v;
        wsp[1] = (v & 0x8000) != 0 ? 0xFFFF : 0;
        wsp += 2;
    NEXT
    OP(kLdki2di)
        const u16 v = static_cast<u16>(o.a);
        wsp[0] = v;
        wsp[1] = (v & 0x8000) != 0 ? 0xFFFF : 0;
        wsp += 2;
    NEXT
    OP(kLdi2r)
        const u32 f = FloatBits(static_cast<float>(static_cast<i16>(XWord(o.a))));
        wsp[0] = static_cast<u16>(f);
        wsp[1] = static_cast<u16>(f >> 16);
        wsp += 2;
    NEXT
    OP(kLdb) *wsp++ = plc_reg[o.a]; NEXT
    OP(kStb) plc_reg[o.a] = static_cast<u8>(*--wsp); NEXT
    OP(kMovw) XPutWord(o.a, XWord(o.b)); NEXT
    OP(kMovkw) XPutWord(o.a, static_cast<u16>(o.b)); NEXT
    OP(kMovd)
        const u32 v = GetLe32(&plc_reg[o.b]);
        XPutWord(o.a, static_cast<u16>(v));
        XPutWord(o.a + 2, static_cast<u16>(v >> 16));
    NEXT
    OP(kMovkd)
        XPutWord(o.a, static_cast<u16>(o.b));
        XPutWord(o.a + 2, static_cast<u16>(o.b >> 16));
    NEXT
    OP(kLdwLdw)
        wsp[0] = XWord(o.a);
        wsp[1] = XWord(o.b);
        wsp += 2;
    NEXT
    OP(kLdwLdkw)
        wsp[0] = XWord(o.a);
        wsp[1] = static_cast<u16>(o.b);
        wsp += 2;
    NEXT
    OP(kLddLdd)
        wsp[0] = XWord(o.a);
        wsp[1] = XWord(o.a + 2);
        wsp[2] = XWord(o.b);
        wsp[3] = XWord(o.b + 2);
        wsp += 4;
    NEXT
    OP(kLddLdkd)
        wsp[0] = XWord(o.a);
        wsp[1] = XWord(o.a + 2);
        wsp[2] = static_cast<u16>(o.b);
        wsp[3] = static_cast<u16>(o.b >> 16);
        wsp += 4;
    NEXT
    OP(kBlkWords)
        if (!LadderMove_Bytes(o.a, o.b, 2 * u32{o.Count()}, true)) *top = 0;
    NEXT
    OP(kBlkBytes)
        if (!LadderMove_Bytes(o.a, o.b, o.Count(), false)) *top = 0;
    NEXT
#define XCALL(k, fn)                          \
    OP(k)                                     \
        LadderVm vm{code, 0, top, wsp};       \
        fn(static_cast<u16>(o.b), vm, o.a);   \
        wsp = vm.wsp;                         \
    NEXT
    XCALL(kLoadConv, LadderMove_LoadConverted)
    XCALL(kConvByte, LadderReal_ConvertByte)
    XCALL(kConvWord, LadderReal_ConvertWord)
    XCALL(kConvPair, LadderReal_ConvertPair)
#undef XCALL
#define X(name, opcode, fn)             \
    OP(kS##name)                        \
        LadderVm vm{code, 0, top, wsp}; \
        fn(opcode, vm);                 \
        wsp = vm.wsp;                   \
    NEXT
    LADDER_STACK_OPS(X)
#undef X
#define X(name, fn)                                                        \
    OP(kF##name)                                                           \
        LadderVm vm{code, o.a + 1, top, wsp};                              \
        if (!fn<kTok16>(static_cast<u16>(o.b), vm)) return Offset(vm.ip);  \
        top = vm.top;                                                      \
        wsp = vm.wsp;                                                      \
        if (vm.ip != o.a + o.Count()) {                                    \
            at = vm.ip;                                                    \
            goto interpret;                                                \
        }                                                                  \
    NEXT
    LADDER_FAMILIES(X)
#undef X
    OP(kRoutine)
        const LadderRoutineRow* row = g_x.routines[o.b];
        u32 ip = o.a + 1;
        const u8 v = row->run(code, ip, *top, kTok16);
        if (row->faults && v == kLadderRoutineFault) return Offset(o.a + 1);
        *top = v;
        if (ip != o.a + o.Count()) {
            at = ip;
            goto interpret;
        }
    NEXT

interpret : {
    // The interpreter runs until it stands on an instruction with a
    // translated op; off the translated instruction starts (a family that
    // moved the pointer elsewhere) it goes on.
    const u32* opAt = g_x.opAt.data();
    const u32 words = static_cast<u32>(g_x.opAt.size()) - 1;
    in.top = top;
    in.wsp = wsp;
    in.ip = at;
    for (;;) {
        if (!in.Step()) return in.result;
        const u32 next = in.ip <= words ? opAt[in.ip] : kNoOp;
        if (next == kNoOp) continue;
        pc = next;
        if (ops[pc].kind != XKind::kInterp) break;
    }
    top = in.top;
    wsp = in.wsp;
    DISPATCH();
}
#undef OP
#undef NEXT
#undef DISPATCH
}
#undef LADDER_COMBINERS
#undef LADDER_COILS
#undef LADDER_STACK_OPS
#undef LADDER_FAMILIES

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
