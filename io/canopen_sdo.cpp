#include "io/canopen_sdo.h"

#include <cstring>

#include "io/canopen.h"
#include "io/canopen_od.h"
#include "io/canopen_pdo.h"
#include "platform/fpga.h"

namespace {

constexpr int kServers = kCoMaxSdoServers + 1;

// Command specifiers (byte 0 & 0xE0) and answers.
constexpr u8 kCsInitiateDownload = 0x20, kCsInitiateUpload = 0x40, kCsUploadSegment = 0x60, kCsAbort = 0x80,
             kCsBlockDownload = 0xC0;
constexpr u8 kAnswerDownload = 0x60, kAnswerUploadSegmented = 0x41, kAnswerUpload4 = 0x43;

struct Server {
    u32 clientToServer = 0;
    u32 serverToClient = 0;
};

// The transfer a server is in (segmented upload of an object longer than
// four bytes).
struct ServerTransfer {
    bool segmented = false;
    int server = 0;
    u16 index = 0;
    u8 subindex = 0;
    u8 data[kCoObjectMaxBytes] = {};
    u16 length = 0;
    u16 position = 0;
};

struct Client {
    bool pending = false;
    u16 index = 0;
    u8 subindex = 0;
    u32 serverToClient = 0;
    u32 sendTime = 0;
    u32 timeout = 0;
    CoSdoClientAnswer answer;
};

struct State {
    Server server[kServers];
    int servers = 1;
    ServerTransfer transfer;
    Client client;
    u32 status = 0;
};
State g;

void Answer(int server, const u8* frame) {
    CANOpen_Queue(g.server[server].serverToClient, 8, frame, false);
}

void Abort(int server, const u8* request, u32 code) {
    u8 f[8] = {kCsAbort, request[1], request[2], request[3]};
    PutLe32(f + 4, code);
    Answer(server, f);
    if (g.transfer.server == server) g.transfer.segmented = false;
}

u32 ServerObject(u16 index, u8 sub, bool write, u8* data, u16* length) {
    const int n = index - 0x1200;
    if (n > g.servers || (n == g.servers && (!write || n >= kServers))) return kSdoAbortUnsupported;
    if (sub == 0) {
        if (write) return kSdoAbortReadOnly;
        data[0] = 2;
        *length = 1;
        return 0;
    }
    if (sub > 2) return kSdoAbortNoSubindex;
    Server& s = n < g.servers ? g.server[n] : g.server[kServers - 1];
    u32& cob = sub == 1 ? s.clientToServer : s.serverToClient;
    if (!write) {
        PutLe32(data, n < g.servers ? cob : 0);
        *length = 4;
        return 0;
    }
    if (n == 0) return kSdoAbortReadOnly;
    if (u32 e = CoSdo_WriteLength(*length, 4)) return e;
    const u32 v = GetLe32(data) & kCoCobIdMask;
    if (v == 0) return kSdoAbortIncompatible;
    if (n == g.servers) {
        g.server[n] = Server{};
        ++g.servers;
    }
    (sub == 1 ? g.server[n].clientToServer : g.server[n].serverToClient) = v;
    return 0;
}

bool RegisterObjectIndex(u16 index) {
    return (index >= 0x2000 && index <= 0x203E) || (index >= 0xA000 && index <= 0xA6E7);
}

u32 RegisterObject(u16 index, u8 sub, bool write, u8* data, u16* length) {
    u32 target = 0;
    u8 width = 0;
    if (!CANOpenGetODEntry(index, 1, &target, &width)) return kSdoAbortUnsupported;
    if (sub == 0) {
        if (write) return kSdoAbortReadOnly;
        data[0] = 254;
        *length = 1;
        return 0;
    }
    if (sub == 255) return write ? kSdoAbortReadOnly : kSdoAbortUnsupported;
    if (!CANOpenGetODEntry(index, sub, &target, &width)) return kSdoAbortUnsupported;
    if (CoPdo_IecMode()) {
        if (!CoPdo_IecTarget(index, sub, &target)) return kSdoAbortUnsupported;
        if (index >= 0xA580 && index <= 0xA5A8) width = 16;
    }
    const u16 bytes = width < 8 ? 1 : width / 8;
    if (!write) {
        u32 v = 0;
        if (!CANOpenGetData(&v, index, width, target)) return kSdoAbortUnsupported;
        PutLe32(data, v);
        *length = bytes;
        return 0;
    }
    if (u32 e = CoSdo_WriteLength(*length, bytes)) return e;
    u8 b[4] = {};
    std::memcpy(b, data, bytes);
    return CANOpenSetData(GetLe32(b), index, width, target) ? 0 : kSdoAbortReadOnly;
}

bool NodeAcceptsWrites() {
    const u8 s = CANOpen_NmtState();
    return s == kNmtOperational || s == kNmtPreOperational;
}

void ServeRequest(int i, const CanMsg& m) {
    const u8* q = m.data;
    const u16 index = GetLe16(q + 1);
    const u8 sub = q[3];
    switch (q[0] & 0xE0) {
        case kCsInitiateDownload: {
            if (!NodeAcceptsWrites()) return Abort(i, q, kSdoAbortState);
            // Only expedited downloads: nothing of the dictionary needs
            // more than four bytes, and a segmented one is refused rather
            // than left without an answer.
            if (!(q[0] & 0x02)) return Abort(i, q, kSdoAbortUnsupported);
            u16 length = (q[0] & 0x01) ? static_cast<u16>(4 - ((q[0] >> 2) & 3)) : 4;
            u8 data[kCoObjectMaxBytes] = {};
            std::memcpy(data, q + 4, 4);
            if (u32 e = CANOpenODAccess(index, sub, true, data, &length)) return Abort(i, q, e);
            const u8 f[8] = {kAnswerDownload, q[1], q[2], q[3]};
            return Answer(i, f);
        }
        case kCsInitiateUpload: {
            ServerTransfer& t = g.transfer;
            t = ServerTransfer{};
            t.server = i;
            t.index = index;
            t.subindex = sub;
            if (u32 e = CANOpenODAccess(index, sub, false, t.data, &t.length)) return Abort(i, q, e);
            u8 f[8] = {0, q[1], q[2], q[3]};
            if (t.length <= 4) {
                f[0] = static_cast<u8>(kAnswerUpload4 | ((4 - t.length) << 2));
                std::memcpy(f + 4, t.data, t.length);
            } else {
                f[0] = kAnswerUploadSegmented;
                PutLe32(f + 4, t.length);
                t.segmented = true;
            }
            return Answer(i, f);
        }
        case kCsUploadSegment: {
            ServerTransfer& t = g.transfer;
            if (!t.segmented || t.server != i) return Abort(i, q, kSdoAbortCommand);
            const u16 remaining = static_cast<u16>(t.length - t.position);
            const u16 n = remaining < 7 ? remaining : 7;
            u8 f[8] = {};
            f[0] = remaining < 8 ? static_cast<u8>((7 - remaining) * 2 + 1) : 0;
            std::memcpy(f + 1, t.data + t.position, n);
            t.position = static_cast<u16>(t.position + n);
            if (t.position >= t.length) t.segmented = false;
            return Answer(i, f);
        }
        case kCsBlockDownload:
            return Abort(i, q, g.client.pending ? kSdoAbortGeneral : kSdoAbortUnsupported);
        case kCsAbort:
            if (g.transfer.server == i) g.transfer.segmented = false;
            return;
        default:
            return Abort(i, q, kSdoAbortCommand);
    }
}

}  // namespace

