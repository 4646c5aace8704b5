#include "iec/kernel/q4vmhot.h"

#include <algorithm>
#include <cstring>

#include "iec/ext/q4vmcan.h"
#include "iec/ext/q4ea.h"
#include "iec/ext/q4mb.h"
#include "iec/ext/q4mbmap.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmfb.h"
#include "iec/kernel/q4vmmap.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmret.h"
#include "iec/kernel/q4vmstr.h"
#include "iec/kernel/q4vmtic.h"

namespace {

constexpr u32 kClassArea[6] = {kDbData8, kDbData16, kDbData32, kDbData64, kDbTime, kDbStringPointers};
constexpr u32 kClassWidth[5] = {1, 2, 4, 8, 4};
constexpr u32 kNumericClasses = 5;

u16 Hi(u16 count) { return count ? static_cast<u16>(count - 1) : 0; }

// --- Strings ------------------------------------------------------------------------

// Where the strings of db stand: the leading run of placed strings (1..placed,
// each a whole VM string inside the buffer) and the first free byte of the
// buffer after them. A pointer set past that run is a database no build of
// ours leaves behind.
struct StringRun {
    u16 placed = 0;
    u32 end = 0;  // offset from the start of the buffer
    bool gaps = false;
};

StringRun RunOf(u8* db) {
    StringRun r;
    const VmDbDesc d = Q4VM_GetDesc(db, kDbStringPointers);
    u8* buf = Q4VM_AreaPtr(db, kDbStringBuffer, nullptr);
    u8* table = Q4VM_AreaPtr(db, kDbStringPointers, nullptr);
    if (!buf || !table) return r;
    u16 i = 1;
    for (; i < d.allocated; ++i) {
        u8* s = Q4Tools_String(db, i);
        if (!s) break;
        r.placed = i;
        r.end = std::max<u32>(r.end, static_cast<u32>(s - buf) + s[0] + kQ4StrOverhead);
    }
    for (; i < d.allocated; ++i)
        if (GetLe32(table + 4u * i) != 0) r.gaps = true;
    return r;
}

// The highest string number with a place once code runs on db: the placed
// ones and the new ones the code declares, as far as its capacity list and
// the allocation go.
u16 StringsAfter(const Q4Code& c, u8* db, const StringRun& run) {
    const VmDbDesc d = Q4VM_GetDesc(db, kDbStringPointers);
    u32 top = std::min<u32>({Q4VMCode_GetClassSizing(c, kQ4InitClsString).declared, Q4VMCode_GetStringCapCount(c),
                             Hi(d.allocated)});
    return static_cast<u16>(std::max<u32>(top, run.placed));
}

int Strings(const Q4Code& c, u8* db, int apply) {
    const Q4ClassSizing s = Q4VMCode_GetClassSizing(c, kQ4InitClsString);
    VmDbDesc d = Q4VM_GetDesc(db, kDbStringPointers);
    if (s.allocated + 1u != d.allocated || s.used > s.allocated || s.declared > s.allocated)
        return kVmErrAllocData8 + 5;
    if (s.declared + 1u < d.boundary) return kVmErrBoundData8 + 5;
    u32 bufBytes = 0;
    u8* buf = Q4VM_AreaPtr(db, kDbStringBuffer, &bufBytes);
    u32 minimum = 0;
    if (u32 sz = Q4Code_Header(c, kQ4HdrSizing)) minimum = Q4Code_U32(c, sz + kQ4SizeStringMin);
    if (!buf || bufBytes < minimum) return kVmErrStringBuffer;
    const StringRun run = RunOf(db);
    if (run.gaps) return kVmErrStringCap;
    // Every string that keeps its place keeps its capacity.
    for (u16 i = 1; i <= run.placed; ++i) {
        if (i > Q4VMCode_GetStringCapCount(c) || Q4Tools_String(db, i)[0] != Q4VMCode_GetStringCap(c, i))
            return kVmErrStringCap;
    }
    // New strings go after the existing ones and must fit the buffer.
    const u16 top = StringsAfter(c, db, run);
    u32 end = run.end;
    for (u16 i = static_cast<u16>(run.placed + 1); i <= top; ++i) {
        const u32 need = Q4VMCode_GetStringCap(c, i) + kQ4StrOverhead;
        if (end > bufBytes || need > bufBytes - end) return kVmErrStringBuffer;
        end += need;
    }
    if (!apply) return kVmOk;
    u8* table = Q4VM_AreaPtr(db, kDbStringPointers, nullptr);
    for (u16 i = d.boundary ? d.boundary : 1; i <= run.placed && i <= s.declared; ++i) {
        u8* str = Q4Tools_String(db, i);
        Q4Str_Init(str, str[0]);
    }
    end = run.end;
    for (u16 i = static_cast<u16>(run.placed + 1); i <= top; ++i) {
        const u8 cap = Q4VMCode_GetStringCap(c, i);
        Q4Str_Init(buf + end, cap);
        PutLe32(table + 4u * i, static_cast<u32>(buf + end - db));
        end += cap + kQ4StrOverhead;
    }
    d.boundary = static_cast<u16>(s.declared + 1);
    d.used = static_cast<u16>(s.used + 1);
    Q4VM_PutDesc(db, kDbStringPointers, d);
    return kVmOk;
}

// --- Numeric classes ------------------------------------------------------------------

int Numeric(const Q4Code& c, u8* db, u32 k, int apply) {
    const Q4ClassSizing s = Q4VMCode_GetClassSizing(c, static_cast<Q4InitClass>(k));
    VmDbDesc d = Q4VM_GetDesc(db, kClassArea[k]);
    // The used and declared indexes must lie in the allocation too: the
    // variables from the boundary up to C are cleared.
    if (s.allocated + 1u != d.allocated || s.used > s.allocated || s.declared > s.allocated ||
        d.elementSize != kClassWidth[k])
        return kVmErrAllocData8 + static_cast<int>(k);
    if (s.declared + 1u < d.boundary) return kVmErrBoundData8 + static_cast<int>(k);
    if (!apply) return kVmOk;
    u32 bytes = 0;
    u8* area = Q4VM_AreaPtr(db, kClassArea[k], &bytes);
    const u32 from = d.boundary * kClassWidth[k], to = (s.declared + 1u) * kClassWidth[k];
    if (area && to <= bytes && from < to) std::memset(area + from, 0, to - from);
    d.boundary = static_cast<u16>(s.declared + 1);
    d.used = static_cast<u16>(s.used + 1);
    Q4VM_PutDesc(db, kClassArea[k], d);
    return kVmOk;
}

// --- Blocks and programs (checked only: the rebuild lays them out again) --------------

// The class record of db that the code's class number resolves to, or -1.
int ClassRecordOf(const Q4Code& c, u8* db, u16 classNumber) {
    for (u16 k = 0; k < Q4VMCode_GetClassCount(c); ++k) {
        Q4ClassEntry e{};
        if (!Q4VMCode_GetClass(c, k, &e) || e.classNumber != classNumber) continue;
        u32 bytes = 0;
        u8* area = Q4VM_AreaPtr(db, kDbFbClasses, &bytes);
        const u16 used = Q4VM_GetDesc(db, kDbFbClasses).used;
        for (u16 r = 0; area && r < used && (r + 1u) * kFbcBytes <= bytes; ++r)
            if (std::strncmp(reinterpret_cast<const char*>(area + r * kFbcBytes), e.name, 16) == 0) return r;
        return -1;
    }
    return -1;
}

// Instances the rebuild will lay out: the list up to its end, as far as the
// allocation goes.
u16 InstancesAfter(const Q4Code& c, u8* db) {
    return std::min<u16>(Q4VMCode_GetInstanceCount(c), Hi(Q4VM_GetDesc(db, kDbFbInstances).allocated));
}

int Blocks(const Q4Code& c, u8* db) {
    const VmDbDesc inst = Q4VM_GetDesc(db, kDbFbInstances);
    const u32 ib = Q4Code_Header(c, kQ4HdrInstances);
    if (Q4VMCode_GetNbFBInstance(c) != inst.allocated) return kVmErrInstCount;
    if ((ib ? Q4Code_U16(c, ib + 2) : 0) + 1u < inst.boundary) return kVmErrInstBound;
    u32 dataBytes = 0;
    Q4VM_AreaPtr(db, kDbInstanceData, &dataBytes);
    if (dataBytes < Q4VMCode_GetWishedFBIRawSize(c) || dataBytes < Q4VMFbl_GetInstanceDataSize(c))
        return kVmErrInstanceData;
    // An instance that keeps its data keeps its class, and so its data's place.
    const u16 kept = Hi(inst.used);
    if (kept > InstancesAfter(c, db)) return kVmErrInstanceClass;
    for (u16 n = 1; n <= kept; ++n) {
        const u8* rec = Q4VMFbl_Instance(db, n);
        Q4InstanceEntry e{};
        if (!rec || !Q4VMCode_GetInstance(c, static_cast<u16>(n - 1), &e)) return kVmErrInstanceClass;
        if (GetLe32(rec + kFbiHandler) == kFbHandleNull) continue;
        if (ClassRecordOf(c, db, e.classNumber) != GetLe16(rec + kFbiClass)) return kVmErrInstanceClass;
    }
    if (Q4VMCode_GetNbCustomFunc(c) != Q4VM_GetDesc(db, kDbCustomFunctions).allocated) return kVmErrCustomFuncs;
    const u16 table = Q4VMCode_GetProgTableCount(c);
    for (u16 p = 1; p <= Q4VMPrg_Count(db); ++p) {
        const u8* rec = Q4VMPrg_Record(db, p);
        Q4ProgEntry e{};
        const u16 was = rec ? GetLe16(rec + kQ4PrKind) : 0;
        const u16 now = Q4VMCode_GetProg(c, static_cast<u16>(p - 1), &e) ? e.kind : 0;
        if ((was == 1 || was == 2 || now == 1 || now == 2) && (was != now || p > table)) return kVmErrProgramKind;
    }
    if (table + 1u > Q4VM_GetDesc(db, kDbPrograms).allocated) return kVmErrProgramCount;
    return kVmOk;
}

// --- External variables -----------------------------------------------------------------

int Externals(const Q4Code& c, u8* db, u16 strings, int apply) {
    VmDbDesc d = Q4VM_GetDesc(db, kDbExternalVars);
    if (Q4VMCode_GetNbXV(c) != d.allocated) return kVmErrXvAlloc;
    const u32 sz = Q4Code_Header(c, kQ4HdrSizing);
    const u16 used = sz ? Q4Code_U16(c, sz + kQ4SizeXvUsed) : 0;
    if (used + 1u < d.boundary) return kVmErrXvBound;
    if (used >= d.allocated) return kVmErrExternals;
    // Every slot must name a variable that exists once the code runs.
    for (u16 k = 1; k <= Q4VMCode_GetXvListCount(c); ++k) {
        Q4XvEntry e{};
        if (k >= d.allocated || !Q4VMCode_GetXv(c, static_cast<u16>(k - 1), &e)) return kVmErrExternals;
        bool ok = false;
        switch (e.type) {
            case kQ4TypeBool: case kQ4TypeSint: ok = e.index < Q4VM_GetDesc(db, kDbData8).allocated; break;
            case kQ4TypeInt: ok = e.index < Q4VM_GetDesc(db, kDbData16).allocated; break;
            case kQ4TypeDint: case kQ4TypeReal: ok = e.index < Q4VM_GetDesc(db, kDbData32).allocated; break;
            case kQ4TypeTime: ok = e.index < Q4VM_GetDesc(db, kDbTime).allocated; break;
            case kQ4TypeLint: case kQ4TypeLreal: ok = e.index < Q4VM_GetDesc(db, kDbData64).allocated; break;
            case kQ4TypeString: ok = e.index >= 1 && e.index <= strings; break;
            default: ok = false;
        }
        if (!ok) return kVmErrExternals;
    }
    if (apply) {
        d.used = d.boundary = static_cast<u16>(used + 1);
        Q4VM_PutDesc(db, kDbExternalVars, d);
    }
    return kVmOk;
}

// --- Check helpers ---------------------------------------------------------------------

bool BreakOrStep(u8* db, int* code) {
    if (!Q4VMPrg_HasBreapointOrStep(db)) return false;
    const u8* st = Q4VM_Status(db);
    *code = (GetLe16(st + kQ4StFlags) & 0x2008) ? kVmErrBreakpoint : kVmErrStepping;
    return true;
}

// The runtime Modbus configuration of the code fits the database's area.
bool ModbusFits(const Q4Code& c, u8* db) {
    const u32 off = Q4VMCode_MBClientConfig(c);
    if (!off) return true;
    if (!c.data || off >= c.size) return false;
    u32 bytes = 0;
    Q4VM_AreaPtr(db, kDbModbus, &bytes);
    const u32 need = Q4MB_GetMemorySizing(c.data + off, c.size - off);
    return need != 0 && need <= bytes;
}

Q4TicLimits LimitsAfter(const Q4Code& c, u8* db) {
    Q4TicLimits lim;
    lim.strings = StringsAfter(c, db, RunOf(db));
    lim.externals = std::min<u16>(Q4VMCode_GetXvListCount(c), Hi(Q4VM_GetDesc(db, kDbExternalVars).allocated));
    lim.programs = std::min<u16>(Q4VMCode_GetProgTableCount(c), Hi(Q4VM_GetDesc(db, kDbPrograms).allocated));
    lim.instances = InstancesAfter(c, db);
    lim.functions = std::min<u16>(Q4VMCode_GetCustomFuncCount(c), Hi(Q4VM_GetDesc(db, kDbCustomFunctions).allocated));
    return lim;
}

int Refuse(int rc) {
    Q4VMLog_PushSys(static_cast<u16>(rc == kVmErrOtherApp ? 1 : rc));
    return rc;
}

// The checks the rebuild repeats before it changes anything.
int CoreChecks(const Q4Code& c, u8* db, int* reason) {
    u8* priv = Q4VM_Private(db);
    const u32 stamp = Q4VMCode_GetFullBuildStamp(c);
    if (stamp == 0 || GetLe32(priv + kVmPrivBuildStamp) != stamp) return kVmErrBuildStamp;
    int rc = 0;
    if (BreakOrStep(db, &rc)) return rc;
    if (GetLe32(priv + kVmPrivSfcCrc) != Q4VMCode_GetSfcCrc(c)) return kVmErrSfcCrc;
    if (!Q4VMHot_PrcVarMap(c, db, 0, reason)) return *reason;
    if (Q4VMRsc_Exist(db)) return kVmErrResources;
    if (Q4VM_GetDesc(db, kDbActiveTimers).allocated < Q4VMCode_GetNbActiveTime(c)) return kVmErrTimers;
    return kVmOk;
}

bool Identity(const Q4Code& c, u8* db, int* rc) {
    u8* st = Q4VM_Status(db);
    u8* priv = Q4VM_Private(db);
    if (!st || !priv || GetLe32(priv + kVmPrivSignature) != kVmDbSignature) *rc = kVmErrDbSignature;
    else if (GetLe32(st + kQ4StLayoutStamp) != Q4VMCode_GetLayoutStamp(c)) *rc = kVmErrLayoutStamp;
    else return true;
    return false;
}

}  // namespace

