#include "link/linkpeers.h"

#include <cstring>

#include "link/command.h"
#include "link/vcomm.h"
#include "platform/fileio.h"
#include "platform/fpga.h"
#include "platform/root.h"
#include "platform/system.h"

LinkPeers linkPeers;
LinkPeerCalls linkPeerCalls;

namespace {

constexpr u32 kWorkbenchQuietTicks = 650000;  // 65 s without a workbench frame
bool g_workbench = false;
u32 g_workbenchSince = 0;

void WorkbenchSerial() {
    linkPeerCalls.workbenchSerial++;
    g_workbench = true;
    g_workbenchSince = FPGA_GetFrt();
}
void WorkbenchEthernet() {
    linkPeerCalls.workbenchEthernet++;
    g_workbench = true;
    g_workbenchSince = FPGA_GetFrt();
}
void WorkbenchPoll() {
    if (!g_workbench) return;
    if (!is_q4protocol) {
        g_workbench = false;
        return;
    }
    if (FPGA_GetFrt() - g_workbenchSince < kWorkbenchQuietTicks) return;
    g_workbench = false;
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
void SaveIdentity() {
    linkPeerCalls.identitySaved++;
    File_WriteAtomic(Root_HostPath("/mnt/cfg/TINYIMGE.BIN"), tinyImage, sizeof tinyImage);
}

LinkPeers Defaults() {
    LinkPeers p{};
    p.WorkbenchConnectSerial = WorkbenchSerial;
    p.WorkbenchConnectEthernet = WorkbenchEthernet;
    p.WorkbenchPoll = WorkbenchPoll;
    p.SaveAndSetMACID = SaveIdentity;
    return p;
}

}  // namespace

void LinkPeers_Reset() {
    linkPeers = Defaults();
    g_workbench = false;
    linkPeerCalls = LinkPeerCalls{};
}

namespace {
struct Init {
    Init() { linkPeers = Defaults(); }
} g_init;
}  // namespace
