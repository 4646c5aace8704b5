#include "net/etnio.h"

#include <cstdio>
#include <cstring>

#include "core/io_chain.h"
#include "core/nvram.h"
#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "net/bootp.h"
#include "net/dpr.h"
#include "platform/fpga.h"

namespace {

constexpr u32 kReplyMs = 2000, kConnectMs = 1000, kRepeatMs = 3000, kCloseMs = 1000;
constexpr u32 kMaxRecords = 38;
constexpr u32 kRegLow = 0x400, kRegHigh = 0x10030FFF;
constexpr u32 kStartConfig = 256;
constexpr u32 kInStart = 9, kOutStart = 13;

struct State {
    EtnIoPortState eth[4];
    char names[kEtnIoAdapters][20] = {};
};
State g;

// Base references in the order the adapter entry stores them.
enum Kind { kNone = -1, kWi = 0, kWo = 1, kDi = 2, kDo = 3 };
struct Part {
    int kind;
    u16 bytes;
    u16 advance;  // bits
};
struct TypeRow {
    Part in, out;
};
// Image sizes and base advances of the module types 1-16.
constexpr TypeRow kTypes[17] = {
    {{kNone, 0, 0}, {kNone, 0, 0}},                                            // 0: not a type
    {{kDi, 1, 16}, {kNone, 0, 0}},  {{kDi, 2, 16}, {kNone, 0, 0}},  {{kDi, 4, 32}, {kNone, 0, 0}},
    {{kNone, 0, 0}, {kDo, 4, 32}},  {{kNone, 0, 0}, {kDo, 1, 16}},  {{kNone, 0, 0}, {kDo, 2, 16}},
    {{kNone, 0, 0}, {kDo, 4, 32}},  {{kNone, 0, 0}, {kDo, 1, 16}},  {{kNone, 0, 0}, {kDo, 2, 16}},
    {{kDi, 1, 16}, {kDo, 1, 16}},   {{kWi, 8, 64}, {kNone, 0, 0}},  {{kWi, 8, 64}, {kNone, 0, 0}},
    {{kWi, 8, 64}, {kNone, 0, 0}},  {{kWi, 4, 32}, {kWo, 4, 32}},   {{kNone, 0, 0}, {kWo, 8, 64}},
    {{kNone, 0, 0}, {kWo, 8, 64}},
};

bool IecRef(u32 r) { return (r & 0xC0000000u) == 0xC0000000u; }
bool IecOn() { return Dpr_IecActive(); }
bool RegRef(u32 r) { return r >= kRegLow && r <= kRegHigh; }
bool WordClass(u32 r) { return ((r >> 26) & 7u) != 0; }
u32 ElementRef(u32 r, u32 e) { return (r & ~0xFFFFFu) | ((r + e) & 0xFFFFFu); }

// The reference after `bits` of a kind's allocation: registers move by bits,
// IEC word variables by words, IEC BOOL variables by one per bit.
u32 Advance(u32 ref, u32 bits) {
    if (IecRef(ref) && IecOn()) return ElementRef(ref, WordClass(ref) ? bits / 16 : bits);
    return ref + bits;
}

// Gives a module its part of one kind: the current base (which moves on),
// its size and its offset in the image (which moves on too).
void Allocate(const Part& part, u32 base[4], u32* ref, u16* size, u16* offset, u16* next) {
    if (part.kind == kNone) return;
    *ref = base[part.kind];
    base[part.kind] = Advance(base[part.kind], part.advance);
    *size = part.bytes;
    *offset = *next;
    *next = static_cast<u16>(*next + part.bytes);
}

bool StatusWritable(const EtnIoAdapter& a) { return RegRef(a.statusRef) || (IecOn() && IecRef(a.statusRef)); }

void WriteStatus(const EtnIoAdapter& a, u16 value) {
    if (!StatusWritable(a)) return;
    u8 v[2];
    PutLe16(v, value);
    PlcReg_Set(a.statusRef, v, 16);
}

// Two image bytes of a module from its output reference (byte index bi).
void ReadPair(u32 ref, u32 bi, u8* out) {
    out[0] = out[1] = 0;
    if (IecRef(ref) && IecOn()) {
        if (WordClass(ref)) {
            PlcReg_Get(out, ElementRef(ref, bi / 2), 16);
        } else {
            u8 bools[16] = {};
            for (u32 k = 0; k < 16; ++k) PlcReg_Get(&bools[k], ElementRef(ref, 8 * bi + k), 8);
            Quillet_Byte_To_Bit(bools, out, 16);
        }
        return;
    }
    PlcReg_Get(out, ref + 8 * bi, 16);
}

void WritePair(u32 ref, u32 bi, const u8* in) {
    if (IecRef(ref) && IecOn()) {
        if (WordClass(ref)) {
            PlcReg_Set(ElementRef(ref, bi / 2), in, 16);
        } else {
            u8 bools[16];
            Quillet_Bit_To_Byte(in, bools, 16);
            for (u32 k = 0; k < 16; ++k) PlcReg_Set(ElementRef(ref, 8 * bi + k), &bools[k], 8);
        }
        return;
    }
    PlcReg_Set(ref + 8 * bi, in, 16);
}

// The output image as the modules' references hold it now (image byte 0
// is frame byte 13).
void BuildOutputs(const EtnIoAdapter& a, u8 image[kEtnIoImageBytes]) {
    std::memset(image, 0, kEtnIoImageBytes);
    for (u32 j = 0; j < a.moduleCount; ++j) {
        const EtnIoModule& m = a.modules[j];
        for (u32 bi = 0; bi < m.outSize; bi += 2) {
            u8 pair[2];
            ReadPair(m.outRef, bi, pair);
            u32 at = m.outOffset - kOutStart + bi;
            image[at] = pair[0];
            if (bi + 1 < m.outSize) image[at + 1] = pair[1];
        }
    }
}

EtnIoPortState* OwnerOf(NxTcpSocket* s, u32* k) {
    for (EtnIoPortState& p : g.eth)
        for (u32 i = 0; i < kEtnIoAdapters; ++i)
            if (&p.conns[i].socket == s) {
                *k = i;
                return &p;
            }
    return nullptr;
}

void EtnIoDisconnect(NxTcpSocket* s) {
    _nx_tcp_socket_disconnect(s, 0);
    u32 k = 0;
    if (EtnIoPortState* p = OwnerOf(s, &k)) {
        p->conns[k].flags &= static_cast<u8>(~kIoConnected);
        p->conns[k].rxLength = 0;
    }
}

void ResetAdapter(EtnIoPortState& p, u32 k) {
    p.states[k] = 0;
    p.adapters[k].phase = kPhConfigure;
    std::memset(p.adapters[k].lastOut, 0, kEtnIoImageBytes);
}

}  // namespace

