#include "io/canopen_pdo.h"

#include <cstring>
#include <initializer_list>

#include "io/canopen.h"
#include "io/canopen_od.h"
#include "io/canopen_sdo.h"
#include "platform/fpga.h"

namespace {

// TPDO flags.
constexpr u8 kTpDynamic = 0x01, kTpRemoteRequest = 0x04, kTpInhibitOver = 0x08, kTpInitialDone = 0x20;
// RPDO flags.
constexpr u8 kRpSynchronous = 0x01, kRpWaiting = 0x02, kRpDynamic = 0x04;

constexpr u8 kTypeLastSynchronous = 252;
constexpr u8 kTypeAsyncOnChange = 254, kTypeAsyncTrigger = 255;

struct Tpdo {
    u32 cobId = 0;
    u32 lastTx = 0;
    u32 eventStart = 0;
    u32 inhibit = 0;  // ticks
    u32 event = 0;    // ticks
    u8 last[8] = {};
    u8 type = 0;
    u8 syncCount = 0;
    u16 first = 0;  // first mapping entry: in the table section, or in the dynamic map
    u8 count = 0;
    u8 flags = 0;
    u32 trigger = 0;       // register bit or IEC reference of the type-255 trigger bit
    u8 staticCount = 0;    // the table's object count
};

struct Rpdo {
    u32 cobId = 0;
    u8 data[8] = {};
    u16 first = 0;
    u8 count = 0;
    u8 flags = 0;
    u8 length = 0;  // of the last frame
    u8 staticCount = 0;
};

struct MapEntry {
    u32 word = 0;
    u32 ref = 0;
};

struct State {
    CoTable table;
    CoPdoSetup setup;
    int tpdos = 0, rpdos = 0;
    Tpdo tpdo[kCoMaxPdos + 1];
    Rpdo rpdo[kCoMaxPdos + 1];
    MapEntry dyn[kCoDynamicMapEntries];
    u32 nextFree = 0;
    u32 status = 0;
    u16 tpdoError = 0, rpdoError = 0;
};
State g;

constexpr u32 kAbortUnsupported = kSdoAbortUnsupported, kAbortReadOnly = kSdoAbortReadOnly,
              kAbortCannotMap = kSdoAbortCannotMap, kAbortNoSubindex = kSdoAbortNoSubindex;

MapEntry Entry(bool tx, bool dynamic, u32 first, u32 j) {
    if (dynamic) return first + j < kCoDynamicMapEntries ? g.dyn[first + j] : MapEntry{};
    return {g.table.PdoMapWord(tx, first + j, g.setup.iecLayout), g.table.PdoMapRef(tx, first + j, g.setup.iecLayout)};
}

// Where a mapping entry's value lives, and its length in bits (1-32).
// Lengths of 0 or 33-63 bits are refused: no PDO field holds them.
bool Resolve(const MapEntry& e, u32* target, u32* length) {
    const u16 index = static_cast<u16>(e.word >> 16);
    const u8 sub = static_cast<u8>(e.word >> 8);
    *length = e.word & 0x3F;
    if (*length == 0 || *length > 32) return false;
    if (!g.setup.iecLayout) {
        u8 width = 0;
        return CANOpenGetODEntry(index, sub, target, &width) == 1;
    }
    if (!(g.setup.mapEnable & 1)) {
        *target = e.ref;
        return CoIsIecRef(e.ref);
    }
    // The PDO map register rule: indices below 0xA584 would address bytes
    // before the register, so they are refused.
    if (!CoIsIecRef(g.setup.mapRegister) || index < 0xA584 || index > 0xA5A8 || sub == 0) return false;
    *target = g.setup.mapRegister + 254u * (index - 0xA584u) + sub - 1u;
    return CoIsIecRef(*target);
}

void TpdoFail(int k, u32 bit) {
    g.status |= bit;
    g.tpdoError = static_cast<u16>(k);
}
void RpdoFail(int k, u32 bit) {
    g.status |= bit;
    g.rpdoError = static_cast<u16>(k);
}

bool Send(const Tpdo& t, const u8* data, int length) {
    return CANOpen_Queue(t.cobId & kCoCobIdMask, static_cast<u8>(length), data, false);
}

// A pending remote request or initial transmission, consumed.
bool Asked(Tpdo& t) {
    if ((t.flags & kTpRemoteRequest) && !(t.cobId & kCoCobIdBit30)) {
        t.flags &= ~kTpRemoteRequest;
        return true;
    }
    if (!(t.flags & kTpInitialDone)) {
        t.flags |= kTpInitialDone;
        return true;
    }
    return false;
}

bool IsSynchronous(const Tpdo& t) { return t.type <= kTypeLastSynchronous; }

void LoadTpdo(int k, u32* entry) {
    Tpdo& t = g.tpdo[k];
    t = Tpdo{};
    t.cobId = g.table.PdoCobId(true, k);
    t.first = static_cast<u16>(*entry);
    t.count = t.staticCount = g.table.PdoObjects(true, k);
    *entry += t.count;
    const u32 comm = g.table.PdoCommOffset(true, k, g.setup.iecLayout);
    t.type = g.table.U8(comm);
    t.inhibit = g.table.U16(comm + 4);
    t.event = static_cast<u32>(g.table.U16(comm + 6)) * 10;
    t.trigger = g.setup.iecLayout ? g.table.U32(comm + 8) : g.table.U32(comm) >> 8;
    t.flags = static_cast<u8>(kTpInhibitOver | (g.setup.initialTx ? 0 : kTpInitialDone));
    t.lastTx = t.eventStart = FPGA_GetFrt();
}

void LoadRpdo(int k, u32* entry) {
    Rpdo& r = g.rpdo[k];
    r = Rpdo{};
    r.cobId = g.table.PdoCobId(false, k);
    r.first = static_cast<u16>(*entry);
    r.count = r.staticCount = g.table.PdoObjects(false, k);
    *entry += r.count;
    if (g.table.U8(g.table.PdoCommOffset(false, k, g.setup.iecLayout)) < 0xFC) r.flags |= kRpSynchronous;
}

void TransmitSynchronous() {
    for (int k = 0; k < g.tpdos; ++k) {
        Tpdo& t = g.tpdo[k];
        if (!IsSynchronous(t) || (t.cobId & kCoCobIdBit31)) continue;
        u8 data[8];
        int n = 0;
        bool send = false;
        if (t.type == 0) {
            n = CANOpenTPDOCompose(k, data);
            if (n == 0) continue;
            if (std::memcmp(data, t.last, 8) != 0) {
                std::memcpy(t.last, data, 8);
                send = true;
            } else {
                send = Asked(t);
            }
        } else if (t.type < kTypeLastSynchronous && t.syncCount >= t.type) {
            t.syncCount = 0;
            send = true;
        } else {
            send = Asked(t);
        }
        if (!send) continue;
        if (n == 0 && (n = CANOpenTPDOCompose(k, data)) == 0) continue;
        if (!Send(t, data, n)) return;
    }
}

void TransmitAsynchronous() {
    const u32 now = FPGA_GetFrt();
    for (int k = 0; k < g.tpdos; ++k) {
        Tpdo& t = g.tpdo[k];
        if (IsSynchronous(t) || (t.cobId & kCoCobIdBit31)) continue;
        if (t.inhibit == 0 || now - t.lastTx > t.inhibit) t.flags |= kTpInhibitOver;
        if (!(t.flags & kTpInhibitOver)) continue;
        u8 data[8];
        int n = 0;
        bool send = false;
        if (t.type >= kTypeAsyncOnChange && t.event != 0 && now - t.eventStart > t.event) {
            n = CANOpenTPDOCompose(k, data);
            if (n == 0) continue;
            if (t.type == kTypeAsyncOnChange) std::memcpy(t.last, data, 8);
            t.eventStart = now;
            send = true;
        } else if (t.type == kTypeAsyncOnChange) {
            n = CANOpenTPDOCompose(k, data);
            if (n == 0) continue;
            if (std::memcmp(data, t.last, 8) != 0) {
                std::memcpy(t.last, data, 8);
                send = true;
            } else {
                send = Asked(t);
            }
        } else if (t.type == kTypeAsyncTrigger) {
            u32 bit = 0;
            if (CANOpenGetData(&bit, 0xA000, 1, t.trigger) && bit == 1) {
                CANOpenSetData(0, 0xA480, 1, t.trigger);
                send = true;
            } else {
                send = Asked(t);
            }
        } else {
            send = Asked(t);
        }
        if (!send) continue;
        if (n == 0 && (n = CANOpenTPDOCompose(k, data)) == 0) continue;
        if (!Send(t, data, n)) return;
        t.lastTx = now;
        t.flags &= ~kTpInhibitOver;
    }
}

// Sum of the mapping lengths of the first n entries of a dynamic block, 0
// when one of them cannot be mapped.
u32 MappedBits(u32 first, u32 n) {
    u32 bits = 0;
    for (u32 j = 0; j < n; ++j) {
        u32 target = 0, length = 0;
        if (first + j >= kCoDynamicMapEntries || !Resolve(g.dyn[first + j], &target, &length)) return 0;
        bits += length;
    }
    return bits;
}

// The mapping parameter of one PDO (dynamic mapping). PDO fields by
// reference, so TPDOs and RPDOs share it.
struct MapView {
    bool tx;
    u16& first;
    u8& count;
    u8& staticCount;
    u8& flags;
    u8 dynamicFlag;
};

u32 MappingObject(MapView v, u8 sub, bool write, u8* data, u16* length) {
    const bool dynamic = v.flags & v.dynamicFlag;
    if (sub > kCoMaxPdoObjects) return kAbortNoSubindex;
    if (!write) {
        if (sub == 0) return CoSdo_Answer(data, length, v.count, 1);
        if (sub > v.count) return kAbortNoSubindex;
        return CoSdo_Answer(data, length, Entry(v.tx, dynamic, v.first, sub - 1u).word, 4);
    }
    if (sub == 0) {
        if (u32 e = CoSdo_WriteLength(*length, 1)) return e;
        const u8 n = data[0];
        if (n == 0) {
            v.count = 0;
            return 0;
        }
        if (n > kCoMaxPdoObjects) return kAbortCannotMap;
        if (!dynamic) {
            if (n > v.staticCount) return kAbortCannotMap;
            v.count = n;
            return 0;
        }
        const u32 bits = MappedBits(v.first, n);
        if (bits == 0 || bits > 64) return kAbortCannotMap;
        v.count = n;
        return 0;
    }
    if (u32 e = CoSdo_WriteLength(*length, 4)) return e;
    MapEntry entry{GetLe32(data), 0};
    u32 target = 0, bits = 0;
    if (!Resolve(entry, &target, &bits)) return kAbortCannotMap;
    if (!dynamic) {
        // The first rewritten entry moves the static mapping into a block
        // of the dynamic map, which serves the PDO from now on.
        if (g.nextFree + kCoDynamicBlock > kCoDynamicMapEntries) return kAbortCannotMap;
        for (u32 j = 0; j < v.staticCount; ++j) g.dyn[g.nextFree + j] = Entry(v.tx, false, v.first, j);
        v.first = static_cast<u16>(g.nextFree);
        g.nextFree += kCoDynamicBlock;
        v.flags |= v.dynamicFlag;
    }
    g.dyn[v.first + sub - 1u] = entry;
    if (v.count != 0) {
        const u32 total = MappedBits(v.first, v.count);
        if (total == 0 || total > 64) {
            v.count = 0;
            return kAbortCannotMap;
        }
    }
    return 0;
}

u32 RpdoComm(int n, u8 sub, bool write, u8* data, u16* length) {
    Rpdo& r = g.rpdo[n];
    switch (sub) {
        case 0:
            return write ? kAbortReadOnly : CoSdo_Answer(data, length, 2, 1);
        case 1:
            return write ? CoSdo_WriteCobId(data, *length, &r.cobId) : CoSdo_Answer(data, length, r.cobId, 4);
        case 2:
            if (!write) return CoSdo_Answer(data, length, (r.flags & kRpSynchronous) ? 0 : 0xFE, 1);
            if (u32 e = CoSdo_WriteLength(*length, 1)) return e;
            r.flags = static_cast<u8>(data[0] >= 0xFC ? (r.flags & ~kRpSynchronous) : (r.flags | kRpSynchronous));
            return 0;
        default:
            return kAbortNoSubindex;
    }
}

u32 TpdoComm(int n, u8 sub, bool write, u8* data, u16* length) {
    Tpdo& t = g.tpdo[n];
    switch (sub) {
        case 0:
            return write ? kAbortReadOnly : CoSdo_Answer(data, length, 5, 1);
        case 1:
            return write ? CoSdo_WriteCobId(data, *length, &t.cobId) : CoSdo_Answer(data, length, t.cobId, 4);
        case 2:
            if (!write) return CoSdo_Answer(data, length, t.type, 1);
            if (u32 e = CoSdo_WriteLength(*length, 1)) return e;
            t.type = data[0];
            return 0;
        case 3:
            if (!write) return CoSdo_Answer(data, length, t.inhibit, 2);
            if (u32 e = CoSdo_WriteLength(*length, 2)) return e;
            t.inhibit = GetLe16(data);
            return 0;
        case 4:
            return write ? kAbortReadOnly : CoSdo_Answer(data, length, 0, 1);
        case 5:
            if (!write) return CoSdo_Answer(data, length, t.event / 10, 2);
            if (u32 e = CoSdo_WriteLength(*length, 2)) return e;
            t.event = static_cast<u32>(GetLe16(data)) * 10;
            t.eventStart = FPGA_GetFrt();
            return 0;
        default:
            return kAbortNoSubindex;
    }
}

// A new PDO created by a write to the first index past the count.
void CreateTpdo(int n) {
    g.tpdo[n] = Tpdo{};
    g.tpdo[n].cobId = kCoCobIdBit31;
    g.tpdo[n].type = kTypeAsyncOnChange;
    g.tpdo[n].flags = kTpInhibitOver | kTpInitialDone;
    g.tpdo[n].lastTx = g.tpdo[n].eventStart = FPGA_GetFrt();
}

}  // namespace

