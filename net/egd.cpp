#include "net/egd.h"

#include <cstring>

#include "platform/fpga.h"
#include "platform/root.h"

EGDConn EGDConnEth[4];

namespace {

constexpr u8 kEgdType = 13, kEgdVersion = 1;

// One datagram being produced, with room for an item whose bits do not start
// on a byte.
struct State {
    u8 datagram[(kEgdMaxDatagram > kNxReceiveMax ? kEgdMaxDatagram : kNxReceiveMax) + 8] = {};
    u8 item[2048 + 8] = {};
};
State g;

// What an exchange resolves to in this call.
struct Resolved {
    bool ok = false;  // runs: identifier and group valid, address not 0
    u32 id = 0;
    u32 address = 0;
    u32 group = 0;
    u16 badBits = 0;  // status bits 8 and 0x10 that skip it
};

u32 ReadReg(u32 reg, u16 bits) {
    u8 b[4] = {};
    if (reg == 0 || !Dpr_Data_Block(reg, bits, b, 0, 0)) return 0;
    return bits == 16 ? GetLe16(b) : GetLe32(b);
}

bool Producer(const EgdExchange& x) { return (x.head[0] & kEgdProducer) != 0; }

// Exchanges of the list: it ends at the first record whose flags word is 0.
u32 ExchangeCount(int port) {
    const EnetPortConfig& c = Dpr_Configuration[port];
    u32 n = 0;
    while (n < kEgdExchanges && c.egd[n].head[0] != 0) ++n;
    return n;
}

u32 ItemCount(const EgdExchange& x) {
    u32 n = 0;
    while (n < kEgdItemPairs && x.items[n][0] != 0) ++n;
    return n;
}

Resolved Resolve(int port, u32 k) {
    const EgdExchange& x = Dpr_Configuration[port].egd[k];
    const u32 flags = x.head[0];
    Resolved r;
    r.id = x.head[1];
    if (flags & kEgdIdReg) {
        r.id = ReadReg(x.head[1], 16);
        if (r.id == 0 || r.id > 16383) r.badBits |= kEgdBadId;
    }
    if (flags & kEgdGroupReg) {
        r.group = ReadReg(Producer(x) ? x.head[2] : x.head[3], 16);
        if (r.group == 0 || r.group > kEgdGroups) r.badBits |= kEgdBadGroup;
    }
    if (flags & kEgdAddrReg) r.address = ReadReg(x.head[2], 32);
    else if (Producer(x) && (flags & kEgdGroupReg)) r.address = kEgdGroupBase + r.group;
    else r.address = x.head[2];
    r.ok = r.badBits == 0 && r.address != 0 && !EGDConnEth[port].disabled[k];
    return r;
}

// The status word of an exchange to each status register it names.
void WriteStatus(int port, u32 k) {
    const EgdExchange& x = Dpr_Configuration[port].egd[k];
    u32 index = EGDConnEth[port].statusIndex[k];
    for (u32 i = 0, n = ItemCount(x); i < n; ++i)
        if (EgdItemKind(x.items[i][1]) == kEgdStatus) Dpr_Set_Egd_Status(EGDConnEth[port].status[k], index++);
}

bool ValidItem(u32 reference, u32 bits) {
    DprRequest q{reference, bits};
    return EtnValidateReq(&q) == 0;
}

// Item checks, datagram bound and status register numbering of the list.
void Prepare(int port) {
    EGDConn& b = EGDConnEth[port];
    const EnetPortConfig& c = Dpr_Configuration[port];
    u32 index = 0;
    for (int i = 0; i < port; ++i) index += Dpr_Configuration[i].tail.egdStatusCount;
    for (u32 k = 0, n = ExchangeCount(port); k < n; ++k) {
        const EgdExchange& x = c.egd[k];
        b.statusIndex[k] = static_cast<u16>(index > 0xFFFF ? 0xFFFF : index);
        bool ok = true;
        u32 produced = kEgdHeaderBytes;
        for (u32 i = 0, m = ItemCount(x); i < m; ++i) {
            const u32 ref = x.items[i][0], desc = x.items[i][1], size = EgdItemSize(desc);
            switch (EgdItemKind(desc)) {
                case kEgdData:
                    ok = ok && ValidItem(ref, 8 * size);
                    produced += size;
                    break;
                case kEgdDate: ok = ok && ValidItem(ref, 7 * 16); break;
                case kEgdStamp: ok = ok && ValidItem(ref, 64); break;
                case kEgdStatus:
                    ok = ok && ValidItem(ref, 16);
                    ++index;
                    break;
                default: break;
            }
        }
        if (Producer(x) && produced > kEgdMaxDatagram) ok = false;
        b.disabled[k] = ok ? 0 : 1;
    }
}

bool Joined(const NxIp* ip, u32 group) {
    for (u32 i = 0; i < ip->groupCount; ++i)
        if (ip->groups[i] == group) return true;
    return false;
}

void EgdFlush(EGDConn& b) {
    NxPacket* p = nullptr;
    while (b.receiveCreated && _nx_udp_socket_receive(&b.receiveSocket, &p, 0) == NX_SUCCESS) _nx_packet_release(p);
}

// Leaves every group joined on the interface; a membership whose socket is
// gone is forgotten.
void LeaveGroups(EGDConn& b) {
    NxIp* ip = b.ip;
    while (ip->groupCount > 0) {
        u32 before = ip->groupCount;
        _nx_igmp_multicast_leave(ip, ip->groups[0], &b.receiveSocket);
        if (ip->groupCount == before) ip->groups[0] = ip->groups[--ip->groupCount];
    }
}

void EgdConfig(int port) {
    EGDConn& b = EGDConnEth[port];
    NxIp* ip = b.ip;
    LeaveGroups(b);
    if (!b.receiveSocket.bound) _nx_udp_socket_bind(&b.receiveSocket, kEgdPort, 0);
    Prepare(port);
    EnetPortConfig& c = Dpr_Configuration[port];
    for (u32 k = 0, n = ExchangeCount(port); k < n; ++k) {
        EgdExchange& x = c.egd[k];
        const u32 flags = x.head[0];
        if (!(flags & kEgdMulticast)) continue;
        if (Producer(x)) {
            if (!(flags & (kEgdGroupReg | kEgdAddrReg)) && x.head[2] >= 1 && x.head[2] <= kEgdGroups)
                x.head[2] += kEgdGroupBase;
            continue;
        }
        u32 group = x.head[3];
        if (flags & kEgdGroupReg) {
            group = ReadReg(x.head[3], 16);
            b.groupsRead[k] = group;
        }
        if (group >= 1 && group <= kEgdGroups && !Joined(ip, kEgdGroupBase + group))
            _nx_igmp_multicast_join(ip, kEgdGroupBase + group, &b.receiveSocket);
    }
}

bool GroupRegisterChanged(int port) {
    const EnetPortConfig& c = Dpr_Configuration[port];
    for (u32 k = 0, n = ExchangeCount(port); k < n; ++k) {
        const EgdExchange& x = c.egd[k];
        if (Producer(x) || !(x.head[0] & kEgdGroupReg)) continue;
        if (ReadReg(x.head[3], 16) != EGDConnEth[port].groupsRead[k]) return true;
    }
    return false;
}

// Moves one item between a datagram and the registers, producing into it or
// consuming from it, and answers the datagram offset after the item (the
// caller has checked that the datagram holds it). A status item writes the
// exchange's status word to the next of its status registers.
u32 EgdMoveData(u8* d, const u32 item[2], u32 at, bool produce, int port, u32 k, u32* statusIndex) {
    EGDConn& b = EGDConnEth[port];
    const u32 ref = item[0], desc = item[1], size = EgdItemSize(desc);
    switch (EgdItemKind(desc)) {
        case kEgdData:
            // Bits that do not start on a byte reach one byte further.
            std::memset(g.item, 0, size + 1);
            if (produce) {
                Dpr_Data_Block(ref, static_cast<u16>(8 * size), g.item, 0, 0);
                std::memcpy(d + at, g.item, size);
            } else {
                std::memcpy(g.item, d + at, size);
                Dpr_Data_Block(ref, static_cast<u16>(8 * size), g.item, 1, 0);
            }
            return at + size;
        case kEgdDate:
            if (!produce) {
                u16 date[7];
                Egd_DateOf(GetLe32(d + 12), GetLe32(d + 16), date);
                u8 words[14];
                for (int w = 0; w < 7; ++w) PutLe16(words + 2 * w, date[w]);
                Dpr_Data_Block(ref, 7 * 16, words, 1, 0);
            }
            return at;
        case kEgdStamp:
            if (!produce) {
                u8 stamp[8];
                std::memcpy(stamp, d + 12, 8);
                Dpr_Data_Block(ref, 64, stamp, 1, 0);
            }
            return at;
        case kEgdStatus: Dpr_Set_Egd_Status(b.status[k], (*statusIndex)++); return at;
        case kEgdSkip: return produce ? at : at + size;
        default: return at;
    }
}

void Produce(int port, u32 k, const Resolved& r) {
    EGDConn& b = EGDConnEth[port];
    const EgdExchange& x = Dpr_Configuration[port].egd[k];
    NxPacket* p = nullptr;
    if (b.pool == nullptr || _nx_packet_allocate(b.pool, &p, 0, 0) != NX_SUCCESS) return;  // skipped this time
    b.status[k] = kEgdRunning;
    u8* d = g.datagram;
    std::memset(d, 0, kEgdHeaderBytes);
    d[0] = kEgdType;
    d[1] = kEgdVersion;
    PutLe16(d + 2, b.request[k]);
    PutBe32(d + 4, b.ip->address);
    PutLe32(d + 8, r.id);
    u16 clock[6];
    for (int i = 0; i < 6; ++i) clock[i] = GetLe16(DprMap + kDprClock + 2 * i);
    PutLe32(d + 12, Egd_SecondsOf(clock));
    u32 at = kEgdHeaderBytes;
    u32 statusIndex = b.statusIndex[k];
    // Prepare bounds the datagram to one frame.
    for (u32 i = 0, n = ItemCount(x); i < n; ++i) at = EgdMoveData(d, x.items[i], at, true, port, k, &statusIndex);
    if (_nx_packet_data_append(p, d, at, b.pool, 0) != NX_SUCCESS) {
        _nx_packet_release(p);
        return;
    }
    // A datagram that could not go takes no request number, so that the
    // numbers a consumer sees follow each other from 0.
    if (_nx_udp_socket_send(&b.sendSocket, p, r.address, kEgdPort + static_cast<u32>(Root_PortOffset())) ==
        NX_SUCCESS)
        ++b.request[k];
}

// Bytes a consumer takes from a datagram after its header.
u32 ConsumedBytes(const EgdExchange& x) {
    u32 n = 0;
    for (u32 i = 0, m = ItemCount(x); i < m; ++i) {
        u32 kind = EgdItemKind(x.items[i][1]);
        if (kind == kEgdData || kind == kEgdSkip) n += EgdItemSize(x.items[i][1]);
    }
    return n;
}

void DeleteSockets(EGDConn& b) {
    if (b.sendCreated) _nx_udp_socket_delete(&b.sendSocket);
    if (b.receiveCreated) _nx_udp_socket_delete(&b.receiveSocket);
    b.sendCreated = b.receiveCreated = 0;
}

}  // namespace

