#include "iec/ext/q4mbcomm.h"

#include <cstring>

#include "iec/ext/q4mb.h"
#include "iec/ext/q4mbfram.h"
#include "iec/kernel/q4serial.h"
#include "iec/kernel/q4socket.h"
#include "iec/kernel/q4vmtic.h"

namespace {

int Sock(const u8* con) { return static_cast<int>(static_cast<i32>(GetLe32(con + kMbConSocket))); }
void SetSock(u8* con, int s) { PutLe32(con + kMbConSocket, static_cast<u32>(static_cast<i32>(s))); }
const char* Address(const Q4MBView& v, const u8* con) {
    return reinterpret_cast<const char*>(Q4MB_Config(v, con) + kMbcAddress);
}
u16 Port(const Q4MBView& v, const u8* con) { return GetLe16(Q4MB_Config(v, con) + kMbcPort); }
void Set(u8* con, u16 state, u16 status) {
    PutLe16(con + kMbConState, state);
    if (status) PutLe16(con + kMbConStatus, status);
}
bool Udp(const u8* con) { return GetLe16(con + kMbConFlags) & kMbFlagUdp; }
bool Serial(const u8* con) { return GetLe16(con + kMbConSerial) != 0; }

void Broken(u8* con) {
    Q4Socket_CloseSocket(Sock(con));
    SetSock(con, -1);
    Set(con, kMbError, kMbErrConnection);
}

// The handle and mode word live in the record unaligned: go through copies.
template <typename Fn>
auto WithHandle(u8* con, Fn fn) {
    int h = static_cast<int>(static_cast<i32>(GetLe32(con + kMbConHandle)));
    u32 mode = GetLe32(con + kMbConAscii);
    auto r = fn(&h, &mode);
    PutLe32(con + kMbConHandle, static_cast<u32>(static_cast<i32>(h)));
    PutLe32(con + kMbConAscii, mode);
    return r;
}

}  // namespace

int Q4MBComm_Open(const Q4MBView& v, u8* con) {
    const char* a = Address(v, con);
    PutLe16(con + kMbConStatus, 0);
    if (std::strncmp(a, "UDP:", 4) == 0) {
        PutLe16(con + kMbConFlags, static_cast<u16>(GetLe16(con + kMbConFlags) | kMbFlagUdp));
        int s = -1;
        if (Q4Socket_UdpCreate(0, &s) != 0) {
            Set(con, kMbError, kMbErrConnection);
            return kMbError;
        }
        SetSock(con, s);
        Set(con, kMbIdle, 0);
        return kMbIdle;
    }
    if (Serial(con)) {
        bool ok = WithHandle(con, [&](int* h, u32* mode) {
            if (*h == -1) Q4SerialAsc_Open(h, a, mode);
            return Q4Serial_IsValid(h) != 0;
        });
        // Without a port to borrow there is no connection.
        if (!ok) {
            Set(con, kMbError, kMbErrConnection);
            return kMbError;
        }
        Set(con, kMbIdle, 0);
        return kMbIdle;
    }
    int s = -1, pending = 0;
    if (Q4Socket_CreateConnectedSocket(a, Port(v, con), &s, &pending) != 0) {
        Set(con, kMbError, kMbErrConnection);
        return kMbError;
    }
    SetSock(con, s);
    Set(con, pending ? kMbConnecting : kMbIdle, 0);
    return pending ? kMbConnecting : kMbIdle;
}

void Q4MBComm_CheckPendingConnect(const Q4MBView&, u8* con) {
    int broken = 0;
    if (Q4Socket_CheckPendingConnect(Sock(con), &broken) == 0) Set(con, kMbIdle, 0);
    else if (broken) Broken(con);
}

