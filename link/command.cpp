#include "link/command.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/bkuprstr.h"
#include "core/nvram.h"
#include "core/plc_regs.h"
#include "io/iodriver.h"
#include "link/cmdproc.h"
#include "link/fxphost.h"
#include "link/linkpeers.h"
#include "link/sci.h"
#include "link/vcomm.h"
#include "platform/system.h"
#include "platform/timers.h"

CmdBuffer CmdBuf;
u8 CmdRun = 255;
u8 CmdMode = 0;
u32 CmdHost = 0;
u32 ChkHost = 0;
u8 CmdHostToPlc = 1;
u8 CmdGlobal = 0;
u8 NegotiationFlag = 0;
u16 CmdDataMax = 64;
u8 count_flag = 0;
u8 CmdBaudTimer = kTimerNone;
u16 CmdOldIdle = 0;
u8 OLPMode = 0;
u8 Cmd_Downloading = 0;
u8 Cmd_Override = 0;
u32 ProgrammingPort = 0;
u32 is_q4protocol = 0;
u8 Cmd_SS_Info[kCmdSsInfoBytes];
u8 ladder_olp[8 + kLadderOlpDataBytes];

namespace {

struct State {
    u8 relayLastEmpty = 0;  // relay progress
};
State g;

VcommDriver& Port() { return Vcomm_Drv[ProgrammingPort > 1 ? 0 : ProgrammingPort]; }
u8 PortNibble() { return Port().mode[kSomProto] & 0x0F; }
bool ModemActive() { return linkPeers.ModemSocketActive != nullptr && linkPeers.ModemSocketActive() != 0; }
bool SerialUsable() { return !Cmd_Override && PortNibble() == kProtoProgramming; }
u8 OwnId() { return static_cast<u8>(SR_Get(29) & 0xFF); }

bool CanDirectionIn() { return Vcomm_Mode == kLinkRemote || (Vcomm_Mode == kLinkRelay && CmdHostToPlc == 0); }
bool CanDirectionOut() { return Vcomm_Mode == kLinkRemote || (Vcomm_Mode == kLinkRelay && CmdHostToPlc == 1); }

void SendToHost(const u8* frame, u32 n) {
    switch (CmdHost) {
        case kHostEthernet:
            // The mailbox takes at most 476 bytes per call.
            for (u32 off = 0; linkPeers.EtnPutnTx != nullptr && off < n; off += 476)
                linkPeers.EtnPutnTx(frame + off, std::min<u32>(476, n - off));
            break;
        case kHostUsb: SCI4_PutnTx(frame, n); break;
        default:
            if (ModemActive()) {
                if (linkPeers.ModemDataSend != nullptr) linkPeers.ModemDataSend(frame, n);
            } else if (SerialUsable()) {
                Port().PutnTx(ProgrammingPort, frame, n);
            }
            break;
    }
}

void ResetNegotiation() {
    NegotiationFlag = 0;
    CmdDataMax = 64;
}

void EndRunning() {
    Vcomm_LockSet(0);
    CmdBuf.state = 0;
    count_flag = 0;
    CmdRun = 255;
}

void Relay();

}  // namespace

u8 Cmd_Seed() { return OemSelection & 0x7F; }

u16 Cmd_ReplyTimeout() { return std::max<u16>(SR_Get(137), 500); }
u16 Cmd_IdleTimeout() { return std::max<u16>(SR_Get(136), 5000); }
u16 Cmd_LongTimeout() { return std::max<u16>(SR_Get(136), 9000); }
void Cmd_TimerStart() { Timer_Start(CmdBuf.timer, CmdBuf.timeoutMs); }
void Cmd_TimerStop() { Timer_Stop(CmdBuf.timer); }

void Cmd_Reset() {
    std::memset(&CmdBuf, 0, sizeof CmdBuf);
    CmdBuf.timer = kTimerNone;
    CmdBuf.timeoutMs = 500;
    CmdRun = 255;
    CmdMode = 0;
    CmdHost = ChkHost = 0;
    CmdHostToPlc = 1;
    CmdGlobal = 0;
    NegotiationFlag = 0;
    CmdDataMax = 64;
    count_flag = 0;
    CmdBaudTimer = kTimerNone;
    CmdOldIdle = 0;
    OLPMode = 0;
    Cmd_Downloading = 0;
    Cmd_Override = 0;
    ProgrammingPort = 0;
    is_q4protocol = 0;
    g = State{};
    for (u8& b : Cmd_SS_Info) b = 0;
    for (int i = 0; i < 8; ++i) ladder_olp[i] = 0;
    CmdProc_Reset();
}

