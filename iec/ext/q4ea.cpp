#include "iec/ext/q4ea.h"

#include <algorithm>
#include <cstring>

#include "core/plc_regs.h"
#include "iec/ext/q4evs.h"
#include "iec/kernel/q4rtclk.h"
#include "iec/kernel/q4socket.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmcnv.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmmap.h"

namespace {

constexpr u32 kDayMs = 86400000u;
constexpr u32 kClients = 8;
// Upper bounds of the binding tables: more is taken as a damaged image.
constexpr u32 kMaxCnx = 255;
constexpr u32 kMaxVars = 4096;
constexpr u16 kNone = 0xFFFF;

u32 Elapsed(u32 now, u32 then) { return (now - then + kDayMs) % kDayMs; }

// Value size of a watched or bound type (bit 0x80 ignored); 0: not a value.
u8 ValueSize(u8 type) {
    switch (type & 0x7F) {
        case kQ4TypeBool:
        case kQ4TypeString:
        case kQ4TypeSint:
        case kQ4TypeUsint: return 1;
        case kQ4TypeInt:
        case kQ4TypeUint: return 2;
        case kQ4TypeDint:
        case kQ4TypeReal:
        case kQ4TypeTime:
        case kQ4TypeUdint: return 4;
        case kQ4TypeLint:
        case kQ4TypeLreal:
        case kQ4TypeUlint: return 8;
        default: return 0;
    }
}
bool IsString(u8 type) { return (type & 0x7F) == kQ4TypeString; }

// Where a variable of the binding lies: its database offset, the offset of
// its lock byte and the lock bit that applies (0: never locked).
struct Target {
    u32 data = 0;
    u32 lock = 0;
    u8 mask = 0;
};

u32 Offset(u8* db, const u8* p) { return p ? static_cast<u32>(p - db) : 0; }

bool Resolve(u8* db, u8 type, u16 index, u32 ct, Target* t) {
    const u8 size = ValueSize(type);
    if (size == 0) return false;
    *t = Target{};
    t->lock = Offset(db, Q4Tools_Element(db, kDbLockFlags, index));
    if (ct != 0) {
        if (IsString(type)) return false;
        u32 bytes = 0;
        u8* seg = Q4VM_AreaPtr(db, kDbCtSegment, &bytes);
        if (!seg || ct >= bytes || bytes - ct < size) return false;
        t->data = Offset(db, seg + ct);
        return true;
    }
    if (type & kQ4TypeExternal) {
        u8* slot = Q4Tools_Element(db, kDbExternalVars, index);
        const u32 off = slot ? GetLe32(slot) : 0;
        const u32 total = Q4VM_GetTotalDBSize(db);
        if (off < kVmDbDescriptorBlockBytes || off >= total || total - off < (IsString(type) ? 3u : size)) return false;
        if (IsString(type) && total - off < db[off] + 3u) return false;
        t->data = IsString(type) ? off + 1 : off;
        t->mask = kQ4LockExternal;
        return true;
    }
    const Q4TypeInfo* info = Q4Type_Info(type);
    if (!info) return false;
    if (IsString(type)) {
        u8* s = Q4Tools_String(db, index);
        if (!s) return false;
        t->data = Offset(db, s + 1);  // the length byte
    } else {
        u8* p = Q4Tools_Element(db, info->storage, index);
        if (!p) return false;
        t->data = Offset(db, p);
    }
    t->mask = info->lockBit;
    return true;
}

u8* At(u8* db, u32 off) { return off ? db + off : nullptr; }

bool Locked(u8* db, u32 lock, u8 mask) { return mask && lock && (db[lock] & mask); }

// ===========================================================================
// Producer
// ===========================================================================

struct Table {
    u8* base = nullptr;
    u32 capacity = 0;
    u32 count = 0;
};

Table TableOf(u8* db) {
    Table t;
    u32 bytes = 0;
    t.base = db ? Q4VM_AreaPtr(db, kDbChangeEvents, &bytes) : nullptr;
    if (!t.base) return Table{};
    VmDbDesc d = Q4VM_GetDesc(db, kDbChangeEvents);
    if (d.elementSize != kQ4EaItemBytes) return Table{};
    t.capacity = std::min<u32>(d.allocated, bytes / kQ4EaItemBytes);
    t.count = std::min<u32>(d.used, t.capacity);
    return t;
}

void SetCount(u8* db, u32 n) {
    VmDbDesc d = Q4VM_GetDesc(db, kDbChangeEvents);
    d.used = static_cast<u16>(n);
    Q4VM_PutDesc(db, kDbChangeEvents, d);
}

u16 Flags(const u8* it) { return GetLe16(it + kEaFlags); }
void SetFlags(u8* it, u16 f) { PutLe16(it + kEaFlags, f); }

// A value of the item's type, widened so that bounds never overflow.
struct Wide {
    bool real = false;
    double f = 0;
    __int128 i = 0;
};

Wide Read(u8 type, const u8* p) {
    Wide w;
    switch (type & 0x7F) {
        case kQ4TypeReal: {
            float v;
            std::memcpy(&v, p, 4);
            w.real = true;
            w.f = v;
            break;
        }
        case kQ4TypeLreal: {
            double v;
            std::memcpy(&v, p, 8);
            w.real = true;
            w.f = v;
            break;
        }
        case kQ4TypeDint: w.i = static_cast<i32>(GetLe32(p)); break;
        case kQ4TypeInt: w.i = static_cast<i16>(GetLe16(p)); break;
        case kQ4TypeLint: w.i = static_cast<i64>(GetLe64(p)); break;
        case kQ4TypeUdint:
        case kQ4TypeTime: w.i = GetLe32(p); break;
        case kQ4TypeUint: w.i = GetLe16(p); break;
        case kQ4TypeUlint: w.i = GetLe64(p); break;
        default: w.i = p[0]; break;  // BOOL, SINT and USINT compare as bytes
    }
    return w;
}

bool IsUnsignedKind(u8 type) {
    switch (type & 0x7F) {
        case kQ4TypeUdint:
        case kQ4TypeTime:
        case kQ4TypeUint:
        case kQ4TypeUsint:
        case kQ4TypeUlint:
        case kQ4TypeSint: return true;
        default: return false;
    }
}

// True when the value moved far enough from the last one sent.
bool BeyondHysteresis(const u8* it, const u8* value) {
    const u8 type = it[kEaType];
    if ((type & 0x7F) == kQ4TypeBool) return true;
    const Wide now = Read(type, value), last = Read(type, it + kEaLastValue);
    const Wide pos = Read(type, it + kEaHystPos), neg = Read(type, it + kEaHystNeg);
    if (now.real) return now.f >= last.f + pos.f || now.f <= last.f - neg.f;
    if (now.i >= last.i + pos.i) return true;
    if (IsUnsignedKind(type) && last.i < neg.i) return false;
    return now.i <= last.i - neg.i;
}

bool Smaller(u8 type, const u8* a, const u8* b) {
    const Wide x = Read(type, a), y = Read(type, b);
    return x.real ? x.f <= y.f : x.i <= y.i;
}

// Hysteresis of a new subscriber: the first one's values stand; later ones
// keep the smaller value, and one that asks for none leaves none.
void SetHyster(u8* it, bool first, const u8* pos, const u8* neg) {
    const u8 size = it[kEaSize], type = it[kEaType];
    if (!pos || !neg) {
        std::memset(it + kEaHystPos, 0, 16);
        SetFlags(it, static_cast<u16>(Flags(it) & ~kEaHysteresis));
        return;
    }
    if (first) {
        std::memset(it + kEaHystPos, 0, 16);
        std::memcpy(it + kEaHystPos, pos, size);
        std::memcpy(it + kEaHystNeg, neg, size);
        SetFlags(it, static_cast<u16>(Flags(it) | kEaHysteresis));
        return;
    }
    if (!(Flags(it) & kEaHysteresis)) return;
    if (Smaller(type, pos, it + kEaHystPos)) std::memcpy(it + kEaHystPos, pos, size);
    if (Smaller(type, neg, it + kEaHystNeg)) std::memcpy(it + kEaHystNeg, neg, size);
}

bool Same(const u8* it, u8 type, u16 index, u32 ct) {
    return it[kEaType] == type && GetLe16(it + kEaIndex) == index && GetLe32(it + kEaCtOffset) == ct;
}

void RemoveItem(u8* db, Table& t, u32 n) {
    if (n >= t.count) return;
    u8* gap = t.base + n * kQ4EaItemBytes;
    if (n + 1 < t.count) std::memcpy(gap, t.base + (t.count - 1) * kQ4EaItemBytes, kQ4EaItemBytes);
    --t.count;
    std::memset(t.base + t.count * kQ4EaItemBytes, 0, kQ4EaItemBytes);
    SetCount(db, t.count);
}

// The current value as it goes out and as it is kept for the next compare.
struct Value {
    u8 wire[1 + 255] = {};  // big-endian value, or length byte and text
    u32 wireLength = 0;
    u8 kept[8] = {};
    const u8* text = nullptr;  // strings
    u8 textLength = 0;
};

void TakeValue(u8* db, const u8* it, Value* v) {
    const u8* p = db + GetLe32(it + kEaData);
    const u8 type = it[kEaType];
    if (IsString(type)) {
        // p is the length byte; the capacity lies before it.
        const u8 len = std::min(p[0], p[-1]);
        v->text = p + 1;
        v->textLength = len;
        PutLe16(v->kept, crc16(p + 1, len));
        v->kept[2] = len;
        return;
    }
    const u8 size = it[kEaSize];
    std::memcpy(v->kept, p, size);
    for (u8 k = 0; k < size; ++k) v->wire[k] = p[size - 1 - k];
    v->wireLength = size;
}

bool ValueChanged(const u8* it, const Value& v) {
    const u8 type = it[kEaType];
    if (IsString(type)) return std::memcmp(v.kept, it + kEaLastValue, 3) != 0;
    if (std::memcmp(v.kept, it + kEaLastValue, it[kEaSize]) == 0) return false;
    if (!(Flags(it) & kEaHysteresis)) return true;
    return BeyondHysteresis(it, v.kept);
}

// Builds the data of the item's kind-4 event; with status, the 8 status bytes
// follow. Returns the length.
u32 EventData(const u8* it, u32 n, const Value& v, bool longText, const u8* vsi, bool withStatus, u8* out) {
    const bool isStatic = Flags(it) & kEaStatic;
    PutBe16(out, isStatic ? GetLe16(it + kEaStaticId) : static_cast<u16>(n + 1));
    out[2] = it[kEaType];
    const u32 ct = GetLe32(it + kEaCtOffset);
    const u16 index = GetLe16(it + kEaIndex);
    PutBe16(out + 3, ct ? 0 : index);
    u32 at = 5;
    if (IsString(it[kEaType])) {
        const u8 len = longText ? 0 : v.textLength;
        out[at++] = len;
        std::memcpy(out + at, v.text, len);
        at += len;
    } else {
        std::memcpy(out + at, v.wire, v.wireLength);
        at += v.wireLength;
    }
    if (ct || index == 0) {
        PutBe32(out + at, ct);
        at += 4;
    }
    if (withStatus && vsi) {
        PutBe32(out + at, GetLe32(vsi));
        PutBe32(out + at + 4, GetLe32(vsi + 4));
        at += 8;
    }
    return at;
}

// Sends the item to one client; the client's byte tells the outcome.
void SendTo(Q4EvsServer* server, u8* it, u32 n, u32 c, const Value& v, const u8* vsi, bool withStatus, u32 date,
            u32 time) {
    const bool longText = IsString(it[kEaType]) && v.textLength >= kQ4EaLongString;
    const u8 code = (Flags(it) & kEaStatic) ? 255 : 2;
    u8 data[256];
    const u32 len = EventData(it, n, v, longText, vsi, withStatus, data);
    int gone = 0, rc = 0;
    if (longText) rc = Q4Evs_EventTo(server, 132, code, v.textLength, v.text, c, &gone, date, time);
    if (!gone && rc == 0) rc = Q4Evs_EventTo(server, 4, code, len, data, c, &gone, date, time);
    u8& byte = it[kEaClients + c];
    if (gone) {
        byte = 0;
        PutLe16(it + kEaSubscribers, static_cast<u16>(GetLe16(it + kEaSubscribers) - (GetLe16(it + kEaSubscribers) > 0)));
    } else if (rc == 0) {
        byte = 1;
    } else {
        byte = 2;
        SetFlags(it, static_cast<u16>(Flags(it) | kEaPending));
    }
}

void ManageEvents(u8* db, Q4EvsServer* server, bool serveStatic, bool servePrivate) {
    Table t = TableOf(db);
    if (!t.base || !server) return;
    const u32 date = Q4RtClk_GetCurDateStamp(), time = Q4RtClk_GetCurTimeStamp();
    u8 wantsStatus[kClients];
    Q4Evs_GetCnxVsiPrefs(server, wantsStatus);
    const bool newClients = Q4Evs_HasNewConections(server) != 0;
    for (u32 n = t.count; n-- > 0;) {
        u8* it = t.base + n * kQ4EaItemBytes;
        if (it[kEaType] == 0) continue;
        const bool isStatic = Flags(it) & kEaStatic;
        if (isStatic ? !serveStatic : !servePrivate) continue;
        Value v;
        TakeValue(db, it, &v);
        bool changed = false;
        if (newClients) {
            for (u32 c = 0; c < kClients; ++c) {
                u8& byte = it[kEaClients + c];
                // A client whose subscription changed may have let earlier
                // values pass unseen: every public value goes to every
                // client again.
                if (isStatic && byte == 0) PutLe16(it + kEaSubscribers, static_cast<u16>(GetLe16(it + kEaSubscribers) + 1));
                if (isStatic || byte != 0) byte = 2;
            }
            SetFlags(it, static_cast<u16>(Flags(it) | kEaPending | kEaSent));
            changed = true;
        } else if (!(Flags(it) & kEaSent)) {
            SetFlags(it, static_cast<u16>(Flags(it) | kEaSent));
            changed = true;
        } else {
            changed = ValueChanged(it, v);
        }
        const u8* vsi = At(db, GetLe32(it + kEaVsi));
        bool statusChanged = false;
        if (vsi && std::memcmp(vsi, it + kEaLastStatus, 8) != 0) {
            std::memcpy(it + kEaLastStatus, vsi, 8);
            changed = statusChanged = true;
        }
        if (changed || (Flags(it) & kEaPending)) {
            const bool fromVsi = vsi && GetLe32(vsi + 8) != 0;
            const u32 d = fromVsi ? GetLe32(vsi + 8) : date, tm = fromVsi ? GetLe32(vsi + 12) : time;
            if (changed) std::memcpy(it + kEaLastValue, v.kept, 8);
            SetFlags(it, static_cast<u16>(Flags(it) & ~kEaPending));
            for (u32 c = 0; c < kClients; ++c) {
                const u8 byte = it[kEaClients + c];
                if (changed ? byte == 0 : byte != 2) continue;
                const bool withStatus = wantsStatus[c] && (statusChanged || byte == 2);
                SendTo(server, it, n, c, v, vsi, withStatus, d, tm);
            }
        }
        if (!isStatic && GetLe16(it + kEaSubscribers) == 0) RemoveItem(db, t, n);
    }
}

}  // namespace

