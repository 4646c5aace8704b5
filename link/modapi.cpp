#include "link/modapi.h"

#include <cstring>

#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "ladder/ladder_engine.h"
#include "platform/fpga.h"

namespace {

constexpr u32 kMaxBits = 2000, kMaxWords = 125;

// Register bit address of a byte offset in register memory.
constexpr u32 BitAddr(u32 byteOffset) { return 0x400 + 8 * byteOffset; }

// %T and %M: the 16-bit-token positions in programs with 16-bit tokens,
// the window areas otherwise.
u32 TBase() { return RegTokLen_16b ? BitAddr(kRegT) : 0x10008000u; }
u32 MBase() { return RegTokLen_16b ? BitAddr(kRegM) : 0x1001C000u; }

// A reference to count bits from bit address `bit`.
bool BitRef(ModRef* out, u32 bit, u32 count) {
    const u32 shift = bit & 7;
    const u32 bytes = (shift + count + 7) / 8;
    u8* p = PlcReg_Ptr(bit - shift, 8 * bytes);
    if (p == nullptr) return false;
    *out = ModRef{p, bytes, static_cast<u8>(shift), false};
    return true;
}
bool WordRef(ModRef* out, u32 bit, u32 count) {
    u8* p = PlcReg_Ptr(bit, 16 * count);
    if (p == nullptr) return false;
    *out = ModRef{p, 2 * count, 0, false};
    return true;
}

// One range of the address map: addresses from `first`, the area from bit
// address `base`, at most `size` elements of offset plus count.
struct Range {
    u32 first;
    u32 base;
    u32 size;
};
int MapRange(ModRef* out, const Range& r, u32 address, u32 count, bool words) {
    const u32 offset = address - r.first;
    if (count == 0 || offset > r.size || count > r.size - offset) return 3;
    const bool ok = words ? WordRef(out, r.base + 16 * offset, count) : BitRef(out, r.base + offset, count);
    return ok ? 0 : 3;
}

bool Ready() { return MOD_Initialised(); }

void Saturate(u16& c) {
    if (c != 0xFFFF) ++c;
}

// --- the request's accessors: the fixed map or the IEC slave map ----------

enum class Kind { kCoils, kInputs, kHolding, kInputRegs };

struct Accessor {
    // 0 and the reference, or the exception code.
    int (*map)(ModPcb& p, Kind kind, u32 start, u32 count, ModRef* out);
    bool iec;
};

int RegisterMap(ModPcb&, Kind kind, u32 start, u32 count, ModRef* out) {
    switch (kind) {
        case Kind::kCoils: return map_output_bits(out, start, count);
        case Kind::kInputs: return map_input_bits(out, start, count);
        case Kind::kHolding: return map_output_words(out, start, count);
        case Kind::kInputRegs: return map_input_words(out, start, count);
    }
    return 3;
}

// The IEC slave map: a range the map does not hold gives exception 2; data
// that the variable's storage cannot hold, exception 4.
int IecMap(ModPcb& p, Kind kind, u32 start, u32 count, ModRef* out) {
    const u8* m = p.cfg.data;
    if (m == nullptr || MOD_RegBytesFrom(m, kModIecMapBytes) < kModIecMapBytes) return 4;
    const u32 slot = kind == Kind::kInputs ? 0 : kind == Kind::kCoils ? 1 : kind == Kind::kInputRegs ? 2 : 3;
    const u32 size = GetLe32(m + 16 + 4 * slot);
    if (count == 0 || start >= size || count > size - start) return 2;
    u8* data = nullptr;
    u32 bytes = 0;
    if (QuilletVmDbSpan(GetLe32(m + 4 * slot), &data, &bytes) != 1 || data == nullptr) return 4;
    const bool bits = kind == Kind::kInputs || kind == Kind::kCoils;
    const u64 at = bits ? start : 2ull * start;
    const u64 need = bits ? count : 2ull * count;
    if (at + need > bytes) return 4;
    *out = ModRef{data + at, static_cast<u32>(need), 0, bits};
    return 0;
}

// --- responses ---------------------------------------------------------------

// The response under construction: the request's address bytes, the
// function code, then data.
struct Reply {
    u8 b[kModFrameBytes] = {};
    u32 n = 0;
    void Put(u8 v) { b[n++] = v; }
    void Put16(u16 v) {
        PutBe16(b + n, v);
        n += 2;
    }
};

void Send(ModPcb& p, const Reply& r) {
    Saturate(p.e.counters[kCntSlave]);
    MOD_SendException(p, r.b, r.n);
}

struct Request {
    const u8* f;     // the frame
    u32 n;           // its length without check bytes
    u32 o;           // 1 for a two-byte station address
    u8 function;     // the function code as received
    const u8* d;     // data after the function code
    u32 dn;          // bytes of it
};

Reply Head(const Request& q, u8 function) {
    Reply r;
    for (u32 i = 0; i <= q.o; ++i) r.Put(q.f[i]);
    r.Put(function);
    return r;
}

// Outcome of a function: a reply, an exception code, or no reply.
struct Outcome {
    int exception = 0;
    bool silent = false;
    Reply reply;
};
Outcome Exception(int code) {
    Outcome o;
    o.exception = code;
    return o;
}

bool Mover(int r, Outcome* o) {
    if (r == 0) return true;
    *o = Exception(4);
    return false;
}

Outcome ReadBits(ModPcb& p, const Accessor& a, const Request& q, Kind kind) {
    if (q.dn < 4) return Exception(3);
    const u32 start = GetBe16(q.d), count = GetBe16(q.d + 2);
    if (count == 0 || count > kMaxBits) return Exception(3);
    ModRef ref;
    if (int e = a.map(p, kind, start, count, &ref)) return Exception(e);
    Outcome o;
    o.reply = Head(q, q.function);
    const u32 bytes = (count + 7) / 8;
    o.reply.Put(static_cast<u8>(bytes));
    if (!Mover(get_input_bits(o.reply.b + o.reply.n, ref, count), &o)) return o;
    o.reply.n += bytes;
    return o;
}

Outcome ReadWords(ModPcb& p, const Accessor& a, const Request& q, Kind kind, u32 start, u32 count) {
    if (count == 0 || count > kMaxWords) return Exception(3);
    ModRef ref;
    if (int e = a.map(p, kind, start, count, &ref)) return Exception(e);
    Outcome o;
    o.reply = Head(q, q.function);
    o.reply.Put(static_cast<u8>(2 * count));
    if (!Mover(get_input_words(o.reply.b + o.reply.n, ref, count), &o)) return o;
    o.reply.n += 2 * count;
    return o;
}

Outcome Echo(const Request& q, u32 bytes) {
    Outcome o;
    o.reply = Head(q, q.function);
    for (u32 i = 0; i < bytes; ++i) o.reply.Put(q.d[i]);
    return o;
}

Outcome WriteCoil(ModPcb& p, const Accessor& a, const Request& q) {
    if (q.dn < 4) return Exception(3);
    ModRef ref;
    if (int e = a.map(p, Kind::kCoils, GetBe16(q.d), 1, &ref)) return Exception(e);
    const u8 bit = q.d[2] & 1;
    Outcome o;
    if (!Mover(put_output_bits(ref, &bit, 1), &o)) return o;
    return Echo(q, 4);
}

Outcome WriteRegister(ModPcb& p, const Accessor& a, const Request& q) {
    if (q.dn < 4) return Exception(3);
    ModRef ref;
    if (int e = a.map(p, Kind::kHolding, GetBe16(q.d), 1, &ref)) return Exception(e);
    Outcome o;
    if (!Mover(put_output_words(ref, q.d + 2, 1), &o)) return o;
    return Echo(q, 4);
}

// Functions 15 and 16: the byte count must match the count and the bytes
// received, or stale buffer bytes would reach the registers.
Outcome WriteMultiple(ModPcb& p, const Accessor& a, const Request& q, bool words) {
    if (q.dn < 5) return Exception(3);
    const u32 start = GetBe16(q.d), count = GetBe16(q.d + 2), bc = q.d[4];
    const u32 want = words ? 2 * count : (count + 7) / 8;
    if (count == 0 || count > (words ? kMaxWords : kMaxBits) || bc != want || q.dn < 5 + bc) return Exception(3);
    ModRef ref;
    if (int e = a.map(p, words ? Kind::kHolding : Kind::kCoils, start, count, &ref)) return Exception(e);
    Outcome o;
    const int r = words ? put_output_words(ref, q.d + 5, count) : put_output_bits(ref, q.d + 5, count);
    if (!Mover(r, &o)) return o;
    return Echo(q, 4);
}

Outcome MaskWrite(ModPcb& p, const Accessor& a, const Request& q) {
    if (q.dn < 6) return Exception(3);
    ModRef ref;
    if (int e = a.map(p, Kind::kHolding, GetBe16(q.d), 1, &ref)) return Exception(e);
    u8 cur[2];
    Outcome o;
    if (!Mover(get_input_words(cur, ref, 1), &o)) return o;
    const u16 andMask = GetBe16(q.d + 2), orMask = GetBe16(q.d + 4);
    u8 v[2];
    PutBe16(v, static_cast<u16>((GetBe16(cur) & andMask) | (orMask & ~andMask)));
    if (!Mover(put_output_words(ref, v, 1), &o)) return o;
    return Echo(q, 6);
}

Outcome ReadWrite(ModPcb& p, const Accessor& a, const Request& q) {
    if (q.dn < 9) return Exception(3);
    const u32 rs = GetBe16(q.d), rc = GetBe16(q.d + 2), ws = GetBe16(q.d + 4), wc = GetBe16(q.d + 6), bc = q.d[8];
    if (rc == 0 || rc > kMaxWords || wc == 0 || wc > 121 || bc != 2 * wc || q.dn < 9 + bc) return Exception(3);
    ModRef wr, rd;
    if (int e = a.map(p, Kind::kHolding, ws, wc, &wr)) return Exception(e);
    if (int e = a.map(p, Kind::kHolding, rs, rc, &rd)) return Exception(e);
    Outcome o;
    if (!Mover(put_output_words(wr, q.d + 9, wc), &o)) return o;
    return ReadWords(p, a, q, Kind::kHolding, rs, rc);
}

Outcome Diagnostics(ModPcb& p, const Request& q) {
    ModEngine& e = p.e;
    if (q.n != 6 + q.o) return Exception(3);
    const u16 sub = GetBe16(q.d);
    Outcome o = Echo(q, 4);
    auto counter = [&](ModCounter c) {
        PutBe16(o.reply.b + o.reply.n - 2, e.counters[c]);
        return o;
    };
    switch (sub) {
        case 0: return o;
        case 1: {
            const bool wasListening = e.mode & kModListenOnly;
            std::memset(e.counters, 0, sizeof e.counters);
            e.mode &= static_cast<u8>(~kModListenOnly);
            o.silent = wasListening;
            return o;
        }
        case 2: PutBe16(o.reply.b + o.reply.n - 2, 0); return o;
        case 4:
            e.mode |= kModListenOnly;
            o.silent = true;
            return o;
        case 10: std::memset(e.counters, 0, sizeof e.counters); return o;
        case 11: return counter(kCntBus);
        case 12: return counter(kCntCommError);
        case 13: return counter(kCntException);
        case 14: return counter(kCntSlave);
        case 15: return counter(kCntNoResponse);
        default: return Exception(2);
    }
}

bool IsWrite(u8 f) { return f == 5 || f == 6 || f == 15 || f == 16; }

void ReqProcess(ModPcb& p, const Accessor& a) {
    ModEngine& e = p.e;
    Saturate(e.counters[kCntBus]);
    const u16 own = e.ownAddress;
    const u32 o = own >= 247 ? 1 : 0;
    const u8* f = e.frame;
    const u32 n = e.length;
    if (n < 2 + o) return;
    bool taken, broadcast;
    if (o == 0) {
        taken = f[0] == own || f[0] == 0;
        broadcast = f[0] == 0;
    } else {
        taken = f[0] == (own >> 8) || f[1] == (own & 0xFF) || f[0] == 0 || f[1] == 0;
        broadcast = f[0] == 0 && f[1] == 0;
    }
    if (!taken) {
        ModbusScanSAF(p);
        return;
    }
    const Request q{f, n, o, f[1 + o], f + 2 + o, n - 2 - o};
    if ((e.mode & kModListenOnly) && !(q.function == 8 && q.dn >= 2 && GetBe16(q.d) == 1)) {
        Saturate(e.counters[kCntNoResponse]);
        return;
    }
    ModbusTickle(e.port);
    u8 function = q.function;
    if (p.cfg.writeInhibit != 0 && IsWrite(function)) {
        u8 inhibit = 0;
        if (PlcReg_Get(&inhibit, p.cfg.writeInhibit, 1) && inhibit) function = 0;
    }
    // A broadcast is answered by nobody: only writes are carried out, and
    // function 65, which asks whoever is on the line for its address.
    if (broadcast && !IsWrite(function) && function != 65) return;
    Outcome out;
    switch (function) {
        case 1: out = ReadBits(p, a, q, Kind::kCoils); break;
        case 2: out = ReadBits(p, a, q, Kind::kInputs); break;
        case 3:
        case 4:
            out = q.dn < 4 ? Exception(3)
                           : ReadWords(p, a, q, function == 3 ? Kind::kHolding : Kind::kInputRegs, GetBe16(q.d),
                                       GetBe16(q.d + 2));
            break;
        case 5: out = WriteCoil(p, a, q); break;
        case 6: out = WriteRegister(p, a, q); break;
        case 7:
            out.reply = Head(q, 7);
            out.reply.Put(0);  // exception status, kept 0
            break;
        case 8: out = Diagnostics(p, q); break;
        case 15: out = WriteMultiple(p, a, q, false); break;
        case 16: out = WriteMultiple(p, a, q, true); break;
        case 22: out = a.iec ? Exception(1) : MaskWrite(p, a, q); break;
        case 23: out = a.iec ? Exception(1) : ReadWrite(p, a, q); break;
        case 65:
            // The station answers with its own address, in the address
            // position and as the data byte.
            out.reply = Head(q, 65);
            if (o == 0) {
                out.reply.b[0] = static_cast<u8>(own);
            } else {
                out.reply.b[0] = static_cast<u8>(own >> 8);
                out.reply.b[1] = static_cast<u8>(own);
            }
            out.reply.Put(static_cast<u8>(own));
            broadcast = false;
            break;
        default: out = Exception(1); break;
    }
    if (broadcast || out.silent) return;
    if (out.exception != 0) {
        Reply r = Head(q, static_cast<u8>(q.function | 0x80));
        r.Put(static_cast<u8>(out.exception));
        Saturate(e.counters[kCntException]);
        Send(p, r);
        return;
    }
    Send(p, out.reply);
}

// --- master ------------------------------------------------------------------

struct LocalType {
    u16 code;
    u32 byteOffset;  // in register memory; ~0u for %T and %M
    u32 size;        // elements
    bool bits;
    bool readable;
};
constexpr LocalType kLocalTypes[] = {
    {kLocSR, kRegSR, 192, false, false}, {kLocAIG, kRegAIG, 32, false, true}, {kLocAQG, kRegAQG, 32, false, true},
    {kLocR, kRegR, 50240, false, true},  {kLocAI, kRegAI, 512, false, true},  {kLocAQ, kRegAQ, 512, false, true},
    {kLocS, kRegS, 256, true, false},    {kLocK, kRegK, 256, true, false},    {kLocIG, kRegIG, 256, true, true},
    {kLocQG, kRegQG, 256, true, true},   {kLocI, kRegI, 2048, true, true},    {kLocQ, kRegQ, 2048, true, true},
    {kLocT, ~0u, 2048, true, true},      {kLocM, ~0u, 2048, true, true},
};

bool ReadFunction(u16 f) { return f == 1 || f == 2 || f == 3 || f == 4 || f == 7 || f == 8 || f == 65; }
bool BitFunction(u16 f) { return f == 1 || f == 2 || f == 5 || f == 7 || f == 15; }
bool KnownFunction(u16 f) { return ReadFunction(f) || IsWrite(static_cast<u8>(f)); }

// Count of local elements a request moves (bits or words).
u32 LocalCount(u16 f, u32 count) {
    switch (f) {
        case 5: case 6: case 8: case 65: return 1;
        case 7: return 8;
        default: return count;
    }
}

// The request frame of a master after the local reference was checked; its
// length. value: the local data a write sends is read through `local`.
u32 BuildFrame(ModPcb& p, u16 slave, u16 f, u16 start, u16 count, const ModRef& local) {
    u8* fr = p.e.frame;
    fr[0] = f == 65 ? 0 : static_cast<u8>(slave);
    fr[1] = static_cast<u8>(f);
    switch (f) {
        case 1: case 2: case 3: case 4:
            PutBe16(fr + 2, start);
            PutBe16(fr + 4, count);
            return 6;
        case 5: {
            u8 bit = 0;
            if (local.bools) bit = local.p[0] != 0;
            else BitMsgLoad(&bit, local.p, local.shift, 1);
            PutBe16(fr + 2, start);
            PutBe16(fr + 4, bit ? 0xFF00 : 0x0000);
            return 6;
        }
        case 6:
            PutBe16(fr + 2, start);
            get_input_words(fr + 4, local, 1);
            return 6;
        case 7: case 65: return 2;
        case 8:
            PutBe16(fr + 2, start);
            if (start == 0 || start == 1 || start == 3) get_input_words(fr + 4, local, 1);
            else PutBe16(fr + 4, 0);
            return 6;
        case 15: {
            const u32 bc = (count + 7) / 8;
            PutBe16(fr + 2, start);
            PutBe16(fr + 4, count);
            fr[6] = static_cast<u8>(bc);
            get_input_bits(fr + 7, local, count);
            return 7 + bc;
        }
        case 16:
            PutBe16(fr + 2, start);
            PutBe16(fr + 4, count);
            fr[6] = static_cast<u8>(2 * count);
            get_input_words(fr + 7, local, count);
            return 7 + 2u * count;
        default: return 0;
    }
}

void Launch(ModPcb& p, const ModRef& local, u32 length) {
    p.e.local = local.p;
    p.e.localBytes = local.bytes;
    p.e.localShift = local.shift;
    p.e.localBools = local.bools;
    MOD_SendRequest(p, length);
}

void RspProcess(ModPcb& p) {
    ModEngine& e = p.e;
    const u8* f = e.frame;
    const u32 n = e.length;
    const u16 slave = GetLe16(e.request), function = GetLe16(e.request + 2), count = GetLe16(e.request + 6);
    if (n < 2) return;
    if (slave != 0 && f[0] != slave) return;  // not the addressed station: keep waiting
    if (f[1] & 0x80) {
        // Codes 1-4 have a result flag each; any other code is reported
        // as an unexpected response rather than left to the time-out.
        const u8 code = n >= 3 ? f[2] : 0;
        e.result = code >= 1 && code <= 4 ? static_cast<u16>(0x1000u << (code - 1)) : kModUnexpected;
        return;
    }
    if (f[1] != function) {
        e.result = kModUnexpected;
        return;
    }
    const ModRef local{e.local, e.localBytes, e.localShift, e.localBools != 0};
    int r = 0;
    switch (function) {
        case 1: case 2: {
            const u32 bc = (count + 7u) / 8;
            if (n < 3 || f[2] != bc || n < 3 + bc) return void(e.result = kModUnexpected);
            r = put_output_bits(local, f + 3, count);
            break;
        }
        case 3: case 4: {
            const u32 bc = 2u * count;
            if (n < 3 || f[2] != bc || n < 3 + bc) return void(e.result = kModUnexpected);
            r = put_output_words(local, f + 3, count);
            break;
        }
        case 5: case 6: case 15: case 16: break;
        case 7:
            if (n < 3) return void(e.result = kModUnexpected);
            r = put_output_bits(local, f + 2, 8);
            break;
        case 8:
            if (n < 6) return void(e.result = kModUnexpected);
            r = put_output_words(local, f + 4, 1);
            break;
        case 65: {
            if (n < 3) return void(e.result = kModUnexpected);
            u8 v[2] = {0, f[2]};
            r = put_output_words(local, v, 1);
            break;
        }
        default: e.result = kModUnexpected; return;
    }
    e.result = r != 0 ? static_cast<u16>(16u << (r - 1)) : kModAccepted;
}

}  // namespace

