#include "core/wiring.h"

#include <cstring>

#include "core/bkuprstr.h"
#include "core/main.h"
#include "core/nvram.h"
#include "core/plc.h"
#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/blocks/q4comm.h"
#include "iec/blocks/q4files.h"
#include "iec/blocks/q4hostglue.h"
#include "iec/blocks/q4modbus.h"
#include "iec/ext/q4canopen.h"
#include "iec/ext/q4cs.h"
#include "iec/kernel/q4host.h"
#include "iec/kernel/q4link.h"
#include "iec/kernel/q4vmdb.h"
#include "io/candrv.h"
#include "io/canopen.h"
#include "io/canopen_entries.h"
#include "io/canopen_tunnel.h"
#include "io/i2c_io.h"
#include "io/ioapi.h"
#include "io/iodriver.h"
#include "ladder/ladder_engine.h"
#include "ladder/logic.h"
#include "link/command.h"
#include "link/datagram.h"
#include "link/fxphost.h"
#include "link/linkpeers.h"
#include "link/modbus.h"
#include "link/promgr.h"
#include "link/sci.h"
#include "link/talk.h"
#include "link/vcomm.h"
#include "net/enet.h"
#include "net/enet_peers.h"
#include "net/modbus.h"
#include "net/tovra.h"
#include "platform/file_watch.h"
#include "platform/neighbour.h"
#include "platform/nx_api.h"
#include "platform/rct.h"
#include "platform/rtclock.h"
#include "platform/service.h"
#include "platform/system.h"
#include "platform/touch.h"
#include "platform/tx_api.h"
#include "remote/dhcpClient.h"
#include "remote/dnsClient.h"
#include "remote/mqtt.h"
#include "remote/email.h"
#include "remote/gsmgprs.h"
#include "remote/cellport.h"
#include "remote/modem.h"
#include "remote/modemsock.h"
#include "remote/sms.h"
#include "storage/boardid.h"
#include "storage/cf_fw_load.h"
#include "storage/cf_dpram.h"
#include "storage/cfmgr.h"
#include "storage/dbg_logger.h"
#include "storage/file.h"
#include "storage/logger.h"
#include "storage/pgmfile.h"
#include "storage/mcmd.h"
#include "storage/pgmmedia.h"
#include "webhmi/dartu_glue.h"
#include "webhmi/dartu_security.h"

