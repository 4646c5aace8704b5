#include "link/modbus.h"

#include <cstring>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/kernel/q4host.h"
#include "link/modapi.h"
#include "link/modem.h"
#include "link/vcomm.h"
#include "platform/fpga.h"

namespace {

// Framing states. Reception and transmission share the word; one is
// active at a time.
enum : u16 {
    kRtuFirst = 0,  // next byte is the address
    kRtuFunction,   // next byte is the function code
    kRtuData,       // further bytes
    kRtuDiscard,    // an over-long frame: bytes are dropped until its end
    kAsciiWait = 10,  // waiting for ':'
    kAsciiHigh,       // high hex digit of a byte
    kAsciiLow,        // low hex digit
    kAsciiLf,         // CR seen, LF expected
    kTransmit = 20,   // a frame is being handed to the driver
};

struct State {
    ModPcb pcb[2];
    ModbusTcpState tcp;
    bool initialised = false;
};
State g;

constexpr u32 kTicksPerTenth = 1000;  // the free-running counter counts 100 us
constexpr u32 kMaxEventsPerStep = 4096;

void Saturate(u16& c) {
    if (c != 0xFFFF) ++c;
}

u16 Read16(const u8* p) { return p != nullptr ? GetLe16(p) : 0; }
void Write16(u8* p, u16 v) {
    if (p != nullptr) PutLe16(p, v);
}

u8 Nibble(u32 port) { return Vcomm_Drv[port].mode != nullptr ? Vcomm_Drv[port].mode[kSomProto] & 0x0F : 0; }

bool TcpOn(const ModPcb& p) { return (g.tcp.flags & 1) && ((g.tcp.flags >> 3) & 3) == p.e.port; }

bool SocketConnected(const ModPcb& p) {
    return TcpOn(p) && Modem_OnDataSocket(p.e.port) && talkPeers.IsModemSocketActive != nullptr &&
           talkPeers.ModemCheckRecv != nullptr && talkPeers.ModemDataRecv != nullptr &&
           talkPeers.IsModemSocketActive(0) == 0;
}

void FrameError(ModEngine& e) {
    Saturate(e.counters[kCntCommError]);
    e.result |= kModFrameError;
    e.index = 0;
}

// Time-out accounting in whole tenths of a second; the 32-bit difference
// of the counter does not wrap between steps however long they are apart.
void RestartTimeout(ModPortState& s) {
    s.elapsed = 0;
    s.stamp = FPGA_GetFrt();
}
bool Expired(ModPcb& p) {
    if (p.cfg.timeout == 0) return false;
    if (p.s.elapsed < p.cfg.timeout) {
        const u32 now = FPGA_GetFrt();
        const u32 d = now - p.s.stamp;
        if (d >= kTicksPerTenth) {
            p.s.elapsed += d / kTicksPerTenth;
            p.s.stamp = now - d % kTicksPerTenth;
        }
    }
    return p.s.elapsed >= p.cfg.timeout;
}

u16 ReceiveIdle(const ModEngine& e) { return (e.mode & kModAscii) ? kAsciiWait : kRtuFirst; }

void MOD_Init(ModPcb& p, int port) {
    ModEngine& e = p.e;
    e = ModEngine{};
    e.port = static_cast<u16>(port);
    e.ownAddress = p.cfg.address;
    e.station = static_cast<u8>(p.cfg.address);
    if (Nibble(static_cast<u32>(port)) != kProtoRtu) e.mode |= kModAscii;
    if (p.cfg.address == 0) e.mode |= kModMaster;
    e.state = ReceiveIdle(e);
}

void Process(ModPcb& p) {
    const bool iec = MOD_IecForms();
    if (p.e.mode & kModMaster) {
        if (iec) Q4_MOD_RspProcess(p);
        else MOD_RspProcess(p);
    } else {
        if (iec) Q4_MOD_ReqProcess(p);
        else MOD_ReqProcess(p);
    }
}

void Store(ModPcb& p, u8 c) {
    ModEngine& e = p.e;
    const u32 limit = TcpOn(p) ? kModTcpLimit : kModRtuLimit;
    e.frame[e.index++] = c;
    if (e.index >= limit) {
        FrameError(e);
        e.state = (e.mode & kModAscii) && !TcpOn(p) ? kAsciiWait : kRtuDiscard;
    }
}

u8 HexValue(u8 c) {
    if (c >= '0' && c <= '9') return static_cast<u8>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<u8>(c - 'A' + 10);
    return 0;
}

void AsciiByte(ModPcb& p, u16 event) {
    ModEngine& e = p.e;
    if (event == kModEndOfFrame) {
        e.index = 0;
        e.state = kAsciiWait;
        return;
    }
    const u8 c = static_cast<u8>(event);
    if (c == ':') {
        if (e.state != kAsciiWait) FrameError(e);
        e.index = 0;
        e.lrc = 0;
        e.state = kAsciiHigh;
        return;
    }
    switch (e.state) {
        case kAsciiHigh:
        case kAsciiLow:
            if (c == '\r') {
                e.state = kAsciiLf;
            } else if (e.state == kAsciiHigh) {
                e.digit = static_cast<u8>(HexValue(c) << 4);
                e.state = kAsciiLow;
            } else {
                const u8 b = static_cast<u8>(e.digit | HexValue(c));
                e.lrc = static_cast<u8>(e.lrc + b);
                e.state = kAsciiHigh;
                Store(p, b);
            }
            return;
        case kAsciiLf:
            e.state = kAsciiWait;
            // A line without address, function and LRC is no frame; an
            // empty one (a stray CR LF) is dropped without a count.
            if (c == '\n' && e.index == 0) return;
            if (c == '\n' && e.lrc == 0 && e.index >= 3) {
                e.length = static_cast<u16>(e.index - 1);
                e.index = 0;
                Process(p);
            } else {
                FrameError(e);
            }
            return;
        default:
            return;  // waiting for ':'
    }
}

void TcpFrameEnd(ModPcb& p) {
    ModEngine& e = p.e;
    const u32 n = e.index;
    if (n < 8) return FrameError(e);
    const u16 tid = GetBe16(e.frame);
    if (tid == g.tcp.transaction) {
        if (g.tcp.flags & 2) {
            g.tcp.flags &= static_cast<u8>(~2);
            ++g.tcp.transaction;
        }
    } else if (g.tcp.flags & 2) {
        return FrameError(e);
    } else {
        g.tcp.transaction = tid;
    }
    const u16 len = GetBe16(e.frame + 4);
    if (len != n - 6) return FrameError(e);
    std::memmove(e.frame, e.frame + 6, len);
    e.length = len;
    e.index = 0;
    Process(p);
}

void RtuByte(ModPcb& p, u16 event) {
    ModEngine& e = p.e;
    if (event == kModEndOfFrame) {
        const u16 was = e.state;
        e.state = kRtuFirst;
        if (was == kRtuDiscard) {
            e.index = 0;
            return;
        }
        if (TcpOn(p)) return TcpFrameEnd(p);
        const u32 n = e.index;
        if (n < 4) return FrameError(e);
        if (e.crc == (e.frame[n - 2] | e.frame[n - 1] << 8)) {
            e.length = static_cast<u16>(n - 2);
        } else {
            bool found = false;
            for (int k = 0; k < 2; ++k)
                if (e.match[k] && e.expected[k] > 0 && static_cast<u32>(e.expected[k]) < n) {
                    e.length = static_cast<u16>(e.expected[k] - 1);
                    found = true;
                }
            if (!found) return FrameError(e);
        }
        e.index = 0;
        Process(p);
        return;
    }
    const u8 c = static_cast<u8>(event);
    switch (e.state) {
        case kRtuFirst:
            e.crc = 0xFFFF;
            e.match[0] = e.match[1] = 0;
            e.index = 0;
            Store(p, c);
            if (e.state == kRtuFirst) e.state = kRtuFunction;
            return;
        case kRtuFunction:
            ExpectedSize(c, &e.expected[0], &e.expected[1]);
            Store(p, c);
            if (e.state == kRtuFunction) e.state = kRtuData;
            return;
        case kRtuData: {
            const u32 i = e.index;  // at least 2 here
            e.crc = crc16_next(&e.frame[i - 2], 1, e.crc);
            for (int k = 0; k < 2; ++k) {
                if (e.expected[k] < 0) {
                    const bool last = e.expected[k] == -1;
                    ++e.expected[k];
                    if (last) e.expected[k] = c + static_cast<int>(i) + 2;
                }
                if (e.expected[k] == static_cast<int>(i) && e.crc == (e.frame[i - 1] | c << 8)) e.match[k] = 1;
            }
            Store(p, c);
            return;
        }
        default:
            return;  // kRtuDiscard
    }
}

// Reception: every byte the driver (or the modem socket) holds, and its
// frame-end event.
void Receive(ModPcb& p, bool restartOnByte) {
    const u32 port = p.e.port;
    const bool socket = SocketConnected(p);
    const VcommDriver& d = Vcomm_Drv[port];
    if (!socket && (d.CheckRx == nullptr || d.GetRx == nullptr)) return;
    for (u32 k = 0; k < kMaxEventsPerStep; ++k) {
        const int c = socket ? talkPeers.ModemCheckRecv(0) : d.CheckRx(port);
        if (c == 1) {
            const int b = socket ? talkPeers.ModemDataRecv(0) : d.GetRx(port);
            if (restartOnByte) RestartTimeout(p.s);
            MOD_RxMachine(p, static_cast<u8>(b));
        } else if (c == 255) {
            MOD_RxMachine(p, kModEndOfFrame);
        } else {
            break;
        }
    }
}

void PutFrameBytes(u32 port, const u8* bytes, u32 n) {
    const VcommDriver& d = Vcomm_Drv[port];
    if (d.PutTx == nullptr) return;
    for (u32 i = 0; i < n; ++i) d.PutTx(port, bytes[i]);
    if (d.RtuTx != nullptr) d.RtuTx(port);
}

// The transmit machine, run to its end in one go: the bytes of the frame
// with their framing go to the driver, closed by RtuTx.
void Transmit(ModPcb& p) {
    ModEngine& e = p.e;
    const u32 port = e.port;
    const u32 n = e.length;
    static constexpr char kHex[] = "0123456789ABCDEF";
    if (TcpOn(p) && !(g.tcp.flags & 4)) {
        u8 out[6 + kModFrameBytes];
        PutBe16(out, g.tcp.transaction);
        PutBe16(out + 2, g.tcp.protocol);
        PutBe16(out + 4, static_cast<u16>(n));
        std::memcpy(out + 6, e.frame, n);
        g.tcp.flags |= 4;
        if (Modem_OnDataSocket(static_cast<int>(port)) && talkPeers.IsModemSocketActive != nullptr &&
            talkPeers.ModemDataSend != nullptr && talkPeers.IsModemSocketActive(0) == 0)
            talkPeers.ModemDataSend(0, out, n + 6, 1);
        else
            PutFrameBytes(port, out, n + 6);
        g.tcp.flags &= static_cast<u8>(~4);
        return;
    }
    if (!(e.mode & kModAscii)) {
        u8 out[kModFrameBytes + 2];
        std::memcpy(out, e.frame, n);
        const u16 crc = crc16(e.frame, n);
        out[n] = static_cast<u8>(crc);
        out[n + 1] = static_cast<u8>(crc >> 8);
        PutFrameBytes(port, out, n + 2);
        return;
    }
    u8 out[2 * kModFrameBytes + 6];
    u32 k = 0;
    u8 sum = 0;
    out[k++] = ':';
    for (u32 i = 0; i < n; ++i) {
        sum = static_cast<u8>(sum + e.frame[i]);
        out[k++] = static_cast<u8>(kHex[e.frame[i] >> 4]);
        out[k++] = static_cast<u8>(kHex[e.frame[i] & 15]);
    }
    const u8 lrc = static_cast<u8>(0 - sum);
    out[k++] = static_cast<u8>(kHex[lrc >> 4]);
    out[k++] = static_cast<u8>(kHex[lrc & 15]);
    out[k++] = '\r';
    out[k++] = '\n';
    PutFrameBytes(port, out, k);
}

// --- station steps -----------------------------------------------------------

void SlaveStep(ModPcb& p) {
    ModPortState& s = p.s;
    u16 status = Read16(p.cfg.status);
    const u16 control = Read16(p.cfg.control);
    if (!s.requestSeen && control != 0) {
        s.requestSeen = 1;
        const u32 room = MOD_RegBytesFrom(p.cfg.data, 0);
        if (control >= 256 || control > room) {
            status |= 0x200;
        } else if (s.transmitting) {
            status |= 0x400;
        } else {
            Write16(p.cfg.status, status);
            MOD_SendException(p, p.cfg.data, control);
            status = Read16(p.cfg.status);
        }
    } else if (s.requestSeen) {
        if (control == 0) {
            s.requestSeen = 0;
            status &= static_cast<u16>(~0x700);
        } else if (!s.transmitting && !(status & 0x600)) {
            status |= 0x100;
        }
    }
    Write16(p.cfg.status, status);
    if (s.forward) {
        s.forward = 0;
        MOD_SendException(p, nullptr, p.e.length);
    }
    Receive(p, false);
    status = Read16(p.cfg.status);
    status &= static_cast<u16>(~0xF1);
    if (Expired(p)) status |= 0x01;
    if (p.e.result & kModFrameError) {
        p.e.result &= static_cast<u16>(~kModFrameError);
        status |= 0x80;
    }
    const VcommDriver& d = Vcomm_Drv[p.e.port];
    const int line = d.StatusRx != nullptr ? d.StatusRx(p.e.port, 1) : 0;
    if (line & 1) status |= 0x10;
    if (line & 2) status |= 0x20;
    if (line & 4) status |= 0x40;
    Write16(p.cfg.status, status);
}

bool Triggered(const ModPcb& p) { return (Read16(p.cfg.control) & p.s.triggerMask) != 0; }

// True when the request just sent goes to every station: nobody answers it.
bool Broadcast(const ModPcb& p) {
    const u16 slave = GetLe16(p.e.request);
    const u16 function = GetLe16(p.e.request + 2);
    return slave == 0 && function != 65;
}

int MasterStep(ModPcb& p) {
    ModPortState& s = p.s;
    const VcommDriver& d = Vcomm_Drv[p.e.port];
    const u32 port = p.e.port;
    const u16 control = Read16(p.cfg.control);
    const u16 last = s.lastTrigger;
    s.lastTrigger = control;
    switch (s.station) {
        case kStIdle: {
            if (!Triggered(p)) return 1;
            if (d.FlushRx != nullptr) d.FlushRx(port);
            p.e.state = ReceiveIdle(p.e);
            p.e.index = 0;
            int error = 0;
            bool sent = true;
            if (!MOD_IecForms()) error = MOD_ReqBuild(p);
            else if (control == 1 && last == 0) error = Q4_MOD_ReqBuild(p);
            else sent = false;
            s.broadcast = sent && error == 0 && Broadcast(p);
            if (error != 0) {
                Write16(p.cfg.status, static_cast<u16>(error | 2));
                s.station = kStDone;
                return 1;
            }
            s.lineError = 0;
            if (d.StatusRx != nullptr) d.StatusRx(port, 1);
            s.station = kStQueued;
            return 1;
        }
        case kStQueued:
            if (!Triggered(p)) {
                if (s.transmitting && d.FlushTx != nullptr) d.FlushTx(port);
                Write16(p.cfg.status, 0);
                s.station = kStIdle;
                return 1;
            }
            if (s.transmitting) return 1;
            RestartTimeout(s);
            if (s.broadcast) {
                // Sent to every station; nobody answers, so it is done.
                Write16(p.cfg.status, 1);
                s.station = kStDone;
                return 1;
            }
            s.station = kStWaiting;
            [[fallthrough]];
        case kStWaiting: {
            if (!Triggered(p)) {
                Write16(p.cfg.status, 0);
                s.station = kStIdle;
                return 1;
            }
            if (d.StatusRx != nullptr && d.StatusRx(port, 0) != 0 && s.lineError == 0) s.lineError = 0x200;
            Receive(p, true);
            const u16 r = p.e.result;
            if (r != 0) {
                u16 status = static_cast<u16>(r | 2);
                if (s.lineError) status = static_cast<u16>(s.lineError | 2);
                else if (r & kModAccepted) status = 1;
                Write16(p.cfg.status, status);
                s.station = kStDone;
            } else if (Expired(p)) {
                Write16(p.cfg.status, s.lineError ? static_cast<u16>(s.lineError | 2) : kModTimeoutStatus);
                s.station = kStDone;
            }
            return 1;
        }
        case kStDone:
            if (!Triggered(p)) {
                Write16(p.cfg.status, 0);
                s.station = kStIdle;
            }
            return 1;
        default:
            return 0;
    }
}

}  // namespace

