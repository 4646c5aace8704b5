#include "iec/kernel/q4vmtic.h"

#include <algorithm>
#include <bit>
#include <type_traits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "iec/kernel/q4opcodes.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4vmbsmp.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmcnv.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmfb.h"
#include "iec/kernel/q4vmmap.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmstd.h"
#include "iec/kernel/q4vmstr.h"

static_assert(std::endian::native == std::endian::little, "the VM tables are read in host order");

namespace {

template <class T>
inline T Ld(const u8* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class T>
inline void St(u8* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// --- Verification ---------------------------------------------------------------

struct Verified {
    const u8* db;
    const u8* codeData;  // the code image the programs were checked in
    std::vector<std::vector<bool>> starts;  // instruction starts per program (word index)
};
struct State {
    std::string fault;                // why the last verification refused
    std::vector<Verified> verified;   // databases whose programs passed
};
State g;

u16 Alloc(u8* db, u32 area) { return Q4VM_GetDesc(db, area).allocated; }

bool Fault(const char* what, u32 pos) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%s at byte %u", what, pos);
    g.fault = buf;
    return false;
}

// Does index fit the class of kind? Without limits the database says what
// exists; with them (a code not yet built on the database) the limits do.
bool IndexOk(u8* db, const Q4TicLimits* lim, Q4Operand kind, u16 v) {
    if (lim) {
        switch (kind) {
            case kQ4OpndStr: return v >= 1 && v <= lim->strings;
            case kQ4OpndXv: return v >= 1 && v <= lim->externals;
            case kQ4OpndProg: return v >= 1 && v <= lim->programs;
            case kQ4OpndInst: return v >= 1 && v <= lim->instances;
            case kQ4OpndCFunc: return v >= 1 && v <= lim->functions;
            default: break;
        }
    }
    switch (kind) {
        case kQ4OpndD8: return v < Alloc(db, kDbData8);
        case kQ4OpndD16: return v < Alloc(db, kDbData16);
        case kQ4OpndD32: return v < Alloc(db, kDbData32);
        case kQ4OpndD64: return v < Alloc(db, kDbData64);
        case kQ4OpndTime: return v < Alloc(db, kDbTime);
        case kQ4OpndStr: return Q4Tools_String(db, v) != nullptr;
        case kQ4OpndXv: {
            u8* e = Q4Tools_Element(db, kDbExternalVars, v);
            return e && v != 0 && GetLe32(e) != 0;
        }
        case kQ4OpndProg: return v >= 1 && v <= Q4VMPrg_Count(db);
        case kQ4OpndStep: return v < Alloc(db, kDbSfcSteps);
        case kQ4OpndTrans: return v < Alloc(db, kDbSfcTransitions);
        case kQ4OpndInst: return Q4VMFbl_Instance(db, v) != nullptr;
        case kQ4OpndCFunc: return Q4VMFbl_CustomFunction(db, v) != nullptr;
        default: return true;
    }
}

Q4Operand KindOfType(u16 type) {
    switch (Q4Type_Class(type)) {
        case kQ4ClassData8: return kQ4OpndD8;
        case kQ4ClassData16: return kQ4OpndD16;
        case kQ4ClassData32: return kQ4OpndD32;
        case kQ4ClassData64: return kQ4OpndD64;
        case kQ4ClassTime: return kQ4OpndTime;
        case kQ4ClassString: return kQ4OpndStr;
        default: return kQ4OpndNone;
    }
}

// Operand (1-based) holding the type code of an Any operand of op.
u32 TypeOperandFor(u16 op, u32 operand) {
    switch (op) {
        case 205:
        case 207: return operand == 1 ? 3 : 4;
        case 531: case 532: case 566: case 567: case 568: case 569: return 1;
        case 552: return 2;
        default: return 0;
    }
}

// Opcodes that need a program record (not allowed in the execution buffer).
bool NeedsProgram(u16 op) {
    return op == 423 || op == 506 || op == 507 || (op >= 412 && op <= 421) || (op >= 545 && op <= 551);
}

// Kind of the n words of a variable form.
Q4Operand VariableKind(u16 op) {
    switch (op) {
        case 543: return kQ4OpndTarget;
        case 413: case 414: case 415: case 416: return kQ4OpndStep;
        case 420: return kQ4OpndProg;
        default: return kQ4OpndNone;  // texts, call operands (the handler checks them), sampling
    }
}

bool CheckStream(u8* db, const Q4Code& code, const Q4TicLimits* lim, const u16* w, u32 n, u16 program,
                 std::vector<bool>& starts) {
    starts.assign(n + 1, false);
    // One lock byte per index of every class: lock tests of any operand stay inside.
    u16 locks = Alloc(db, kDbLockFlags);
    for (u32 a : {kDbData8, kDbData16, kDbData32, kDbData64, kDbTime, kDbStringPointers})
        if (Alloc(db, a) > locks) return Fault("lock table smaller than a variable table", 0);
    // Pass 1: boundaries.
    u32 i = 0;
    while (i < n) {
        starts[i] = true;
        const Q4OpInfo& info = Q4Op_Info(w[i]);
        if (!info.name) {
            // The interpreter stops at an unknown opcode; nothing after it runs
            // unless a jump leads there, which pass 2 checks.
            i = n + 1;
            break;
        }
        u32 len = Q4Op_Length(w + i, n - i);
        if (len == 0) return Fault("instruction runs past the end", 2 * i);
        i += len;
    }
    // Every stream ends in an instruction that cannot fall through (end,
    // return, unconditional jump, or an opcode that stops), so the
    // interpreter never needs to test for the end of its code.
    {
        u32 last = n;
        for (u32 k = 0; k < n && k < starts.size(); ++k)
            if (starts[k]) last = k;
        if (last == n) return Fault("empty program", 0);
        u16 op = w[last];
        if (Q4Op_Info(op).name && op != 68 && op != 234 && op != 67 && op != 528)
            return Fault("program does not end with END, RET or a jump", 2 * last);
    }
    // Pass 2: operands and targets.
    for (i = 0; i < n; i = i + Q4Op_Length(w + i, n - i)) {
        if (!starts[i]) break;
        u16 op = w[i];
        const Q4OpInfo& info = Q4Op_Info(op);
        if (!info.name) break;
        u32 pos = 2 * i;
        if (program == 0 && NeedsProgram(op)) return Fault("instruction needs a program", pos);
        u32 fixed = info.words - 1u;
        auto target = [&](u32 byteOff) { return byteOff % 2 == 0 && byteOff / 2 < n && starts[byteOff / 2]; };
        for (u32 k = 0; k < fixed && k < 6; ++k) {
            u16 v = w[i + 1 + k];
            Q4Operand kind = info.ops[k];
            if (kind == kQ4OpndAny) {
                u32 t = TypeOperandFor(op, k + 1);
                if (t == 0) continue;
                u16 type = w[i + t];
                // CT-held and unknown type codes are checked at run time.
                if (op == 552 || op == 568 || op == 569) {
                    Q4Operand tk = KindOfType(type);
                    if (tk != kQ4OpndNone && !IndexOk(db, lim, tk, v)) return Fault("operand index out of range", pos);
                    continue;
                }
                Q4Operand tk = KindOfType(type);
                if (tk == kQ4OpndNone) return Fault("operand type unknown", pos);
                if (!IndexOk(db, lim, tk, v)) return Fault("operand index out of range", pos);
                continue;
            }
            if (kind == kQ4OpndDisp) {
                i64 t = 2 * static_cast<i64>(i + 2 + k) + static_cast<i16>(v);
                if (t < 0 || !target(static_cast<u32>(t))) return Fault("jump target outside the program", pos);
                continue;
            }
            if (kind == kQ4OpndTarget) {
                if (!target(v)) return Fault("jump target outside the program", pos);
                continue;
            }
            if (!IndexOk(db, lim, kind, v)) return Fault("operand index out of range", pos);
        }
        if (info.lockBit || (op >= 265 && op <= 282) || (op >= 318 && op <= 319) || (op >= 406 && op <= 411)) {
            if (w[i + 1] >= locks && info.ops[0] != kQ4OpndXv && info.ops[0] != kQ4OpndImm)
                return Fault("lock index out of range", pos);
        }
        if (info.ops[0] == kQ4OpndXv && w[i + 1] >= locks) return Fault("lock index out of range", pos);
        // External variables: the slot's variable must be of the class read or written.
        if (op >= 424 && op <= 479 && op != 454 && op != 455) {
            u16 slot = 0;
            u32 cls = 0;
            if (op <= 435) cls = (op - 424) % 6, slot = w[i + 1];
            else if (op >= 442 && op <= 453) cls = (op - 442) % 6, slot = w[i + 1];
            else if (op <= 441) cls = op == 441 ? 5 : op == 439 ? 3 : op == 440 ? 2 : op - 436u, slot = w[i + 1];
            else if (op <= 461) cls = op - 456u, slot = w[i + 2];
            else if (op <= 467) cls = op - 462u, slot = w[i + 1];
            else if (op <= 473) cls = op - 468u, slot = w[i + 2];
            else cls = op - 474u, slot = w[i + 1];
            Q4XvEntry e{};
            if (slot == 0 || !Q4VMCode_GetXv(code, static_cast<u16>(slot - 1), &e))
                return Fault("external variable unknown", pos);
            static const Q4Class kCls[6] = {kQ4ClassData8, kQ4ClassData16, kQ4ClassData32,
                                            kQ4ClassData64, kQ4ClassTime, kQ4ClassString};
            if (Q4Type_Class(e.type) != kCls[cls]) return Fault("external variable of another class", pos);
            if (op >= 456 && cls == 5) return Fault("indexed external string", pos);
        }
        if (info.countAt) {
            u16 cnt = w[i + info.countAt];
            Q4Operand vk = VariableKind(op);
            for (u32 k = 0; k < cnt; ++k) {
                u16 v = w[i + info.words + k];
                if (vk == kQ4OpndTarget) {
                    if (!target(v)) return Fault("jump target outside the program", pos);
                } else if (vk != kQ4OpndNone && !IndexOk(db, lim, vk, v)) {
                    return Fault("operand index out of range", pos);
                }
            }
            if (op == 413 && !IndexOk(db, lim, kQ4OpndTrans, w[i + 2])) return Fault("operand index out of range", pos);
        }
    }
    return true;
}

Verified* Find(const u8* db) {
    for (Verified& v : g.verified)
        if (v.db == db) return &v;
    return nullptr;
}

// --- Run-time context -------------------------------------------------------------

struct Ctx {
    u8* db;
    u8* st;
    u8 *t8, *t16, *t32, *t64, *tt, *lk, *xv, *steps, *trans, *ct;
    u32 ctSize, n8, n16, n32, n64, nt;
    u16 program;
};

u16 Flags(const u8* st) { return GetLe16(st + kQ4StFlags); }
void SetFlags(u8* st, u16 f) { PutLe16(st + kQ4StFlags, f); }

void StopApp(u8* st) {
    SetFlags(st, static_cast<u16>((Flags(st) & ~0x000Fu) | kVmFlagStopped));
}

u32 Where(const Ctx& c, const u16* base, const u16* ip) {
    return static_cast<u32>(ip - base) * 2u << 16 | c.program;
}

u32 Now(const u8* st) { return GetLe32(st + kVmStNow); }

u8* Step(const Ctx& c, u16 s) { return c.steps + static_cast<u32>(s) * kStepBytes; }
u8* Trans(const Ctx& c, u16 t) { return c.trans + static_cast<u32>(t) * kTransBytes; }

void Activate(const Ctx& c, u16 s) { PutLe16(Step(c, s) + kStepState, kStepActivating); }

void StepTime(const Ctx& c, u16 s) {
    u8* r = Step(c, s);
    u32 now = Now(c.st);
    PutLe32(r + kStepElapsed, GetLe32(r + kStepElapsed) + Q4VM_Elapsed(now, GetLe32(r + kStepStamp)));
    PutLe32(r + kStepStamp, now);
}

// CT location of the byte offset held in DINT var, when width bytes fit.
u8* CtAt(const Ctx& c, u32 offset, u32 width) {
    if (!c.ct || offset > c.ctSize || width > c.ctSize - offset) return nullptr;
    return c.ct + offset;
}

// Element base + idx of a table of n elements of width bytes; null outside.
u8* Indexed(u8* table, u32 n, u16 base, i32 idx, u32 width) {
    i64 e = static_cast<i64>(base) + idx;
    if (e < 0 || e >= n) return nullptr;
    return table + static_cast<u64>(e) * width;
}

int CallInstance(Ctx& c, u16 n, const u16* operands) {
    u8* r = Q4VMFbl_Instance(c.db, n);
    if (!r) return 0;
    u32 cd = GetLe32(r + kFbiClassData), id = GetLe32(r + kFbiInstData);
    Q4FbHandler h = Q4VMFbl_HandlerAt(GetLe32(r + kFbiHandler));
    return h(kFbExecute, c.db, cd ? c.db + cd : nullptr, id ? c.db + id : nullptr, operands);
}

// Program flags helpers.
u8* Prog(Ctx& c, u16 p) { return Q4VMPrg_Record(c.db, p); }
u16 PFlags(u8* rec) { return GetLe16(rec + kQ4PrFlags); }
void PSetFlags(u8* rec, u16 f) { PutLe16(rec + kQ4PrFlags, f); }

// Call stack.
struct Stack {
    u8* base;
    u16 limit;
};
Stack CallStack(u8* db, u8* st) {
    u32 bytes = 0;
    u8* p = Q4VM_AreaPtr(db, kDbCallStack, &bytes);
    u32 lim = GetLe16(st + kQ4StCallStackSize);
    if (lim > bytes / 4) lim = bytes / 4;
    return {p, static_cast<u16>(lim)};
}
u16 Depth(u8* db) { return Q4VM_GetDesc(db, kDbCallStack).used; }
void SetDepth(u8* db, u16 d) {
    VmDbDesc x = Q4VM_GetDesc(db, kDbCallStack);
    x.used = d;
    Q4VM_PutDesc(db, kDbCallStack, x);
}

// Lock bit that the type code of a lock-checked conversion selects.
u8 ConvertLockBit(u16 type) {
    switch (type) {
        case 1: case 10: case 14: return 0x01;
        case 11: case 15: return 0x02;
        case 2: case 3: case 16: return 0x04;
        case 12: case 13: return 0x08;
        case 4: return 0x10;
        case 5: return 0x20;
        default: return 0;
    }
}

constexpr u32 kRealDiv0 = 0x7CF0BDC2u;
constexpr u64 kLrealDiv0 = 0x7FAC7B1F3CAC7433ull;

template <class T>
T RealDiv0() {
    if constexpr (sizeof(T) == 4) return std::bit_cast<float>(kRealDiv0);
    else return std::bit_cast<double>(kLrealDiv0);
}

// a / b for b != 0; a signed MIN / -1 wraps (the host would trap).
template <class T>
inline T Quotient(T a, T b) {
    if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        if (b == static_cast<T>(-1)) return static_cast<T>(0 - static_cast<std::make_unsigned_t<T>>(a));
    }
    return static_cast<T>(a / b);
}

}  // namespace

