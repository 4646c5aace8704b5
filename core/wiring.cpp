#include "core/wiring.h"

#include "core/bkuprstr.h"
#include "core/main.h"
#include "core/nvram.h"
#include "iec/kernel/q4host.h"
#include "io/candrv.h"
#include "link/command.h"
#include "link/datagram.h"
#include "link/fxphost.h"
#include "link/promgr.h"
#include "link/sci.h"
#include "net/enet.h"
#include "platform/neighbour.h"
#include "platform/rct.h"
#include "platform/service.h"
#include "platform/system.h"
#include "platform/touch.h"
#include "platform/tx_api.h"
#include "remote/modem.h"
#include "storage/cfmgr.h"

namespace {

// Stored blocks, register images, the scan and the register memory: what
// they reach of the engines and services above them.
void WireControl() {}
void CheckControl(NeighbourCheck&) {}

// System services, buttons and LEDs, the clock, the programming link's
// neighbours and the IEC runtime's borrowed link.
void WireSystemAndLink() {}
void CheckSystemAndLink(NeighbourCheck&) {}

// The board's devices as the I/O and the serial ports reach them.
void WireBoard() {}
void CheckBoard(NeighbourCheck&) {}

// Shared tables that take their rows from each family's own module.
void WireTables() {}
void CheckTables(NeighbourCheck&) {}

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

bool MediaBusy() {
    for (const tCFCB& slot : CFCB)
        if (slot.state != kCfcbIdle && slot.state != kCfcbDone && slot.state != kCfcbFailed) return true;
    return false;
}

constexpr Service kPass[] = {
    {"can receive", nullptr, [](u32 now) { Can_Isr(); return Service_NextTick(now); }, nullptr, nullptr},
    {"tick, buttons and LEDs", nullptr, [](u32 now) { TimerISR(); return Service_NextTick(now); }, nullptr, nullptr},
    {"serial-driver timers", nullptr,
     [](u32 now) {
         RctISR();
         return RCT_AnyRunning() ? Soon(now) : Service_NextTick(now);
     },
     nullptr, nullptr},
    {"protocol drivers", nullptr, Main_StepProtocolDrivers, nullptr, nullptr},
    {"status bits", nullptr, Main_StepStatusBits, nullptr, nullptr},
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
         if (!QuilletRuntime) return Service_NextTick(now);
         Quillet_Comm_service();
         return Soon(now);
     },
     nullptr, nullptr},
    {"ethernet", nullptr,
     [](u32 now) {
         EnetMain(0);
         return Enet_HasWork() ? now : Service_NextTick(now);
     },
     nullptr, Nx_PollSet},
    {"software timers", nullptr, [](u32 now) { tx_timer_check(); return Service_NextTick(now); }, nullptr, nullptr},
    {"usb port monitor", nullptr, [](u32 now) { USBPortMon(); return Service_NextTick(now); }, nullptr, nullptr},
    {"watchdog", nullptr, [](u32 now) { TickleWatchdogReal(); return Service_NextTick(now); }, nullptr, nullptr},
    {"modem", nullptr, [](u32 now) { ModemCycle(); return Service_NextTick(now); }, nullptr, nullptr},
    {"power-down", nullptr, Main_StepPowerDown, nullptr, nullptr},
};

void WireServices() {
    serviceList.entries = kPass;
    serviceList.count = sizeof kPass / sizeof kPass[0];
    driverPassPeers.count = PMGR_DriverCount;
    driverPassPeers.pass = PMGR_TheLoop;
}
void CheckServices(NeighbourCheck& check) {
    ServiceList_Check(check);
    DriverPassPeers_Check(check);
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
