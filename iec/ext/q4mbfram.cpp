#include "iec/ext/q4mbfram.h"

#include <cstring>

#include "core/plc_regs.h"
#include "iec/ext/q4mb.h"
#include "iec/kernel/q4rtclk.h"

u32 Q4MBFram_AppendCrc(u8* frame, u32 n) {
    u16 c = crc16(frame, n);
    frame[n] = static_cast<u8>(c & 0xFF);
    frame[n + 1] = static_cast<u8>(c >> 8);
    return n + 2;
}

bool Q4MBFram_CrcOk(const u8* frame, u32 n) {
    if (n < 4) return false;
    u16 c = crc16(frame, n - 2);
    return frame[n - 2] == (c & 0xFF) && frame[n - 1] == (c >> 8);
}

u8 Q4MBFram_Lrc(const u8* data, u32 n) {
    u8 sum = 0;
    for (u32 k = 0; k < n; ++k) sum = static_cast<u8>(sum + data[k]);
    return static_cast<u8>(-sum);
}

void Q4MBFram_PutMbap(u8* frame, u16 transaction, u32 pduLength) {
    PutBe16(frame, transaction);
    PutBe16(frame + 2, 0);
    PutBe16(frame + 4, static_cast<u16>(pduLength));
}

u32 Q4MBFram_MbapFrameLength(const u8* header) {
    u32 length = GetBe16(header + 4);
    return length < 2 || length > 256 ? 0 : length + kQ4MBMbapBytes;
}

u32 Q4MBFram_RtuAnswerLength(const u8* head) {
    const u8 function = head[1];
    if (function & 0x80) return 5;
    switch (function) {
        case 1: case 2: case 3: case 4: case 17: case 23: return head[2] + 5u;
        case 5: case 6: case 15: case 16: return 8;
        case 7: return 5;
        default: return 0;
    }
}

// --- The client's frames -----------------------------------------------------

namespace {

void Bump16(u8* p) {
    u16 x = GetLe16(p);
    PutLe16(p, x == 0xFFFF ? 1 : static_cast<u16>(x + 1));
}

void Failed(u8* rq, u16 error) {
    PutLe16(rq + kMbRqState, kMbRqFailed);
    PutLe16(rq + kMbRqError, error);
    Bump16(rq + kMbRqErrors);
}

}  // namespace

void Q4MBFram_Build(const Q4MBView& v, u8* con, u8* rq) {
    const u8* q = Q4MB_Config(v, rq);
    const u8* buf = Q4MB_Data(v, rq);
    const bool net = GetLe16(con + kMbConSerial) == 0;
    u16 t = GetLe16(con + kMbConTransaction);
    t = t >= 2000 ? 1 : static_cast<u16>(t + 1);
    PutLe16(con + kMbConTransaction, t);
    con[kMbConAsciiFrame] = 0;
    u8* f = con + kMbConFrame;
    u8* p = f + (net ? kQ4MBMbapBytes : 0);
    u32 n = 0;
    auto put16 = [&](u32 x) {
        PutBe16(p + n, static_cast<u16>(x));
        n += 2;
    };
    const u16 address = GetLe16(q + kMbqAddress), quantity = GetLe16(q + kMbqQuantity);
    const u8 function = static_cast<u8>(GetLe16(q + kMbqFunction));
    p[n++] = static_cast<u8>(GetLe16(q + kMbqUnit));
    p[n++] = function;
    // The build refused requests whose data the buffer or frame cannot hold.
    switch (function) {
        case 1: case 2: case 3: case 4: put16(address), put16(quantity); break;
        case 5: put16(address), p[n++] = (buf[0] & 1) ? 0xFF : 0x00, p[n++] = 0; break;
        case 6: put16(address), put16(GetLe16(buf)); break;
        case 15: {
            const u32 bytes = (quantity + 7u) / 8u;
            put16(address), put16(quantity), p[n++] = static_cast<u8>(bytes);
            std::memcpy(p + n, buf, bytes);
            n += bytes;
            break;
        }
        case 16:
            put16(address), put16(quantity), p[n++] = static_cast<u8>(2 * quantity);
            for (u32 k = 0; k < quantity; ++k) put16(GetLe16(buf + 2 * k));
            break;
        case 101: put16(address), p[n++] = 0xFF, p[n++] = 0x01, p[n++] = 0x00; break;
        default: break;
    }
    u32 length;
    if (net) {
        Q4MBFram_PutMbap(f, t, n);
        length = n + kQ4MBMbapBytes;
    } else {
        length = Q4MBFram_AppendCrc(f, n);
    }
    PutLe32(con + kMbConTimeout, GetLe16(q + kMbqTimeout));
    PutLe16(con + kMbConPos, 0);
    PutLe16(con + kMbConLen, static_cast<u16>(length));
}

