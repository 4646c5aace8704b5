#include "iec/kernel/q4vmdb.h"

#include "iec/kernel/q4vmfb.h"
#include "iec/kernel/q4vmret.h"
#include "iec/kernel/q4vmtic.h"

#include <cstring>
#include <vector>

#include "iec/blocks/q4pid.h"
#include "iec/ext/q4ea.h"
#include "iec/ext/q4mb.h"
#include "iec/ext/q4mbmap.h"
#include "iec/ext/q4vmcan.h"
#include "iec/kernel/q4heap.h"
#include "iec/kernel/q4vmmap.h"
#include "iec/kernel/q4vmprg.h"

u8* pDB = nullptr;
u16 iVmAlive = 0;

namespace {

u8* DescAt(u8* db, u32 area) { return db + area * kVmDbDescriptorBytes; }
const u8* DescAt(const u8* db, u32 area) { return db + area * kVmDbDescriptorBytes; }

u64 RoundUp8(u64 n) { return (n + 7) & ~u64{7}; }

// Where an area starts when the links are computed from the sizes alone
// (what Q4VM_BuildDBMainLinks would store), for images not yet linked.
u32 LayoutOffset(const u8* db, u32 area) {
    u64 at = kVmDbDescriptorBlockBytes;
    for (u32 a = 0; a < area; ++a) at += RoundUp8(Q4VM_AreaBytes(Q4VM_GetDesc(db, a)));
    return static_cast<u32>(at);
}

void SizeArea(u8* d, u32 area, u16 elem, u32 count, u32 raw = 0) {
    Q4VM_PutDesc(d, area, VmDbDesc{0, raw, elem, 0, 0, static_cast<u16>(count)});
}

// Code images of the databases built in this process.
struct CodeLink {
    const u8* db;
    Q4Code code;
};
const Q4Code kNoCode{};

// Malloc heaps: the private record keeps kMallocTag | index into this table;
// the owner guards against a stale index read back from a hot-restart image.
constexpr u32 kMallocTag = 0x80000000u;
struct MallocLink {
    const u8* db;
    Q4Heap* heap;
};

struct State {
    std::vector<CodeLink> codes;
    std::vector<MallocLink> heaps;
};
State g;

}  // namespace

VmDbDesc Q4VM_GetDesc(const u8* db, u32 area) {
    const u8* d = DescAt(db, area);
    return VmDbDesc{GetLe32(d), GetLe32(d + 4), GetLe16(d + 8), GetLe16(d + 10), GetLe16(d + 12), GetLe16(d + 14)};
}

void Q4VM_PutDesc(u8* db, u32 area, const VmDbDesc& desc) {
    u8* d = DescAt(db, area);
    PutLe32(d, desc.offset);
    PutLe32(d + 4, desc.rawSize);
    PutLe16(d + 8, desc.elementSize);
    PutLe16(d + 10, desc.boundary);
    PutLe16(d + 12, desc.used);
    PutLe16(d + 14, desc.allocated);
}

u32 Q4VM_AreaBytes(const VmDbDesc& desc) {
    return desc.rawSize != 0 ? desc.rawSize : static_cast<u32>(desc.elementSize) * desc.allocated;
}

u32 Q4VM_GetTotalDBSize(const u8* descriptors) {
    u64 total = kVmDbDescriptorBlockBytes;
    for (u32 a = 0; a < kVmDbTableCount; ++a) total += RoundUp8(Q4VM_AreaBytes(Q4VM_GetDesc(descriptors, a)));
    return total > 0xFFFFFFFFu ? 0 : static_cast<u32>(total);
}

void Q4VM_BuildDBMainLinks(u8* db) {
    u32 at = kVmDbDescriptorBlockBytes;
    for (u32 a = 0; a < kVmDbTableCount; ++a) {
        VmDbDesc d = Q4VM_GetDesc(db, a);
        d.offset = at;
        Q4VM_PutDesc(db, a, d);
        at += static_cast<u32>(RoundUp8(Q4VM_AreaBytes(d)));
    }
}