u32 Q4EA_Count(u8* db) { return TableOf(db).count; }

const u8* Q4EA_Item(u8* db, u32 n) {
    Table t = TableOf(db);
    return n < t.count ? t.base + n * kQ4EaItemBytes : nullptr;
}

u32 Q4EA_RegisterChangeEvent(u8* db, u32 client, u8 type, u16 index, u16 staticId, const u8* hystPos,
                             const u8* hystNeg, u32 ctOffset) {
    Table t = TableOf(db);
    if (!t.base || client > kClients) return 0;
    const u8 size = ValueSize(type);
    Target target;
    if (size == 0 || !Resolve(db, type, index, ctOffset, &target)) return 0;
    if (client != 0) {
        for (u32 n = 0; n < t.count; ++n) {
            u8* it = t.base + n * kQ4EaItemBytes;
            if ((Flags(it) & kEaStatic) || !Same(it, type, index, ctOffset)) continue;
            u8& byte = it[kEaClients + client - 1];
            if (byte != 0) return 0;
            byte = 2;
            // Sent again to everyone; the hysteresis already set stays for
            // the merge.
            SetFlags(it, static_cast<u16>(kEaPending | (Flags(it) & kEaHysteresis)));
            SetHyster(it, false, hystPos, hystNeg);
            PutLe16(it + kEaSubscribers, static_cast<u16>(GetLe16(it + kEaSubscribers) + 1));
            return n + 1;
        }
    }
    if (t.count >= t.capacity) return 0;
    u8* it = t.base + t.count * kQ4EaItemBytes;
    std::memset(it, 0, kQ4EaItemBytes);
    it[kEaSize] = size;
    it[kEaType] = type;
    PutLe16(it + kEaIndex, index);
    PutLe32(it + kEaCtOffset, ctOffset);
    PutLe32(it + kEaData, target.data);
    PutLe32(it + kEaVsi, Offset(db, Q4Map_GetVSIByData(db, db + target.data)));
    if (client == 0) {
        std::memset(it + kEaClients, 2, kClients);
        SetFlags(it, kEaStatic | kEaPending);
        PutLe16(it + kEaStaticId, staticId);
    } else {
        it[kEaClients + client - 1] = 1;
    }
    SetHyster(it, true, hystPos, hystNeg);
    PutLe16(it + kEaSubscribers, 1);
    SetCount(db, t.count + 1);
    return t.count + 1;
}