u32 Egd_SecondsOf(const u16 clock[6]) {
    // The leap-year rule is every fourth year: right from 1970 to 2099, a day
    // ahead from March 2100 on (2100 is no leap year).
    const i64 second = clock[0], minute = clock[1], hour = clock[2], day = clock[3], month = clock[4],
              year = clock[5];
    const i64 k = year % 4 == 0 ? 1 : 2;
    const i64 days = day + 365 * year - 719051 + (year - 1969) / 4 + 31 * (month - 1) - (7 * month) / 16 -
                     k * ((month + 9) / 6 / 2);
    return static_cast<u32>(86400 * days + 3600 * hour + 60 * minute + second);
}

void Egd_DateOf(u32 seconds, u32 nanoseconds, u16 out[7]) {
    static const u16 kCommon[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};
    static const u16 kLeap[13] = {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366};
    u32 days = seconds / 86400, rest = seconds % 86400;
    u32 year = 1970;
    for (;;) {
        u32 length = year % 4 == 0 ? 366 : 365;
        if (days < length) break;
        days -= length;
        ++year;
    }
    const u16* table = year % 4 == 0 ? kLeap : kCommon;
    u32 month = 0;
    while (month < 11 && days >= table[month + 1]) ++month;
    out[0] = static_cast<u16>(rest % 60);
    out[1] = static_cast<u16>(rest / 60 % 60);
    out[2] = static_cast<u16>(rest / 3600);
    out[3] = static_cast<u16>(days - table[month] + 1);
    out[4] = static_cast<u16>(month + 1);
    out[5] = static_cast<u16>(year);
    out[6] = static_cast<u16>(nanoseconds / 1000000);
}

