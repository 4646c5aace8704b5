#include "iec/ext/q4mbsrv.h"

#include <cstring>

#include "iec/ext/q4mb.h"
#include "iec/ext/q4mbfram.h"
#include "iec/kernel/q4rtclk.h"
#include "iec/kernel/q4socket.h"

namespace {

struct State {
    Q4MBDevIdent ident{};
};
State g;

// Reported for an empty vendor name, product code and revision.
constexpr const char* kDefaultVendor = "Q4 Kernel Vendor";
constexpr const char* kDefaultProduct = "Q4";
constexpr const char* kDefaultRevision = "9.1.161102";

void Copy(char* dst, const char* text) {
    const size_t n = text ? strnlen(text, kQ4MBIdentTextMax) : 0;
    std::memcpy(dst, text ? text : "", n);
    dst[n] = 0;
}

enum : u8 { kExFunction = 1, kExAddress = 2, kExValue = 3 };

u32 Exception(const u8* pdu, u8* answer, u8 code) {
    answer[0] = pdu[0];
    answer[1] = static_cast<u8>(pdu[1] | 0x80);
    answer[2] = code;
    return 3;
}

// The first table of the kind that holds [address, address + count) in
// configuration order, or none.
u8* Table(const Q4MBView& v, const u8* server, u16 kind, u32 address, u32 count) {
    const u32 first = GetLe32(server + kMbConFirstReq), n = GetLe16(server + kMbConNReq);
    for (u32 k = 0; k < n; ++k) {
        u8* rq = Q4MB_Request(v, first + k);
        const u8* q = Q4MB_Config(v, rq);
        if (GetLe16(q + kMbqFunction) != kind) continue;
        const u32 start = GetLe16(q + kMbqAddress), quantity = GetLe16(q + kMbqQuantity);
        if (start > address || address + count > start + quantity) continue;
        PutLe32(rq + kMbRqDate, Q4RtClk_GetCurDateStamp());
        PutLe32(rq + kMbRqTime, Q4RtClk_GetCurTimeStamp());
        return rq;
    }
    return nullptr;
}

bool GetBit(const u8* b, u32 k) { return (b[k / 8] >> (k % 8)) & 1; }
void SetBit(u8* b, u32 k, bool on) {
    if (on) b[k / 8] = static_cast<u8>(b[k / 8] | (1u << (k % 8)));
    else b[k / 8] = static_cast<u8>(b[k / 8] & ~(1u << (k % 8)));
}

u32 ReadBits(const Q4MBView& v, const u8* server, const u8* pdu, u8* answer, u16 kind) {
    const u32 address = GetBe16(pdu + 2), n = GetBe16(pdu + 4);
    u8* t = n <= 2000 ? Table(v, server, kind, address, n) : nullptr;
    if (!t) return Exception(pdu, answer, kExAddress);
    const u8* buf = Q4MB_Data(v, t);
    const u32 at = address - GetLe16(Q4MB_Config(v, t) + kMbqAddress);
    const u32 bytes = (n + 7) / 8;
    answer[2] = static_cast<u8>(bytes);
    std::memset(answer + 3, 0, bytes);
    for (u32 k = 0; k < n; ++k) SetBit(answer + 3, k, GetBit(buf, at + k));
    return 3 + bytes;
}

u32 ReadRegisters(const Q4MBView& v, const u8* server, const u8* pdu, u8* answer, u16 kind) {
    const u32 address = GetBe16(pdu + 2), n = GetBe16(pdu + 4);
    u8* t = n <= 125 ? Table(v, server, kind, address, n) : nullptr;
    if (!t) return Exception(pdu, answer, kExAddress);
    const u8* buf = Q4MB_Data(v, t);
    const u32 at = address - GetLe16(Q4MB_Config(v, t) + kMbqAddress);
    answer[2] = static_cast<u8>(2 * n);
    for (u32 k = 0; k < n; ++k) PutBe16(answer + 3 + 2 * k, GetLe16(buf + 2 * (at + k)));
    return 3 + 2 * n;
}

// Writes values into a coil or holding-register table and marks them
// written; get(k) gives value k.
template <typename Get>
bool Write(const Q4MBView& v, const u8* server, u16 kind, u32 address, u32 n, Get get) {
    u8* t = Table(v, server, kind, address, n);
    if (!t) return false;
    u8* buf = Q4MB_Data(v, t);
    u8* marks = buf + Q4MB_BufferSize(v, t);
    const u32 at = address - GetLe16(Q4MB_Config(v, t) + kMbqAddress);
    for (u32 k = 0; k < n; ++k) {
        if (kind == 1) {
            SetBit(buf, at + k, get(k) != 0);
            SetBit(marks, at + k, true);
        } else {
            PutLe16(buf + 2 * (at + k), static_cast<u16>(get(k)));
            PutLe16(marks + 2 * (at + k), 0xFFFF);
        }
    }
    return true;
}

u32 DeviceIdentification(const u8* pdu, u32 n, u8* answer) {
    const u8 mei = n >= 3 ? pdu[2] : 0, code = n >= 4 ? pdu[3] : 0, object = n >= 5 ? pdu[4] : 0xFF;
    answer[0] = pdu[0];
    answer[1] = 43;
    answer[2] = mei;
    answer[3] = code;
    const Q4MBDevIdent& id = g.ident;
    if (n >= 5 && mei == 14 && code == 1 && object <= 2) {
        const char* texts[3] = {id.vendor[0] ? id.vendor : kDefaultVendor, id.product[0] ? id.product : kDefaultProduct,
                                id.revision[0] ? id.revision : kDefaultRevision};
        u32 a = 4;
        answer[a++] = 1;  // conformity level
        answer[a++] = 0;  // more follows
        answer[a++] = 0;  // next object id
        answer[a++] = static_cast<u8>(3 - object);
        for (u8 o = object; o <= 2; ++o) {
            const u32 len = static_cast<u32>(strnlen(texts[o], kQ4MBIdentTextMax));
            answer[a++] = o;
            answer[a++] = static_cast<u8>(len);
            std::memcpy(answer + a, texts[o], len);
            a += len;
        }
        return a;
    }
    if (n >= 5 && mei == 14 && code == 4 && object >= 0x80 && object <= 0x87) {
        const u8 tail[] = {0x83, 0, 0, 1, object, 2};
        std::memcpy(answer + 4, tail, sizeof tail);
        PutBe16(answer + 10, id.words[object - 0x80]);
        return 12;
    }
    answer[1] = 0xAB;
    answer[3] = 1;
    return 4;
}

}  // namespace