// ----------------------------------------------------------------------------

void ExpectedSize(u8 function, int* request, int* response) {
    switch (function) {
        case 1: case 2: case 3: case 4: *request = 7; *response = -1; return;
        case 5: case 6: case 8: *request = 7; *response = 7; return;
        case 7: case 65: *request = 3; *response = 4; return;
        case 15: case 16: *request = -5; *response = 7; return;
        case 22: *request = 9; *response = 9; return;
        case 23: *request = -9; *response = -1; return;
        default: *request = 4; *response = 4; return;
    }
}

void MOD_RxMachine(ModPcb& p, u16 byte) {
    if ((p.e.mode & kModAscii) && !TcpOn(p)) AsciiByte(p, byte);
    else RtuByte(p, byte);
}

void MOD_SendException(ModPcb& p, const u8* source, u32 length) {
    ModEngine& e = p.e;
    if (length > kModFrameBytes - 6) return;
    if (source != nullptr && source != e.frame) std::memmove(e.frame, source, length);
    e.length = static_cast<u16>(length);
    e.index = 0;
    const VcommDriver& d = Vcomm_Drv[e.port];
    if (d.FlushTx != nullptr) d.FlushTx(e.port);
    p.s.transmitting = 1;
    e.state = kTransmit;
    Transmit(p);
    e.state = ReceiveIdle(e);
    p.s.transmitting = 255;
}