bool EtnIo_ParseConfig(const u8* cfg, EtnIoAdapter out[kEtnIoAdapters], u16* countOut, int bootpIface) {
    *countOut = 0;
    if (cfg == nullptr || GetLe16(cfg) != kEtnIoMagic || GetLe16(cfg + 4) > kEtnIoAdapters) return false;
    const u32 count = GetLe16(cfg + 4);
    u32 ends[4] = {};  // where the previous adapter's allocation of each kind ended
    bool haveEnds = false;
    for (u32 k = 0; k < count; ++k) {
        const u8* e = cfg + 16 + kEtnIoAdapterBytes * k;
        EtnIoAdapter& a = out[k];
        a = EtnIoAdapter{};
        a.address = GetLe32(e);
        a.statusRef = GetLe32(e + 4);
        std::memcpy(a.mac, e + 8, 6);
        a.moduleCount = GetLe16(e + 52);
        if (a.moduleCount > kEtnIoModules) return false;
        if (bootpIface >= 0) BootPConfig(a.mac, a.address, k + 1, bootpIface);
        u32 base[4];  // word inputs, word outputs, discrete inputs, discrete outputs as stored
        for (int kind = 0; kind < 4; ++kind) base[kind] = GetLe32(e + 32 + 4 * kind);
        bool used[4] = {};
        for (u32 j = 0; j < a.moduleCount; ++j) {
            u16 type = GetLe16(e + 64 + kEtnIoModuleBytes * j + 4);
            if (type < 1 || type > 16) return false;
            if (kTypes[type].in.kind != kNone) used[kTypes[type].in.kind] = true;
            if (kTypes[type].out.kind != kNone) used[kTypes[type].out.kind] = true;
        }
        if (!IecOn()) {
            for (int kind = 0; kind < 4; ++kind) {
                if (RegRef(base[kind])) continue;
                // The first adapter has no allocation to continue from.
                if (!haveEnds) {
                    if (used[kind]) return false;
                    continue;
                }
                base[kind] = ends[kind];
                if (used[kind] && !RegRef(base[kind])) return false;
            }
        }
        u16 inOff = kInStart, outOff = kOutStart;
        for (u32 j = 0; j < a.moduleCount; ++j) {
            const u8* mr = e + 64 + kEtnIoModuleBytes * j;
            EtnIoModule& m = a.modules[j];
            m.configWord = GetLe32(mr);
            m.type = GetLe16(mr + 4);
            const TypeRow& t = kTypes[m.type];
            Allocate(t.in, base, &m.inRef, &m.inSize, &m.inOffset, &inOff);
            Allocate(t.out, base, &m.outRef, &m.outSize, &m.outOffset, &outOff);
            a.inBytes = static_cast<u16>(a.inBytes + m.inSize);
            a.outBytes = static_cast<u16>(a.outBytes + m.outSize);
        }
        for (int kind = 0; kind < 4; ++kind) ends[kind] = base[kind];
        haveEnds = true;
    }
    *countOut = static_cast<u16>(count);
    return true;
}

