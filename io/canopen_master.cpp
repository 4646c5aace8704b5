#include "io/canopen_master.h"

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "io/canopen.h"
#include "io/canopen_od.h"
#include "io/canopen_sdo.h"
#include "link/cmdproc.h"
#include "link/command.h"
#include "platform/fpga.h"

namespace {

// Node row fields.
constexpr u32 kRowFlags = 0, kRowLifeFactor = 1, kRowTime = 2, kRowBootFlags = 4, kRowDownloadFlags = 5,
              kRowNodeId = 7, kRowWatchedId = 44;
// Boot flags: the classes of communication objects the download writes.
constexpr u8 kBootGuarding = 0x02, kBootSync = 0x04, kBootEmcy = 0x08, kBootTime = 0x10, kBootPdoSdo = 0x20,
             kBootClasses = 0x3E, kBootSoftwareNoError = 0x40, kBootWatch = 0x80;
constexpr u8 kDownloadRefusalIsError = 0x01, kDownloadOutsideArea = 0x02;

// Node flags.
constexpr u8 kGuardOutstanding = 0x01, kGuardAnswered = 0x02, kTpdoRequested = 0x04, kStartedInRound = 0x10;

constexpr u8 kStateUnknown = 254;
// The keep-alive guard answer is waited for this long (100 ms).
constexpr u32 kKeepAliveTicks = 1000;
// The SDO client's time-out for a node without supervision time.
constexpr u32 kDefaultClientTicks = 1000;

struct Node {
    u16 timeMs = 0;
    u8 id = 0;
    u8 status = kCoNodeNotBooted;
    u32 lastSeen = 0;  // heartbeat, or the guard timer
    u8 nmtState = kStateUnknown;
    u8 step = kCoStepReset;
    u8 retries = 0;
    u8 flags = 0;
};

// What the outstanding configuration write is.
enum class Write : u8 { kObject, kCount, kCobId };

struct State {
    bool active = false;
    CoTable table;
    u8 startupFlags = 0;
    u32 statusRegister = 0;
    bool iecMode = false;
    bool consuming = false;
    int count = 0;
    int current = 0;
    bool started = false;
    bool resetAll = true;
    bool nmtJustSent = false;
    Node node[kCoMaxNodes];
    // Reset wait of step 1.
    bool waitRunning = false;
    u32 waitStart = 0, waitTicks = 0;
    // The SDO client carries a request of ours.
    bool clientMine = false;
    // Keep-alive guard request of step 13.
    bool keepAliveAsked = false;
    u32 keepAliveSent = 0;
    // Configuration download of the current node.
    u32 nextObject = 0;
    i32 cobAt = -1, countAt = -1;
    Write writing = Write::kObject;
    u32 writingAt = 0;
};
State g;

// Survive every restart of the node: the table download.
struct DownloadWatch {
    bool holding = false;  // a download of the table is in progress or a restart is pending
    bool haveCrc = false;
    u16 crc = 0;
};
DownloadWatch w;

u8 RowFlags(int k) { return g.table.RowU8(k, kRowFlags); }
u8 BootFlags(int k) { return g.table.RowU8(k, kRowBootFlags); }

void Next() {
    if (g.count > 0) g.current = (g.current + 1) % g.count;
}

bool NodeIsGood(u8 status) { return status == kCoNodeBooted || status == kCoNodeKeptAlive; }

void WriteNodeStatus(int k) {
    if (g.statusRegister == 0 || k >= g.count) return;
    u8 v[2];
    PutLe16(v, static_cast<u16>(g.node[k].id * 256u + g.node[k].status));
    const u32 at = g.iecMode ? g.statusRegister + 4 + static_cast<u32>(k) : g.statusRegister + 64 + 16u * k;
    if (!PlcReg_Set(at, v, 16)) CANOpen_StatusBits(kCoStatusRegisterFailed, true);
}

u32 ClientTimeout(const Node& n) { return n.timeMs ? static_cast<u32>(n.timeMs) * 10 : kDefaultClientTicks; }

// The row's SDO client entry; the node's default server channel where the
// row names none (a COB-ID of 0 would reach every node as an NMT command).
CoSdoEntry ClientEntry(int k) {
    CoSdoEntry e = g.table.SdoClient(k);
    if (e.clientToServer == 0) e.clientToServer = 0x600u + g.node[k].id;
    if (e.serverToClient == 0) e.serverToClient = 0x580u + g.node[k].id;
    return e;
}

// A request of ours that the node answered: the answer, taken. false while
// nothing (ours) has come back.
bool TakeAnswer(CoSdoClientAnswer* answer) {
    if (!g.clientMine || !CoSdo_ClientPending() || !CoSdo_ClientResult().arrived) return false;
    *answer = CoSdo_ClientResult();
    CoSdo_ClientClear();
    g.clientMine = false;
    return true;
}

// A request of ours is still out (a timed-out one is not: it is sent again),
// or someone else's transfer holds the client.
bool ClientWaiting() {
    if (g.clientMine && !CoSdo_ClientPending()) g.clientMine = false;
    return CoSdo_ClientPending();
}

enum Check { kWaiting, kDiffers, kSame };

// One identity check: the object uploaded from the node and compared. A
// request that cannot be queued (full transmit ring, client busy) is sent
// again on a later scan; it says nothing about the node.
Check CheckObject(u16 index, u8 sub, u32 expected) {
    CoSdoClientAnswer a;
    if (TakeAnswer(&a)) return !a.aborted && GetLe32(a.data) == expected ? kSame : kDiffers;
    if (ClientWaiting()) return kWaiting;
    const Node& n = g.node[g.current];
    const CoSdoEntry e = ClientEntry(g.current);
    if (CoSdo_ClientUpload(e.clientToServer, e.serverToClient, index, sub, ClientTimeout(n))) g.clientMine = true;
    return kWaiting;
}

bool Between(u16 v, u16 lo, u16 hi) { return v >= lo && v <= hi; }
bool IsPdoCobId(const CoConfigObject& o) {
    return o.subindex == 1 && (Between(o.index, 0x1400, 0x15FF) || Between(o.index, 0x1800, 0x19FF));
}
bool IsMapping(u16 index) { return Between(index, 0x1600, 0x17FF) || Between(index, 0x1A00, 0x1BFF); }

// Whether the download writes this object of the row.
bool Selected(const CoConfigObject& o, int k) {
    if (o.attribute & 0x80) return false;
    const u8 boot = BootFlags(k);
    const u16 i = o.index;
    if (!Between(i, 0x1000, 0x1BFF)) return (g.table.RowU8(k, kRowDownloadFlags) & kDownloadOutsideArea) != 0;
    if (Between(i, 0x100C, 0x100D)) return (boot & kBootGuarding) && !g.consuming;
    if (Between(i, 0x1016, 0x1017)) return (boot & kBootGuarding) && g.consuming && !(i == 0x1016 && o.subindex == 0);
    if (Between(i, 0x1005, 0x1007)) return boot & kBootSync;
    if (Between(i, 0x1014, 0x1015)) return boot & kBootEmcy;
    if (i == 0x1012) return boot & kBootTime;
    if (Between(i, 0x1200, 0x12FF) || Between(i, 0x1400, 0x1BFF)) {
        if (!(boot & kBootPdoSdo)) return false;
        if (Between(i, 0x1201, 0x127F) && (o.subindex == 0 || o.subindex == 3)) return false;
        if (Between(i, 0x1800, 0x19FF) && o.subindex == 5 && o.value == 0) return false;
        return true;
    }
    return false;
}

// The node status of a refused object, by its class.
u8 RefusedStatus(u16 i) {
    if (Between(i, 0x100C, 0x100D) || Between(i, 0x1016, 0x1017)) return 244;
    if (Between(i, 0x1005, 0x1007)) return 245;
    if (i == 0x1012) return 246;
    if (Between(i, 0x1014, 0x1015)) return 247;
    if (Between(i, 0x1400, 0x15FF)) return 248;
    if (Between(i, 0x1600, 0x17FF)) return 249;
    if (Between(i, 0x1800, 0x19FF)) return 250;
    if (Between(i, 0x1A00, 0x1BFF)) return 251;
    if (Between(i, 0x1200, 0x12FF)) return 252;
    return 243;
}

// The disabled COB-ID and the zeroed mapping count are written back once
// the objects of that PDO are done: when the next object belongs to another
// index than the mapping, or, with no mapping changed, to another PDO.
bool RewriteDue(int k) {
    const u32 objects = g.table.RowObjectCount(k);
    if (g.nextObject >= objects) return true;
    const CoConfigObject o = g.table.RowObject(k, g.nextObject);
    if (g.countAt >= 0) return o.index != g.table.RowObject(k, static_cast<u32>(g.countAt)).index;
    if (o.index == g.table.RowObject(k, static_cast<u32>(g.cobAt)).index) return false;
    return !IsMapping(o.index);
}

bool SendWrite(int k, const CoConfigObject& o, u32 value) {
    u8 size = o.attribute & 0x0F;
    if (size < 1 || size > 4) size = 4;
    u8 d[4];
    PutLe32(d, value);
    const CoSdoEntry e = ClientEntry(k);
    if (!CoSdo_ClientDownload(e.clientToServer, e.serverToClient, o.index, o.subindex, d, size,
                              ClientTimeout(g.node[k]))) {
        return false;
    }
    g.clientMine = true;
    return true;
}

// Step 12: the node's configuration objects, one write per answer. Every
// choice below is made again after a lost request, so a resend writes the
// same object.
void Download() {
    const int k = g.current;
    Node& n = g.node[k];
    CoSdoClientAnswer a;
    if (TakeAnswer(&a)) {
        const u32 at = g.writing == Write::kObject ? g.writingAt
                       : g.writing == Write::kCount ? static_cast<u32>(g.countAt)
                                                    : static_cast<u32>(g.cobAt);
        if (a.aborted && (g.table.RowU8(k, kRowDownloadFlags) & kDownloadRefusalIsError)) {
            n.status = RefusedStatus(g.table.RowObject(k, at).index);
            return;
        }
        if (g.writing == Write::kObject) g.nextObject = g.writingAt + 1;
        if (g.writing == Write::kCount) g.countAt = -1;
        if (g.writing == Write::kCobId) g.cobAt = -1;
    }
    if (ClientWaiting()) return;
    const u32 objects = g.table.RowObjectCount(k);
    for (;;) {
        if ((g.countAt >= 0 || g.cobAt >= 0) && RewriteDue(k)) {
            const bool count = g.countAt >= 0;
            const CoConfigObject o = g.table.RowObject(k, static_cast<u32>(count ? g.countAt : g.cobAt));
            if (SendWrite(k, o, o.value)) g.writing = count ? Write::kCount : Write::kCobId;
            return;
        }
        if (g.nextObject >= objects) {
            n.step = 14;
            return;
        }
        const CoConfigObject o = g.table.RowObject(k, g.nextObject);
        if (!Selected(o, k)) {
            ++g.nextObject;
            continue;
        }
        u32 value = o.value;
        const bool cob = IsPdoCobId(o), count = IsMapping(o.index) && o.subindex == 0;
        if (cob) value |= kCoCobIdBit31;
        if (count) value = 0;
        if (!SendWrite(k, o, value)) return;
        g.writing = Write::kObject;
        g.writingAt = g.nextObject;
        if (cob && g.cobAt < 0) g.cobAt = static_cast<i32>(g.nextObject);
        if (count) g.countAt = static_cast<i32>(g.nextObject);
        return;
    }
}

bool GuardSend(int k) {
    Node& n = g.node[k];
    if (n.timeMs == 0) return false;
    if (!CANOpen_Queue(0x700u + n.id, 1, nullptr, true)) return false;
    n.lastSeen = FPGA_GetFrt();
    n.flags = static_cast<u8>((n.flags | kGuardOutstanding) & ~kGuardAnswered);
    return true;
}

// Step 13: a keep-alive node that already runs is not booted again.
void KeepAlive() {
    Node& n = g.node[g.current];
    if (g.consuming) {
        if (n.status == kCoNodeHeartbeatLost) {
            n.status = kCoNodeHeartbeatAtBoot;
        } else if (n.status == kCoNodeBooted) {
            if (n.nmtState == kNmtOperational) {
                n.status = kCoNodeKeptAlive;
                n.step = 14;
            } else {
                n.step = 7;
            }
        }
        return;
    }
    if (n.timeMs == 0) {
        n.step = 7;
        return;
    }
    if (!g.keepAliveAsked) {
        if (GuardSend(g.current)) {
            g.keepAliveAsked = true;
            g.keepAliveSent = FPGA_GetFrt();
        }
        return;
    }
    if (n.flags & kGuardAnswered) {
        g.keepAliveAsked = false;
        if (n.nmtState == kNmtOperational) {
            n.status = kCoNodeKeptAlive;
            n.step = 14;
        } else {
            CANOpenNMTSend(n.id, kNmtResetCommunication);
            n.step = 7;
        }
    } else if (FPGA_GetFrt() - g.keepAliveSent > kKeepAliveTicks) {
        g.keepAliveAsked = false;
        n.status = kCoNodeGuardingLost;
    }
}

struct CheckObjectDef {
    u16 index;
    u8 subindex;
    u8 differs;  // node status when the answer differs
};
// Steps 2-6: device type and identity.
constexpr CheckObjectDef kIdentity[5] = {
    {0x1000, 0, kCoNodeDeviceType}, {0x1018, 1, kCoNodeVendor}, {0x1018, 2, kCoNodeProduct},
    {0x1018, 3, kCoNodeRevision},   {0x1018, 4, kCoNodeSerial}};

void ToDownload(Node& n) {
    n.step = 12;
    g.nextObject = 0;
    g.cobAt = g.countAt = -1;
}

// One call of the boot of the current node (steps 2-15).
void BootSlave() {
    const int k = g.current;
    Node& n = g.node[k];
    if (!(RowFlags(k) & kCoRowSlave)) {
        n.status = kCoNodeNotASlave;
        n.step = kCoStepErrorCheck;
        Next();
        return;
    }
    const bool keepAlive = RowFlags(k) & kCoRowKeepAlive;
    // Checks that are skipped lead on within the same call.
    for (int guard = 0; guard < 16; ++guard) {
        const u8 s = n.step;
        if (s >= 2 && s <= 6) {
            const u32 want = g.table.RowU32(k, 4u * s);
            const u8 after = (s == 6 && keepAlive) ? 13 : static_cast<u8>(s + 1);
            if (want != 0) {
                const CheckObjectDef& c = kIdentity[s - 2];
                const Check r = CheckObject(c.index, c.subindex, want);
                if (r == kWaiting) break;
                if (r == kDiffers) {
                    n.status = c.differs;
                } else {
                    n.step = after;
                }
                break;
            }
            n.step = after;
        } else if (s == 7 || s == 8) {
            if (!(RowFlags(k) & kCoRowCheckSoftware)) {
                n.step = 9;
                continue;
            }
            const u32 date = g.table.RowU32(k, 28), time = g.table.RowU32(k, 32);
            if (date == 0 || time == 0) {
                n.status = kCoNodeNoSoftwareDate;
                break;
            }
            const Check r = CheckObject(0x1F52, static_cast<u8>(s - 6), s == 7 ? date : time);
            if (r == kWaiting) break;
            if (r == kSame) {
                n.step = static_cast<u8>(s + 1);
            } else if (BootFlags(k) & kBootSoftwareNoError) {
                n.step = 9;
            } else {
                n.status = kCoNodeSoftwareDate;
            }
            break;
        } else if (s == 9 || s == 10) {
            const u32 want = g.table.RowU32(k, 4u * s);
            if (want == 0) {
                if (s == 9) {
                    n.step = 10;
                } else if (BootFlags(k) & kBootClasses) {
                    ToDownload(n);
                } else {
                    n.step = 15;
                }
                continue;
            }
            const Check r = CheckObject(0x1020, static_cast<u8>(s - 8), want);
            if (r == kWaiting) break;
            if (r == kDiffers) {
                ToDownload(n);
            } else {
                n.step = s == 9 ? 10 : 14;
            }
            break;
        } else if (s == 11 || s == 12) {
            if (s == 11) ToDownload(n);
            Download();
            break;
        } else if (s == 13) {
            KeepAlive();
            break;
        } else if (s == 14) {
            if (g.consuming) {
                if (NodeIsGood(n.status)) n.step = 15;
            } else {
                GuardSend(k);
                n.step = 15;
            }
            break;
        } else if (s == 15) {
            n.step = kCoStepErrorCheck;
            break;
        } else {
            break;
        }
    }
    if (n.status != kCoNodeBooted && n.status != kCoNodeKeptAlive && n.status != kCoNodeNotBooted) {
        n.step = kCoStepErrorCheck;
        Next();
    } else if (n.step == kCoStepErrorCheck) {
        Next();
    }
}

// The reaction to a failed current node: 1 when a failed mandatory node reset
// or stopped the network.
int ErrChk() {
    Node& n = g.node[g.current];
    if (NodeIsGood(n.status)) return 0;
    const u8 flags = RowFlags(g.current);
    const u32 bit = (flags & kCoRowMandatory) ? kCoStatusMandatoryFailed : kCoStatusOptionalFailed;
    CANOpen_StatusBits(bit, true);
    const bool retry = (flags & kCoRowRetry) &&
                       (!(flags & kCoRowMandatory) || !(g.startupFlags & (kCoStartResetOnFail | kCoStartStopOnFail)));
    if (retry) {
        n.step = kCoStepReset;
        CANOpen_StatusBits(bit, false);
        g.resetAll = false;
    } else {
        n.step = kCoStepGivenUp;
    }
    if (!(CANOpen_Status() & kCoStatusMandatoryFailed)) return 0;
    if (g.startupFlags & kCoStartResetOnFail) {
        CANOpenNMTSend(0, kNmtResetCommunication);
        CANOpen_Restart();
        return 1;
    }
    if (g.startupFlags & kCoStartStopOnFail) {
        CANOpenNMTSend(0, kNmtStop);
        CANOpen_SetNmtState(kNmtStopped);
        g.current = 0;
        for (int j = 0; j < g.count; ++j) g.node[j].step = kCoStepGivenUp;
        return 1;
    }
    return 0;
}

// Starts nodes: all at once with one broadcast, or the current one. 1 when
// the start round is complete: every node that booted was started in it.
int StartNode(bool all) {
    if (all && (g.startupFlags & kCoStartAllAtOnce) && !(CANOpen_Status() & kCoStatusOptionalFailed)) {
        CANOpenNMTSend(0, kNmtStart);
        for (int j = 0; j < g.count; ++j) {
            if (g.node[j].status == kCoNodeBooted) g.node[j].step = kCoStepRun;
        }
        g.current = 0;
        return 1;
    }
    Node& n = g.node[g.current];
    if (n.status == kCoNodeBooted) CANOpenNMTSend(n.id, kNmtStart);
    n.step = kCoStepRun;
    if (!all) return 0;
    n.flags |= kStartedInRound;
    // Nodes still booting, retrying or given up are started on their own
    // later; they do not hold the round.
    for (int j = 0; j < g.count; ++j) {
        const Node& m = g.node[j];
        if ((RowFlags(j) & kCoRowSlave) && (m.step == kCoStepStart || m.step == kCoStepRun) &&
            !(m.flags & kStartedInRound)) {
            return 0;
        }
    }
    for (int j = 0; j < g.count; ++j) g.node[j].flags &= ~kStartedInRound;
    return 1;
}

bool StartBit() {
    u32 v = 0;
    return CANOpenGetData(&v, 0xA000, 1, g.table.U32(kCoStartRegister)) && (v & 1);
}

// The network may run: no start bit asked for, or the start bit set while no
// new table is coming.
bool MayRun() { return !(g.startupFlags & kCoStartOnBit) || (StartBit() && !CANOpen_dwnld); }

void Reset() {
    Node& n = g.node[g.current];
    if (g.clientMine) CoSdo_ClientClear();
    g.clientMine = false;
    g.keepAliveAsked = false;
    if (!g.waitRunning) {
        g.waitRunning = true;
        g.waitStart = FPGA_GetFrt();
        g.waitTicks = static_cast<u32>(n.timeMs) * 8;  // 80 % of the supervision time
        if (g.resetAll) {
            CANOpenNMTSend(0, kNmtResetCommunication);
            for (int j = 0; j < g.count; ++j) g.node[j].nmtState = kStateUnknown;
        } else if (!((RowFlags(g.current) & kCoRowKeepAlive) &&
                     (n.nmtState == kNmtOperational || n.nmtState == kStateUnknown))) {
            CANOpenNMTSend(n.id, kNmtResetCommunication);
            n.nmtState = kStateUnknown;
        }
        return;
    }
    if (FPGA_GetFrt() - g.waitStart <= g.waitTicks && n.nmtState == kStateUnknown) return;
    g.waitRunning = false;
    auto ready = [](Node& m) {
        if (g.consuming && m.status == kCoNodeHeartbeatLost) CANOpen_StatusBits(kCoStatusHeartbeatLost, false);
        m.step = 2;
        m.status = kCoNodeBooted;
    };
    if (g.resetAll) {
        for (int j = 0; j < g.count; ++j) ready(g.node[j]);
        g.current = 0;
    } else {
        ready(n);
        Next();
    }
}

void Start() {
    Node& n = g.node[g.current];
    const bool operational = CANOpen_NmtState() == kNmtOperational;
    if (MayRun() && !(g.startupFlags & kCoStartLeftToApp)) {
        if (StartNode(!operational)) {
            g.started = true;
            CANOpen_SetNmtState(kNmtOperational);
        } else {
            Next();
        }
        return;
    }
    if (!operational) {
        n.step = kCoStepRun;
        Next();
    } else {
        for (int j = 0; j < g.count; ++j) g.node[j].step = kCoStepRun;
        g.current = 0;
    }
}

void Run() {
    if (MayRun()) {
        if (!g.started) {
            if (g.startupFlags & kCoStartLeftToApp) {
                g.started = true;
            } else if (StartNode(true)) {
                g.started = true;
            }
        }
        if (g.started) CANOpen_SetNmtState(kNmtOperational);
    } else if (CANOpen_NmtState() != kNmtPreOperational) {
        CANOpen_SetNmtState(kNmtPreOperational);
        g.started = false;
        CANOpenNMTSend(0, kNmtEnterPreOperational);
    }
    const int k = g.current;
    Node& n = g.node[k];
    if ((BootFlags(k) & kBootSoftwareNoError) && !(n.flags & kTpdoRequested) &&
        CANOpen_NmtState() == kNmtOperational) {
        // The node's own TPDOs, asked for once by remote frame.
        bool any = false;
        for (u32 j = 0; j < g.table.RowObjectCount(k); ++j) {
            const CoConfigObject o = g.table.RowObject(k, j);
            if (o.index >= 0x1BFF) break;
            if (Between(o.index, 0x1800, 0x19FF) && o.subindex == 1 && !(o.value & kCoCobIdBit31)) {
                any = CANOpen_Queue(o.value & kCoCobIdMask, 0, nullptr, true) || any;
            }
        }
        if (any) n.flags |= kTpdoRequested;
    }
    if (ErrChk() == 0) Next();
}

int Find(u8 id) {
    for (int k = 0; k < g.count; ++k) {
        if (g.node[k].id == id) return k;
    }
    return -1;
}

// A node reports a state that is not the network's.
void CheckState(Node& n) {
    const u8 own = CANOpen_NmtState();
    if (n.nmtState != own && n.nmtState != 0 && n.status != kCoNodeKeptAlive && n.step > kCoStepErrorCheck) {
        n.status = kCoNodeWrongState;
    }
}

}  // namespace