void MOD_SendRequest(ModPcb& p, u32 length) {
    p.e.result = 0;
    if (TcpOn(p)) g.tcp.flags |= 2;
    MOD_SendException(p, nullptr, length);
}

int ModbusInit(int port, const TalkModbusConfig& config) {
    if (port < 0 || port > 1) return 0;
    ModPcb& p = g.pcb[port];
    p.cfg = config;
    p.s = ModPortState{};
    if (config.address == 0) p.s.triggerMask = static_cast<u16>(1u << (config.triggerBit & 15));
    // The IEC workbench's debug link keeps its port: no framing is set up.
    if (MOD_IecForms() && Nibble(static_cast<u32>(port)) == kProtoWorkbench) {
        p.e.port = static_cast<u16>(port);
    } else {
        // The programming software took back the port the application had
        // borrowed: the port speaks the application's protocol again.
        u8* mode = Vcomm_Drv[port].mode;
        if (MOD_IecForms() && q4runtime_modbusinit == 1 && mode != nullptr) {
            q4runtime_modbusinit = 0;
            mode[kSomProto] = static_cast<u8>((mode[kSomProto] & 0xF0) | (q4protocol & 0x0F));
        }
        MOD_Init(p, port);
    }
    p.s.station = config.address == 0 ? kStIdle : kStSlave;
    RestartTimeout(p.s);
    Write16(config.status, 0);
    g.initialised = true;
    return 1;
}