namespace {

// Loads the configuration record; false when it is invalid (no adapter is
// served then; entries already given to the BOOTP server stay).
bool Load(EtnIoPortState& p, int iface, const u8* cfg) {
    p.count = 0;
    for (u32 k = 0; k < kEtnIoAdapters; ++k) p.adapters[k] = EtnIoAdapter{};
    EtnIoAdapter loaded[kEtnIoAdapters];
    u16 count = 0;
    if (!EtnIo_ParseConfig(cfg, loaded, &count, iface)) return false;
    for (u32 k = 0; k < count; ++k) {
        p.adapters[k] = loaded[k];
        EtnIoAdapterConn& c = p.conns[k];
        if (c.flags & kIoConnected) EtnIoDisconnect(&c.socket);
        c.port = kEtnIoPort;
        c.address = loaded[k].address;
        c.flags = kIoConfigured;
        c.rxLength = 0;
    }
    p.count = count;
    return true;
}

void Step(EtnIoPortState& p, int iface, u32 k) {
    EtnIoAdapter& a = p.adapters[k];
    EtnIoAdapterConn& c = p.conns[k];
    const u32 now = _tx_time_get();
    switch (p.states[k]) {
        case 0:
            if (a.phase == kPhIdle) {
                WriteStatus(a, p.runCopy ? kIoStIdle : kIoStOk);
            } else if (a.phase == 1 || a.phase == 2 || a.phase == 4 || a.phase == kPhOutputs ||
                       a.phase == kPhInputs) {
                if (p.ip == nullptr || !p.ip->linkUp) {
                    WriteStatus(a, kIoStNoLink);
                    return;
                }
                c.flags &= static_cast<u8>(~kIoConnectFailed);
                p.states[k] = 1;
                Step(p, iface, k);
            }
            return;
        case 1:
            if (!(c.flags & kIoConnectIssued)) {
                u32 r = _nx_tcp_client_socket_bind(&c.socket, 0, 0);
                if (r != NX_SUCCESS && r != NX_ALREADY_BOUND) {
                    WriteStatus(a, (c.flags & kIoConnectFailed) ? kIoStNoConnect : kIoStNoLink);
                    p.states[k] = 0;
                    return;
                }
                c.flags |= kIoConnectIssued;
                c.rxLength = 0;
                _nx_tcp_client_socket_connect(&c.socket, c.address, c.port, 0);
                p.times[k] = now;
            }
            if (c.socket.state == NX_TCP_ESTABLISHED) {
                c.flags |= kIoConnected;
                WriteStatus(a, kIoStOk);
                if (a.phase == 1 || a.phase == 2) {
                    p.states[k] = 2;
                } else {
                    a.phase = kPhConfigured;
                    p.states[k] = 4;
                }
            } else if (static_cast<u32>(now - p.times[k]) > kConnectMs) {
                // The attempt is given up, so the next one starts afresh.
                _nx_tcp_socket_disconnect(&c.socket, 0);
                c.flags = static_cast<u8>((c.flags | kIoConnectFailed) & ~kIoConnectIssued);
                WriteStatus(a, kIoStNoConnect);
                p.states[k] = 0;
            }
            return;
        case 2:
            if (a.moduleCount == 0) {
                WriteStatus(a, kIoStNoModules);
                return;
            }
            if (EtnIoModTcpTxPacket(iface, k, 16) != 1) {
                WriteStatus(a, kIoStConfig);
                return;
            }
            p.states[k] = 3;
            [[fallthrough]];
        case 3: {
            u32 r = EtnIoModTcpRxPacket(iface, k);
            if (r == 0) return;
            if (r == 1) {
                WriteStatus(a, kIoStOk);
                a.phase = kPhConfigured;
                p.states[k] = 4;
            } else {
                WriteStatus(a, kIoStConfig);
                p.states[k] = 2;
            }
            return;
        }
        case 4: {
            bool differ = false;
            if (a.moduleCount == 0) {
                // Without a status word to report to, the exchange goes on
                // with nothing to compare.
                if (StatusWritable(a)) {
                    WriteStatus(a, kIoStNoModules);
                    return;
                }
            } else {
                u8 image[kEtnIoImageBytes];
                BuildOutputs(a, image);
                for (u32 b = 0; b < kEtnIoImageBytes; b += 2)
                    if (image[b] != a.lastOut[b] || image[b + 1] != a.lastOut[b + 1]) {
                        a.lastOut[b] = image[b];
                        a.lastOut[b + 1] = image[b + 1];
                        differ = true;
                    }
            }
            if (differ) p.states[k] = 5;
            else if (a.inBytes > 0) p.states[k] = 6;
            else if (static_cast<u32>(now - p.times[k]) > kRepeatMs) p.states[k] = 5;
            a.phase = kPhIdle;
            return;
        }
        case 5:
            EtnIoModTcpTxPacket(iface, k, 15);
            a.phase = kPhOutputs;
            p.states[k] = 7;
            return;
        case 6:
            EtnIoModTcpTxPacket(iface, k, 2);
            a.phase = kPhInputs;
            p.states[k] = 7;
            return;
        case 7: {
            u32 r = EtnIoModTcpRxPacket(iface, k);
            if (r == 0) return;
            if (r == 1) {
                WriteStatus(a, kIoStOk);
                if (a.phase == kPhOutputs && a.inBytes > 0) {
                    a.phase = kPhInputs;
                    p.states[k] = 6;
                } else {
                    a.phase = kPhConfigured;
                    p.states[k] = 4;
                }
            } else {
                std::memset(a.lastOut, 0, kEtnIoImageBytes);
                a.phase = kPhConfigured;
                p.states[k] = 4;
                WriteStatus(a, static_cast<u16>(r));
            }
            return;
        }
        case 8:
            p.times[k] = now;
            if (_nx_tcp_socket_disconnect(&c.socket, 0) == NX_SUCCESS)
                c.flags &= static_cast<u8>(~(kIoConnected | kIoConnectIssued));
            c.rxLength = 0;
            p.states[k] = 9;
            [[fallthrough]];
        case 9:
            if (c.socket.state == NX_TCP_ESTABLISHED) {
                if (static_cast<u32>(now - p.times[k]) > kCloseMs) p.states[k] = 8;
                return;
            }
            _nx_tcp_client_socket_unbind(&c.socket);
            p.states[k] = 0;
            a.phase = kPhIdle;
            return;
        default:
            p.states[k] = 0;
            return;
    }
}

}  // namespace

