#include "iec/kernel/q4vmprg.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "iec/kernel/q4socket.h"
#include "iec/kernel/q4vmdb.h"

namespace {


// Host objects behind the resource entries of one database.
struct RscObjects {
    const u8* db;
    void* object[kQ4RscEntries];
    u16 kind[kQ4RscEntries];  // 0: nothing of this process behind the entry
    int sock[kQ4RscEntries];
};

// Closes or releases what this process recorded for entry i.
void CloseObject(RscObjects* o, u32 i) {
    switch (o->kind[i]) {
        case kRscFile: Q4File_Close(static_cast<Q4FileHandle>(o->object[i])); break;
        case kRscSocket:
            if (o->sock[i] != -1) Q4Socket_CloseSocket(o->sock[i]);
            break;
        case kRscMemory:
        case kRscArray: std::free(o->object[i]); break;
        default: break;
    }
    o->object[i] = nullptr;
    o->kind[i] = 0;
    o->sock[i] = -1;
}

struct State {
    Q4VMPrg_Runner runner = nullptr;
    u16 sysEvents[kQ4LogEntries] = {};  // system events not yet read, oldest first
    std::vector<RscObjects> rsc;
};
State g;

u16 Flags(const u8* st) { return GetLe16(st + kQ4StFlags); }
void SetFlags(u8* st, u16 f) { PutLe16(st + kQ4StFlags, f); }
void ClearFlag(u8* st, u16 bit) { SetFlags(st, static_cast<u16>(Flags(st) & ~bit)); }
void ClearOption(u8* st, u32 bit) { PutLe32(st + kQ4StOptions, GetLe32(st + kQ4StOptions) & ~bit); }
bool Active(const u8* st) { return (Flags(st) & (kVmFlagRunning | kVmFlagOneCycle)) != 0; }
void CountCycle(u8* st) { PutLe32(st + kVmStCycleCount, GetLe32(st + kVmStCycleCount) + 1); }

bool MayRun(const u8* rec) {
    if (!rec) return false;
    u16 f = GetLe16(rec + kQ4PrFlags);
    return (f & (kPrgRunning | kPrgStarting)) && !(f & kPrgSuspended);
}

// Runs program p through the interpreter; 0 when a breakpoint suspended it.
int RunProgram(u8* db, u16 p) {
    u8* rec = Q4VMPrg_Record(db, p);
    if (!rec || !g.runner) return 1;
    const Q4Code& c = Q4VM_CodeOf(db);
    u32 off = GetLe32(rec + kQ4PrCode), size = GetLe32(rec + kQ4PrCodeSize);
    if (!c.data || off >= c.size) return 1;
    if (size > c.size - off) size = c.size - off;
    return g.runner(db, c.data + off, size, p);
}

// Call stack: used count = depth. d->allocated is cut to what the area
// really holds, whatever its descriptor (read back from a file) claims.
u8* CallStack(u8* db, VmDbDesc* d) {
    u32 bytes = 0;
    u8* p = Q4VM_AreaPtr(db, kDbCallStack, &bytes);
    *d = Q4VM_GetDesc(db, kDbCallStack);
    if (!p || d->elementSize == 0) return nullptr;
    if (d->allocated > bytes / d->elementSize) d->allocated = static_cast<u16>(bytes / d->elementSize);
    return p;
}
void SetDepth(u8* db, u16 depth) {
    VmDbDesc d = Q4VM_GetDesc(db, kDbCallStack);
    d.used = depth;
    Q4VM_PutDesc(db, kDbCallStack, d);
}

// Breakpoint slots.
u8* Slot(u8* st, u32 i) { return st + kVmStBreakpoints + 8 * i; }
void RecomputeBreakFlag(u8* st) {
    bool any = false;
    for (u32 i = 0; i < 16; ++i) any |= GetLe16(Slot(st, i) + 4) != 0;
    u16 f = Flags(st);
    SetFlags(st, any ? static_cast<u16>(f | kVmFlagBreakpoints) : static_cast<u16>(f & ~kVmFlagBreakpoints));
}

// Resources.
u8* RscArea(u8* db) {
    u32 bytes = 0;
    u8* p = Q4VM_AreaPtr(db, kDbResources, &bytes);
    return p && bytes >= kQ4RscEntries * kQ4RscEntryBytes ? p : nullptr;
}
u8* RscEntry(u8* db, u32 i) {
    u8* a = RscArea(db);
    return a && i < kQ4RscEntries ? a + i * kQ4RscEntryBytes : nullptr;
}
u32 RscIndex(u8* db, const u8* entry) { return static_cast<u32>(entry - RscArea(db)) / kQ4RscEntryBytes; }
void PutEntry(u8* e, u32 handle, u32 size, u16 id, u16 kind) {
    PutLe32(e, handle);
    PutLe32(e + 4, size);
    PutLe16(e + 8, id);
    PutLe16(e + 10, kind);
}
RscObjects* Objects(const u8* db, bool create) {
    for (RscObjects& o : g.rsc)
        if (o.db == db) return &o;
    if (!create) return nullptr;
    g.rsc.push_back(RscObjects{db, {}, {}, {}});
    return &g.rsc.back();
}
void* Object(const u8* db, u32 i) {
    RscObjects* o = Objects(db, false);
    return o && i < kQ4RscEntries ? o->object[i] : nullptr;
}

}  // namespace