void Cmd_PortInit(u8 how) {
    if (how == 0) SYS_WarmReset();
    if (how == 1) Vcomm_OpenProgrammingMode(ProgrammingPort);
}

void Cmd_Init() {
    CmdBaudTimer = Timer_Allocate(1);
    CmdBuf.timer = Timer_Allocate(1);
    CmdBuf.timeoutMs = Cmd_ReplyTimeout();
    CmdRun = 255;
    CmdBuf.state = 0;
    CmdOldIdle = Vcomm_Idle;
    ChkHost = CmdHost = 0;
    Cmd_PortInit(1);
    Fxp_Initialise();
}

int Cmd_Request(u8 nodeId) {
    if (Vcomm_Lock != 0) return 0;
    u32 mode = nodeId == OwnId() ? kLinkLocal : kLinkRelay;
    Vcomm_ModeSet(0, kHostSerial, mode, nodeId);
    if (Vcomm_Host != kHostSerial || Vcomm_Mode != mode) return 0;
    CmdRun = 255;
    CmdHost = kHostSerial;
    CmdBuf.state = 0;
    return 1;
}

// --- byte layer ------------------------------------------------------------

int chkchar() {
    if (CmdHost == kHostEthernet) return linkPeers.EtnCheckRx != nullptr ? linkPeers.EtnCheckRx() : 0;
    if (CmdHost == kHostUsb) return is_q4protocol ? 0 : (SCI4_CheckRx() == 1 ? 1 : 0);
    if (ModemActive()) return linkPeers.ModemCheckRecv != nullptr && linkPeers.ModemCheckRecv() == 1 ? 1 : 0;
    if (Cmd_Override) return 0;
    if (PortNibble() != kProtoProgramming) return 0;
    return Port().CheckRx(ProgrammingPort) == 1 ? 1 : 0;
}

int cmd_getchar() {
    if (CmdHost == kHostEthernet) return linkPeers.EtnGetRx != nullptr ? linkPeers.EtnGetRx() & 0xFF : 0;
    if (CmdHost == kHostUsb) return SCI4_GetRx();
    if (ModemActive()) return linkPeers.ModemDataRecv != nullptr ? linkPeers.ModemDataRecv() & 0xFF : 0;
    return Port().GetRx(ProgrammingPort);
}

void flushchar() {
    if (CmdHost == kHostEthernet) {
        if (linkPeers.EtnFlushRx != nullptr) linkPeers.EtnFlushRx();
    } else if (CmdHost == kHostUsb) {
        SCI4_FlushRx();
    } else if (!ModemActive() && PortNibble() == kProtoProgramming) {
        Port().FlushRx(ProgrammingPort);
    }
}

int cmd_putchar(u8 byte) {
    if (CmdHost == kHostEthernet) {
        if (linkPeers.EtnPutTx != nullptr) linkPeers.EtnPutTx(byte);
    } else if (CmdHost == kHostUsb) {
        SCI4_PutTx(byte);
    } else if (ModemActive()) {
        if (linkPeers.ModemDataSend != nullptr) linkPeers.ModemDataSend(&byte, 1);
    } else if (SerialUsable()) {
        Port().PutTx(ProgrammingPort, byte);
    }
    return byte;
}

int chkbyte() {
    if (CanDirectionIn()) return linkPeers.NetCheckRx != nullptr ? linkPeers.NetCheckRx() : 0;
    return chkchar();
}
int getbyte() {
    if (CanDirectionIn()) return linkPeers.NetGetRx != nullptr ? linkPeers.NetGetRx() & 0xFF : 0;
    return cmd_getchar();
}
void flushbyte() {
    if (CanDirectionIn()) {
        if (linkPeers.NetFlushRx != nullptr) linkPeers.NetFlushRx();
        return;
    }
    flushchar();
}
int putbyte(u8 byte) {
    if (CanDirectionOut()) {
        if (linkPeers.CanPutBytes != nullptr) linkPeers.CanPutBytes(&byte, 1, Vcomm_Mode);
        return byte;
    }
    return cmd_putchar(byte);
}

// --- frames ----------------------------------------------------------------

