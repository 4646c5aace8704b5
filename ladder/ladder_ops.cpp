#include "ladder/ladder_ops.h"

#include <array>
#include <cstring>
#include <initializer_list>
#include <span>

#include "ladder/flow_fun.h"
#include "ladder/intmath.h"
#include "ladder/ltmrcnt.h"
#include "ladder/multi_sr.h"
#include "ladder/panel.h"
#include "ladder/pid.h"
#include "ladder/pointer.h"
#include "ladder/realmath.h"
#include "ladder/schedule.h"
#include "ladder/sunpos.h"
#include "ladder/textops.h"
#include "ladder/wordmove.h"

namespace {

using namespace lrow;

// The interpreter's own instructions (contacts, power flow, jumps, calls,
// steps, tests and masks), the block routines the wiring supplies from a
// higher floor (the file instructions) and the assigned instructions of the
// families not built into this interpreter.
constexpr Row kCoreOps[] = {
    Op(9, "END", E::kEnd, F::kStop, 0, 0),
    Op(31, "CONTL", E::kContl, F::kNext, 0, 1, {O::kBit}),
    Op(32, "NOT", E::kNot, F::kNext, 1, 0),
    Op(33, "SETTRUE", E::kSetTrue, F::kNext, 1, 0),
    Op(34, "SETFALSE", E::kSetFalse, F::kNext, 1, 0),
    Op(35, "OR", E::kOr, F::kNext, 2, -1),
    Op(36, "AND", E::kAnd, F::kNext, 2, -1),
    Op(38, "OUT", E::kOut, F::kNext, 1, -1, {O::kBit}),
    Op(50, "OSRISE", E::kOsRise, F::kNext, 1, -1, {O::kBit}),
    Op(51, "OSFALL", E::kOsFall, F::kNext, 1, -1, {O::kBit}),
    Op(52, "SET", E::kSet, F::kNext, 1, -1, {O::kBit}),
    Op(53, "RESET", E::kReset, F::kNext, 1, -1, {O::kBit}),
    Op(54, "OUTNOT", E::kOutNot, F::kNext, 1, -1, {O::kBit}),
    Op(55, "POP", E::kPop, F::kNext, 1, -1),
    Op(56, "REPUSH", E::kRepush, F::kNext, 0, 1),
    Op(60, "ANDN", E::kAndn, F::kNext, 2, -1),
    Op(61, "ORN", E::kOrn, F::kNext, 2, -1),
    Op(62, "NAND", E::kNand, F::kNext, 2, -1),
    Op(63, "NOR", E::kNor, F::kNext, 2, -1),
    Op(64, "ORAND", E::kOrAnd, F::kNext, 3, -2),
    Op(65, "ANDOR", E::kAndOr, F::kNext, 3, -2),
    Op(68, "JMPL", E::kJmpl, F::kJump, 1, -1, {O::kLit2}),
    Op(69, "CALLL", E::kCalll, F::kCall, 1, -1, {O::kLit2}),
    Op(70, "SKIPF", E::kSkipf, F::kSkip, 1, 0, {O::kLit}),
    Op(71, "JMP", E::kJmp, F::kJump, 1, -1, {O::kLit}),
    Op(73, "CALL", E::kCall, F::kCall, 1, -1, {O::kLit}),
    Op(74, "RET", E::kRet, F::kRet, 1, -1),
    Rt(132, 132, "TALKOPEN"),
    Rt(133, 133, "TALKSEND"),
    Rt(134, 134, "TALKRECV"),
    Rt(135, 135, "TALKCLOSE"),
    Rt(136, 136, "TALKMODEM"),
    Rt(137, 137, "TALKMODBUS"),
    Rt(248, 254, "FILE"),
    Op(360, "CONTEQ1", E::kContEq1, F::kNext, 0, 1, {O::kWord}),
    Op(361, "STEP", E::kStep, F::kStep, 0, 0, {O::kWord, O::kLit2, O::kLit2, O::kLit2, O::kLit2}, 3),
    Op(362, "TESTW", E::kTestW, F::kNext, 0, 1, {O::kWord, O::kShortWord}),
    Op(363, "TESTD", E::kTestD, F::kNext, 0, 1, {O::kWord, O::kShortWord}, 2),
    Op(364, "MASKW", E::kMaskW, F::kNext, 1, -1, {O::kWord, O::kShortWord}),
    Op(365, "MASKD", E::kMaskD, F::kNext, 1, -1, {O::kWord, O::kShortWord}, 2),
    Rt(367, 367, "CANOPEN"),
    Rt(531, 531, "TALKMODBUSX"),
};

constexpr std::span<const Row> kFamilies[] = {
    kCoreOps, kMoveOps, kIntMathOps, kRealOps, kTextOps, kPointerOps, kPanelOps,
    kMultiShiftOps, kTimerCounterOps, kPidOps, kSunPosOps, kScheduleOps, kFlowOps,
};

// Unassigned codes of groups 1 and 2 are one-word no-operations (older
// editors left them in programs); every other unassigned code is a fault.
constexpr u16 kNops[] = {66, 67, 72, 88, 89, 138, 139, 159, 180, 181, 185, 186, 189, 190, 191};

// True when every row lies in the opcode range and no opcode is claimed by
// two rows (of one family or of two) or by a row and a no-operation.
constexpr bool RowsDisjoint() {
    std::array<bool, kLadderOpcodes> taken{};
    for (u16 c : kNops) taken[c] = true;
    for (std::span<const Row> f : kFamilies)
        for (const Row& r : f) {
            if (r.first > r.last || r.last >= kLadderOpcodes) return false;
            for (u32 c = r.first; c <= r.last; ++c) {
                if (taken[c]) return false;
                taken[c] = true;
            }
        }
    return true;
}
static_assert(RowsDisjoint(), "two ladder instruction rows claim one opcode");

constexpr std::array<LadderOp, kLadderOpcodes> BuildTable() {
    std::array<LadderOp, kLadderOpcodes> t{};
    for (u16 c = 0; c < kLadderOpcodes; ++c) t[c] = LadderOp{c, nullptr, E::kFault, F::kStop, 0, 0, 0, 0, 1, 0, {}, nullptr};
    for (u16 c : kNops) t[c] = LadderOp{c, nullptr, E::kNop, F::kNext, 0, 0, 0, 0, 1, 0, {}, nullptr};
    for (std::span<const Row> f : kFamilies)
        for (const Row& r : f)
            for (u32 c = r.first; c <= r.last; ++c) {
                LadderOp op{static_cast<u16>(c), r.name,     r.exec, r.flow, r.boolNeed, r.boolDelta, r.wordNeed,
                            r.wordDelta,         r.wordSpan, 0,      {},     r.layout};
                for (u8 i = 0; i < r.count; ++i) op.operands[op.operandCount++] = r.operands[i];
                t[c] = op;
            }
    return t;
}

constexpr std::array<LadderOp, kLadderOpcodes> kTable = BuildTable();

constexpr std::array<LExec, kLadderOpcodes> BuildExec() {
    std::array<LExec, kLadderOpcodes> e{};
    for (u16 c = 0; c < kLadderOpcodes; ++c) e[c] = kTable[c].exec;
    return e;
}

constexpr std::array<LExec, kLadderOpcodes> kExec = BuildExec();

static_assert(kTable[9].exec == E::kEnd && kTable[66].exec == E::kNop && kTable[10].exec == E::kFault);
static_assert(kTable[576].exec == E::kFault && kTable[1023].name == nullptr);

}  // namespace