void Q4VMPrg_SetRunner(Q4VMPrg_Runner runner) { g.runner = runner; }

// --- Programs ---------------------------------------------------------------------

u16 Q4VMPrg_Count(u8* db) {
    if (!db) return 0;
    u16 used = Q4VM_GetDesc(db, kDbPrograms).used;
    return used ? static_cast<u16>(used - 1) : 0;
}

u8* Q4VMPrg_Record(u8* db, u16 p) {
    u32 bytes = 0;
    u8* area = Q4VM_AreaPtr(db, kDbPrograms, &bytes);
    if (!area || p == 0 || p > Q4VMPrg_Count(db) || (p + 1u) * kQ4PrBytes > bytes) return nullptr;
    return area + p * kQ4PrBytes;
}

void Q4VMPrg_ActivateAllPrograms(u8* db) {
    for (u16 p = 1; p <= Q4VMPrg_Count(db); ++p) {
        u8* r = Q4VMPrg_Record(db, p);
        if (!r) break;
        u16 kind = GetLe16(r + kQ4PrKind);
        PutLe16(r + kQ4PrFlags, kind == 1 ? kPrgStarting : (kind == 2 || kind == 3) ? 0 : kPrgRunning);
    }
}

void Q4VMPrg_ActivateNewPrograms(u8* db) {
    for (u16 p = 1; p <= Q4VMPrg_Count(db); ++p) {
        u8* r = Q4VMPrg_Record(db, p);
        if (!r) break;
        u16 kind = GetLe16(r + kQ4PrKind);
        if (kind == 3) PutLe16(r + kQ4PrFlags, 0);
        else if (kind == 0 || kind > 3) PutLe16(r + kQ4PrFlags, kPrgRunning);
    }
}

void Q4VMPrg_Execute(u8* db) {
    u8* st = Q4VM_Status(db);
    if (!st) return;
    if (Active(st)) {
        for (u16 p = 1; p <= Q4VMPrg_Count(db); ++p) {
            if (!MayRun(Q4VMPrg_Record(db, p))) continue;
            if (RunProgram(db, p) == 0 || !Active(st)) break;
        }
        CountCycle(st);
    }
    ClearFlag(st, kVmFlagOneCycle);
    ClearOption(st, kVmOptChangeCycle);
    Q4VMPrg_ProcessExecBuffer(db);
}

void Q4VMPrg_Task(u8* db, u16 task, int cyclic) {
    u8* st = Q4VM_Status(db);
    u32 bytes = 0;
    u8* tasks = Q4VM_AreaPtr(db, kDbTasks, &bytes);
    if (!st || !tasks) return;
    if (cyclic && !Active(st)) {
        ClearFlag(st, kVmFlagOneCycle);
        ClearOption(st, kVmOptChangeCycle);
        return;
    }
    // The program-number list of the task, in the code image.
    std::vector<u16> list;
    const Q4Code& c = Q4VM_CodeOf(db);
    if (task < Q4VM_GetNbTask(db) && (task + 1u) * 8 <= bytes) {
        u32 at = GetLe32(tasks + 8u * task + 4);
        for (; Q4Code_InRange(c, at, 2) && Q4Code_U16(c, at) != 0; at += 2) list.push_back(Q4Code_U16(c, at));
    }
    size_t start = 0;
    u16 stopped = GetLe16(st + kVmStCurProgram);
    if (stopped != 0) {
        if (GetLe32(st + kQ4StOptions) & kVmOptDiscardStop) {
            SetDepth(db, 0);
            if (u8* r = Q4VMPrg_Record(db, stopped)) PutLe32(r + kQ4PrResume, 0);
            PutLe16(st + kVmStCurProgram, 0);
            PutLe16(st + kVmStPosition, 0);
            PutLe16(st + kVmStExtra, 0);
        } else {
            VmDbDesc d;
            u8* cs = CallStack(db, &d);
            u16 target = (cs && d.used > 0) ? GetLe16(cs) : stopped;
            start = list.size();
            for (size_t i = 0; i < list.size(); ++i)
                if (list[i] == target) {
                    start = i;
                    break;
                }
        }
    }
    for (size_t i = start; i < list.size(); ++i) {
        if (GetLe16(st + kVmStCurProgram) == 0) SetDepth(db, 0);
        u8* rec = Q4VMPrg_Record(db, list[i]);
        if (rec && MayRun(rec) && RunProgram(db, list[i]) == 0) break;
        if (cyclic && !Active(st)) break;
    }
    if (!cyclic) return;
    if (GetLe16(st + kVmStCurProgram) == 0) CountCycle(st);
    ClearFlag(st, kVmFlagOneCycle);
    ClearOption(st, kVmOptChangeCycle);
}