int get_packet() {
    while (chkbyte()) {
        u8 b = static_cast<u8>(getbyte());
        Timer_Start(CmdBuf.timer, CmdBuf.timeoutMs);
        switch (CmdBuf.state) {
            case 0:
                CmdBuf.cmd = b;
                CmdBuf.chksum = static_cast<u8>(b + Cmd_Seed());
                if (CmdBuf.answerFlag && b != kCmdData) {
                    Cmd_TimerStop();
                    ResetNegotiation();
                    return 1;
                }
                CmdBuf.state = 1;
                count_flag = 0;
                Vcomm_LockSet(1);
                break;
            case 1:
                CmdBuf.chksum = static_cast<u8>(CmdBuf.chksum + b);
                if (count_flag == 0) {
                    if (b == 0xFF) {
                        count_flag = 1;
                        break;
                    }
                    CmdBuf.len = b;
                } else if (count_flag == 1) {
                    CmdBuf.len = b;
                    count_flag = 2;
                    break;
                } else {
                    CmdBuf.len = static_cast<u16>(CmdBuf.len | (b << 8));
                    count_flag = 0;
                }
                CmdBuf.count = 0;
                if (CmdBuf.len == 0) {
                    CmdBuf.state = 3;
                    ResetNegotiation();
                } else {
                    CmdBuf.state = 2;
                }
                break;
            case 2:
                CmdBuf.chksum = static_cast<u8>(CmdBuf.chksum + b);
                if (CmdBuf.count < kCmdDataStore) CmdBuf.data[CmdBuf.count] = b;
                CmdBuf.count++;
                if (CmdBuf.count >= CmdBuf.len) CmdBuf.state = 3;
                break;
            default:
                CmdBuf.chksum = static_cast<u8>(CmdBuf.chksum + b);
                CmdBuf.state = 0;
                if (CmdBuf.chksum != 0) {
                    putbyte(kCmdResend);
                    break;
                }
                if (Vcomm_Mode != kLinkRemote) {
                    int s = Timer_Status(CmdBaudTimer);
                    if (s == kTimerRunning || s == kTimerExpired) Timer_Start(CmdBaudTimer, 0);
                }
                Cmd_TimerStop();
                return 1;
        }
    }
    return 0;
}

void put_packet(u8 command, u32 n, const u8* data) {
    n = std::min(n, kCmdDataStore);
    bool extended = NegotiationFlag || n > kCmdNormalMax;
    u8 frame[kCmdDataStore + 5];
    u32 k = 0;
    frame[k++] = command;
    if (extended) {
        frame[k++] = 0xFF;
        frame[k++] = static_cast<u8>(n & 0xFF);
        frame[k++] = static_cast<u8>(n >> 8);
    } else {
        frame[k++] = static_cast<u8>(n);
    }
    if (n != 0 && data != nullptr) std::memcpy(frame + k, data, n);
    k += n;
    u8 sum = Cmd_Seed();
    for (u32 i = 0; i < k; ++i) sum = static_cast<u8>(sum + frame[i]);
    frame[k++] = static_cast<u8>(-sum);
    if (CanDirectionOut()) {
        if (linkPeers.CanPutBytes != nullptr) linkPeers.CanPutBytes(frame, k, Vcomm_Mode);
    } else if (NegotiationFlag) {
        for (u32 i = 0; i < k; ++i) cmd_putchar(frame[i]);
    } else {
        SendToHost(frame, k);
    }
    if (NegotiationFlag && command == kCmdData && n == 0) ResetNegotiation();
}

// --- the pass ----------------------------------------------------------------

