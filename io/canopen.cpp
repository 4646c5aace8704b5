#include "io/canopen.h"

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "io/candrv.h"
#include "io/canopen_table.h"
#include "platform/fpga.h"
#include "platform/system.h"

u8 NodeId_Flag = 0;

namespace {

struct Consumer {
    u16 timeMs = 0;  // 0: never times out
    u8 node = 0;
    u8 status = 0;   // 0 seen in time, 11 heartbeat lost
    u8 nmtState = 254;
    u32 lastSeen = 0;
};

constexpr u8 kNodeHeartbeatLost = 11;
constexpr u8 kNodeStateUnknown = 254;

struct State {
    CanOpenNetStart start{};  // kept for a reset of communication
    bool haveStart = false;
    CoTable table;
    bool useDefault = true;
    u16 nodeId = 0;
    u8 nmtState = kNmtInitialising;
    u8 startupFlags = 0;
    bool master = false;
    u32 status = 0;
    u32 statusRegister = 0;
    // Heartbeat producer.
    bool hbEnabled = false, hbDue = false;
    u32 hbLast = 0, hbPeriod = 0;
    // Node guarding of this slave.
    bool guarding = false, guardRequest = false, toggle = false;
    u32 lifeTime = 0, lastGuard = 0;
    // Heartbeat consumer entries of a slave.
    bool consuming = false;
    int consumers = 0;
    Consumer consumer[kCoMaxNodes];
};
State g;

// Start-up flags of the built-in default record: stay pre-operational.
constexpr u8 kDefaultStartupFlags = kCoStartOnBit;

bool Queue(u32 id, u8 length, const u8* data, bool remote = false) {
    CanMsg* m = _Can_NextTx(0);
    if (!m) {
        g.status |= kCoStatusTxRingFull;
        return false;
    }
    m->id = id;
    m->length = length;
    m->remote = remote ? 1 : 0;
    for (int i = 0; i < 8; ++i) m->data[i] = i < length && data ? data[i] : 0;
    _Can_PutTx(0, m);
    g.status &= ~kCoStatusTxRingFull;
    return true;
}

// The status word with this node's NMT state in bits 24-31, then the two
// PDO error indices, at the table's status register.
void WriteStatusRegister() {
    g.status = (g.status & 0x00FFFFFFu) | (static_cast<u32>(g.nmtState) << 24);
    if (g.statusRegister == 0) return;
    u8 word[4];
    PutLe32(word, g.status);
    const u8 indices[4] = {0, 0, 0, 0};
    if (PlcReg_Set(g.statusRegister, word, 32) && PlcReg_Set(g.statusRegister + 32, indices, 32)) {
        g.status &= ~kCoStatusRegisterFailed;
    } else {
        g.status |= kCoStatusRegisterFailed;
    }
}

void CheckHeartbeats() {
    u32 now = FPGA_GetFrt();
    for (int k = 0; k < g.consumers; ++k) {
        Consumer& c = g.consumer[k];
        if (c.timeMs == 0) continue;
        if (static_cast<i32>(now - c.lastSeen) > static_cast<i32>(c.timeMs) * 10) {
            c.status = kNodeHeartbeatLost;
            c.nmtState = kNodeStateUnknown;
            c.lastSeen = now;
            g.status |= kCoStatusHeartbeatLost;
        }
    }
}

void HeartbeatReceived(u8 node, u8 state) {
    bool anyLost = false;
    for (int k = 0; k < g.consumers; ++k) {
        Consumer& c = g.consumer[k];
        if (c.node == node) {
            c.status = 0;
            c.lastSeen = FPGA_GetFrt();
            c.nmtState = state;
        }
        anyLost = anyLost || c.status == kNodeHeartbeatLost;
    }
    if (!anyLost) g.status &= ~kCoStatusHeartbeatLost;
}

void ServeGuarding() {
    if (!g.guarding) return;
    if (g.guardRequest) {
        const u8 answer = static_cast<u8>(g.nmtState | (g.toggle ? 0x80 : 0));
        if (!Queue(0x700u + g.nodeId, 1, &answer)) return;
        g.toggle = !g.toggle;
        g.guardRequest = false;
        g.lastGuard = FPGA_GetFrt();
        g.status &= ~kCoStatusGuardingLost;
    } else if (g.lifeTime != 0 && FPGA_GetFrt() - g.lastGuard > g.lifeTime) {
        g.status |= kCoStatusGuardingLost;
    }
}

void MapPortStatus() {
    u8 s = _Can_Status(0);
    auto set = [](u32 bit, bool on) { g.status = on ? (g.status | bit) : (g.status & ~bit); };
    set(kCoStatusWarning, s & (kCanStatusTxWarning | kCanStatusRxWarning));
    set(kCoStatusBusOff, s & kCanStatusBusOff);
    set(kCoStatusRxOverflow, s & (kCanStatusRxRingFull | kCanStatusRxOverflow));
}

void HandleNmt(const CanMsg& m) {
    if (m.length < 2) {
        g.status |= kCoStatusShortNmt;
        return;
    }
    if (m.data[1] == g.nodeId || m.data[1] == 0) {
        switch (m.data[0]) {
            case kNmtStart: g.nmtState = kNmtOperational; break;
            case kNmtStop: g.nmtState = kNmtStopped; break;
            case kNmtEnterPreOperational: g.nmtState = kNmtPreOperational; break;
            case kNmtResetNode: SYS_WarmReset();
            case kNmtResetCommunication:
                g.nmtState = kNmtInitialising;
                CANOpenInit(&g.start);
                break;
            default: break;
        }
    }
    g.status &= ~kCoStatusShortNmt;
}

}  // namespace

