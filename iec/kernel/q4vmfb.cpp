#include "iec/kernel/q4vmfb.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <span>
#include <vector>

#include "iec/blocks/q4ctlrows.h"
#include "iec/ext/q4barray.h"
#include "iec/ext/q4bdll.h"
#include "iec/ext/q4mbfb.h"
#include "iec/ext/q4txb.h"
#include "iec/ext/q4vmcan.h"
#include "iec/ext/q4xml.h"
#include "iec/kernel/q4fbbuffer.h"
#include "iec/kernel/q4fbclock.h"
#include "iec/kernel/q4fbcsv.h"
#include "iec/kernel/q4fblogic.h"
#include "iec/kernel/q4fbpid.h"
#include "iec/kernel/q4fbserio.h"
#include "iec/kernel/q4fbsignal.h"
#include "iec/kernel/q4fbtimer.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmstr.h"

namespace {

// Blocks whose handlers are not part of this build yet: known by name, no
// data, and executing one stops the application with a trace, so that a
// program never silently runs without the block it calls.
int NotAvailable(int command, u8* db, u8*, u8*, const u16*) {
    if (command != kFbExecute || !db) return 0;
    if (u8* st = Q4VM_Status(db)) {
        if (!(GetLe16(st + kQ4StFlags) & kVmFlagStopRequest))
            std::printf("Function block not available in this runtime\n");
        PutLe16(st + kQ4StFlags, static_cast<u16>(GetLe16(st + kQ4StFlags) | kVmFlagStopRequest));
    }
    return 0;
}

std::vector<Q4FbHandler>& Handlers() {
    static std::vector<Q4FbHandler> h{Q4VMFbl_null, Q4VMFCust_null};
    return h;
}

u32 HandleOf(Q4FbHandler f) {
    std::vector<Q4FbHandler>& h = Handlers();
    for (u32 k = 0; k < h.size(); ++k)
        if (h[k] == f) return k;
    h.push_back(f);
    return static_cast<u32>(h.size() - 1);
}

u32 Round8(int v) { return v <= 0 ? 0 : (static_cast<u32>(v) + 7u) & ~7u; }

u8* Rec(u8* db, u32 area, u32 n, u32 size) {
    u32 bytes = 0;
    u8* a = Q4VM_AreaPtr(db, area, &bytes);
    VmDbDesc d = Q4VM_GetDesc(db, area);
    if (!a || n >= d.allocated || (n + 1) * size > bytes) return nullptr;
    return a + n * size;
}

void SetUsed(u8* db, u32 area, u16 used) {
    VmDbDesc d = Q4VM_GetDesc(db, area);
    d.boundary = d.used = used;
    Q4VM_PutDesc(db, area, d);
}

bool NameIs(const char* a, const char* b) { return a && b && std::strncmp(a, b, 16) == 0; }

// One handler of a list walk; true when the mode reports a match.
bool Apply(int mode, void* record, const char* name, Q4FbHandler h) {
    switch (mode) {
        case 1: ++*static_cast<u16*>(record); return false;
        case 2: {
            u8* db = static_cast<u8*>(record);
            VmDbDesc d = Q4VM_GetDesc(db, kDbFbClasses);
            u8* r = Rec(db, kDbFbClasses, d.used, kFbcBytes);
            if (!r) return false;
            std::memset(r, 0, kFbcBytes);
            std::strncpy(reinterpret_cast<char*>(r), name, 15);
            PutLe32(r + kFbcClassSize, Round8(h(kFbClassSize, nullptr, nullptr, nullptr, nullptr)));
            PutLe32(r + kFbcInstSize, Round8(h(kFbInstanceSize, nullptr, nullptr, nullptr, nullptr)));
            PutLe32(r + kFbcHandler, HandleOf(h));
            PutLe16(r + kFbcFlags, 1);
            SetUsed(db, kDbFbClasses, static_cast<u16>(d.used + 1));
            return false;
        }
        case 4: static_cast<Q4FbSearch*>(record)->total += Round8(h(kFbClassSize, nullptr, nullptr, nullptr, nullptr)); return false;
        case 6: {
            auto* s = static_cast<Q4FbSearch*>(record);
            bool found = s->classNumber ? (static_cast<u32>(h(kFbClassId, nullptr, nullptr, nullptr, nullptr)) & 0xFFFF) == s->classNumber
                                        : NameIs(name, s->name);
            if (found) s->total += Round8(h(kFbInstanceSize, nullptr, nullptr, nullptr, nullptr));
            return found;
        }
        case 7: {
            auto* s = static_cast<Q4FbSearch*>(record);
            if (!NameIs(name, s->name)) return false;
            s->handle = HandleOf(h);
            return true;
        }
        default: return false;
    }
}

}  // namespace