void CoMaster_Init(const CoTable& table, bool master, u8 startupFlags, u32 statusRegister, bool iecMode) {
    // A client request of the old network is not ours to finish.
    if (g.clientMine) CoSdo_ClientClear();
    g = State{};
    w.haveCrc = true;
    w.crc = copendnet_tbl.Crc();
    if (!master) return;
    g.active = true;
    g.table = table;
    g.startupFlags = startupFlags;
    g.statusRegister = statusRegister;
    g.iecMode = iecMode;
    g.consuming = (startupFlags & kCoStartConsumeHeartbeat) != 0;
    g.count = table.NodeCount();
    const u32 now = FPGA_GetFrt();
    for (int k = 0; k < g.count; ++k) {
        Node& n = g.node[k];
        n.timeMs = table.RowU16(k, kRowTime);
        n.id = table.RowU8(k, kRowNodeId);
        n.lastSeen = now;
        if (RowFlags(k) & kCoRowKeepAlive) g.resetAll = false;
    }
}

bool CoMaster_InitialTpdo(const CoTable& table, bool master) {
    if (!master) return false;
    for (int k = 0; k < table.NodeCount(); ++k) {
        if (table.RowU8(k, kRowBootFlags) & kBootSoftwareNoError) return true;
    }
    return false;
}

