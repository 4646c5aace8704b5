#include "remote/modemsock.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/fpga.h"
#include "remote/cellport.h"
#include "remote/gsmgprs.h"
#include "remote/modem.h"
#include "storage/dbg_logger.h"

ModemSocket socket_info_st[kModemSockets];
GlobalSocket Globalsocket_st[kModemSockets];

namespace {

constexpr u32 kSecond = 10000;
constexpr u16 kDialReplyBytes = 1024;
constexpr u32 kStatusListMin = 56;
constexpr u8 kLetterIdle = 'z', kLetterActivate = '*', kLetterDial = 'J', kLetterListen = 'B', kLetterAccept = ']',
             kLetterSend = 'b', kLetterReceive = 'X', kLetterClose = 'f', kLetterList = 0x60;

struct State {
    bool dialSpacing = false;  // the 1-s spacing after a dial runs
    u32 dialEnd = 0;
    bool overflowLogged = false;
    u32 sendStart = 0;
    bool sendData = false;     // the send step is past the prompt
    char activationScratch[kSockReceiveArea] = {};
};
State g;

void Log(const char* text) { DBG_WriteLog(1, text); }

bool SignalUsable() { return at_status.signal >= 1 && at_status.signal <= 98; }

void EndOfStep() {
    at_status.letter = CheckInit() ? kLetterIdle : 0;
    at_status.currentSocket = 0;
}

void SetNumber(AtItem& item, u32 v) {
    char t[16];
    std::snprintf(t, sizeof t, "%u", v);
    item.Set(t);
}

void Begin(ModemSocket& s, u8 letter, const AtCmdRecord* at, char* reply, u16 capacity) {
    at_status.letter = letter;
    at_status.currentSocket = s.connectionId;
    at_status.position = at;
    at_status.reply = reply;
    at_status.capacity = capacity;
    at_status.count = 0;
    at_status.engineState = kAtSend;
    for (AtSlot& slot : at_stack_data) slot = AtSlot{};
}

// Whether a socket step with this letter may run now: it continues its own
// script, or starts from idle (`start` then true).
bool MayRun(const ModemSocket& s, u8 letter, bool* start) {
    *start = false;
    if (at_status.letter == letter && at_status.currentSocket == s.connectionId) return true;
    if (at_status.letter != kLetterIdle) return false;
    *start = true;
    return true;
}

// Runs the current step once; true when it has ended.
bool Step() {
    u8 advanced = AT_Cmd_Handler(at_status.position);
    (void)advanced;
    return at_status.engineState == kAtDone;
}

int DataContextActivation() {
    if (at_status.letter != kLetterActivate) {
        if (at_status.letter != kLetterIdle || !SignalUsable()) return 1;
        string_init();
        AtParam_Set(6, nullptr, 0);
        at_status.letter = kLetterActivate;
        at_status.currentSocket = 0;
        at_status.recordsRemaining = kRowActivateCount;
        at_status.position = &at_cmd[kRowActivate];
        at_status.reply = g.activationScratch;
        at_status.capacity = kSockReceiveArea;
        at_status.count = 0;
        at_status.engineState = kAtSend;
        for (AtSlot& slot : at_stack_data) slot = AtSlot{};
        at_stack_data[0].buffer = at_status.ipText;
        at_stack_data[0].capacity = sizeof at_status.ipText;
        at_status.params = ConfigDataInStr;
    }
    const AtCmdRecord* first = at_status.position;
    u8 advanced = AT_Cmd_Handler(first);
    if (at_status.engineState != kAtDone) return 1;
    if (at_status.letter != kLetterActivate) return 0;  // the tenth counted error reset the modem
    char line[32];
    std::snprintf(line, sizeof line, "Status:%d %d\n", at_status.result, advanced);
    Log(line);
    u8 take = std::min(advanced, at_status.recordsRemaining);
    at_status.recordsRemaining = static_cast<u8>(at_status.recordsRemaining - take);
    if (at_status.recordsRemaining != 0 && take != 0) {
        at_status.position = first + take;
        at_status.reply = g.activationScratch;
        at_status.capacity = kSockReceiveArea;
        at_status.count = 0;
        at_status.engineState = kAtSend;
        return 1;
    }
    at_status.recordsRemaining = 0;
    if (at_status.result == kAtOk) {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (std::sscanf(at_status.ipText, "%u.%u.%u.%u", &a, &b, &c, &d) == 4 && a < 256 && b < 256 && c < 256 &&
            d < 256)
            at_status.ipAddress = (a << 24) | (b << 16) | (c << 8) | d;
        std::snprintf(line, sizeof line, "IP:%s %d\n", at_status.ipText, at_status.result);
        Log(line);
    }
    if (at_status.errorClassBits & 0x80) {
        at_status.letter = 0;
        ModemReset();
        return 0;
    }
    at_status.errorCount = 0;
    at_status.modemFlags |= 0x02;
    EndOfStep();
    return 0;
}

int SocketTCPUDPConnect(ModemSocket& s) {
    bool start = false;
    if (!MayRun(s, kLetterDial, &start)) return 1;
    if (start) {
        if (g.dialSpacing) {
            // After a dial, one call once the second has passed only arms the next.
            if (!ModemTimer(&g.dialEnd, kSecond)) return 1;
            g.dialSpacing = false;
            return 1;
        }
        SetNumber(s.idItem, s.connectionId);
        s.protoItem.Set((s.flags & 0x01) ? "1" : "0");
        SetNumber(s.portItem, s.port);
        if (s.host[0] != 0) {
            s.addressItem.Set(s.host);
        } else {
            char t[16];
            std::snprintf(t, sizeof t, "%u.%u.%u.%u", s.address >> 24, (s.address >> 16) & 0xFF,
                          (s.address >> 8) & 0xFF, s.address & 0xFF);
            s.addressItem.Set(t);
        }
        // A UDP socket takes its answers on the port it sends to.
        if (s.flags & 0x01)
            SetNumber(s.localPortItem, s.port);
        else
            s.localPortItem.Set("0");
        s.receiveCount = s.receiveIndex = s.transmitCount = s.sentIndex = 0;
        Begin(s, kLetterDial, &at_cmd[kRowDial], s.receiveArea, kDialReplyBytes);
        at_stack_data[0].item = &s.idItem;
        at_stack_data[1].item = &s.protoItem;
        at_stack_data[2].item = &s.portItem;
        at_stack_data[3].item = &s.addressItem;
        at_stack_data[4].item = &s.localPortItem;
    }
    if (!Step()) return 1;
    s.state = kSockOpenDone;
    g.dialSpacing = true;
    ModemTimer(&g.dialEnd, 0);
    EndOfStep();
    return 0;
}

int SocketTCPListen(ModemSocket& s) {
    bool start = false;
    if (!MayRun(s, kLetterListen, &start)) return 1;
    if (start) {
        SetNumber(s.idItem, s.connectionId);
        s.protoItem.Set((s.flags & 0x04) ? "1" : "0");
        SetNumber(s.portItem, s.port);
        s.receiveCount = s.receiveIndex = s.transmitCount = s.sentIndex = 0;
        Begin(s, kLetterListen, &at_cmd[kRowListen], at_status.replyBuffer, kAtReplyBytes);
        at_stack_data[0].item = &s.idItem;
        at_stack_data[1].item = &s.protoItem;
        at_stack_data[2].item = &s.portItem;
    }
    if (!Step()) return 1;
    s.state = kSockOpenDone;
    EndOfStep();
    return 0;
}

int DataAccept(ModemSocket& s) {
    bool start = false;
    if (!MayRun(s, kLetterAccept, &start)) return 1;
    if (start) {
        SetNumber(s.idItem, s.connectionId);
        Begin(s, kLetterAccept, &at_cmd[kRowAccept], at_status.replyBuffer, kAtReplyBytes);
        at_stack_data[0].item = &s.idItem;
    }
    if (!Step()) return 1;
    EndOfStep();
    return 0;
}

int DataSend(ModemSocket& s) {
    bool start = false;
    if (!MayRun(s, kLetterSend, &start)) return 1;
    if (start) {
        u16 count = static_cast<u16>(s.transmitCount - s.sentIndex);
        SetNumber(s.idItem, s.connectionId);
        SetNumber(s.countItem, count);
        Begin(s, kLetterSend, &at_cmd[kRowSend], at_status.replyBuffer, kAtReplyBytes);
        at_stack_data[0].item = &s.idItem;
        at_stack_data[1].item = &s.countItem;
        at_stack_data[2].pairData = s.transmitPointer;
        at_stack_data[2].pairLength = count;
        s.sentIndex = s.transmitCount;
        s.totalSent += count;
        at_status.linkFlags |= 0x02;
        at_status.linkFlags &= ~0x01;
        g.sendData = false;
        ModemTimer(&g.sendStart, 0);
    }
    Step();
    if (!g.sendData && at_status.engineState == kAtSend && at_status.result == kAtFound) {
        // The prompt came: the data follows with the next call.
        g.sendData = true;
        at_status.position = &at_cmd[kRowSendData];
        at_status.count = 0;
        return 1;
    }
    if (at_status.engineState != kAtDone) return 1;
    at_status.linkFlags &= ~0x03;
    char line[40];
    std::snprintf(line, sizeof line, "Data send time %u mS", (FPGA_GetFrt() - g.sendStart) / 10);
    Log(line);
    if (s.transmitCount == s.sentIndex) s.transmitCount = s.sentIndex = 0;
    s.transmitPointer = s.transmit + s.sentIndex;
    EndOfStep();
    return 0;
}

int DataReceive(ModemSocket& s) {
    bool start = false;
    if (!MayRun(s, kLetterReceive, &start)) return 1;
    if (start) {
        SetNumber(s.idItem, s.connectionId);
        s.countItem.Set("1500");
        Begin(s, kLetterReceive, &at_cmd[kRowReceive], s.receiveArea, kSockReceiveArea);
        at_stack_data[0].item = &s.idItem;
        at_stack_data[1].item = &s.countItem;
    }
    if (!Step()) return 1;
    u32 count = 0, offset = 0;
    const char* countField = at_stack_data[2].field;
    const char* data = at_stack_data[3].field;
    const char* end = at_status.reply + at_status.count;
    if (at_status.result == kAtOk && countField != nullptr && data != nullptr && data >= s.receiveArea &&
        data <= end) {
        for (const char* p = countField; p < end && *p >= '0' && *p <= '9' && count <= kSockReceiveArea; ++p)
            count = count * 10 + static_cast<u32>(*p - '0');
        // The count the module names is taken only as far as its bytes arrived.
        u32 present = static_cast<u32>(end - data);
        if (count > present) {
            char line[64];
            std::snprintf(line, sizeof line, "Received count %u beyond the %u bytes\n", count, present);
            Log(line);
            count = present;
        }
        offset = static_cast<u32>(data - s.receiveArea);
        s.receiveCount = static_cast<u16>(count);
        s.receiveIndex = static_cast<u16>(offset);
        s.totalReceived += count;
    }
    char line[80];
    std::snprintf(line, sizeof line, "\nReceived Data:%u  total:%u  offset:%u \n", count, s.totalReceived, offset);
    Log(line);
    EndOfStep();
    return 0;
}

int SocketDisconnect(ModemSocket& s) {
    bool start = false;
    if (!MayRun(s, kLetterClose, &start)) return 1;
    if (start) {
        SetNumber(s.idItem, s.connectionId);
        Begin(s, kLetterClose, &at_cmd[kRowClose], at_status.replyBuffer, kAtReplyBytes);
        at_stack_data[0].item = &s.idItem;
    }
    if (!Step()) return 1;
    EndOfStep();
    if ((s.flags & 0x02) == 0) SocketTCPListen(s);
    return 0;
}

int ContinueByLetter(ModemSocket& s) {
    switch (at_status.letter) {
        case kLetterActivate: return DataContextActivation();
        case kLetterListen: return SocketTCPListen(s);
        case kLetterDial: return SocketTCPUDPConnect(s);
        case kLetterReceive: return DataReceive(s);
        case kLetterAccept: return DataAccept(s);
        case kLetterSend: return DataSend(s);
        case kLetterClose: return SocketDisconnect(s);
        default: return -1;
    }
}

}  // namespace