int Q4MBSrv_SetDevIdent(const char* vendor, const char* product, const char* revision, const u8* words, u32 count) {
    Copy(g.ident.vendor, vendor);
    Copy(g.ident.product, product);
    Copy(g.ident.revision, revision);
    for (u32 k = 0; k < kQ4MBIdentWords; ++k) g.ident.words[k] = words && k < count ? GetLe16(words + 2 * k) : 0;
    return 1;
}

const Q4MBDevIdent& Q4MBSrv_GetDevIdent() { return g.ident; }

void Q4MBSrv_ResetDevIdent() { g = State{}; }

u32 Q4MBSrv_Serve(const Q4MBView& v, u8* server, const u8* pdu, u32 n, u8* answer) {
    if (!server || n < 2) return 0;
    answer[0] = pdu[0];
    answer[1] = pdu[1];
    const u8 f = pdu[1];
    // Every request is read only as far as it arrived.
    const bool fixed = n >= 6;
    switch (f) {
        case 1: case 2:
            return fixed ? ReadBits(v, server, pdu, answer, f) : Exception(pdu, answer, kExValue);
        case 3: case 4:
            return fixed ? ReadRegisters(v, server, pdu, answer, f) : Exception(pdu, answer, kExValue);
        case 5: case 6: {
            if (!fixed) return Exception(pdu, answer, kExValue);
            const u16 value = GetBe16(pdu + 4);
            if (!Write(v, server, f == 5 ? 1 : 3, GetBe16(pdu + 2), 1, [&](u32) { return value; }))
                return Exception(pdu, answer, kExAddress);
            std::memcpy(answer + 2, pdu + 2, 4);
            return 6;
        }
        case 15: case 16: {
            if (n < 7) return Exception(pdu, answer, kExValue);
            const u32 address = GetBe16(pdu + 2), q = GetBe16(pdu + 4), bytes = pdu[6];
            const bool coils = f == 15;
            const bool counted = coils ? q >= 1 && q <= 1968 && bytes == (q + 7) / 8
                                       : q >= 1 && q <= 123 && bytes == 2 * q;
            if (!counted || n < 7 + bytes) return Exception(pdu, answer, kExValue);
            const u8* data = pdu + 7;
            bool ok = coils ? Write(v, server, 1, address, q, [&](u32 k) { return GetBit(data, k) ? 1u : 0u; })
                            : Write(v, server, 3, address, q, [&](u32 k) { return GetBe16(data + 2 * k); });
            if (!ok) return Exception(pdu, answer, kExAddress);
            std::memcpy(answer + 2, pdu + 2, 4);
            return 6;
        }
        case 8:
            if (!fixed) return Exception(pdu, answer, kExValue);
            if (GetBe16(pdu + 2) != 0) return Exception(pdu, answer, kExFunction);
            std::memcpy(answer, pdu, 6);
            return 6;
        case 17:
            answer[2] = 1;
            answer[3] = 0xFF;
            return 4;
        case 43: return DeviceIdentification(pdu, n, answer);
        default: return Exception(pdu, answer, kExFunction);
    }
}