// --- Verification entry points ------------------------------------------------------

const char* Q4VMTic_LastFault() { return g.fault.c_str(); }

int Q4VMTic_Verify(u8* db, const u8* code, u32 length, u16 program) {
    std::vector<bool> starts;
    if (!db || !code) return kVmErrCodeInvalid;
    std::vector<u16> w(length / 2);
    for (size_t k = 0; k < w.size(); ++k) w[k] = GetLe16(code + 2 * k);
    return CheckStream(db, Q4VM_CodeOf(db), nullptr, w.data(), static_cast<u32>(w.size()), program, starts) ? 0
                                                                                                   : kVmErrCodeInvalid;
}

int Q4VMTic_VerifyAll(u8* db) {
    Q4VMTic_Forget(db);
    g.fault.clear();
    const Q4Code& code = Q4VM_CodeOf(db);
    Verified v{db, code.data, {}};
    u16 count = Q4VMPrg_Count(db);
    v.starts.resize(count + 1u);
    for (u16 p = 1; p <= count; ++p) {
        u8* rec = Q4VMPrg_Record(db, p);
        if (!rec) {
            g.fault = "program record outside the database";
            return kVmErrCodeInvalid;
        }
        u32 off = GetLe32(rec + kQ4PrCode), size = GetLe32(rec + kQ4PrCodeSize);
        if (!code.data || off >= code.size || off % 2) {
            g.fault = "program outside the code image";
            return kVmErrCodeInvalid;
        }
        if (size > code.size - off) size = code.size - off;
        std::vector<u16> w(size / 2);
        for (size_t k = 0; k < w.size(); ++k) w[k] = GetLe16(code.data + off + 2 * k);
        if (!CheckStream(db, code, nullptr, w.data(), static_cast<u32>(w.size()), p, v.starts[p])) {
            g.fault = "program " + std::to_string(p) + ": " + g.fault;
            return kVmErrCodeInvalid;
        }
    }
    g.verified.push_back(std::move(v));
    return 0;
}

int Q4VMTic_VerifyCode(u8* db, const Q4Code& code, const Q4TicLimits& lim) {
    g.fault.clear();
    if (!db) return kVmErrCodeInvalid;
    std::vector<bool> starts;
    const u16 count = std::min(Q4VMCode_GetProgTableCount(code), lim.programs);
    for (u16 p = 1; p <= count; ++p) {
        Q4ProgEntry e{};
        Q4VMCode_GetProg(code, static_cast<u16>(p - 1), &e);
        u32 off = e.codeOffset, size = e.word2;
        if (!code.data || off >= code.size || off % 2) {
            g.fault = "program outside the code image";
            return kVmErrCodeInvalid;
        }
        if (size > code.size - off) size = code.size - off;
        std::vector<u16> w(size / 2);
        for (size_t k = 0; k < w.size(); ++k) w[k] = GetLe16(code.data + off + 2 * k);
        if (!CheckStream(db, code, &lim, w.data(), static_cast<u32>(w.size()), p, starts)) {
            g.fault = "program " + std::to_string(p) + ": " + g.fault;
            return kVmErrCodeInvalid;
        }
    }
    return 0;
}

void Q4VMTic_Forget(const u8* db) {
    for (size_t k = 0; k < g.verified.size(); ++k)
        if (g.verified[k].db == db) {
            g.verified.erase(g.verified.begin() + static_cast<long>(k));
            return;
        }
}

namespace {

int Runner(u8* db, const u8* code, u32 size, u16 program) {
    u8* st = Q4VM_Status(db);
    if (!st) return 1;
    return Q4VMTic_Run(db, st, code, size, program);
}

__attribute__((noinline)) bool OwnCode(u8* db, const u8* code, u16 program) {
    u8* r = Q4VMPrg_Record(db, program);
    const Q4Code& cd = Q4VM_CodeOf(db);
    return r && cd.data && code == cd.data + GetLe32(r + kQ4PrCode);
}

bool IsStart(const Verified* v, u16 program, u64 byteOff) {
    if (!v || program >= v->starts.size()) return false;
    const std::vector<bool>& s = v->starts[program];
    return byteOff % 2 == 0 && byteOff / 2 < s.size() && s[byteOff / 2];
}

}  // namespace

void Q4VMTic_Init() { Q4VMPrg_SetRunner(Runner); }
void Q4VMTic_Exit() {}

// --- Locks, SFC breaks, CT items ------------------------------------------------------

int Q4VMTic_LockVar(u8* db, u16 index, u8 bit) {
    u8* l = Q4Tools_Element(db, kDbLockFlags, index);
    u8* st = Q4VM_Status(db);
    if (!l || !st || index == 0) return 0;
    if (!(*l & bit)) {
        *l = static_cast<u8>(*l | bit);
        PutLe16(st + kVmStLockedCount, static_cast<u16>(GetLe16(st + kVmStLockedCount) + 1));
    }
    SetFlags(st, static_cast<u16>(Flags(st) | kVmFlagLocked));
    return 1;
}

void Q4VMTic_UnlockVar(u8* db, u16 index, u8 bit) {
    u8* st = Q4VM_Status(db);
    if (!st) return;
    u8* l = index ? Q4Tools_Element(db, kDbLockFlags, index) : nullptr;
    if (l && (*l & bit)) *l = static_cast<u8>(*l & ~bit);
    else if (index != 0) return;  // nothing was locked: the count stays
    u16 n = GetLe16(st + kVmStLockedCount);
    if (n) --n;
    PutLe16(st + kVmStLockedCount, n);
    if (n == 0) SetFlags(st, static_cast<u16>(Flags(st) & ~kVmFlagLocked));
}

void Q4VMTic_UnlockAllVars(u8* db) {
    u8* st = Q4VM_Status(db);
    u32 bytes = 0;
    u8* l = Q4VM_AreaPtr(db, kDbLockFlags, &bytes);
    if (l) std::memset(l, 0, bytes);
    if (!st) return;
    PutLe16(st + kVmStLockedCount, 0);
    SetFlags(st, static_cast<u16>(Flags(st) & ~kVmFlagLocked));
}

static void SetBreak(u8* db, u32 area, u32 rec, u32 field, u16 idx, u16 value) {
    u16 n = Q4VM_GetDesc(db, area).allocated;
    u32 bytes = 0;
    u8* a = Q4VM_AreaPtr(db, area, &bytes);
    if (!a || idx >= n) return;
    u16 from = idx ? idx : 1, to = idx ? idx : static_cast<u16>(n - 1);
    for (u32 k = from; k <= to && (k + 1) * rec <= bytes; ++k) PutLe16(a + k * rec + field, value);
}
void Q4VMTic_SetSfcBreakS(u8* db, u16 s, u16 v) { SetBreak(db, kDbSfcSteps, kStepBytes, kStepBreak, s, v); }
void Q4VMTic_SetSfcBreakT(u8* db, u16 t, u16 v) { SetBreak(db, kDbSfcTransitions, kTransBytes, kTransBreak, t, v); }

