#include "iec/ext/q4vmcan.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "iec/ext/q4can.h"
#include "iec/kernel/q4fbstd.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmcnv.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmstr.h"

namespace {

constexpr u32 kDayMs = 86400000;
constexpr u16 kCallbackId = 1;  // the port record's callback: Q4VMCan_CB

static_assert(kCanPrHandle + 4 <= kCanPrBytes && kCanMrMarker + 1 <= kCanMrBytes && kCanVrLockMask + 1 <= kCanVrBytes);

enum Kind : u8 {
    kRcvBytes = 1,
    kSndBytes = 2,
    kRcvBits = 17,
    kSndBits = 18,
    kRcv19 = 33,
    kSnd19 = 34,
    kErrors = 129,
    kBusOff = 130,
    kMsgNew = 131,
    kPortReceived = 132,
    kRequest = 133,
    kDriverStatus = 134,
    kDriverParam = 135,
    kLength = 136,
};

// The CAN definition of a code image, checked whole.
struct Def {
    u32 at = 0;
    u16 version = 0, ports = 0, rcv = 0, snd = 0, vars = 0, dyn = 0;
    u32 portsAt = 0, varsAt = 0, scaleAt = 0;
    std::vector<u32> msgs;  // offsets of the receive, then the send definitions
    u32 Messages() const { return u32{rcv} + snd + 2u * dyn * ports; }
};

enum class Parsed { kNone, kGood, kRefused };

bool Fits(const Q4Code& c, u64 at, u64 bytes) { return at + bytes <= c.size; }

Parsed Parse(const Q4Code& c, Def* d) {
    d->at = c.data ? Q4VMCode_GetCanDef(c) : 0;
    if (d->at == 0) return Parsed::kNone;
    const u8* h = c.data + d->at;
    if (!Fits(c, d->at, kCanDefScaleAt)) return Parsed::kRefused;
    d->version = GetLe16(h + kCanDefVersion);
    if (d->version >= 2 && !Fits(c, d->at, kCanDefScaleAt + 4)) return Parsed::kRefused;
    d->ports = GetLe16(h + kCanDefPorts);
    d->rcv = GetLe16(h + kCanDefRcv);
    d->snd = GetLe16(h + kCanDefSnd);
    d->vars = GetLe16(h + kCanDefVars);
    d->dyn = GetLe16(h + kCanDefDyn);
    d->portsAt = GetLe32(h + kCanDefPortsAt);
    d->varsAt = GetLe32(h + kCanDefVarsAt);
    d->scaleAt = d->version >= 2 ? GetLe32(h + kCanDefScaleAt) : 0;
    if (d->Messages() > 0xFFFF) return Parsed::kRefused;
    if (!Fits(c, d->portsAt, u64{d->ports} * kCanPdBytes) || !Fits(c, d->varsAt, u64{d->vars} * kCanVdBytes))
        return Parsed::kRefused;
    if (d->version >= 2 && !Fits(c, d->scaleAt, u64{d->vars} * kCanScaleBytes)) return Parsed::kRefused;
    // Per-port counts must stay within the totals, or the port lists would
    // run into the next table.
    u32 rcvSum = 0, sndSum = 0;
    for (u32 p = 0; p < d->ports; ++p) {
        const u8* pd = c.data + d->portsAt + p * kCanPdBytes;
        rcvSum += GetLe16(pd + kCanPdRcv);
        sndSum += GetLe16(pd + kCanPdSnd);
    }
    if (rcvSum > d->rcv || sndSum > d->snd) return Parsed::kRefused;
    d->msgs.clear();
    for (int table = 0; table < 2; ++table) {
        u64 at = GetLe32(h + (table == 0 ? kCanDefRcvAt : kCanDefSndAt));
        for (u32 m = 0, n = table == 0 ? d->rcv : d->snd; m < n; ++m) {
            if (!Fits(c, at, kCanMdBytes)) return Parsed::kRefused;
            const u8* md = c.data + at;
            if (GetLe16(md + kCanMdPort) >= d->ports) return Parsed::kRefused;
            const u64 next = at + kCanMdBytes + ((md[kCanMdFlags] & kCanMdHasInit) ? kCanMdInitBytes : 0);
            if (next > c.size) return Parsed::kRefused;
            d->msgs.push_back(static_cast<u32>(at));
            at = next;
        }
    }
    for (u32 v = 0; v < d->vars; ++v) {
        const u8* vd = c.data + d->varsAt + v * kCanVdBytes;
        const bool send = vd[kCanVdSend] != 0;
        if (GetLe16(vd + kCanVdMessage) >= (send ? d->snd : d->rcv)) return Parsed::kRefused;
        const u8 kind = vd[kCanVdKind];
        // A string record does not fit the 8 bytes of a frame, and a bit
        // field is packed through a 32-bit value.
        if ((kind == kRcvBytes || kind == kSndBytes || kind == kRcvBits || kind == kSndBits) &&
            vd[kCanVdRaw] == kQ4TypeString)
            return Parsed::kRefused;
        if ((kind == kRcvBits || kind == kSndBits) && vd[kCanVdLength] > 32) return Parsed::kRefused;
    }
    return Parsed::kGood;
}

u8* Area(u8* db, u32 area, u32 elem, u32 index) {
    u32 bytes = 0;
    u8* base = Q4VM_AreaPtr(db, area, &bytes);
    if (!base || u64{index + 1} * elem > bytes) return nullptr;
    return base + u64{index} * elem;
}
u16 Used(const u8* db, u32 area) { return Q4VM_GetDesc(db, area).used; }
void SetUsed(u8* db, u32 area, u16 used) {
    VmDbDesc d = Q4VM_GetDesc(db, area);
    d.used = used;
    Q4VM_PutDesc(db, area, d);
}

u8* Msg(u8* db, u32 index) { return Area(db, kDbCanMessages, kCanMrBytes, index); }
u32 MsgIndex(u8* db, const u8* msg) {
    return static_cast<u32>((msg - Q4VM_AreaPtr(db, kDbCanMessages, nullptr)) / kCanMrBytes);
}
u16 Flags(const u8* r, u32 at) { return GetLe16(r + at); }
void SetFlags(u8* r, u32 at, u16 f) { PutLe16(r + at, f); }
void AddFlags(u8* r, u32 at, u16 f) { SetFlags(r, at, static_cast<u16>(Flags(r, at) | f)); }
void ClearFlags(u8* r, u32 at, u16 f) { SetFlags(r, at, static_cast<u16>(Flags(r, at) & ~f)); }

const u8* Image(u8* db, u32 offset) {
    const Q4Code& c = Q4VM_CodeOf(db);
    return c.data && offset < c.size ? c.data + offset : nullptr;
}

// The port's name, NUL-terminated whatever the definition holds.
void PortName(u8* db, const u8* port, char* out) {
    const u8* def = Image(db, GetLe32(port + kCanPrDef));
    out[0] = 0;
    if (!def) return;
    std::memcpy(out, def + kCanPdName, kCanPdNameBytes);
    out[kCanPdNameBytes] = 0;
}

void CloseFirst(u8* db, u32 count) {
    for (u32 p = 0; p < count; ++p)
        if (u8* port = Q4VMCan_Port(db, p)) Q4Can_Close(port);
}

// The variable's address in the database and its lock byte, or false when it
// is not a whole variable of its table or the CT segment.
bool LocateVariable(u8* db, const u8* vd, u32* data, u32* lock, u8* mask) {
    const u16 type = vd[kCanVdType], index = GetLe16(vd + kCanVdIndex);
    *lock = 0;
    *mask = 0;
    if (index != 0) {
        u8* p = Q4Tools_GetAnyParam(db, type, index, nullptr, nullptr);
        if (!p) return false;
        *data = static_cast<u32>(p - db);
        if (u8* l = Q4Tools_Element(db, kDbLockFlags, index)) *lock = static_cast<u32>(l - db);
        const Q4TypeInfo* t = Q4Type_Info(type);
        *mask = t && t->storage != kQ4ClassString ? t->lockBit : 0;
        return true;
    }
    u32 bytes = 0;
    u8* ct = Q4VM_AreaPtr(db, kDbCtSegment, &bytes);
    const u64 off = GetLe32(vd + kCanVdCtOffset);
    const Q4TypeInfo* t = Q4Type_Info(type);
    if (!ct || !t || t->storage == kQ4ClassComplex) return false;
    u64 width = t->size;
    if (t->storage == kQ4ClassString) width = off + 3 <= bytes ? ct[off] + u64{3} : u64{bytes} + 1;
    if (off + width > bytes) return false;
    *data = static_cast<u32>(ct + off - db);
    return true;
}

int BuildFrom(u8* db, const Q4Code& c, const Def& d) {
    if (d.ports > Q4VM_GetDesc(db, kDbCanPorts).allocated || d.Messages() > Q4VM_GetDesc(db, kDbCanMessages).allocated ||
        d.vars > Q4VM_GetDesc(db, kDbCanVariables).allocated)
        return 1;
    // Ports: their receive and send lists, then their dynamic lists after
    // every static message.
    u32 nextRcv = 0, nextSnd = d.rcv, nextDyn = u32{d.rcv} + d.snd;
    for (u32 p = 0; p < d.ports; ++p) {
        u8* port = Q4VMCan_Port(db, p);
        const u32 pdAt = d.portsAt + p * kCanPdBytes;
        const u8* pd = c.data + pdAt;
        if (!port) return 1;
        std::memset(port, 0, kCanPrBytes);
        PutLe32(port + kCanPrDef, pdAt);
        PutLe32(port + kCanPrName, pdAt + kCanPdName);
        u16 flags = kCanPortFirst;
        if (GetLe16(pd + kCanPdMode) == 1) flags |= kCanPortMode1;
        PutLe16(port + kCanPrFlags, flags);
        PutLe16(port + kCanPrParam, GetLe16(pd + kCanPdParam));
        PutLe16(port + kCanPrDynCount, d.dyn);
        PutLe16(port + kCanPrRcvFirst, static_cast<u16>(nextRcv));
        PutLe16(port + kCanPrRcvCount, GetLe16(pd + kCanPdRcv));
        PutLe16(port + kCanPrSndFirst, static_cast<u16>(nextSnd));
        PutLe16(port + kCanPrSndCount, GetLe16(pd + kCanPdSnd));
        nextRcv += GetLe16(pd + kCanPdRcv);
        nextSnd += GetLe16(pd + kCanPdSnd);
        PutLe16(port + kCanPrDynRcv, static_cast<u16>(nextDyn));
        PutLe16(port + kCanPrDynSnd, static_cast<u16>(nextDyn + d.dyn));
        nextDyn += 2u * d.dyn;
        PutLe16(port + kCanPrCallback, kCallbackId);
        PutLe32(port + kCanPrHandle, static_cast<u32>(-1));
    }
    SetUsed(db, kDbCanPorts, d.ports);
    for (u32 m = 0; m < d.Messages(); ++m) {
        u8* msg = Msg(db, m);
        if (!msg) return 1;
        std::memset(msg, 0, kCanMrBytes);
        if (m >= d.msgs.size()) continue;  // dynamic: cleared
        const u8* md = c.data + d.msgs[m];
        PutLe32(msg + kCanMrDef, d.msgs[m]);
        PutLe32(msg + kCanMrId, GetLe32(md + kCanMdId));
        msg[kCanMrLength] = std::min<u8>(md[kCanMdLength], kQ4CanMaxData);
        if (md[kCanMdFlags] & kCanMdHasInit) std::memcpy(msg + kCanMrData, md + kCanMdBytes, kCanMdInitBytes);
        if (m >= d.rcv) {
            u16 f = kCanMsgDeclaredSend;
            if (md[kCanMdFlags] & kCanMdDriverFlag) f |= kCanMsgDriver;
            SetFlags(msg, kCanMrFlags, f);
        }
    }
    SetUsed(db, kDbCanMessages, static_cast<u16>(u32{d.rcv} + d.snd));
    for (u32 v = 0; v < d.vars; ++v) {
        u8* vr = Area(db, kDbCanVariables, kCanVrBytes, v);
        const u32 vdAt = d.varsAt + v * kCanVdBytes;
        const u8* vd = c.data + vdAt;
        if (!vr) return 1;
        std::memset(vr, 0, kCanVrBytes);
        PutLe32(vr + kCanVrDef, vdAt);
        if (d.version >= 2) {
            const u32 sAt = d.scaleAt + v * kCanScaleBytes;
            const float scale = std::bit_cast<float>(GetLe32(c.data + sAt)),
                        offset = std::bit_cast<float>(GetLe32(c.data + sAt + 4));
            if (scale != 1.0f || offset != 0.0f) PutLe32(vr + kCanVrScale, sAt);
        }
        const u32 m = GetLe16(vd + kCanVdMessage) + (vd[kCanVdSend] ? u32{d.rcv} : 0);
        PutLe16(vr + kCanVrMessage, static_cast<u16>(m));
        u32 data = 0, lock = 0;
        u8 mask = 0;
        if (!LocateVariable(db, vd, &data, &lock, &mask)) return 1;
        PutLe32(vr + kCanVrData, data);
        PutLe32(vr + kCanVrLock, lock);
        vr[kCanVrLockMask] = mask;
    }
    SetUsed(db, kDbCanVariables, d.vars);
    // Every port is tried; the build fails when any could not be opened, and
    // then closes the ones that did.
    Q4Can_PreOpen(db);
    int result = 0;
    for (u32 p = 0; p < d.ports; ++p) {
        u8* port = Q4VMCan_Port(db, p);
        char name[kCanPdNameBytes + 1];
        PortName(db, port, name);
        if (Q4Can_Open(port, name) != 0) result = 1;
    }
    if (result) {
        CloseFirst(db, d.ports);
        Q4Can_PostClose(db);
    }
    return result;
}

void ClearUsed(u8* db) {
    SetUsed(db, kDbCanPorts, 0);
    SetUsed(db, kDbCanMessages, 0);
    SetUsed(db, kDbCanVariables, 0);
}

// --- Variables ----------------------------------------------------------------------

struct Var {
    const u8* def;
    const u8* scale;  // REAL scale, REAL offset; null without scaling
    u8* msg;
    u8* data;
    bool locked;
};

void Put32(u8* buf, float f) { PutLe32(buf, std::bit_cast<u32>(f)); }
float Get32(const u8* buf) { return std::bit_cast<float>(GetLe32(buf)); }

// The variable as a raw value of rawType in buf (8 bytes, zero-filled).
void ToRaw(const Var& v, u16 rawType, u8* buf) {
    std::memset(buf, 0, 8);
    const u16 type = v.def[kCanVdType];
    if (!v.scale) {
        Q4VMCnv_ConvBin(buf, v.data, rawType, type);
        return;
    }
    u8 f[8] = {};
    Q4VMCnv_ConvBin(f, v.data, kQ4TypeReal, type);
    Put32(f, Get32(f) * Get32(v.scale) + Get32(v.scale + 4));
    Q4VMCnv_ConvBin(buf, f, rawType, kQ4TypeReal);
}

// The raw value of rawType in buf into the variable; with scaling the
// variable then becomes (value - offset) / scale.
void FromRaw(const Var& v, u16 rawType, const u8* buf) {
    const u16 type = v.def[kCanVdType];
    Q4VMCnv_ConvBin(v.data, buf, type, rawType);
    if (!v.scale) return;
    u8 f[8] = {};
    Q4VMCnv_ConvBin(f, v.data, kQ4TypeReal, type);
    Put32(f, (Get32(f) - Get32(v.scale + 4)) / Get32(v.scale));
    Q4VMCnv_ConvBin(v.data, f, type, kQ4TypeReal);
}

void PutUdint(const Var& v, u32 value) {
    if (v.locked) return;
    u8 buf[8] = {};
    PutLe32(buf, value);
    Q4VMCnv_ConvBin(v.data, buf, v.def[kCanVdType], kQ4TypeUdint);
}
u32 GetUdint(const Var& v) {
    u8 buf[8] = {};
    Q4VMCnv_ConvBin(buf, v.data, kQ4TypeUdint, v.def[kCanVdType]);
    return GetLe32(buf);
}

u32 StartBit(u8 mask) { return mask ? static_cast<u32>(std::countr_zero(mask)) : 0; }

// The bits of a bit field in frame order: bit k of the field (k from 0) is
// bit pos[k] of the 64 data bits, or beyond them (64 and up: read as 0,
// never written).
u32 BitAt(const u8* def, u32 k) {
    const u32 off = def[kCanVdOffset];
    const u8 mask = def[kCanVdMask];
    if (!def[kCanVdOrder]) return off * 8 + StartBit(mask) + k;
    // Downwards from the bit below the start mask (bit 7 for 0 or 1),
    // continuing at bit 7 of the next byte.
    const u32 first = mask <= 1 ? 7 : StartBit(mask) - 1;
    const u32 byte = off + (k > first ? (k - first - 1) / 8 + 1 : 0);
    const u32 bit = k <= first ? first - k : 7 - (k - first - 1) % 8;
    return byte * 8 + bit;
}

void Exchange(u8* db, const Var& v, u8* port) {
    const u8* def = v.def;
    u8* data = v.msg + kCanMrData;
    const u32 off = def[kCanVdOffset], len = def[kCanVdLength];
    const u8 mask = def[kCanVdMask];
    const u16 raw = def[kCanVdRaw];
    const bool fresh = Flags(v.msg, kCanMrFlags) & kCanMsgNew;
    const u32 fieldBytes = (len + 7) / 8;
    switch (def[kCanVdKind]) {
        case kRcvBytes: {
            if (!fresh || v.locked || off + len > 8) return;
            u8 buf[8] = {};
            if (mask == 0) {
                std::memcpy(buf, data + off, len);
                if (def[kCanVdOrder] && len >= 2) std::reverse(buf, buf + len);
            } else {
                buf[0] = (off < 8 && (data[off] & mask)) ? 1 : 0;
            }
            FromRaw(v, raw, buf);
            return;
        }
        case kSndBytes: {
            if (off + len > 8) return;
            u8 buf[8];
            ToRaw(v, raw, buf);
            if (def[kCanVdOrder] && len > 1) std::reverse(buf, buf + len);
            if (mask == 0) {
                if (std::memcmp(data + off, buf, len) != 0) {
                    std::memcpy(data + off, buf, len);
                    AddFlags(v.msg, kCanMrFlags, kCanMsgChanged);
                }
            } else if (off < 8) {
                const bool want = buf[0] != 0;
                if (((data[off] & mask) != 0) != want) {
                    data[off] = static_cast<u8>(want ? data[off] | mask : data[off] & ~mask);
                    AddFlags(v.msg, kCanMrFlags, kCanMsgChanged);
                }
            }
            return;
        }
        case kRcvBits: {
            if (!fresh || v.locked || off + fieldBytes > 8) return;
            u32 value = 0;
            for (u32 k = 0; k < len; ++k) {
                const u32 at = BitAt(def, k);
                const u32 bit = at < 64 ? (data[at / 8] >> (at % 8)) & 1u : 0;
                value |= bit << (def[kCanVdOrder] ? len - 1 - k : k);
            }
            u8 buf[8] = {};
            PutLe32(buf, value);
            FromRaw(v, raw, buf);
            return;
        }
        case kSndBits: {
            if (off + fieldBytes > 8) return;
            u8 buf[8];
            ToRaw(v, raw, buf);
            const u32 value = GetLe32(buf);
            bool changed = false;
            for (u32 k = 0; k < len; ++k) {
                const u32 at = BitAt(def, k);
                if (at >= 64) continue;
                const bool want = (value >> (def[kCanVdOrder] ? len - 1 - k : k)) & 1u;
                u8& b = data[at / 8];
                const u8 m = static_cast<u8>(1u << (at % 8));
                if (((b & m) != 0) != want) {
                    b = static_cast<u8>(want ? b | m : b & ~m);
                    changed = true;
                }
            }
            if (changed) AddFlags(v.msg, kCanMrFlags, kCanMsgChanged);
            return;
        }
        case kRcv19: {
            if (!fresh || v.locked || off + 3 > 8) return;
            u8 buf[8] = {};
            PutLe32(buf, data[off] + 256u * data[off + 1] + 65536u * (data[off + 2] >> 5));
            FromRaw(v, v.scale ? raw : u16{kQ4TypeUdint}, buf);
            return;
        }
        case kSnd19: {
            if (off + 3 > 8) return;
            u8 buf[8];
            ToRaw(v, v.scale ? raw : u16{kQ4TypeUdint}, buf);
            const u32 value = GetLe32(buf);
            const u32 before = data[off] + 256u * data[off + 1] + 65536u * (data[off + 2] >> 5);
            data[off] = static_cast<u8>(value);
            data[off + 1] = static_cast<u8>(value >> 8);
            data[off + 2] = static_cast<u8>((data[off + 2] & 0x1F) | (((value >> 16) & 7u) << 5));
            if (before != value) AddFlags(v.msg, kCanMrFlags, kCanMsgChanged);
            return;
        }
        case kErrors: PutUdint(v, static_cast<u32>(Q4Can_GetErrors(port))); return;
        case kBusOff: PutUdint(v, Q4Can_GetBusOffFlag(port) ? 1 : 0); return;
        case kMsgNew: PutUdint(v, fresh ? 1 : 0); return;
        case kPortReceived: PutUdint(v, (Flags(port, kCanPrFlags) & kCanPortReceived) ? 1 : 0); return;
        case kRequest: {
            u8 b[8] = {};
            Q4VMCnv_ConvBin(b, v.data, kQ4TypeBool, def[kCanVdType]);
            if (!b[0]) return;
            AddFlags(v.msg, kCanMrFlags, kCanMsgRequested);
            const u8 zero[8] = {};
            Q4VMCnv_ConvBin(v.data, zero, def[kCanVdType], kQ4TypeBool);
            return;
        }
        case kDriverStatus: PutUdint(v, GetLe32(v.msg + kCanMrStatus)); return;
        case kDriverParam: {
            const u32 p = GetUdint(v);
            if (p != GetLe32(v.msg + kCanMrParam)) {
                PutLe32(v.msg + kCanMrParam, p);
                Q4CAN_OnSpcOut(port, v.msg);
            }
            return;
        }
        case kLength: {
            const u32 n = GetUdint(v);
            if (n <= kQ4CanMaxData && !fresh) v.msg[kCanMrLength] = static_cast<u8>(n);
            return;
        }
        default: return;
    }
}

// The port that a declared message's definition names.
u8* PortOfMessage(u8* db, const u8* msg) {
    const u8* md = Image(db, GetLe32(msg + kCanMrDef));
    return md ? Q4VMCan_Port(db, GetLe16(md + kCanMdPort)) : nullptr;
}

void Enqueue(u8* db, u8* port, u8* msg) {
    const u16 link = static_cast<u16>(MsgIndex(db, msg) + 1);
    PutLe16(msg + kCanMrNext, 0);
    const u16 tail = GetLe16(port + kCanPrQueueTail);
    if (u8* t = tail ? Msg(db, tail - 1u) : nullptr) PutLe16(t + kCanMrNext, link);
    else PutLe16(port + kCanPrQueueHead, link);
    PutLe16(port + kCanPrQueueTail, link);
}

void Schedule(u8* db, u32 now, bool first) {
    for (u32 m = 0, n = Used(db, kDbCanMessages); m < n; ++m) {
        u8* msg = Msg(db, m);
        if (!msg) return;
        const u16 f = Flags(msg, kCanMrFlags);
        if (!(f & kCanMsgDeclaredSend) || (f & kCanMsgQueued)) continue;
        const u8* md = Image(db, GetLe32(msg + kCanMrDef));
        u8* port = PortOfMessage(db, msg);
        if (!md || !port) continue;
        u32 last = GetLe32(msg + kCanMrQueued);
        if (last == 0) {
            last = now;
            PutLe32(msg + kCanMrQueued, now);
        }
        const u32 elapsed = (now + kDayMs - last) % kDayMs;
        bool due = false;
        switch (md[kCanMdFlags] & kCanMdModeMask) {
            case 1: due = first || elapsed >= GetLe32(md + kCanMdPeriod); break;
            case 2:
                due = f & kCanMsgRequested;
                ClearFlags(msg, kCanMrFlags, kCanMsgRequested);
                break;
            case 3: {
                const u32 maxInterval = GetLe32(md + kCanMdMaxInterval);
                due = first || (maxInterval != 0 && elapsed >= maxInterval) ||
                      ((f & kCanMsgChanged) && elapsed >= GetLe32(md + kCanMdPeriod));
                break;
            }
            default: break;
        }
        if (!due) continue;
        AddFlags(msg, kCanMrFlags, kCanMsgQueued);
        Enqueue(db, port, msg);
        PutLe32(msg + kCanMrQueued, now);
    }
}

// Dynamic message k of a port (receive or send list), or none.
u8* Dynamic(u8* db, u8* port, bool send, u32 k) {
    if (k >= GetLe16(port + kCanPrDynCount)) return nullptr;
    return Msg(db, GetLe16(port + (send ? kCanPrDynSnd : kCanPrDynRcv)) + k);
}

}  // namespace