int Egd_Consume(int port, const u8* d, u32 n) {
    port &= 3;
    // No receive is longer than kNxReceiveMax: a longer one cannot have come.
    if (n < kEgdHeaderBytes || n > kNxReceiveMax) return -1;
    EGDConn& b = EGDConnEth[port];
    const u32 producer = GetBe32(d + 4), id = GetLe32(d + 8);
    for (u32 k = 0, count = ExchangeCount(port); k < count; ++k) {
        const EgdExchange& x = Dpr_Configuration[port].egd[k];
        if (Producer(x)) continue;  // a producer's registers are its own to send
        Resolved r = Resolve(port, k);
        if (!r.ok || r.address != producer || r.id != id) continue;
        if (ConsumedBytes(x) > n - kEgdHeaderBytes) return -1;  // does not fit: nothing written
        b.stamp[k] = _tx_time_get();
        u16 s = b.status[k] & ~(kEgdBadId | kEgdBadGroup);
        if (s == kEgdTimedOut || s == kEgdLinkDown) s = kEgdRecovered;
        else if (GetLe16(d + 20) & 2) s = kEgdProducerStatus;
        else s = kEgdRunning;
        b.status[k] = s;
        u32 at = kEgdHeaderBytes, statusIndex = b.statusIndex[k];
        std::memcpy(g.datagram, d, n);
        for (u32 i = 0, m = ItemCount(x); i < m; ++i)
            at = EgdMoveData(g.datagram, x.items[i], at, false, port, k, &statusIndex);
        return static_cast<int>(k);
    }
    return -1;
}