namespace {
// Variable of a CT item class and its width; STRING: the VM string, width capacity + 3.
u8* CtVar(u8* db, u16 cls, u16 index, u32* width, u8* lockBit) {
    u8* p = nullptr;
    switch (cls) {
        case 1: p = Q4Tools_Element(db, kDbData8, index), *width = 1, *lockBit = 0x01; break;
        case 2: p = Q4Tools_Element(db, kDbData32, index), *width = 4, *lockBit = 0x04; break;
        case 4: p = Q4Tools_Element(db, kDbTime, index), *width = 4, *lockBit = 0x10; break;
        case 11: p = Q4Tools_Element(db, kDbData16, index), *width = 2, *lockBit = 0x02; break;
        case 12: p = Q4Tools_Element(db, kDbData64, index), *width = 8, *lockBit = 0x08; break;
        case 5:
            p = Q4Tools_String(db, index);
            if (p) *width = p[0] + 3u;
            *lockBit = 0x20;
            break;
        default: return nullptr;
    }
    return p;
}
u8* CtLoc(u8* db, u16 offsetVar, u32 width) {
    u32 size = 0;
    u8* ct = Q4VM_AreaPtr(db, kDbCtSegment, &size);
    u8* v = Q4Tools_Element(db, kDbData32, offsetVar);
    if (!ct || !v) return nullptr;
    u32 off = GetLe32(v);
    if (off > size || width > size - off) return nullptr;
    return ct + off;
}
}  // namespace

int Q4VMTic_SetCTSegItem(u8* db, u16 cls, u16 index, u16 offsetVar) {
    u32 width = 0;
    u8 lb = 0;
    u8* var = CtVar(db, cls, index, &width, &lb);
    u8* loc = var ? CtLoc(db, offsetVar, width) : nullptr;
    if (!loc) return 0;
    std::memmove(loc, var, width);
    return 1;
}

int Q4VMTic_GetCTSegItem(u8* db, u16 cls, u16 index, u16 offsetVar) {
    u32 width = 0;
    u8 lb = 0;
    u8* var = CtVar(db, cls, index, &width, &lb);
    if (!var) return 0;
    if (cls == 5) {
        // A CT string is read from its length byte on into the variable's own capacity.
        u8* loc = CtLoc(db, offsetVar, 2);
        if (!loc) return 0;
        u32 size = 0;
        u8* ct = Q4VM_AreaPtr(db, kDbCtSegment, &size);
        u32 room = size - static_cast<u32>(loc - ct);
        u32 len = loc[1];
        if (len > loc[0]) len = loc[0];
        if (2 + len > room) len = room - 2;
        if (!Q4VMStf_CanStore(db, lb, index)) return 1;
        Q4Str_AscForce(var, loc + 2, len);
        return 1;
    }
    u8* loc = CtLoc(db, offsetVar, width);
    if (!loc) return 0;
    if (Q4VMStf_CanStore(db, lb, index)) std::memmove(var, loc, width);
    return 1;
}

int Q4VMTic_CTMemcpy(u8* db, u16 dstVar, u16 srcVar, u16 sizeVar) {
    u8* s = Q4Tools_Element(db, kDbData32, sizeVar);
    if (!s) return 0;
    u32 n = GetLe32(s);
    u8* d = CtLoc(db, dstVar, n);
    u8* src = CtLoc(db, srcVar, n);
    if (!d || !src) return 0;
    std::memmove(d, src, n);
    return 1;
}

// --- Timers --------------------------------------------------------------------------

namespace {

// Timer table keys: a TIME index, or kCtTimer | byte offset of a TIME value
// held in the CT segment.
constexpr u32 kCtTimer = 0x80000000u;

u8* TimerValue(u8* db, u32 key) {
    if (key & kCtTimer) {
        u32 size = 0;
        u8* ct = Q4VM_AreaPtr(db, kDbCtSegment, &size);
        u32 off = key & ~kCtTimer;
        return ct && off <= size && size - off >= 4 ? ct + off : nullptr;
    }
    return key <= 0xFFFF ? Q4Tools_Element(db, kDbTime, static_cast<u16>(key)) : nullptr;
}

int StartTimerKey(u8* db, u32 key) {
    u8* st = Q4VM_Status(db);
    u32 bytes = 0;
    u8* a = Q4VM_AreaPtr(db, kDbActiveTimers, &bytes);
    u16 alloc = Q4VM_GetDesc(db, kDbActiveTimers).allocated;
    if (!st || !a || !TimerValue(db, key)) return 0;
    if (alloc > bytes / 8) alloc = static_cast<u16>(bytes / 8);
    u16 n = GetLe16(st + kVmStActiveTimers);
    if (n > alloc) n = alloc;
    for (u16 k = 0; k < n; ++k)
        if (GetLe32(a + 8u * k) == key) return 1;
    if (alloc == 0 || n >= alloc - 1) return 0;
    PutLe32(a + 8u * n, key);
    PutLe32(a + 8u * n + 4, Now(st));
    PutLe16(st + kVmStActiveTimers, static_cast<u16>(n + 1));
    return 1;
}

// The running timers: 8-byte entries (key, last update) and their count,
// never past the table's area. st or a is null when the database has no
// status block or table.
struct ActiveTimers {
    u8* st;
    u8* a;
    u16 n;
};
ActiveTimers RunningTimers(u8* db) {
    ActiveTimers t{Q4VM_Status(db), nullptr, 0};
    u32 bytes = 0;
    t.a = Q4VM_AreaPtr(db, kDbActiveTimers, &bytes);
    if (!t.st || !t.a) return t;
    t.n = GetLe16(t.st + kVmStActiveTimers);
    if (t.n > bytes / 8) t.n = static_cast<u16>(bytes / 8);
    return t;
}

void StopTimerKey(u8* db, u32 key) {
    const ActiveTimers t = RunningTimers(db);
    if (!t.st || !t.a) return;
    for (u16 k = 0; k < t.n; ++k)
        if (GetLe32(t.a + 8u * k) == key) {
            std::memmove(t.a + 8u * k, t.a + 8u * (k + 1), 8u * (t.n - k - 1));
            PutLe16(t.st + kVmStActiveTimers, static_cast<u16>(t.n - 1));
            return;
        }
}

}  // namespace

int Q4VMTmr_StartTimer(u8* db, u16 t) { return StartTimerKey(db, t); }
void Q4VMTmr_StopTimer(u8* db, u16 t) { StopTimerKey(db, t); }

void Q4VMTmr_UpdateTimers(u8* db) {
    const ActiveTimers t = RunningTimers(db);
    if (!t.st || !t.a) return;
    u32 now = Now(t.st);
    for (u16 k = 0; k < t.n; ++k) {
        u8* e = t.a + 8u * k;
        u8* v = TimerValue(db, GetLe32(e));
        if (v) PutLe32(v, static_cast<u32>((static_cast<u64>(GetLe32(v)) + Q4VM_Elapsed(now, GetLe32(e + 4))) % 86400000u));
        PutLe32(e + 4, now);
    }
}

void Q4VMTmr_HotRestartTimers(u8* db) {
    u8* st = Q4VM_Status(db);
    if (!st) return;
    PutLe16(st + kVmStActiveTimers, 0);
    u32 bytes = 0;
    u8* s = Q4VM_AreaPtr(db, kDbSfcSteps, &bytes);
    for (u32 k = 0; s && (k + 1) * kStepBytes <= bytes; ++k)
        if (GetLe16(s + k * kStepBytes + kStepState) == kStepActive) PutLe32(s + k * kStepBytes + kStepStamp, Now(st));
}

// --- The interpreter ------------------------------------------------------------------

int Q4VMTic_Run(u8* db, u8* st, const u8* code, u32 length, u16 program) {
    // Streams are checked before they run: the execution buffer every time
    // (the workbench fills it), programs once per database.
    const Verified* ver = nullptr;
    if (program == 0) {
        if (Q4VMTic_Verify(db, code, length, 0) != 0) return 1;
    } else {
        ver = Find(db);
        if (!ver || ver->codeData != Q4VM_CodeOf(db).data) {
            if (Q4VMTic_VerifyAll(db) != 0) {
                Q4VMLog_Push(db, kLogBadOpcode, 0, program);
                StopApp(st);
                return 0;
            }
            ver = Find(db);
        }
        // A stream other than the program's own code is checked on its own.
        if (!OwnCode(db, code, program) && Q4VMTic_Verify(db, code, length, program) != 0) {
            Q4VMLog_Push(db, kLogBadOpcode, 0, program);
            StopApp(st);
            return 0;
        }
    }
    Ctx c{};
    c.db = db;
    c.st = st;
    u32 b = 0;
    c.t8 = Q4VM_AreaPtr(db, kDbData8, &b), c.n8 = Alloc(db, kDbData8);
    c.t16 = Q4VM_AreaPtr(db, kDbData16, &b), c.n16 = Alloc(db, kDbData16);
    c.t32 = Q4VM_AreaPtr(db, kDbData32, &b), c.n32 = Alloc(db, kDbData32);
    c.t64 = Q4VM_AreaPtr(db, kDbData64, &b), c.n64 = Alloc(db, kDbData64);
    c.tt = Q4VM_AreaPtr(db, kDbTime, &b), c.nt = Alloc(db, kDbTime);
    c.lk = Q4VM_AreaPtr(db, kDbLockFlags, &b);
    c.xv = Q4VM_AreaPtr(db, kDbExternalVars, &b);
    c.steps = Q4VM_AreaPtr(db, kDbSfcSteps, &b);
    c.trans = Q4VM_AreaPtr(db, kDbSfcTransitions, &b);
    c.ct = Q4VM_AreaPtr(db, kDbCtSegment, &c.ctSize);
    if (c.ctSize == 0) c.ct = nullptr;
    c.program = program;

    const u16* base = reinterpret_cast<const u16*>(code);
    const u16* ip = base;
    u8* rec = program ? Prog(c, program) : nullptr;
    Stack cs{};
    if (program) {
        cs = CallStack(db, st);
        Q4VMPrg_RestoreCallStack(db, program);
        u16 depth = Depth(db);
        bool resumed = false;
        if (depth > 0 && cs.base && depth < cs.limit) {
            u16 p = GetLe16(cs.base + 4u * depth), pos = GetLe16(cs.base + 4u * depth + 2);
            u8* r = Prog(c, p);
            const Q4Code& cd = Q4VM_CodeOf(db);
            if (r && IsStart(ver, p, pos)) {
                c.program = p;
                rec = r;
                base = reinterpret_cast<const u16*>(cd.data + GetLe32(r + kQ4PrCode));
                ip = base + pos / 2;
                resumed = true;
            }
        }
        if (!resumed) {
            SetDepth(db, 0);
            u32 resume = GetLe32(rec + kQ4PrResume);
            if (resume != 0) {
                // Word offset of the instruction to resume at.
                if (IsStart(ver, program, u64{resume} * 2)) ip = base + resume;
                PutLe32(rec + kQ4PrResume, 0);
                PutLe16(st + kVmStCurProgram, 0);
                PutLe16(st + kVmStPosition, 0);
            }
        }
    }

    u8* const t8 = c.t8;
    u8* const t16 = c.t16;
    u8* const t32 = c.t32;
    u8* const t64 = c.t64;
    u8* const tt = c.tt;
    u8* const lk = c.lk;
    const u16* loopHead = nullptr;
    u32 guard = 0;
    u32 ctDest = 0;
    bool ctPending = false;

#define P8(i) (t8 + static_cast<u32>(i))
#define P16(i) (t16 + 2u * static_cast<u32>(i))
#define P32(i) (t32 + 4u * static_cast<u32>(i))
#define P64(i) (t64 + 8u * static_cast<u32>(i))
#define PT(i) (tt + 4u * static_cast<u32>(i))
#define LOCKED(i, bit) ((lk[ip[i]] & (bit)) != 0)
// Threaded dispatch: each handler jumps straight to the next instruction's
// handler (an indirect jump per handler predicts far better than the one
// jump of a switch).
#define DISPATCH() goto* kGo[*ip <= kQ4OpMax ? *ip : 0]
#define NEXT(n)      \
    do {             \
        ip += (n);   \
        DISPATCH();  \
    } while (0)
#define STOP()         \
    do {               \
        StopApp(st);   \
        return 0;      \
    } while (0)

// Typed families. T value type, P table macro, LB lock bit.
#define UNARY(opP, opL, T, P, LB, EXPR)                   \
    case opP: L_##opP: {                                           \
        T a = Ld<T>(P(ip[2]));                            \
        St<T>(P(ip[1]), static_cast<T>(EXPR));            \
        NEXT(3);                                          \
    }                                                     \
    case opL: L_##opL: {                                           \
        if (!LOCKED(1, LB)) {                             \
            T a = Ld<T>(P(ip[2]));                        \
            St<T>(P(ip[1]), static_cast<T>(EXPR));        \
        }                                                 \
        NEXT(3);                                          \
    }