u8* Q4VMCan_Port(u8* db, u32 index) {
    return db && index < Q4VM_GetDesc(db, kDbCanPorts).allocated ? Area(db, kDbCanPorts, kCanPrBytes, index) : nullptr;
}
u8* Q4VMCan_Message(u8* db, u32 index) {
    return db && index < Q4VM_GetDesc(db, kDbCanMessages).allocated ? Msg(db, index) : nullptr;
}

int Q4VMCan_GetDBSize(u8* d, const Q4Code& c) {
    Def def;
    const Parsed p = Parse(c, &def);
    if (p == Parsed::kRefused) return 1;
    const bool has = p == Parsed::kGood;
    Q4VM_PutDesc(d, kDbCanPorts, VmDbDesc{0, 0, kCanPrBytes, 0, 0, has ? def.ports : u16{0}});
    Q4VM_PutDesc(d, kDbCanMessages, VmDbDesc{0, 0, kCanMrBytes, 0, 0, has ? static_cast<u16>(def.Messages()) : u16{0}});
    Q4VM_PutDesc(d, kDbCanVariables, VmDbDesc{0, 0, kCanVrBytes, 0, 0, has ? def.vars : u16{0}});
    return 0;
}

int Q4VMCan_Build(u8* db, const Q4Code& c) {
    if (!db) return 1;
    Def d;
    const Parsed p = Parse(c, &d);
    ClearUsed(db);
    if (p == Parsed::kNone) return 0;
    if (p == Parsed::kRefused) return 1;
    if (BuildFrom(db, c, d) == 0) return 0;
    ClearUsed(db);
    return 1;
}

