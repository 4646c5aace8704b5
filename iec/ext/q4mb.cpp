#include "iec/ext/q4mb.h"

#include <cstring>

#include "iec/ext/q4mbcomm.h"
#include "iec/ext/q4mbfram.h"
#include "iec/ext/q4mbsrv.h"
#include "iec/kernel/q4rtclk.h"
#include "iec/kernel/q4vmcode.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmtic.h"

namespace {

constexpr u32 kRecordsStart = 8;  // after the minimum size and a word not read
constexpr u64 kMaxContext = 16u << 20;

u16 Le16(const u8* p, u32 at) { return GetLe16(p + at); }

// One configuration record: its offset, type and length.
struct Rec {
    u32 at;
    u16 type, length;
};

// Walks the configuration's records; false when one runs past its end or
// cannot be stepped over.
template <typename Fn>
bool Walk(const u8* cfg, u32 n, Fn fn) {
    if (!cfg || n < kRecordsStart) return false;
    for (u32 at = kRecordsStart;;) {
        if (at + 2 > n) return false;
        u16 length = Le16(cfg, at);
        if (length == 0) return true;
        if (length < 4 || at + length > n) return false;
        fn(Rec{at, Le16(cfg, at + 2), length});
        at += length;
    }
}

bool TextInside(const u8* cfg, const Rec& r, u32 at) {
    return at < r.length && std::memchr(cfg + r.at + at, 0, r.length - at) != nullptr;
}

// Record sizes each type needs to be read.
bool RecordWhole(const u8* cfg, const Rec& r) {
    switch (r.type) {
        case kMbRecConnection: return r.length > kMbcAddress && TextInside(cfg, r, kMbcAddress);
        case kMbRecRequest: return r.length >= kMbqBufSize + 2;
        case kMbRecSlave: return r.length >= kMbsUnit + 2;
        case 3: return r.length >= 18;
        case 4: return r.length >= 22;
        case 5: case 6: return r.length >= 30;
        default: return true;
    }
}

// The first connection record with the id, or none.
const u8* FindConnection(const u8* cfg, u32 n, u16 id, u32* index = nullptr) {
    const u8* found = nullptr;
    u32 k = 0;
    Walk(cfg, n, [&](const Rec& r) {
        if (found || r.type != kMbRecConnection) return;
        if (Le16(cfg, r.at + kMbcId) == id) {
            found = cfg + r.at;
            if (index) *index = k;
        }
        ++k;
    });
    return found;
}

bool IsServer(const u8* conn) { return Le16(conn, kMbcFlags) & kMbFlagServer; }

// Buffer bytes a request or table takes in the context.
u32 BufferBytes(const u8* conn, const u8* rq) {
    u32 b = Le16(rq, kMbqBufSize);
    u16 kind = Le16(rq, kMbqFunction);
    return IsServer(conn) && (kind == 1 || kind == 3) ? 2 * b : b;
}

// A request whose frame or buffer cannot hold what its function moves is
// refused, and so is a server table whose buffer does not hold its range.
bool RequestFits(const u8* conn, const u8* rq) {
    const u32 q = Le16(rq, kMbqQuantity), buf = Le16(rq, kMbqBufSize);
    const u16 f = Le16(rq, kMbqFunction);
    if (IsServer(conn)) {
        if (f == 1 || f == 2) return (q + 7) / 8 <= buf;
        if (f == 3 || f == 4) return 2 * q <= buf;
        return true;
    }
    switch (f & 0xFF) {
        case 5: return buf >= 1;
        case 6: return buf >= 2;
        case 15: return q >= 1 && q <= 1968 && (q + 7) / 8 <= buf;
        case 16: return q >= 1 && q <= 123 && 2 * q <= buf;
        case 101: return buf >= 2 + 6 * 16;
        default: return true;
    }
}

struct Counts {
    u32 conns = 0, slaves = 0, requests = 0, maps = 0;
    u64 bytes = kMbHdrBytes;
    bool ok = true;
};

Counts Count(const u8* cfg, u32 n) {
    Counts c;
    bool walked = Walk(cfg, n, [&](const Rec& r) {
        if (!RecordWhole(cfg, r)) {
            c.ok = false;
            return;
        }
        switch (r.type) {
            case kMbRecConnection: ++c.conns, c.bytes += kMbConBytes; break;
            case kMbRecSlave: ++c.slaves, c.bytes += kMbSlBytes; break;
            case 3: case 4: case 5: case 6: ++c.maps, c.bytes += kMbMapBytes; break;
            default: break;
        }
    });
    if (!walked) c.ok = false;
    if (!c.ok) return c;
    Walk(cfg, n, [&](const Rec& r) {
        if (r.type != kMbRecRequest) return;
        const u8* conn = FindConnection(cfg, n, Le16(cfg, r.at + kMbqConn));
        if (!conn) return;
        if (!RequestFits(conn, cfg + r.at)) c.ok = false;
        ++c.requests;
        c.bytes += kMbRqBytes + BufferBytes(conn, cfg + r.at);
    });
    if (c.conns > 0xFFFF || c.requests > 0xFFFF || c.slaves > 0xFFFF || c.maps > 0xFFFF) c.ok = false;
    return c;
}

u8* At(const Q4MBView& v, u32 area, u32 countField, u32 size, u32 k) {
    if (!v.ctx || k >= Le16(v.ctx, countField)) return nullptr;
    return v.ctx + GetLe32(v.ctx + area) + k * size;
}

void Bump(u8* p) {
    u16 x = GetLe16(p);
    PutLe16(p, x == 0xFFFF ? 1 : static_cast<u16>(x + 1));
}

}  // namespace