int Q4VMHot_PrcVarMap(const Q4Code& c, u8* db, int apply, int* reason) {
    int rc = kVmOk;
    const u16 strings = StringsAfter(c, db, RunOf(db));
    // Everything is checked before anything is applied.
    for (u32 k = 0; k < kNumericClasses && rc == kVmOk; ++k) rc = Numeric(c, db, k, 0);
    if (rc == kVmOk) rc = Strings(c, db, 0);
    if (rc == kVmOk && !apply) rc = Blocks(c, db);
    if (rc == kVmOk) rc = Externals(c, db, strings, 0);
    if (rc == kVmOk && apply) {
        for (u32 k = 0; k < kNumericClasses; ++k) Numeric(c, db, k, 1);
        Strings(c, db, 1);
        Externals(c, db, strings, 1);
    }
    if (reason) *reason = rc;
    return rc == kVmOk ? 1 : 0;
}

int Q4VM_CanHOTStart(const Q4Code& c, u8* db) {
    if (!db || Q4VMCode_CheckCode(c) != 0) return Refuse(kVmErrCodeInvalid);
    int rc = kVmOk;
    if (!Identity(c, db, &rc)) return Refuse(rc);
    if (!Q4VMCode_CanUpdateStatus(c, db)) return Refuse(kVmErrOtherApp);
    int reason = kVmOk;
    if ((rc = CoreChecks(c, db, &reason)) != kVmOk) return Refuse(rc);
    u32 ct = 0;
    Q4VM_AreaPtr(db, kDbCtSegment, &ct);
    if (ct < Q4VMCode_GetCTSegUsedSize(c)) return Refuse(kVmErrCtSegment);
    if (Q4VMWarm_CanUpdatePointers(c, db)) return Refuse(kVmErrRetain);
    if (Q4VMMap_CanHotRestart(db, c)) return Refuse(kVmErrMap);
    if (Q4VMCode_CanHOTBuildTaskList(c)) return Refuse(kVmErrTaskList);
    const u8* st = Q4VM_Status(db);
    if (Q4VM_GetDesc(db, kDbCallStack).allocated < Q4VMCode_GetCallStackAllocSize(c) ||
        GetLe16(st + kQ4StCallStackSize) < Q4VMCode_GetCallStackSize(c))
        return Refuse(kVmErrCallStack);
    if (!ModbusFits(c, db)) return Refuse(kVmErrModbus);
    if (Q4EAX_CanBuildHOT(c, db)) return Refuse(kVmErrBinding);
    if (Q4VMCan_CanBuildHot(db, c)) return Refuse(kVmErrCan);
    // The new programs as they will run on the rebuilt database.
    if (Q4VMTic_VerifyCode(db, c, LimitsAfter(c, db)) != 0) return Refuse(kVmErrCodeInvalid);
    return kVmOk;
}

