#include "iec/kernel/q4stffile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "iec/kernel/q4file.h"
#include "iec/kernel/q4host.h"
#include "iec/kernel/q4socket.h"
#include "iec/kernel/q4stfops.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmstr.h"

namespace {

std::string Name(const u8* s) { return Q4Stf_Name(s); }
void StoreBool(u8* db, u16 index, u8* r, bool v) { Q4Stf_StoreBool(db, index, r, v); }
void StoreDint(u8* db, u16 index, u8* r, u32 v) { Q4Stf_StoreDint(db, index, r, v); }

// The open file of a DINT handle operand, or none.
Q4FileHandle FileOf(u8* db, const u8* handle) { return Q4VMRsc_GetFile(db, GetLe32(handle)); }

// --- Opening files ------------------------------------------------------------

// The file is opened even when the result is locked: it then stays in the
// list until the application stops.
int OpenFile(u8* db, const u16* ops, Q4FileHandle (*open)(const char* path)) {
    u8* r = Q4Stf_D32(db, ops[0]);
    const u8* path = Q4Tools_String(db, ops[1]);
    if (!Q4Stf_All(r, path)) return 0;
    u32 handle = 0;
    const std::string name = Name(path);
    if (!name.empty() && Q4VMRsc_GetFreeItem(db)) {
        if (Q4FileHandle f = open(name.c_str())) {
            handle = Q4VMRsc_AddFile(db, f);
            if (!handle) Q4File_Close(f);
        }
    }
    StoreDint(db, ops[0], r, handle);
    return 1;
}

// BOOL result := act(the open file of operand 1), FALSE for a handle that is
// not open; the action happens whether the result is locked or not.
int OnFile(u8* db, const u16* ops, bool (*act)(u8* db, const u16* ops, Q4FileHandle f)) {
    u8 *r = Q4Stf_D8(db, ops[0]), *h = Q4Stf_D32(db, ops[1]);
    if (!Q4Stf_All(r, h)) return 0;
    Q4FileHandle f = FileOf(db, h);
    StoreBool(db, ops[0], r, f && act(db, ops, f));
    return 1;
}

// BOOL result := act(the texts of operands 1..n); nothing at all happens
// while the result is locked.
template <int N>
int OnNames(u8* db, const u16* ops, bool (*act)(const std::string* names)) {
    u8* r = Q4Stf_D8(db, ops[0]);
    std::string names[N];
    for (int k = 0; k < N; ++k) {
        const u8* s = Q4Tools_String(db, ops[1 + k]);
        if (!s) return 0;
        names[k] = Name(s);
    }
    if (!r) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) return 1;
    bool ok = true;
    for (const std::string& n : names) ok = ok && !n.empty();
    *r = ok && act(names) ? 1 : 0;
    return 1;
}

// Element size of an array the raw-array file functions move (0: refused).
u32 RawSize(u16 type) { return Q4Stf_ValueSize(type); }

// FR_READ / FR_WRITE (type, F, ARR, count, POS, NB) -> DINT: elements moved.
int RawArray(u8* db, const u16* ops, bool write) {
    u8 *r = Q4Stf_D32(db, ops[0]), *h = Q4Stf_D32(db, ops[2]), *pp = Q4Stf_D32(db, ops[5]),
       *pn = Q4Stf_D32(db, ops[6]);
    if (!Q4Stf_All(r, h, pp, pn)) return 0;
    const u16 type = ops[1];
    const u32 count = ops[4], size = RawSize(type);
    const u32 pos = GetLe32(pp) & 0xFFFF, nb = GetLe32(pn) & 0xFFFF;
    Q4FileHandle f = FileOf(db, h);
    u32 moved = 0;
    if (f && size != 0 && pos + nb <= count) {
        u8* arr = Q4Stf_Array(db, type, ops[3], count, size);
        if (!arr) return 0;
        moved = write ? Q4File_Fwrite(f, size, nb, arr + pos * size) : Q4File_Fread(f, size, nb, arr + pos * size);
    }
    StoreDint(db, ops[0], r, moved & 0xFFFF);
    return 1;
}

// --- Sockets ------------------------------------------------------------------------