const u8* EtnIo_FindConfig(int iface, u32* avail) {
    *avail = 0;
    if (iface < 0 || iface > 1) return nullptr;
    u32 size = io_config_bl.Size();
    if (size > io_config_bl.capacity) size = 0;
    // A network configuration of eth1 whose stream length reads 76 moves the
    // first record to every interface but eth0.
    const bool shifted = Dpr_Configuration[1].streamLength == 76;
    int want = shifted ? (iface == 0 ? -1 : 0) : iface;
    if (want < 0) return nullptr;
    IoChain chain(io_config, size);
    IoChainRecord r;
    int seen = 0;
    for (u32 n = 0; n < kMaxRecords && chain.Next(&r); ++n) {
        if (r.length == 0xFFFF) break;
        if (r.id != kEtnIoRecordId) continue;
        if (seen++ == want) {
            *avail = r.avail;
            return r.data;
        }
    }
    return nullptr;
}

u32 EtnIo_Init(NxIp* ip, NxPacketPool* pool) {
    const u32 iface = ip->index & 3;
    EtnIoPortState& p = g.eth[iface];
    p.current = 0;
    p.ip = ip;
    p.pool = pool;
    u32 result = 0;
    for (u32 k = 0; k < kEtnIoAdapters; ++k) {
        std::snprintf(g.names[k], sizeof g.names[k], "EtnIO Socket %ld-%d", static_cast<long>(iface),
                      static_cast<int>(k + 1));
        if (_nx_tcp_socket_create(ip, &p.conns[k].socket, g.names[k], 0, 0, 128, 512, nullptr, EtnIoDisconnect) !=
            NX_SUCCESS)
            result = 1;
    }
    p.socketsMade = 1;
    u32 r = BootPInit(ip, pool);
    if (r != NX_SUCCESS && r != NX_ALREADY_BOUND) result = 1;
    p.config = nullptr;
    return result;
}