int DataConnectionLoop(int socket) {
    if (socket < 0 || socket >= static_cast<int>(kModemSockets)) return 1;
    ModemSocket& s = socket_info_st[socket];
    if (at_status.letter == kLetterIdle && SignalUsable() && (at_status.modemFlags & 0x02) == 0)
        return DataContextActivation();
    if (s.connectionId != 0 && at_status.currentSocket == s.connectionId) {
        if (at_status.letter == kLetterList) return 1;
        int r = ContinueByLetter(s);
        if (r >= 0) return r;
    } else {
        if (at_status.letter == kLetterActivate) return DataContextActivation();
        if (at_status.letter != kLetterIdle || !SignalUsable()) return 1;
    }
    if (s.state == kSockRequested) {
        s.state = kSockOpening;
        return (s.flags & 0x02) ? SocketTCPUDPConnect(s) : SocketTCPListen(s);
    }
    if (s.state > kSockIncoming && s.transmitCount > s.sentIndex) return DataSend(s);
    if ((s.flags & 0x04) == 0 && s.state >= kSockListening) return SocketDisconnect(s);
    return 0;
}

int ModemDataConnRequest(ModemConnRequest* q) {
    if (q == nullptr || q->socket >= kModemSockets || !CheckInit()) return 1;
    ModemSocket& s = socket_info_st[q->socket];
    if (s.state == kSockFree) {
        s.connectionId = static_cast<u8>(q->socket + 1);
        s.flags = static_cast<u8>((s.flags & ~0x03) | (q->flags & 0x03) | 0x04);
        s.port = q->port;
        s.address = q->address;
        s.host[0] = 0;
        if (q->flags & 0x02) {
            const char* h = q->host;
            size_t n = strnlen(h, sizeof q->host);
            if (n > 0 && h[0] == '"') ++h, --n;
            if (n > 0 && h[n - 1] == '"') --n;
            n = std::min(n, sizeof s.host - 3);  // the host area keeps at most 37 characters
            std::memcpy(s.host, h, n);
            s.host[n] = 0;
        }
        s.state = kSockRequested;
    }
    if ((at_status.modemFlags & 0x02) == 0) DataConnectionLoop(q->socket);
    return s.state >= kSockConnected ? 0 : 1;
}