// The descriptor of a socket operand recorded in the list, or -1.
int SocketOf(u8* db, const u8* p) {
    const i32 s = static_cast<i32>(GetLe32(p));
    return s != -1 && Q4VMRsc_FindSocket(db, s) ? s : -1;
}

// Closes a socket of the list and frees its entry.
void DropSocket(u8* db, int sock) {
    u8* e = Q4VMRsc_FindSocket(db, sock);
    Q4Socket_CloseSocket(sock);
    if (e) Q4VMRsc_Release(db, e);
}

// Records a socket just made; one that finds no entry is closed again. The
// descriptor, or -1.
i32 Keep(u8* db, int fd) {
    if (fd == 0) {
        // Descriptor 0 (free when the controller runs without standard input)
        // is never closed by the socket layer: move the socket above it.
        const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        ::close(fd);
        fd = moved;
    }
    if (fd < 0) return -1;
    if (Q4VMRsc_AddSocket(db, fd)) return fd;
    Q4Socket_CloseSocket(fd);
    return -1;
}

// NB is compared unsigned: a negative count is very large.
u32 Bound(const u8* nb, u32 limit) { return std::min(GetLe32(nb), limit); }

// The stream transfers (S at operand 1, NB at 2) -> DINT: at most
// min(NB, limit) bytes through io. A connection the host reports broken is
// closed, its entry freed, and the result is 0. *moved: the bytes moved, or
// -1 when the socket was not in the list or broke.
using StreamIo = u32 (*)(int sock, u32 n, u8* bytes, int* broken);
u32 SendIo(int sock, u32 n, u8* bytes, int* broken) { return Q4Socket_Send(sock, n, bytes, broken); }
u32 ReceiveIo(int sock, u32 n, u8* bytes, int* broken) { return Q4Socket_Receive(sock, n, bytes, broken); }

int Stream(u8* db, const u16* ops, u8* bytes, u32 limit, StreamIo io, i32* moved) {
    u8 *r = Q4Stf_D32(db, ops[0]), *p = Q4Stf_D32(db, ops[1]), *nb = Q4Stf_D32(db, ops[2]);
    if (!Q4Stf_All(r, p, nb, bytes)) return 0;
    const int sock = SocketOf(db, p);
    u32 n = 0;
    *moved = -1;
    if (sock != -1) {
        int broken = 0;
        n = io(sock, Bound(nb, limit), bytes, &broken);
        if (broken) {
            DropSocket(db, sock);
            n = 0;
        } else {
            *moved = static_cast<i32>(n);
        }
    }
    StoreDint(db, ops[0], r, n);
    return 1;
}

// An ADDR operand of at least one socket address; none (after the trace)
// when the array is shorter.
bool AddrLongEnough(u16 count) {
    if (count >= kQ4UdpAddrBytes) return true;
    Q4EVSTRACE("UDP address must be USINT[%u]", kQ4UdpAddrBytes);
    return false;
}

// The UDP sends: a datagram of n bytes at data to the address in ADDR;
// ops: S, NB at 1 and 2, ADDR and its count at 3 and 4. Nothing happens while
// the BOOL result is locked.
int UdpSend(u8* db, const u16* ops, const u8* data, u32 capacity) {
    u8 *r = Q4Stf_D8(db, ops[0]), *s = Q4Stf_D32(db, ops[1]), *nb = Q4Stf_D32(db, ops[2]);
    if (!Q4Stf_All(r, s, nb)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) return 1;
    if (!AddrLongEnough(ops[4])) {
        *r = 0;
        return 1;
    }
    const u8* addr = Q4Stf_Bytes(db, ops[3], ops[4]);
    if (!addr) return 0;
    const int sock = SocketOf(db, s);
    Q4PeerAddr peer;
    std::memcpy(&peer, addr, sizeof peer);
    *r = sock != -1 && Q4Socket_UdpSendTo(sock, &peer, data, Bound(nb, capacity)) == 0 ? 1 : 0;
    return 1;
}