int ModbusExecute(int port) {
    if (port < 0 || port > 1) return 0;
    ModPcb& p = g.pcb[port];
    const VcommDriver& d = Vcomm_Drv[port];
    if (p.s.transmitting == 255 && (d.CountTx == nullptr || d.CountTx(static_cast<u32>(port)) == 0))
        p.s.transmitting = 0;
    if (p.s.station == kStSlave) {
        SlaveStep(p);
        return 1;
    }
    return MasterStep(p);
}

int ModbusStop(int port) {
    if (port < 0 || port > 1) return 0;
    Write16(g.pcb[port].cfg.status, 0);
    return 1;
}

void MOD_TCPInit(int on, int port) {
    if (port < 0 || port > 1) return;
    if (on) {
        g.tcp.flags = static_cast<u8>(1 | (port & 3) << 3);
        g.tcp.protocol = 0;
    } else {
        g.tcp.flags = 0;
    }
}

ModPcb& MOD_Pcb(int port) { return g.pcb[port & 1]; }
const ModbusTcpState& MOD_TcpState() { return g.tcp; }
bool MOD_Initialised() { return g.initialised; }
bool MOD_IecForms() { return QuilletRuntime != 0 && quillet_variables_enumerateded != 0; }

u32 MOD_RegBytesFrom(const u8* p, u32 fallback) {
    if (p >= plc_reg && p < plc_reg + kPlcRegBytes) return static_cast<u32>(plc_reg + kPlcRegBytes - p);
    return p == nullptr ? 0 : fallback;
}

void MOD_Reset() { g = State{}; }