void Q4VMPrg_ProcessExecBuffer(u8* db) {
    u8* st = Q4VM_Status(db);
    u32 bytes = 0;
    u8* buf = Q4VM_AreaPtr(db, kDbExecBuffer, &bytes);
    if (!st || !buf) return;
    u32 fill = GetLe16(st + kVmStExecLength);
    if (fill == 0) return;
    u32 size = fill + 2 > bytes ? bytes : fill + 2;
    if (g.runner) g.runner(db, buf, size, 0);
    PutLe16(st + kVmStExecLength, 0);
}

int Q4VMPrg_HasBreapointOrStep(u8* db) {
    u8* st = Q4VM_Status(db);
    if (!st) return 0;
    if (Flags(st) & (kVmFlagBreakpoints | kVmFlagHalted)) return 1;
    for (u16 p = 1; p <= Q4VMPrg_Count(db); ++p)
        if (const u8* r = Q4VMPrg_Record(db, p); r && GetLe32(r + kQ4PrResume) != 0) return 1;
    return 0;
}

void Q4VMPrg_SetBreakpoint(u8* db, u16 program, u16 position, u16 state) {
    u8* st = Q4VM_Status(db);
    if (!st) return;
    if (program == 0 && state == kBreakFree) {
        std::memset(st + kVmStBreakpoints, 0, 16 * 8);
        ClearFlag(st, kVmFlagBreakpoints);
        return;
    }
    u8* slot = nullptr;
    bool busy = false;
    for (u32 i = 0; i < 16 && !slot; ++i) {
        u8* s = Slot(st, i);
        if (GetLe16(s + 4) != 0 && GetLe16(s) == program && GetLe16(s + 2) == position) slot = s, busy = true;
    }
    for (u32 i = 0; i < 16 && !slot; ++i)
        if (GetLe16(Slot(st, i) + 4) == 0) slot = Slot(st, i);
    if (!slot || (busy && state == kBreakOnce)) return;
    if (state == kBreakFree) {
        std::memset(slot, 0, 8);
    } else {
        PutLe16(slot, program);
        PutLe16(slot + 2, position);
        PutLe16(slot + 4, state);
    }
    RecomputeBreakFlag(st);
}

int Q4VMPrg_IsBreakpoint(u8* db, u16 program, u16 position, u16 thirdKey) {
    u8* st = Q4VM_Status(db);
    if (!st || !(Flags(st) & kVmFlagBreakpoints)) return 0;
    for (u32 i = 0; i < 16; ++i) {
        u8* s = Slot(st, i);
        u16 sp = GetLe16(s), spos = GetLe16(s + 2), state = GetLe16(s + 4);
        if (state == kBreakFree) continue;
        bool any = sp == 0xFFFF && spos == thirdKey;
        bool exact = sp == program && spos == position;
        if (state == kBreakOnce) {
            if ((sp == program && (spos == position || spos == 0)) || any) {
                std::memset(s, 0, 8);
                RecomputeBreakFlag(st);
                return 1;
            }
        } else if (state == kBreakTrace) {
            if (exact || any) Q4VMLog_Push(db, kLogTracePoint, 0, static_cast<u32>(position) << 16 | program);
        } else if (exact || any) {
            return 1;
        }
    }
    return 0;
}