#define BINARY(opP, opL, T, P, LB, EXPR)                  \
    case opP: L_##opP: {                                           \
        T a = Ld<T>(P(ip[2])), b = Ld<T>(P(ip[3]));       \
        St<T>(P(ip[1]), static_cast<T>(EXPR));            \
        NEXT(4);                                          \
    }                                                     \
    case opL: L_##opL: {                                           \
        if (!LOCKED(1, LB)) {                             \
            T a = Ld<T>(P(ip[2])), b = Ld<T>(P(ip[3]));   \
            St<T>(P(ip[1]), static_cast<T>(EXPR));        \
        }                                                 \
        NEXT(4);                                          \
    }
#define COMPARE(opP, opL, T, P, EXPR)                     \
    case opP: L_##opP: {                                           \
        T a = Ld<T>(P(ip[2])), b = Ld<T>(P(ip[3]));       \
        *P8(ip[1]) = (EXPR) ? 1 : 0;                      \
        NEXT(4);                                          \
    }                                                     \
    case opL: L_##opL: {                                           \
        if (!LOCKED(1, 0x01)) {                           \
            T a = Ld<T>(P(ip[2])), b = Ld<T>(P(ip[3]));   \
            *P8(ip[1]) = (EXPR) ? 1 : 0;                  \
        }                                                 \
        NEXT(4);                                          \
    }
// Division: by zero the value ZERO (integers saturate, reals take their
// division-by-zero pattern) and a log event.
#define DIV(opP, opL, T, P, LB, ZERO, EV)                                      \
    case opP: L_##opP:                                                                  \
    case opL: L_##opL: {                                                                \
        if (*ip == opL && LOCKED(1, LB)) {                                     \
            NEXT(4);                                                           \
        }                                                                      \
        T a = Ld<T>(P(ip[2])), b = Ld<T>(P(ip[3]));                            \
        T r;                                                                   \
        if (b == 0) {                                                          \
            r = static_cast<T>(ZERO);                                          \
            Q4VMLog_Push(db, EV, ip[3], Where(c, base, ip));                   \
        } else {                                                               \
            r = Quotient<T>(a, b);                                             \
        }                                                                      \
        St<T>(P(ip[1]), r);                                                    \
        NEXT(4);                                                               \
    }
#define WRAP(T, EXPR) static_cast<T>(static_cast<std::make_unsigned_t<T>>(EXPR))
#define US(T, x) static_cast<std::make_unsigned_t<T>>(x)
#define IDX_RD(opP, opL, T, P, N, LB)                                          \
    case opP: L_##opP:                                                                  \
    case opL: L_##opL: {                                                                \
        if (*ip == opL && LOCKED(1, LB)) {                                     \
            NEXT(4);                                                           \
        }                                                                      \
        u8* src = Indexed(P(0), N, ip[2], Ld<i32>(P32(ip[3])), sizeof(T));     \
        if (!src) goto bound_error;                                            \
        St<T>(P(ip[1]), Ld<T>(src));                                           \
        NEXT(4);                                                               \
    }
#define IDX_WR(opP, opL, T, P, N, LB)                                          \
    case opP: L_##opP:                                                                  \
    case opL: L_##opL: {                                                                \
        i32 k = Ld<i32>(P32(ip[2]));                                           \
        u8* dst = Indexed(P(0), N, ip[1], k, sizeof(T));                       \
        if (!dst) goto bound_error;                                            \
        if (*ip == opL && (lk[static_cast<u32>(dst - P(0)) / sizeof(T)] & LB)) { \
            NEXT(4);                                                           \
        }                                                                      \
        St<T>(dst, Ld<T>(P(ip[3])));                                           \
        NEXT(4);                                                               \
    }