int Q4VMFbl_null(int command, u8*, u8*, u8*, const u16*) { return command == kFbAnyType ? 1 : 0; }

int Q4VMFCust_null(int command, u8* db, u8*, u8*, const u16* ops) {
    if (command == kFbAnyType) return 1;
    if (command != kFbExecute || !ops) return 0;
    u16 n = ops[-1];
    if (n == 0) return 0;
    u16 index = ops[n - 1], type = ops[n];
    if (Q4Type_Class(type) == kQ4ClassString) {
        if (u8* s = Q4Tools_String(db, index)) Q4Str_Empty(s);
    } else if (u8* p = Q4Tools_GetAnyParam(db, type, index, nullptr, nullptr)) {
        std::memset(p, 0, Q4Type_Size(type));
    }
    return 0;
}

Q4FbHandler Q4VMFbl_HandlerAt(u32 handle) {
    std::vector<Q4FbHandler>& h = Handlers();
    return handle < h.size() ? h[handle] : Q4VMFbl_null;
}

namespace {

// The names of the standard list and of the controller's block table, in the
// order that gives each its number in the code image format (never moved).
constexpr const char* kStdNames[kStdBlockCount] = {
    "R_TRIG", "F_TRIG", "RS", "SR", "CMP", "SEMA", "TON", "TOF", "TP",
    "BLINK", "STACKINT", "SERIO", "SERIO_B", "AVERAGE", "HYSTER", "LIM_ALRM",
    "INTEGRAL", "DERIVATE", "SIG_GEN", "RAMP", "CURVELIN", "SURFLIN", "UNPACK8",
    "TOFR", "TPR", "PLS", "FLIPFLOP", "BLINKA", "DTAT", "DTCURDATETIME", "DTEVERY",
    "FIFO", "LIFO", "ALARM_M", "ALARM_A", "LOGFILECSV", "TMU", "TMUSEC", "TMD",
    "MBSLAVEUDP", "MBSLAVEUDPEX", "MBSLAVERTU", "MBSLAVERTUEX", "MBSLAVERTUEXD", "SIGPLAY",
    "ISFCSTEP", "ISFCINITSTEP", "AVERAGEL", "HYSTERACC", "CANRCVMSG", "MBMASTERTCP",
    "MBMASTERRTU", "MBSLAVETCP", "MBSLAVETCPEX",
};

constexpr const char* kPfbNames[kPfbCount] = {
    "TXBMANAGER", "TXBAPPEND", "TXBAPPENDLINE", "TXBAPPENDTXB", "TXBAPPENDEOL", "TXBCLEAR",
    "TXBCOPY", "TXBFREE", "TXBGETDATA", "TXBLASTERROR", "TXBGETLENGTH", "TXBGETLINE",
    "TXBGETSTRING", "TXBNEW", "TXBNEWSTRING", "TXBREADFILE", "TXBREWIND", "TXBSETDATA",
    "TXBSETSTRING", "TXBWRITEFILE", "TXBANSITOUTF8", "TXBUTF8TOANSI", "TXBSENDTCP", "TXBRCVTCP",
    "XMLMANAGER", "XMLADDCHILD", "XMLCHECKTAGNAME", "XMLFIRSTCHILD", "XMLFREEDOC", "XMLLASTERROR",
    "XMLGETSYBVALUE", "XMLGETTAGATTRIB", "XMLGETTAGCONT", "XMLGETTAGCONTT", "XMLGETTAGNAME",
    "XMLNEWDOC", "XMLNEXTCHILD", "XMLPARSEDOCFILE", "XMLPARSEDOCTXB", "XMLSETSYBVALUE",
    "XMLSETTAGATTRIB", "XMLSETTAGCONT", "XMLSETTAGCONTT", "XMLWRITEDOCFILE", "XMLWRITEDOCTXB",
    "XMLGETPARENT", "HMINEWMENU", "HMINEWMENUITEM", "HMIDELMENU", "HMIRENAMEMENU", "HMIMENU",
    "ARCOUNT", "ARFIND", "ARFILL", "ARMIN", "ARMAX", "ARSORT",
    "PID", "CTUR", "CTDR", "CTUDR",
    "CANOPENGETLOCID", "CANOPENGETSTATE", "CANOPENSETNMT", "CANOPENSDOREAD", "CANOPENSDOWRITE",
    "CANOPENRCEMC", "CANOPENRCEMCDEV", "LIM", "COPY_CF", "READ_CF", "READ_CF2", "WRITE_CF",
    "WRITE_CF2", "DELETE_CF", "SETPID", "SETPIDMAN", "GETPIDMAN", "PID_IND", "PID_IND_AUTO",
    "PID_ISA_AUTO", "PID_ISA", "SAVERCPBYSTR", "SAVERCPBYINDEX", "SAVERCPBYSTR2", "LOADRCPBYSTR",
    "LOADRCPBYINDEX", "LOADRCPBYSTR2", "RENAME_CF", "OPENCOMMREG", "OPENCOMM", "CLOSECOMM",
    "SENDCOMM", "RCVCOMM", "CHANGESCREEN", "FORCESCREEN", "SCALEINT", "SCALEREAL", "SETCLK",
    "BITCLEAR", "BITSET", "BITTEST", "ALARM", "MODBUSDOREQUEST", "MODBUSMAPSLAVE",
    "MODBUSMAPEXTEND", "OLDUSERSMASTER", "KEYPRESS", "NETPUTHB", "NETGETHB", "NETGETWORD",
    "NETPUTWORD", "NETPUTWORDEX", "NETGETREMOTEI", "NETPUTLOCALQ", "NETGETREMOTEAI",
    "NETPUTLOCALAQ", "GPRSCONNECT", "GPRSCONNECTS", "MODEMSENDINIT", "MODEMAUTODIAL",
    "MODEMAUTOANSWER", "DAYSOFMONTH", "DAYSOFWEEK", "MONTHSOFYEAR", "STARTENDYEAR", "TIMEOFDAY",
    "FILL", "MULTIROT", "MULTISHIFT", "MVB", "ASCIITODINT", "ASCIITOINT", "ASCIITOREAL",
    "CMPSTRINGCONST", "CMPSTRINGVAR", "DINTTOASCII", "INTTOASCII", "REALTOASCII", "SETSTRING",
    "STRINGLEN", "STRINGLENA", "DEGTORAD", "RADTODEG", "TOF100MS", "TOF100MS32", "TOF10MS",
    "TOF10MS32", "TOF1MS", "TOF1MS32", "TOF1S", "TOF1S32", "TON100MS", "TON100MS32",
    "TON10MS", "TON10MS32", "TON1MS", "TON1MS32", "TON1S", "TON1S32", "TONR100MS",
    "TONR100MS32", "TONR10MS", "TONR10MS32", "TONR1MS", "TONR1MS32", "TONR1S", "TONR1S32",
    "SETPID_R", "PID_IND_R", "SETPIDMAN_R", "PID_IND_AUTO_R", "PID_ISA_R", "PID_ISA_AUTO_R",
    "SETCANID", "TEXTTABLE", "STRINGCONCAT", "CHARASCIICODE", "DELETECHARS", "INSERTCHARS",
    "ASCIITOHEX", "HEXTOASCII", "CRC16", "STRINGFIND", "STRINGREPLACE", "STRINGLEFT",
    "STRINGMID", "STRINGRIGHT", "SUNPOS", "ABS", "SHL", "SHR", "ROL", "ROR",
    "NOT_MASK", "AND_MASK", "OR_MASK", "XOR_MASK", "SEL", "MOD", "SQRT", "CTU", "CTD",
};

// Each family of blocks declares the handlers of its blocks by name in its
// own module (a constexpr array of Q4BlockEntry); the tables are assembled
// from the name lists and the families' rows at compile time. A block no
// family serves yet is known by name and not available.
constexpr std::span<const Q4BlockEntry> kFamilies[] = {
    kQ4FbLogicRows, kQ4FbTimerRows, kQ4FbClockRows, kQ4FbSignalRows, kQ4FbBufferRows,
    kQ4FbSerioRows, kQ4FbCsvRows,   kQ4FbPidRows,   kQ4MbFbRows,
    kQ4CtlPanelRows, kQ4CtlTimerRows, kQ4CtlAnyMathRows, kQ4CtlCounterRows, kQ4CtlMoveRows,
    kQ4CtlStringRows, kQ4CtlPidRows, kQ4CtlCommRows, kQ4CtlFileRows, kQ4CtlModbusRows,
    kQ4BArrayRows, kQ4VmCanRows, kQ4TxbRows, kQ4XmlRows,
};

constexpr bool SameName(const char* a, const char* b) {
    while (*a != 0 && *a == *b) ++a, ++b;
    return *a == *b;
}

constexpr Q4FbHandler HandlerOf(const char* name) {
    for (std::span<const Q4BlockEntry> f : kFamilies)
        for (const Q4BlockEntry& e : f)
            if (SameName(e.name, name)) return e.handler;
    return NotAvailable;
}

// True when every family row names a block of one of the lists and no block
// is claimed twice; and no name is listed twice.
constexpr bool RowsValid() {
    for (u32 i = 0; i < kPfbCount; ++i)
        for (u32 k = i + 1; k < kPfbCount; ++k)
            if (SameName(kPfbNames[i], kPfbNames[k])) return false;
    for (u32 i = 0; i < kStdBlockCount; ++i)
        for (u32 k = i + 1; k < kStdBlockCount; ++k)
            if (SameName(kStdNames[i], kStdNames[k])) return false;
    for (std::span<const Q4BlockEntry> f : kFamilies)
        for (const Q4BlockEntry& e : f) {
            if (e.name == nullptr) return false;
            int listed = 0, claimed = 0;
            for (const char* n : kPfbNames) listed += SameName(n, e.name) ? 1 : 0;
            for (const char* n : kStdNames) listed += SameName(n, e.name) ? 1 : 0;
            for (std::span<const Q4BlockEntry> g : kFamilies)
                for (const Q4BlockEntry& o : g) claimed += SameName(o.name, e.name) ? 1 : 0;
            if (listed == 0 || claimed != 1) return false;
        }
    return true;
}
static_assert(RowsValid(), "block rows overlap, repeat a name or name a block of neither list");

constexpr std::array<Q4BlockEntry, kStdBlockCount> MakeStd() {
    std::array<Q4BlockEntry, kStdBlockCount> t{};
    for (u32 i = 0; i < kStdBlockCount; ++i) t[i] = Q4BlockEntry{kStdNames[i], HandlerOf(kStdNames[i])};
    return t;
}

constexpr std::array<Q4BlockEntry, kPfbCount + 1> MakePfb() {
    std::array<Q4BlockEntry, kPfbCount + 1> t{};
    for (u32 i = 0; i < kPfbCount; ++i) t[i] = Q4BlockEntry{kPfbNames[i], HandlerOf(kPfbNames[i])};
    t[kPfbCount] = Q4BlockEntry{nullptr, nullptr};
    return t;
}

}  // namespace