u8* Q4MB_FindServer(const Q4MBView& v, const char* name) {
    if (!name || !name[0]) {
        const u32 local = GetLe32(v.ctx + kMbHdrLocal);
        return local ? v.ctx + local : nullptr;
    }
    for (u32 k = 0; u8* con = Q4MB_Connection(v, k); ++k) {
        const u8* c = Q4MB_Config(v, con);
        if ((GetLe16(c + kMbcFlags) & kMbFlagServer) &&
            std::strcmp(reinterpret_cast<const char*>(c + kMbcAddress), name) == 0)
            return con;
    }
    return nullptr;
}

u32 Q4MB_ServeExID(u8* db, const u8* frame, u32 n, u8* answer, int network, u16 unit, const char* name) {
    Q4MBView v;
    if (!frame || !answer || !Q4MB_View(db, &v)) return 0;
    u8* server = Q4MB_FindServer(v, name);
    if (!server) return 0;
    if (unit == 0) unit = GetLe16(Q4MB_Config(v, server) + kMbcPort) & 0xFF;
    const u32 head = network ? kQ4MBMbapBytes : 0;
    if (n < head + 2) return 0;
    const u8* pdu = frame + head;
    u32 length = n - head;
    if (network) {
        // The header's length bounds the PDU: bytes behind it are not its own.
        const u32 told = GetBe16(frame + 4);
        if (told < 2) return 0;
        if (told < length) length = told;
    }
    if (pdu[0] != 0 && pdu[0] != (unit & 0xFF)) return 0;
    const u32 a = Q4MBSrv_Serve(v, server, pdu, length, answer + head);
    if (!network) return pdu[0] == 0 ? 0 : a;
    if (a == 0) return 0;
    PutBe16(answer, GetBe16(frame));
    PutBe16(answer + 2, 0);
    PutBe16(answer + 4, static_cast<u16>(a));
    return a + kQ4MBMbapBytes;
}

u32 Q4MB_ServeEx(u8* db, const u8* frame, u32 n, u8* answer, int network, u16 unit) {
    return Q4MB_ServeExID(db, frame, n, answer, network, unit, nullptr);
}

u32 Q4MB_Serve(u8* db, const u8* frame, u32 n, u8* answer, int network) {
    return Q4MB_ServeEx(db, frame, n, answer, network, 0);
}

int Q4MBSrv_UdpOpen(u16 port, int* sock) {
    *sock = -1;
    return Q4Socket_UdpCreate(port, sock) == 0 ? 0 : 1;
}

void Q4MBSrv_UdpActivate(u8* db, int sock, int serialFraming, u16 unit, const char* name) {
    if (sock < 0) return;
    u8 in[300], out[kQ4MBMbapBytes + kQ4MBMaxPduAnswer + 2];
    Q4PeerAddr from{};
    const u32 n = Q4Socket_UdpRecvFrom(sock, in, sizeof in, &from);
    if (n == 0) return;
    u32 a = 0;
    if (serialFraming) {
        if (!Q4MBFram_CrcOk(in, n)) return;
        a = Q4MB_ServeExID(db, in, n - 2, out, 0, unit, name);
        if (a) a = Q4MBFram_AppendCrc(out, a);
    } else {
        a = Q4MB_ServeExID(db, in, n, out, 1, unit, name);
    }
    if (a) Q4Socket_UdpSendTo(sock, &from, out, a);
}

void Q4MBSrv_UdpClose(int sock) {
    if (sock >= 0) Q4Socket_CloseSocket(sock);
}
