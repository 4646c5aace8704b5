#include "link/cmdproc.h"

#include <time.h>

#include <algorithm>
#include <cstring>

#include "core/bkuprstr.h"
#include "core/nvram.h"
#include "core/plc.h"
#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/blocks/q4hostglue.h"
#include "io/iodriver.h"
#include "ladder/ladder_check.h"
#include "link/command.h"
#include "link/datagram.h"
#include "link/fxphost.h"
#include "link/linkpeers.h"
#include "link/sci.h"
#include "link/vcomm.h"
#include "platform/fpga.h"
#include "platform/system.h"
#include "platform/timers.h"

u8 CmdGrfxType = 0;
u8 CANOpen_dwnld = 0;

namespace {

struct State {
    // Headers of the areas whose blocks have none of their own.
    u8 forceHeader[kNvHeaderBytes] = {}, securityHeader[kNvHeaderBytes] = {}, infoHeader[kNvHeaderBytes] = {},
       identityHeader[kNvHeaderBytes] = {};
    // Transfer state.
    u32 area = 0;
    u32 pos = 0;        // write, compare or send position (data offset, or header offset for the header flag)
    u32 count = 0;      // bytes written or still to send
    u32 lastFrame = 0;  // data bytes of the last upload frame
    bool header = false;
    bool global = false;
    u16 answerStamp = 0;
    // A baud change waits for its answer to leave at the old rate.
    u8 baudCode = 0;
    u32 drainStart = 0;  // 100-us counter when the answer was queued
};
State g;

void Answer(u8 b) { putbyte(b); }
void Done() { CmdRun = 255; }
void AnswerDone(u8 b) {
    Answer(b);
    Done();
}
bool Broadcast() { return CmdGlobal != 0; }
u32 Len() { return CmdBuf.Stored(); }
u8 Arg(u32 i) { return i < Len() ? CmdBuf.data[i] : 0; }

void FrameOf(const u8* data, u32 n) { put_packet(kCmdData, n, data); }

// Refreshes the headers that are built from registers or fixed contents.
void RefreshHeader(u32 area) {
    switch (area) {
        case 2:
            PutLe16(g.forceHeader, SR_Get(25));
            PutLe16(g.forceHeader + 2, 0);
            PutLe32(g.forceHeader + 4, std::min<u32>(SR_GetDword(15), kForceTableMax));
            break;
        case 4:
            PutLe16(g.securityHeader, SR_Get(28));
            PutLe16(g.securityHeader + 2, 0);
            PutLe32(g.securityHeader + 4, std::min<u32>(SR_GetDword(21), kSecurityTableMax));
            break;
        case 17:
            PutLe16(g.infoHeader, crc16(Cmd_SS_Info, kCmdSsInfoBytes));
            PutLe16(g.infoHeader + 2, 0);
            PutLe32(g.infoHeader + 4, kCmdSsInfoBytes);
            break;
        case 19:
            PutLe16(g.identityHeader, crc16(tinyImage, kTinyImageBytes));
            PutLe16(g.identityHeader + 2, 0);
            PutLe32(g.identityHeader + 4, kTinyImageBytes);
            break;
        default: break;
    }
}

FileInfoRow Block(const NvBlock& b, int crcReg, int sizeReg, u16 eraseKb) {
    return FileInfoRow{b.Data(), b.base, b.capacity, crcReg, sizeReg, eraseKb, static_cast<u8>(eraseKb != 0)};
}

void BlockErase(u8* block, u32 bytes) { std::memset(block, 0xFF, std::min<u32>(bytes, 1024)); }

bool Refused(u32 area, bool uploading) {
    if (area >= kAreaCount) return true;
    if (!uploading && (area == 3 || area == 17)) return true;
    return Cmd_FileInfo(area).data == nullptr;
}

void AfterDownload(u32 area, u32 count) {
    switch (area) {
        case 0:
            SR_Put(4, SR_Get(4) & ~0x104);
            nv_get_features();
            // A program the checker refuses is kept but marked invalid, so
            // the controller does not enter run with it.
            if (!LadderProgram_Acceptable(ladder, count)) SR_Put(4, SR_Get(4) | kSr4ProgramInvalid);
            break;
        case 2: std::memcpy(io_force, plc_reg + kForceTableOffset, std::min<u32>(count, kForceTableMax)); break;
        case 4:
            if (linkPeers.EtnUpdateSecurity != nullptr) linkPeers.EtnUpdateSecurity();
            break;
        case 5:
            CmdNetIoConfigUpdated = 1;
            SR_Put(27, 0);
            SR_PutDword(19, 0);
            net_config_bl.SetHeader(0, 0);
            break;
        case 6:
            CmdNetIoConfigUpdated = 1;
            NetIoConfig();
            break;
        case 19:
            if (linkPeers.SaveAndSetMACID != nullptr) linkPeers.SaveAndSetMACID();
            break;
        case 23: CANOpen_dwnld = 0; break;
        default: break;
    }
}

// A download frame that cannot be taken whole: refuse it and abandon the
// download, so no half-written block is kept or stored.
void RefuseDownloadFrame() {
    Cmd_AbandonDownload();
    AnswerDone(kCmdNak);
}

// Sends the next upload frame from the position.
void SendUploadFrame() {
    const FileInfoRow row = Cmd_FileInfo(g.area);
    u32 n = std::min<u32>(CmdDataMax, g.count);
    static const u8 kZeros[kCmdDataStore] = {};
    const u8* src = g.global ? kZeros : (g.header ? row.header : row.data) + g.pos;
    g.lastFrame = n;
    FrameOf(src, n);
    CmdBuf.timeoutMs = Cmd_ReplyTimeout();
    Cmd_TimerStart();
    CmdMode = 5;
}

// Steps 4 and 5 of an upload (also global data).
void UploadSteps() {
    if (CmdMode == 4) SendUploadFrame();
    while (CmdMode == 5 && chkbyte()) {
        u8 b = static_cast<u8>(getbyte());
        if (b == kCmdResend) {
            SendUploadFrame();
        } else if (b == kCmdAck) {
            if (Vcomm_Mode != kLinkRemote) {
                int s = Timer_Status(CmdBaudTimer);
                if (s == kTimerRunning || s == kTimerExpired) Timer_Start(CmdBaudTimer, 0);
            }
            if (g.lastFrame == 0) {
                Cmd_TimerStop();
                Done();
                return;
            }
            g.pos += g.lastFrame;
            g.count -= g.lastFrame;
            SendUploadFrame();
        } else {
            if (b != kCmdNak) flushbyte();
            Cmd_TimerStop();
            Done();
            return;
        }
    }
}

// Register address of commands 22 and 24; false when the request is too
// short to hold it. valueAt receives the offset of the values.
bool RegAddress(u32* address, u32* valueAt) {
    if (Len() < 4) return false;
    u16 token = GetLe16(&CmdBuf.data[2]);
    if (token == 0) {
        if (Len() < 8) return false;
        *address = GetLe32(&CmdBuf.data[4]);
        *valueAt = 8;
    } else if (token == 1776 || token == 1777) {
        if (Len() < 6) return false;
        *address = (token == 1776 ? 0x10000u : 0x20000u) + GetLe16(&CmdBuf.data[4]);
        *valueAt = 6;
    } else {
        *address = token;
        *valueAt = 4;
    }
    return true;
}

bool IecBackupAddress(u32 address) {
    return address == 0xC0000000u && QuilletRuntime && quillet_variables_enumerateded;
}

constexpr u32 kDrainLimit = 1000;  // 100 ms in 100-us counts

// True once an answer queued at drainStart has left the programming port, or
// when the host has not taken it within the limit (a host that does not read
// is not waited for long); an intercepting peer takes the bytes at its own pace.
bool AnswerSent() {
    if (Sci_InterceptOn(static_cast<int>(ProgrammingPort))) return true;
    if (Vcomm_Drv[ProgrammingPort].EmptyTx(ProgrammingPort)) return true;
    return FPGA_GetFrt() - g.drainStart >= kDrainLimit;
}

}  // namespace

