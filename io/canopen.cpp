#include "io/canopen.h"

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "io/candrv.h"
#include "io/canopen_master.h"
#include "io/canopen_od.h"
#include "io/canopen_pdo.h"
#include "io/canopen_sdo.h"
#include "io/canopen_service.h"
#include "io/canopen_table.h"
#include "io/canopen_tunnel.h"
#include "platform/fpga.h"
#include "platform/rtclock.h"
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
// The last time of day sent before any was sent: no time of day.
constexpr u32 kNoTimeOfDay = 0xFFFFFFFFu;

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
    bool iecMode = false;
    // SYNC.
    u32 syncCobId = 0;
    u32 syncPeriod = 0, syncWindow = 0;  // ticks
    u32 syncLast = 0;
    bool syncConfigured = false, syncProducer = false, syncPeriodOver = false, syncWindowOver = false;
    // TIME and EMCY parameters.
    u32 timeCobId = 0;
    u32 lastTimeOfDay = 0;
    u16 lastDayCount = 0;
    u32 emcyCobId = 0;
    u16 emcyInhibit = 0;
    u32 emcyLast = 0;
    u32 emcyReported = 0;
    bool emcySentOnce = false;
    u16 guardMs = 0;
    u8 lifeFactor = 0;
    u16 heartbeatMs = 0;
};
State g;

// Start-up flags of the built-in default record: stay pre-operational.
constexpr u8 kDefaultStartupFlags = kCoStartOnBit;