u32 Q4MB_GetMemorySizing(const u8* cfg, u32 cfgBytes) {
    if (!cfg) return kMbHdrBytes;
    Counts c = Count(cfg, cfgBytes);
    if (!c.ok) return 0;
    if (c.conns + c.slaves + c.requests + c.maps == 0) return 40;
    u64 size = (c.bytes + 7) & ~u64{7};
    u32 minimum = GetLe32(cfg);
    if (size < minimum) size = minimum;
    return size > kMaxContext ? 0 : static_cast<u32>(size);
}

int Q4MB_Build(const u8* cfg, u32 cfgBytes, u8* ctx, u32 size) {
    if (!ctx) return 1;
    std::memset(ctx, 0, size);
    if (size >= 4) PutLe32(ctx + kMbHdrSize, size);
    if (!cfg) return 0;
    const u32 need = Q4MB_GetMemorySizing(cfg, cfgBytes);
    if (need == 0 || need > size || size < kMbHdrBytes) return 1;
    Counts c = Count(cfg, cfgBytes);
    const u32 conns = kMbHdrBytes, slaves = conns + c.conns * kMbConBytes, requests = slaves + c.slaves * kMbSlBytes,
              maps = requests + c.requests * kMbRqBytes, data = maps + c.maps * kMbMapBytes;
    PutLe32(ctx + kMbHdrConn, conns);
    PutLe32(ctx + kMbHdrSlave, slaves);
    PutLe32(ctx + kMbHdrReq, requests);
    PutLe32(ctx + kMbHdrMap, maps);
    PutLe32(ctx + kMbHdrData, data);
    PutLe16(ctx + kMbHdrNMap, static_cast<u16>(c.maps));
    // Connections in configuration order.
    u32 nc = 0;
    Walk(cfg, cfgBytes, [&](const Rec& r) {
        if (r.type != kMbRecConnection) return;
        u8* con = ctx + conns + nc++ * kMbConBytes;
        const u16 flags = Le16(cfg, r.at + kMbcFlags);
        PutLe32(con + kMbConCfg, r.at);
        PutLe16(con + kMbConId, Le16(cfg, r.at + kMbcId));
        PutLe16(con + kMbConFlags, flags);
        PutLe16(con + kMbConSerial, (flags & kMbFlagSerial) ? 1 : 0);
        PutLe32(con + kMbConSocket, static_cast<u32>(-1));
        PutLe32(con + kMbConHandle, static_cast<u32>(-1));
        if ((flags & kMbFlagServer) && GetLe32(ctx + kMbHdrLocal) == 0) PutLe32(ctx + kMbHdrLocal, conns + (nc - 1) * kMbConBytes);
    });
    PutLe16(ctx + kMbHdrNConn, static_cast<u16>(nc));
    // Slave records and requests, each connection's kept together in
    // configuration order; data buffers behind everything in request order.
    u32 ns = 0, nr = 0, dataAt = data;
    for (u32 k = 0; k < nc; ++k) {
        u8* con = ctx + conns + k * kMbConBytes;
        const u8* ccfg = cfg + GetLe32(con + kMbConCfg);
        const u16 id = Le16(con, kMbConId);
        auto mine = [&](u16 connId) {
            u32 owner = 0;
            return FindConnection(cfg, cfgBytes, connId, &owner) && connId == id && owner == k;
        };
        PutLe32(con + kMbConFirstSlave, ns);
        Walk(cfg, cfgBytes, [&](const Rec& r) {
            if (r.type != kMbRecSlave || !mine(Le16(cfg, r.at + kMbsConn))) return;
            u8* sl = ctx + slaves + ns++ * kMbSlBytes;
            PutLe16(sl + kMbSlUnit, Le16(cfg, r.at + kMbsUnit));
        });
        PutLe16(con + kMbConNSlave, static_cast<u16>(ns - GetLe32(con + kMbConFirstSlave)));
        PutLe32(con + kMbConFirstReq, nr);
        Walk(cfg, cfgBytes, [&](const Rec& r) {
            if (r.type != kMbRecRequest || !mine(Le16(cfg, r.at + kMbqConn))) return;
            u8* rq = ctx + requests + nr++ * kMbRqBytes;
            PutLe32(rq + kMbRqCfg, r.at);
            const u16 unit = Le16(cfg, r.at + kMbqUnit) & 0xFF;
            for (u32 s = GetLe32(con + kMbConFirstSlave); s < ns; ++s) {
                u8* sl = ctx + slaves + s * kMbSlBytes;
                if ((Le16(sl, kMbSlUnit) & 0xFF) == unit) {
                    PutLe32(rq + kMbRqSlave, slaves + s * kMbSlBytes);
                    break;
                }
            }
            if (IsServer(ccfg)) rq[kMbRqServer] = 1;
            else rq[kMbRqNoData] = 1;
            const u16 mode = Le16(cfg, r.at + kMbqMode);
            rq[kMbRqTrigger] = (mode == 1 || mode == 3) ? 1 : 0;
            PutLe32(rq + kMbRqData, dataAt);
            dataAt += BufferBytes(ccfg, cfg + r.at);
        });
        PutLe16(con + kMbConNReq, static_cast<u16>(nr - GetLe32(con + kMbConFirstReq)));
    }
    PutLe16(ctx + kMbHdrNSlave, static_cast<u16>(ns));
    PutLe16(ctx + kMbHdrNReq, static_cast<u16>(nr));
    return 0;
}