// ----------------------------------------------------------------------------

void BitMsgLoad(u8* frame, const u8* source, u32 offset, u32 count) {
    std::memset(frame, 0, (count + 7) / 8);
    for (u32 k = 0; k < count; ++k) {
        const u32 b = offset + k;
        if ((source[b / 8] >> (b % 8)) & 1) frame[k / 8] = static_cast<u8>(frame[k / 8] | 1u << (k % 8));
    }
}
void Q4_BitMsgLoad(u8* frame, const u8* source, u32 count) { Quillet_Byte_To_Bit(source, frame, count); }
void BitMemLoad(const u8* frame, u8* destination, u32 offset, u32 count) {
    for (u32 k = 0; k < count; ++k) {
        const u32 b = offset + k;
        const u8 m = static_cast<u8>(1u << (b % 8));
        if ((frame[k / 8] >> (k % 8)) & 1) destination[b / 8] |= m;
        else destination[b / 8] = static_cast<u8>(destination[b / 8] & ~m);
    }
}
void Q4_BitMemLoad(const u8* frame, u8* destination, u32 count) { Quillet_Bit_To_Byte(frame, destination, count); }

int get_input_bits(u8* frame, const ModRef& from, u32 count) {
    if (!Ready() || from.p == nullptr) return 4;
    if (from.bools) {
        if (count > from.bytes) return 4;
        Q4_BitMsgLoad(frame, from.p, count);
    } else {
        if ((from.shift + count + 7) / 8 > from.bytes) return 4;
        BitMsgLoad(frame, from.p, from.shift, count);
    }
    return 0;
}
int put_output_bits(const ModRef& to, const u8* frame, u32 count) {
    if (!Ready() || to.p == nullptr) return 4;
    if (to.bools) {
        if (count > to.bytes) return 4;
        Q4_BitMemLoad(frame, to.p, count);
    } else {
        if ((to.shift + count + 7) / 8 > to.bytes) return 4;
        BitMemLoad(frame, to.p, to.shift, count);
    }
    return 0;
}
int get_input_words(u8* frame, const ModRef& from, u32 count) {
    if (!Ready() || from.p == nullptr || 2ull * count > from.bytes) return 4;
    for (u32 i = 0; i < count; ++i) net_out_swap(frame + 2 * i, GetLe16(from.p + 2 * i));
    return 0;
}
int put_output_words(const ModRef& to, const u8* frame, u32 count) {
    if (!Ready() || to.p == nullptr || 2ull * count > to.bytes) return 4;
    for (u32 i = 0; i < count; ++i) PutLe16(to.p + 2 * i, net_in_swap(frame + 2 * i));
    return 0;
}