void CoPdo_Init(const CoTable& table, const CoPdoSetup& setup) {
    g = State{};
    g.table = table;
    g.setup = setup;
    g.tpdos = table.PdoCount(true);
    g.rpdos = table.PdoCount(false);
    u32 entry = 0;
    for (int k = 0; k < g.tpdos; ++k) LoadTpdo(k, &entry);
    entry = 0;
    for (int k = 0; k < g.rpdos; ++k) LoadRpdo(k, &entry);
}

int CANOpenTPDOCompose(int k, u8* data) {
    if (k < 0 || k >= g.tpdos) return 0;
    const Tpdo& t = g.tpdo[k];
    if (t.count == 0) {
        TpdoFail(k, kCoStatusTpdoEmpty);
        return 0;
    }
    if (t.count > kCoMaxPdos) return 0;
    std::memset(data, 0, 8);
    u32 position = 0;
    for (u32 j = 0; j < t.count; ++j) {
        const MapEntry e = Entry(true, t.flags & kTpDynamic, t.first, j);
        u32 target = 0, length = 0;
        if (!Resolve(e, &target, &length)) {
            // A length no PDO field holds is a length error, not a mapping
            // error.
            const u32 l = e.word & 0x3F;
            TpdoFail(k, (l == 0 || l > 32) ? kCoStatusTpdoLength : kCoStatusTpdoMapping);
            return 0;
        }
        if (position + length > 64) {
            TpdoFail(k, kCoStatusTpdoLength);
            return 0;
        }
        u32 value = 0;
        if (!CANOpenGetData(&value, static_cast<u16>(e.word >> 16), length, target)) {
            TpdoFail(k, kCoStatusTpdoRead);
            return 0;
        }
        CoPutMsgData(data, position, length, value);
        position += length;
    }
    if (g.tpdoError == k) g.status &= ~0x3E00u;
    return static_cast<int>((position + 7) / 8);
}