int Q4MB_CanBuildHOT(const u8* cfg, u32 cfgBytes, const u8* ctx) {
    if (!ctx) return 1;
    u32 need = Q4MB_GetMemorySizing(cfg, cfgBytes);
    return need == 0 || GetLe32(ctx + kMbHdrSize) < need ? 1 : 0;
}

int Q4MB_BuildHOT(const u8* cfg, u32 cfgBytes, u8* ctx, u32 size) {
    // The area's own size bounds the rebuild: the header of a context read
    // back from a hot-restart image is not trusted.
    const u32 need = Q4MB_GetMemorySizing(cfg, cfgBytes);
    if (!ctx || need == 0 || need > size) return 1;
    return Q4MB_Build(cfg, cfgBytes, ctx, size);
}

bool Q4MB_View(u8* db, Q4MBView* v) {
    *v = Q4MBView{};
    if (!db) return false;
    const Q4Code& code = Q4VM_CodeOf(db);
    u32 off = Q4VMCode_MBClientConfig(code);
    u32 bytes = 0;
    u8* area = Q4VM_AreaPtr(db, kDbModbus, &bytes);
    if (!off || !code.data || off >= code.size || !area || bytes < kMbHdrBytes) return false;
    v->db = db;
    v->ctx = area;
    v->cfg = code.data + off;
    v->cfgBytes = code.size - off;
    return true;
}