int map_output_bits(ModRef* out, u32 a, u32 count) {
    if (count > kMaxBits) return 3;
    if (a < 3000) return MapRange(out, {0, BitAddr(kRegQ), 2048}, a, count, false);
    if (a < 6000) return MapRange(out, {3000, MBase(), 2048}, a, count, false);
    if (a < 9000) return MapRange(out, {6000, TBase(), 2048}, a, count, false);
    return MapRange(out, {9000, BitAddr(kRegQG), 256}, a, count, false);
}
int map_input_bits(ModRef* out, u32 a, u32 count) {
    if (count > kMaxBits) return 3;
    if (a < 3000) return MapRange(out, {0, BitAddr(kRegI), 2048}, a, count, false);
    if (a < 4000) return MapRange(out, {3000, BitAddr(kRegIG), 256}, a, count, false);
    if (a < 5000) return MapRange(out, {4000, BitAddr(kRegS), 256}, a, count, false);
    return MapRange(out, {5000, BitAddr(kRegK), 256}, a, count, false);
}
int map_input_words(ModRef* out, u32 a, u32 count) {
    if (count > kMaxWords) return 3;
    if (a < 3000) return MapRange(out, {0, BitAddr(kRegAI), 512}, a, count, true);
    if (a < 4000) return MapRange(out, {3000, BitAddr(kRegAIG), 32}, a, count, true);
    return MapRange(out, {4000, BitAddr(kRegSR), 192}, a, count, true);
}
int map_output_words(ModRef* out, u32 a, u32 count) {
    if (count > kMaxWords) return 3;
    if (a < 512) return MapRange(out, {0, BitAddr(kRegAQ), 512}, a, count, true);
    if (a < 3000) return MapRange(out, {512, BitAddr(kRegR), 2488}, a, count, true);
    if (a < 6000) return MapRange(out, {3000, BitAddr(kRegR), 50240}, a, count, true);
    if (a < 10000) return MapRange(out, {6000, BitAddr(kRegAQG), 32}, a, count, true);
    return MapRange(out, {10000, BitAddr(kRegR), 4096}, a, count, true);
}