int Q4VMCan_CanBuildHot(u8* db, const Q4Code& c) {
    Def d;
    const Parsed p = Parse(c, &d);
    if (p == Parsed::kNone) return 0;
    if (p == Parsed::kRefused || !db) return 1;
    return d.ports > Q4VM_GetDesc(db, kDbCanPorts).allocated ||
                   d.Messages() > Q4VM_GetDesc(db, kDbCanMessages).allocated ||
                   d.vars > Q4VM_GetDesc(db, kDbCanVariables).allocated
               ? 1
               : 0;
}

int Q4VMCan_BuildHot(u8* db, const Q4Code& c) {
    if (Q4VMCan_CanBuildHot(db, c)) return 1;
    CloseFirst(db, Used(db, kDbCanPorts));
    return Q4VMCan_Build(db, c);
}

void Q4VMCan_Close(u8* db) {
    if (!db) return;
    CloseFirst(db, Used(db, kDbCanPorts));
    Q4Can_PostClose(db);
}

void Q4VMCan_Exchange(u8* db, u32 now) {
    const u32 ports = db ? Used(db, kDbCanPorts) : 0;
    if (ports == 0) return;
    u8* port0 = Q4VMCan_Port(db, 0);
    if (!port0) return;
    const bool first = Flags(port0, kCanPrFlags) & kCanPortFirst;
    for (u32 p = 0; p < ports; ++p)
        if (u8* port = Q4VMCan_Port(db, p)) Q4Can_OnPreExchange(db, port);
    for (u32 v = 0, n = Used(db, kDbCanVariables); v < n; ++v) {
        u8* vr = Area(db, kDbCanVariables, kCanVrBytes, v);
        const u8* def = vr ? Image(db, GetLe32(vr + kCanVrDef)) : nullptr;
        u8* msg = vr ? Msg(db, GetLe16(vr + kCanVrMessage)) : nullptr;
        if (!def || !msg) continue;
        const u32 scaleAt = GetLe32(vr + kCanVrScale), lockAt = GetLe32(vr + kCanVrLock);
        Var var{def, scaleAt ? Image(db, scaleAt) : nullptr, msg, db + GetLe32(vr + kCanVrData),
                lockAt != 0 && (db[lockAt] & vr[kCanVrLockMask]) != 0};
        u8* port = PortOfMessage(db, msg);
        if (port) Exchange(db, var, port);
    }
    Schedule(db, now, first);
    for (u32 p = 0; p < ports; ++p)
        if (u8* port = Q4VMCan_Port(db, p)) ClearFlags(port, kCanPrFlags, kCanPortReceived);
    ClearFlags(port0, kCanPrFlags, kCanPortFirst);
    for (u32 m = 0, n = Used(db, kDbCanMessages); m < n; ++m)
        if (u8* msg = Msg(db, m)) ClearFlags(msg, kCanMrFlags, kCanMsgNew);
    for (u32 p = 0; p < ports; ++p)
        if (u8* port = Q4VMCan_Port(db, p)) Q4Can_OnPostExchange(db, port);
}