u8* Q4VM_AreaPtr(u8* db, u32 area, u32* bytes) {
    if (db == nullptr || area >= kVmDbTableCount) return nullptr;
    VmDbDesc d = Q4VM_GetDesc(db, area);
    // The offsets are always recomputed from the sizes (Q4VM_BuildDBMainLinks)
    // before a database runs, so an area lies inside the block by construction.
    if (d.offset < kVmDbDescriptorBlockBytes) return nullptr;
    if (bytes) *bytes = Q4VM_AreaBytes(d);
    return db + d.offset;
}

u8* Q4VM_Status(u8* db) {
    u32 bytes = 0;
    u8* p = Q4VM_AreaPtr(db, kDbStatus, &bytes);
    return p && bytes >= kQ4StBytes ? p : nullptr;
}

u8* Q4VM_Private(u8* db) {
    u32 bytes = 0;
    u8* p = Q4VM_AreaPtr(db, kDbPrivate, &bytes);
    return p && bytes >= kVmPrivBytes ? p : nullptr;
}

// --- Sizing ---------------------------------------------------------------------

namespace {

// The runtime Modbus configuration of the code image and the bytes behind it.
const u8* ModbusConfig(const Q4Code& c, u32* bytes) {
    const u32 off = Q4VMCode_MBClientConfig(c);
    if (!off || !c.data || off >= c.size) return nullptr;
    *bytes = c.size - off;
    return c.data + off;
}

}  // namespace

int Q4VM_GetDBSize(const Q4Code& c, u8* d) {
    if (!d || Q4VMCode_CheckCode(c) != 0) return kVmErrGeneric;
    std::memset(d, 0, kVmDbDescriptorBlockBytes);
    if (Q4VMMap_GetSizing(d, c) != 0) return kVmErrGeneric;
    u32 strBuf = 0;
    u16 nbString = Q4VMCode_GetNbString(c, &strBuf);
    i32 heap = Q4VMCode_GetHeapSize(c);
    SizeArea(d, kDbStatus, kQ4StBytes, 1);
    SizeArea(d, kDbLog, 0, 0, 128);
    SizeArea(d, kDbExecBuffer, 1, 1024);
    SizeArea(d, kDbPrivate, 0, 0, kVmPrivBytes + (heap > 0 ? static_cast<u32>(heap) : 0));
    SizeArea(d, kDbPrograms, kQ4PrBytes, Q4VMCode_GetNbProgAlloc(c));
    SizeArea(d, kDbLockFlags, 1, Q4VMCode_GetNbLockFlags(c));
    SizeArea(d, kDbData8, 1, Q4VMCode_GetNbData8(c));
    SizeArea(d, kDbData16, 2, Q4VMCode_GetNbData16(c));
    SizeArea(d, kDbData32, 4, Q4VMCode_GetNbData32(c));
    SizeArea(d, kDbData64, 8, Q4VMCode_GetNbData64(c));
    SizeArea(d, kDbTime, 4, Q4VMCode_GetNbTime(c));
    SizeArea(d, kDbActiveTimers, 8, Q4VMCode_GetNbActiveTime(c));
    SizeArea(d, kDbFbClasses, kFbcBytes, Q4VMFbl_GetNbClass());
    SizeArea(d, kDbFbInstances, kFbiBytes, Q4VMCode_GetNbFBInstance(c));
    SizeArea(d, kDbClassData, 0, 0, Q4VMFbl_GetClassDataSize());
    SizeArea(d, kDbInstanceData, 0, 0, Q4VMFbl_GetInstanceDataSize(c));
    SizeArea(d, kDbCustomFunctions, 24, Q4VMCode_GetNbCustomFunc(c));
    SizeArea(d, kDbStringPointers, 4, nbString);
    SizeArea(d, kDbStringBuffer, 0, 0, strBuf);
    SizeArea(d, kDbResources, 12, 128);
    SizeArea(d, kDbSfcSteps, 12, Q4VMCode_GetNbStep(c));
    SizeArea(d, kDbSfcTransitions, 4, Q4VMCode_GetNbTrans(c));
    SizeArea(d, kDbUnresolved, 16, 16);
    SizeArea(d, kDbExternalVars, 4, Q4VMCode_GetNbXV(c));
    SizeArea(d, kDbSampling, 960, 1);
    SizeArea(d, kDbTasks, 8, 8);
    SizeArea(d, kDbCallStack, 4, Q4VMCode_GetCallStackAllocSize(c));
    SizeArea(d, kDbChangeEvents, kQ4EaItemBytes, 1024);
    SizeArea(d, kDbBindConnections, kQ4EaxCnxBytes, Q4EAX_GetNbCnx(c));
    SizeArea(d, kDbBindVariables, kQ4EaxVarBytes, Q4EAX_GetNbVar(c));
    SizeArea(d, kDbCtSegment, 0, 0, Q4VMCode_GetCTSegAllocSize(c));
    // The runtime Modbus context; a configuration it refuses refuses the
    // application.
    u32 mbBytes = 0;
    if (const u8* mb = ModbusConfig(c, &mbBytes)) {
        u32 need = Q4MB_GetMemorySizing(mb, mbBytes);
        if (need == 0) return kVmErrGeneric;
        SizeArea(d, kDbModbus, 0, 0, need);
    }
    if (Q4VMCan_GetDBSize(d, c) != 0) return kVmErrCan;
    // Areas of the I/O system, AS-i, binding and bus drivers are sized
    // by those services from their configurations; without them they stay
    // empty (a valid pointer to the next area).
    VmDbDesc res = Q4VM_GetDesc(d, kDbResources);
    res.boundary = res.used = res.allocated;
    Q4VM_PutDesc(d, kDbResources, res);
    return Q4VM_GetTotalDBSize(d) == 0 ? kVmErrGeneric : kVmOk;
}