int map_plc_ref(ModRef* out, u16 type, u16 offset, u32 count, int access, bool bits) {
    for (const LocalType& t : kLocalTypes) {
        if (t.code != type) continue;
        if (count == 0 || count > (bits ? kMaxBits : kMaxWords)) return kModErrCount;
        if ((access == 0 && !t.readable) || t.bits != bits) return kModErrReference;
        if (offset > t.size || count > t.size - offset) return kModErrReference;
        const u32 base = t.byteOffset != ~0u ? BitAddr(t.byteOffset) : type == kLocT ? TBase() : MBase();
        const bool ok = bits ? BitRef(out, base + offset, count) : WordRef(out, base + 16u * offset, count);
        return ok ? 0 : kModErrReference;
    }
    return kModErrReference;
}

void ModbusTickle(int port) {
    ModPcb& p = MOD_Pcb(port);
    p.s.elapsed = 0;
    p.s.stamp = FPGA_GetFrt();
    if (p.cfg.status != nullptr) PutLe16(p.cfg.status, static_cast<u16>(GetLe16(p.cfg.status) ^ 0x08));
}

void ModbusScanSAF(ModPcb& p) {
    const u8* table = p.cfg.forwardTable;
    u32 pairs = p.cfg.forwardPairs;
    if (pairs == 0 || table == nullptr) return;
    // The walk stays inside the table's register memory.
    const u32 room = MOD_RegBytesFrom(table, 2u * pairs) / 2;
    if (pairs > room) pairs = room;
    if (pairs == 0 || GetLe16(table) == 0) return;
    u8& address = p.e.frame[0];
    for (u32 k = 0; k < pairs; ++k) {
        const u16 entry = GetLe16(table + 2 * k);
        if (entry == 0) continue;
        u16 bit = 0;
        if ((entry >> 8) == address) {
            address = static_cast<u8>(entry);
            bit = 0x02;
        } else if ((entry & 0xFF) == address) {
            address = static_cast<u8>(entry >> 8);
            bit = 0x04;
        } else {
            continue;
        }
        if (p.cfg.status != nullptr) PutLe16(p.cfg.status, static_cast<u16>(GetLe16(p.cfg.status) ^ bit));
        p.s.forward = 1;
        return;
    }
}