// --- Message lists ----------------------------------------------------------------------

u8* Q4VMCan_PeekNextSndMsg(u8* db, u8* port) {
    if (!db || !port) return nullptr;
    if (const u16 head = GetLe16(port + kCanPrQueueHead)) return Msg(db, head - 1u);
    for (u32 k = 0;; ++k) {
        u8* msg = Dynamic(db, port, true, k);
        if (!msg) return nullptr;
        if (Flags(msg, kCanMrFlags) & kCanMsgQueued) return msg;
    }
}

u8* Q4VMCan_PopNextSndMsg(u8* db, u8* port) {
    u8* msg = Q4VMCan_PeekNextSndMsg(db, port);
    if (!msg) return nullptr;
    if (GetLe16(port + kCanPrQueueHead)) {
        const u16 next = GetLe16(msg + kCanMrNext);
        PutLe16(port + kCanPrQueueHead, next);
        if (next == 0) PutLe16(port + kCanPrQueueTail, 0);
        PutLe16(msg + kCanMrNext, 0);
        ClearFlags(msg, kCanMrFlags, kCanMsgQueued | kCanMsgChanged | kCanMsgRequested);
    } else {
        ClearFlags(msg, kCanMrFlags, kCanMsgQueued);
    }
    return msg;
}

u8* Q4VMCan_FindRcvMsg(u8* db, u8* port, u32 id) {
    if (!db || !port) return nullptr;
    u32 lo = 0, hi = GetLe16(port + kCanPrRcvCount);
    const u32 first = GetLe16(port + kCanPrRcvFirst);
    while (lo < hi) {
        const u32 mid = lo + (hi - lo) / 2;
        u8* msg = Msg(db, first + mid);
        if (!msg) break;
        const u32 mid_id = GetLe32(msg + kCanMrId);
        if (mid_id == id) return msg;
        if (mid_id < id) lo = mid + 1;
        else hi = mid;
    }
    for (u32 k = 0;; ++k) {
        u8* msg = Dynamic(db, port, false, k);
        if (!msg) return nullptr;
        if (Flags(msg, kCanMrFlags) & kCanMsgNew) continue;
        std::memset(msg, 0, kCanMrBytes);
        PutLe32(msg + kCanMrId, id);
        msg[kCanMrLength] = kQ4CanMaxData;
        SetFlags(msg, kCanMrFlags, kCanMsgNew | kCanMsgDynamic);
        msg[kCanMrMarker] = 0x80;
        return msg;
    }
}