void EtnIo_Scan(int iface) {
    EtnIoPortState& p = g.eth[iface & 3];
    if (p.ip == nullptr) return;
    BootPScan(iface);
    const bool run = GetLe16(DprMap + kDprRunFlag) == 1;
    bool loadedNow = false;
    if (run && (p.runCopy == 0 || p.config == nullptr)) {
        p.runCopy = 1;
        u32 avail = 0;
        const u8* cfg = EtnIo_FindConfig(iface, &avail);
        if (cfg != nullptr && avail < kEtnIoConfigBytes) cfg = nullptr;  // a cut record serves nobody
        u16 crc = cfg != nullptr ? crc16(cfg, kEtnIoConfigBytes) : 0;
        if (!(crc == p.crc && p.config != nullptr && cfg == p.config)) {
            p.crc = crc;
            p.config = cfg;
            if (!Load(p, iface, cfg)) p.count = 0;
            loadedNow = true;
        }
    }
    if (!run) {
        if (p.runCopy && p.config != nullptr)
            for (u32 k = 0; k < p.count; ++k) p.states[k] = 8;
        p.runCopy = 0;
        for (u32 k = 0; k < p.count; ++k)
            if (p.conns[k].flags & kIoConnected) p.states[k] = 8;
    } else {
        for (u32 k = 0; k < p.count; ++k)
            if (loadedNow || (!(p.conns[k].flags & kIoConnected) && p.states[k] != 8)) ResetAdapter(p, k);
    }
    for (u32 k = p.current; k < p.count; ++k) Step(p, iface, k);
    p.current = 0;
}

u32 EtnIo_Conn_Cnt(int iface) {
    u32 n = 0;
    const EtnIoPortState& p = g.eth[iface & 3];
    for (const EtnIoAdapterConn& c : p.conns) n += (c.flags & kIoConnected) ? 1 : 0;
    return n;
}

void EtnIo_DeInit(NxIp* ip) {
    EtnIoPortState& p = g.eth[ip->index & 3];
    if ((ip->index & 3) == 0 || !p.socketsMade) return;
    for (EtnIoAdapterConn& c : p.conns) EtnIoDisconnect(&c.socket);
}

bool EtnIo_HasWork() { return false; }

void EtnIo_Reset() {
    for (EtnIoPortState& p : g.eth)
        for (EtnIoAdapterConn& c : p.conns) _nx_tcp_socket_delete(&c.socket);
    g = State{};
    BootP_Reset();
}

