#include "io/canopen.h"

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "io/candrv.h"
#include "io/canopen_table.h"
#include "platform/fpga.h"
#include "platform/system.h"

u8 NodeId_Flag = 0;

namespace {

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
    if (!g.hbEnabled) g.status |= kCoStatusUnsupervised;

    WriteStatusRegister();
    if (g.status & kCoStatusInvalidTable) return;
    // Boot-up: the heartbeat frame with state 0, whatever the heartbeat
    // configuration.
    const u8 bootUp = 0;
    Queue(0x700u + g.nodeId, 1, &bootUp);
}

void CANOpenRxMsg() {
    if (!(g.status & kCoStatusInvalidTable)) {
        while (_Can_CheckRx(0)) {
            CanMsg m = *_Can_GetRx(0);
            _Can_NextRx(0);
            if ((m.id & 0xFFFF) == 0 && !m.remote) HandleNmt(m);
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
    WriteStatusRegister();
}

u16 CANOpen_NodeId() { return g.nodeId; }
u8 CANOpen_NmtState() { return g.nmtState; }
u32 CANOpen_Status() { return g.status; }

void CANOpen_Reset() {
    g = State{};
    NodeId_Flag = 0;
}