int ModemDataDisConnRequest(int socket) {
    if (socket < 0 || socket >= static_cast<int>(kModemSockets)) return 0;
    ModemSocket& s = socket_info_st[socket];
    if (s.state != kSockFree) s.flags &= ~0x04;
    return s.state != kSockFree ? 1 : 0;
}

int IsModemSocketActive(int port, int socket) {
    if (port != static_cast<int>(kCellPort) || socket < 0 || socket >= static_cast<int>(kModemSockets)) return 1;
    return socket_info_st[socket].state >= kSockConnected ? 0 : 1;
}

int ModemCheckRecv(int socket) {
    if (socket < 0 || socket >= static_cast<int>(kModemSockets)) return 0;
    ModemSocket& s = socket_info_st[socket];
    if (s.receiveCount != 0) return 1;
    if (socket == 0 && s.receiveIndex != 0) {
        s.receiveIndex = 0;
        return 255;
    }
    return 0;
}

int ModemDataRecv(int socket) {
    if (socket < 0 || socket >= static_cast<int>(kModemSockets)) return 0;
    ModemSocket& s = socket_info_st[socket];
    if (s.receiveCount == 0 || s.receiveIndex >= kSockReceiveArea) return 0;
    u8 b = static_cast<u8>(s.receiveArea[s.receiveIndex++]);
    s.receiveCount--;
    return b;
}