FileInfoRow Cmd_FileInfo(u32 area) {
    switch (area) {
        case 0: return Block(ladder_bl, 23, 11, 256);
        case 2:
            return FileInfoRow{plc_reg + kForceTableOffset, g.forceHeader, kForceTableMax, 25, 15, 0, 0};
        case 4:
            return FileInfoRow{plc_reg + kSecurityTableOffset, g.securityHeader, kSecurityTableMax, 28, 21, 0, 0};
        case 5: return Block(io_config_bl, 26, 17, 128);
        case 6: return Block(net_config_bl, 27, 19, 0);
        case 17: return FileInfoRow{Cmd_SS_Info, g.infoHeader, kCmdSsInfoBytes, 0, 0, 0, 0};
        case 19: return FileInfoRow{tinyImage, g.identityHeader, kTinyImageBytes, 0, 0, 0, 0};
        case 20: return Block(promgr_table_bl, 130, 123, 64);
        case 21: return Block(sms_table_bl, 147, 143, 64);
        case 22: return Block(datalog_table, 0, 0, 0);
        case 23: return Block(copendnet_tbl, 0, 0, 64);
        case 26: return FileInfoRow{ladder_olp + kNvHeaderBytes, ladder_olp, kLadderOlpDataBytes, 0, 0, 64, 1};
        case 33: return Block(mqtt_tbl, 0, 0, 64);
        default: return FileInfoRow{};
    }
}