namespace {

// Finds the first host with a readable byte; -1 when none.
int PollHosts() {
    if (linkPeers.EtnCheckRx != nullptr && linkPeers.EtnCheckRx()) return kHostEthernet;
    if (!is_q4protocol && SCI4_CheckRx() == 1) return kHostUsb;
    if (ModemActive()) {
        if (linkPeers.ModemCheckRecv != nullptr && linkPeers.ModemCheckRecv() == 1) return kHostSerial;
    } else if (!Cmd_Override && PortNibble() == kProtoProgramming && Port().CheckRx(ProgrammingPort) != 0) {
        return kHostSerial;
    }
    return -1;
}

void Arbitrate(u32 host) {
    ChkHost = host;
    if (host == Vcomm_Host && Vcomm_Mode != kLinkRemote) return;
    Vcomm_ModeSet(0, host, kLinkLocal, OwnId());
    if (Vcomm_Host == host && Vcomm_Mode == kLinkLocal) {
        CmdHost = host;
        CmdBuf.state = 0;
        count_flag = 0;
        CmdRun = 255;
        return;
    }
    u32 saved = CmdHost;
    CmdHost = host;
    flushchar();
    cmd_putchar(kCmdBusy);
    CmdHost = saved;
}

// Step 7: receive and route one frame; false when nothing is to be executed.
bool Receive() {
    CmdBuf.timeoutMs = Cmd_ReplyTimeout();
    CmdHostToPlc = 1;
    CmdBuf.answerFlag = 0;
    CmdGlobal = 0;
    if (!get_packet()) return false;
    if (CmdBuf.cmd >= kCmdCount) CmdBuf.cmd = 0;
    CmdRun = CmdBuf.cmd;
    CmdMode = 0;
    const CmdInfoRow& row = CmdInfo[CmdRun];
    bool keep = true;
    // A frame without data carries no node id: it is for this node.
    u8 id = CmdBuf.len > 0 ? CmdBuf.data[0] : OwnId();
    if (row.idIndependent) {
        Vcomm_ModeSet(1, CmdHost, kLinkLocal, OwnId());
        keep = Vcomm_Host == CmdHost && Vcomm_Mode == kLinkLocal;
    } else if (Vcomm_Mode != kLinkRemote) {
        if (id == OwnId()) {
            Vcomm_ModeSet(1, CmdHost, kLinkLocal, id);
            keep = Vcomm_Host == CmdHost && Vcomm_Mode == kLinkLocal;
        } else {
            Vcomm_ModeSet(1, CmdHost, kLinkRelay, id);
            keep = Vcomm_Host == CmdHost && Vcomm_Mode == kLinkRelay;
        }
    }
    if (keep && id == kCmdBroadcast && CmdBuf.len > 0 && CmdRun != 9) {
        if (!row.broadcast)
            keep = false;
        else
            CmdGlobal = 1;
    }
    if (!keep) {
        CmdRun = 255;
        // The frame set bit 0 of the lock: a dropped frame ends like a command.
        if (Vcomm_Host == CmdHost) Vcomm_LockSet(2);
        return false;
    }
    return true;
}

void Execute() {
    u8 code = CmdRun;
    if (CmdGlobal || Vcomm_Mode != kLinkRelay) {
        // A broadcast that is also relayed runs here first; its answer is
        // for the host, not for the node.
        bool relayed = Vcomm_Mode == kLinkRelay;
        if (relayed) CmdHostToPlc = 0;
        CmdInfo[code].handler();
        if (relayed) {
            CmdHostToPlc = 1;
            CmdRun = code;
            CmdMode = 0;
        }
    }
    if (Vcomm_Mode == kLinkRelay && CmdRun != 255 && !(SR_Get(4) & 0x10)) Relay();
    if (CmdRun == 255) {
        Vcomm_LockSet(2);
        CmdBuf.timeoutMs = Cmd_IdleTimeout();
        Cmd_TimerStart();
    }
}

// --- relay to another node ---

bool NodeByte(u8* b) {
    if (linkPeers.NetCheckRx == nullptr || !linkPeers.NetCheckRx()) return false;
    *b = static_cast<u8>(linkPeers.NetGetRx != nullptr ? linkPeers.NetGetRx() : 0);
    return true;
}

void ForwardRequest() {
    if (linkPeers.NetFlushRx != nullptr) linkPeers.NetFlushRx();
    CmdHostToPlc = 1;
    put_packet(CmdBuf.cmd, CmdBuf.Stored(), CmdBuf.data);
}

void ToHost(u8 b) {
    u8 saved = CmdHostToPlc;
    CmdHostToPlc = 0;
    cmd_putchar(b);
    CmdHostToPlc = saved;
}

void RelayEnd() {
    Cmd_TimerStop();
    CmdRun = 255;
    CmdBuf.answerFlag = 0;
}

void Relay() {
    u8 code = CmdRun;
    u16 kind = CmdInfo[code].relayKind;
    u8 b = 0;
    if (CmdMode == 0 && CmdBuf.Truncated()) {
        // More data than was stored cannot be forwarded faithfully.
        ToHost(kCmdNak);
        RelayEnd();
        return;
    }
    switch (kind) {
        case kRelayByte:
            if (CmdMode == 0) {
                ForwardRequest();
                if (CmdGlobal) {
                    CmdRun = 255;
                    return;
                }
                CmdMode = 1;
                Cmd_TimerStart();
            } else if (NodeByte(&b)) {
                ToHost(b);
                if (b == kCmdAck && code == 25) do_comm_lock();
                RelayEnd();
            }
            break;
        case kRelayFrame:
            if (CmdMode == 0) {
                ForwardRequest();
                CmdMode = 1;
                Cmd_TimerStart();
                CmdHostToPlc = 0;
                CmdBuf.answerFlag = 1;
            } else if (get_packet()) {
                if (CmdBuf.cmd == kCmdData)
                    put_packet(kCmdData, CmdBuf.Stored(), CmdBuf.data);
                else
                    ToHost(CmdBuf.cmd);
                RelayEnd();
            }
            break;
        case kRelayDownload:
            if (CmdMode == 0) {
                ForwardRequest();
                CmdMode = 1;
                if (code == 4) CmdBuf.timeoutMs = Cmd_LongTimeout();
                g = State{};
                Cmd_TimerStart();
            } else if (CmdMode == 1 || CmdMode == 3) {
                if (!NodeByte(&b)) break;
                ToHost(b);
                CmdBuf.timeoutMs = Cmd_ReplyTimeout();
                bool end = CmdMode == 1 ? (b == kCmdBusy || b == kCmdNak) : (b == kCmdNak || g.relayLastEmpty);
                CmdMode = 2;
                if (end)
                    RelayEnd();
                else
                    Cmd_TimerStart();
            } else {
                CmdHostToPlc = 1;
                if (!get_packet()) break;
                if (CmdBuf.cmd != kCmdData) break;
                if (CmdBuf.Truncated()) {
                    ToHost(kCmdNak);
                    RelayEnd();
                    break;
                }
                put_packet(kCmdData, CmdBuf.len, CmdBuf.data);
                g.relayLastEmpty = CmdBuf.len == 0;
                CmdMode = 3;
                if (code == 4 && g.relayLastEmpty) CmdBuf.timeoutMs = Cmd_LongTimeout();
                Cmd_TimerStart();
            }
            break;
        case kRelayUpload:
            if (CmdMode == 0) {
                ForwardRequest();
                CmdMode = 1;
                g = State{};
                Cmd_TimerStart();
            } else if (CmdMode == 1) {
                if (!NodeByte(&b)) break;
                ToHost(b);
                CmdHostToPlc = 0;
                CmdMode = 2;
                if (b == kCmdBusy || b == kCmdNak)
                    RelayEnd();
                else
                    Cmd_TimerStart();
            } else if (CmdMode == 2) {
                CmdHostToPlc = 0;
                if (!get_packet()) break;
                if (CmdBuf.cmd == kCmdData) {
                    put_packet(kCmdData, CmdBuf.Stored(), CmdBuf.data);
                    g.relayLastEmpty = CmdBuf.len == 0;
                    CmdMode = 3;
                }
                Cmd_TimerStart();
            } else {
                if (!chkchar()) break;
                b = static_cast<u8>(cmd_getchar());
                if (linkPeers.CanPutBytes != nullptr) linkPeers.CanPutBytes(&b, 1, 1);
                CmdMode = 2;
                if (b == kCmdNak || g.relayLastEmpty)
                    RelayEnd();
                else
                    Cmd_TimerStart();
            }
            break;
        default: RelayEnd(); break;
    }
}

}  // namespace