int ModemDataSend(int socket, const u8* data, u32 length, int copy) {
    if (socket < 0 || socket >= static_cast<int>(kModemSockets) || data == nullptr) return 1;
    ModemSocket& s = socket_info_st[socket];
    if (s.state < kSockConnected) return 1;
    bool queued = s.transmitCount != 0;
    auto refuse = [&] {
        s.flags |= 0x80;
        if (!g.overflowLogged) Log("Socket Send ERROR,buffer overflow condition\n");
        g.overflowLogged = true;
        return 1;
    };
    if (copy && s.transmitCount + length <= kSockTransmitBytes) {
        std::memcpy(s.transmit + s.transmitCount, data, length);
        s.transmitCount = static_cast<u16>(s.transmitCount + length);
        s.flags &= ~0x80;
        s.transmitPointer = s.transmit + s.sentIndex;
        g.overflowLogged = false;
        return 0;
    }
    if (queued || length > 0xFFFF) return refuse();
    s.transmitPointer = data;
    s.transmitCount = static_cast<u16>(length);
    s.sentIndex = 0;
    s.flags &= ~0x80;
    g.overflowLogged = false;
    return 0;
}

void ModemSocket_SetFlag(u8 connectionId, u8 bits) {
    if (connectionId >= 1 && connectionId <= kModemSockets) socket_info_st[connectionId - 1].flags |= bits;
}