void CmdProc_Reset() {
    CmdGrfxType = 0;
    CmdNetIoConfigUpdated = 0;
    CANOpen_dwnld = 0;
    g = State{};
    Datagram_Reset();
}

void CmdPanel(int value) {
    if (value == 0) {
        Cmd_Downloading = 1;
    } else if (value == 1 && Cmd_Downloading) {
        Cmd_Downloading = 0;
        SR_Put(2, 0);
        SR_Put(3, 0);
        if ((SR_Get(5) & 0xFF) != kModeRun) SaveProgram();
    }
}

void Cmd_AbandonDownload() {
    IoStop();
    // The blocks in memory may be half written: bring back the stored program
    // and configuration instead of storing anything.
    LoadProgram();
    CANOpen_dwnld = 0;
    if (Cmd_Downloading) {
        Cmd_Downloading = 0;
        SR_Put(2, 0);
        SR_Put(3, 0);
    }
}

// --- handlers -----------------------------------------------------------------

void do_default() {
    if (!Broadcast()) Answer(kCmdNak);
    Done();
}

void dummy_cmd() { AnswerDone(kCmdNak); }
void set_global_data() { AnswerDone(kCmdNak); }
void press_key() { AnswerDone(kCmdNak); }

void protect_nvram() {
    if (!Broadcast()) Answer(kCmdAck);
    Done();
}

void get_mode() {
    u8 m = OLPMode ? 3 : static_cast<u8>(SR_Get(5) & 0xFF);
    FrameOf(&m, 1);
    Done();
}

void set_mode() {
    u8 mode = Arg(1);
    if (Cmd_Downloading && mode == kModeRun) SaveProgram();
    OLPMode = 0;
    bool done = true;
    if (mode == 3) {
        ESR_Put(1, 0);
        OLPMode = 1;
    } else {
        SetPlcMode(mode);
        // A fault that blocks the mode, or a mode that does not exist,
        // leaves the controller where it was: the host must not be told
        // otherwise.
        done = (SR_Get(5) & 0xFF) == mode;
    }
    if (!Broadcast()) Answer(done ? kCmdAck : kCmdNak);
    Done();
}

void get_version() {
    u16 model = SR_Get(37), ver = SR_Get(38);
    u8 out[5];
    if (model <= 254) {
        out[0] = static_cast<u8>(model);
        out[1] = static_cast<u8>(ver / 100);
        out[2] = static_cast<u8>(ver % 100);
        FrameOf(out, 3);
    } else {
        out[0] = 0xFF;
        out[1] = static_cast<u8>(ver / 100);
        out[2] = static_cast<u8>(ver % 100);
        out[3] = static_cast<u8>(model & 0xFF);
        out[4] = static_cast<u8>(model >> 8);
        FrameOf(out, 5);
    }
    Done();
}

void get_local_id() {
    u8 id = static_cast<u8>(SR_Get(29) & 0xFF);
    FrameOf(&id, 1);
    Done();
}

void set_local_id() {
    u8 id = Arg(0);
    if (id >= 1 && id <= 127 && id != SR_Get(29)) {
        if (Vcomm_Mode == kLinkLocal) Vcomm_ModeSet(1, Vcomm_Host, kLinkLocal, id);
        u16 v = id;
        PlcReg_Set(3520, &v, 16);
    }
    AnswerDone(kCmdAck);
}

void reset_plc() {
    Answer(kCmdAck);
    timespec t{0, 100000000};
    nanosleep(&t, nullptr);
    SYS_WarmReset();
}

