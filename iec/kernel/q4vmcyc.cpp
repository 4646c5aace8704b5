#include "iec/kernel/q4vmcyc.h"

#include "iec/ext/q4vmcan.h"
#include "iec/ext/q4bdll.h"
#include "iec/ext/q4ea.h"
#include "iec/ext/q4cs.h"
#include "iec/ext/q4mb.h"
#include "iec/ext/q4mbfb.h"
#include "iec/ext/q4mbmap.h"
#include "iec/ext/q4mbsrv.h"
#include "iec/kernel/q4heap.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmfb.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmret.h"
#include "iec/kernel/q4vmtic.h"

namespace {

u16 Flags(const u8* st) { return GetLe16(st + kQ4StFlags); }
void SetFlags(u8* st, u16 f) { PutLe16(st + kQ4StFlags, f); }

// Stop handling common to the cycle and a task: 1 when nothing may run.
int Stopped(u8* st) {
    u16 f = Flags(st);
    if (f & kVmFlagStopped) return 1;
    if (f & kVmFlagStopRequest) {
        SetFlags(st, static_cast<u16>((f & ~kVmFlagRunning) | kVmFlagStopped));
        return 1;
    }
    return 0;
}

bool Guarded(u8* st) {
    u16 f = Flags(st);
    if (f & (kVmFlagStopped | kVmFlagStopRequest)) return true;
    return (GetLe32(st + kQ4StOptions) & 0x8) && (f & 0x0008);
}

}  // namespace

int Q4VM_Cycle(u8* db, u32 now) {
    u8* st = Q4VM_Status(db);
    u8* priv = Q4VM_Private(db);
    if (!st || !priv || Stopped(st)) return 1;
    // Blocks keep time stamps in which 0 means "not started"; so that the
    // clock's midnight reading is not taken for one, the VM time of a cycle
    // is never 0 (midnight reads as 1 ms, a shift of at most 1 ms once a day).
    if (now == 0) now = 1;
    if (GetLe32(priv + kVmPrivFirstDone)) {
        u32 ms = GetLe32(st + kVmStMillis) + Q4VM_Elapsed(now, GetLe32(st + kVmStNow));
        PutLe32(st + kVmStSeconds, GetLe32(st + kVmStSeconds) + ms / 1000);
        PutLe32(st + kVmStMillis, ms % 1000);
        PutLe32(st + kVmStNow, now);
        Q4VMTmr_UpdateTimers(db);
    } else {
        PutLe32(priv + kVmPrivFirstDone, 1);
        PutLe32(st + kVmStNow, now);
        Q4VMTmr_UpdateTimers(db);
        u16 task = 0;
        if (Q4VM_FindTask(db, "@@B", &task) == 0) Q4VM_PerformTask(db, task, now, 0);
    }
    if (Q4VM_GetNbTask(db) > 0) {
        Q4VMPrg_Task(db, 0, 1);
        Q4VMPrg_ProcessExecBuffer(db);
    } else {
        Q4VMPrg_Execute(db);
    }
    if (Q4Heap* h = Q4VM_GetHeap(db)) Q4Heap_Compact(h, 32);
    return 0;
}

int Q4VM_PerformTask(u8* db, u16 task, u32 now, int updateTimers) {
    u8* st = Q4VM_Status(db);
    if (!st || task >= Q4VM_GetNbTask(db) || Stopped(st)) return 1;
    if (now) PutLe32(st + kVmStNow, now);
    if (updateTimers) Q4VMTmr_UpdateTimers(db);
    Q4VMPrg_Task(db, task, 0);
    return 0;
}

void Q4VM_RegisterCycleTime(u8* db, u32 t) {
    u8* st = Q4VM_Status(db);
    if (!st) return;
    if (t > GetLe32(st + kVmStMaxCycle)) PutLe32(st + kVmStMaxCycle, t);
    PutLe32(st + kVmStLastCycle, t);
    u32 p = GetLe32(st + kQ4StCycleTime);
    if (p && t > p) {
        PutLe32(st + kVmStOverflows, GetLe32(st + kVmStOverflows) + 1);
        Q4VMLog_Push(db, kLogCycleOverflow, 0, t);
    }
}

void Q4VM_ShutDown(u8* db, const char* retainPath) {
    u8* st = Q4VM_Status(db);
    if (!st) return;
    u16 task = 0;
    if (Q4VM_FindTask(db, "@@E", &task) == 0) {
        Q4VM_PerformTask(db, task, GetLe32(st + kVmStNow), 0);
        Q4VM_FullIOExchange(db);
    }
    Q4VMTic_Exit();
    Q4VMWarm_ShutDown(db, retainPath);
    Q4VMFbl_ShutDown(db);
    Q4VMRsc_FreeAll(db);
    Q4VMCan_Close(db);
    Q4MBSrv_ResetDevIdent();
    Q4MbFb_Reset();
    Q4VM_DeleteHeap(db);
}

void Q4VM_FullIOExchangeEx(u8* db, u32 now) {
    u8* st = Q4VM_Status(db);
    if (!st) return;
    if (!(Flags(st) & kVmFlagStopped)) Q4VMCan_Exchange(db, now);
    if (Guarded(st)) return;
    Q4VM_FullIOExchange(db);
}

void Q4VM_FullIOExchange(u8* db) {
    u8* st = Q4VM_Status(db);
    if (!st || Guarded(st)) return;
    Q4VMFbl_KeepAlive(db);
    Q4VMWarm_CycleExchange(db, 0);
}

void Q4VM_UpdateExtData(u8* db, u32 now) { Q4EAX_Activate(db, now); }
void Q4VM_ActivateModbus(u8* db, u32 now) {
    u8* st = Q4VM_Status(db);
    if (st && !(Flags(st) & kVmFlagStopped)) Q4MB_Activate(db, now);
}
void Q4VM_ExchangeModbusData(u8* db) {
    u8* st = Q4VM_Status(db);
    if (st && !Guarded(st) && !(Flags(st) & kVmFlagStopRequest)) Q4MB_Exchange(db);
}
u32 Q4VM_ServeModbus(u8* db, int code, const u8* frame, u32 n, u8* answer) {
    u8* st = Q4VM_Status(db);
    // A stopped application answers nothing: an answer buffer left unfilled
    // must never go out.
    if (!st || (Flags(st) & kVmFlagStopped)) return 0;
    if (code == kQ4CSRqModbusTcp) return Q4MB_Serve(db, frame, n, answer, 1);
    // The serial link checked the CRC of an RTU frame and adds the answer's.
    return n >= 2 ? Q4MB_Serve(db, frame, n - 2, answer, 0) : 0;
}
int Q4VM_OpenModbus(u8* db) { return Q4MB_Open(db); }
void Q4VM_CloseModbus(u8* db) { Q4MB_Close(db); }
int Q4VM_OpenExtData(u8* db) { return Q4EAX_Open(db); }
void Q4VM_CloseExtData(u8* db) { Q4EAX_Close(db); }
int Q4VM_OpenDynaLinks() { return Q4Bdll_OpenDynaLinks() ? 1 : 0; }
void Q4VM_CloseDynaLinks() { Q4Bdll_CloseDynaLinks(); }
int Q4VM_LoadRetains(u8* db, const char* path) { return Q4VMWarm_Load(db, path); }
int Q4VM_PrepareRetains(u8* db) { return Q4VMWarm_CanStore(db); }