void Q4MBComm_Send(const Q4MBView& v, u8* con) {
    u8* f = con + kMbConFrame;
    const u32 len = GetLe16(con + kMbConLen), pos = GetLe16(con + kMbConPos);
    if (Udp(con)) {
        const int s = Sock(con);
        if (s < 0 || len == 0) return;
        u8 drop[kQ4MBFrameBytes];
        Q4PeerAddr from{};
        for (int k = 0; k < 32 && Q4Socket_UdpRecvFrom(s, drop, sizeof drop, &from) > 0; ++k) {}
        Q4PeerAddr peer{};
        Q4Socket_UdpAddrMake(&peer, Address(v, con) + 4, Port(v, con));
        if (Q4Socket_UdpSendTo(s, &peer, f, len) == 0) Set(con, kMbSent, 0);
        return;
    }
    if (Serial(con)) {
        const bool done = WithHandle(con, [&](int* h, u32* mode) {
            if (!Q4Serial_IsValid(h)) return false;
            if (pos == 0 && (*mode & 0x0FFF0000u) == 0) Q4SerialAsc_Flush(h, mode);
            u32 n = Q4SerialAsc_Send(h, len - pos, f + pos, mode);
            PutLe16(con + kMbConPos, static_cast<u16>(pos + n));
            return pos + n >= len;
        });
        if (static_cast<i32>(GetLe32(con + kMbConHandle)) == -1 && !done) {
            // The port went back to the programming link.
            Set(con, kMbError, kMbErrConnection);
            return;
        }
        if (done) Set(con, kMbSent, 0);
        return;
    }
    const int s = Sock(con);
    if (s < 0) return Set(con, kMbError, kMbErrConnection);
    int broken = 0;
    if (pos == 0) {
        u8 drop[32];
        for (int k = 0; k < 32 && Q4Socket_Receive(s, sizeof drop, drop, &broken) > 0 && !broken; ++k) {}
        if (broken) return Broken(con);
    }
    u32 n = Q4Socket_Send(s, len - pos, f + pos, &broken);
    if (broken) return Broken(con);
    PutLe16(con + kMbConPos, static_cast<u16>(pos + n));
    if (pos + n >= len) Set(con, kMbSent, 0);
}

void Q4MBComm_Receive(const Q4MBView&, u8* con, u32 now) {
    if (Q4VM_Elapsed(now, GetLe32(con + kMbConSendTime)) >= GetLe32(con + kMbConTimeout)) {
        Set(con, kMbReceived, kMbErrTimeout);
        return;
    }
    u8* f = con + kMbConFrame;
    u32 pos = GetLe16(con + kMbConPos), len = GetLe16(con + kMbConLen);
    if (Udp(con)) {
        Q4PeerAddr from{};
        u32 n = Q4Socket_UdpRecvFrom(Sock(con), f, kQ4MBFrameBytes, &from);
        if (n == 0) return;
        PutLe16(con + kMbConLen, static_cast<u16>(n));
        Set(con, kMbReceived, 0);
        return;
    }
    const bool serial = Serial(con);
    const bool ascii = serial && (GetLe32(con + kMbConAscii) & kQ4AscMode);
    const u32 head = serial ? 3 : kQ4MBMbapBytes;
    for (int round = 0; round < 3; ++round) {
        const u32 want = pos < head ? head : len;
        u32 got = 0;
        if (serial) {
            got = WithHandle(con, [&](int* h, u32* mode) { return Q4SerialAsc_Receive(h, want - pos, f + pos, mode); });
        } else {
            int broken = 0;
            got = Q4Socket_Receive(Sock(con), want - pos, f + pos, &broken);
            if (broken) return Broken(con);
        }
        pos += got;
        if (pos == head && len == 0) {
            len = serial ? Q4MBFram_RtuAnswerLength(f) : Q4MBFram_MbapFrameLength(f);
            if (len && ascii) --len;  // an LRC byte in place of the CRC
            if (len == 0) pos = 0;    // not the start of an answer: dropped
        }
        if (len && pos == len) {
            if (!serial && GetBe16(f) != GetLe16(con + kMbConTransaction)) {
                pos = len = 0;  // another exchange's answer
                continue;
            }
            con[kMbConAsciiFrame] = ascii ? 1 : 0;
            PutLe16(con + kMbConPos, static_cast<u16>(pos));
            PutLe16(con + kMbConLen, static_cast<u16>(len));
            Set(con, kMbReceived, 0);
            return;
        }
        if (got == 0) break;
    }
    PutLe16(con + kMbConPos, static_cast<u16>(pos));
    PutLe16(con + kMbConLen, static_cast<u16>(len));
}