u8* Q4MB_Connection(const Q4MBView& v, u32 k) { return At(v, kMbHdrConn, kMbHdrNConn, kMbConBytes, k); }
u8* Q4MB_Request(const Q4MBView& v, u32 k) { return At(v, kMbHdrReq, kMbHdrNReq, kMbRqBytes, k); }
u8* Q4MB_Slave(const Q4MBView& v, u32 k) { return At(v, kMbHdrSlave, kMbHdrNSlave, kMbSlBytes, k); }
const u8* Q4MB_Config(const Q4MBView& v, const u8* record) { return v.cfg + GetLe32(record); }
u8* Q4MB_Data(const Q4MBView& v, const u8* request) { return v.ctx + GetLe32(request + kMbRqData); }
u32 Q4MB_BufferSize(const Q4MBView& v, const u8* request) {
    return Le16(Q4MB_Config(v, request), kMbqBufSize);
}

u8* Q4MB_ConnectionOf(const Q4MBView& v, const u8* request) {
    const u32 index = static_cast<u32>(request - Q4MB_Request(v, 0)) / kMbRqBytes;
    for (u32 k = 0; u8* con = Q4MB_Connection(v, k); ++k) {
        u32 first = GetLe32(con + kMbConFirstReq);
        if (index >= first && index < first + Le16(con, kMbConNReq)) return con;
    }
    return nullptr;
}