int Q4EA_UnregisterChangeEvent(u8* db, u32 client, u8 type, u16 index, u32 ctOffset) {
    Table t = TableOf(db);
    if (!t.base || client > kClients) return 1;
    for (u32 n = 0; n < t.count; ++n) {
        u8* it = t.base + n * kQ4EaItemBytes;
        if (!Same(it, type, index, ctOffset)) continue;
        const bool isStatic = Flags(it) & kEaStatic;
        if (client == 0) {
            if (!isStatic) return 1;
            RemoveItem(db, t, n);
            return 0;
        }
        if (isStatic || it[kEaClients + client - 1] == 0) continue;
        it[kEaClients + client - 1] = 0;
        const u16 subs = GetLe16(it + kEaSubscribers);
        PutLe16(it + kEaSubscribers, static_cast<u16>(subs ? subs - 1 : 0));
        if (subs <= 1) RemoveItem(db, t, n);
        return 0;
    }
    return 1;
}

int Q4EA_RegisterStaticEvents(const Q4Code& code, u8* db) {
    Table t = TableOf(db);
    if (!t.base) return 1;
    // Static items already there are invalidated in place.
    for (u32 n = 0; n < t.count; ++n) {
        u8* it = t.base + n * kQ4EaItemBytes;
        if (Flags(it) & kEaStatic) {
            it[kEaType] = 0;
            PutLe16(it + kEaSubscribers, 0);
        }
    }
    u32 p = Q4VMCode_StaticEvents(code);
    if (p == 0) return 0;
    int rc = 0;
    while (Q4Code_InRange(code, p, 1) && code.data[p] != 0) {
        if (!Q4Code_InRange(code, p, 8)) return 1;
        const u8 type = code.data[p], flags = code.data[p + 1];
        const u16 index = Q4Code_U16(code, p + 2), id = Q4Code_U16(code, p + 4), h = Q4Code_U16(code, p + 6);
        u32 next = p + 8u + 2u * h;
        u32 ct = 0;
        if (flags & 0x80) {
            if (!Q4Code_InRange(code, next, 4)) return 1;
            ct = Q4Code_U32(code, next);
            next += 4;
        }
        if (!Q4Code_InRange(code, p, next - p)) return 1;
        // Hysteresis of the variable's own width; a shorter one is none.
        const u8 size = ValueSize(type);
        const bool hyst = h != 0 && size != 0 && h >= size && !IsString(type);
        const u8* pos = hyst ? code.data + p + 8 : nullptr;
        const u8* neg = hyst ? code.data + p + 8 + h : nullptr;
        if (Q4EA_RegisterChangeEvent(db, 0, type, index, id, pos, neg, ct) == 0) rc = 1;
        p = next;
    }
    return rc;
}