void CANOpenRPDOExtract(int k, u8 count, const u8* data, u8 dataLength) {
    if (k < 0 || k >= g.rpdos) return;
    const Rpdo& r = g.rpdo[k];
    if (count == 0) {
        RpdoFail(k, kCoStatusRpdoEmpty);
        return;
    }
    if (count > kCoMaxPdos) return;
    u32 position = 0;
    for (u32 j = 0; j < count; ++j) {
        const MapEntry e = Entry(false, r.flags & kRpDynamic, r.first, j);
        u32 target = 0, length = 0;
        if (!Resolve(e, &target, &length)) {
            RpdoFail(k, kCoStatusRpdoMapping);
            return;
        }
        // The whole field must be inside the frame before anything of it
        // is read.
        if (position + length > 64 || position + length > 8u * dataLength) {
            RpdoFail(k, kCoStatusRpdoLength);
            return;
        }
        const u32 value = CANOpenGetMsgData(data, position, length);
        position += length;
        if (!CANOpenSetData(value, static_cast<u16>(e.word >> 16), length, target)) {
            RpdoFail(k, kCoStatusRpdoWrite);
            return;
        }
        if (g.rpdoError == k) g.status &= ~0x1F0u;
    }
}

void CoPdo_Transmit(bool syncConfigured, bool windowOpen) {
    if (syncConfigured && windowOpen) TransmitSynchronous();
    TransmitAsynchronous();
}