namespace {

u8* RequestOf(const Q4MBView& v, const u8* con, u32 k) {
    return Q4MB_Request(v, GetLe32(con + kMbConFirstReq) + k);
}

// Every request of the connection takes its state and status; with an error
// they count as ended and their slave records note it.
void DispatchStatus(const Q4MBView& v, u8* con) {
    const u16 state = Le16(con, kMbConState), status = Le16(con, kMbConStatus);
    for (u32 k = 0; k < Le16(con, kMbConNReq); ++k) {
        u8* rq = RequestOf(v, con, k);
        PutLe16(rq + kMbRqState, state);
        PutLe16(rq + kMbRqError, status);
        if (status) rq[kMbRqHandshake] = 255, rq[kMbRqNoData] = 0;
    }
    if (!status) return;
    for (u32 k = 0; k < Le16(con, kMbConNSlave); ++k) {
        u8* sl = Q4MB_Slave(v, GetLe32(con + kMbConFirstSlave) + k);
        PutLe16(sl + kMbSlLastError, status);
        PutLe32(sl + kMbSlErrDate, Q4RtClk_GetCurDateStamp());
        PutLe32(sl + kMbSlErrTime, Q4RtClk_GetCurTimeStamp());
    }
}

void OnSlaveExchange(u8* rq, u8* ctx) {
    if (!GetLe32(rq + kMbRqSlave)) return;
    u8* sl = ctx + GetLe32(rq + kMbRqSlave);
    PutLe32(sl + kMbSlExchanges, GetLe32(sl + kMbSlExchanges) + 1);
    if (u16 e = Le16(rq, kMbRqError)) {
        PutLe16(sl + kMbSlLastError, e);
        PutLe32(sl + kMbSlErrDate, Q4RtClk_GetCurDateStamp());
        PutLe32(sl + kMbSlErrTime, Q4RtClk_GetCurTimeStamp());
        PutLe32(sl + kMbSlErrors, GetLe32(sl + kMbSlErrors) + 1);
    }
}

void SetState(u8* con, u16 s) { PutLe16(con + kMbConState, s); }

// The exchange of the current request ended: on to the next one.
void Advance(const Q4MBView& v, u8* con) {
    u16 n = Le16(con, kMbConNReq);
    u16 next = static_cast<u16>((Le16(con, kMbConCurrent) + 1) % (n ? n : 1));
    PutLe16(con + kMbConCurrent, next);
    if (u8* rq = RequestOf(v, con, next)) PutLe16(rq + kMbRqRetries, 0);
}

void Ended(const Q4MBView& v, u8* con, u8* rq) {
    rq[kMbRqHandshake] = 255;
    rq[kMbRqNoData] = 0;
    PutLe16(rq + kMbRqRetries, 0);
    OnSlaveExchange(rq, v.ctx);
    Advance(v, con);
}

// Looks for the next due request from the current one, round once; sends
// it. False when none is due.
bool StartDue(const Q4MBView& v, u8* con, u32 now) {
    const u16 n = Le16(con, kMbConNReq);
    u16 at = Le16(con, kMbConCurrent);
    if (at >= n) at = 0;
    for (u16 round = 0; round < n; ++round, at = static_cast<u16>((at + 1) % n)) {
        u8* rq = RequestOf(v, con, at);
        const u8* q = Q4MB_Config(v, rq);
        const u16 mode = Le16(q, kMbqMode);
        const bool hasErrPeriod = GetLe16(q) >= kMbqMinBytesForErrPeriod;
        u32 period = Le16(q, kMbqPeriod);
        if (Le16(rq, kMbRqError) && hasErrPeriod) period = Le16(q, kMbqErrPeriod);
        const u32 sinceSend = Q4VM_Elapsed(now, GetLe32(rq + kMbRqLastSend));
        if (mode == 3 && (Le16(rq, kMbRqError) || Le16(rq, kMbRqRetries))) {
            if (!hasErrPeriod) {
                rq[kMbRqTrigger] = 1;
            } else if (sinceSend >= Le16(q, kMbqErrPeriod)) {
                rq[kMbRqTrigger] = 1;
                PutLe32(rq + kMbRqLastSend, now);
            }
        }
        const bool neverSent = GetLe32(rq + kMbRqLastSend) == 0;
        const bool due = rq[kMbRqTrigger] == 1 && (mode != 1 || neverSent || sinceSend >= period);
        if (!due) continue;
        PutLe16(con + kMbConCurrent, at);
        PutLe32(rq + kMbRqLastSend, now ? now : 1);
        if (mode != 1) rq[kMbRqTrigger] = 0;
        Q4MBFram_Build(v, con, rq);
        SetState(con, kMbSending);
        PutLe16(rq + kMbRqState, kMbRqBusy);
        return true;
    }
    return false;
}

u16 Tries(const u8* q) {
    // No tries configured means one try, not 65,535 retries.
    u16 t = Le16(q, kMbqTries);
    return t ? t : 1;
}

void Step(const Q4MBView& v, u8* con, u32 now) {
    const u8* ccfg = Q4MB_Config(v, con);
    switch (Le16(con, kMbConState)) {
        case kMbConnecting:
        case kMbConnecting2:
            Q4MBComm_CheckPendingConnect(v, con);
            if (Le16(con, kMbConState) == kMbError) {
                DispatchStatus(v, con);
                return;
            }
            if (Le16(con, kMbConState) != kMbIdle) return;
            DispatchStatus(v, con);
            [[fallthrough]];
        case kMbIdle:
            if (Le16(con, kMbConNReq) == 0 || !StartDue(v, con, now)) return;
            [[fallthrough]];
        case kMbSending: {
            Q4MBComm_Send(v, con);
            const u16 s = Le16(con, kMbConState);
            if (s == kMbError) {
                DispatchStatus(v, con);
                return;
            }
            if (s != kMbSent) return;
            u8* rq = RequestOf(v, con, Le16(con, kMbConCurrent));
            if (Le16(con, kMbConSerial) && con[kMbConFrame] == 0) {
                // A serial broadcast gets no answer.
                Bump(rq + kMbRqSuccess);
                PutLe16(rq + kMbRqState, kMbRqDone);
                PutLe32(rq + kMbRqDate, Q4RtClk_GetCurDateStamp());
                PutLe32(rq + kMbRqTime, Q4RtClk_GetCurTimeStamp());
                Ended(v, con, rq);
                SetState(con, kMbIdle);
                return;
            }
            PutLe16(con + kMbConPos, 0);
            PutLe16(con + kMbConLen, 0);
            PutLe32(con + kMbConSendTime, now);
            SetState(con, kMbReceiving);
            return;
        }
        case kMbReceiving: {
            Q4MBComm_Receive(v, con, now);
            const u16 s = Le16(con, kMbConState);
            if (s == kMbError) {
                DispatchStatus(v, con);
                return;
            }
            if (s != kMbReceived) return;
            u8* rq = RequestOf(v, con, Le16(con, kMbConCurrent));
            const u8* q = Q4MB_Config(v, rq);
            if (Le16(con, kMbConStatus) && Le16(rq, kMbRqRetries) + 1u < Tries(q)) {
                Bump(rq + kMbRqRetries);
                if (rq[kMbRqHandshake]) rq[kMbRqTrigger] = 1;
                PutLe16(con + kMbConStatus, 0);
                SetState(con, kMbIdle);
                return;
            }
            Q4MBFram_Extract(v, con, rq);
            PutLe16(con + kMbConStatus, 0);
            Ended(v, con, rq);
            if (Le16(ccfg, kMbcDelay)) {
                PutLe32(con + kMbConEndTime, now);
                SetState(con, kMbDelay);
            } else {
                SetState(con, kMbIdle);
            }
            return;
        }
        case kMbError: {
            if (Le16(ccfg, kMbcFlags) & kMbFlagReconnect) {
                if (Le16(ccfg, kMbcReconnect) < 2) {
                    Q4MBComm_Close(v, con);
                    int r = Q4MBComm_Open(v, con);
                    SetState(con, r == 0 ? kMbIdle : r == 1 ? kMbConnecting2 : kMbError);
                } else {
                    PutLe32(con + kMbConWaitStart, now);
                    SetState(con, kMbReconnectWait);
                }
            }
            DispatchStatus(v, con);
            return;
        }
        case kMbDelay:
            if (Q4VM_Elapsed(now, GetLe32(con + kMbConEndTime)) >= Le16(ccfg, kMbcDelay)) SetState(con, kMbIdle);
            return;
        case kMbReconnectWait:
            if (Q4VM_Elapsed(now, GetLe32(con + kMbConWaitStart)) >= Le16(ccfg, kMbcReconnect)) {
                Q4MBComm_Close(v, con);
                int r = Q4MBComm_Open(v, con);
                if (r == 1) {
                    SetState(con, kMbConnecting2);
                    DispatchStatus(v, con);
                } else if (r == 0) {
                    PutLe16(con + kMbConStatus, 0);
                    SetState(con, kMbIdle);
                    DispatchStatus(v, con);
                } else {
                    PutLe32(con + kMbConWaitStart, now);
                    SetState(con, kMbReconnectWait);
                }
            }
            return;
        default: SetState(con, kMbError); return;
    }
}

}  // namespace