int Q4EA_Open(const Q4Code& code, u8* db, Q4EvsServer* server) {
    Table t = TableOf(db);
    if (t.base) {
        std::memset(t.base, 0, t.capacity * kQ4EaItemBytes);
        SetCount(db, 0);
    }
    if (server) Q4Evs_EAOpen(server);
    return Q4EA_RegisterStaticEvents(code, db);
}

void Q4EA_Close(u8* db, Q4EvsServer* server) {
    if (server) {
        Q4Evs_FlushEAEvents(server);
        Q4Evs_Event(server, 1, 9, 0, nullptr);
    }
    Table t = TableOf(db);
    if (t.base) {
        std::memset(t.base, 0, t.capacity * kQ4EaItemBytes);
        SetCount(db, 0);
    }
}

void Q4EA_ManageChangeEvents(u8* db, Q4EvsServer* server) {
    u8* st = Q4VM_Status(db);
    if (!server || !st) return;
    const bool quiet = GetLe16(st + kQ4StFlags) & kVmFlagEventsOff;
    if (quiet) server->flags = static_cast<u16>(server->flags & ~2u);
    else server->flags = static_cast<u16>(server->flags | 2u);
    ManageEvents(db, server, !quiet, true);
}

// ===========================================================================
// Consumer
// ===========================================================================