// --- Code links -------------------------------------------------------------------

const Q4Code& Q4VM_CodeOf(const u8* db) {
    for (const CodeLink& l : g.codes)
        if (l.db == db) return l.code;
    return kNoCode;
}

void Q4VM_SetCode(const u8* db, const Q4Code& code) {
    for (CodeLink& l : g.codes)
        if (l.db == db) {
            l.code = code;
            return;
        }
    g.codes.push_back({db, code});
}

void Q4VM_Forget(u8* db) {
    if (!db) return;
    // Only what lives outside the database goes; its bytes stay as they are
    // (the hot-restart image may still be written from them).
    for (MallocLink& l : g.heaps)
        if (l.db == db && l.heap) {
            Q4Heap_DeleteHeap(l.heap);
            l = {};
        }
    Q4VMCan_Close(db);
    Q4VMRsc_Forget(db);
    Q4VMMap_Forget(db);
    Q4VMTic_Forget(db);
    Q4VMWarm_Forget(db);
    for (size_t i = 0; i < g.codes.size(); ++i)
        if (g.codes[i].db == db) {
            g.codes.erase(g.codes.begin() + static_cast<long>(i));
            break;
        }
}

void Q4VM_Reset() {
    for (MallocLink& l : g.heaps)
        if (l.heap) Q4Heap_DeleteHeap(l.heap);
    for (const CodeLink& l : g.codes) Q4VMMap_Forget(l.db);
    g = State{};
    Q4VMRsc_Reset();
    pDB = nullptr;
    iVmAlive = 0;
}

// --- Heap -------------------------------------------------------------------------

int Q4VM_AllocHeap(const Q4Code& c, u8* db, int rebuild) {
    u8* priv = Q4VM_Private(db);
    if (!priv) return kVmErrHeap;
    i32 size = Q4VMCode_GetHeapSize(c);
    if (size == 0) {
        PutLe32(priv + kVmPrivHeap, 0);
        return kVmOk;
    }
    if (size < 0) {
        if (rebuild) return kVmErrHeap;
        Q4VM_DeleteHeap(db);
        Q4Heap* h = Q4Heap_CreateHeapMalloc(64);
        if (!h) return kVmErrHeap;
        size_t i = 0;
        while (i < g.heaps.size() && g.heaps[i].heap) ++i;
        if (i == g.heaps.size()) g.heaps.push_back({});
        g.heaps[i] = {db, h};
        PutLe32(priv + kVmPrivHeap, kMallocTag | static_cast<u32>(i));
        return kVmOk;
    }
    u32 bytes = 0;
    Q4VM_AreaPtr(db, kDbPrivate, &bytes);
    if (bytes - kVmPrivBytes < static_cast<u32>(size)) return kVmErrHeap;
    u8* buffer = priv + kVmPrivBytes;
    Q4Heap* h = rebuild ? Q4Heap_RelocateHeapBuffer(buffer, static_cast<u32>(size), 0)
                        : Q4Heap_CreateHeapBuffer(buffer, static_cast<u32>(size), 0);
    if (!h) return kVmErrHeap;
    PutLe32(priv + kVmPrivHeap, kVmPrivBytes);
    return kVmOk;
}