u32 EtnIoModTcpTxPacket(int iface, u32 k, u8 function) {
    EtnIoPortState& p = g.eth[iface & 3];
    EtnIoAdapter& a = p.adapters[k % kEtnIoAdapters];
    EtnIoAdapterConn& c = p.conns[k % kEtnIoAdapters];
    u8 f[kEtnIoFrameMax] = {};
    u32 n = 0;
    const u16 tid = p.tid;
    PutBe16(f, tid);
    f[6] = 0xFF;
    f[7] = function;
    switch (function) {
        case 16: {
            const u32 mc = a.moduleCount;
            PutBe16(f + 8, kStartConfig);
            PutBe16(f + 10, static_cast<u16>(2 * mc));
            f[5] = static_cast<u8>(4 * mc + 7);
            f[12] = static_cast<u8>(4 * mc);
            for (u32 j = 0; j < mc; ++j) PutLe32(f + 13 + 4 * j, a.modules[j].configWord);
            n = 13 + 4 * mc;
            a.tidConfig = tid;
            break;
        }
        case 15: {
            u8 image[kEtnIoImageBytes];
            BuildOutputs(a, image);
            PutBe16(f + 8, 0);
            PutBe16(f + 10, static_cast<u16>(8 * a.outBytes));
            f[5] = static_cast<u8>(a.outBytes + 7);
            f[12] = static_cast<u8>(a.outBytes);
            std::memcpy(f + 13, image, a.outBytes);
            n = 13u + a.outBytes;
            a.tidOut = tid;
            break;
        }
        case 2:
            PutBe16(f + 8, 0);
            PutBe16(f + 10, static_cast<u16>(8 * a.inBytes));
            f[5] = 6;
            n = 12;
            a.tidIn = tid;
            break;
        default:
            return kIoStBadFunction;
    }
    NxPacket* pk = nullptr;
    if (_nx_packet_allocate(p.pool, &pk, 0, 0) != NX_SUCCESS) return kIoStReceive;
    _nx_packet_data_append(pk, f, n, p.pool, 0);
    if (_nx_tcp_socket_send(&c.socket, pk, 0) != NX_SUCCESS) return kIoStReceive;
    ++p.tid;
    p.times[k % kEtnIoAdapters] = _tx_time_get();
    return 1;
}

u32 EtnIo_ParseReply(const EtnIoAdapter& a, const u8* f, u32 length) {
    if (length < 8) return kIoStReceive;
    const u16 tid = GetBe16(f);
    const u8 fc = f[7];
    const bool ours = tid == a.tidIn || tid == a.tidOut || tid == a.tidConfig;
    if (fc & 0x80) return kIoStException;
    if (!ours) return 0;
    if (GetBe16(f + 2) != 0 || GetBe16(f + 4) + 6u != length) return kIoStReceive;
    if (fc == 16 || fc == 15) {
        if (tid != (fc == 16 ? a.tidConfig : a.tidOut)) return kIoStFunction;
        return length == 12 ? 1 : kIoStReceive;
    }
    if (fc != 2) return kIoStFunction;
    if (tid != a.tidIn) return kIoStFunction;
    // The reply must carry exactly the adapter's input image.
    if (length != 9u + a.inBytes || f[8] != a.inBytes) return kIoStReceive;
    for (u32 j = 0; j < a.moduleCount && j < kEtnIoModules; ++j) {
        const EtnIoModule& m = a.modules[j];
        for (u32 bi = 0; bi < m.inSize; bi += 2) {
            u8 pair[2] = {f[m.inOffset + bi], 0};
            if (m.inSize > 1) pair[1] = f[m.inOffset + bi + 1];
            WritePair(m.inRef, bi, pair);
        }
    }
    return 1;
}

u32 EtnIoModTcpRxPacket(int iface, u32 k) {
    EtnIoPortState& p = g.eth[iface & 3];
    k %= kEtnIoAdapters;
    EtnIoAdapter& a = p.adapters[k];
    EtnIoAdapterConn& c = p.conns[k];
    if (static_cast<u32>(_tx_time_get() - p.times[k]) > kReplyMs) {
        c.rxLength = 0;
        return kIoStLate;
    }
    NxPacket* pk = nullptr;
    if (_nx_tcp_socket_receive(&c.socket, &pk, 0) != NX_SUCCESS || pk == nullptr) {
        if (c.rxLength == 0) return 0;
    } else {
        // Frames may come in pieces or several at once: gather them.
        u32 room = kEtnIoFrameMax - c.rxLength;
        u32 take = pk->length < room ? pk->length : room;
        std::memcpy(c.rx + c.rxLength, pk->dataStart, take);
        c.rxLength = static_cast<u16>(c.rxLength + take);
        const bool overflow = take < pk->length;
        _nx_packet_release(pk);
        if (overflow) {
            c.rxLength = 0;
            return kIoStReceive;
        }
    }
    if (c.rxLength < 7) return 0;
    const u32 frame = 6u + GetBe16(c.rx + 4);
    if (frame < 8 || frame > kEtnIoFrameMax) {
        c.rxLength = 0;
        return kIoStReceive;
    }
    if (c.rxLength < frame) return 0;
    u32 r = EtnIo_ParseReply(a, c.rx, frame);
    std::memmove(c.rx, c.rx + frame, c.rxLength - frame);
    c.rxLength = static_cast<u16>(c.rxLength - frame);
    return r;
}

const EtnIoPortState& EtnIo_Block(int iface) { return g.eth[iface & 3]; }