void Q4VMPrg_SaveCallStack(u8* db, u16 /*program*/) {
    VmDbDesc d;
    u8* cs = CallStack(db, &d);
    if (!cs || d.used == 0) return;
    u8* rec = Q4VMPrg_Record(db, GetLe16(cs));
    if (!rec) return;
    u32 save = GetLe16(rec + kQ4PrSaveOffset), n = d.used + 1u;
    // The copy goes to the program's own slot of the table; a slot that
    // cannot hold the frames keeps nothing rather than spill into the next.
    if (save == 0 || n > d.allocated || save + n > d.allocated) {
        PutLe16(rec + kQ4PrSavedDepth, 0);
        return;
    }
    std::memmove(cs + save * d.elementSize, cs, n * d.elementSize);
    PutLe16(rec + kQ4PrSavedDepth, static_cast<u16>(n));
}

void Q4VMPrg_RestoreCallStack(u8* db, u16 program) {
    VmDbDesc d;
    u8* cs = CallStack(db, &d);
    u8* rec = Q4VMPrg_Record(db, program);
    if (!cs || !rec || d.used != 0) return;
    u32 save = GetLe16(rec + kQ4PrSaveOffset), s = GetLe16(rec + kQ4PrSavedDepth);
    if (save == 0 || s == 0 || s > d.allocated || save + s > d.allocated) return;
    std::memmove(cs, cs + save * d.elementSize, s * d.elementSize);
    SetDepth(db, static_cast<u16>(s - 1));
    PutLe16(rec + kQ4PrSavedDepth, 0);
}

int Q4VMPrg_Call(u8* db, u16 program) {
    u8* rec = Q4VMPrg_Record(db, program);
    u8* st = Q4VM_Status(db);
    if (!rec || !st) return 0;
    u16 f = GetLe16(rec + kQ4PrFlags);
    if (f & kPrgExecuting) {
        Q4VMLog_Push(db, kLogRecursiveCall, program, 0);
        return 0;
    }
    PutLe16(rec + kQ4PrFlags, static_cast<u16>(f | kPrgExecuting));
    if (!Active(st)) return 0;
    int r = RunProgram(db, program);
    PutLe16(rec + kQ4PrFlags, static_cast<u16>(GetLe16(rec + kQ4PrFlags) & ~kPrgExecuting));
    return r;
}

// --- Log --------------------------------------------------------------------------------

void Q4VMLog_Push(u8* db, u16 code, u16 arg16, u32 arg32) {
    u8* st = Q4VM_Status(db);
    u32 bytes = 0;
    u8* log = Q4VM_AreaPtr(db, kDbLog, &bytes);
    if (!st || !log || bytes < kQ4LogEntries * 8) return;
    u16 n = GetLe16(st + kVmStLogCount);
    if (n >= kQ4LogEntries) return;
    PutLe16(log + 8 * n, code);
    PutLe16(log + 8 * n + 2, arg16);
    PutLe32(log + 8 * n + 4, arg32);
    PutLe16(st + kVmStLogCount, static_cast<u16>(n + 1));
    SetFlags(st, static_cast<u16>(Flags(st) | kVmFlagLogPending));
}

int Q4VMLog_Pop(u8* db, u16* code, u16* arg16, u32* arg32) {
    if (code) *code = 0;
    if (arg16) *arg16 = 0;
    if (arg32) *arg32 = 0;
    u8* st = Q4VM_Status(db);
    u32 bytes = 0;
    u8* log = Q4VM_AreaPtr(db, kDbLog, &bytes);
    if (!st || !log || bytes < kQ4LogEntries * 8) return 0;
    u16 n = GetLe16(st + kVmStLogCount);
    if (n > kQ4LogEntries) n = kQ4LogEntries;
    if (n == 0) return 0;
    if (code) *code = GetLe16(log);
    if (arg16) *arg16 = GetLe16(log + 2);
    if (arg32) *arg32 = GetLe32(log + 4);
    std::memmove(log, log + 8, 8u * (n - 1));
    std::memset(log + 8u * (n - 1), 0, 8);
    PutLe16(st + kVmStLogCount, static_cast<u16>(n - 1));
    if (n == 1) ClearFlag(st, kVmFlagLogPending);
    return 1;
}

void Q4VMLog_PushSys(u16 code) {
    if (code == 0) return;
    for (u16& s : g.sysEvents)
        if (s == 0) {
            s = code;
            return;
        }
}

int Q4VMLog_PopSys(u16* code) {
    if (code) *code = g.sysEvents[0];
    if (g.sysEvents[0] == 0) return 0;
    std::memmove(g.sysEvents, g.sysEvents + 1, sizeof g.sysEvents - sizeof g.sysEvents[0]);
    g.sysEvents[kQ4LogEntries - 1] = 0;
    return 1;
}