u32 CoSdo_WriteLength(u16 have, u16 want) {
    if (have > want) return kSdoAbortTooLong;
    if (have < want) return kSdoAbortTooShort;
    return 0;
}

u32 CoSdo_Answer(u8* data, u16* length, u32 value, u16 bytes) {
    PutLe32(data, value);
    *length = bytes;
    return 0;
}

u32 CoSdo_WriteCobId(const u8* data, u16 length, u32* into) {
    if (u32 e = CoSdo_WriteLength(length, 4)) return e;
    const u32 v = GetLe32(data);
    if ((v & kCoCobIdMask) == 0) return kSdoAbortIncompatible;
    *into = v;
    return 0;
}

void CoSdo_Init(const CoTable& table, u16 nodeId) {
    g = State{};
    g.server[0] = {0x600u + nodeId, 0x580u + nodeId};
    const int entries = table.SdoServerCount();
    for (int k = 0; k < entries && k + 1 < kServers; ++k) {
        const CoSdoEntry e = table.SdoServer(k);
        g.server[k + 1] = {e.clientToServer, e.serverToClient};
    }
    g.servers = 1 + (entries < kServers - 1 ? entries : kServers - 1);
}

bool CoSdo_Server(const CanMsg& m) {
    int i = 0;
    while (i < g.servers && g.server[i].clientToServer != m.id) ++i;
    if (i == g.servers) return false;
    if (m.length < 8) {
        g.status |= kCoStatusShortSdo;
        return true;
    }
    g.status &= ~kCoStatusShortSdo;
    ServeRequest(i, m);
    return true;
}