bool CoMaster_Active() { return g.active; }
bool CoMaster_ConsumesHeartbeats() { return g.active && g.consuming; }

void CoMaster_Supervise() {
    if (!g.active) return;
    const u32 now = FPGA_GetFrt();
    for (int k = 0; k < g.count; ++k) {
        Node& n = g.node[k];
        if (n.timeMs == 0 || static_cast<i32>(now - n.lastSeen) <= static_cast<i32>(n.timeMs) * 10) continue;
        if (g.consuming) {
            n.status = kCoNodeHeartbeatLost;
            n.nmtState = kStateUnknown;
            n.lastSeen = now;
            CANOpen_StatusBits(kCoStatusHeartbeatLost, true);
        } else if (++n.retries > g.table.RowU8(k, kRowLifeFactor)) {
            n.status = kCoNodeGuardingLost;
            n.nmtState = kStateUnknown;
            n.retries = 0;
            n.lastSeen = now;
        } else {
            GuardSend(k);
        }
    }
}

void CoMaster_NodeFrame(u8 id, u8 data0, bool remote) {
    if (!g.active || remote) return;
    const int k = Find(id);
    if (g.consuming) {
        if (k >= 0) {
            Node& n = g.node[k];
            if (n.status == kCoNodeHeartbeatLost || n.status == kCoNodeKeptAlive) {
                CANOpen_StatusBits(kCoStatusHeartbeatLost, false);
            }
            if (n.status == kCoNodeHeartbeatLost) n.status = kCoNodeBooted;
            n.lastSeen = FPGA_GetFrt();
            n.nmtState = data0 & 0x7F;
            if (!g.nmtJustSent) CheckState(n);
        }
        g.nmtJustSent = false;
        return;
    }
    if (k < 0) return;
    Node& n = g.node[k];
    if (n.status == kCoNodeGuardingLost) n.status = kCoNodeBooted;
    n.nmtState = data0 & 0x7F;
    n.flags = static_cast<u8>((n.flags & ~kGuardOutstanding) | kGuardAnswered);
    n.retries = 0;
    CheckState(n);
}