namespace {

// Connection record (area 33, little-endian).
enum CnxField : u32 {
    kCxList = 0,        // u32 offset of its list record in the code
    kCxSocket = 4,      // i32
    kCxFirst = 8,       // u16 first variable record
    kCxPartner = 10,    // u16 first variable record of the partner, kNone
    kCxVars = 12,       // u16
    kCxFlags = 14,      // u16 bit 0: values received
    kCxState = 16,      // u16
    kCxExpected = 18,   // u16
    kCxReceived = 20,   // u16
    kCxAckSent = 22,    // u16
    kCxMark = 24,       // u32 time mark, 0 = not started
    kCxVersion = 28,    // u32
    kCxPort = 32,       // u16
    kCxListFlags = 34,  // u16 0x10 primary, 0x20 secondary, 0x40 no stamp compare
    kCxPartnerCnx = 36, // u16 connection number of the partner, kNone
    kCxIp = 40,         // 64 bytes, NUL-terminated
    kCxAck = 104,       // 14 bytes
    kCxBuffer = 120,    // 1024 bytes
};
static_assert(kCxBuffer + kQ4EaxFrameBytes == kQ4EaxCnxBytes);
constexpr u32 kIpBytes = 64;
constexpr u32 kAckBytes = 14;

// Variable record (area 34, 32 bytes).
enum VarField : u32 {
    kVrData = 0, kVrLock = 4, kVrVsi = 8, kVrTime = 12, kVrDate = 16, kVrCt = 20,
    kVrIndex = 24, kVrId = 26, kVrMask = 28, kVrRole = 29, kVrType = 30,
};

enum ListFlag : u16 { kPrimary = 0x10, kSecondary = 0x20, kNoStamps = 0x40 };

struct Area {
    u8* base = nullptr;
    u32 count = 0;
};

Area AreaOf(u8* db, u32 area, u32 elem) {
    u32 bytes = 0;
    u8* base = db ? Q4VM_AreaPtr(db, area, &bytes) : nullptr;
    if (!base) return Area{};
    VmDbDesc d = Q4VM_GetDesc(db, area);
    if (d.elementSize != elem) return Area{};
    return Area{base, std::min<u32>(d.used, bytes / elem)};
}
Area Cnxs(u8* db) { return AreaOf(db, kDbBindConnections, kQ4EaxCnxBytes); }
Area Vars(u8* db) { return AreaOf(db, kDbBindVariables, kQ4EaxVarBytes); }

// Walk of the connection list: each record at least its fixed part and a
// NUL-terminated address inside the image, chained forward only.
struct CnxRec {
    u32 at;
    u16 port, flags, first, count;
};

bool NextCnx(const Q4Code& c, u32* cursor, CnxRec* out) {
    const u32 p = *cursor;
    if (p == 0 || !Q4Code_InRange(c, p, 10)) return false;
    const i32 ip = Q4Code_TextLen(c, p + 10, kIpBytes - 1);
    if (ip < 0) return false;
    *out = CnxRec{p, Q4Code_U16(c, p + 2), Q4Code_U16(c, p + 4), Q4Code_U16(c, p + 6), Q4Code_U16(c, p + 8)};
    const u16 next = Q4Code_U16(c, p);
    *cursor = next ? p + next : 0;
    return true;
}

struct VarRec {
    u8 type, role;
    u16 index, id;
    u32 ct;
};

bool NextVar(const Q4Code& c, u32* cursor, VarRec* out) {
    const u32 p = *cursor;
    if (!Q4Code_InRange(c, p, 1) || c.data[p] == 0 || !Q4Code_InRange(c, p, 6)) return false;
    *out = VarRec{c.data[p], c.data[p + 1], Q4Code_U16(c, p + 2), Q4Code_U16(c, p + 4), 0};
    *cursor = p + 6;
    if (out->role & 0x80) {
        if (!Q4Code_InRange(c, p + 6, 4)) return false;
        out->ct = Q4Code_U32(c, p + 6);
        *cursor = p + 10;
    }
    return true;
}

// Counts of the lists; false when a list runs past its bound or the image.
bool CountLists(const Q4Code& c, u32* nCnx, u32* nVar) {
    *nCnx = *nVar = 0;
    u32 cnx = 0, vars = 0;
    if (!Q4VMCode_GetEAX(c, &cnx, &vars)) return true;
    CnxRec r;
    for (u32 p = cnx; p != 0;) {
        const u32 before = p;
        if (!NextCnx(c, &p, &r) || ++*nCnx > kMaxCnx || (p != 0 && p <= before)) return false;
    }
    VarRec v;
    for (u32 p = vars; Q4Code_InRange(c, p, 1) && c.data[p] != 0;) {
        if (!NextVar(c, &p, &v) || ++*nVar > kMaxVars) return false;
    }
    return true;
}

u8* CnxAt(const Area& a, u32 k) { return a.base + k * kQ4EaxCnxBytes; }
u8* VarAt(const Area& a, u32 k) { return a.base + k * kQ4EaxVarBytes; }

bool IsBitRole(u8 role) {
    role &= 0x7F;
    return (role & 0x0F) == 6 && (role >> 4) >= 1 && (role >> 4) <= 7;
}

u8 OwnCode(const u8* cx) {
    switch (GetLe16(cx + kCxState)) {
        case kEaxDown: return kEaxStDown;
        case kEaxConnecting: return kEaxStConnecting;
        case kEaxSilent: return kEaxStSilent;
        default: return (GetLe16(cx + kCxFlags) & 1) ? kEaxFlowing : kEaxStNoValues;
    }
}

struct Pair {
    u8* primary = nullptr;
    u8* secondary = nullptr;
};

Pair PairOf(const Area& a, u32 k) {
    u8* cx = CnxAt(a, k);
    const u16 other = GetLe16(cx + kCxPartnerCnx);
    if (other == kNone || other >= a.count) return Pair{cx, nullptr};
    u8* ox = CnxAt(a, other);
    return (GetLe16(cx + kCxListFlags) & kPrimary) ? Pair{cx, ox} : Pair{ox, cx};
}

u8 StatusCode(const Area& a, u32 k) {
    Pair p = PairOf(a, k);
    if (!p.secondary) return OwnCode(p.primary);
    return static_cast<u8>(OwnCode(p.primary) | (OwnCode(p.secondary) << 4));
}

// 0 good, 1 bad; a pair: bit 0 primary bad, bit 1 secondary bad.
u32 VarStatus(const Area& a, u32 k) {
    Pair p = PairOf(a, k);
    if (!p.secondary) return OwnCode(p.primary) != kEaxFlowing;
    return (OwnCode(p.primary) != kEaxFlowing ? 1u : 0u) | (OwnCode(p.secondary) != kEaxFlowing ? 2u : 0u);
}

// Writes an unsigned number into a bound variable of any numeric type.
void PutNumber(u8* db, const u8* vr, u32 value) {
    u8* data = At(db, GetLe32(vr + kVrData));
    const u8 type = vr[kVrType] & 0x7F;
    if (!data || IsString(type) || ValueSize(type) == 0) return;
    if (Locked(db, GetLe32(vr + kVrLock), vr[kVrMask])) return;
    u8 src[4];
    PutLe32(src, value);
    Q4VMCnv_ConvBin(data, src, type, kQ4TypeUdint);
}

// The connection's status records lead its run (identifier 0).
template <typename F>
void ForStatusRecords(u8* db, const Area& vars, const u8* cx, F f) {
    const u32 first = GetLe16(cx + kCxFirst), n = GetLe16(cx + kCxVars);
    for (u32 k = first; k < first + n && k < vars.count; ++k) {
        u8* vr = VarAt(vars, k);
        if (GetLe16(vr + kVrId) != 0) break;
        f(vr);
    }
    (void)db;
}

void DispatchOne(u8* db, const Area& vars, const u8* cx, u8 code) {
    ForStatusRecords(db, vars, cx, [&](u8* vr) {
        const u8 role = vr[kVrRole] & 0x7F;
        if (role == kEaxCnxStatus) {
            if ((vr[kVrType] & 0x7F) == kQ4TypeBool) PutNumber(db, vr, code != 0);
            else PutNumber(db, vr, code);
        } else if (IsBitRole(role)) {
            u8* data = At(db, GetLe32(vr + kVrData));
            const u8 size = ValueSize(vr[kVrType]);
            const u32 bit = (role >> 4) - 1u;
            if (!data || IsString(vr[kVrType]) || bit >= 8u * size || Locked(db, GetLe32(vr + kVrLock), vr[kVrMask]))
                return;
            if (code != 0) data[bit / 8] = static_cast<u8>(data[bit / 8] | (1u << (bit % 8)));
            else data[bit / 8] = static_cast<u8>(data[bit / 8] & ~(1u << (bit % 8)));
        }
    });
}

void Dispatch(u8* db, const Area& cnxs, const Area& vars, u32 k) {
    const u8 code = StatusCode(cnxs, k);
    Pair p = PairOf(cnxs, k);
    DispatchOne(db, vars, p.primary, code);
    if (p.secondary) DispatchOne(db, vars, p.secondary, code);
}

// Role-3 variables of the connection (and its partner) take the variable status.
void WriteVarStatus(u8* db, const Area& cnxs, const Area& vars, u32 k) {
    const u32 status = VarStatus(cnxs, k);
    Pair p = PairOf(cnxs, k);
    for (u8* cx : {p.primary, p.secondary}) {
        if (!cx) continue;
        const u32 first = GetLe16(cx + kCxFirst), n = GetLe16(cx + kCxVars);
        for (u32 v = first; v < first + n && v < vars.count; ++v) {
            u8* vr = VarAt(vars, v);
            if ((vr[kVrRole] & 0x7F) == kEaxVarStatus) PutNumber(db, vr, status);
        }
    }
}

void SetState(u8* cx, u16 s) { PutLe16(cx + kCxState, s); }

void CloseSocket(u8* cx) {
    const i32 s = static_cast<i32>(GetLe32(cx + kCxSocket));
    if (s >= 0) Q4Socket_CloseSocket(s);
    PutLe32(cx + kCxSocket, static_cast<u32>(-1));
}

void ResetCounts(u8* cx) {
    PutLe16(cx + kCxExpected, 0);
    PutLe16(cx + kCxReceived, 0);
    PutLe16(cx + kCxAckSent, 0);
    PutLe32(cx + kCxMark, 0);
}

void OnError(u8* db, const Area& cnxs, const Area& vars, u32 k) {
    u8* cx = CnxAt(cnxs, k);
    CloseSocket(cx);
    PutLe16(cx + kCxFlags, static_cast<u16>(GetLe16(cx + kCxFlags) & ~1u));
    SetState(cx, kEaxDown);
    PutLe32(cx + kCxMark, 0);
    WriteVarStatus(db, cnxs, vars, k);
    Dispatch(db, cnxs, vars, k);
}

void OpenPort(u8* db, const Area& cnxs, const Area& vars, u32 k) {
    u8* cx = CnxAt(cnxs, k);
    CloseSocket(cx);
    ResetCounts(cx);
    SetState(cx, kEaxDown);
    if (GetLe16(cx + kCxVars) != 0) {
        char ip[kIpBytes];
        std::memcpy(ip, cx + kCxIp, kIpBytes);
        ip[kIpBytes - 1] = 0;
        int sock = -1, pending = 0;
        if (Q4Socket_CreateConnectedSocket(ip, GetLe16(cx + kCxPort), &sock, &pending) == 0 && sock >= 0) {
            PutLe32(cx + kCxSocket, static_cast<u32>(sock));
            PutLe16(cx + kCxFlags, 0);
            SetState(cx, pending ? kEaxConnecting : kEaxReceiving);
        }
    }
    WriteVarStatus(db, cnxs, vars, k);
    Dispatch(db, cnxs, vars, k);
}

// A value of the event's type, from its big-endian bytes to the host's raw
// little-endian form.
void FromWire(const u8* wire, u8 size, u8* raw) {
    std::memset(raw, 0, 8);
    for (u8 k = 0; k < size; ++k) raw[k] = wire[size - 1 - k];
}

bool NotOlder(u32 date, u32 time, const u8* other) {
    const u32 od = GetLe32(other + kVrDate), ot = GetLe32(other + kVrTime);
    return date > od || (date == od && time >= ot);
}

// One static variable event of the remote producer: the records bound to its
// identifier take it. True when values were delivered.
bool TakeEvent(u8* db, const Area& cnxs, const Area& vars, u32 k, const u8* ev, u32 n, u32 date, u32 time) {
    if (n < 5) return false;
    const u16 id = GetBe16(ev);
    const u8 type = ev[2] & 0x7F;
    const u16 index = GetBe16(ev + 3);
    // Numbers only: a string (or anything else) carries no value taken here.
    const u8 size = IsString(type) ? 0 : ValueSize(type);
    if (size == 0 || 5u + size > n) return false;
    const u8* value = ev + 5;
    u32 at = 5u + size;
    if (index == 0) at += 4;
    const u8* status = (at <= n && n - at >= 8) ? ev + at : nullptr;
    u8 raw[8];
    FromWire(value, size, raw);

    u8* cx = CnxAt(cnxs, k);
    const u32 first = GetLe16(cx + kCxFirst), count = GetLe16(cx + kCxVars);
    const u16 partner = GetLe16(cx + kCxPartner);
    const bool compare = partner != kNone && !(GetLe16(cx + kCxListFlags) & kNoStamps);
    bool delivered = false;
    for (u32 v = first; v < first + count && v < vars.count; ++v) {
        u8* vr = VarAt(vars, v);
        const u8 role = vr[kVrRole] & 0x7F;
        if (GetLe16(vr + kVrId) != id || role == kEaxCnxStatus || IsBitRole(role)) continue;
        u8* data = At(db, GetLe32(vr + kVrData));
        if (!data) continue;
        if (compare) {
            const u32 pv = partner + (v - first);
            if (pv < vars.count && !NotOlder(date, time, VarAt(vars, pv))) continue;
        }
        PutLe32(vr + kVrDate, date);
        PutLe32(vr + kVrTime, time);
        if (Locked(db, GetLe32(vr + kVrLock), vr[kVrMask])) continue;
        delivered = true;
        switch (role) {
            case kEaxValue: {
                const u8 mine = vr[kVrType] & 0x7F;
                if (IsString(mine) || ValueSize(mine) == 0) break;
                Q4VMCnv_ConvBin(data, raw, mine, type);
                if (u8* vsi = At(db, GetLe32(vr + kVrVsi)); vsi && status) {
                    PutLe32(vsi, GetBe32(status));
                    PutLe32(vsi + 4, GetBe32(status + 4));
                    PutLe32(vsi + 8, date);
                    PutLe32(vsi + 12, time);
                }
                break;
            }
            case kEaxVarStatus: {
                // Values arrive: this side is good, the partner as it stands.
                u32 s = 0;
                Pair p = PairOf(cnxs, k);
                if (p.secondary) {
                    const u8* other = p.primary == cx ? p.secondary : p.primary;
                    if (OwnCode(other) != kEaxFlowing) s = p.primary == cx ? 2u : 1u;
                }
                PutNumber(db, vr, s);
                break;
            }
            case kEaxTime: PutNumber(db, vr, time); break;
            case kEaxDate: PutNumber(db, vr, date); break;
            default: break;
        }
    }
    return delivered;
}

bool ProcessFrame(u8* db, const Area& cnxs, const Area& vars, u32 k, const u8* f, u32 length) {
    if (length < kQ4EvsFrameHead || f[0] != 'Q' || f[1] != '4' || f[4] != kQ4EvsFrameCode) return false;
    if (GetBe16(f + 2) + 4u != length) return false;
    // The events must fill the frame exactly before any is taken.
    u32 at = kQ4EvsFrameHead;
    for (u32 e = 0; e < f[5]; ++e) {
        if (length - at < 12 || length - at - 12 < f[at + 2]) return false;
        at += 12u + f[at + 2];
    }
    if (at != length) return false;
    u8* cx = CnxAt(cnxs, k);
    bool delivered = false;
    at = kQ4EvsFrameHead;
    for (u32 e = 0; e < f[5]; ++e) {
        const u8 kind = f[at], code = f[at + 1], n = f[at + 2];
        const u32 date = GetBe32(f + at + 4), time = GetBe32(f + at + 8);
        const u8* data = f + at + 12;
        if (kind == 4 && code == 255) {
            if (TakeEvent(db, cnxs, vars, k, data, n, date, time)) delivered = true;
        } else if (kind == 1 && code == 9) {
            PutLe16(cx + kCxFlags, static_cast<u16>(GetLe16(cx + kCxFlags) & ~1u));
            WriteVarStatus(db, cnxs, vars, k);
            Dispatch(db, cnxs, vars, k);
        }
        at += 12u + n;
    }
    if (delivered && !(GetLe16(cx + kCxFlags) & 1)) {
        PutLe16(cx + kCxFlags, static_cast<u16>(GetLe16(cx + kCxFlags) | 1));
        Dispatch(db, cnxs, vars, k);
    }
    return true;
}

// Throws away up to one buffer of input; false when the connection broke.
bool Discard(u8* cx) {
    int broken = 0;
    Q4Socket_Receive(static_cast<i32>(GetLe32(cx + kCxSocket)), kQ4EaxFrameBytes, cx + kCxBuffer, &broken);
    return !broken;
}

void Receive(u8* db, const Area& cnxs, const Area& vars, u32 k, u32 now) {
    u8* cx = CnxAt(cnxs, k);
    const i32 sock = static_cast<i32>(GetLe32(cx + kCxSocket));
    u8* buf = cx + kCxBuffer;
    int broken = 0;
    u16 got = GetLe16(cx + kCxReceived), want = GetLe16(cx + kCxExpected);
    if (want == 0) {
        got = static_cast<u16>(got + Q4Socket_Receive(sock, 4u - got, buf + got, &broken));
        PutLe16(cx + kCxReceived, got);
        if (broken) return OnError(db, cnxs, vars, k);
        if (got == 4) {
            const u32 total = GetBe16(buf + 2) + 4u;
            // Not an event frame, or longer than the buffer: the connection
            // cannot be trusted further.
            if (buf[0] != 'Q' || buf[1] != '4' || total > kQ4EaxFrameBytes || total < kQ4EvsFrameHead) {
                Discard(cx);
                return OnError(db, cnxs, vars, k);
            }
            want = static_cast<u16>(total);
            PutLe16(cx + kCxExpected, want);
        }
    }
    if (want != 0 && got < want) {
        got = static_cast<u16>(got + Q4Socket_Receive(sock, want - got, buf + got, &broken));
        PutLe16(cx + kCxReceived, got);
        if (broken) return OnError(db, cnxs, vars, k);
    }
    if (want == 0 || got < want) {
        if (Elapsed(now, GetLe32(cx + kCxMark)) > kQ4EaxQuietMs) {
            SetState(cx, kEaxSilent);
            Dispatch(db, cnxs, vars, k);
        }
        return;
    }
    if (!ProcessFrame(db, cnxs, vars, k, buf, want)) return OnError(db, cnxs, vars, k);
    SetState(cx, kEaxAcking);
    ResetCounts(cx);
}

void Acknowledge(u8* db, const Area& cnxs, const Area& vars, u32 k) {
    u8* cx = CnxAt(cnxs, k);
    if (!Discard(cx)) return OnError(db, cnxs, vars, k);
    const u16 sent = GetLe16(cx + kCxAckSent);
    int broken = 0;
    const u32 n = Q4Socket_Send(static_cast<i32>(GetLe32(cx + kCxSocket)), kAckBytes - sent, cx + kCxAck + sent, &broken);
    if (broken) return OnError(db, cnxs, vars, k);
    PutLe16(cx + kCxAckSent, static_cast<u16>(sent + n));
    if (sent + n < kAckBytes) return;
    SetState(cx, kEaxReceiving);
    ResetCounts(cx);
}

void LayOut(const Q4Code& code, u8* db, u32 nCnx, u32 nVar) {
    VmDbDesc dc = Q4VM_GetDesc(db, kDbBindConnections), dv = Q4VM_GetDesc(db, kDbBindVariables);
    dc.used = static_cast<u16>(nCnx);
    dv.used = static_cast<u16>(nVar);
    Q4VM_PutDesc(db, kDbBindConnections, dc);
    Q4VM_PutDesc(db, kDbBindVariables, dv);
    Area cnxs = Cnxs(db), vars = Vars(db);
    u32 cnxList = 0, varList = 0;
    Q4VMCode_GetEAX(code, &cnxList, &varList);
    VarRec v;
    u32 p = varList;
    for (u32 k = 0; k < vars.count && NextVar(code, &p, &v); ++k) {
        u8* vr = VarAt(vars, k);
        std::memset(vr, 0, kQ4EaxVarBytes);
        PutLe32(vr + kVrCt, v.ct);
        PutLe16(vr + kVrIndex, v.index);
        PutLe16(vr + kVrId, v.id);
        vr[kVrRole] = v.role;
        vr[kVrType] = v.type;
    }
    CnxRec r;
    p = cnxList;
    for (u32 k = 0; k < cnxs.count && NextCnx(code, &p, &r); ++k) {
        u8* cx = CnxAt(cnxs, k);
        std::memset(cx, 0, kQ4EaxCnxBytes);
        PutLe32(cx + kCxList, r.at);
        PutLe32(cx + kCxSocket, static_cast<u32>(-1));
        PutLe16(cx + kCxFirst, r.first);
        PutLe16(cx + kCxVars, r.count);
        PutLe16(cx + kCxPort, r.port);
        PutLe16(cx + kCxListFlags, r.flags);
        PutLe16(cx + kCxPartner, kNone);
        PutLe16(cx + kCxPartnerCnx, kNone);
        PutLe32(cx + kCxVersion, Q4VMCode_GetEATableVers(code, k + 1));
        const i32 len = Q4Code_TextLen(code, r.at + 10, kIpBytes - 1);
        std::memcpy(cx + kCxIp, code.data + r.at + 10, static_cast<u32>(len));
        static constexpr u8 kAck[kAckBytes] = {'Q', '4', 0x00, 0x0A, kQ4EvsFrameCode, 0x45, 0, 0, 0, 0, 0, 0, 4, 0};
        std::memcpy(cx + kCxAck, kAck, kAckBytes);
    }
    // Partners: a primary followed by its secondary.
    for (u32 k = 0; k + 1 < cnxs.count; ++k) {
        u8 *a = CnxAt(cnxs, k), *b = CnxAt(cnxs, k + 1);
        if (!(GetLe16(a + kCxListFlags) & kPrimary) || !(GetLe16(b + kCxListFlags) & kSecondary)) continue;
        PutLe16(a + kCxPartner, GetLe16(b + kCxFirst));
        PutLe16(b + kCxPartner, GetLe16(a + kCxFirst));
        PutLe16(a + kCxPartnerCnx, static_cast<u16>(k + 1));
        PutLe16(b + kCxPartnerCnx, static_cast<u16>(k));
    }
}

// Every connection's run inside the variable list, pairs of equal runs.
bool RunsValid(const Q4Code& code, u32 nVar) {
    u32 cnxList = 0;
    Q4VMCode_GetEAX(code, &cnxList, nullptr);
    CnxRec r, prev{};
    bool havePrev = false;
    for (u32 p = cnxList; p != 0;) {
        if (!NextCnx(code, &p, &r)) return false;
        if (static_cast<u32>(r.first) + r.count > nVar) return false;
        if ((r.flags & kSecondary) && havePrev && (prev.flags & kPrimary) && prev.count != r.count) return false;
        prev = r;
        havePrev = true;
    }
    return true;
}

}  // namespace

