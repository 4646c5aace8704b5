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

// Runs the checked program. Stack depths, targets and operand addresses
// were proven by the checker; only the call depth and the budget are
// checked here.
template <bool kTok16>
i32 Run(const u16* code) {
    using namespace lcontact;
    u8* top = &g.l_stack[0];
    u16* wsp = &g.w_stack[0];
    u32 ip = 0;
    u32 segment = 0;  // where the current straight run of code began
    i64 budget = kLadderScanBudgetWords;

    // A taken jump, call, return or step; false when the budget is spent.
    auto transfer = [&](u32 target) {
        budget -= ip - segment;
        if (budget < 0) return false;
        ip = target;
        segment = target;
        return true;
    };

    // An instruction of a family module: it sees the interpreter's registers
    // through a LadderVm and hands them back.
    auto family = [&](auto exec, u16 op) {
        LadderVm vm{code, ip, top, wsp};
        bool go = exec(op, vm);
        ip = vm.ip;
        top = vm.top;
        wsp = vm.wsp;
        return go;
    };

    for (;;) {
        const u16 w = code[ip++];
        if (w >= kLadderFirstContact) {
            Contact(top, w);
            continue;
        }
        switch (kLadderExec[w]) {
            case LExec::kFault:
            case LExec::kContact:
                return Offset(ip);
            case LExec::kNop:
                break;
            case LExec::kEnd:
                return EndHousekeeping();
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
                if (*top-- != 0 && !transfer(ip + n)) return Offset(ip);
                break;
            }
            case LExec::kCall:
            case LExec::kCalll: {
                i32 n = w == 73 ? static_cast<i16>(LadderLit(code, ip)) : static_cast<i32>(LadderLit2(code, ip));
                if (*top-- == 0) break;
                if (g.call_stack_index >= kLadderCallDepth) return Offset(ip);
                g.call_stack[g.call_stack_index++] = ip;
                if (!transfer(ip + n)) return Offset(ip);
                break;
            }
            case LExec::kSkipf: {
                u16 n = LadderLit(code, ip);
                if (*top == 0 && !transfer(ip + n)) return Offset(ip);
                break;
            }
            case LExec::kRet:
                if (*top-- == 0) break;
                if (g.call_stack_index == 0) return Offset(ip);
                if (!transfer(g.call_stack[--g.call_stack_index])) return Offset(ip);
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
                if (!transfer(at + 2 + n)) return Offset(ip);
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
                if (row == nullptr) return Offset(at);
                const u8 v = row->run(code, ip, *top, kTok16);
                if (row->faults && v == kLadderRoutineFault) return Offset(at);
                *top = v;
                break;
            }
            case LExec::kMove:
                if (!family(LadderMove_Exec<kTok16>, w)) return Offset(ip);
                break;
            case LExec::kIntMath:
                if (!family(LadderIntMath_Exec<kTok16>, w)) return Offset(ip);
                break;
            case LExec::kReal:
                if (!family(LadderReal_Exec<kTok16>, w)) return Offset(ip);
                break;
            case LExec::kText:
                if (!family(LadderText_Exec<kTok16>, w)) return Offset(ip);
                break;
            case LExec::kPointer:
                if (!family(LadderPointer_Exec<kTok16>, w)) return Offset(ip);
                break;
            case LExec::kPanel:
                if (!family(LadderPanel_Exec<kTok16>, w)) return Offset(ip);
                break;
        }
    }
}

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
    return tok16 ? Run<true>(g_code) : Run<false>(g_code);
}

u32 Ladder_ScanTimeMs() { return g.local_scan_time; }
u16 Ladder_TimerStamp() { return g.time_frt_100us; }
LadderCheckResult Ladder_LastCheck() { return g.check; }

void Ladder_Reset() {
    g = State{};
    LadderPanel_Reset();
    RegTokLen_16b = 0;
}
