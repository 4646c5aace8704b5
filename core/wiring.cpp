#include "core/wiring.h"

#include "platform/neighbour.h"

// The board's devices and their drivers.
#include "core/main.h"
#include "io/i2c_io.h"
#include "io/ioapi.h"
#include "io/iodriver.h"
#include "link/sci.h"

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
void WireTables() {}
void CheckTables(NeighbourCheck&) {}

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