void get_plc_reg() {
    u32 address = 0, valueAt = 0;
    u32 bits = Arg(1);
    if (Len() < 2 || !RegAddress(&address, &valueAt)) {
        AnswerDone(kCmdResend);
        return;
    }
    if (IecBackupAddress(address)) {
        Answer(kCmdAck);
        q4_reg_store_backup();
        Done();
        return;
    }
    u8* p = PlcReg_Ptr(address, bits);
    if (p == nullptr) {
        AnswerDone(kCmdResend);
        return;
    }
    u8 out[32] = {};
    if (bits == 1) {
        PlcReg_Get(out, address, 1);
        FrameOf(out, 1);
    } else {
        u32 n = bits / 8;
        std::memcpy(out, p, n);
        if (address == 3136 && OLPMode && n >= 1) {
            out[0] = 3;
            if (n >= 2) out[1] = 0;
        }
        FrameOf(out, n);
    }
    Done();
}

void set_plc_reg() {
    u32 address = 0, valueAt = 0;
    u32 bits = Arg(1);
    if (Len() < 2 || CmdBuf.Truncated() || !RegAddress(&address, &valueAt)) {
        AnswerDone(kCmdNak);
        return;
    }
    // The values must all be in the request.
    u32 need = (bits + 7) / 8;
    if (bits != 0 && valueAt + need > Len()) {
        AnswerDone(kCmdNak);
        return;
    }
    if (IecBackupAddress(address)) {
        Answer(kCmdAck);
        q4_reg_load_backup();
        Done();
        return;
    }
    bool early = address == 3536 || address == 3600;
    if (early) Answer(kCmdAck);
    if (bits != 0)
        PlcReg_Set(address, &CmdBuf.data[valueAt], bits);
    else
        PlcRegClear();
    if (!early) Answer(kCmdAck);
    Done();
}

void cal_module() {
    // The calibration buffer carries the request length in one byte.
    if (CmdBuf.Truncated() || Len() > 255 || linkPeers.IoCal == nullptr) {
        AnswerDone(kCmdNak);
        return;
    }
    u8 buffer[256];
    buffer[0] = static_cast<u8>(Len());
    std::memcpy(buffer + 1, CmdBuf.data, Len());
    if (!linkPeers.IoCal(buffer, sizeof buffer)) {
        AnswerDone(kCmdNak);
        return;
    }
    FrameOf(buffer + 1, buffer[0]);
    Done();
}

void do_comm_lock() {
    u8 op = Arg(1);
    if (op == 1) Vcomm_LockSet(3);
    if (op == 0) Vcomm_LockSet(4);
    if (Len() >= 4) {
        u16 v = GetLe16(&CmdBuf.data[2]);
        if (v >= 500) {
            SR_Put(136, v);
            if (Len() == 4) SR_Put(137, v);
        }
        if (Vcomm_Mode != kLinkRemote) {
            int s = Timer_Status(CmdBaudTimer);
            if (s == kTimerRunning || s == kTimerExpired) Timer_Start(CmdBaudTimer, Cmd_LongTimeout());
        }
    }
    if (Len() == 6) {
        u16 v = GetLe16(&CmdBuf.data[4]);
        if (v >= 500) SR_Put(137, v);
    }
}

void set_comm_lock() {
    u8 op = Arg(1);
    if (op == 0) NetIoConfig();
    do_comm_lock();
    if (!Broadcast()) Answer(kCmdAck);
    if (op == 0) CmdPanel(1);
    Done();
}

void get_baud_rate() {
    u8 code = Vcomm_Drv[ProgrammingPort].mode[kSomBaud];
    FrameOf(&code, 1);
    Done();
}

void set_baud_rate() {
    if (CmdMode == 0) {
        g.baudCode = Arg(1);
        Answer(kCmdAck);
        if (CmdHost == kHostUsb) {
            Done();
            return;
        }
        g.drainStart = FPGA_GetFrt();
        CmdMode = 1;
    }
    // The answer must leave at the old rate: the port is opened again on a
    // later pass, once it has.
    if (!AnswerSent()) return;
    VcommDriver& d = Vcomm_Drv[ProgrammingPort];
    u8 m[kVcommModeBytes];
    std::memcpy(m, d.mode, kVcommModeBytes);
    m[kSomBaud] = g.baudCode;
    d.Open(ProgrammingPort, m);
    if ((d.mode[kSomProto] & 0x0F) != (tovra_mode[kSomProto] & 0x0F) || g.baudCode == tovra_mode[kSomBaud])
        Timer_Stop(CmdBaudTimer);
    else
        Timer_Start(CmdBaudTimer, Cmd_LongTimeout());
    Done();
}