const std::array<Q4BlockEntry, kStdBlockCount> kQ4StdBlocks = MakeStd();
const std::array<Q4BlockEntry, kPfbCount + 1> PFB = MakePfb();

std::span<const std::span<const Q4BlockEntry>> Q4VMFbl_Families() { return kFamilies; }

int Q4Blocks_GetFirstID(u32* id) {
    *id = 0;
    return 1;
}
int Q4Blocks_GetNextID(u32* id) {
    ++*id;
    return *id <= kPfbCount && PFB[*id].handler ? 1 : 0;
}
const char* Q4Blocks_GetName(u32 id) { return id <= kPfbCount ? PFB[id].name : nullptr; }
Q4FbHandler Q4Blocks_GetProc(u32 id) { return id <= kPfbCount ? PFB[id].handler : nullptr; }

int Q4VMFbl_List(int mode, void* record, int standard) {
    if (standard) {
        for (const Q4BlockEntry& e : kQ4StdBlocks)
            if (e.name && e.handler && Apply(mode, record, e.name, e.handler)) return 0;
        return 1;
    }
    u32 id = 0;
    for (int more = Q4Blocks_GetFirstID(&id); more; more = Q4Blocks_GetNextID(&id))
        if (Q4Blocks_GetName(id) && Q4Blocks_GetProc(id) && Apply(mode, record, Q4Blocks_GetName(id), Q4Blocks_GetProc(id)))
            return 0;
    if (Q4Bdll_StartEnumerate()) {
        for (int more = Q4Bdll_GetFirstID(&id); more; more = Q4Bdll_GetNextID(&id)) {
            const char* name = Q4Bdll_GetName(id);
            Q4FbHandler h = name ? Q4Bdll_GetProc(id) : nullptr;
            if (h && Apply(mode, record, name, h)) {
                Q4Bdll_StopEnumerate();
                return 0;
            }
        }
        Q4Bdll_StopEnumerate();
    }
    return 1;
}