Q4Heap* Q4VM_GetHeap(u8* db) {
    u8* priv = Q4VM_Private(db);
    if (!priv) return nullptr;
    u32 h = GetLe32(priv + kVmPrivHeap);
    if (h == 0) return nullptr;
    if (h & kMallocTag) {
        u32 i = h & ~kMallocTag;
        return i < g.heaps.size() && g.heaps[i].db == db ? g.heaps[i].heap : nullptr;
    }
    u32 bytes = 0;
    Q4VM_AreaPtr(db, kDbPrivate, &bytes);
    if (h != kVmPrivBytes || bytes < kVmPrivBytes + kQ4HeapMinBuffer) return nullptr;
    u8* buffer = priv + kVmPrivBytes;
    u32 size = (bytes - kVmPrivBytes) & ~3u;
    if (std::memcmp(buffer, "Q4SH", 4) != 0 || GetLe32(buffer + 4) != size) return nullptr;
    return reinterpret_cast<Q4Heap*>(buffer + size - kQ4HeapDescBytes);
}

void Q4VM_DeleteHeap(u8* db) {
    for (MallocLink& l : g.heaps)
        if (l.db == db && l.heap) {
            Q4Heap_DeleteHeap(l.heap);
            l = {};
        }
    u8* priv = Q4VM_Private(db);
    if (!priv) return;
    u32 h = GetLe32(priv + kVmPrivHeap);
    if (h != 0 && !(h & kMallocTag)) Q4Heap_FreeAll(Q4VM_GetHeap(db));
    PutLe32(priv + kVmPrivHeap, 0);
}

// --- Build -------------------------------------------------------------------------