bool ModemSocket_AnyInUse() {
    for (const ModemSocket& s : socket_info_st)
        if (s.state != kSockFree) return true;
    return false;
}

void ModemSocket_ApplyStatusList(const char* list, u32 length) {
    if (list == nullptr || length < kStatusListMin) return;
    const char* end = list + length;
    const char* line = list;
    // One entry per line: "[#SS:] id,status[,local address,local port,peer address,peer port]".
    for (int round = 0; round < 6 && line < end; ++round) {
        const char* next = static_cast<const char*>(std::memchr(line, '\n', end - line));
        const char* lineEnd = next != nullptr ? next : end;
        const char* p = line;
        line = next != nullptr ? next + 1 : end;
        while (p < lineEnd && (*p == ' ' || *p == '\r')) ++p;
        if (lineEnd - p >= 4 && std::memcmp(p, "#SS:", 4) == 0) p += 4;
        while (p < lineEnd && *p == ' ') ++p;
        if (lineEnd - p < 3 || p[1] != ',') continue;
        char id = p[0], status = p[2];
        if (id < '1' || id > '6' || status < '0' || status > '5') continue;
        const char* comma = p + 1;
        ModemSocket& s = socket_info_st[id - '1'];
        switch (status) {
            case '0':
                s.state = kSockFree;
                if (s.host[0] != 0 && (s.flags & 0x02) == 0 && (s.flags & 0x04)) {
                    s.host[0] = 0;
                    SocketTCPListen(s);
                }
                break;
            case '1':
                s.state = kSockConnected;
                at_status.linkFlags &= ~0x04;
                break;
            case '2': s.state = kSockSuspended; break;
            case '3':
                if (s.receiveCount == 0 && at_status.letter == kLetterIdle) {
                    s.state = kSockReading;
                    at_status.linkFlags &= ~0x04;
                    DataReceive(s);
                } else {
                    at_status.pollFlags |= 0x01;
                }
                break;
            case '4':
                s.state = kSockListening;
                at_status.linkFlags &= ~0x04;
                break;
            case '5': {
                s.state = kSockIncoming;
                at_status.linkFlags &= ~0x04;
                if (s.host[0] == 0) {
                    // The entry's fifth field is the peer's address, the sixth its port.
                    const char* f = comma + 1;
                    for (int k = 0; k < 3 && f != nullptr; ++k) {
                        f = static_cast<const char*>(std::memchr(f, ',', lineEnd - f));
                        if (f != nullptr) ++f;
                    }
                    if (f != nullptr) {
                        const char* c = static_cast<const char*>(std::memchr(f, ',', lineEnd - f));
                        if (c != nullptr) {
                            size_t n = std::min<size_t>(c - f, sizeof s.host - 1);
                            std::memcpy(s.host, f, n);
                            s.host[n] = 0;
                            const char* q = c + 1;
                            size_t m = 0;
                            while (q + m < lineEnd && q[m] != '\r' && q[m] != '\n' && m < sizeof s.peerPort - 1) ++m;
                            std::memcpy(s.peerPort, q, m);
                            s.peerPort[m] = 0;
                        }
                    }
                    char text[96];
                    std::snprintf(text, sizeof text, "Socket Accept %d IP %s,Port %s\n", s.connectionId, s.host,
                                  s.peerPort);
                    Log(text);
                }
                DataAccept(s);
                break;
            }
            default: break;
        }
    }
}

void ModemSocket_Snapshot() {
    for (u32 i = 0; i < kModemSockets; ++i) {
        const ModemSocket& s = socket_info_st[i];
        Globalsocket_st[i] = {s.flags, s.state, s.totalSent, s.totalReceived};
    }
}

void ModemSocket_ResetAll() {
    for (ModemSocket& s : socket_info_st) {
        u32 sent = s.totalSent, received = s.totalReceived;
        s = ModemSocket{};
        s.totalSent = sent;
        s.totalReceived = received;
    }
}

void ModemSocket_Reset() {
    for (ModemSocket& s : socket_info_st) s = ModemSocket{};
    for (GlobalSocket& s : Globalsocket_st) s = GlobalSocket{};
    g.dialSpacing = false;
    g.overflowLogged = false;
    g.sendData = false;
}