u16 Q4VMFbl_GetNbClass() {
    u16 n = 0;
    Q4VMFbl_List(1, &n, 1);
    Q4VMFbl_List(1, &n, 0);
    return n;
}

u32 Q4VMFbl_GetClassDataSize() {
    Q4FbSearch s;
    Q4VMFbl_List(4, &s, 1);
    Q4VMFbl_List(4, &s, 0);
    return s.total;
}

u32 Q4VMFbl_GetInstanceDataSizeExact(const Q4Code& c) {
    u32 total = 0;
    for (u16 i = 0; i < Q4VMCode_GetInstanceCount(c); ++i) {
        Q4InstanceEntry e{};
        if (!Q4VMCode_GetInstance(c, i, &e)) break;
        Q4FbSearch s;
        if (e.standard) {
            s.classNumber = e.classNumber;
            Q4VMFbl_List(6, &s, 1);
        } else {
            for (u16 k = 0; k < Q4VMCode_GetClassCount(c); ++k) {
                Q4ClassEntry ce{};
                if (Q4VMCode_GetClass(c, k, &ce) && ce.classNumber == e.classNumber) {
                    std::memcpy(s.name, ce.name, 15);
                    Q4VMFbl_List(6, &s, 0);
                    break;
                }
            }
        }
        total += s.total;
    }
    return total;
}