#define MOVE(opP, opL, T, P, LB) UNARY(opP, opL, T, P, LB, a)

    static const void* const kGo[kQ4OpMax + 1] = {
        &&L_bad, &&L_1, &&L_2, &&L_3, &&L_4, &&L_5, &&L_6, &&L_7,
        &&L_8, &&L_9, &&L_10, &&L_11, &&L_12, &&L_13, &&L_14, &&L_bad,
        &&L_bad, &&L_bad, &&L_bad, &&L_19, &&L_20, &&L_21, &&L_22, &&L_bad,
        &&L_bad, &&L_bad, &&L_bad, &&L_27, &&L_28, &&L_29, &&L_30, &&L_31,
        &&L_32, &&L_33, &&L_34, &&L_35, &&L_36, &&L_37, &&L_38, &&L_39,
        &&L_40, &&L_41, &&L_42, &&L_43, &&L_44, &&L_45, &&L_46, &&L_47,
        &&L_48, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_55,
        &&L_56, &&L_57, &&L_58, &&L_59, &&L_60, &&L_61, &&L_62, &&L_63,
        &&L_64, &&L_65, &&L_66, &&L_67, &&L_68, &&L_bad, &&L_bad, &&L_bad,
        &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad,
        &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad,
        &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad,
        &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad,
        &&L_bad, &&L_bad, &&L_bad, &&L_107, &&L_bad, &&L_bad, &&L_110, &&L_111,
        &&L_112, &&L_113, &&L_114, &&L_115, &&L_116, &&L_117, &&L_118, &&L_119,
        &&L_120, &&L_121, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_126, &&L_127,
        &&L_128, &&L_129, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_134, &&L_135,
        &&L_136, &&L_137, &&L_138, &&L_139, &&L_140, &&L_141, &&L_142, &&L_143,
        &&L_144, &&L_145, &&L_146, &&L_147, &&L_148, &&L_149, &&L_150, &&L_151,
        &&L_152, &&L_153, &&L_154, &&L_155, &&L_bad, &&L_bad, &&L_bad, &&L_bad,
        &&L_bad, &&L_161, &&L_162, &&L_163, &&L_164, &&L_165, &&L_166, &&L_167,
        &&L_168, &&L_169, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad,
        &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad,
        &&L_bad, &&L_bad, &&L_bad, &&L_187, &&L_188, &&L_189, &&L_190, &&L_bad,
        &&L_bad, &&L_193, &&L_bad, &&L_bad, &&L_196, &&L_197, &&L_bad, &&L_bad,
        &&L_200, &&L_bad, &&L_bad, &&L_203, &&L_204, &&L_205, &&L_bad, &&L_207,
        &&L_208, &&L_209, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad,
        &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad,
        &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad,
        &&L_bad, &&L_bad, &&L_234, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad,
        &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad,
        &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad, &&L_bad,
        &&L_256, &&L_257, &&L_258, &&L_259, &&L_260, &&L_261, &&L_262, &&L_263,
        &&L_264, &&L_265, &&L_266, &&L_267, &&L_268, &&L_269, &&L_270, &&L_271,
        &&L_272, &&L_273, &&L_274, &&L_275, &&L_276, &&L_277, &&L_278, &&L_279,
        &&L_280, &&L_281, &&L_282, &&L_283, &&L_284, &&L_285, &&L_286, &&L_287,
        &&L_288, &&L_289, &&L_290, &&L_291, &&L_292, &&L_293, &&L_294, &&L_295,
        &&L_296, &&L_297, &&L_bad, &&L_bad, &&L_300, &&L_301, &&L_bad, &&L_bad,
        &&L_304, &&L_305, &&L_306, &&L_307, &&L_308, &&L_309, &&L_310, &&L_311,
        &&L_312, &&L_313, &&L_314, &&L_315, &&L_316, &&L_317, &&L_318, &&L_319,
        &&L_320, &&L_321, &&L_322, &&L_323, &&L_324, &&L_325, &&L_326, &&L_327,
        &&L_328, &&L_329, &&L_bad, &&L_bad, &&L_332, &&L_333, &&L_bad, &&L_bad,
        &&L_336, &&L_337, &&L_338, &&L_339, &&L_340, &&L_341, &&L_342, &&L_343,
        &&L_344, &&L_345, &&L_346, &&L_347, &&L_348, &&L_349, &&L_350, &&L_351,
        &&L_352, &&L_353, &&L_354, &&L_355, &&L_356, &&L_357, &&L_bad, &&L_bad,
        &&L_360, &&L_361, &&L_bad, &&L_bad, &&L_364, &&L_365, &&L_366, &&L_367,
        &&L_368, &&L_369, &&L_370, &&L_371, &&L_372, &&L_373, &&L_374, &&L_375,
        &&L_376, &&L_377, &&L_378, &&L_379, &&L_380, &&L_381, &&L_382, &&L_383,
        &&L_384, &&L_385, &&L_bad, &&L_bad, &&L_388, &&L_389, &&L_bad, &&L_bad,
        &&L_392, &&L_393, &&L_394, &&L_395, &&L_396, &&L_397, &&L_398, &&L_399,
        &&L_400, &&L_401, &&L_402, &&L_403, &&L_404, &&L_405, &&L_406, &&L_407,
        &&L_408, &&L_409, &&L_410, &&L_411, &&L_412, &&L_413, &&L_414, &&L_415,
        &&L_416, &&L_417, &&L_418, &&L_419, &&L_420, &&L_421, &&L_422, &&L_423,
        &&L_424, &&L_425, &&L_426, &&L_427, &&L_428, &&L_429, &&L_430, &&L_431,
        &&L_432, &&L_433, &&L_434, &&L_435, &&L_436, &&L_437, &&L_438, &&L_439,
        &&L_440, &&L_441, &&L_442, &&L_443, &&L_444, &&L_445, &&L_446, &&L_447,
        &&L_448, &&L_449, &&L_450, &&L_451, &&L_452, &&L_453, &&L_454, &&L_455,
        &&L_456, &&L_457, &&L_458, &&L_459, &&L_460, &&L_461, &&L_462, &&L_463,
        &&L_464, &&L_465, &&L_466, &&L_467, &&L_468, &&L_469, &&L_470, &&L_471,
        &&L_472, &&L_473, &&L_474, &&L_475, &&L_476, &&L_477, &&L_478, &&L_479,
        &&L_480, &&L_481, &&L_482, &&L_483, &&L_484, &&L_485, &&L_486, &&L_487,
        &&L_488, &&L_489, &&L_490, &&L_491, &&L_492, &&L_493, &&L_494, &&L_495,
        &&L_496, &&L_497, &&L_498, &&L_499, &&L_500, &&L_501, &&L_502, &&L_503,
        &&L_504, &&L_505, &&L_506, &&L_507, &&L_508, &&L_509, &&L_510, &&L_511,
        &&L_bad, &&L_513, &&L_514, &&L_515, &&L_bad, &&L_517, &&L_518, &&L_519,
        &&L_bad, &&L_521, &&L_522, &&L_523, &&L_bad, &&L_525, &&L_526, &&L_527,
        &&L_528, &&L_529, &&L_530, &&L_531, &&L_532, &&L_533, &&L_534, &&L_535,
        &&L_536, &&L_537, &&L_538, &&L_539, &&L_540, &&L_541, &&L_542, &&L_543,
        &&L_544, &&L_545, &&L_546, &&L_547, &&L_548, &&L_549, &&L_550, &&L_551,
        &&L_552, &&L_553, &&L_554, &&L_555, &&L_556, &&L_557, &&L_558, &&L_559,
        &&L_560, &&L_561, &&L_562, &&L_563, &&L_564, &&L_565, &&L_566, &&L_567,
        &&L_568, &&L_569};
    for (;;) {
        switch (*ip) {
            // NEG, NOT
            UNARY(377, 376, i8, P8, 0x01, WRAP(i8, 0 - US(i8, a)))
            UNARY(349, 348, i16, P16, 0x02, WRAP(i16, 0 - US(i16, a)))
            UNARY(1, 110, i32, P32, 0x04, WRAP(i32, 0u - US(i32, a)))
            UNARY(289, 288, i64, P64, 0x08, WRAP(i64, 0ull - US(i64, a)))
            UNARY(2, 111, float, P32, 0x04, -a)
            UNARY(321, 320, double, P64, 0x08, -a)
            UNARY(3, 112, u8, P8, 0x01, a ? 0 : 1)
            // ADD, SUB, MUL
            BINARY(383, 382, i8, P8, 0x01, WRAP(i8, US(i8, a) + US(i8, b)))
            BINARY(355, 354, i16, P16, 0x02, WRAP(i16, US(i16, a) + US(i16, b)))
            BINARY(8, 117, i32, P32, 0x04, WRAP(i32, US(i32, a) + US(i32, b)))
            BINARY(295, 294, i64, P64, 0x08, WRAP(i64, US(i64, a) + US(i64, b)))
            BINARY(9, 118, float, P32, 0x04, a + b)
            BINARY(327, 326, double, P64, 0x08, a + b)
            BINARY(10, 283, u32, PT, 0x10, a + b)
            BINARY(385, 384, i8, P8, 0x01, WRAP(i8, US(i8, a) - US(i8, b)))
            BINARY(357, 356, i16, P16, 0x02, WRAP(i16, US(i16, a) - US(i16, b)))
            BINARY(12, 120, i32, P32, 0x04, WRAP(i32, US(i32, a) - US(i32, b)))
            BINARY(297, 296, i64, P64, 0x08, WRAP(i64, US(i64, a) - US(i64, b)))
            BINARY(13, 121, float, P32, 0x04, a - b)
            BINARY(329, 328, double, P64, 0x08, a - b)
            BINARY(14, 284, u32, PT, 0x10, b > a ? 0u : a - b)
            BINARY(379, 378, i8, P8, 0x01, WRAP(i8, static_cast<u32>(US(i8, a)) * US(i8, b)))
            BINARY(484, 488, u8, P8, 0x01, static_cast<u32>(a) * b)
            BINARY(351, 350, i16, P16, 0x02, WRAP(i16, static_cast<u32>(US(i16, a)) * US(i16, b)))
            BINARY(492, 496, u16, P16, 0x02, static_cast<u32>(a) * b)
            BINARY(4, 113, i32, P32, 0x04, WRAP(i32, US(i32, a) * US(i32, b)))
            BINARY(500, 504, u32, P32, 0x04, a * b)
            BINARY(291, 290, i64, P64, 0x08, WRAP(i64, US(i64, a) * US(i64, b)))
            BINARY(558, 562, u64, P64, 0x08, a * b)
            BINARY(5, 114, float, P32, 0x04, a * b)
            BINARY(323, 322, double, P64, 0x08, a * b)
            // DIV
            DIV(381, 380, i8, P8, 0x01, 127, kLogDivZero8)
            DIV(485, 489, u8, P8, 0x01, 127, kLogDivZero8)
            DIV(353, 352, i16, P16, 0x02, 32767, kLogDivZero16)
            DIV(493, 497, u16, P16, 0x02, 32767, kLogDivZero16)
            DIV(6, 115, i32, P32, 0x04, 2147483647, kLogDivZero32)
            DIV(501, 505, u32, P32, 0x04, 2147483647u, kLogDivZero32)
            DIV(293, 292, i64, P64, 0x08, 0x7FFFFFFFFFFFFFFFll, kLogDivZero64)
            DIV(559, 563, u64, P64, 0x08, 0xFFFFFFFFFFFFFFFFull, kLogDivZero64)
            DIV(7, 116, float, P32, 0x04, RealDiv0<float>(), kLogDivZero32)
            DIV(325, 324, double, P64, 0x08, RealDiv0<double>(), kLogDivZero64)
            // GT, GE
            COMPARE(389, 388, i8, P8, a > b)
            COMPARE(482, 486, u8, P8, a > b)
            COMPARE(361, 360, i16, P16, a > b)
            COMPARE(490, 494, u16, P16, a > b)
            COMPARE(19, 126, i32, P32, a > b)
            COMPARE(498, 502, u32, P32, a > b)
            COMPARE(301, 300, i64, P64, a > b)
            COMPARE(556, 560, u64, P64, a > b)
            COMPARE(20, 127, float, P32, a > b)
            COMPARE(333, 332, double, P64, a > b)
            COMPARE(21, 129, u32, PT, a > b)
            COMPARE(393, 392, i8, P8, a >= b)
            COMPARE(483, 487, u8, P8, a >= b)
            COMPARE(365, 364, i16, P16, a >= b)
            COMPARE(491, 495, u16, P16, a >= b)
            COMPARE(27, 134, i32, P32, a >= b)
            COMPARE(499, 503, u32, P32, a >= b)
            COMPARE(305, 304, i64, P64, a >= b)
            COMPARE(557, 561, u64, P64, a >= b)
            COMPARE(28, 135, float, P32, a >= b)
            COMPARE(337, 336, double, P64, a >= b)
            COMPARE(29, 137, u32, PT, a >= b)
            // EQ, NE
            COMPARE(35, 141, u8, P8, (a != 0) == (b != 0))
            COMPARE(395, 394, i8, P8, a == b)
            COMPARE(367, 366, i16, P16, a == b)
            COMPARE(31, 138, i32, P32, a == b)
            COMPARE(307, 306, i64, P64, a == b)
            COMPARE(32, 139, float, P32, a == b)
            COMPARE(339, 338, double, P64, a == b)
            COMPARE(33, 142, u32, PT, a == b)
            COMPARE(40, 146, u8, P8, (a != 0) != (b != 0))
            COMPARE(397, 396, i8, P8, a != b)
            COMPARE(369, 368, i16, P16, a != b)
            COMPARE(36, 143, i32, P32, a != b)
            COMPARE(309, 308, i64, P64, a != b)
            COMPARE(37, 144, float, P32, a != b)
            COMPARE(341, 340, double, P64, a != b)
            COMPARE(38, 147, u32, PT, a != b)
            // BOOL logic
            BINARY(41, 148, u8, P8, 0x01, (a || b) ? 1 : 0)
            BINARY(42, 149, u8, P8, 0x01, (a && b) ? 1 : 0)
            BINARY(43, 150, u8, P8, 0x01, ((a != 0) != (b != 0)) ? 1 : 0)
            // MOVE
            MOVE(44, 151, u8, P8, 0x01)
            MOVE(399, 398, u8, P8, 0x01)
            MOVE(371, 370, u16, P16, 0x02)
            MOVE(45, 152, u32, P32, 0x04)
            MOVE(311, 310, u64, P64, 0x08)
            MOVE(46, 153, u32, P32, 0x04)
            MOVE(343, 342, u64, P64, 0x08)
            MOVE(47, 155, u32, PT, 0x10)
            // Indexed
            IDX_RD(55, 161, u8, P8, c.n8, 0x01)
            IDX_RD(401, 400, u8, P8, c.n8, 0x01)
            IDX_RD(373, 372, u16, P16, c.n16, 0x02)
            IDX_RD(56, 162, u32, P32, c.n32, 0x04)
            IDX_RD(313, 312, u64, P64, c.n64, 0x08)
            IDX_RD(57, 163, u32, P32, c.n32, 0x04)
            IDX_RD(345, 344, u64, P64, c.n64, 0x08)
            IDX_RD(58, 165, u32, PT, c.nt, 0x10)
            IDX_WR(60, 166, u8, P8, c.n8, 0x01)
            IDX_WR(403, 402, u8, P8, c.n8, 0x01)
            IDX_WR(375, 374, u16, P16, c.n16, 0x02)
            IDX_WR(61, 167, u32, P32, c.n32, 0x04)
            IDX_WR(315, 314, u64, P64, c.n64, 0x08)
            IDX_WR(62, 168, u32, P32, c.n32, 0x04)
            IDX_WR(347, 346, u64, P64, c.n64, 0x08)
            IDX_WR(63, 256, u32, PT, c.nt, 0x10)
            // Bit test, set or clear bits
            COMPARE(509, 517, u8, P8, (a & b) != 0)
            COMPARE(510, 518, u16, P16, (a & b) != 0)
            COMPARE(511, 519, u32, P32, (a & b) != 0)
#define BITSET(opP, opL, T, P, LB)                                                      \
    case opP: L_##opP:                                                                           \
    case opL: L_##opL: {                                                                         \
        if (*ip == opL && LOCKED(1, LB)) {                                              \
            NEXT(4);                                                                    \
        }                                                                               \
        T d = Ld<T>(P(ip[1])), m = Ld<T>(P(ip[2]));                                     \
        St<T>(P(ip[1]), static_cast<T>(*P8(ip[3]) ? (d | m) : (d & static_cast<T>(~m)))); \
        NEXT(4);                                                                        \
    }
            BITSET(513, 521, u8, P8, 0x01)
            BITSET(514, 522, u16, P16, 0x02)
            BITSET(515, 523, u32, P32, 0x04)

            // STRING
            case 11: L_11:
            case 119: L_119:
                if (*ip == 11 || !LOCKED(1, 0x20)) Q4VMStr_Cat(db, ip[1], ip[2], ip[3]);
                NEXT(4);
            case 22: L_22: case 128: L_128: case 30: L_30: case 136: L_136: case 34: L_34: case 140: L_140: case 39: L_39: case 145: L_145: {
                u16 op = *ip;
                if ((op == 128 || op == 136 || op == 140 || op == 145) && LOCKED(1, 0x01)) {
                    NEXT(4);
                }
                i32 r = Q4VMStr_Compare(db, ip[2], ip[3]);
                bool v = (op == 22 || op == 128)   ? r > 0
                         : (op == 30 || op == 136) ? r >= 0
                         : (op == 34 || op == 140) ? r == 0
                                                   : r != 0;
                *P8(ip[1]) = v ? 1 : 0;
                NEXT(4);
            }
            case 48: L_48:
            case 154: L_154:
                if (*ip == 48 || !LOCKED(1, 0x20)) Q4VMStr_Copy(db, ip[1], ip[2]);
                NEXT(3);
            case 59: L_59:
            case 164: L_164: {
                if (*ip == 164 && LOCKED(1, 0x20)) {
                    NEXT(4);
                }
                i64 e = static_cast<i64>(ip[2]) + Ld<i32>(P32(ip[3]));
                if (e < 0 || e > 0xFFFF || !Q4Tools_String(db, static_cast<u16>(e))) goto bound_error;
                Q4VMStr_Copy(db, ip[1], static_cast<u16>(e));
                NEXT(4);
            }
            case 64: L_64:
            case 169: L_169: {
                i64 e = static_cast<i64>(ip[1]) + Ld<i32>(P32(ip[2]));
                if (e < 0 || e > 0xFFFF || !Q4Tools_String(db, static_cast<u16>(e))) goto bound_error;
                if (*ip == 64 || !(lk[e] & 0x20)) Q4VMStr_Copy(db, static_cast<u16>(e), ip[3]);
                NEXT(4);
            }

            // Constants (a pending CT destination takes a destination of 0)
#define LDK(opP, opL, T, P, LB, VALUE, LEN)                                     \
    case opP: L_##opP:                                                                   \
    case opL: L_##opL: {                                                                 \
        T v = static_cast<T>(VALUE);                                            \
        if (ctPending && ip[1] == 0) {                                          \
            ctPending = false;                                                  \
            if (u8* p = CtAt(c, ctDest, sizeof(T))) St<T>(p, v);                \
            NEXT(LEN);                                                          \
        }                                                                       \
        if (*ip == opP || !LOCKED(1, LB)) St<T>(P(ip[1]), v);                   \
        NEXT(LEN);                                                              \
    }
            LDK(404, 405, u8, P8, 0x01, ip[2], 3)
            LDK(267, 268, u16, P16, 0x02, ip[2], 3)
            LDK(271, 272, u32, P32, 0x04, static_cast<u32>(ip[2]) << 16 | ip[3], 4)
            LDK(316, 317, u64, P64, 0x08,
                static_cast<u64>(ip[2]) << 48 | static_cast<u64>(ip[3]) << 32 | static_cast<u64>(ip[4]) << 16 | ip[5], 6)
            case 279: L_279:
            case 280: L_280:
                if (*ip == 279 || !LOCKED(1, 0x10)) St<u32>(PT(ip[1]), static_cast<u32>(ip[2]) << 16 | ip[3]);
                NEXT(4);
            case 408: L_408:
            case 409: L_409: {
                u16 n = ip[2];
                if (ctPending && ip[1] == 0) {
                    ctPending = false;
                    if (u8* p = CtAt(c, ctDest, 3)) {
                        // A string held in the CT segment keeps its capacity byte.
                        u32 room = c.ctSize - ctDest - 3;
                        u8 tmp[258];
                        tmp[0] = static_cast<u8>(std::min<u32>(p[0], std::min<u32>(room, 255)));
                        Q4Str_DBForce(tmp, reinterpret_cast<const u8*>(ip + 2), n + 1u);
                        std::memcpy(p + 1, tmp + 1, tmp[1] + 2u);
                    }
                } else if (*ip == 408 || !LOCKED(1, 0x20)) {
                    Q4VMStr_DBForce(db, ip[1], reinterpret_cast<const u8*>(ip + 2), n + 1u);
                }
                NEXT(3u + n);
            }
            // Locks
            case 265: L_265: case 406: L_406: Q4VMTic_LockVar(db, ip[1], 0x01); NEXT(2);
            case 266: L_266: case 407: L_407: Q4VMTic_UnlockVar(db, ip[1], 0x01); NEXT(2);
            case 269: L_269: Q4VMTic_LockVar(db, ip[1], 0x02); NEXT(2);
            case 270: L_270: Q4VMTic_UnlockVar(db, ip[1], 0x02); NEXT(2);
            case 273: L_273: Q4VMTic_LockVar(db, ip[1], 0x04); NEXT(2);
            case 274: L_274: Q4VMTic_UnlockVar(db, ip[1], 0x04); NEXT(2);
            case 318: L_318: Q4VMTic_LockVar(db, ip[1], 0x08); NEXT(2);
            case 319: L_319: Q4VMTic_UnlockVar(db, ip[1], 0x08); NEXT(2);
            case 281: L_281: Q4VMTic_LockVar(db, ip[1], 0x10); NEXT(2);
            case 282: L_282: Q4VMTic_UnlockVar(db, ip[1], 0x10); NEXT(2);
            case 410: L_410: Q4VMTic_LockVar(db, ip[1], 0x20); NEXT(2);
            case 411: L_411: Q4VMTic_UnlockVar(db, ip[1], 0x20); NEXT(2);
            case 454: L_454: Q4VMTic_LockVar(db, ip[1], 0x80); NEXT(2);
            case 455: L_455: Q4VMTic_UnlockVar(db, ip[1], 0x80); NEXT(2);
            case 554: L_554: Q4VMTic_UnlockAllVars(db); NEXT(1);

            // Jumps
            case 65: L_65:
                if (*P8(ip[1])) {
                    ip = ip + 3 + static_cast<i16>(ip[2]) / 2;
                    DISPATCH();
                }
                NEXT(3);
            case 66: L_66:
                if (!*P8(ip[1])) {
                    ip = ip + 3 + static_cast<i16>(ip[2]) / 2;
                    DISPATCH();
                }
                NEXT(3);
            case 67: L_67: ip = ip + 2 + static_cast<i16>(ip[1]) / 2; DISPATCH();
            case 528: L_528: ip = base + ip[1] / 2; DISPATCH();
            case 529: L_529:
                if (*P8(ip[1])) {
                    ip = base + ip[2] / 2;
                    DISPATCH();
                }
                NEXT(3);
            case 530: L_530:
                if (!*P8(ip[1])) {
                    ip = base + ip[2] / 2;
                    DISPATCH();
                }
                NEXT(3);
            case 543: L_543: {
                u16 sel = static_cast<u16>(Ld<u32>(P32(ip[1])));
                u16 n = ip[2];
                if (sel < n) {
                    ip = base + ip[3 + sel] / 2;
                    DISPATCH();
                }
                NEXT(3u + n);
            }
            case 544: L_544:
                if (Ld<u32>(P32(ip[2])) == Ld<u32>(P32(ip[3]))) {
                    ip = base + ip[1] / 2;
                    DISPATCH();
                }
                NEXT(4);
            case 68: L_68:
            case 234: L_234: {
                if (program == 0) return 1;
                u16 depth = Depth(db);
                if (depth == 0) return 1;
                --depth;
                SetDepth(db, depth);
                u16 p = GetLe16(cs.base + 4u * depth), pos = GetLe16(cs.base + 4u * depth + 2);
                u8* r = Prog(c, p);
                if (!r || !IsStart(ver, p, pos)) STOP();
                PSetFlags(r, static_cast<u16>(PFlags(r) & ~kPrgExecuting));
                if (rec && rec != r) PSetFlags(rec, static_cast<u16>(PFlags(rec) & ~kPrgExecuting));
                const Q4Code& cd = Q4VM_CodeOf(db);
                u32 off = GetLe32(r + kQ4PrCode);
                c.program = p;
                rec = r;
                base = reinterpret_cast<const u16*>(cd.data + off);
                ip = base + pos / 2;
                DISPATCH();
            }
            case 423: L_423: {
                u16 depth = Depth(db);
                u16 callee = ip[1];
                u8* r = Prog(c, callee);
                if (!cs.base || depth + 1u >= cs.limit) {
                    Q4VMLog_Push(db, kLogCallStack, callee, Where(c, base, ip));
                    STOP();
                }
                if ((PFlags(r) & kPrgExecuting) || r == rec) {
                    Q4VMLog_Push(db, kLogRecursiveCall, callee, Where(c, base, ip));
                    STOP();
                }
                PutLe16(cs.base + 4u * depth, c.program);
                PutLe16(cs.base + 4u * depth + 2, static_cast<u16>((ip + 2 - base) * 2));
                SetDepth(db, static_cast<u16>(depth + 1));
                PSetFlags(rec, static_cast<u16>(PFlags(rec) | kPrgExecuting));
                const Q4Code& cd = Q4VM_CodeOf(db);
                u32 off = GetLe32(r + kQ4PrCode);
                c.program = callee;
                rec = r;
                base = reinterpret_cast<const u16*>(cd.data + off);
                ip = base;
                DISPATCH();
            }

            // Program control
            case 187: L_187: {
                u8* r = Prog(c, ip[1]);
                if (PFlags(r) == 0) PSetFlags(r, GetLe16(r + kQ4PrKind) ? kPrgStarting : kPrgRunning);
                NEXT(2);
            }
            case 188: L_188: {
                u8* r = Prog(c, ip[1]);
                if (PFlags(r) == kPrgRunning) PSetFlags(r, kPrgRunning | kPrgSuspended);
                NEXT(2);
            }
            case 189: L_189: {
                u8* r = Prog(c, ip[1]);
                if (PFlags(r) & (kPrgRunning | kPrgStarting))
                    PSetFlags(r, GetLe16(r + kQ4PrKind) == 0 ? 0 : static_cast<u16>(PFlags(r) | kPrgStopping));
                NEXT(2);
            }
            case 190: L_190: {
                u8* r = Prog(c, ip[1]);
                if (PFlags(r) == (kPrgRunning | kPrgSuspended)) PSetFlags(r, kPrgRunning);
                NEXT(2);
            }
            case 193: L_193:
            case 200: L_200: {
                if (*ip == 200 && LOCKED(1, 0x04)) {
                    NEXT(3);
                }
                u16 f = PFlags(Prog(c, ip[2]));
                i32 s = (f & kPrgSuspended) ? 2 : (f & (kPrgRunning | kPrgStarting)) ? 1 : 0;
                St<i32>(P32(ip[1]), s);
                NEXT(3);
            }
            case 196: L_196:
            case 203: L_203:
            case 197: L_197:
            case 204: L_204: {
                u16 op = *ip;
                if ((op == 203 || op == 204) && LOCKED(1, 0x01)) {
                    NEXT(4);
                }
                bool first = GetLe32(st + kVmStCycleCount) == 0;
                bool a = *P8(ip[2]) != 0, bb = *P8(ip[3]) != 0;
                bool edge = (op == 196 || op == 203) ? (!a && bb) : (a && !bb);
                *P8(ip[1]) = (edge && !first) ? 1 : 0;
                NEXT(4);
            }
            case 205: L_205:
            case 207: L_207: {
                if (*ip == 207) {
                    u8 bit = ConvertLockBit(ip[3]);
                    if (bit && (lk[ip[1]] & bit)) {
                        NEXT(5);
                    }
                }
                Q4VMCnv_Convert(db, ip + 1);
                NEXT(5);
            }

            // SFC reads
            case 107: L_107: PutLe16(Trans(c, ip[1]) + kTransCond, *P8(ip[2]) ? 1 : 0); NEXT(3);
            case 208: L_208: *P8(ip[1]) = GetLe16(Step(c, ip[2]) + kStepState) == kStepActive ? 1 : 0; NEXT(3);
            case 209: L_209: {
                u8* r = Step(c, ip[2]);
                if (GetLe16(r + kStepState) == kStepActive) StepTime(c, ip[2]);
                St<u32>(PT(ip[1]), GetLe32(r + kStepElapsed));
                NEXT(3);
            }

            // Application control
            case 257: L_257: SetFlags(st, static_cast<u16>(Flags(st) & ~kVmFlagRunning)); NEXT(1);
            case 258: L_258: SetFlags(st, static_cast<u16>(Flags(st) | kVmFlagRunning)); NEXT(1);
            case 259: L_259: SetFlags(st, static_cast<u16>(Flags(st) | kVmFlagOneCycle)); NEXT(1);
            case 260: L_260: PutLe32(st + kQ4StCycleTime, static_cast<u32>(ip[1]) << 16 | ip[2]); NEXT(3);
            case 261: L_261: *P8(ip[1]) = 1; NEXT(2);
            case 262: L_262: *P8(ip[1]) = 0; NEXT(2);
            case 263: L_263: if (!LOCKED(1, 0x01)) *P8(ip[1]) = 1; NEXT(2);
            case 264: L_264: if (!LOCKED(1, 0x01)) *P8(ip[1]) = 0; NEXT(2);
            case 275: L_275: Q4VMTmr_StartTimer(db, ip[1]); NEXT(2);
            case 276: L_276: Q4VMTmr_StopTimer(db, ip[1]); NEXT(2);
            case 277: L_277: if (!LOCKED(1, 0x10)) Q4VMTmr_StartTimer(db, ip[1]); NEXT(2);
            case 278: L_278: if (!LOCKED(1, 0x10)) Q4VMTmr_StopTimer(db, ip[1]); NEXT(2);

            // Calls
            case 285: L_285:
                if (Q4VMStf_Execute(db, ip + 1) == 0) STOP();
                NEXT(3u + ip[2]);
            case 286: L_286: {
                u8* r = Q4VMFbl_CustomFunction(db, ip[1]);
                Q4VMFbl_HandlerAt(GetLe32(r + kCfHandler))(kFbExecute, db, nullptr, nullptr, ip + 3);
                NEXT(4u + ip[2]);
            }
            case 287: L_287: CallInstance(c, ip[1], ip + 3); NEXT(3u + ip[2]);
            case 535: L_535: {
                u8* p = CtAt(c, Ld<u32>(P32(ip[1])), 2);
                if (!p || !Q4VMFbl_Instance(db, Ld<u16>(p))) goto bound_error;
                CallInstance(c, Ld<u16>(p), ip + 3);
                NEXT(3u + ip[2]);
            }
            case 536: L_536: {
                u8* r = Q4VMFbl_CustomFunction(db, ip[1]);
                if (!Q4VMFbl_HandlerAt(GetLe32(r + kCfHandler))(kFbAnyType, db, nullptr, nullptr, nullptr)) {
                    std::printf("Argument type not supported by function\n");
                    STOP();
                }
                NEXT(2);
            }
            case 537: L_537: {
                u8* p = CtAt(c, Ld<u32>(P32(ip[1])), 2);
                u8* r = p ? Q4VMFbl_Instance(db, Ld<u16>(p)) : nullptr;
                if (!r) goto bound_error;
                if (!Q4VMFbl_HandlerAt(GetLe32(r + kFbiHandler))(kFbAnyType, db, nullptr, nullptr, nullptr)) {
                    std::printf("Argument type not supported by function block\n");
                    STOP();
                }
                NEXT(2);
            }

            // SFC
            case 412: L_412: {
                u8* r = Step(c, ip[1]);
                u16 s = GetLe16(r + kStepState);
                bool killed = rec && (PFlags(rec) & kPrgStopping);
                if (s == kStepInactive) {
                    ip = base + ip[4] / 2;
                } else if (s == kStepDeactivating || (s == kStepActive && killed)) {
                    PutLe16(r + kStepState, kStepInactive);
                    ip = base + ip[3] / 2;
                } else if (s == kStepActivating) {
                    PutLe16(r + kStepState, kStepActive);
                    PutLe32(r + kStepElapsed, 0);
                    PutLe32(r + kStepStamp, Now(st));
                    ip = base + ip[2] / 2;
                } else {
                    StepTime(c, ip[1]);
                    ip += 5;
                }
                DISPATCH();
            }
            case 413: L_413: {
                u8* t = Trans(c, ip[2]);
                bool killed = PFlags(rec) & kPrgStopping;
                u16 n = ip[3];
                PutLe16(t + kTransCond, killed ? 0 : 1);
                for (u16 k = 0; k < n; ++k)
                    if (GetLe16(Step(c, ip[4 + k]) + kStepState) != kStepActive) {
                        PutLe16(t + kTransCond, 0);
                        ip = ip + 2 + static_cast<i16>(ip[1]) / 2;
                        goto next_insn;
                    }
                NEXT(4u + n);
            }
            case 414: L_414:
            case 415: L_415: {
                u8* t = Trans(c, ip[1]);
                u16 n = ip[2];
                if (GetLe16(t + kTransCond)) {
                    for (u16 k = 0; k < n; ++k)
                        PutLe16(Step(c, ip[3 + k]) + kStepState, *ip == 414 ? kStepDeactivating : kStepActivating);
                    if (*ip == 415 && GetLe16(t + kTransBreak)) {
                        SetFlags(st, static_cast<u16>(Flags(st) & ~(kVmFlagRunning | kVmFlagHalted)));
                        return 1;
                    }
                }
                NEXT(3u + n);
            }
            case 416: L_416: {
                u16 n = ip[2];
                if (PFlags(rec) & kPrgStarting) {
                    PSetFlags(rec, kPrgRunning);
                    for (u16 k = 0; k < n; ++k) Activate(c, ip[3 + k]);
                }
                NEXT(3u + n);
            }
            case 417: L_417: {
                u8* t = Trans(c, ip[2]);
                bool killed = PFlags(rec) & kPrgStopping;
                if (GetLe16(Step(c, ip[3]) + kStepState) != kStepActive || killed) {
                    PutLe16(t + kTransCond, 0);
                    ip = ip + 2 + static_cast<i16>(ip[1]) / 2;
                    DISPATCH();
                }
                PutLe16(t + kTransCond, 1);
                NEXT(4);
            }
            case 418: L_418: {
                u8* t = Trans(c, ip[1]);
                if (GetLe16(t + kTransCond)) {
                    PutLe16(Step(c, ip[2]) + kStepState, kStepDeactivating);
                    Activate(c, ip[3]);
                    if (GetLe16(t + kTransBreak)) {
                        SetFlags(st, static_cast<u16>(Flags(st) & ~(kVmFlagRunning | kVmFlagHalted)));
                        return 1;
                    }
                }
                NEXT(4);
            }
            case 419: L_419:
                if (PFlags(rec) & kPrgStarting) {
                    PSetFlags(rec, kPrgRunning);
                    Activate(c, ip[1]);
                    PutLe32(Step(c, ip[1]) + kStepElapsed, 0);
                }
                NEXT(3);
            case 420: L_420: {
                if (PFlags(rec) & kPrgStopping) {
                    for (u16 k = 0; k < ip[1]; ++k) {
                        u8* r = Prog(c, ip[2 + k]);
                        if (PFlags(r) & (kPrgRunning | kPrgStarting)) PSetFlags(r, static_cast<u16>(PFlags(r) | kPrgStopping));
                    }
                    PSetFlags(rec, 0);
                    return 1;
                }
                NEXT(2u + ip[1]);
            }
            case 421: L_421: {
                u16 period = ip[1], phase = ip[2];
                if (period > 1 && Depth(db) == 0) {
                    u16 prev = GetLe16(rec + kQ4PrSfcCounter);
                    PutLe16(rec + kQ4PrSfcCounter, static_cast<u16>((prev + 1u) % period));
                    if (prev != phase) return 1;
                }
                NEXT(3);
            }
            case 545: L_545:
                if (!(PFlags(rec) & ip[1])) {
                    ip = base + ip[2] / 2;
                    DISPATCH();
                }
                NEXT(3);
            case 546: L_546: PSetFlags(rec, ip[1]); NEXT(2);
            case 547: L_547: {
                u8* r = Step(c, ip[1]);
                PutLe16(r + kStepState, ip[2]);
                if (ip[2] == kStepActive) {
                    PutLe32(r + kStepElapsed, 0);
                    PutLe32(r + kStepStamp, Now(st));
                }
                NEXT(3);
            }
            case 548: L_548: {
                u8* r = Step(c, ip[1]);
                if (ip[2]) StepTime(c, ip[1]);
                else PutLe32(r + kStepElapsed, 0), PutLe32(r + kStepStamp, Now(st));
                NEXT(3);
            }
            case 549: L_549:
                if (GetLe16(Trans(c, ip[1]) + kTransBreak)) {
                    SetFlags(st, static_cast<u16>(Flags(st) & ~(kVmFlagRunning | kVmFlagHalted)));
                    return 1;
                }
                NEXT(2);
            case 550: L_550:
                if (!GetLe16(Trans(c, ip[1]) + kTransCond)) {
                    ip = base + ip[2] / 2;
                    DISPATCH();
                }
                NEXT(3);
            case 551: L_551:
                if (PFlags(rec) & kPrgStopping) {
                    St<i32>(P32(ip[1]), 0);
                    ip = base + ip[2] / 2;
                    DISPATCH();
                }
                NEXT(3);
            case 540: L_540: Q4VMTic_SetSfcBreakS(db, ip[1], ip[2]); NEXT(3);
            case 541: L_541: Q4VMTic_SetSfcBreakT(db, ip[1], ip[2]); NEXT(3);

            case 422: L_422: {
                i32 v = Ld<i32>(P32(ip[1]));
                if (v < static_cast<i16>(ip[2]) || v > static_cast<i16>(ip[3])) goto bound_error;
                NEXT(4);
            }

            // External variables