void Q4VMCan_MarkRcvMsg(u8* db, u8* port, u8* msg) {
    if (!db || !port || !msg) return;
    AddFlags(msg, kCanMrFlags, kCanMsgNew);
    msg[kCanMrMarker] |= 0x80;
    AddFlags(port, kCanPrFlags, kCanPortReceived);
    const u8* pd = Image(db, GetLe32(port + kCanPrDef));
    const u32 id = GetLe32(msg + kCanMrId);
    // Heartbeats: the toggle bit is masked when the port asks for it.
    if (pd && (GetLe16(pd + kCanPdOptions) & 1) && id >= 0x700 && id <= 0x77F) msg[kCanMrData] &= 0x7F;
}

u8* Q4VMCan_GetSndMsgList(u8* db, u8* port, u16* count) {
    if (!db || !port) return nullptr;
    if (count) *count = GetLe16(port + kCanPrSndCount);
    return GetLe16(port + kCanPrSndCount) ? Msg(db, GetLe16(port + kCanPrSndFirst)) : nullptr;
}

u8* Q4VMCan_GetRcvMsgList(u8* db, u8* port, u16* count) {
    if (!db || !port) return nullptr;
    if (count) *count = GetLe16(port + kCanPrRcvCount);
    return GetLe16(port + kCanPrRcvCount) ? Msg(db, GetLe16(port + kCanPrRcvFirst)) : nullptr;
}

