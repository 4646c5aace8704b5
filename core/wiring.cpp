#include "core/wiring.h"

#include "platform/neighbour.h"

#include "core/main.h"
#include "iec/kernel/q4link.h"
#include "io/i2c_io.h"
#include "io/ioapi.h"
#include "io/iodriver.h"
#include "ladder/ladder_engine.h"
#include "link/command.h"
#include "link/linkpeers.h"
#include "link/sci.h"
#include "net/enet_peers.h"
#include "net/tovra.h"
#include "platform/nx_api.h"
#include "platform/rtclock.h"
#include "platform/system.h"
#include "platform/touch.h"
#include "storage/boardid.h"
#include "storage/cf_fw_load.h"
#include "storage/cfmgr.h"
#include "storage/file.h"
#include "webhmi/dartu_glue.h"

namespace {

// Stored blocks, register images, the scan and the register memory: what
// they reach of the engines and services above them.
void WireControl() {}
void CheckControl(NeighbourCheck&) {}

// System services, buttons and LEDs, the clock, the programming link's
// neighbours and the IEC runtime's borrowed link.
void WireSystemAndLink() {
    // System services: special registers, hardware addresses, termination
    // relays and the media manager's request mailboxes.
    sysPeers.netRead = Enet_NetRead;
    sysPeers.netWrite = Enet_NetWrite;
    sysPeers.webUserLoggedIn = Enet_WebUserLoggedIn;
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
    // module calibration and the board identity. No CAN tunnel and no modem
    // data socket on this controller.
    linkPeers.EtnCheckRx = Etn_CheckRx;
    linkPeers.EtnGetRx = Etn_GetRx;
    linkPeers.EtnFlushRx = Etn_FlushRx;
    linkPeers.EtnPutTx = Etn_PutTx;
    linkPeers.EtnPutnTx = Etn_PutnTx;
    linkPeers.EtnUpdateSecurity = Etn_UpdateSecurity;
    linkPeers.NetCheckRx = nullptr;
    linkPeers.NetGetRx = nullptr;
    linkPeers.NetFlushRx = nullptr;
    linkPeers.CanPutBytes = nullptr;
    linkPeers.CanStatus = nullptr;
    linkPeers.ModemSocketActive = nullptr;
    linkPeers.ModemCheckRecv = nullptr;
    linkPeers.ModemDataRecv = nullptr;
    linkPeers.ModemDataSend = nullptr;
    linkPeers.WorkbenchConnectSerial = LinkPeers_WorkbenchSerial;
    linkPeers.WorkbenchConnectEthernet = LinkPeers_WorkbenchEthernet;
    linkPeers.WorkbenchPoll = LinkPeers_WorkbenchPoll;
    linkPeers.IoCal = LinkPeers_IoCal;
    linkPeers.SaveAndSetMACID = [] { SaveAndSetMACID(); };

    // The IEC runtime borrows the serial port the link lends it.
    q4LinkPeers.descriptor = Cmd_LentPortDescriptor;
    q4LinkPeers.hostCode = Cmd_HostCode;
    q4LinkPeers.handBack = Cmd_WorkbenchHandBack;
}

void CheckSystemAndLink(NeighbourCheck& check) {
    SysPeers_Check(check);
    TouchPeers_Check(check);
    RtcPeers_Check(check);
    FwUpdatePeers_Check(check);
    LinkPeers_Check(check);
    Q4LinkPeers_Check(check);
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

// Shared tables that take their rows from each family's own module.
void WireTables() {
    ladderEnginePeers.fileRow = File_FindRow;
    ladderEnginePeers.fileRestart = File_Init;
}
void CheckTables(NeighbourCheck& check) { LadderEnginePeers_Check(check); }

// The services the main loop steps, in the order of a pass.
void WireServices() {}
void CheckServices(NeighbourCheck&) {}

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
