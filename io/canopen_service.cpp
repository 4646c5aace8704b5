#include "io/canopen_service.h"

#include <cstring>

#include "core/nvram.h"
#include "io/canopen.h"
#include "link/cmdproc.h"
#include "link/command.h"

namespace {

constexpr u8 kEmcyArmed = 0x01, kEmcyReceived = 0x02;

struct State {
    u8 download = 0;   // 1: a table download runs or a restart is pending
    u16 tableCrc = 0;  // 0: none remembered yet
    u8 emcyFlags = 0;
    u16 emcyNode = 0;  // filter while armed; the sender once received
    u8 emcyData[8] = {};
};
State g;

}  // namespace

bool CoService_DownloadHold() {
    if (CANOpen_dwnld) {
        if (g.download == 0 && CANOpen_Master()) CANOpenNMTSend(0, kNmtEnterPreOperational);
        g.download = 1;
        CANOpen_SetNmtState(kNmtPreOperational);
        return true;
    }
    const u16 crc = copendnet_tbl.Crc();
    if (g.tableCrc == 0) {
        g.tableCrc = crc;
    } else if (crc != g.tableCrc) {
        g.tableCrc = crc;
        g.download = 1;
    }
    if (g.download == 1 && !Cmd_Downloading) {
        // The new table's node id and bit rate go to SR29 and SR30.
        NodeId_Flag = 0;
        g.download = 0;
        CANOpen_Restart();
    }
    return false;
}

void CoService_EmcyArm(u8 node) {
    g.emcyFlags = kEmcyArmed;
    g.emcyNode = node;
}

void CoService_EmcyDisarm() { g.emcyFlags = 0; }
bool CoService_EmcyArmed() { return (g.emcyFlags & kEmcyArmed) != 0; }

bool CoService_EmcyTake(u8* node, u8* data8) {
    if (!(g.emcyFlags & kEmcyReceived)) return false;
    g.emcyFlags &= static_cast<u8>(~kEmcyReceived);
    if (node) *node = static_cast<u8>(g.emcyNode);
    std::memcpy(data8, g.emcyData, 8);
    return true;
}

bool CoService_EmcyFrame(const CanMsg& m) {
    if (!(g.emcyFlags & kEmcyArmed) || m.remote || m.id < 0x81 || m.id > 0xFF) return false;
    const u8 node = static_cast<u8>(m.id & 0x7F);
    if (g.emcyNode != 0 && g.emcyNode != node) return true;  // another node's: dropped while armed
    g.emcyNode = node;
    std::memset(g.emcyData, 0, sizeof g.emcyData);
    std::memcpy(g.emcyData, m.data, m.length <= 8 ? m.length : 8);
    g.emcyFlags = kEmcyReceived;
    return true;
}

void CoService_Reset() { g = State{}; }