void cmd_negotiation() {
    u16 v = Len() >= 3 ? GetLe16(&CmdBuf.data[1]) : 0;
    if (CmdHost == kHostSerial && v >= 64 && v <= 1024) {
        CmdDataMax = v;
        NegotiationFlag = v != 64 ? 1 : 0;
        AnswerDone(kCmdAck);
        return;
    }
    AnswerDone(kCmdNak);
}

void q4_debug_switch() {
    Answer(kCmdAck);
    if (CmdHost == kHostSerial) {
        Timer_Stop(CmdBaudTimer);
        u8* m = Vcomm_Drv[ProgrammingPort].mode;
        m[kSomProto] = static_cast<u8>((m[kSomProto] & 0xF0) | kProtoWorkbench);
    } else if (CmdHost == kHostUsb) {
        Timer_Stop(CmdBaudTimer);
    }
    is_q4protocol = 1;
    if (CmdHost == kHostEthernet) {
        if (linkPeers.WorkbenchConnectEthernet != nullptr) linkPeers.WorkbenchConnectEthernet();
    } else if (linkPeers.WorkbenchConnectSerial != nullptr) {
        linkPeers.WorkbenchConnectSerial();
    }
    Done();
}

void download_memory() {
    if (CmdMode == 0) {
        u32 area = Len() < 2 ? 0 : Arg(1);
        if (area == 0 && OLPMode) area = 26;
        if (Refused(area, false)) {
            AnswerDone(kCmdNak);
            return;
        }
        CmdGrfxType = area >= 7 && area <= 11 ? 1 : 0;
        bool iecHold = QuilletRuntime && (!quillet_variables_enumerateded || area == 26);
        if (area != 2 && !OLPMode && !iecHold) CmdPanel(0);
        g.area = area;
        g.count = 0;
        g.pos = 0;
        const FileInfoRow row = Cmd_FileInfo(area);
        if (row.erase) {
            if (area == 23) CANOpen_dwnld = 1;
            BlockErase(row.header, static_cast<u32>(row.eraseKb) * 1024);
        }
        Answer(kCmdAck);
        CmdBuf.timeoutMs = Cmd_ReplyTimeout();
        Cmd_TimerStart();
        CmdMode = 1;
        return;
    }
    while (CmdRun != 255 && get_packet()) {
        if (CmdBuf.cmd != kCmdData) continue;
        const FileInfoRow row = Cmd_FileInfo(g.area);
        u32 n = CmdBuf.len;
        if (n > 0) {
            if (CmdBuf.Truncated() || n > row.capacity - g.pos) {
                RefuseDownloadFrame();
                return;
            }
            nv_write(row.data + g.pos, CmdBuf.data, n);
            g.pos += n;
            g.count += n;
            Answer(kCmdAck);
            Cmd_TimerStart();
            continue;
        }
        u16 crc = crc16(row.data, g.count);
        PutLe16(row.header, crc);
        PutLe16(row.header + 2, 0);
        PutLe32(row.header + 4, g.count);
        if (row.crcReg != 0) SR_Put(row.crcReg, crc);
        if (row.sizeReg != 0) SR_PutDword(row.sizeReg, g.count);
        AfterDownload(g.area, g.count);
        if (!(Vcomm_Lock & 2u)) CmdPanel(1);
        AnswerDone(kCmdAck);
    }
}

void verify_memory() {
    if (CmdMode == 0) {
        u32 area = Len() < 2 ? 0 : Arg(1);
        if (Refused(area, false)) {
            AnswerDone(kCmdNak);
            return;
        }
        CmdPanel(1);
        g.area = area;
        g.pos = 0;
        Answer(kCmdAck);
        CmdBuf.timeoutMs = Cmd_ReplyTimeout();
        Cmd_TimerStart();
        CmdMode = 2;
        return;
    }
    while (CmdRun != 255 && get_packet()) {
        if (CmdBuf.cmd != kCmdData) continue;
        const FileInfoRow row = Cmd_FileInfo(g.area);
        u32 n = CmdBuf.len;
        if (n == 0) {
            Cmd_TimerStop();
            AnswerDone(kCmdAck);
            return;
        }
        // Bytes past the block, or more than the frame stored, cannot match.
        if (CmdBuf.Truncated() || n > row.capacity - g.pos || std::memcmp(row.data + g.pos, CmdBuf.data, n) != 0) {
            Cmd_TimerStop();
            AnswerDone(kCmdNak);
            return;
        }
        g.pos += n;
        Answer(kCmdAck);
        Cmd_TimerStart();
    }
}