u32 Q4EAX_GetNbCnx(const Q4Code& code) {
    u32 c = 0, v = 0;
    CountLists(code, &c, &v);
    return std::min(c, kMaxCnx);
}

u32 Q4EAX_GetNbVar(const Q4Code& code) {
    u32 c = 0, v = 0;
    CountLists(code, &c, &v);
    return std::min(v, kMaxVars);
}

int Q4EAX_Build(const Q4Code& code, u8* db) {
    u32 nCnx = 0, nVar = 0;
    if (!db || !CountLists(code, &nCnx, &nVar) || !RunsValid(code, nVar)) return kVmErrBinding;
    const VmDbDesc dc = Q4VM_GetDesc(db, kDbBindConnections), dv = Q4VM_GetDesc(db, kDbBindVariables);
    if (nCnx > dc.allocated || nVar > dv.allocated) return kVmErrBinding;
    if (nCnx && dc.elementSize != kQ4EaxCnxBytes) return kVmErrBinding;
    if (nVar && dv.elementSize != kQ4EaxVarBytes) return kVmErrBinding;
    LayOut(code, db, nCnx, nVar);
    return kVmOk;
}

int Q4EAX_CanBuildHOT(const Q4Code& code, u8* db) {
    u32 nCnx = 0, nVar = 0;
    if (!db || !CountLists(code, &nCnx, &nVar) || !RunsValid(code, nVar)) return 1;
    const VmDbDesc dc = Q4VM_GetDesc(db, kDbBindConnections), dv = Q4VM_GetDesc(db, kDbBindVariables);
    return nCnx > dc.allocated || nVar > dv.allocated ? 1 : 0;
}