void Q4MBFram_Extract(const Q4MBView& v, u8* con, u8* rq) {
    PutLe32(rq + kMbRqDate, Q4RtClk_GetCurDateStamp());
    PutLe32(rq + kMbRqTime, Q4RtClk_GetCurTimeStamp());
    if (u16 status = GetLe16(con + kMbConStatus)) return Failed(rq, status);
    const u8* q = Q4MB_Config(v, rq);
    const u8* f = con + kMbConFrame;
    const u32 n = GetLe16(con + kMbConLen);
    const bool serial = GetLe16(con + kMbConSerial) != 0, ascii = serial && con[kMbConAsciiFrame];
    if (serial) {
        const bool ok = ascii ? n >= 3 && Q4MBFram_Lrc(f, n - 1) == f[n - 1] : Q4MBFram_CrcOk(f, n);
        if (!ok) return Failed(rq, kMbErrChecksum);
    }
    const u32 start = serial ? 0 : kQ4MBMbapBytes, tail = serial ? (ascii ? 1 : 2) : 0;
    if (n < start + tail + 2) return Failed(rq, kMbErrConnection);
    const u8* p = f + start;
    const u32 pdu = n - start - tail;  // unit id onward, as it arrived
    const u8 function = static_cast<u8>(GetLe16(q + kMbqFunction));
    if (p[0] != static_cast<u8>(GetLe16(q + kMbqUnit))) return Failed(rq, kMbErrConnection);
    if (p[1] & 0x80) return Failed(rq, pdu >= 3 ? static_cast<u16>(p[2]) : static_cast<u16>(kMbErrConnection));
    if (p[1] != function) return Failed(rq, kMbErrConnection);
    u8* buf = Q4MB_Data(v, rq);
    const u32 size = Q4MB_BufferSize(v, rq);
    // Data are taken only as far as they arrived and the buffer holds them.
    const u32 arrived = pdu >= 3 ? pdu - 3 : 0;
    switch (function) {
        case 1: case 2: case 3: case 4: {
            if (pdu < 3) return Failed(rq, kMbErrConnection);
            u32 take = p[2];
            if (take > arrived) take = arrived;
            if (take > size) take = size;
            if (function <= 2) std::memcpy(buf, p + 3, take);
            else
                for (u32 k = 0; k < take / 2; ++k) PutLe16(buf + 2 * k, GetBe16(p + 3 + 2 * k));
            break;
        }
        case 101:
            if (arrived < 6 * 16) return Failed(rq, kMbErrConnection);
            for (u32 g = 0; g < 16; ++g)
                for (u32 b = 0; b < 6; ++b) buf[2 + 6 * g + b] = p[3 + 6 * g + 5 - b];
            PutLe16(rq + kMbRqReserved, 0);
            break;
        default: break;
    }
    Bump16(rq + kMbRqSuccess);
    PutLe16(rq + kMbRqState, kMbRqDone);
    PutLe16(rq + kMbRqError, 0);
}