int Q4VM_BuildHOT(const Q4Code& c, u8* db, u32 now) {
    if (!db || Q4VMCode_CheckCode(c) != 0 || !Q4VM_Status(db) || !Q4VM_Private(db)) return kVmErrGeneric;
    u8* st = Q4VM_Status(db);
    u8* priv = Q4VM_Private(db);
    // 1. Nothing of an interrupted program run survives.
    PutLe16(st + kVmStCurProgram, 0);
    PutLe16(st + kVmStPosition, 0);
    PutLe16(st + kVmStExtra, 0);
    std::memset(st + kVmStBreakpoints, 0, 16 * 8);
    PutLe32(st + kVmStNow, now);
    PutLe16(st + kQ4StFlags, static_cast<u16>(GetLe16(st + kQ4StFlags) & ~kVmFlagBreakpoints));
    int rc = kVmOk;
    if (!Identity(c, db, &rc)) return rc;
    // 2. The previous boundaries give the new variables; the checks again.
    u16 before[6];
    for (u32 k = 0; k < 6; ++k) before[k] = Q4VM_GetDesc(db, kClassArea[k]).boundary;
    const u16 keptInstances = Hi(Q4VM_GetDesc(db, kDbFbInstances).used);
    const u32 ctBefore = GetLe32(priv + kVmPrivCtUsed);
    if (Q4VMCode_UpdateStatus(c, db)) return kVmErrGeneric;
    PutLe16(st + kQ4StCallStackSize, Q4VMCode_GetCallStackSize(c));
    int reason = kVmOk;
    if ((rc = CoreChecks(c, db, &reason)) != kVmOk) return rc;
    // 3. Private record and programs.
    Q4VM_SetCode(db, c);
    Q4VMTic_Forget(db);
    PutLe32(priv + kVmPrivCode, 0);
    PutLe32(priv + kVmPrivDispatcher, 1);
    PutLe32(priv + kVmPrivTypeList, Q4VMCode_GetVarTypeList(c));
    PutLe32(priv + kVmPrivPassword, Q4VMCode_GetPassword(c));
    PutLe32(priv + kVmPrivDefStrTable, static_cast<u32>(Q4VMCode_GetDefStringTable(c)));
    PutLe32(priv + kVmPrivStrTable, Q4VMCode_GetStringTable(c, 1));
    // Programs started or stopped on demand (kinds 1 and 2) keep their state.
    u16 kept[64] = {};
    const u16 keptPrograms = std::min<u16>(Q4VMPrg_Count(db), 64);
    for (u16 p = 1; p <= keptPrograms; ++p)
        if (const u8* r = Q4VMPrg_Record(db, p)) kept[p - 1] = GetLe16(r + kQ4PrFlags);
    if (Q4VMCode_SetProgramPointers(c, db)) return kVmErrProgramCount;
    Q4VMPrg_ActivateNewPrograms(db);
    for (u16 p = 1; p <= keptPrograms; ++p) {
        u8* r = Q4VMPrg_Record(db, p);
        const u16 kind = r ? GetLe16(r + kQ4PrKind) : 0;
        if (kind == 1 || kind == 2) PutLe16(r + kQ4PrFlags, static_cast<u16>(kept[p - 1] & ~kPrgExecuting));
    }
    // 4. Heap: moved with the database, unless a change keeps it in place.
    if (!(GetLe32(st + kQ4StOptions) & kVmOptChangeCycle) && Q4VM_AllocHeap(c, db, 1)) return kVmErrHeap;
    // 5. Call stack, variable map, blocks, custom functions.
    VmDbDesc cs = Q4VM_GetDesc(db, kDbCallStack);
    cs.boundary = cs.used = 0;
    Q4VM_PutDesc(db, kDbCallStack, cs);
    if (Q4VMMap_HotRestart(db, c)) return kVmErrMap;
    Q4VMFbl_Link(c, db);
    Q4VMFbl_InitInstances(c, db, 0);
    Q4VMFbl_InitNewInstances(db, keptInstances);
    Q4VMFbl_InitCustomFunctions(c, db);
    // 6. Timers, then the variable tables take the new code's sizes.
    Q4VMTmr_HotRestartTimers(db);
    Q4VMTic_Init();
    if (!Q4VMHot_PrcVarMap(c, db, 1, &rc)) return rc;
    // 7. Initial values of the new variables only: the previous boundaries
    // mark where they begin.
    u16 after[6];
    for (u32 k = 0; k < 6; ++k) {
        VmDbDesc d = Q4VM_GetDesc(db, kClassArea[k]);
        after[k] = d.boundary;
        d.boundary = before[k];
        Q4VM_PutDesc(db, kClassArea[k], d);
    }
    Q4VMCode_ApplyData8Init(c, db, 0);
    Q4VMCode_ApplyData16Init(c, db, 0);
    Q4VMCode_ApplyData32Init(c, db, 0);
    Q4VMCode_ApplyData64Init(c, db, 0);
    Q4VMCode_ApplyTimeInit(c, db, 0);
    Q4VMCode_ApplyStringInit(c, db, 0);
    for (u32 k = 0; k < 6; ++k) {
        VmDbDesc d = Q4VM_GetDesc(db, kClassArea[k]);
        d.boundary = after[k];
        Q4VM_PutDesc(db, kClassArea[k], d);
    }
    // 8. CT segment, retained runs, external variables, tasks, Modbus,
    // change events, binding; the programs checked for this database.
    const u32 ctUsed = Q4VMCode_GetCTSegUsedSize(c);
    Q4VMCode_ApplyCTSegInit(c, db, ctBefore);
    if (ctUsed > ctBefore) PutLe32(priv + kVmPrivCtUsed, ctUsed);
    if ((rc = Q4VMWarm_UpdatePointers(c, db)) != 0) return rc;
    if ((rc = Q4VMCode_SetXVPointers(c, db)) != 0) return kVmErrExternals;
    if (Q4VMCode_BuildTaskList(c, db)) return kVmErrTaskList;
    if (const u32 off = Q4VMCode_MBClientConfig(c)) {
        u32 bytes = 0;
        u8* ctx = Q4VM_AreaPtr(db, kDbModbus, &bytes);
        if (off >= c.size || Q4MB_BuildHOT(c.data + off, c.size - off, ctx, bytes)) return kVmErrModbus;
    }
    Q4MB_Link(db);
    u32 evBytes = 0;
    if (u8* ev = Q4VM_AreaPtr(db, kDbChangeEvents, &evBytes)) std::memset(ev, 0, evBytes);
    VmDbDesc evd = Q4VM_GetDesc(db, kDbChangeEvents);
    evd.used = 0;
    Q4VM_PutDesc(db, kDbChangeEvents, evd);
    if (Q4EAX_BuildHOT(c, db)) return kVmErrBinding;
    Q4EAX_Link(db);
    if (Q4VMCan_BuildHot(db, c)) return kVmErrCan;
    if (Q4VMTic_VerifyAll(db) != 0) return kVmErrCodeInvalid;
    return kVmOk;
}