u8* Q4VMCan_CB(u8* db, int command, u8* port, u8* msg, u32 id) {
    switch (command) {
        case 1: return Q4VMCan_PeekNextSndMsg(db, port);
        case 2: return Q4VMCan_PopNextSndMsg(db, port);
        case 3: return Q4VMCan_FindRcvMsg(db, port, id);
        case 4: Q4VMCan_MarkRcvMsg(db, port, msg); return msg;
        default: return nullptr;
    }
}

// --- Program sends and receives ---------------------------------------------------------

int Q4VMCan_FindPort(u8* db, const char* name) {
    const u32 ports = db ? Used(db, kDbCanPorts) : 0;
    if (!name) return -1;
    if (name[0] == 0) return ports > 0 ? 0 : -1;
    for (u32 p = 0; p < ports; ++p) {
        char n[kCanPdNameBytes + 1];
        PortName(db, Q4VMCan_Port(db, p), n);
        if (std::strcmp(n, name) == 0) return static_cast<int>(p);
    }
    if (name[0] >= '1' && name[0] <= '9') {
        u64 v = 0;
        for (const char* s = name; *s >= '0' && *s <= '9' && v <= ports; ++s) v = v * 10 + static_cast<u32>(*s - '0');
        if (v <= ports) return static_cast<int>(v - 1);
    }
    return -1;
}