// The UDP receives: one datagram of at most min(NB, capacity) bytes into
// buffer, the sender into ADDR; ops as for the sends. Answers the bytes
// received; kUdpNoTransfer when nothing could be asked (a short ADDR, a
// socket not in the list: the result is 0 and nothing else changes);
// kUdpLocked when the result is locked (nothing happens). *stop is set for
// an operand that designates nothing.
constexpr i32 kUdpNoTransfer = -1, kUdpLocked = -2;
i32 UdpReceive(u8* db, const u16* ops, u8* buffer, u32 capacity, bool* stop) {
    u8 *s = Q4Stf_D32(db, ops[1]), *nb = Q4Stf_D32(db, ops[2]);
    *stop = !Q4Stf_All(s, nb);
    if (*stop) return kUdpLocked;
    if (!Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) return kUdpLocked;
    if (!AddrLongEnough(ops[4])) return kUdpNoTransfer;
    u8* addr = Q4Stf_Bytes(db, ops[3], ops[4]);
    if (!addr) {
        *stop = true;
        return kUdpLocked;
    }
    const int sock = SocketOf(db, s);
    if (sock == -1) return kUdpNoTransfer;
    Q4PeerAddr peer{};
    const u32 n = Q4Socket_UdpRecvFrom(sock, buffer, Bound(nb, capacity), &peer);
    if (n) std::memcpy(addr, &peer, sizeof peer);
    return static_cast<i32>(n);
}

}  // namespace

// --- Files --------------------------------------------------------------------------

int Q4Stf_FROpen(u8* db, const u16* ops, u16) {
    return OpenFile(db, ops, [](const char* p) { return Q4File_Open(p, 0); });
}
int Q4Stf_FWOpen(u8* db, const u16* ops, u16) {
    return OpenFile(db, ops, [](const char* p) { return Q4File_Open(p, 1); });
}
int Q4Stf_FAOpen(u8* db, const u16* ops, u16) { return OpenFile(db, ops, Q4File_OpenAppend); }

int Q4Stf_FClose(u8* db, const u16* ops, u16) {
    return OnFile(db, ops, [](u8* d, const u16* o, Q4FileHandle f) {
        Q4File_Close(f);
        Q4VMRsc_Release(d, Q4VMRsc_FindData(d, GetLe32(Q4Stf_D32(d, o[1]))));
        return true;
    });
}
int Q4Stf_FIsReady(u8* db, const u16* ops, u16) {
    return OnFile(db, ops, [](u8*, const u16*, Q4FileHandle) { return true; });
}
int Q4Stf_FEof(u8* db, const u16* ops, u16) {
    return OnFile(db, ops, [](u8*, const u16*, Q4FileHandle f) { return Q4File_Eof(f) != 0; });
}
int Q4Stf_FFlush(u8* db, const u16* ops, u16) {
    return OnFile(db, ops, [](u8*, const u16*, Q4FileHandle f) { return Q4File_Fflush(f) != 0; });
}

int Q4Stf_FSeek(u8* db, const u16* ops, u16) {
    if (!Q4Stf_All(Q4Stf_D32(db, ops[2]), Q4Stf_D32(db, ops[3]))) return 0;
    return OnFile(db, ops, [](u8* d, const u16* o, Q4FileHandle f) {
        const i32 offset = static_cast<i32>(GetLe32(Q4Stf_D32(d, o[2])));
        const i32 mode = static_cast<i32>(GetLe32(Q4Stf_D32(d, o[3])));
        return Q4File_Fseek(f, mode == 1 || mode == 2 ? mode : 0, offset) != 0;
    });
}

int Q4Stf_FARead(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D32(db, ops[0]), *h = Q4Stf_D32(db, ops[1]);
    if (!Q4Stf_All(r, h)) return 0;
    u8 value[4] = {};
    Q4FileHandle f = FileOf(db, h);
    const bool read = f && Q4File_Read(f, value, 4);
    StoreDint(db, ops[0], r, read ? GetLe32(value) : 0);
    return 1;
}

int Q4Stf_FAWrite(u8* db, const u16* ops, u16) {
    if (!Q4Stf_D32(db, ops[2])) return 0;
    return OnFile(db, ops, [](u8* d, const u16* o, Q4FileHandle f) {
        return Q4File_Write(f, Q4Stf_D32(d, o[2]), 4) != 0;
    });
}