bool CoPdo_Receive(const CanMsg& m) {
    for (int k = 0; k < g.rpdos; ++k) {
        Rpdo& r = g.rpdo[k];
        if ((r.cobId & kCoCobIdBit31) || (r.cobId & kCoCobIdMask) != m.id) continue;
        if (m.length == 0) {
            RpdoFail(k, kCoStatusRpdoLength);
            return true;
        }
        r.length = m.length > 8 ? 8 : m.length;
        if (r.flags & kRpSynchronous) {
            std::memcpy(r.data, m.data, 8);
            r.flags |= kRpWaiting;
        } else {
            CANOpenRPDOExtract(k, r.count, m.data, r.length);
        }
        return true;
    }
    return false;
}

bool CoPdo_RemoteRequest(u32 id) {
    for (int k = 0; k < g.tpdos; ++k) {
        Tpdo& t = g.tpdo[k];
        if ((t.cobId & kCoCobIdMask) == id && !(t.cobId & kCoCobIdBit30)) {
            t.flags |= kTpRemoteRequest;
            return true;
        }
    }
    return false;
}

void CoPdo_SyncCount() {
    for (int k = 0; k < g.tpdos; ++k) {
        Tpdo& t = g.tpdo[k];
        if (IsSynchronous(t) && t.type != 0 && t.syncCount < 255) ++t.syncCount;
    }
}