void MOD_ReqProcess(ModPcb& p) { ReqProcess(p, Accessor{RegisterMap, false}); }
void Q4_MOD_ReqProcess(ModPcb& p) { ReqProcess(p, Accessor{IecMap, true}); }

int MOD_ReqBuild(ModPcb& p) {
    const u8* rec = p.cfg.data;
    if (rec == nullptr || MOD_RegBytesFrom(rec, 12) < 12) return kModErrReference;
    std::memset(p.e.request, 0, sizeof p.e.request);
    std::memcpy(p.e.request, rec, 12);
    const u16 slave = GetLe16(rec), f = GetLe16(rec + 2), start = GetLe16(rec + 4), count = GetLe16(rec + 6),
              type = GetLe16(rec + 8), offset = GetLe16(rec + 10);
    if (slave > 247) return kModErrSlave;
    if (!KnownFunction(f)) return kModErrFunction;
    if ((f == 7 && count != 8) || (f == 8 && count != 1)) return kModErrCount;
    ModRef local;
    const bool bits = BitFunction(f);
    if (int e = map_plc_ref(&local, type, offset, LocalCount(f, count), ReadFunction(f) ? 0 : 1, bits)) return e;
    Launch(p, local, BuildFrame(p, slave, f, start, count, local));
    return 0;
}