u32 Egd_Init(NxIp* ip, NxPacketPool* pool) {
    const int port = static_cast<int>(ip->index & 3);
    EGDConn& b = EGDConnEth[port];
    b.ip = ip;
    b.pool = pool;
    u32 r = _nx_udp_socket_create(ip, &b.sendSocket, "EGD Send Socket", 0, 0, 128, 5);
    if (r != NX_SUCCESS) return r;
    b.sendCreated = 1;
    if ((r = _nx_udp_socket_bind(&b.sendSocket, 0, 0)) != NX_SUCCESS) return r;
    if ((r = _nx_udp_socket_create(ip, &b.receiveSocket, "EGD Receive Socket", 0, 0, 128, 128)) != NX_SUCCESS)
        return r;
    b.receiveCreated = 1;
    if ((r = _nx_udp_socket_bind(&b.receiveSocket, kEgdPort, 0)) != NX_SUCCESS) return r;
    std::memset(b.request, 0, sizeof b.request);
    std::memset(b.status, 0, sizeof b.status);
    std::memset(b.groupsRead, 0, sizeof b.groupsRead);
    std::memset(b.stamp, 0, sizeof b.stamp);
    b.configurePending = 1;
    b.previousRun = 0;
    Prepare(port);
    Egd_Config(port);
    return 0;
}