void Cmd_Check() {
    if (Vcomm_Idle != CmdOldIdle) {
        CmdOldIdle = Vcomm_Idle;
        if (linkPeers.EtnPutTx != nullptr) linkPeers.EtnPutTx(112);
    }
    if (Timer_Status(CmdBaudTimer) == kTimerExpired && SR_Get(34) == kProtoProgramming)
        Vcomm_OpenProgrammingMode(ProgrammingPort);

    int host = PollHosts();
    if (host >= 0) Arbitrate(static_cast<u32>(host));

    if (linkPeers.CanStatus != nullptr && (linkPeers.CanStatus(0) & 0x80) && Vcomm_Mode != kLinkLocal) EndRunning();

    int status = Timer_Status(CmdBuf.timer);
    if (status == kTimerExpired) {
        if (Cmd_Downloading) Cmd_AbandonDownload();
        EndRunning();
    } else if (status == kTimerStopped && Vcomm_Lock != 0 && CmdRun == 255) {
        Cmd_TimerStart();
    }
    if (CmdRun == 255 && !Receive()) return;
    Execute();
}

int Cmd_LentPortDescriptor(int which) {
    switch (which) {
        case 1: return Sci_View(kSciPort1).fd;
        case 2: return Sci_View(kSciUsb).fd;
        default: return -1;  // the programming port is never lent
    }
}

u32 Cmd_HostCode() { return Vcomm_Host; }

void Cmd_WorkbenchHandBack(int serialHost) {
    is_q4protocol = 0;
    if (!serialHost) return;
    Vcomm_OpenProgrammingMode(ProgrammingPort > 1 ? 0 : ProgrammingPort);
}