int Q4EAX_BuildHOT(const Q4Code& code, u8* db) {
    if (Q4EAX_CanBuildHOT(code, db)) return 1;
    return Q4EAX_Build(code, db) == kVmOk ? 0 : 1;
}

int Q4EAX_Link(u8* db) {
    Area vars = Vars(db);
    for (u32 k = 0; k < vars.count; ++k) {
        u8* vr = VarAt(vars, k);
        Target t;
        const u8 role = vr[kVrRole];
        if (!Resolve(db, vr[kVrType], GetLe16(vr + kVrIndex), (role & 0x80) ? GetLe32(vr + kVrCt) : 0, &t)) t = Target{};
        PutLe32(vr + kVrData, t.data);
        PutLe32(vr + kVrLock, t.lock);
        vr[kVrMask] = t.mask;
        PutLe32(vr + kVrVsi, t.data ? Offset(db, Q4Map_GetVSIByData(db, db + t.data)) : 0);
    }
    return 0;
}

int Q4EAX_Open(u8* db) {
    Area cnxs = Cnxs(db), vars = Vars(db);
    for (u32 k = 0; k < cnxs.count; ++k) OpenPort(db, cnxs, vars, k);
    return 0;
}

void Q4EAX_Close(u8* db) {
    Area cnxs = Cnxs(db);
    for (u32 k = 0; k < cnxs.count; ++k) {
        u8* cx = CnxAt(cnxs, k);
        CloseSocket(cx);
        SetState(cx, kEaxDown);
    }
}