int Q4VM_BuildEx(const Q4Code& c, u8* db, int /*openIo*/, int /*buildBusDrivers*/) {
    if (!db || Q4VMCode_CheckCode(c) != 0) return kVmErrGeneric;
    if (!Q4VM_Status(db) || !Q4VM_Private(db)) return kVmErrGeneric;
    // Objects left behind by a database that lived at this address before.
    Q4VMRsc_Forget(db);
    Q4VM_SetCode(db, c);
    VmDbDesc res = Q4VM_GetDesc(db, kDbResources);
    res.boundary = res.used = res.allocated;
    Q4VM_PutDesc(db, kDbResources, res);

    Q4VMCode_InitiateStatus(c, db);
    u8* st = Q4VM_Status(db);
    PutLe16(st + kQ4StCallStackSize, Q4VMCode_GetCallStackSize(c));
    st[kQ4StSeparators] = ';';
    st[kQ4StSeparators + 1] = '.';
    PutLe32(st + kVmStSeconds, 0);
    PutLe32(st + kVmStMillis, 0);

    u8* priv = Q4VM_Private(db);
    PutLe32(priv + kVmPrivSignature, kVmDbSignature);
    PutLe32(priv + kVmPrivCode, 0);
    PutLe32(priv + kVmPrivBuildStamp, Q4VMCode_GetFullBuildStamp(c));
    PutLe32(priv + kVmPrivSfcCrc, Q4VMCode_GetSfcCrc(c));
    PutLe32(priv + kVmPrivTypeList, Q4VMCode_GetVarTypeList(c));
    PutLe32(priv + kVmPrivPassword, Q4VMCode_GetPassword(c));
    PutLe32(priv + kVmPrivCtUsed, Q4VMCode_GetCTSegUsedSize(c));
    PutLe32(priv + kVmPrivDispatcher, 1);
    PutLe32(priv + kVmPrivDefStrTable, static_cast<u32>(Q4VMCode_GetDefStringTable(c)));
    PutLe32(priv + kVmPrivStrTable, Q4VMCode_GetStringTable(c, 1));

    int rc;
    if ((rc = Q4VMCode_SetProgramPointers(c, db)) != 0) return rc;
    if ((rc = Q4VM_AllocHeap(c, db, 0)) != 0) return rc;
    int (*const sizing[])(const Q4Code&, u8*) = {
        Q4VMCode_GetData8Sizing, Q4VMCode_GetData16Sizing, Q4VMCode_GetData32Sizing,
        Q4VMCode_GetData64Sizing, Q4VMCode_GetTimeSizing, Q4VMCode_GetStringSizing, Q4VMCode_SetStringPointers,
    };
    for (auto step : sizing)
        if ((rc = step(c, db)) != 0) return rc;

    Q4VMPrg_ActivateAllPrograms(db);
    Q4VMCode_ApplyData8Init(c, db, 1);
    Q4VMCode_ApplyData16Init(c, db, 1);
    Q4VMCode_ApplyData32Init(c, db, 1);
    Q4VMCode_ApplyData64Init(c, db, 1);
    Q4VMCode_ApplyTimeInit(c, db, 1);
    Q4VMCode_ApplyStringInit(c, db, 1);
    Q4VMCode_ApplyCTSegInit(c, db, 0);

    if ((rc = Q4VMMap_Build(db, c)) != 0) return rc;

    if ((rc = Q4VMCode_GetXVSizing(c, db)) != 0) return rc;
    if ((rc = Q4VMCode_SetXVPointers(c, db)) != 0) return rc;
    VmDbDesc smp = Q4VM_GetDesc(db, kDbSampling);
    smp.boundary = smp.used = smp.allocated;
    Q4VM_PutDesc(db, kDbSampling, smp);
    if ((rc = Q4VMCode_BuildTaskList(c, db)) != 0) return rc;
    VmDbDesc cs = Q4VM_GetDesc(db, kDbCallStack);
    cs.boundary = cs.used = 0;
    Q4VM_PutDesc(db, kDbCallStack, cs);
    VmDbDesc ev = Q4VM_GetDesc(db, kDbChangeEvents);
    ev.used = 0;
    Q4VM_PutDesc(db, kDbChangeEvents, ev);
    // The CAN ports; a port that cannot be opened fails the build.
    if (Q4VMCan_Build(db, c) != 0) return kVmErrCan;
    if ((rc = Q4EAX_Build(c, db)) != 0) {
        Q4VMCan_Close(db);
        return rc;
    }
    Q4EAX_Link(db);
    // Block registry, retained variables, and the check of every program
    // before anything runs.
    u32 mbBytes = 0, mbArea = 0;
    const u8* mb = ModbusConfig(c, &mbBytes);
    u8* mbCtx = Q4VM_AreaPtr(db, kDbModbus, &mbArea);
    if (mb && (!mbCtx || Q4MB_Build(mb, mbBytes, mbCtx, mbArea) != 0)) return kVmErrGeneric;
    Q4MB_Link(db);
    Q4VMFbl_Link(c, db);
    // The PID loops of the application are numbered from 0 as its instances
    // are initialised, at every load.
    Q4Pid_Reset();
    Q4VMFbl_InitInstances(c, db, 1);
    Q4VMFbl_InitCustomFunctions(c, db);
    if ((rc = Q4VMWarm_PrepareData(c, db)) != 0) return rc;
    Q4VMTic_Init();
    if ((rc = Q4VMTic_VerifyAll(db)) != 0) return rc;
    return kVmOk;
}

void Q4VM_SetPauseMode(u8* db, int pause) {
    u8* st = Q4VM_Status(db);
    if (!st) return;
    u16 f = GetLe16(st + kQ4StFlags);
    PutLe16(st + kQ4StFlags, pause ? static_cast<u16>(f & ~kVmFlagRunning) : static_cast<u16>(f | kVmFlagRunning));
}

// --- Hot-restart image checks ------------------------------------------------------