// The line is read whether the result is locked or not; an invalid handle
// leaves the result as it is.
int Q4Stf_FMRead(u8* db, const u16* ops, u16) {
    u8 *r = Q4Tools_String(db, ops[0]), *h = Q4Stf_D32(db, ops[1]);
    if (!Q4Stf_All(r, h)) return 0;
    Q4FileHandle f = FileOf(db, h);
    if (!f) return 1;
    char line[256];
    const int n = Q4File_ReadLine(f, line, Q4Str_GetMaxLength(r));
    if (Q4VMStf_CanStore(db, kQ4LockString, ops[0])) Q4Str_AscForce(r, line, static_cast<u32>(n));
    return 1;
}

int Q4Stf_FMWrite(u8* db, const u16* ops, u16) {
    if (!Q4Tools_String(db, ops[2])) return 0;
    return OnFile(db, ops, [](u8* d, const u16* o, Q4FileHandle f) {
        return Q4File_WriteLine(f, Name(Q4Tools_String(d, o[2])).c_str()) != 0;
    });
}

// FB_READ (type, F, V) -> BOOL: the raw bytes of V from the file.
int Q4Stf_FBRead(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *h = Q4Stf_D32(db, ops[2]);
    int locked = 0;
    u32 size = 0;
    u8* v = Q4Tools_GetAnyParam(db, ops[1], ops[3], &locked, &size);
    if (!Q4Stf_All(r, h, v)) return 0;
    Q4FileHandle f = FileOf(db, h);
    bool ok = false;
    if (f && Q4Type_Class(ops[1]) != kQ4ClassString) ok = locked || Q4File_Read(f, v, size);
    StoreBool(db, ops[0], r, ok);
    return 1;
}

// FB_WRITE (type, F, V) -> BOOL: the raw bytes of V; a STRING's current text
// without its length or NUL.
int Q4Stf_FBWrite(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *h = Q4Stf_D32(db, ops[2]);
    u32 size = 0;
    u8* v = Q4Tools_GetAnyParam(db, ops[1], ops[3], nullptr, &size);
    if (!Q4Stf_All(r, h, v)) return 0;
    Q4FileHandle f = FileOf(db, h);
    bool ok = false;
    if (f) {
        if (Q4Type_Class(ops[1]) == kQ4ClassString) {
            const u32 len = Q4Str_GetLength(v);
            ok = len == 0 || Q4File_Write(f, Q4Str_GetText(v), len);
        } else {
            ok = Q4File_Write(f, v, size) != 0;
        }
    }
    StoreBool(db, ops[0], r, ok);
    return 1;
}

int Q4Stf_FRRead(u8* db, const u16* ops, u16) { return RawArray(db, ops, false); }
int Q4Stf_FRWrite(u8* db, const u16* ops, u16) { return RawArray(db, ops, true); }

int Q4Stf_FExist(u8* db, const u16* ops, u16) {
    return OnNames<1>(db, ops, [](const std::string* n) { return Q4File_Exist(n[0].c_str()) != 0; });
}

int Q4Stf_FGetSize(u8* db, const u16* ops, u16) {
    u8* r = Q4Stf_D32(db, ops[0]);
    const u8* path = Q4Tools_String(db, ops[1]);
    if (!Q4Stf_All(r, path)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) return 1;
    const std::string name = Name(path);
    PutLe32(r, name.empty() ? 0 : Q4File_GetSize(name.c_str()));
    return 1;
}

int Q4Stf_FCopy(u8* db, const u16* ops, u16) {
    return OnNames<2>(db, ops, [](const std::string* n) { return Q4File_Copy(n[0].c_str(), n[1].c_str()) != 0; });
}
int Q4Stf_FDelete(u8* db, const u16* ops, u16) {
    return OnNames<1>(db, ops, [](const std::string* n) { return Q4File_Delete(n[0].c_str()) != 0; });
}
int Q4Stf_FRename(u8* db, const u16* ops, u16) {
    return OnNames<2>(db, ops, [](const std::string* n) { return Q4File_Rename(n[0].c_str(), n[1].c_str()) != 0; });
}