void Q4VMLog_ResetSys() { std::memset(g.sysEvents, 0, sizeof g.sysEvents); }

void Q4VMLog_RegisterUnresolved(u8* db, const char* name) {
    u8* st = Q4VM_Status(db);
    u32 bytes = 0;
    u8* area = Q4VM_AreaPtr(db, kDbUnresolved, &bytes);
    if (!st || !area || !name) return;
    u16 n = GetLe16(st + kVmStUnresolvedCount);
    if (n >= 16 || (n + 1u) * 16 > bytes) return;
    char* e = reinterpret_cast<char*>(area + 16u * n);
    std::memset(e, 0, 16);
    size_t len = std::strlen(name);
    if (len < 16) {
        std::memcpy(e, name, len);
    } else {
        std::memcpy(e, name, 13);
        std::memcpy(e + 13, "..", 2);
    }
    PutLe16(st + kVmStUnresolvedCount, static_cast<u16>(n + 1));
}

const char* Q4VMLog_GetUnresolved(u8* db, u16 n) {
    u8* st = Q4VM_Status(db);
    u32 bytes = 0;
    u8* area = Q4VM_AreaPtr(db, kDbUnresolved, &bytes);
    if (!st || !area || n >= GetLe16(st + kVmStUnresolvedCount) || n >= 16 || (n + 1u) * 16 > bytes) return nullptr;
    char* e = reinterpret_cast<char*>(area + 16u * n);
    e[15] = 0;  // a damaged entry still ends inside its 16 bytes
    return e;
}

// --- Resources -----------------------------------------------------------------------

Q4RscEntry Q4VMRsc_Get(const u8* e) {
    if (!e) return {};
    return {GetLe32(e), GetLe32(e + 4), GetLe16(e + 8), GetLe16(e + 10)};
}

u8* Q4VMRsc_GetFreeItem(u8* db) {
    for (u32 i = 0; i < kQ4RscEntries; ++i) {
        u8* e = RscEntry(db, i);
        if (!e) return nullptr;
        if (GetLe16(e + 8) == 0) return e;
    }
    return nullptr;
}

u8* Q4VMRsc_FindData(u8* db, u32 handle) {
    for (u32 i = 0; i < kQ4RscEntries; ++i) {
        u8* e = RscEntry(db, i);
        if (!e) return nullptr;
        // Sockets carry their descriptor as handle; they are found by FindSocket.
        if (GetLe16(e + 8) != 0 && GetLe16(e + 10) != kRscSocket && GetLe32(e) == handle) return e;
    }
    return nullptr;
}

u8* Q4VMRsc_FindSocket(u8* db, int sock) {
    for (u32 i = 0; i < kQ4RscEntries; ++i) {
        u8* e = RscEntry(db, i);
        if (!e) return nullptr;
        if (GetLe16(e + 8) != 0 && GetLe16(e + 10) == kRscSocket && GetLe32(e) == static_cast<u32>(sock)) return e;
    }
    return nullptr;
}

u8* Q4VMRsc_FindArray(u8* db, u16 number) {
    if (number == 0) return nullptr;
    for (u32 i = 0; i < kQ4RscEntries; ++i) {
        u8* e = RscEntry(db, i);
        if (!e) return nullptr;
        if (GetLe16(e + 10) == kRscArray && GetLe16(e + 8) == number) return e;
    }
    return nullptr;
}

int Q4VMRsc_Exist(u8* db) {
    for (u32 i = 0; i < kQ4RscEntries; ++i) {
        u8* e = RscEntry(db, i);
        if (!e) return 0;
        if (GetLe16(e + 8) != 0) return 1;
    }
    return 0;
}

int Q4VMRsc_CreateArray(u8* db, u16 number, i32 count, u32 elemSize) {
    if (number == 0 || number >= kQ4RscEntries || Q4VMRsc_FindArray(db, number)) return 2;
    u8* e = Q4VMRsc_GetFreeItem(db);
    if (!e) return 2;
    if (count <= 0 || elemSize == 0) return 3;
    u64 bytes = static_cast<u64>(count) * elemSize;
    if (bytes > 0xFFFFFFFFu) return 4;
    void* mem = std::malloc(static_cast<size_t>(bytes));
    if (!mem) return 4;
    u32 i = RscIndex(db, e);
    RscObjects* o = Objects(db, true);
    o->object[i] = mem;
    o->kind[i] = kRscArray;
    PutEntry(e, i + 1, static_cast<u32>(bytes), number, kRscArray);
    return 1;
}