int Q4VM_CheckImage(const u8* image, u32 size) {
    if (!image || size < kVmDbDescriptorBlockBytes || Q4VM_GetTotalDBSize(image) != size) return kVmErrDbSignature;
    VmDbDesc status = Q4VM_GetDesc(image, kDbStatus), priv = Q4VM_GetDesc(image, kDbPrivate),
             log = Q4VM_GetDesc(image, kDbLog);
    if (Q4VM_AreaBytes(status) != kQ4StBytes || Q4VM_AreaBytes(priv) < kVmPrivBytes || Q4VM_AreaBytes(log) != 128)
        return kVmErrDbSignature;
    // Every count the runtime walks must lie inside its allocation, and the
    // elements it counts inside the bytes of the area, also where the area
    // carries an explicit byte size.
    for (u32 a = 0; a < kVmDbTableCount; ++a) {
        VmDbDesc d = Q4VM_GetDesc(image, a);
        if (d.rawSize == 0 && (d.used > d.allocated || d.boundary > d.allocated)) return kVmErrDbSignature;
        u32 bytes = Q4VM_AreaBytes(d);
        if (d.elementSize != 0 && (static_cast<u32>(d.used) * d.elementSize > bytes ||
                                   static_cast<u32>(d.boundary) * d.elementSize > bytes ||
                                   static_cast<u32>(d.allocated) * d.elementSize > bytes))
            return kVmErrDbSignature;
    }
    if (GetLe32(image + LayoutOffset(image, kDbPrivate) + kVmPrivSignature) != kVmDbSignature)
        return kVmErrDbSignature;
    return kVmOk;
}

int Q4VM_CheckHotImage(const Q4Code& c, const u8* image, u32 size) {
    if (Q4VMCode_CheckCode(c) != 0) return kVmErrCodeInvalid;
    int rc = Q4VM_CheckImage(image, size);
    if (rc) return rc;
    const u8* st = image + LayoutOffset(image, kDbStatus);
    if (GetLe32(st + kQ4StLayoutStamp) != Q4VMCode_GetLayoutStamp(c)) return kVmErrLayoutStamp;
    u8 want[kVmDbDescriptorBlockBytes];
    if (Q4VM_GetDBSize(c, want) != 0) return kVmErrCodeInvalid;
    const u32 classes[] = {kDbData8, kDbData16, kDbData32, kDbData64, kDbTime, kDbStringPointers};
    for (u32 i = 0; i < 6; ++i) {
        VmDbDesc have = Q4VM_GetDesc(image, classes[i]), need = Q4VM_GetDesc(want, classes[i]);
        if (have.elementSize != need.elementSize || have.allocated != need.allocated || have.rawSize != need.rawSize)
            return kVmErrAllocData8 + static_cast<int>(i);
    }
    // Records whose size no code can change.
    const u32 fixed[] = {kDbExecBuffer, kDbLockFlags, kDbResources, kDbUnresolved,
                         kDbMapHash,    kDbSampling,  kDbTasks,     kDbChangeEvents};
    for (u32 a : fixed) {
        VmDbDesc have = Q4VM_GetDesc(image, a), need = Q4VM_GetDesc(want, a);
        if (Q4VM_AreaBytes(have) != Q4VM_AreaBytes(need) || have.elementSize != need.elementSize)
            return kVmErrDbSignature;
    }
    return kVmOk;
}

// --- Tasks ---------------------------------------------------------------------------

u16 Q4VM_GetNbTask(u8* db) { return db ? Q4VM_GetDesc(db, kDbTasks).used : 0; }

const char* Q4VM_GetTaskName(u8* db, u16 n) {
    u32 bytes = 0;
    u8* area = Q4VM_AreaPtr(db, kDbTasks, &bytes);
    if (!area || n >= Q4VM_GetNbTask(db) || (n + 1u) * 8 > bytes) return nullptr;
    const Q4Code& c = Q4VM_CodeOf(db);
    u32 off = GetLe32(area + 8u * n);
    if (!c.data || Q4Code_TextLen(c, off) < 0) return nullptr;
    return reinterpret_cast<const char*>(c.data + off);
}

int Q4VM_FindTask(u8* db, const char* name, u16* index) {
    if (index) *index = 0;
    if (!name) return 1;
    for (u16 i = 1; i < Q4VM_GetNbTask(db); ++i) {
        const char* t = Q4VM_GetTaskName(db, i);
        if (t && std::strcmp(t, name) == 0) {
            if (index) *index = i;
            return 0;
        }
    }
    return 1;
}