int Q4Stf_SetCsvOpt(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *sep = Q4Tools_String(db, ops[1]), *dec = Q4Tools_String(db, ops[2]),
       *st = Q4VM_Status(db);
    if (!Q4Stf_All(r, sep, dec, st)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) return 1;
    const bool ok = Q4Str_GetLength(sep) == 1 && Q4Str_GetLength(dec) == 1;
    if (ok) {
        st[kQ4StSeparators] = static_cast<u8>(Q4Str_GetText(sep)[0]);
        st[kQ4StSeparators + 1] = static_cast<u8>(Q4Str_GetText(dec)[0]);
    }
    *r = ok ? 1 : 0;
    return 1;
}

// --- TCP ----------------------------------------------------------------------------

// The socket is made even when the result is locked (it stays in the list).
int Q4Stf_TcpListen(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D32(db, ops[0]), *port = Q4Stf_D32(db, ops[1]), *backlog = Q4Stf_D32(db, ops[2]);
    if (!Q4Stf_All(r, port, backlog)) return 0;
    i32 s = -1;
    int fd = -1;
    if (Q4VMRsc_GetFreeItem(db) &&
        Q4Socket_CreateListeningSocket(static_cast<u16>(GetLe32(port)), GetLe32(backlog) & 0xFFFF, &fd) == 0)
        s = Keep(db, fd);
    StoreDint(db, ops[0], r, static_cast<u32>(s));
    return 1;
}

int Q4Stf_TcpAccept(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D32(db, ops[0]), *l = Q4Stf_D32(db, ops[1]);
    if (!Q4Stf_All(r, l)) return 0;
    const int listener = SocketOf(db, l);
    i32 s = -1;
    if (listener != -1 && Q4VMRsc_GetFreeItem(db)) s = Keep(db, Q4Socket_Accept(listener));
    StoreDint(db, ops[0], r, static_cast<u32>(s));
    return 1;
}

int Q4Stf_TcpConnect(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D32(db, ops[0]), *port = Q4Stf_D32(db, ops[2]);
    const u8* addr = Q4Tools_String(db, ops[1]);
    if (!Q4Stf_All(r, addr, port)) return 0;
    i32 s = -1;
    int fd = -1, pending = 0;
    if (Q4VMRsc_GetFreeItem(db) &&
        Q4Socket_CreateConnectedSocket(Name(addr).c_str(), static_cast<u16>(GetLe32(port)), &fd, &pending) == 0)
        s = Keep(db, fd);
    StoreDint(db, ops[0], r, static_cast<u32>(s));
    return 1;
}

// A connection that failed is closed here and its entry freed.
int Q4Stf_TcpIsConnected(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *p = Q4Stf_D32(db, ops[1]);
    if (!Q4Stf_All(r, p)) return 0;
    const int sock = SocketOf(db, p);
    bool connected = false;
    if (sock != -1) {
        int broken = 0;
        connected = Q4Socket_CheckPendingConnect(sock, &broken) == 0;
        if (broken) DropSocket(db, sock);
    }
    StoreBool(db, ops[0], r, connected);
    return 1;
}

int Q4Stf_TcpIsValid(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *p = Q4Stf_D32(db, ops[1]);
    if (!Q4Stf_All(r, p)) return 0;
    StoreBool(db, ops[0], r, SocketOf(db, p) != -1);
    return 1;
}

int Q4Stf_TcpClose(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *p = Q4Stf_D32(db, ops[1]);
    if (!Q4Stf_All(r, p)) return 0;
    const int sock = SocketOf(db, p);
    if (sock != -1) DropSocket(db, sock);
    StoreBool(db, ops[0], r, sock != -1);
    return 1;
}

// TCPSEND (S, NB, DATA) -> DINT: at most the current text of DATA; the bytes
// past it (left over from longer values) never reach the peer.
int Q4Stf_TcpSend(u8* db, const u16* ops, u16) {
    u8* data = Q4Tools_String(db, ops[3]);
    if (!data) return 0;
    i32 moved;
    return Stream(db, ops, data + 2, Q4Str_GetLength(data), SendIo, &moved);
}