int Q4VMCan_SendAppMsg(u8* db, const char* name, u32 id, u32 length, const u8* data, int flag) {
    const int p = Q4VMCan_FindPort(db, name);
    u8* port = p >= 0 ? Q4VMCan_Port(db, static_cast<u32>(p)) : nullptr;
    if (!port || length > kQ4CanMaxData || (length && !data)) return 0;
    for (u32 k = 0;; ++k) {
        u8* msg = Dynamic(db, port, true, k);
        if (!msg) return 0;
        if (Flags(msg, kCanMrFlags) & kCanMsgQueued) continue;
        std::memset(msg, 0, kCanMrBytes);
        PutLe32(msg + kCanMrId, id);
        msg[kCanMrLength] = static_cast<u8>(length);
        if (length) std::memcpy(msg + kCanMrData, data, length);
        SetFlags(msg, kCanMrFlags,
                 static_cast<u16>(kCanMsgQueued | kCanMsgDynamic | (flag ? kCanMsgDriver : 0)));
        return 1;
    }
}

int Q4VMCan_RcvAppMsg(u8* db, const char* name, u32* id, u32* length, u8* data) {
    const int p = Q4VMCan_FindPort(db, name);
    u8* port = p >= 0 ? Q4VMCan_Port(db, static_cast<u32>(p)) : nullptr;
    if (!port) return 0;
    for (u32 k = 0;; ++k) {
        u8* msg = Dynamic(db, port, false, k);
        if (!msg) return 0;
        if (!(Flags(msg, kCanMrFlags) & kCanMsgNew)) continue;
        const u8 n = std::min<u8>(msg[kCanMrLength], kQ4CanMaxData);
        *id = GetLe32(msg + kCanMrId);
        *length = n;
        std::memcpy(data, msg + kCanMrData, n);
        ClearFlags(msg, kCanMrFlags, kCanMsgNew);
        return 1;
    }
}