bool CoMaster_Watched(u32 id) {
    if (!g.active) return false;
    const u8 s = CANOpen_NmtState();
    if (s != kNmtOperational && s != kNmtPreOperational) return false;
    for (int k = 0; k < g.count; ++k) {
        const u32 watched = g.table.RowU32(k, kRowWatchedId);
        if (watched != 0 && watched == id && (BootFlags(k) & kBootWatch) && g.node[k].step == kCoStepRun) {
            g.node[k].status = kCoNodeWatchedId;
            return true;
        }
    }
    return false;
}

void CoMaster_ClientAnswered() {
    if (!g.active || !g.clientMine || g.count == 0) return;
    const u8 s = g.node[g.current].step;
    if (s >= 2 && s <= 15) BootSlave();
}

void CoMaster_NmtSent() { g.nmtJustSent = true; }

bool CoMaster_TableDownload() {
    if (CANOpen_dwnld) {
        if (!w.holding && g.active) CANOpenNMTSend(0, kNmtEnterPreOperational);
        w.holding = true;
        CANOpen_SetNmtState(kNmtPreOperational);
        return true;
    }
    const u16 crc = copendnet_tbl.Crc();
    if (!w.haveCrc) {
        w.haveCrc = true;
        w.crc = crc;
    } else if (crc != w.crc) {
        w.crc = crc;
        w.holding = true;
    }
    if (!w.holding) return false;
    // The old network stays held until the new table takes over.
    if (Cmd_Downloading) return true;
    NodeId_Flag = 0;
    w.holding = false;
    CANOpen_Restart();
    return false;
}