u32 Q4VMFbl_GetInstanceDataSize(const Q4Code& c) {
    u32 exact = Q4VMFbl_GetInstanceDataSizeExact(c), wished = Q4VMCode_GetWishedFBIRawSize(c);
    return exact > wished ? exact : wished;
}

int Q4VMFbl_Link(const Q4Code& c, u8* db) {
    SetUsed(db, kDbFbClasses, 0);
    Q4VMFbl_List(2, db, 1);
    Q4VMFbl_List(2, db, 0);
    u16 n = Q4VM_GetDesc(db, kDbFbClasses).used;
    for (u16 k = 0; k < Q4VMCode_GetClassCount(c); ++k) {
        Q4ClassEntry ce{};
        if (!Q4VMCode_GetClass(c, k, &ce)) break;
        bool found = false;
        for (u16 r = 0; r < n && !found; ++r) {
            u8* rec = Rec(db, kDbFbClasses, r, kFbcBytes);
            if (NameIs(reinterpret_cast<char*>(rec), ce.name)) {
                PutLe16(rec + kFbcCodeClass, ce.classNumber);
                found = true;
            }
        }
        if (!found && ce.useCount) Q4VMLog_RegisterUnresolved(db, ce.name);
    }
    u32 bytes = 0;
    u8* area = Q4VM_AreaPtr(db, kDbClassData, &bytes);
    u32 at = 0;
    for (u16 r = 0; r < n; ++r) {
        u8* rec = Rec(db, kDbFbClasses, r, kFbcBytes);
        u32 size = GetLe32(rec + kFbcClassSize);
        u8* data = nullptr;
        if (size && area && at + size <= bytes) data = area + at;
        PutLe32(rec + kFbcClassData, data ? static_cast<u32>(data - db) : 0);
        at += size;
        Q4VMFbl_HandlerAt(GetLe32(rec + kFbcHandler))(kFbClassInit, db, data, nullptr, nullptr);
    }
    return 0;
}