namespace {

// The modem data socket that carries the programming link.
constexpr int kLinkSocket = 1;

// Stored blocks, register images, the scan and the register memory: what
// they reach of the engines and services above them.
static_assert(kProgramEnd == kLogicEnd, "the scan and the program agree on the end result");
static_assert(kSlotInfoBytes == kCmdSsInfoBytes && kSlotInfoEntryBytes == kCmdSsInfoEntryBytes,
              "the slot records fit the system information block");
static_assert(kMediaBusy == kCfmBusy, "the register images read the media manager's busy answer");
static_assert(kProgramIdentityBytes == kPgmIdentityBytes && kCloneBytes == kCloneImageBytes,
              "the clone steps size their buffers as the program media do");

void WireControl() {
    ScanPeers& s = scanPeers;
    s.runLadder = LogicUpdate;
    s.iecVariablesKnown = [] { return quillet_variables_enumerateded; };
    s.iecSyncSystem = [] {
        QuilletUpdateWordSRRegs();
        QuilletUpdateBitSysRegs();
    };
    s.iecSyncInputs = [] {
        QuilletUpdateBitInputRegs();
        QuilletUpdateWordInputRegs();
    };
    s.iecSyncOutputs = [] {
        QuilletUpdateBitOutputRegs();
        QuilletUpdateWordOutputRegs();
    };
    s.iecSeesS9 = [] { QuilletS9 = 1; };
    s.iecForgetFirstRun = [] { QuilletFirstRun = 0; };
    s.iecHalted = [] { iVmAlive = 3; };
    s.moduleIdentity = [](int slot) { return io_init[slot]; };
    s.detectModules = [] {
        u16 ids[3] = {0xFF, 0xFF, 0xFF};
        get_io_info(ids);
        return IoInit(ids, 3);
    };
    s.configureSlot = IoCfg;
    s.getInputs = IoGetIs;
    s.putOutputs = IoPutQs;
    s.getAnalogInputs = IoGetAIs;
    s.putAnalogOutputs = IoPutAQs;
    s.serviceModule = IoService;
    s.startModule = [](u8 slot) {
        IoMessage m{kIoMsgStart, slot, 0, nullptr};
        ioDriverPeers.exchange(&m);
    };
    s.stopIo = IoStop;
    s.writeModuleMemory = write_io_eeprom;
    s.startCanOpen = [](const CanOpenNetStart* start) {
        NodeId_Flag = 0;
        CANOpenInit(start);
        _Can_SetEvent(0, kCanEventReceive, nullptr);
    };
    s.canOpenReceive = CANOpenRxMsg;
    s.canOpenTransmit = CANOpenTxMsg;
    s.onlineEditing = [] { return OLPMode; };
    s.endOnlineEditing = [] { OLPMode = 0; };
    s.editBlock = [](u32* capacity) {
        *capacity = kLadderOlpDataBytes;
        return static_cast<u8*>(ladder_olp);
    };
    s.clearOverride = [] { Cmd_Override = 0; };
    s.publishSlotInfo = [](const u8* info) { std::memcpy(Cmd_SS_Info, info, kCmdSsInfoBytes); };
    s.talkOpened = TalkOpened;
    s.talkClosed = TalkClosed;
    s.openProgrammingMode = Vcomm_OpenProgrammingMode;
    s.protocolScan = PMGR_Scan;
    s.protocolStart = PMGR_Start;
    s.protocolStop = PMGR_Stop;
    s.smsScan = SMS_Scanner;
    s.smsStart = SMS_Start;
    s.smsStop = SMS_Stop;
    s.logUpdate = LOG_Update;
    s.logStart = LOG_Start;
    s.logStop = LOG_Stop;
    s.debugLogUpdate = DLOG_Update;
    s.emailScan = [] { EtnEmailScan(0); };
    s.stopFileJobs = File_StopJobs;
    s.ethernetStatus = Etn_UpdateStatus;

    RegPeers& r = regPeers;
    r.setMode = SetPlcMode;
    r.networkRestart = Plc_NetInit;
    r.portRequest = Cmd_PortInit;
    r.menuOption = SYS_MenuOption;
    r.iecLoaded = [] { return QuilletRuntime; };
    r.iecVariablesKnown = [] { return quillet_variables_enumerateded; };
    r.onlineEditing = [] { return OLPMode; };
    r.iecSpan = QuilletVmDbSpan;
    r.packBools = Quillet_Byte_To_Bit;
    r.unpackBools = Quillet_Bit_To_Byte;
    r.stopIec = QuilletStop;
    r.identityImage = [] { return static_cast<const u8*>(tinyImage); };
    r.versionText = [] { return static_cast<const char*>(version); };

    NvramPeers& n = nvramPeers;
    n.startIec = Quillet_init;
    n.stopIec = Quillet_Exit;
    n.forgetIecVariables = [] { ClearQuilletFlags(0); };
    n.deleteIecCode = DeleteQuilletProgram;
    n.markNetIoConfig = [](u8 on) {
        CmdNetIoConfigUpdated = on;
        J1939_init_start = on;
    };
    n.applyNetIoConfig = NetIoConfig;

    BackupPeers& b = backupPeers;
    b.deleteIecRetained = DelQuilletRetentiveFile;
    b.saveIecRetained = Q4VMWarm_SaveToFile;
    b.loadIecRetained = Q4VMWarm_LoadFromFile;
    b.cardLoadRequests = [] {
        return static_cast<u8>((Sys_ManualLoadKey ? kCardLoadKey : 0) | (Sys_AutoLoad ? kCardLoadAuto : 0) |
                               (Sys_AppLoad ? kCardLoadApp : 0));
    };
    b.clearCardLoadRequests = [](u8 bits) {
        if (bits & kCardLoadKey) Sys_ManualLoadKey = 0;
        if (bits & kCardLoadAuto) Sys_AutoLoad = 0;
        if (bits & kCardLoadApp) Sys_AppLoad = 0;
    };
    b.mediaInitTime = [] { return static_cast<u8>(Sys_CFinitTime); };
    b.mediaFreeKb = [] {
        u32 parm[5] = {};
        CFM_GetParm(parm);
        return parm[0];
    };
    b.saveProgramToMedia = [](const char* name) {
        CFM_LoadReq(pDirCFCB, 0, kCfmPgmSave, reinterpret_cast<intptr_t>(name), 0);
    };
    b.readProgramIdentity = [](u8* identity) {
        CFM_LoadReq(pDirCFCB, 0, kCfmPgmIdentity, reinterpret_cast<intptr_t>(identity), 0);
    };
    b.validateProgram = [](const char* name, const u8* identity) {
        CFM_LoadReq(pDirCFCB, 0, kCfmPgmValidate, reinterpret_cast<intptr_t>(name),
                    reinterpret_cast<intptr_t>(identity));
    };
    b.loadProgram = [] { CFM_LoadReq(pDirCFCB, 0, kCfmPgmLoad, 0, 0); };
    b.pollMedia = [](i32* result) { return CFM_PollReq(pDirCFCB, result); };
    b.makeCloneImage = MakeDat;

    q4HostPeers.stopIo = IoStop;
    q4HostPeers.changedOnLine = [] { OLPMode = 1; };
}

void CheckControl(NeighbourCheck& check) {
    ScanPeers_Check(check);
    RegPeers_Check(check);
    NvramPeers_Check(check);
    BackupPeers_Check(check);
    Q4HostPeers_Check(check);
}

// System services, buttons and LEDs, the clock, the programming link's
// neighbours and the IEC runtime's borrowed link.
void WireSystemAndLink() {
    // System services: special registers, hardware addresses, termination
    // relays and the media manager's request mailboxes.
    sysPeers.netRead = Enet_NetRead;
    sysPeers.netWrite = Enet_NetWrite;
    sysPeers.webUserLoggedIn = Dartu_WebUserLoggedIn;
    sysPeers.webServerRunning = [] { return DartuServerState.load() == kDartuRunning; };
    sysPeers.ioTermSet = [](u8 control) { IoTermSet(control); };
    sysPeers.setMacId = Etn_SetMacId;
    sysPeers.mailbox = [](int index) -> u8* {
        static constexpr u32 kOffsets[kSysMailboxes] = {kDpramFile, kDpramLogger, kDpramEmail, kDpramDbgLogger};
        return index >= 0 && index < kSysMailboxes ? dpram + kOffsets[index] : nullptr;
    };
    sysPeers.mailboxLoad = [](int index) {
        switch (index) {
            case 0: return CFM_LoadDpramReq();
            case 1: return CFM_LoadLoggerReq();
            case 2: return CFM_LoadEmailReq();
            case 3: return CFM_LoadDBGLoggerReq();
            default: return 0;
        }
    };
    sysPeers.mailboxPoll = [](int index, i32* result) {
        static tCFCB* const kSlots[kSysMailboxes] = {pDpramCFCB, pLoggerCFCB, pEmailCFCB, pDbgLoggerCFCB};
        return index >= 0 && index < kSysMailboxes ? CFM_PollReq(kSlots[index], result) : 0;
    };

    // Buttons and LEDs: the LOAD button's update and card load.
    touchPeers.update = UpdateKernFirmApplic;
    touchPeers.startCardLoad = ArmCardProgramLoad;
    touchPeers.cardLoadRunning = [] { return Sys_AutoLoad != 0; };
    touchPeers.downloading = [] { return Cmd_Downloading != 0; };

    // The clock sets the system time between programming commands.
    rtcPeers.linkCommandRunning = [] { return CmdRun != 255; };

    // The update's waits, button and restarts.
    fwUpdatePeers.wait10ms = FwUpdate_Wait10ms;
    fwUpdatePeers.loadHeld = FwUpdate_LoadHeld;
    fwUpdatePeers.restart = FwUpdate_Restart;
    fwUpdatePeers.reboot = FwUpdate_Reboot;

    // The programming link: the Ethernet mailbox, the workbench hand-over,
    // module calibration, the board identity and the cellular module's data
    // socket 1, which carries the link over a data call. No CAN tunnel on
    // this controller.
    linkPeers.EtnCheckRx = Etn_CheckRx;
    linkPeers.EtnGetRx = Etn_GetRx;
    linkPeers.EtnFlushRx = Etn_FlushRx;
    linkPeers.EtnPutTx = Etn_PutTx;
    linkPeers.EtnPutnTx = Etn_PutnTx;
    linkPeers.EtnUpdateSecurity = Etn_UpdateSecurity;
    linkPeers.NetCheckRx = Net_CheckRx;
    linkPeers.NetGetRx = Net_GetRx;
    linkPeers.NetFlushRx = Net_FlushRx;
    linkPeers.CanPutBytes = CANOpen_PutByte;
    linkPeers.CanStatus = [](int port) { return static_cast<int>(_Can_Status(port)); };
    linkPeers.ModemSocketActive = [] { return IsModemSocketActive(static_cast<int>(kCellPort), kLinkSocket) == 0 ? 1 : 0; };
    linkPeers.ModemCheckRecv = [] { return ModemCheckRecv(kLinkSocket); };
    linkPeers.ModemDataRecv = [] { return ModemDataRecv(kLinkSocket); };
    linkPeers.ModemDataSend = [](const u8* data, u32 length) { ModemDataSend(kLinkSocket, data, length, 1); };
    linkPeers.WorkbenchConnectSerial = Q4_Connect_Serial;
    linkPeers.WorkbenchConnectEthernet = Q4_Connect_Ethernet;
    linkPeers.IoCal = LinkPeers_IoCal;
    linkPeers.SaveAndSetMACID = [] { SaveAndSetMACID(); };

    // The IEC runtime borrows the serial port the link lends it.
    q4LinkPeers.descriptor = Cmd_LentPortDescriptor;
    q4LinkPeers.hostCode = Cmd_HostCode;
    q4LinkPeers.handBack = Cmd_WorkbenchHandBack;
    // The IEC serial-port and modem blocks call the TALK port functions.
    q4CommPeers.talkOpen = Q4TalkOpen;
    q4CommPeers.talkClose = Q4TalkClose;
    q4CommPeers.talkSend = Q4TalkSend;
    q4CommPeers.talkReceive = Q4TalkReceive;
    q4CommPeers.talkModem = Q4TalkModem;
    q4ModbusPeers.talkModbus = Q4_TalkModbusAt;
    // The IEC file blocks post to the file request mailbox as the ladder's
    // file instructions do.
    static_assert(kQ4CfDataBytes == kDpramDataBytes, "the file blocks bound their data by the mailbox's area");
    q4FilePeers.writeFile = [](bool poll, const Q4CfRequest& r) {
        CfDpramWriteRequest w{};
        w.mode = r.mode, w.name = r.name, w.data = r.data, w.type = r.type, w.count = r.count;
        w.countOut = r.countOut, w.perLine = r.perLine, w.formatBits = r.format, w.append = r.flag;
        return CF_DpramWriteFile(poll ? kDpramPoll : 0, &w);
    };
    q4FilePeers.readFile = [](bool poll, const Q4CfRequest& r) {
        CfDpramReadRequest q{};
        q.mode = r.mode, q.name = r.name, q.dest = r.data, q.type = r.type, q.count = r.count;
        q.countOut = r.countOut, q.first = static_cast<i32>(r.perLine);
        return CF_DpramReadFile(poll ? kDpramPoll : 0, &q);
    };
    q4FilePeers.renameFile = [](bool poll, const char* a, const char* b) {
        return CF_DpramRenameFile(poll ? kDpramPoll : 0, a, b);
    };
    q4FilePeers.fileAccess = File_Access;

    // The IEC CANopen blocks reach the CANopen node.
    q4CanOpenPeers.getNodeId = Q4_get_node_id;
    q4CanOpenPeers.getState = Q4_get_state;
    q4CanOpenPeers.setNmtState = Q4_set_nmt_state;
    q4CanOpenPeers.sdoRead = Q4_canopen_sdo_read;
    q4CanOpenPeers.sdoWrite = Q4_canopen_sdo_write;
    q4CanOpenPeers.recEmergency = Q4_canopen_rec_emrgency;
    q4CanOpenPeers.recEmergencyAny = Q4_canopen_rec_emrgency_any;

    // Program media: a media transfer keeps the watchdog alive in every wait
    // round; a clone load ends with the warm reset.
    mcmdPeers.roundDone = TickleWatchdogReal;
    pgmMediaPeers.warmReset = SYS_WarmReset;
}

void CheckSystemAndLink(NeighbourCheck& check) {
    SysPeers_Check(check);
    TouchPeers_Check(check);
    RtcPeers_Check(check);
    FwUpdatePeers_Check(check);
    LinkPeers_Check(check);
    Q4LinkPeers_Check(check);
    Q4CommPeers_Check(check);
    Q4FilePeers_Check(check);
    Q4ModbusPeers_Check(check);
    Q4CanOpenPeers_Check(check);
    McmdPeers_Check(check);
    PgmMediaPeers_Check(check);
}

// The board's devices as the I/O and the serial ports reach them.
void WireBoard() {
    sciPeers.kernelBuild = Main_KernelBuild;
    ioDriverPeers.exchange = io_driver;
    ioDriverPeers.probe = I2cIo_ProbeSlots;
    ioDriverPeers.servesOutsideTable = nullptr;  // the driver serves the module table only
}
void CheckBoard(NeighbourCheck& check) {
    SciPeers_Check(check);
    IoDriverPeers_Check(check);
}

// The fields of the shared GSM record that the TALK modem engine uses.
int GsmRecordOfTalk(GsmRecordRef* ref) {
    GsmGprsInfo& s = GSMGPRSInfo_St;
    ref->statusFlags = &s.status;
    ref->optionFlags = &s.options;
    ref->error = &s.errorCount;
    ref->port = &s.port;
    ref->controlFlags = &s.control;
    ref->statusWord = &s.resultCode;
    ref->owner = &s.owner;
    ref->retries = &s.retryCount;
    ref->destination = s.destination;
    return 1;
}

// Shared tables that take their rows from each family's own module.
void WireTables() {
    ladderEnginePeers.fileRow = File_FindRow;
    ladderEnginePeers.fileRestart = File_Init;
    ladderEnginePeers.talkRow = Talk_FindRow;
    ladderEnginePeers.talkRestart = TalkInit;
    ladderEnginePeers.canOpenRow = CANOpen_FindRow;
    // The program-controlled ports' neighbours: the internal cellular
    // module's data socket 0, the external GSM modem's services and the
    // serial Modbus engine.
    talkPeers = TalkPeers{};
    talkPeers.IsModemSocketActive = [](int socket) { return IsModemSocketActive(static_cast<int>(kCellPort), socket); };
    talkPeers.ModemCheckRecv = ModemCheckRecv;
    talkPeers.ModemDataRecv = ModemDataRecv;
    talkPeers.ModemDataSend = ModemDataSend;
    talkPeers.ModemDataConnRequest = ModemDataConnRequest;
    talkPeers.ModemDataDisConnRequest = ModemDataDisConnRequest;
    talkPeers.GlobalSocketState = [] { return Globalsocket_st[0].state; };
    talkPeers.CommOptionIdent = [] { return io_init[1]; };
    talkPeers.GSMGPRSRsrcMngr = GSMGPRSRsrcMngr;
    talkPeers.GSMGPRSParmInit = [] { GSMGPRSParmInit(); };
    talkPeers.GSMModemInit = [](int port) { GSMModemInit(port); };
    talkPeers.GSMDataCallUp = GSMDataCallUp;
    talkPeers.GSMGPRSInfo = GsmRecordOfTalk;
    talkPeers.ModbusInit = ModbusInit;
    talkPeers.ModbusExecute = ModbusExecute;
    talkPeers.ModbusStop = ModbusStop;
    talkPeers.MOD_TCPInit = MOD_TCPInit;
    talkPeers.q4runtime_modbusinit = [] { return static_cast<int>(q4runtime_modbusinit); };
}
void CheckTables(NeighbourCheck& check) { LadderEnginePeers_Check(check); }

// The services the main loop steps, in the order of a pass. A step that
// knows of no work answers the next 10-ms tick; one with work in hand answers
// within the millisecond the old fixed wait gave every pass.
u32 Soon(u32 now) { return now + 10; }

void SerialPorts(std::vector<pollfd>& fds) {
    for (int unit = 0; unit < kSciUnits; ++unit) {
        int fd = Sci_View(unit).fd;
        if (fd >= 0) fds.push_back({fd, POLLIN, 0});
    }
}

// Only while the workbench owns the link does its service read them: a
// datagram or a client nobody reads would wake every wait at once.
void WorkbenchDescriptors(std::vector<pollfd>& fds) {
    if (IsCommMode_Tovra) return;
    int open[2 + kQ4CSSlots];
    int n = Q4CS_Descriptors(&csData, open, 2 + kQ4CSSlots);
    for (int k = 0; k < n; ++k) fds.push_back({open[k], POLLIN, 0});
}

bool MediaBusy() {
    for (const tCFCB& slot : CFCB)
        if (slot.state != kCfcbIdle && slot.state != kCfcbDone && slot.state != kCfcbFailed) return true;
    return false;
}

constexpr Service kPass[] = {
    // First: the steps after it see the board's files as the wait left them.
    {"board files", nullptr, FileWatch_Step, nullptr, FileWatch_Descriptors},
    {"can receive", nullptr, [](u32 now) { Can_Isr(); return Service_NextTick(now); }, nullptr,
     [](std::vector<pollfd>& fds) {
         int fd = Can_Descriptor(0);
         if (fd >= 0) fds.push_back({fd, POLLIN, 0});
     }},
    {"tick, buttons and LEDs", nullptr, [](u32 now) { TimerISR(); return Service_NextTick(now); }, nullptr, nullptr},
    {"serial-driver timers", nullptr,
     [](u32 now) {
         RctISR();
         return RCT_AnyRunning() ? Soon(now) : Service_NextTick(now);
     },
     nullptr, nullptr},
    {"protocol drivers", nullptr, Main_StepProtocolDrivers, nullptr, nullptr},
    {"status bits", nullptr, Main_StepStatusBits, nullptr, nullptr},
    // Requests that came during the wait are answered before the scan makes
    // them wait for it; the Ethernet step after the scan serves the rest.
    {"modbus requests", nullptr, [](u32 now) { Modbus_Serve(); return Service_NextTick(now); }, nullptr, nullptr},
    {"scan", nullptr, Main_StepScan, nullptr, nullptr},
    {"fail-safe and manual restore", nullptr,
     [](u32 now) {
         FailSafeFlagCheck();
         ManualRestoreExecute();
         return Service_NextTick(now);
     },
     nullptr, nullptr},
    {"command check", nullptr,
     [](u32 now) {
         Cmd_Check();
         return CmdRun != 255 || Cmd_Downloading ? Soon(now) : Service_NextTick(now);
     },
     nullptr, SerialPorts},
    {"programming-port mailbox", nullptr, [](u32 now) { Dpram_Service(); return Service_NextTick(now); }, nullptr,
     nullptr},
    {"battery test", nullptr, Main_StepBatteryTest, nullptr, nullptr},
    {"file exchange", nullptr, [](u32 now) { FxpMain(1); return Service_NextTick(now); }, nullptr, nullptr},
    {"fault mirror", nullptr, Main_StepFaultMirror, nullptr, nullptr},
    {"datagrams", nullptr, [](u32 now) { Datagram_Check(); return Service_NextTick(now); }, nullptr, nullptr},
    {"system update mailboxes", nullptr, [](u32 now) { SYS_Update(); return Service_NextTick(now); }, nullptr,
     nullptr},
    {"media manager", nullptr,
     [](u32 now) {
         CFM_Update();
         CFM_TheLoop();
         return MediaBusy() ? Soon(now) : Service_NextTick(now);
     },
     nullptr, nullptr},
    {"IEC workbench", nullptr,
     [](u32 now) {
         // Also without an application: a workbench that took the link
         // over is served until it gives the link back.
         if (!QuilletRuntime && IsCommMode_Tovra) return Service_NextTick(now);
         Quillet_Comm_service();
         return Soon(now);
     },
     nullptr, WorkbenchDescriptors},
    {"ethernet", nullptr,
     [](u32 now) {
         // After a long scan, requests that came during it are served now.
         Service_Refresh();
         EnetMain(0);
         return Enet_HasWork() ? now : Enet_NextTime(now);
     },
     nullptr,
     [](std::vector<pollfd>& fds) {
         Nx_PollSet(fds);
         Dhcp_PollSet(fds);
         Dns_PollSet(fds);
         Mqtt_PollSet(fds);
         EtnEmail_Descriptors(fds);
     }},
    {"software timers", nullptr, [](u32 now) { tx_timer_check(); return Service_NextTick(now); }, nullptr, nullptr},
    {"usb port monitor", nullptr, [](u32 now) { USBPortMon(); return Service_NextTick(now); }, nullptr, nullptr},
    {"watchdog", nullptr, [](u32 now) { TickleWatchdogReal(); return Service_NextTick(now); }, nullptr, nullptr},
    {"modem", nullptr, [](u32 now) { ModemCycle(); return Service_NextTick(now); }, nullptr, Modem_Descriptors},
    {"power-down", nullptr, Main_StepPowerDown, nullptr, nullptr},
};

void WireServices() {
    serviceList.entries = kPass;
    serviceList.count = sizeof kPass / sizeof kPass[0];
    driverPassPeers.count = PMGR_DriverCount;
    driverPassPeers.pass = PMGR_TheLoop;
    // A driver's wait service runs one nested pass of the main loop.
    promgrPeers.pass = [] { ExecuteSubLoop_Wait(0); };
}
void CheckServices(NeighbourCheck& check) {
    ServiceList_Check(check);
    DriverPassPeers_Check(check);
    PromgrPeers_Check(check);
}

}  // namespace

void Wiring_Connect() {
    WireControl();
    WireSystemAndLink();
    WireBoard();
    WireTables();
    WireServices();
}

std::vector<std::string> Wiring_Missing() {
    NeighbourCheck check;
    CheckControl(check);
    CheckSystemAndLink(check);
    CheckBoard(check);
    CheckTables(check);
    CheckServices(check);
    return check.Missing();
}
