#include "link/linkpeers.h"

#include <cstring>

#include "io/ioapi.h"
#include "link/command.h"
#include "link/vcomm.h"
#include "platform/fpga.h"

LinkPeers linkPeers;

namespace {

constexpr u32 kWorkbenchQuietTicks = 650000;  // 65 s without a workbench frame
// The calibration buffer the I/O layer writes its reply into.
constexpr u32 kIoCalBufferBytes = 67;

struct State {
    bool workbench = false;
    u32 workbenchSince = 0;
};
State g;

void HandOver() {
    g.workbench = true;
    g.workbenchSince = FPGA_GetFrt();
}

}  // namespace

void LinkPeers_Check(NeighbourCheck& check) {
    NEIGHBOUR_REQUIRE(check, linkPeers, EtnCheckRx);
    NEIGHBOUR_REQUIRE(check, linkPeers, EtnGetRx);
    NEIGHBOUR_REQUIRE(check, linkPeers, EtnFlushRx);
    NEIGHBOUR_REQUIRE(check, linkPeers, EtnPutTx);
    NEIGHBOUR_REQUIRE(check, linkPeers, EtnPutnTx);
    NEIGHBOUR_REQUIRE(check, linkPeers, EtnUpdateSecurity);
    NEIGHBOUR_REQUIRE(check, linkPeers, WorkbenchConnectSerial);
    NEIGHBOUR_REQUIRE(check, linkPeers, WorkbenchConnectEthernet);
    NEIGHBOUR_REQUIRE(check, linkPeers, WorkbenchPoll);
    NEIGHBOUR_REQUIRE(check, linkPeers, IoCal);
    NEIGHBOUR_REQUIRE(check, linkPeers, SaveAndSetMACID);
}

void LinkPeers_WorkbenchSerial() { HandOver(); }
void LinkPeers_WorkbenchEthernet() { HandOver(); }

void LinkPeers_WorkbenchPoll() {
    if (!g.workbench) return;
    if (!is_q4protocol) {
        g.workbench = false;
        return;
    }
    if (FPGA_GetFrt() - g.workbenchSince < kWorkbenchQuietTicks) return;
    g.workbench = false;
    VcommDriver& d = Vcomm_Drv[ProgrammingPort > 1 ? 0 : ProgrammingPort];
    if ((d.mode[kSomProto] & 0x0F) == kProtoWorkbench) {
        d.mode[kSomProto] = static_cast<u8>((d.mode[kSomProto] & 0xF0) | kProtoProgramming);
        u8 m[kVcommModeBytes];
        std::memcpy(m, d.mode, sizeof m);
        m[kSomBaud] = tovra_mode[kSomBaud];
        d.Open(ProgrammingPort, m);
    }
    is_q4protocol = 0;
}

int LinkPeers_IoCal(u8* buffer, u32 capacity) {
    if (buffer == nullptr || capacity < kIoCalBufferBytes) return 0;
    // The I/O layer answers 0 whether or not a module took the request; the
    // reply it wrote is the answer either way.
    IoCal(buffer);
    return 1;
}

void LinkPeers_Reset() { g = State{}; }