const LExec kLadderExec[kLadderOpcodes] = {
#define X8(n) kExec[n], kExec[n + 1], kExec[n + 2], kExec[n + 3], kExec[n + 4], kExec[n + 5], kExec[n + 6], kExec[n + 7]
#define X64(n) X8(n), X8(n + 8), X8(n + 16), X8(n + 24), X8(n + 32), X8(n + 40), X8(n + 48), X8(n + 56)
#define X512(n) X64(n), X64(n + 64), X64(n + 128), X64(n + 192), X64(n + 256), X64(n + 320), X64(n + 384), X64(n + 448)
    X512(0), X512(512)
#undef X512
#undef X64
#undef X8
};

std::span<const std::span<const lrow::Row>> LadderOp_Families() { return kFamilies; }

const LadderOp& LadderOp_Get(u16 opcode) { return kTable[opcode & (kLadderOpcodes - 1)]; }

const LadderOp* LadderOp_Find(const char* name) {
    if (name == nullptr) return nullptr;
    for (const LadderOp& op : kTable)
        if (op.name != nullptr && std::strcmp(op.name, name) == 0) return &op;
    return nullptr;
}

u32 LadderOperand_Words(LOpd kind, const u16* code, u32 avail, bool tok16) {
    u32 n = 0;
    switch (kind) {
        case O::kBit:
        case O::kWordPlain:
        case O::kLitOrReg:
            n = tok16 ? 1 : 2;
            break;
        case O::kWord:
        case O::kByte:
        case O::kShortWord:
            if (!tok16)
                n = 2;
            else if (avail >= 1 && (code[0] == 1776 || code[0] == 1777))
                n = 2;
            else
                n = 1;
            break;
        case O::kLit:
            n = 1;
            break;
        case O::kLit2:
            n = 2;
            break;
        case O::kFormat20:
            n = 10;
            break;
        case O::kRecord7:
            n = 7;
            break;
        case O::kText:
        case O::kRoutine:
            return 0;
    }
    return n <= avail ? n : 0;
}