void CANOpenInit(const CanOpenNetStart* start) {
    if (start != &g.start) {
        if (start) g.start = *start;
        g.haveStart = start != nullptr;
    }
    g.status = 0;
    u32 size = copendnet_tbl.Size() <= copendnet_tbl.capacity ? copendnet_tbl.Size() : 0;
    g.table = CoTable(copendnet_tbl.Data(), size);
    CoTableCheck check = g.table.Check(false);
    g.useDefault = check != CoTableCheck::kValid;
    if (check == CoTableCheck::kInvalid) g.status |= kCoStatusInvalidTable;
    if (check == CoTableCheck::kValid && !NodeId_Flag) {
        SR_Put(30, g.table.U8(kCoBitRate));
        SR_Put(29, g.table.U8(kCoNodeId));
        NodeId_Flag = 1;
    }
    g.nodeId = SR_Get(29);
    // A refused table still names the register that shows why.
    g.statusRegister = check == CoTableCheck::kDefault ? 0 : g.table.U32(kCoStatusRegister);

    u8 settings[kCanSettingsBytes] = {};
    settings[kCanSettingBitRate] = static_cast<u8>(SR_Get(30));
    _Can_Init(0, settings);

    g.startupFlags = g.useDefault ? kDefaultStartupFlags : g.table.U8(kCoStartupFlags);
    g.master = (g.startupFlags & kCoStartMaster) != 0;
    g.nmtState = (g.master || (g.startupFlags & kCoStartOnBit)) ? kNmtPreOperational : kNmtOperational;

    u16 heartbeatMs = g.useDefault ? 0 : g.table.U16(kCoHeartbeat);
    g.hbEnabled = heartbeatMs != 0;
    g.hbPeriod = static_cast<u32>(heartbeatMs) * 10;
    g.hbDue = g.hbEnabled;
    g.hbLast = FPGA_GetFrt();
    u16 guardMs = g.useDefault ? 0 : g.table.U16(kCoGuardTime);
    u8 lifeFactor = g.useDefault ? 0 : g.table.U8(kCoLifeFactor);
    g.guarding = !g.hbEnabled && !g.master && guardMs != 0 && lifeFactor != 0;
    g.lifeTime = static_cast<u32>(guardMs) * lifeFactor * 10;
    g.toggle = false;
    g.guardRequest = false;
    g.lastGuard = FPGA_GetFrt();
    if (!g.master) {
        if (g.hbEnabled || g.guarding) {
            g.status &= ~kCoStatusUnsupervised;
        } else {
            g.status |= kCoStatusUnsupervised;
        }
    }
    // A slave's heartbeat consumer entries. Their timers start now: a node
    // is given its whole consumer time from this start before it counts as
    // lost.
    g.consumers = 0;
    g.consuming = false;
    if (!g.useDefault && !g.master) {
        g.consumers = g.table.NodeCount();
        g.consuming = g.consumers > 0;
        for (int k = 0; k < g.consumers; ++k) {
            u32 e = g.table.ConsumerEntry(k);
            g.consumer[k] = Consumer{};
            g.consumer[k].timeMs = static_cast<u16>(e);
            g.consumer[k].node = static_cast<u8>(e >> 16);
            g.consumer[k].lastSeen = FPGA_GetFrt();
        }
    }

    WriteStatusRegister();
    if (g.status & kCoStatusInvalidTable) return;
    // Boot-up: the heartbeat frame with state 0, whatever the heartbeat
    // configuration.
    const u8 bootUp = 0;
    Queue(0x700u + g.nodeId, 1, &bootUp);
}

void CANOpenRxMsg() {
    if (!(g.status & kCoStatusInvalidTable)) {
        if (g.consuming) CheckHeartbeats();
        while (_Can_CheckRx(0)) {
            CanMsg m = *_Can_GetRx(0);
            _Can_NextRx(0);
            u16 id = static_cast<u16>(m.id);
            if (id == 0) {
                HandleNmt(m);
            } else if (id >= 0x701 && id <= 0x77F && g.consuming) {
                // Every frame of that range, remote ones included, is a
                // heartbeat to a consuming slave.
                HeartbeatReceived(static_cast<u8>(id - 0x700), m.data[0] & 0x7F);
            } else if (m.remote && g.guarding && id == 0x700u + g.nodeId) {
                g.guardRequest = true;
            }
        }
        MapPortStatus();
    }
    WriteStatusRegister();
}

int CANOpenNMTSend(u8 node, u8 command) {
    const u8 data[2] = {command, node};
    return Queue(0, 2, data) ? 1 : 0;
}

void CANOpenHBProd() {
    const u8 state = g.nmtState;
    if (!Queue(0x700u + g.nodeId, 1, &state)) return;
    g.hbDue = false;
    g.hbLast = FPGA_GetFrt();
}

void CANOpenTxMsg() {
    if (g.status & kCoStatusInvalidTable) return;
    if (g.hbEnabled && FPGA_GetFrt() - g.hbLast > g.hbPeriod) g.hbDue = true;
    if (g.hbDue) CANOpenHBProd();
    ServeGuarding();
    WriteStatusRegister();
}

u16 CANOpen_NodeId() { return g.nodeId; }
u8 CANOpen_NmtState() { return g.nmtState; }
u8 CANOpen_NodeStatus(u8 node) {
    for (int k = 0; k < g.consumers; ++k) {
        if (g.consumer[k].node == node) return g.consumer[k].status;
    }
    return 0xFF;
}
u32 CANOpen_Status() { return g.status; }

void CANOpen_Reset() {
    g = State{};
    NodeId_Flag = 0;
}