void CoMaster_Step() {
    if (!g.active || g.count == 0) return;
    const int k = g.current;
    Node& n = g.node[k];
    if (!(RowFlags(k) & kCoRowSlave)) {
        n.status = kCoNodeNotASlave;
        Next();
    } else {
        switch (n.step) {
            case kCoStepReset: Reset(); break;
            case kCoStepErrorCheck:
                n.step = kCoStepStart;
                if (ErrChk()) return;  // the network was reset or stopped
                Next();
                break;
            case kCoStepStart: Start(); break;
            case kCoStepRun: Run(); break;
            case kCoStepGivenUp: Next(); break;
            default: BootSlave(); break;
        }
    }
    if (g.active) WriteNodeStatus(g.current);
}

u8 CoMaster_NodeStatus(u8 id) {
    const int k = g.active ? Find(id) : -1;
    return k < 0 ? kCoNodeNotBooted : g.node[k].status;
}

u8 CoMaster_NodeStep(u8 id) {
    const int k = g.active ? Find(id) : -1;
    return k < 0 ? 0 : g.node[k].step;
}

bool CoMaster_ClientBusy() { return g.clientMine && CoSdo_ClientPending(); }

bool CoMaster_SdoClient(u8 id, CoSdoEntry* entry) {
    const int k = g.active ? Find(id) : -1;
    if (k < 0) return false;
    *entry = ClientEntry(k);
    return true;
}

void CoMaster_Reset() {
    g = State{};
    w = DownloadWatch{};
}