int Q4VMFbl_InitInstances(const Q4Code& c, u8* db, int init) {
    SetUsed(db, kDbFbInstances, 0);
    u32 bytes = 0;
    u8* area = Q4VM_AreaPtr(db, kDbInstanceData, &bytes);
    u32 at = 0;
    u32 names = Q4VMCode_GetInstanceNames(c);
    u16 classes = Q4VM_GetDesc(db, kDbFbClasses).used;
    u16 n = 0;
    for (u16 i = 0; i < Q4VMCode_GetInstanceCount(c); ++i) {
        Q4InstanceEntry e{};
        if (!Q4VMCode_GetInstance(c, i, &e) || e.classNumber == 0) break;
        u8* rec = Rec(db, kDbFbInstances, n + 1u, kFbiBytes);
        if (!rec) break;
        std::memset(rec, 0, kFbiBytes);
        u8* cls = nullptr;
        u16 ci = 0;
        for (u16 r = 0; r < classes && !cls; ++r) {
            u8* cr = Rec(db, kDbFbClasses, r, kFbcBytes);
            if (GetLe16(cr + kFbcCodeClass) == e.classNumber) cls = cr, ci = r;
        }
        const char* name = nullptr;
        if (names && Q4Code_TextLen(c, names) > 0) name = reinterpret_cast<const char*>(c.data + names);
        u32 size = cls ? GetLe32(cls + kFbcInstSize) : 0;
        u8* data = area && at + size <= bytes ? area + at : nullptr;
        PutLe32(rec + kFbiInstData, data && size ? static_cast<u32>(data - db) : 0);
        if (cls && (size == 0 || data)) {
            PutLe16(rec + kFbiClass, ci);
            PutLe16(rec + kFbiFlags, GetLe16(cls + kFbcFlags));
            PutLe32(rec + kFbiHandler, GetLe32(cls + kFbcHandler));
            PutLe32(rec + kFbiClassData, GetLe32(cls + kFbcClassData));
            PutLe32(rec + kFbiCodeWord, e.codeWord);
            Q4FbHandler h = Q4VMFbl_HandlerAt(GetLe32(cls + kFbcHandler));
            u8* cd = GetLe32(cls + kFbcClassData) ? db + GetLe32(cls + kFbcClassData) : nullptr;
            u8* id = size ? data : nullptr;
            // A rebuild (init 0) leaves the instance data as it is; the name
            // (a text of the new code) and the keep-alive wish are given again.
            if (init) h(kFbInstanceInit, db, cd, id, nullptr);
            if (name) {
                const char* cursor = name;
                h(kFbInstanceName, db, cd, id, reinterpret_cast<const u16*>(&cursor));
            }
            if (h(kFbWantsKeepAlive, db, cd, id, nullptr))
                PutLe16(rec + kFbiFlags, static_cast<u16>(GetLe16(rec + kFbiFlags) | kFbiKeepAlive));
            at += size;
        } else {
            PutLe32(rec + kFbiHandler, kFbHandleNull);
            if (u8* st = Q4VM_Status(db))
                PutLe16(st + kQ4StFlags, static_cast<u16>(GetLe16(st + kQ4StFlags) | kVmFlagStopRequest));
        }
        ++n;
        SetUsed(db, kDbFbInstances, static_cast<u16>(n + 1));
        if (name) names += static_cast<u32>(std::strlen(name)) + 1;
    }
    return 0;
}