void Q4EAX_Activate(u8* db, u32 now) {
    Area cnxs = Cnxs(db), vars = Vars(db);
    for (u32 k = 0; k < cnxs.count; ++k) {
        u8* cx = CnxAt(cnxs, k);
        if (GetLe32(cx + kCxMark) == 0) PutLe32(cx + kCxMark, now);
        const u32 elapsed = Elapsed(now, GetLe32(cx + kCxMark));
        switch (GetLe16(cx + kCxState)) {
            case kEaxDown:
                if (elapsed > kQ4EaxQuietMs && GetLe16(cx + kCxVars) != 0) OpenPort(db, cnxs, vars, k);
                break;
            case kEaxConnecting: {
                int broken = 0;
                if (Q4Socket_CheckPendingConnect(static_cast<i32>(GetLe32(cx + kCxSocket)), &broken) == 0) {
                    SetState(cx, kEaxReceiving);
                    ResetCounts(cx);
                    Dispatch(db, cnxs, vars, k);
                } else if (broken) {
                    OnError(db, cnxs, vars, k);
                }
                break;
            }
            case kEaxReceiving:
                Receive(db, cnxs, vars, k, now);
                if (GetLe16(cx + kCxState) == kEaxAcking) Acknowledge(db, cnxs, vars, k);
                break;
            case kEaxAcking: Acknowledge(db, cnxs, vars, k); break;
            case kEaxSilent:
                OnError(db, cnxs, vars, k);
                OpenPort(db, cnxs, vars, k);
                break;
            default: OnError(db, cnxs, vars, k); break;
        }
    }
}

u16 Q4EAX_State(u8* db, u32 k) {
    Area cnxs = Cnxs(db);
    return k < cnxs.count ? GetLe16(CnxAt(cnxs, k) + kCxState) : static_cast<u16>(kEaxDown);
}

u8 Q4EAX_Status(u8* db, u32 k) {
    Area cnxs = Cnxs(db);
    return k < cnxs.count ? StatusCode(cnxs, k) : static_cast<u8>(kEaxStDown);
}

bool Q4EAX_ProcessFrame(u8* db, u32 k, const u8* frame, u32 length) {
    Area cnxs = Cnxs(db), vars = Vars(db);
    if (k >= cnxs.count || !frame) return false;
    return ProcessFrame(db, cnxs, vars, k, frame, length);
}