void CoPdo_SyncApply() {
    for (int k = 0; k < g.rpdos; ++k) {
        Rpdo& r = g.rpdo[k];
        if ((r.flags & kRpSynchronous) && (r.flags & kRpWaiting)) {
            r.flags &= ~kRpWaiting;
            CANOpenRPDOExtract(k, r.count, r.data, r.length);
        }
    }
}

u32 CoPdo_Status() { return g.status; }
u16 CoPdo_TpdoError() { return g.tpdoError; }
u16 CoPdo_RpdoError() { return g.rpdoError; }
bool CoPdo_IecMode() { return g.setup.iecLayout; }

u32 CoPdo_Object(u16 index, u8 sub, bool write, u8* data, u16* length) {
    const bool tx = index >= 0x1800;
    const bool mapping = (index & 0x0200) != 0;
    const int n = index & 0x1FF;
    int& count = tx ? g.tpdos : g.rpdos;
    if (n > count || (n == count && (mapping || !write || n >= kCoMaxPdos))) return kAbortUnsupported;
    if (mapping) {
        if (tx) {
            Tpdo& t = g.tpdo[n];
            return MappingObject({true, t.first, t.count, t.staticCount, t.flags, kTpDynamic}, sub, write, data, length);
        }
        Rpdo& r = g.rpdo[n];
        return MappingObject({false, r.first, r.count, r.staticCount, r.flags, kRpDynamic}, sub, write, data, length);
    }
    const bool create = n == count;
    if (create) {
        if (tx) {
            CreateTpdo(n);
        } else {
            g.rpdo[n] = Rpdo{};
            g.rpdo[n].cobId = kCoCobIdBit31;
        }
    }
    const u32 abort = tx ? TpdoComm(n, sub, write, data, length) : RpdoComm(n, sub, write, data, length);
    if (create && abort == 0) ++count;
    return abort;
}

int CoPdo_IecTarget(u16 index, u8 sub, u32* target) {
    if (!g.setup.iecLayout) return 0;
    if (g.setup.mapEnable & 1) {
        u32 length = 0;
        return Resolve({(static_cast<u32>(index) << 16) | (static_cast<u32>(sub) << 8) | 16u, 0}, target, &length);
    }
    const u32 key = (static_cast<u32>(index) << 16) | (static_cast<u32>(sub) << 8);
    for (bool tx : {true, false}) {
        const int pdos = tx ? g.tpdos : g.rpdos;
        for (int k = 0; k < pdos; ++k) {
            const bool dynamic = tx ? (g.tpdo[k].flags & kTpDynamic) : (g.rpdo[k].flags & kRpDynamic);
            const u16 first = tx ? g.tpdo[k].first : g.rpdo[k].first;
            const u8 n = tx ? g.tpdo[k].count : g.rpdo[k].count;
            for (u32 j = 0; j < n; ++j) {
                const MapEntry e = Entry(tx, dynamic, first, j);
                if ((e.word & 0xFFFFFF00u) == key && CoIsIecRef(e.ref)) {
                    *target = e.ref;
                    return 1;
                }
            }
        }
    }
    return 0;
}

void CoPdo_Reset() { g = State{}; }