int Q4_MOD_ReqBuild(ModPcb& p) {
    const u8* rec = p.cfg.data;
    if (rec == nullptr || MOD_RegBytesFrom(rec, kModIecRequestBytes) < kModIecRequestBytes)
        return kModErrReference;
    std::memcpy(p.e.request, rec, kModIecRequestBytes);
    const u16 slave = GetLe16(rec), f = GetLe16(rec + 2), start = GetLe16(rec + 4), count = GetLe16(rec + 6),
              offset = GetLe16(rec + 12), width = GetLe16(rec + 14);
    const u32 reference = GetLe32(rec + 8);
    if (slave > 247) return kModErrSlave;
    if (!KnownFunction(f)) return kModErrFunction;
    const bool bits = BitFunction(f);
    if (count > (bits ? kMaxBits : kMaxWords)) return kModErrCount;
    if ((f == 7 && count != 8) || (f == 8 && count != 1) || (count == 0 && f != 65)) return kModErrCount;
    u8* data = nullptr;
    u32 bytes = 0;
    if (QuilletVmDbSpan(reference, &data, &bytes) != 1 || data == nullptr) return kModErrReference;
    u64 at = offset;
    if (f == 3 || f == 4 || f == 6 || f == 16) at = (width == 2 && f != 16 ? 4ull : 2ull) * offset;
    const u64 need = bits ? LocalCount(f, count) : 2ull * LocalCount(f, count);
    if (at + need > bytes) return kModErrReference;
    const ModRef local{data + at, static_cast<u32>(need), 0, bits};
    Launch(p, local, BuildFrame(p, slave, f, start, count, local));
    return 0;
}

void MOD_RspProcess(ModPcb& p) { RspProcess(p); }
void Q4_MOD_RspProcess(ModPcb& p) { RspProcess(p); }