// Status bits kept by the PDOs and SDOs, and the node's own.
u32 StatusWord() { return g.status | CoPdo_Status() | CoSdo_Status(); }

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
    g.status = (g.status & 0x00FFFFFFu & ~(kCoStatusPdoBits | kCoStatusShortSdo)) |
               (static_cast<u32>(g.nmtState) << 24);
    if (g.statusRegister == 0) return;
    u8 word[4];
    PutLe32(word, StatusWord());
    u8 indices[4];
    PutLe16(indices, CoPdo_TpdoError());
    PutLe16(indices + 2, CoPdo_RpdoError());
    const u32 next = g.statusRegister + (g.iecMode ? 2 : 32);
    if (PlcReg_Set(g.statusRegister, word, 32) && PlcReg_Set(next, indices, 32)) {
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

bool Running() { return g.nmtState == kNmtOperational || g.nmtState == kNmtPreOperational; }

void SyncTimer() {
    if (!g.syncConfigured) return;
    const u32 since = FPGA_GetFrt() - g.syncLast;
    if (since > g.syncWindow) g.syncWindowOver = true;
    if (since > g.syncPeriod) g.syncPeriodOver = true;
}

// The counter part of a SYNC (unless this node produces SYNC and its
// period has not passed), then the RPDOs that waited for it.
void SyncProcess(bool send) {
    if (!(g.syncProducer && !g.syncPeriodOver)) CoPdo_SyncCount();
    g.syncPeriodOver = g.syncWindowOver = false;
    g.syncLast = FPGA_GetFrt();
    if (send) Queue(g.syncCobId & kCoCobIdMask, 0, nullptr);
    CoPdo_SyncApply();
}

void SyncProduce() {
    SyncTimer();
    if (g.syncConfigured && g.syncProducer && g.syncPeriodOver && Running()) SyncProcess(true);
}

// Days of a common year before each month.
constexpr u16 kDaysBefore[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// TIME producer: the controller clock's time of day, and the day count
// since 1 January 1984, which this node and its peers of the same firmware
// count from 1 (one more than the usual count from 0).
void TimeProduce() {
    if ((g.timeCobId & (kCoCobIdBit31 | kCoCobIdBit30)) != kCoCobIdBit31) return;
    const u32 ms = (static_cast<u32>(SR_Get(46)) * 3600 + SR_Get(45) * 60u + SR_Get(44)) * 1000u;
    if (ms == g.lastTimeOfDay) return;
    const u32 n = (SR_Get(49) + 64u) % 256u;
    const u16 m = SR_Get(48), d = SR_Get(47);
    if (m < 1 || m > 12) return;  // no date to send
    u32 days = n * 365 + n / 4 + kDaysBefore[m] + d;
    days += (n % 4 == 0) ? (m > 2 ? 1 : 0) : 1;
    u8 f[6];
    PutLe32(f, ms);
    PutLe16(f + 4, static_cast<u16>(days));
    if (Queue(g.timeCobId & kCoCobIdMask, 6, f)) g.lastTimeOfDay = ms;
}

// TIME consumer: sets the clock from a received time stamp, the inverse of
// the producer's count (31 December of a leap year included). Day 0 names
// no date in that count and is ignored.
void TimeReceived(const CanMsg& m) {
    if (m.length < 6) return;
    const u32 ms = GetLe32(m.data);
    const u16 count = GetLe16(m.data + 4);
    if (count == 0 || ms >= 86400000u) return;
    const u32 now = (static_cast<u32>(SR_Get(46)) * 3600 + SR_Get(45) * 60u + SR_Get(44)) * 1000u;
    if (ms == now && count == g.lastDayCount) return;
    g.lastDayCount = count;
    const u32 sec = ms / 1000;
    RTCTime t{};
    t.hour = static_cast<u16>(sec / 3600);
    t.minute = static_cast<u16>(sec % 3600 / 60);
    t.second = static_cast<u16>(sec % 60);
    // Whole years, then whole months, from 1 January 1984 (count 1).
    u32 days = count - 1u;
    u32 year = 1984;
    while (days >= (year % 4 == 0 ? 366u : 365u)) days -= (year % 4 == 0 ? 366u : 365u), ++year;
    static constexpr u16 kLength[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    u16 month = 1;
    for (;;) {
        const u32 length = kLength[month] + (month == 2 && year % 4 == 0 ? 1u : 0u);
        if (days < length || month == 12) break;
        days -= length;
        ++month;
    }
    const u32 day = days + 1;
    t.day = static_cast<u16>(day);
    t.month = month;
    t.year = static_cast<u16>(year);
    t.dayOfWeek = SR_Get(50);
    if (!RtcCheck(&t)) return;
    const u16 words[6] = {t.second, t.minute, t.hour, t.day, t.month, t.year};
    for (int i = 0; i < 6; ++i) SR_Put(44 + i, words[i]);
    RtcSet(&t);
}

// EMCY producer: the error bits of the status word, sent when they change
// and the inhibit time has passed.
void EmcyProduce() {
    if ((g.emcyCobId & kCoCobIdBit31) || !Running()) return;
    const u32 bits = StatusWord() & kCoEmcyReportedBits;
    if (bits == g.emcyReported) return;
    if (g.emcySentOnce && FPGA_GetFrt() - g.emcyLast <= g.emcyInhibit) return;
    const bool newError = (bits & ~g.emcyReported) != 0;
    u8 f[8] = {0, static_cast<u8>(newError ? 0x10 : 0), static_cast<u8>(newError ? 1 : 0)};
    PutLe32(f + 3, bits);
    if (!Queue(g.emcyCobId & kCoCobIdMask, 8, f)) return;
    g.emcyLast = FPGA_GetFrt();
    g.emcySentOnce = true;
    g.emcyReported = bits;
}

void SetSyncCobId(u32 v) {
    g.syncCobId = v;
    g.syncProducer = (v & kCoCobIdBit30) != 0;
}

void SetSyncPeriod(u32 us) {
    g.syncPeriod = us / 100;
    g.syncConfigured = us != 0;
}

void SetGuarding() {
    g.lifeTime = static_cast<u32>(g.guardMs) * g.lifeFactor * 10;
    g.guarding = !g.hbEnabled && !g.master && g.guardMs != 0;
}

void SetHeartbeat(u16 ms) {
    g.heartbeatMs = ms;
    g.hbEnabled = ms != 0;
    g.hbPeriod = static_cast<u32>(ms) * 10;
}

u32 Read(u8* data, u16* length, u32 value, u16 bytes) { return CoSdo_Answer(data, length, value, bytes); }

u32 ConsumerObject(u8 sub, bool write, u8* data, u16* length) {
    if (sub == 0) return write ? kSdoAbortReadOnly : Read(data, length, static_cast<u32>(g.consumers), 1);
    if (sub > kCoMaxNodes) return kSdoAbortUnsupported;
    const int k = sub - 1;
    if (!write) return Read(data, length, k < g.consumers ? (g.consumer[k].timeMs | (g.consumer[k].node << 16)) : 0, 4);
    if (u32 e = CoSdo_WriteLength(*length, 4)) return e;
    const u32 v = GetLe32(data) & 0x00FFFFFFu;
    if (v == 0) {
        // Removes the entry; the ones behind it move up.
        if (k < g.consumers) {
            for (int j = k; j + 1 < g.consumers; ++j) g.consumer[j] = g.consumer[j + 1];
            --g.consumers;
        }
    } else {
        const int at = k < g.consumers ? k : g.consumers;
        if (at >= kCoMaxNodes) return kSdoAbortIncompatible;
        if (at == g.consumers) ++g.consumers;
        g.consumer[at] = Consumer{};
        g.consumer[at].timeMs = static_cast<u16>(v);
        g.consumer[at].node = static_cast<u8>(v >> 16);
        g.consumer[at].lastSeen = FPGA_GetFrt();
    }
    g.consuming = g.consumers > 0;
    return 0;
}

u32 DateObject(u8 sub, bool write, u8* data, u16* length, u32 dateField) {
    if (write) return sub <= 2 ? kSdoAbortReadOnly : kSdoAbortNoSubindex;
    if (sub == 0) return Read(data, length, 2, 1);
    if (sub > 2) return kSdoAbortNoSubindex;
    return Read(data, length, g.useDefault ? 0 : g.table.U32(dateField + 4u * (sub - 1u)), 4);
}

}  // namespace

u32 CANOpen_CommObject(u16 index, u8 sub, bool write, u8* data, u16* length) {
    switch (index) {
        case 0x1016: return ConsumerObject(sub, write, data, length);
        case 0x1018:
            if (write) return sub <= 3 && sub != 2 ? kSdoAbortReadOnly : kSdoAbortNoSubindex;
            if (sub == 0) return Read(data, length, 2, 1);
            if (sub == 1) return Read(data, length, kCoVendorId, 4);
            if (sub == 3) return Read(data, length, kCoRevision, 4);
            return kSdoAbortNoSubindex;
        case 0x1020: return DateObject(sub, write, data, length, kCoConfigDate);
        case 0x1F52: return DateObject(sub, write, data, length, kCoAppSwDate);
        default: break;
    }
    // The rest have subindex 0 only.
    switch (index) {
        case 0x1000: case 0x1001: case 0x1002: case 0x1005: case 0x1006: case 0x1007: case 0x1008: case 0x1009:
        case 0x100A: case 0x100C: case 0x100D: case 0x1012: case 0x1014: case 0x1015: case 0x1017: case 0x1F80:
            if (sub != 0) return kSdoAbortNoSubindex;
            break;
        default:
            return kSdoAbortUnsupported;
    }
    const bool ro = index <= 0x1002 || index == 0x1008 || index == 0x100A || index == 0x1F80;
    if (write && ro) return kSdoAbortReadOnly;
    if (!write) {
        switch (index) {
            case 0x1000: return Read(data, length, kCoDeviceType, 4);
            case 0x1001: return Read(data, length, (StatusWord() & kCoEmcyReportedBits) ? 1 : 0, 1);
            case 0x1002: return Read(data, length, StatusWord(), 4);
            case 0x1005: return Read(data, length, g.syncCobId, 4);
            case 0x1006: return Read(data, length, g.syncConfigured ? g.syncPeriod * 100 : 0, 4);
            case 0x1007: return Read(data, length, g.syncWindow * 100, 4);
            case 0x1008:
                // The model text words SR131-SR133, as the registers hold them.
                for (int i = 0; i < 3; ++i) PutLe16(data + 2 * i, SR_Get(131 + i));
                *length = 6;
                return 0;
            case 0x1009: return kSdoAbortUnsupported;
            case 0x100A: {
                const char* v = regPeers.versionText ? regPeers.versionText() : nullptr;
                u16 n = 0;
                while (v && n < 5 && v[n]) {
                    data[n] = static_cast<u8>(v[n]);
                    ++n;
                }
                while (n < 5) data[n++] = 0;
                *length = 5;
                return 0;
            }
            case 0x100C: return Read(data, length, g.guardMs, 2);
            case 0x100D: return Read(data, length, g.lifeFactor, 1);
            case 0x1012: return Read(data, length, g.timeCobId, 4);
            case 0x1014: return Read(data, length, g.emcyCobId, 4);
            case 0x1015: return Read(data, length, g.emcyInhibit, 2);
            case 0x1017: return Read(data, length, g.heartbeatMs, 2);
            case 0x1F80: return Read(data, length, g.startupFlags, 1);
            default: return kSdoAbortUnsupported;
        }
    }
    switch (index) {
        case 0x1005: {
            u32 v = 0;
            if (u32 e = CoSdo_WriteCobId(data, *length, &v)) return e;
            SetSyncCobId(v);
            return 0;
        }
        case 0x1006:
        case 0x1007: {
            if (u32 e = CoSdo_WriteLength(*length, 4)) return e;
            if (index == 0x1006) {
                SetSyncPeriod(GetLe32(data));
            } else {
                g.syncWindow = GetLe32(data) / 100;
            }
            return 0;
        }
        case 0x1009: return kSdoAbortReadOnly;
        case 0x100C:
        case 0x100D:
            if (u32 e = CoSdo_WriteLength(*length, index == 0x100C ? 2 : 1)) return e;
            if (index == 0x100C) {
                g.guardMs = GetLe16(data);
            } else {
                g.lifeFactor = data[0];
            }
            SetGuarding();
            return 0;
        case 0x1012: {
            if (u32 e = CoSdo_WriteCobId(data, *length, &g.timeCobId)) return e;
            g.lastTimeOfDay = kNoTimeOfDay;
            return 0;
        }
        case 0x1014: return CoSdo_WriteCobId(data, *length, &g.emcyCobId);
        case 0x1015:
            if (u32 e = CoSdo_WriteLength(*length, 2)) return e;
            g.emcyInhibit = GetLe16(data);
            return 0;
        case 0x1017:
            if (u32 e = CoSdo_WriteLength(*length, 2)) return e;
            SetHeartbeat(GetLe16(data));
            g.hbLast = FPGA_GetFrt();
            return 0;
        default: return kSdoAbortUnsupported;
    }
}

namespace {

// Frames for the services of the running node (state 5 or 127): RPDOs,
// armed EMCY reception, the tunnel and the SDO client's answer, then the
// SDO servers.
void Dispatch(const CanMsg& m) {
    if (g.nmtState == kNmtOperational && CoPdo_Receive(m)) return;
    if (CoMaster_Watched(m.id)) return;
    if (CoService_EmcyFrame(m)) return;
    if (CoTunnel_Frame(m)) return;
    if (CoSdo_ClientFrame(m)) {
        CoMaster_ClientAnswered();
        return;
    }
    CoSdo_Server(m);
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
    // IEC variable mode: a running IEC application with its variables
    // enumerated, and a status register that names one of them.
    g.iecMode = regPeers.iecVariablesKnown && regPeers.iecVariablesKnown() == 1 &&
                CoIsIecRef(g.table.U32(kCoStatusRegister)) && g.table.U8(kCoNodeId) >= 1 &&
                g.table.U8(kCoNodeId) <= kCoMaxNodes;
    CoTableCheck check = g.table.Check(g.iecMode);
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

    SetHeartbeat(g.useDefault ? 0 : g.table.U16(kCoHeartbeat));
    g.hbDue = g.hbEnabled;
    g.hbLast = FPGA_GetFrt();
    g.guardMs = g.useDefault ? 0 : g.table.U16(kCoGuardTime);
    g.lifeFactor = g.useDefault ? 0 : g.table.U8(kCoLifeFactor);
    SetGuarding();
    g.guarding = g.guarding && g.lifeFactor != 0;
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

    // SYNC, TIME and EMCY parameters; the built-in record's when there is no
    // table.
    SetSyncCobId(g.useDefault ? 0x80 : g.table.U32(kCoSyncCobId));
    SetSyncPeriod(g.useDefault ? 50000 : g.table.U32(kCoSyncPeriod));
    g.syncWindow = (g.useDefault ? 30000 : g.table.U32(kCoSyncWindow)) / 100;
    g.syncLast = FPGA_GetFrt();
    g.syncPeriodOver = g.syncWindowOver = false;
    // TIME is used only when the table enables it.
    g.timeCobId = g.useDefault || g.table.U16(kCoTimeEnable) == 0 ? 0 : g.table.U32(kCoTimeCobId);
    g.lastTimeOfDay = kNoTimeOfDay;
    g.lastDayCount = 0;
    // The first scan in a running state reports the bits once.
    g.emcyReported = 1;
    g.emcySentOnce = false;
    g.emcyCobId = g.useDefault ? 0x800000FFu : g.table.U32(kCoEmcyCobId);
    g.emcyInhibit = g.useDefault ? 0 : g.table.U16(kCoEmcyInhibit);

    const CoTable none;
    CoPdoSetup pdo;
    pdo.iecLayout = g.iecMode && !g.useDefault;
    pdo.mapEnable = pdo.iecLayout ? g.table.U32(kCoPdoMapEnable) : 0;
    pdo.mapRegister = pdo.iecLayout ? g.table.U32(kCoPdoMapRegister) : 0;
    pdo.initialTx = !g.useDefault && CoMaster_InitialTpdo(g.table, g.master);
    CoMaster_Init(g.useDefault ? none : g.table, g.master && !g.useDefault, g.startupFlags, g.statusRegister,
                  g.iecMode);
    CoPdo_Init(g.useDefault ? none : g.table, pdo);
    CoSdo_Init(g.useDefault ? none : g.table, g.nodeId);

    WriteStatusRegister();
    if (g.status & kCoStatusInvalidTable) return;
    // Boot-up: the heartbeat frame with state 0, whatever the heartbeat
    // configuration.
    const u8 bootUp = 0;
    Queue(0x700u + g.nodeId, 1, &bootUp);
}

void CANOpenRxMsg() {
    if (!(g.status & kCoStatusInvalidTable)) {
        if (g.master) {
            CoMaster_Supervise();
        } else if (g.consuming) {
            CheckHeartbeats();
        }
        while (_Can_CheckRx(0)) {
            CanMsg m = *_Can_GetRx(0);
            _Can_NextRx(0);
            u16 id = static_cast<u16>(m.id);
            if (id == 0) {
                HandleNmt(m);
            } else if (id >= 0x701 && id <= 0x77F && g.master) {
                CoMaster_NodeFrame(static_cast<u8>(id - 0x700), m.data[0], m.remote);
            } else if (id >= 0x701 && id <= 0x77F && g.consuming) {
                // Every frame of that range, remote ones included, is a
                // heartbeat to a consuming slave.
                HeartbeatReceived(static_cast<u8>(id - 0x700), m.data[0] & 0x7F);
            } else if (g.syncConfigured && !g.syncProducer && m.id == (g.syncCobId & kCoCobIdMask)) {
                SyncTimer();
                SyncProcess(false);
            } else if (g.timeCobId && (g.timeCobId & kCoCobIdBit30) && m.id == (g.timeCobId & kCoCobIdMask) &&
                       !m.remote) {
                if (Running()) TimeReceived(m);
            } else if (m.remote) {
                if (g.guarding && id == 0x700u + g.nodeId) {
                    g.guardRequest = true;
                } else if (g.nmtState == kNmtOperational) {
                    CoPdo_RemoteRequest(m.id);
                }
            } else if (Running()) {
                Dispatch(m);
            }
            SyncProduce();
        }
        MapPortStatus();
    }
    WriteStatusRegister();
}

int CANOpenNMTSend(u8 node, u8 command) {
    const u8 data[2] = {command, node};
    if (!Queue(0, 2, data)) return 0;
    CoMaster_NmtSent();
    return 1;
}

void CANOpenHBProd() {
    const u8 state = g.nmtState;
    if (!Queue(0x700u + g.nodeId, 1, &state)) return;
    g.hbDue = false;
    g.hbLast = FPGA_GetFrt();
}

void CANOpenTxMsg() {
    // A new table is looked for even while the present one is refused.
    // During a download the node keeps only its tunnel, which may be
    // carrying that very download.
    if (CoMaster_TableDownload()) {
        if (!(g.status & kCoStatusInvalidTable)) CoTunnel_Transmit();
        WriteStatusRegister();
        return;
    }
    if (g.status & kCoStatusInvalidTable) return;
    CoSdo_ClientTimer();
    CoTunnel_Transmit();
    CoMaster_Step();
    if (g.hbEnabled && FPGA_GetFrt() - g.hbLast > g.hbPeriod) g.hbDue = true;
    if (g.hbDue) CANOpenHBProd();
    ServeGuarding();
    SyncProduce();
    TimeProduce();
    EmcyProduce();
    if (g.nmtState == kNmtOperational) CoPdo_Transmit(g.syncConfigured, !g.syncWindowOver);
    WriteStatusRegister();
}

bool CANOpen_Queue(u32 id, u8 length, const u8* data, bool remote) { return Queue(id, length, data, remote); }

u16 CANOpen_NodeId() { return g.nodeId; }
u8 CANOpen_NmtState() { return g.nmtState; }
void CANOpen_SetNmtState(u8 state) { g.nmtState = state; }
void CANOpen_StatusBits(u32 bits, bool on) { g.status = on ? (g.status | bits) : (g.status & ~bits); }
bool CANOpen_Master() { return g.master; }
u8 CANOpen_NodeNmtState(u8 node) {
    for (int k = 0; k < g.consumers; ++k) {
        if (g.consumer[k].node == node) return g.consumer[k].nmtState;
    }
    return 0xFF;
}
void CANOpen_Restart() {
    g.nmtState = kNmtInitialising;
    CANOpenInit(&g.start);
}
u8 CANOpen_NodeStatus(u8 node) {
    if (g.master) return CoMaster_NodeStatus(node);
    for (int k = 0; k < g.consumers; ++k) {
        if (g.consumer[k].node == node) return g.consumer[k].status;
    }
    return 0xFF;
}
u32 CANOpen_Status() { return StatusWord(); }

void CANOpen_Reset() {
    g = State{};
    CoPdo_Reset();
    CoSdo_Reset();
    CoMaster_Reset();
    CoTunnel_Init();
    CoService_Reset();
    NodeId_Flag = 0;
}