void Egd_Config(int port) {
    port &= 3;
    EGDConn& b = EGDConnEth[port];
    if (b.ip == nullptr) return;
    if (!(Dpr_Configuration[port].flags.service & kSvcEgd)) {
        EgdFlush(b);
    } else if (b.ip->linkUp) {
        b.configurePending = 0;
        EgdConfig(port);
    } else {
        b.configurePending = 1;
    }
}

void Egd_Scan(int port) {
    port &= 3;
    EGDConn& b = EGDConnEth[port];
    if (b.ip == nullptr || !b.receiveCreated) return;
    if (!(Dpr_Configuration[port].flags.service & kSvcEgd)) {
        EgdFlush(b);
        return;
    }
    const u16 run = GetLe16(DprMap + kDprRunFlag);
    const bool link = b.ip->linkUp != 0;
    if (b.configurePending && run == 1 && link) {
        b.configurePending = 0;
        EgdConfig(port);
    } else if (!b.configurePending && GroupRegisterChanged(port)) {
        EgdConfig(port);
    }
    // Pending only for the link: the exchanges go on timing, so that each
    // reports the lost link at the end of its period or time-out.
    if (b.configurePending && !(run == 1 && !link)) return;
    if (run == 0) {
        b.configurePending = 1;
        b.previousRun = 0;
    }
    if (!link) b.configurePending = 1;
    if (run == 1 && b.previousRun == 0) Prepare(port);  // the list may be new with run mode

    const u32 now = _tx_time_get();
    for (u32 k = 0, count = ExchangeCount(port); k < count; ++k) {
        const EgdExchange& x = Dpr_Configuration[port].egd[k];
        const u32 flags = x.head[0];
        Resolved r = Resolve(port, k);
        if (flags & kEgdIdReg) {
            if (r.badBits & kEgdBadId) {
                b.status[k] |= kEgdBadId;
                WriteStatus(port, k);
                continue;
            }
            b.status[k] &= ~kEgdBadId;
        }
        if (flags & kEgdGroupReg) {
            if (r.badBits & kEgdBadGroup) {
                b.status[k] |= kEgdBadGroup;
                WriteStatus(port, k);
                continue;
            }
            b.status[k] &= ~kEgdBadGroup;
        }
        if (r.address == 0 || b.disabled[k]) continue;
        if (run == 1) {
            if (b.previousRun == 0) {
                b.stamp[k] = now;
                b.status[k] = kEgdStarted;
                WriteStatus(port, k);
            } else if (now - b.stamp[k] >= (Producer(x) ? x.head[3] : x.head[4])) {
                b.stamp[k] = now;
                if (!link) {
                    b.status[k] = kEgdLinkDown;
                    WriteStatus(port, k);
                } else if (Producer(x)) {
                    Produce(port, k, r);
                } else {
                    b.status[k] = kEgdTimedOut;
                    WriteStatus(port, k);
                }
            }
        }
        NxPacket* p = nullptr;
        if (_nx_udp_socket_receive(&b.receiveSocket, &p, 0) == NX_SUCCESS) {
            if (run == 1) Egd_Consume(port, p->dataStart, p->length);
            _nx_packet_release(p);
        }
    }
    b.previousRun = run;
}

void Egd_DeInit(NxIp* ip) {
    EGDConn& b = EGDConnEth[ip->index & 3];
    if (b.ip == ip) LeaveGroups(b);
    DeleteSockets(b);
}

u32 Egd_ConnCnt(int) { return 0; }

bool Egd_HasWork() { return false; }

void Egd_Reset() {
    for (EGDConn& b : EGDConnEth) {
        DeleteSockets(b);
        b = EGDConn{};
    }
}