// Operands: PORT, DATA element type, DATA, DATA element count, OK, ID, LEN.
int Q4stfb_CANRCVMSG(int command, u8* db, u8*, u8* inst, const u16* ops) {
    switch (command) {
        case kFbInstanceSize: return 8;
        case kFbAnyType: return 1;
        case kFbExecute: break;
        default: return 0;
    }
    if (!ops || ops[-1] < 7 || !inst) return 0;
    const u16 count = ops[3];
    const Q4TypeInfo* t = Q4Type_Info(ops[1]);
    u8* data = t && t->size == 1 && count >= kQ4CanMaxData ? Q4Fb_Array(db, ops[1], ops[2], count) : nullptr;
    u32 id = 0, length = 0;
    int ok = 0;
    if (data) {
        const u8* s = Q4Tools_String(db, ops[0]);
        char name[256] = {};
        if (s) std::memcpy(name, Q4Str_GetText(s), Q4Str_GetLength(s));
        ok = Q4VMCan_RcvAppMsg(db, name, &id, &length, data);
        if (!ok) id = length = 0;
    }
    PutLe32(inst, id);
    inst[4] = static_cast<u8>(ok);
    inst[5] = static_cast<u8>(length);
    Q4Fb_PutBool(db, ops[4], ok != 0);
    Q4Fb_PutDint(db, ops[5], static_cast<i32>(id));
    Q4Fb_PutDint(db, ops[6], static_cast<i32>(length));
    return 0;
}