#define XVP(k) (db + GetLe32(c.xv + 4u * (k)))
            case 424: L_424: case 442: L_442: if (*ip == 424 || !LOCKED(2, 0x01)) *P8(ip[2]) = *XVP(ip[1]); NEXT(3);
            case 425: L_425: case 443: L_443: if (*ip == 425 || !LOCKED(2, 0x02)) std::memcpy(P16(ip[2]), XVP(ip[1]), 2); NEXT(3);
            case 426: L_426: case 444: L_444: if (*ip == 426 || !LOCKED(2, 0x04)) std::memcpy(P32(ip[2]), XVP(ip[1]), 4); NEXT(3);
            case 427: L_427: case 445: L_445: if (*ip == 427 || !LOCKED(2, 0x08)) std::memcpy(P64(ip[2]), XVP(ip[1]), 8); NEXT(3);
            case 428: L_428: case 446: L_446: if (*ip == 428 || !LOCKED(2, 0x10)) std::memcpy(PT(ip[2]), XVP(ip[1]), 4); NEXT(3);
            case 429: L_429: case 447: L_447:
                if (*ip == 429 || !LOCKED(2, 0x20)) Q4Str_Copy(Q4Tools_String(db, ip[2]), XVP(ip[1]));
                NEXT(3);
            case 430: L_430: case 448: L_448: if (*ip == 430 || !LOCKED(1, 0x80)) *XVP(ip[1]) = *P8(ip[2]); NEXT(3);
            case 431: L_431: case 449: L_449: if (*ip == 431 || !LOCKED(1, 0x80)) std::memcpy(XVP(ip[1]), P16(ip[2]), 2); NEXT(3);
            case 432: L_432: case 450: L_450: if (*ip == 432 || !LOCKED(1, 0x80)) std::memcpy(XVP(ip[1]), P32(ip[2]), 4); NEXT(3);
            case 433: L_433: case 451: L_451: if (*ip == 433 || !LOCKED(1, 0x80)) std::memcpy(XVP(ip[1]), P64(ip[2]), 8); NEXT(3);
            case 434: L_434: case 452: L_452: if (*ip == 434 || !LOCKED(1, 0x80)) std::memcpy(XVP(ip[1]), PT(ip[2]), 4); NEXT(3);
            case 435: L_435: case 453: L_453:
                if (*ip == 435 || !LOCKED(1, 0x80)) Q4Str_Copy(XVP(ip[1]), Q4Tools_String(db, ip[2]));
                NEXT(3);
            case 436: L_436: *XVP(ip[1]) = static_cast<u8>(ip[2]); NEXT(3);
            case 437: L_437: St<u16>(XVP(ip[1]), ip[2]); NEXT(3);
            case 438: L_438:
            case 440: L_440: St<u32>(XVP(ip[1]), static_cast<u32>(ip[2]) << 16 | ip[3]); NEXT(4);
            case 439: L_439:
                St<u64>(XVP(ip[1]), static_cast<u64>(ip[2]) << 48 | static_cast<u64>(ip[3]) << 32 |
                                         static_cast<u64>(ip[4]) << 16 | ip[5]);
                NEXT(6);
            case 441: L_441: Q4Str_DBForce(XVP(ip[1]), reinterpret_cast<const u8*>(ip + 2), ip[2] + 1u); NEXT(3u + ip[2]);
            case 456: L_456: case 457: L_457: case 458: L_458: case 459: L_459: case 460: L_460:
            case 468: L_468: case 469: L_469: case 470: L_470: case 471: L_471: case 472: L_472:
            case 462: L_462: case 463: L_463: case 464: L_464: case 465: L_465: case 466: L_466:
            case 474: L_474: case 475: L_475: case 476: L_476: case 477: L_477: case 478: L_478: {
                // Indexed external variables: the slot's variable is the array's
                // first element in its class table.
                u16 op = *ip;
                bool write = (op >= 462 && op <= 466) || (op >= 474 && op <= 478);
                bool locked = op >= 468;
                u32 cls = write ? (op >= 474 ? op - 474 : op - 462) : (op >= 468 ? op - 468 : op - 456);
                static const u32 kArea[5] = {kDbData8, kDbData16, kDbData32, kDbData64, kDbTime};
                static const u32 kW[5] = {1, 2, 4, 8, 4};
                static const u8 kLb[5] = {0x01, 0x02, 0x04, 0x08, 0x10};
                u16 slot = write ? ip[1] : ip[2];
                i32 k = Ld<i32>(P32(write ? ip[2] : ip[3]));
                u32 bytes = 0;
                u8* area = Q4VM_AreaPtr(db, kArea[cls], &bytes);
                u32 first = static_cast<u32>(XVP(slot) - area) / kW[cls];
                i64 e = static_cast<i64>(first) + k;
                if (k < 0 || e >= Alloc(db, kArea[cls])) goto bound_error;
                u8* elem = area + static_cast<u64>(e) * kW[cls];
                u8* var = cls == 0 ? P8(write ? ip[3] : ip[1]) : cls == 1 ? P16(write ? ip[3] : ip[1])
                         : cls == 2 ? P32(write ? ip[3] : ip[1]) : cls == 3 ? P64(write ? ip[3] : ip[1])
                                    : PT(write ? ip[3] : ip[1]);
                if (write) {
                    if (!locked || !(lk[slot] & 0x80)) std::memcpy(elem, var, kW[cls]);
                } else if (!locked || !(lk[ip[1]] & kLb[cls])) {
                    std::memcpy(var, elem, kW[cls]);
                }
                NEXT(4);
            }
            case 461: L_461: case 467: L_467: case 473: L_473: case 479: L_479: NEXT(4);  // refused by the verifier

            // Boolean sampling trace: configuration and start or stop
            case 480: L_480:
                Q4VMBsmp_Set(db, ip[1], ip + 2, 8u + ip[9]);
                NEXT(10u + ip[9]);
            case 481: L_481:
                Q4VMBsmp_Ctl(db, 0, ip[1]);
                NEXT(2);

            // Resume points and stepping
            case 506: L_506: PutLe32(rec + kQ4PrResume, static_cast<u32>(ip - base)); NEXT(1);
            case 507: L_507:
                if (*P8(ip[1])) {
                    PutLe32(rec + kQ4PrResume, 0);
                    NEXT(2);
                }
                if (Depth(db) > 0) {
                    PutLe16(cs.base + 4u * Depth(db), c.program);
                    PutLe16(cs.base + 4u * Depth(db) + 2, static_cast<u16>(GetLe32(rec + kQ4PrResume) * 2));
                    Q4VMPrg_SaveCallStack(db, program);
                }
                return 1;
            case 508: L_508: {
                u32 pos = static_cast<u32>(ip - base) * 2;
                bool halt = (Flags(st) & kVmFlagHalted) ||
                            (program && Q4VMPrg_IsBreakpoint(db, c.program, static_cast<u16>(pos), ip[1]));
                if (!halt || program == 0) {
                    NEXT(2);
                }
                SetFlags(st, static_cast<u16>((Flags(st) | kVmFlagHalted | kVmFlagOneCycle) & ~kVmFlagRunning));
                PutLe16(st + kVmStCurProgram, c.program);
                PutLe16(st + kVmStPosition, static_cast<u16>(pos));
                if (Depth(db) > 0) {
                    PutLe16(cs.base + 4u * Depth(db), c.program);
                    PutLe16(cs.base + 4u * Depth(db) + 2, static_cast<u16>(pos + 4));
                    Q4VMPrg_SaveCallStack(db, program);
                } else {
                    PutLe32(rec + kQ4PrResume, static_cast<u32>(ip + 2 - base));
                }
                return 0;
            }
            case 525: L_525:
                if (!(Flags(st) & kVmFlagRunning)) SetFlags(st, static_cast<u16>(Flags(st) | kVmFlagOneCycle | kVmFlagHalted));
                NEXT(1);
            case 527: L_527: Q4VMPrg_SetBreakpoint(db, ip[1], ip[2], ip[3]); NEXT(4);
            case 526: L_526:
            case 534: L_534: NEXT(1);
            case 542: L_542: NEXT(2);

            // CT segment
            case 531: L_531:
            case 566: L_566:
                Q4VMTic_GetCTSegItem(db, ip[1], ip[2], ip[3]);
                NEXT(4);
            case 532: L_532:
            case 567: L_567:
                Q4VMTic_SetCTSegItem(db, ip[1], ip[2], ip[3]);
                NEXT(4);
            case 533: L_533:
                ctDest = static_cast<u32>(ip[1]) << 16 | ip[2];
                ctPending = true;
                NEXT(3);
            case 538: L_538:
            case 539: L_539: {
                u32 off = Ld<u32>(P32(ip[1]));
                if (!CtAt(c, off, 4) || off >= kCtTimer) goto bound_error;
                if (*ip == 538) StartTimerKey(db, kCtTimer | off);
                else StopTimerKey(db, kCtTimer | off);
                NEXT(2);
            }
            case 552: L_552: {
                u16 type = ip[2];
                Q4Class cls = Q4Type_Class(type);
                u32 ref = 0;
                switch (cls) {
                    case kQ4ClassData8: ref = 0u << 26; break;
                    case kQ4ClassData16: ref = 1u << 26; break;
                    case kQ4ClassData32: ref = 2u << 26; break;
                    case kQ4ClassData64: ref = 3u << 26; break;
                    case kQ4ClassString: ref = 4u << 26; break;
                    case kQ4ClassTime: ref = 5u << 26; break;
                    default: ref = 0x20000000u; break;
                }
                St<u32>(P32(ip[1]), 0xC0000000u | ref | (ip[3] & 0xFFFFFu));
                NEXT(5);
            }
            case 553: L_553: St<u32>(P32(ip[1]), Ld<u32>(P32(ip[2]))); NEXT(3);
            case 555: L_555: Q4VMTic_CTMemcpy(db, ip[1], ip[2], ip[3]); NEXT(4);

            // Loop guard
            case 564: L_564:
                loopHead = ip + 1;
                guard = 1000000;
                NEXT(1);
            case 565: L_565:
                if (loopHead && guard > 0 && --guard != 0) {
                    ip = loopHead;
                    DISPATCH();
                }
                St<i32>(P32(ip[1]), 0);
                NEXT(2);

            // VSI
            case 568: L_568:
                Q4Map_SetVSIDate(db, ip[1], ip[2], static_cast<u32>(ip[3]) << 16 | ip[4]);
                Q4Map_SetVSITime(db, ip[1], ip[2], static_cast<u32>(ip[5]) << 16 | ip[6]);
                NEXT(7);
            case 569: L_569:
                Q4Map_SetVSIDate(db, ip[1], ip[2], 0);
                Q4Map_SetVSITime(db, ip[1], ip[2], 0);
                Q4Map_ResetSetVSIBits(db, ip[1], ip[2]);
                NEXT(3);

            default:
            L_bad:
                Q4VMLog_Push(db, kLogBadOpcode, *ip, Where(c, base, ip));
                if (program == 0) return 1;
                STOP();
        }
    next_insn:
        DISPATCH();
    bound_error:
        Q4VMLog_Push(db, kLogArrayIndex, *ip, Where(c, base, ip));
        STOP();
    }
}