u32 LadderLayout::Add(LOpd kind, const u16* code, u32 at, u32 avail, bool tok16, u16 span) {
    u32 n = at < avail ? LadderOperand_Words(kind, code + at, avail - at, tok16) : 0;
    if (n == 0) {
        Fail(LLayoutStatus::kTruncated);
        return 0;
    }
    if (count < kLadderMaxLayoutOperands) regs[count++] = LadderOperandAt{kind, static_cast<u16>(at), span};
    return n;
}

LadderLayout LadderInstruction_Layout(const u16* code, u32 avail, bool tok16) {
    LadderLayout out;
    if (avail == 0) {
        out.status = LLayoutStatus::kTruncated;
        return out;
    }
    if (code[0] >= kLadderFirstContact) {
        out.words = 1;
        return out;
    }
    const LadderOp& op = LadderOp_Get(code[0]);
    if (op.layout != nullptr) {
        op.layout(code, avail, tok16, out);
        if (out.status == LLayoutStatus::kOk && (out.words == 0 || out.words > avail))
            out.status = LLayoutStatus::kTruncated;
        return out;
    }
    out.wordNeed = op.wordNeed;
    out.wordDelta = op.wordDelta;
    if (op.exec == LExec::kRoutine) {
        out.words = LadderRoutine_Words(code, avail, tok16);
        if (out.words == 0) out.status = LLayoutStatus::kTruncated;
        return out;
    }
    u32 pos = 1;
    for (u8 i = 0; i < op.operandCount; ++i) {
        const LOpd kind = op.operands[i];
        const bool reg = kind == LOpd::kBit || kind == LOpd::kWord || kind == LOpd::kWordPlain ||
                         kind == LOpd::kByte || kind == LOpd::kShortWord;
        u32 n = reg ? out.Add(kind, code, pos, avail, tok16, kind == LOpd::kByte ? 1 : op.wordSpan)
                    : LadderOperand_Words(kind, code + pos, avail - pos, tok16);
        if (n == 0) {
            out.status = LLayoutStatus::kTruncated;
            return out;
        }
        pos += n;
    }
    out.words = pos;
    return out;
}

u32 LadderInstruction_Words(const u16* code, u32 avail, bool tok16) {
    LadderLayout l = LadderInstruction_Layout(code, avail, tok16);
    return l.status == LLayoutStatus::kOk || l.status == LLayoutStatus::kBadLiteral ? l.words : 0;
}