void Q4MBComm_Close(const Q4MBView&, u8* con) {
    if (Serial(con)) {
        WithHandle(con, [](int* h, u32* mode) {
            Q4SerialAsc_Close(h, mode);
            return 0;
        });
        return;
    }
    if (Sock(con) >= 0) Q4Socket_CloseSocket(Sock(con));
    SetSock(con, -1);
}

// --- ASCII layer -----------------------------------------------------------

namespace {

constexpr u32 kSentShift = 16, kSentMask = 0x0FFF0000u;

int Hex(u8 c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

void Q4SerialAsc_Open(int* handle, const char* name, u32* mode) {
    *mode = name && std::strncmp(name, "ASCII:", 6) == 0 ? kQ4AscMode : 0;
    Q4Serial_Open(handle, "");
}

u32 Q4SerialAsc_Send(int* handle, u32 n, const u8* frame, u32* mode) {
    if (!(*mode & kQ4AscMode)) return Q4Serial_Send(handle, n, frame);
    if (n < 2) return n;
    // The whole text of the frame; a resumed call writes what is left of it.
    static constexpr char kDigits[] = "0123456789ABCDEF";
    char text[2 * kQ4MBFrameBytes + 8];
    u32 t = 0;
    text[t++] = ':';
    const u32 data = n - 2;
    for (u32 k = 0; k < data; ++k) text[t++] = kDigits[frame[k] >> 4], text[t++] = kDigits[frame[k] & 15];
    const u8 lrc = Q4MBFram_Lrc(frame, data);
    text[t++] = kDigits[lrc >> 4];
    text[t++] = kDigits[lrc & 15];
    text[t++] = '\r';
    text[t++] = '\n';
    u32 sent = (*mode & kSentMask) >> kSentShift;
    if (sent > t) sent = 0;
    sent += Q4Serial_Send(handle, t - sent, reinterpret_cast<const u8*>(text) + sent);
    if (sent < t) {
        *mode = (*mode & ~kSentMask) | (sent << kSentShift);
        return 0;
    }
    *mode &= ~kSentMask;
    return n;
}

u32 Q4SerialAsc_Receive(int* handle, u32 n, u8* buffer, u32* mode) {
    if (!(*mode & kQ4AscMode)) return Q4Serial_Receive(handle, n, buffer);
    u32 got = 0;
    while (got < n) {
        u8 chunk[64];
        u32 want = 2 * (n - got) - ((*mode & kQ4AscNibble) ? 1 : 0);
        if (want > sizeof chunk) want = sizeof chunk;
        u32 r = Q4Serial_Receive(handle, want, chunk);
        if (r == 0) break;
        for (u32 k = 0; k < r && got < n; ++k) {
            int d = Hex(chunk[k]);
            if (d < 0) continue;
            if (*mode & kQ4AscNibble) {
                buffer[got++] = static_cast<u8>(((*mode & 15) << 4) | static_cast<u32>(d));
                *mode &= ~(kQ4AscNibble | 15u);
            } else {
                *mode = (*mode & ~15u) | kQ4AscNibble | static_cast<u32>(d);
            }
        }
    }
    return got;
}

void Q4SerialAsc_Flush(int* handle, u32* mode) {
    *mode &= kQ4AscMode;
    u8 drop[64];
    while (Q4Serial_IsValid(handle) && Q4Serial_Receive(handle, sizeof drop, drop) > 0) {}
}

void Q4SerialAsc_Close(int* handle, u32* mode) {
    *mode = 0;
    Q4Serial_Close(handle);
}