int Q4MB_Open(u8* db) {
    Q4MBView v;
    int rc = 0;
    if (Q4MB_View(db, &v)) {
        for (u32 k = 0; u8* con = Q4MB_Connection(v, k); ++k) {
            if (Le16(con, kMbConFlags) & kMbFlagServer) continue;
            // Descriptors kept in a restored database belong to an earlier run.
            PutLe32(con + kMbConSocket, static_cast<u32>(-1));
            PutLe32(con + kMbConHandle, static_cast<u32>(-1));
            PutLe32(con + kMbConAscii, 0);
            PutLe16(con + kMbConStatus, 0);
            if (Q4MBComm_Open(v, con) == kMbError) rc = 1;
            DispatchStatus(v, con);
        }
    }
    Q4MBSrv_SetDevIdent("", "", "", nullptr, 0);
    return rc;
}

void Q4MB_Close(u8* db) {
    Q4MBView v;
    if (Q4MB_View(db, &v)) {
        for (u32 k = 0; u8* con = Q4MB_Connection(v, k); ++k)
            if (!(Le16(con, kMbConFlags) & kMbFlagServer)) Q4MBComm_Close(v, con);
    }
    Q4MBSrv_SetDevIdent("", "", "", nullptr, 0);
}

void Q4MB_Activate(u8* db, u32 now) {
    Q4MBView v;
    if (!Q4MB_View(db, &v)) return;
    for (u32 k = 0; u8* con = Q4MB_Connection(v, k); ++k)
        if (!(Le16(con, kMbConFlags) & kMbFlagServer)) Step(v, con, now);
}