namespace {

// The element at index of an array entry, or null when it does not lie
// wholly inside the array. Computed in 64 bits: (index + 1) x size cannot wrap.
u8* ArrayElement(u8* db, u8* e, i32 index, u32 elemSize) {
    if (index < 0) return nullptr;
    Q4RscEntry r = Q4VMRsc_Get(e);
    auto* mem = static_cast<u8*>(Object(db, RscIndex(db, e)));
    if (!mem || (static_cast<u64>(index) + 1) * elemSize > r.size) return nullptr;
    return mem + static_cast<u64>(index) * elemSize;
}

}  // namespace

int Q4VMRsc_ReadArray(u8* db, u16 number, i32 index, u32 elemSize, void* dst) {
    u8* e = Q4VMRsc_FindArray(db, number);
    u8* p = e ? ArrayElement(db, e, index, elemSize) : nullptr;
    if (!p) return 0;
    std::memcpy(dst, p, elemSize);
    return 1;
}

int Q4VMRsc_WriteArray(u8* db, u16 number, i32 index, u32 elemSize, const void* src) {
    u8* e = Q4VMRsc_FindArray(db, number);
    if (!e || !Object(db, RscIndex(db, e))) return 2;
    u8* p = ArrayElement(db, e, index, elemSize);
    if (!p) return 3;
    std::memcpy(p, src, elemSize);
    return 1;
}

u32 Q4VMRsc_AddFile(u8* db, Q4FileHandle file) {
    u8* e = file ? Q4VMRsc_GetFreeItem(db) : nullptr;
    if (!e) return 0;
    u32 i = RscIndex(db, e);
    RscObjects* o = Objects(db, true);
    o->object[i] = file;
    o->kind[i] = kRscFile;
    PutEntry(e, i + 1, 0, static_cast<u16>(i + 1), kRscFile);
    return i + 1;
}

Q4FileHandle Q4VMRsc_GetFile(u8* db, u32 handle) {
    if (handle == 0 || handle > kQ4RscEntries) return nullptr;
    u8* e = RscEntry(db, handle - 1);
    if (!e || GetLe16(e + 8) == 0 || GetLe16(e + 10) != kRscFile || GetLe32(e) != handle) return nullptr;
    return static_cast<Q4FileHandle>(Object(db, handle - 1));
}

int Q4VMRsc_AddSocket(u8* db, int sock) {
    u8* e = Q4VMRsc_GetFreeItem(db);
    if (!e) return 0;
    u32 i = RscIndex(db, e);
    RscObjects* o = Objects(db, true);
    o->kind[i] = kRscSocket;
    o->sock[i] = sock;
    PutEntry(e, static_cast<u32>(sock), 0, static_cast<u16>(i + 1), kRscSocket);
    return 1;
}

void Q4VMRsc_Release(u8* db, u8* entry) {
    if (!entry || !RscArea(db)) return;
    u32 i = RscIndex(db, entry);
    if (i >= kQ4RscEntries) return;
    if (RscObjects* o = Objects(db, false)) {
        // The caller closed files and sockets; memory is ours to release.
        if (o->kind[i] == kRscFile || o->kind[i] == kRscSocket) o->kind[i] = 0;
        CloseObject(o, i);
    }
    PutEntry(entry, 0, 0, 0, 0);
}

void Q4VMRsc_FreeAll(u8* db) {
    // Only objects this process recorded are closed: entries read back from an
    // image of another process name descriptors that are not ours.
    if (RscObjects* o = Objects(db, false))
        for (u32 i = 0; i < kQ4RscEntries; ++i) CloseObject(o, i);
    for (u32 i = 0; i < kQ4RscEntries; ++i)
        if (u8* e = RscEntry(db, i)) PutEntry(e, 0, 0, 0, 0);
}

void Q4VMRsc_Forget(const u8* db) {
    for (size_t i = 0; i < g.rsc.size(); ++i)
        if (g.rsc[i].db == db) {
            for (u32 k = 0; k < kQ4RscEntries; ++k) CloseObject(&g.rsc[i], k);
            g.rsc.erase(g.rsc.begin() + static_cast<long>(i));
            return;
        }
}

void Q4VMRsc_Reset() {
    for (RscObjects& o : g.rsc)
        for (u32 k = 0; k < kQ4RscEntries; ++k) CloseObject(&o, k);
    g.rsc.clear();
}