// TCPRECEIVE (S, NB, DATA) -> DINT: DATA becomes what was received unless it
// is locked (the bytes are taken from the connection all the same).
int Q4Stf_TcpReceive(u8* db, const u16* ops, u16) {
    u8* data = Q4Tools_String(db, ops[3]);
    if (!data) return 0;
    u8 buffer[256];
    i32 moved;
    if (!Stream(db, ops, buffer, Q4Str_GetMaxLength(data), ReceiveIo, &moved)) return 0;
    if (moved >= 0 && Q4VMStf_CanStore(db, kQ4LockString, ops[3])) Q4Str_AscForce(data, buffer, static_cast<u32>(moved));
    return 1;
}

// TCPSENDARRAY / TCPRCVARRAY (S, NB, DATA, count) -> DINT.
int Q4Stf_TcpSendArray(u8* db, const u16* ops, u16) {
    i32 moved;
    return Stream(db, ops, Q4Stf_Bytes(db, ops[3], ops[4]), ops[4], SendIo, &moved);
}
int Q4Stf_TcpRcvArray(u8* db, const u16* ops, u16) {
    i32 moved;
    return Stream(db, ops, Q4Stf_Bytes(db, ops[3], ops[4]), ops[4], ReceiveIo, &moved);
}

// --- UDP ----------------------------------------------------------------------------

int Q4Stf_UdpCreate(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D32(db, ops[0]), *port = Q4Stf_D32(db, ops[1]);
    if (!Q4Stf_All(r, port)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) return 1;
    i32 s = -1;
    int fd = -1;
    if (Q4VMRsc_GetFreeItem(db) && Q4Socket_UdpCreate(static_cast<u16>(GetLe32(port)), &fd) == 0) s = Keep(db, fd);
    PutLe32(r, static_cast<u32>(s));
    return 1;
}

// UDPADDRMAKE (IP, PORT, ADDR, count) -> BOOL.
int Q4Stf_UdpAddrMake(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *port = Q4Stf_D32(db, ops[2]);
    const u8* ip = Q4Tools_String(db, ops[1]);
    if (!Q4Stf_All(r, ip, port)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) return 1;
    if (!AddrLongEnough(ops[4])) {
        *r = 0;
        return 1;
    }
    u8* addr = Q4Stf_Bytes(db, ops[3], ops[4]);
    if (!addr) return 0;
    Q4PeerAddr peer;
    Q4Socket_UdpAddrMake(&peer, Name(ip).c_str(), static_cast<u16>(GetLe32(port)));
    std::memcpy(addr, &peer, sizeof peer);
    *r = 1;
    return 1;
}

// UDPSENDTO (S, NB, ADDR, count, DATA) -> BOOL: at most DATA's current text.
int Q4Stf_UdpSendTo(u8* db, const u16* ops, u16) {
    const u8* data = Q4Tools_String(db, ops[5]);
    if (!data) return 0;
    return UdpSend(db, ops, reinterpret_cast<const u8*>(Q4Str_GetText(data)), Q4Str_GetLength(data));
}

int Q4Stf_UdpSendToArray(u8* db, const u16* ops, u16) {
    const u8* data = Q4Stf_Bytes(db, ops[5], ops[6]);
    if (!data) return 0;
    return UdpSend(db, ops, data, ops[6]);
}

// UDPRCVFROM (S, NB, ADDR, count, DATA) -> DINT: DATA's text becomes the
// datagram (its length the number received).
int Q4Stf_UdpRcvFrom(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D32(db, ops[0]), *data = Q4Tools_String(db, ops[5]);
    if (!Q4Stf_All(r, data)) return 0;
    u8 buffer[256];
    bool stop = false;
    const i32 n = UdpReceive(db, ops, buffer, Q4Str_GetMaxLength(data), &stop);
    if (stop) return 0;
    if (n == kUdpLocked) return 1;
    if (n >= 0) Q4Str_AscForce(data, buffer, static_cast<u32>(n));
    PutLe32(r, n >= 0 ? static_cast<u32>(n) : 0);
    return 1;
}

int Q4Stf_UdpRcvFromArray(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D32(db, ops[0]), *data = Q4Stf_Bytes(db, ops[5], ops[6]);
    if (!Q4Stf_All(r, data)) return 0;
    bool stop = false;
    const i32 n = UdpReceive(db, ops, data, ops[6], &stop);
    if (stop) return 0;
    if (n != kUdpLocked) PutLe32(r, n >= 0 ? static_cast<u32>(n) : 0);
    return 1;
}