int CoSdo_ServerChannel(u32 id) {
    for (int i = 0; i < g.servers; ++i)
        if (g.server[i].clientToServer == id) return i;
    return -1;
}

u32 CoSdo_ServerAnswerId(int channel) {
    return channel >= 0 && channel < g.servers ? g.server[channel].serverToClient : 0;
}

u32 CANOpenODAccess(u16 index, u8 sub, bool write, u8* data, u16* length) {
    if (index >= 0x1200 && index <= 0x127F) return ServerObject(index, sub, write, data, length);
    if (index >= 0x1280 && index <= 0x12FF) return kSdoAbortUnsupported;
    if (index >= 0x1400 && index <= 0x1BFF) return CoPdo_Object(index, sub, write, data, length);
    if (RegisterObjectIndex(index)) return RegisterObject(index, sub, write, data, length);
    return CANOpen_CommObject(index, sub, write, data, length);
}

namespace {

int ClientSend(u32 clientToServer, u32 serverToClient, const u8* frame, u32 timeoutTicks) {
    if (g.client.pending) return 0;
    if (!CANOpen_Queue(clientToServer & kCoCobIdMask, 8, frame, false)) return 0;
    Client& c = g.client;
    c = Client{};
    c.pending = true;
    c.index = GetLe16(frame + 1);
    c.subindex = frame[3];
    c.serverToClient = serverToClient & kCoCobIdMask;
    c.sendTime = FPGA_GetFrt();
    c.timeout = timeoutTicks;
    return 1;
}

}  // namespace

int CoSdo_ClientUpload(u32 clientToServer, u32 serverToClient, u16 index, u8 sub, u32 timeoutTicks) {
    u8 f[8] = {kCsInitiateUpload, static_cast<u8>(index), static_cast<u8>(index >> 8), sub};
    return ClientSend(clientToServer, serverToClient, f, timeoutTicks);
}

int CoSdo_ClientDownload(u32 clientToServer, u32 serverToClient, u16 index, u8 sub, const u8* data, u8 length,
                         u32 timeoutTicks) {
    if (length == 0 || length > 4) return 0;
    u8 f[8] = {static_cast<u8>(0x23 | ((4 - length) << 2)), static_cast<u8>(index), static_cast<u8>(index >> 8), sub};
    std::memcpy(f + 4, data, length);
    return ClientSend(clientToServer, serverToClient, f, timeoutTicks);
}

bool CoSdo_ClientFrame(const CanMsg& m) {
    Client& c = g.client;
    if (!c.pending || c.answer.arrived || m.id != c.serverToClient) return false;
    if (m.length < 8) return true;
    const u8* q = m.data;
    if (GetLe16(q + 1) != c.index || q[3] != c.subindex) return true;
    const u8 cs = q[0] & 0xE0;
    if (q[0] == kCsAbort) {
        c.answer.aborted = true;
        c.answer.abortCode = GetLe32(q + 4);
    } else if (cs == kCsInitiateUpload && (q[0] & 0x02)) {
        c.answer.length = (q[0] & 0x01) ? static_cast<u8>(4 - ((q[0] >> 2) & 3)) : 4;
    } else if (q[0] != kAnswerDownload) {
        // Segmented and block answers: not followed; the request times out.
        return true;
    }
    std::memcpy(c.answer.data, q + 4, 4);
    c.answer.arrived = true;
    return true;
}

void CoSdo_ClientTimer() {
    Client& c = g.client;
    if (c.pending && !c.answer.arrived && FPGA_GetFrt() - c.sendTime > c.timeout) c.pending = false;
}

bool CoSdo_ClientPending() { return g.client.pending; }
const CoSdoClientAnswer& CoSdo_ClientResult() { return g.client.answer; }
void CoSdo_ClientClear() { g.client = Client{}; }
u32 CoSdo_Status() { return g.status; }
void CoSdo_Reset() { g = State{}; }