int Q4VMFbl_InitCustomFunctions(const Q4Code& c, u8* db) {
    SetUsed(db, kDbCustomFunctions, 0);
    u16 cap = Q4VM_GetDesc(db, kDbCustomFunctions).allocated;
    u16 count = Q4VMCode_GetCustomFuncCount(c);
    if (count == 0 || cap <= 1) return 0;
    u16 n = 0;
    for (u16 k = 0; k < count && n + 1u < cap; ++k) {
        char name[17] = {};
        if (!Q4VMCode_GetCustomFunc(c, k, name)) break;
        u8* rec = Rec(db, kDbCustomFunctions, n + 1u, kCfBytes);
        if (!rec) break;
        std::memset(rec, 0, kCfBytes);
        std::memcpy(rec, name, 15);
        Q4FbSearch s;
        std::memcpy(s.name, name, 15);
        if (Q4VMFbl_List(7, &s, 0) == 0) {
            PutLe32(rec + kCfHandler, s.handle);
            PutLe16(rec + kCfResolved, 1);
        } else {
            PutLe32(rec + kCfHandler, kFbHandleCustNull);
            Q4VMLog_RegisterUnresolved(db, name);
            if (u8* st = Q4VM_Status(db))
                PutLe16(st + kQ4StFlags, static_cast<u16>(GetLe16(st + kQ4StFlags) | kVmFlagStopRequest));
        }
        ++n;
        SetUsed(db, kDbCustomFunctions, static_cast<u16>(n + 1));
    }
    return 0;
}

u8* Q4VMFbl_Instance(u8* db, u16 n) {
    if (n == 0 || n >= Q4VM_GetDesc(db, kDbFbInstances).used) return nullptr;
    return Rec(db, kDbFbInstances, n, kFbiBytes);
}

u8* Q4VMFbl_CustomFunction(u8* db, u16 n) {
    if (n == 0 || n >= Q4VM_GetDesc(db, kDbCustomFunctions).used) return nullptr;
    return Rec(db, kDbCustomFunctions, n, kCfBytes);
}

namespace {
void Command(u8* db, u8* rec, int cmd) {
    u32 cd = GetLe32(rec + kFbiClassData), id = GetLe32(rec + kFbiInstData);
    Q4VMFbl_HandlerAt(GetLe32(rec + kFbiHandler))(cmd, db, cd ? db + cd : nullptr, id ? db + id : nullptr, nullptr);
}
u16 InstanceCount(u8* db) {
    u16 used = Q4VM_GetDesc(db, kDbFbInstances).used;
    return used ? static_cast<u16>(used - 1) : 0;
}
}  // namespace

void Q4VMFbl_InitNewInstances(u8* db, u16 kept) {
    for (u16 n = 1; n <= InstanceCount(db); ++n)
        if (u8* r = Q4VMFbl_Instance(db, n)) Command(db, r, n <= kept ? kFbHotInit : kFbInstanceInit);
}

void Q4VMFbl_KeepAlive(u8* db) {
    for (u16 n = 1; n <= InstanceCount(db); ++n) {
        u8* r = Q4VMFbl_Instance(db, n);
        if (r && (GetLe16(r + kFbiFlags) & kFbiKeepAlive)) Command(db, r, kFbKeepAlive);
    }
}

void Q4VMFbl_ShutDown(u8* db) {
    for (u16 n = 1; n <= InstanceCount(db); ++n)
        if (u8* r = Q4VMFbl_Instance(db, n)) Command(db, r, kFbInstanceEnd);
    u16 classes = Q4VM_GetDesc(db, kDbFbClasses).used;
    for (u16 k = 0; k < classes; ++k) {
        u8* r = Rec(db, kDbFbClasses, k, kFbcBytes);
        if (!r) break;
        u32 cd = GetLe32(r + kFbcClassData);
        Q4VMFbl_HandlerAt(GetLe32(r + kFbcHandler))(kFbClassEnd, db, cd ? db + cd : nullptr, nullptr, nullptr);
    }
}

u16 Q4VMFbl_GetInstanceCount(u8* db, const char* name) {
    u16 classes = Q4VM_GetDesc(db, kDbFbClasses).used, count = 0;
    for (u16 k = 0; k < classes; ++k) {
        u8* r = Rec(db, kDbFbClasses, k, kFbcBytes);
        if (!r || !NameIs(reinterpret_cast<char*>(r), name)) continue;
        for (u16 n = 1; n <= InstanceCount(db); ++n) {
            u8* i = Q4VMFbl_Instance(db, n);
            if (i && GetLe16(i + kFbiClass) == k && GetLe32(i + kFbiHandler) != kFbHandleNull) ++count;
        }
        break;
    }
    return count;
}
