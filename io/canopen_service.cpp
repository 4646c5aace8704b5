#include "io/canopen_service.h"

#include <cstring>

#include "core/nvram.h"
#include "io/canopen.h"
#include "link/cmdproc.h"
#include "link/command.h"

namespace {

constexpr u8 kEmcyArmed = 0x01, kEmcyReceived = 0x02;

struct State {
    u8 emcyFlags = 0;
    u16 emcyNode = 0;  // filter while armed; the sender once received
    u8 emcyData[8] = {};
};
State g;

}  // namespace

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
