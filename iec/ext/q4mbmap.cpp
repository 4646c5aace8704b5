#include "iec/ext/q4mbmap.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "iec/ext/q4mb.h"
#include "iec/kernel/q4rtclk.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmmap.h"
#include "iec/kernel/q4vmstr.h"

namespace {

constexpr u32 kVsiErrorBit = 0x40000;
constexpr u32 kVsiStatus = 4, kVsiDate = 8, kVsiTime = 12;

enum Kind : u16 {
    kValueIn = 0, kValueOut = 1, kErrorCode = 2, kTrigger = 3, kRetries = 4, kHandshake = 5, kSuccessCount = 6,
    kErrorCount = 7, kResetCounters = 8, kBusy = 9, kLastError = 10, kSlaveError = 11, kSlaveErrDate = 12,
    kSlaveErrTime = 13, kSlaveResetDate = 14, kSlaveResetTime = 15, kSlaveExchanges = 16, kSlaveErrors = 17,
    kSlaveReset = 18, kStringIn = 19, kStringOut = 20,
};

u8* Map(const Q4MBView& v, u32 k) {
    if (k >= GetLe16(v.ctx + kMbHdrNMap)) return nullptr;
    return v.ctx + GetLe32(v.ctx + kMbHdrMap) + k * kMbMapBytes;
}

bool BitData(u16 function) { return function == 1 || function == 2 || function == 5 || function == 15; }
bool Is32(u16 format) { return (format & 0xF) == 2; }

// Saturating conversions of a floating value (NaN gives 0).
template <typename T>
T Saturate(double x) {
    if (std::isnan(x)) return 0;
    if (x <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    if (x >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return static_cast<T>(x);
}

// The variable's value as a number, by its base type.
double ReadNumber(u16 type, const u8* p) {
    switch (type) {
        case kQ4TypeBool: return p[0] ? 1 : 0;
        case kQ4TypeSint: return static_cast<i8>(p[0]);
        case kQ4TypeUsint: return p[0];
        case kQ4TypeInt: return static_cast<i16>(GetLe16(p));
        case kQ4TypeUint: return GetLe16(p);
        case kQ4TypeDint: return static_cast<i32>(GetLe32(p));
        case kQ4TypeUdint: case kQ4TypeTime: return GetLe32(p);
        case kQ4TypeLint: return static_cast<double>(static_cast<i64>(GetLe64(p)));
        case kQ4TypeUlint: return static_cast<double>(GetLe64(p));
        case kQ4TypeReal: return std::bit_cast<float>(GetLe32(p));
        case kQ4TypeLreal: return std::bit_cast<double>(GetLe64(p));
        default: return 0;
    }
}

// Integer bits of the variable (low bits of wider types, two's complement).
u64 ReadBits(u16 type, const u8* p) {
    switch (type) {
        case kQ4TypeBool: return p[0] ? 1 : 0;
        case kQ4TypeSint: case kQ4TypeUsint: return p[0];
        case kQ4TypeInt: case kQ4TypeUint: return GetLe16(p);
        case kQ4TypeDint: case kQ4TypeUdint: case kQ4TypeTime: return GetLe32(p);
        case kQ4TypeLint: case kQ4TypeUlint: return GetLe64(p);
        case kQ4TypeReal: return Saturate<u32>(std::bit_cast<float>(GetLe32(p)));
        case kQ4TypeLreal: return Saturate<u32>(std::bit_cast<double>(GetLe64(p)));
        default: return 0;
    }
}

// Stores an integer into the variable (wrapping to its width); floating
// variables take its value.
void WriteBits(u16 type, u8* p, u64 x) {
    switch (type) {
        case kQ4TypeBool: p[0] = x != 0; break;
        case kQ4TypeSint: case kQ4TypeUsint: p[0] = static_cast<u8>(x); break;
        case kQ4TypeInt: case kQ4TypeUint: PutLe16(p, static_cast<u16>(x)); break;
        case kQ4TypeDint: case kQ4TypeUdint: case kQ4TypeTime: PutLe32(p, static_cast<u32>(x)); break;
        case kQ4TypeLint: case kQ4TypeUlint: PutLe64(p, x); break;
        case kQ4TypeReal: PutLe32(p, std::bit_cast<u32>(static_cast<float>(x))); break;
        case kQ4TypeLreal: PutLe64(p, std::bit_cast<u64>(static_cast<double>(x))); break;
        default: break;
    }
}

// Stores a floating value into the variable, saturating integer types.
void WriteNumber(u16 type, u8* p, double x) {
    switch (type) {
        case kQ4TypeBool: p[0] = x != 0 && !std::isnan(x); break;
        case kQ4TypeSint: p[0] = static_cast<u8>(Saturate<i8>(x)); break;
        case kQ4TypeUsint: p[0] = Saturate<u8>(x); break;
        case kQ4TypeInt: PutLe16(p, static_cast<u16>(Saturate<i16>(x))); break;
        case kQ4TypeUint: PutLe16(p, Saturate<u16>(x)); break;
        case kQ4TypeDint: PutLe32(p, static_cast<u32>(Saturate<i32>(x))); break;
        case kQ4TypeUdint: case kQ4TypeTime: PutLe32(p, Saturate<u32>(x)); break;
        case kQ4TypeLint: PutLe64(p, static_cast<u64>(Saturate<i64>(x))); break;
        case kQ4TypeUlint: PutLe64(p, Saturate<u64>(x)); break;
        case kQ4TypeReal: PutLe32(p, std::bit_cast<u32>(static_cast<float>(x))); break;
        case kQ4TypeLreal: PutLe64(p, std::bit_cast<u64>(x)); break;
        default: break;
    }
}

// One mapping record being served.
struct Item {
    const Q4MBView& v;
    u8* m;
    const u8* cfg;  // mapping configuration record
    u8* rq;
    const u8* q;  // request configuration record
    u8* data;     // the variable
    u16 type, kind, format, mask;
    bool bit, scaled, server;
    u8* buf;  // the request's buffer at the mapping's offset
    u8* marker;  // the same place in the write markers (server tables of kind 1 and 3), or none

    Item(const Q4MBView& view, u8* rec) : v(view), m(rec) {
        cfg = v.cfg + GetLe32(m + kMbMpCfg);
        rq = v.ctx + GetLe32(m + kMbMpRequest);
        q = Q4MB_Config(v, rq);
        data = v.db + GetLe32(m + kMbMpData);
        type = Q4Type_Base(static_cast<u16>(GetLe16(cfg + kMbmType) & 0x7F));
        kind = GetLe16(m + kMbMpKind);
        format = GetLe16(cfg + kMbmFormat);
        mask = GetLe16(m + kMbMpMask);
        bit = m[kMbMpBit] != 0;
        const u16 rtype = GetLe16(cfg + 2);
        scaled = rtype == 5 || rtype == 6;
        server = rq[kMbRqServer] != 0;
        buf = Q4MB_Data(v, rq) + GetLe16(m + kMbMpOffset);
        const u16 f = GetLe16(q + kMbqFunction);
        marker = server && (f == 1 || f == 3) ? buf + Q4MB_BufferSize(v, rq) : nullptr;
    }
    bool Locked() const {
        const u32 lock = GetLe32(m + kMbMpLock);
        return lock && (v.db[lock] & m[kMbMpLockMask]);
    }
    float Gain() const { return std::bit_cast<float>(GetLe32(cfg + kMbmGain)); }
    float Offset() const { return std::bit_cast<float>(GetLe32(cfg + kMbmOffsetValue)); }
    u16 Register(u32 k) const { return GetLe16(buf + 2 * k); }
    u32 Value32() const {
        if ((format & 0xFFFF) == 0x8002) return static_cast<u32>(Register(1)) << 16 | Register(0);
        if (Is32(format)) return static_cast<u32>(Register(0)) << 16 | Register(1);
        return 0;
    }
    void OnChange() {
        if (GetLe16(q + kMbqMode) == 3) rq[kMbRqTrigger] = 1;
    }
};

// Variable -> buffer, 16-bit formats and bit data; handles the trigger kinds.
void Output(Item& it) {
    const u32 u = static_cast<u32>(ReadBits(it.type, it.data));
    switch (it.kind) {
        case kTrigger:
            if (u & 0xFFFF) it.rq[kMbRqTrigger] = 1;
            return;
        case kResetCounters:
            if (u & 0xFFFF) {
                PutLe16(it.rq + kMbRqSuccess, 0);
                PutLe16(it.rq + kMbRqErrors, 0);
                WriteBits(it.type, it.data, 0);
            }
            return;
        case kHandshake:
            if ((u & 0xFFFF) && it.rq[kMbRqHandshake] == 0) {
                it.rq[kMbRqTrigger] = 1;
                it.rq[kMbRqHandshake] = 1;
            } else if (it.rq[kMbRqHandshake] == 255) {
                it.rq[kMbRqHandshake] = 0;
                WriteBits(it.type, it.data, 0);
            }
            return;
        default: break;
    }
    if (it.bit) {
        const u8 old = it.buf[0];
        it.buf[0] = (u & 0xFFFF) ? static_cast<u8>(old | it.mask) : static_cast<u8>(old & ~it.mask);
        if (it.buf[0] != old) it.OnChange();
        return;
    }
    if (Is32(it.format)) {
        u32 x;
        if (it.scaled) {
            const double y = ReadNumber(it.type, it.data) * it.Gain() + it.Offset();
            x = it.type == kQ4TypeReal || it.type == kQ4TypeLreal ? std::bit_cast<u32>(static_cast<float>(y))
                                                                  : Saturate<u32>(static_cast<float>(y));
        } else if (it.type == kQ4TypeReal) {
            x = GetLe32(it.data);
        } else if (it.type == kQ4TypeLreal) {
            x = std::bit_cast<u32>(static_cast<float>(ReadNumber(it.type, it.data)));
        } else {
            x = static_cast<u32>(ReadBits(it.type, it.data));
        }
        const u32 before = GetLe32(it.buf);
        const bool lowFirst = it.format == 0x8002;
        PutLe16(it.buf, static_cast<u16>(lowFirst ? x : x >> 16));
        PutLe16(it.buf + 2, static_cast<u16>(lowFirst ? x >> 16 : x));
        if (GetLe32(it.buf) != before) it.OnChange();
        return;
    }
    u32 w = u;
    if (it.scaled) w = Saturate<u32>(static_cast<float>(ReadNumber(it.type, it.data) * it.Gain() + it.Offset()));
    const u16 old = it.Register(0);
    u16 value;
    if (it.mask == 0xFFFF) value = static_cast<u16>(w);
    else if (it.type == kQ4TypeBool) value = w ? it.mask : 0;
    else value = static_cast<u16>(w & it.mask);
    const u16 now = static_cast<u16>(value | (old & ~it.mask));
    PutLe16(it.buf, now);
    if (now != old) it.OnChange();
}

void OutString(Item& it) {
    const u8* s = it.data;
    const u32 regs = std::min<u32>(it.format, 127);
    const u32 len = std::min<u32>(Q4Str_GetLength(s), 254);
    bool changed = false;
    for (u32 k = 0; k < regs; ++k) {
        const u8 hi = 2 * k < len ? s[2 + 2 * k] : 0, lo = 2 * k + 1 < len ? s[3 + 2 * k] : 0;
        const u16 r = static_cast<u16>(hi << 8 | lo);
        if (it.Register(k) != r) PutLe16(it.buf + 2 * k, r), changed = true;
    }
    if (changed) it.OnChange();
}

// A server table of kind 1 or 3 whose mapped data no client wrote since the
// last pass takes the variable instead.
bool NotWritten(const Item& it) {
    if (!it.marker || (it.kind != kValueIn && it.kind != kStringIn)) return false;
    if (it.bit) return (it.marker[0] & it.mask) == 0;
    if (it.kind == kStringIn) return it.marker[0] == 0;
    return it.marker[0] == 0 && (!Is32(it.format) || it.marker[2] == 0);
}

// Buffer -> variable; 1 when the variable was written.
int Input(Item& it) {
    if (it.Locked()) return 0;
    if (it.kind == kValueIn && (GetLe16(it.q + kMbqFunction) & 0xFF) == 101 && !it.server) {
        const u32 reg = GetLe16(it.cfg + kMbmOffset);
        if (reg == 0) return 0;
        const u8* p = Q4MB_Data(it.v, it.rq) + 6 * reg - 4;
        u64 x = 0;
        for (u32 b = 0; b < 6; ++b) x |= static_cast<u64>(p[b]) << (8 * b);
        WriteBits(it.type, it.data, x);
        return 0;
    }
    if (NotWritten(it)) {
        Output(it);
        return 0;
    }
    if (it.rq[kMbRqNoData]) return 0;
    u32 v16 = 0;
    switch (it.kind) {
        case kErrorCode: case kLastError: v16 = GetLe16(it.rq + kMbRqError); break;
        case kRetries: v16 = GetLe16(it.rq + kMbRqRetries); break;
        case kSuccessCount: v16 = GetLe16(it.rq + kMbRqSuccess); break;
        case kErrorCount: v16 = GetLe16(it.rq + kMbRqErrors); break;
        case kBusy: {
            const u16 s = GetLe16(it.rq + kMbRqState);
            v16 = s == kMbRqBusy || s == 5;
            break;
        }
        default: v16 = (it.bit ? it.buf[0] : it.Register(0)) & it.mask; break;
    }
    if (it.kind == kLastError && v16 == 0) return 1;
    const bool is32 = Is32(it.format) && !it.bit && it.kind == kValueIn;
    const u32 w = is32 ? it.Value32() : 0;
    if (it.scaled) {
        double x;
        if ((it.type == kQ4TypeReal || it.type == kQ4TypeLreal) && is32) x = std::bit_cast<float>(w);
        else x = static_cast<float>(is32 ? w : v16);
        if (it.Gain() != 0) x = (x - it.Offset()) / it.Gain();
        WriteNumber(it.type, it.data, static_cast<float>(x));
        return 1;
    }
    switch (it.type) {
        case kQ4TypeReal:
            PutLe32(it.data, is32 ? w : std::bit_cast<u32>(static_cast<float>(v16)));
            return 1;
        case kQ4TypeLreal:
            WriteNumber(it.type, it.data, is32 ? static_cast<double>(std::bit_cast<float>(w)) : v16);
            return 1;
        case kQ4TypeBool: case kQ4TypeSint: case kQ4TypeUsint: case kQ4TypeInt: case kQ4TypeUint:
            WriteBits(it.type, it.data, v16);
            return 1;
        case kQ4TypeDint: case kQ4TypeUdint: case kQ4TypeTime: case kQ4TypeLint: case kQ4TypeUlint:
            WriteBits(it.type, it.data, is32 ? w : v16);
            return 1;
        default: return 1;
    }
}

int InString(Item& it) {
    if (it.Locked()) return 0;
    if (NotWritten(it)) {
        OutString(it);
        return 0;
    }
    if (it.rq[kMbRqNoData]) return 0;
    u8* s = it.data;
    const u32 regs = std::min<u32>(it.format, 127);
    char text[256];
    u32 n = 0;
    for (u32 k = 0; k < regs; ++k) text[n++] = static_cast<char>(it.Register(k) >> 8), text[n++] = static_cast<char>(it.Register(k));
    n = static_cast<u32>(strnlen(text, n));
    Q4Str_AscForce(s, text, n);
    return 1;
}

void Slave(Item& it) {
    if (!GetLe32(it.rq + kMbRqSlave)) return;
    u8* sl = it.v.ctx + GetLe32(it.rq + kMbRqSlave);
    if (it.kind == kSlaveReset) {
        if ((ReadBits(it.type, it.data) & 0xFF) == 0) return;
        PutLe16(sl + kMbSlLastError, 0);
        PutLe32(sl + kMbSlErrDate, 0);
        PutLe32(sl + kMbSlErrTime, 0);
        PutLe32(sl + kMbSlExchanges, 0);
        PutLe32(sl + kMbSlErrors, 0);
        PutLe32(sl + kMbSlResetDate, Q4RtClk_GetCurDateStamp());
        PutLe32(sl + kMbSlResetTime, Q4RtClk_GetCurTimeStamp());
        WriteBits(it.type, it.data, 0);
        return;
    }
    if (it.Locked()) return;
    static constexpr u32 kAt[] = {kMbSlLastError, kMbSlErrDate, kMbSlErrTime, kMbSlResetDate, kMbSlResetTime,
                                  kMbSlExchanges, kMbSlErrors};
    const u32 at = kAt[it.kind - kSlaveError];
    WriteBits(it.type, it.data, it.kind == kSlaveError ? GetLe16(sl + at) : GetLe32(sl + at));
}

void UpdateStatus(Item& it) {
    const u32 vsi = GetLe32(it.m + kMbMpVsi);
    if (!vsi || (GetLe16(it.q + kMbqFunction) & 0xFF) == 101) return;
    u8* p = it.v.db + vsi;
    u32 bits = GetLe32(p + kVsiStatus);
    bits = GetLe16(it.rq + kMbRqError) ? bits | kVsiErrorBit : bits & ~kVsiErrorBit;
    PutLe32(p + kVsiStatus, bits);
    PutLe32(p + kVsiDate, GetLe32(it.rq + kMbRqDate));
    PutLe32(p + kVsiTime, GetLe32(it.rq + kMbRqTime));
}

// Bytes of the buffer a mapping touches at its byte offset.
u32 Width(u16 kind, u16 format, bool bit) {
    if (kind == kStringIn || kind == kStringOut) return 2 * std::min<u32>(format, 127);
    if (kind != kValueIn && kind != kValueOut) return 0;
    if (bit) return 1;
    return Is32(format) ? 4 : 2;
}

u8* Variable(u8* db, u16 rtype, u16 type, u16 index, u32 ctOffset, u8* lockMask) {
    const u16 base = Q4Type_Base(static_cast<u16>(type & 0x7F));
    if (rtype == 4 || rtype == 6) {
        u32 bytes = 0;
        u8* seg = Q4VM_AreaPtr(db, kDbCtSegment, &bytes);
        const u32 size = base == kQ4TypeString ? 3 : Q4Type_Size(base);
        if (!seg || size == 0 || u64{ctOffset} + size > bytes) return nullptr;
        if (base == kQ4TypeString && u64{ctOffset} + seg[ctOffset] + 3 > bytes) return nullptr;
        *lockMask = 0;
        return seg + ctOffset;
    }
    if (type & kQ4TypeExternal) {
        // A member of a structure or an array element published through the
        // external-variable pointer table.
        *lockMask = kQ4LockExternal;
        return Q4Tools_External(db, base, index);
    }
    switch (base) {
        case kQ4TypeBool: case kQ4TypeSint: case kQ4TypeUsint: *lockMask = 0x01; break;
        case kQ4TypeInt: case kQ4TypeUint: *lockMask = 0x02; break;
        case kQ4TypeDint: case kQ4TypeReal: case kQ4TypeUdint: *lockMask = 0x04; break;
        case kQ4TypeLint: case kQ4TypeLreal: case kQ4TypeUlint: *lockMask = 0x08; break;
        case kQ4TypeTime: *lockMask = 0x10; break;
        case kQ4TypeString: *lockMask = 0x20; return Q4Tools_String(db, index);
        default: return nullptr;
    }
    return Q4Tools_GetAnyParam(db, base, index, nullptr, nullptr);
}

}  // namespace

void Q4MB_Link(u8* db) {
    Q4MBView v;
    if (!Q4MB_View(db, &v)) return;
    // Mapping configuration records in order, one context record each whose
    // request exists.
    u32 k = 0;
    const u16 nMap = GetLe16(v.ctx + kMbHdrNMap);
    for (u32 at = 8; at + 4 <= v.cfgBytes && k < nMap;) {
        const u16 length = GetLe16(v.cfg + at), rtype = GetLe16(v.cfg + at + 2);
        if (length < 4) break;
        const u32 here = at;
        at += length;
        if (rtype < 3 || rtype > 6) continue;
        u8* m = Map(v, k++);
        std::memset(m, 0, kMbMapBytes);
        const u8* c = v.cfg + here;
        PutLe32(m + kMbMpCfg, here);
        u8* rq = nullptr;
        for (u32 r = 0; u8* x = Q4MB_Request(v, r); ++r)
            if (GetLe16(Q4MB_Config(v, x) + kMbqId) == GetLe16(c + kMbmRequest)) {
                rq = x;
                break;
            }
        if (!rq) continue;
        const u8* q = Q4MB_Config(v, rq);
        const u16 kind = GetLe16(c + kMbmKind), format = GetLe16(c + kMbmFormat), off = GetLe16(c + kMbmOffset);
        const bool bit = BitData(static_cast<u16>(GetLe16(q + kMbqFunction) & (rq[kMbRqServer] ? 0xFFFF : 0xFF)));
        const u32 byteOff = bit ? off / 8u : 2u * off;
        const u16 mask = bit ? static_cast<u16>(1u << (off % 8)) : GetLe16(c + kMbmMask);
        // Every byte a mapping touches lies inside its request's buffer.
        const u32 width = Width(kind, format, bit);
        const bool fc101 = !rq[kMbRqServer] && (GetLe16(q + kMbqFunction) & 0xFF) == 101;
        if (fc101 ? (kind == kValueIn && off > 16) : (width && byteOff + width > Q4MB_BufferSize(v, rq))) continue;
        if (kind > kStringOut) continue;
        u8 lockMask = 0;
        u8* data = Variable(db, rtype, GetLe16(c + kMbmType), GetLe16(c + kMbmIndex), GetLe32(c + kMbmCtOffset), &lockMask);
        const bool stringKind = kind == kStringIn || kind == kStringOut;
        const bool isString = Q4Type_Base(static_cast<u16>(GetLe16(c + kMbmType) & 0x7F)) == kQ4TypeString;
        if (!data || stringKind != isString) continue;
        PutLe32(m + kMbMpRequest, static_cast<u32>(rq - v.ctx));
        PutLe32(m + kMbMpData, static_cast<u32>(data - db));
        u32 lockBytes = 0;
        u8* locks = Q4VM_AreaPtr(db, kDbLockFlags, &lockBytes);
        if (locks && lockMask && GetLe16(c + kMbmIndex) < lockBytes)
            PutLe32(m + kMbMpLock, static_cast<u32>(locks + GetLe16(c + kMbmIndex) - db));
        PutLe16(m + kMbMpOffset, static_cast<u16>(byteOff));
        PutLe16(m + kMbMpMask, mask);
        PutLe16(m + kMbMpKind, kind);
        m[kMbMpBit] = bit ? 1 : 0;
        m[kMbMpLockMask] = lockMask;
        if (u8* vsi = Q4Map_GetVSIByData(db, data)) PutLe32(m + kMbMpVsi, static_cast<u32>(vsi - db));
    }
}

void Q4MB_Exchange(u8* db) {
    Q4MBView v;
    if (!Q4MB_View(db, &v)) return;
    for (u32 k = 0; u8* m = Map(v, k); ++k) {
        if (!GetLe32(m + kMbMpRequest) || !GetLe32(m + kMbMpData)) continue;
        Item it(v, m);
        const u16 state = GetLe16(it.rq + kMbRqState);
        const bool ready = state == kMbRqDone, open = ready || state == kMbRqFailed;
        switch (it.kind) {
            case kValueIn:
            case kStringIn:
                if (!ready) break;
                if ((it.kind == kValueIn ? Input(it) : InString(it)) || !it.server) UpdateStatus(it);
                break;
            case kValueOut:
                if (open || it.rq[kMbRqNoData]) Output(it);
                break;
            case kStringOut:
                if (open) OutString(it);
                break;
            case kTrigger: case kHandshake: case kResetCounters:
                if (open) Output(it);
                break;
            case kErrorCode: case kRetries: case kSuccessCount: case kErrorCount: case kBusy: case kLastError:
                if (!it.Locked()) Input(it);
                break;
            default:
                if (!it.server) Slave(it);
                break;
        }
    }
    // Write markers of the server tables: written values are in the
    // variables now.
    for (u32 k = 0; u8* rq = Q4MB_Request(v, k); ++k) {
        const u16 f = GetLe16(Q4MB_Config(v, rq) + kMbqFunction);
        if (rq[kMbRqServer] && (f == 1 || f == 3)) {
            const u32 n = Q4MB_BufferSize(v, rq);
            std::memset(Q4MB_Data(v, rq) + n, 0, n);
        }
    }
}