void upload_memory() {
    if (CmdMode == 0) {
        u32 area = Len() < 2 ? 0 : Arg(1);
        if (Refused(area, true)) {
            AnswerDone(kCmdNak);
            return;
        }
        RefreshHeader(area);
        const FileInfoRow row = Cmd_FileInfo(area);
        g.area = area;
        g.global = false;
        g.header = Len() >= 3 && Arg(2) != 0;
        g.pos = 0;
        // A size field beyond the block (a corrupt header) is not followed past it.
        g.count = g.header ? kNvHeaderBytes : std::min<u32>(GetLe32(row.header + 4), row.capacity);
        g.answerStamp = static_cast<u16>(FPGA_GetFrt());
        Answer(kCmdAck);
        CmdMode = 2;
        return;
    }
    if (CmdMode == 2) {
        if (static_cast<u16>(static_cast<u16>(FPGA_GetFrt()) - g.answerStamp) < 2500) return;
        CmdMode = 4;
    }
    UploadSteps();
}

void get_global_data() {
    if (CmdMode == 0) {
        u8 mode = Arg(1), selector = Arg(2);
        if (mode != 1 || selector == 0 || selector == 1) {
            AnswerDone(kCmdNak);
            return;
        }
        u32 words = Len() == 3 ? 1 : Arg(3);
        g.global = true;
        g.header = false;
        g.pos = 0;
        g.count = 2 * words;
        Answer(kCmdAck);
        CmdMode = 4;
    }
    UploadSteps();
}

const CmdInfoRow CmdInfo[kCmdCount] = {
    {do_default, kRelayByte, 0, 0},          // 0
    {get_mode, kRelayFrame, 0, 0},           // 1
    {set_mode, kRelayByte, 0, 1},            // 2
    {verify_memory, kRelayDownload, 0, 0},   // 3
    {download_memory, kRelayDownload, 0, 0}, // 4
    {upload_memory, kRelayUpload, 0, 0},     // 5
    {do_default, kRelayFrame, 0, 0},         // 6
    {do_default, kRelayFrame, 0, 0},         // 7
    {get_version, kRelayFrame, 0, 0},        // 8
    {get_local_id, kRelayFrame, 1, 0},       // 9 (accepted for node 0xFF)
    {set_local_id, kRelayByte, 1, 0},        // 10
    {get_global_data, kRelayUpload, 1, 0},   // 11
    {set_global_data, kRelayByte, 1, 0},     // 12
    {do_default, kRelayFrame, 0, 0},         // 13
    {do_default, kRelayByte, 0, 0},          // 14
    {do_default, kRelayFrame, 0, 0},         // 15
    {do_default, kRelayFrame, 0, 0},         // 16
    {do_default, kRelayFrame, 0, 0},         // 17
    {do_default, kRelayFrame, 0, 0},         // 18
    {protect_nvram, kRelayByte, 0, 1},       // 19
    {reset_plc, kRelayByte, 0, 0},           // 20
    {press_key, kRelayByte, 0, 0},           // 21
    {get_plc_reg, kRelayFrame, 0, 0},        // 22
    {cal_module, kRelayFrame, 0, 0},         // 23
    {set_plc_reg, kRelayByte, 0, 1},         // 24
    {set_comm_lock, kRelayByte, 0, 0},       // 25
    {get_baud_rate, kRelayFrame, 0, 0},      // 26
    {set_baud_rate, kRelayByte, 0, 0},       // 27
    {parse_fxp_cmd, kRelayFrame, 0, 0},      // 28
    {write_fxp_data, kRelayByte, 0, 0},      // 29
    {read_fxp_data, kRelayFrame, 0, 0},      // 30
    {cmd_datagram_delete, kRelayByte, 0, 0}, // 31
    {cmd_datagram_create, kRelayFrame, 0, 0},// 32
    {cmd_datagram_write, kRelayByte, 0, 0},  // 33
    {cmd_datagram_read, kRelayFrame, 0, 0},  // 34
    {cmd_negotiation, kRelayByte, 0, 0},     // 35
    {dummy_cmd, kRelayByte, 0, 0},           // 36
    {dummy_cmd, kRelayByte, 0, 0},           // 37
    {q4_debug_switch, kRelayByte, 0, 0},     // 38
};
