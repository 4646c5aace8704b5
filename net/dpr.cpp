#include "net/dpr.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/io_chain.h"
#include "core/nvram.h"
#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "ladder/ladder_engine.h"
#include "link/command.h"
#include "net/tovra.h"
#include "platform/fileio.h"
#include "platform/root.h"
#include "platform/rtclock.h"

EnetPortConfig Dpr_Configuration[kEnetPorts];
alignas(8) u8 DprMap[kDprMapBytes];
u8* const DprStatusWrReqs = DprMap + kDprStatusTable;
u32 T_token = 0x10008000, M_token = 0x1001C000;
u8 NTP_Enabled = 0;
const u8* EtnConfp = nullptr;

namespace {

constexpr char kKey[] = "Wh4t A fiNe dAy fOr a w4lK iN tHe p4rK !";
static_assert(sizeof kKey == 41);

struct State {
    u32 statusIndex = 0;  // entries in the status table
    u8 backups[kEnetPorts * kEnetBackupBytes] = {};  // stored address backups, read once
    bool backupsLoaded = false;
    // Last seen I/O configuration block.
    u16 seenCrc = 0;
    u32 seenSize = 0;
    const u8* seenConfp = nullptr;
    bool seenValid = false;
};
State g;

u32 IoConfigSize() { return std::min(io_config_bl.Size(), io_config_bl.capacity); }

// Finds the third record of the I/O configuration: the Ethernet module's.
void LocateEthernetRecord() {
    EtnConfp = nullptr;
    IoChain chain(io_config, IoConfigSize());
    IoChainRecord r;
    for (int slot = 0; slot < 3 && chain.Next(&r); ++slot) {
        if (r.id == 0xFFFF || r.length == 0xFFFF) return;
        if (slot == 2) EtnConfp = r.data;
    }
}

// A stream: its start in the I/O configuration block and how many bytes of
// it may be read (its record, within the block).
struct Stream {
    const u8* p = nullptr;
    u32 avail = 0;
};

Stream StreamAt(u32 pos) {
    Stream s;
    u32 size = IoConfigSize();
    if (pos + 8 > size) return s;
    u16 len = GetLe16(io_config + pos + 2);
    if (len == 0 || len == 0xFFFF) return s;
    s.p = io_config + pos;
    s.avail = std::min<u32>(static_cast<u32>(len) + 4, size - pos);
    return s;
}

Stream FindStream(int port) {
    Stream none;
    if (EtnConfp == nullptr) return none;
    u32 pos0 = static_cast<u32>(EtnConfp - io_config) - 4;
    if (pos0 + 8 > IoConfigSize() || GetLe32(EtnConfp) == 0xFFFFFFFF) return none;
    Stream s0 = StreamAt(pos0);
    if (port == 0 || s0.p == nullptr) return s0;
    IoChain chain(io_config, IoConfigSize());
    IoChainRecord r;
    if (port == 1) {
        // The record after interface 0's.
        while (chain.Next(&r))
            if (r.pos == pos0) return chain.Next(&r) ? StreamAt(r.pos) : none;
        return none;
    }
    for (int i = 0; i < 40 && chain.Next(&r); ++i) {
        if (r.length == 0xFFFF) break;
        if (r.id == 0xEF01) return StreamAt(r.pos);
    }
    return s0;
}

// Reads of the stream never pass its end; beyond it everything reads 0.
struct Reader {
    Stream s;
    u32 W(u32 off) const { return off <= s.avail && s.avail - off >= 4 ? GetLe32(s.p + off) : 0; }
    u8 B(u32 off) const { return off < s.avail ? s.p[off] : 0; }
};

bool Valid(u32 reg, u32 bits) {
    DprRequest r{reg, bits};
    return EtnValidateReq(&r) == 0;
}

// Reads one text field at *off into out (cut to 40 characters).
void TextField(const Reader& r, u32* off, char* out) {
    u32 n = r.B(*off);
    u32 take = std::min<u32>(n, kEnetTextField - 1);
    u8 raw[kEnetTextField] = {};
    for (u32 j = 0; j < take; ++j) raw[j] = r.B(*off + 1 + j);
    if (out != nullptr) Dpr_StrCrypt(out, raw, take);
    *off += (n + 4) / 4 * 4;
}

// Entries of user texts; fills up to `keep` users. Returns the offset after
// the section.
u32 UserSection(const Reader& r, u32 off, EnetFtpUser* ftp, int keep, char* webName, char* webPassword) {
    u32 cur = off + 4;
    for (int entry = 0;; ++entry) {
        u32 start = cur;
        char name[kEnetTextField] = {}, pass[kEnetTextField] = {};
        TextField(r, &cur, name);
        TextField(r, &cur, pass);
        TextField(r, &cur, nullptr);
        u32 word = r.W(cur);
        cur += 4;
        if (entry < keep) {
            if (ftp != nullptr) {
                std::memcpy(ftp[entry].name, name, sizeof name);
                std::memcpy(ftp[entry].password, pass, sizeof pass);
                ftp[entry].access = static_cast<u8>(word);
            } else {
                std::memcpy(webName, name, sizeof name);
                std::memcpy(webPassword, pass, sizeof pass);
            }
        }
        if (((word >> 8) & 0xFF) == 0 || cur >= r.s.avail || cur == start) break;
    }
    return cur + 8;
}

void WriteNtpConf(const EnetPortConfigTail& t) {
    std::string text;
    for (const auto& name : t.ntp) {
        size_t n = strnlen(name, sizeof name);
        if (n == 0) break;
        text += "server " + std::string(name, n) + "\n";
    }
    File_WriteAtomic(Root_HostPath("/etc/ntp.conf"), text.data(), text.size());
}

void ServicesSection(const Reader& r, u32 off, int port, EnetPortConfig& c, u32* next) {
    u32 sv = r.W(off + 8);
    c.gateway = r.W(off + 12);
    u32 cur = off + 16;
    if (sv & (1u << 15)) {
        c.dns = r.W(cur);
        cur += 4;
    }
    auto pair = [&](u32* field) {
        u32 reg = r.W(cur), bits = r.W(cur + 4);
        *field = Valid(reg, bits) ? reg : 0;
        cur += 8;
    };
    pair(&c.versionReg);
    pair(&c.statusReg);
    pair(&c.ipReg);
    if (sv & (1u << 29)) {
        pair(&c.maskReg);
        pair(&c.gatewayReg);
        if (sv & (1u << 15)) pair(&c.dnsReg);
    }
    *next = cur + 8;

    EnetServiceFlags& f = c.flags;
    auto setBit = [](u8& byte, u8 mask, bool on) { byte = on ? (byte | mask) : (byte & ~mask); };
    setBit(f.address, kAddrNodeId, sv & 1);
    setBit(f.service, kSvcSrtp, !(sv & 2));
    setBit(f.address, kAddrIpReg, sv & 4);
    if (sv & 8) {
        f.service &= ~kSvcModbus;
    } else {
        f.service |= kSvcModbus;
        c.tail.modbus.transport = 0;
        c.tail.modbus.port = 502;
        setBit(f.address, kAddrModbusPort, !(sv & (1u << 12)));
    }
    for (int b = 4; b <= 9; ++b) setBit(f.service, static_cast<u8>(1u << (b - 2)), !(sv & (1u << b)));
    setBit(f.dns, kDnsDhcp, sv & (1u << 9));
    c.dhcp = (sv >> 9) & 1;
    setBit(f.address, kAddrAscii, !(sv & (1u << 10)));
    setBit(f.dns, kDnsConfigured, sv & (1u << 15));
    setBit(f.dns, kDnsReg, sv & (1u << 16));
    setBit(f.address, kAddrRegsNamed, sv & (1u << 29));
    setBit(f.address, kAddrMaskReg, sv & (1u << 30));
    setBit(f.address, kAddrGwReg, sv & (1u << 31));

    if (port == 0 && !(NTP_Enabled == 1 && (sv & (1u << 13)))) {
        setBit(f.dns, kDnsClockSet, NTP_Enabled == 1);
        // The host clock is never set: the request is recorded.
        if (CmdRun == 255) {
            u64 seconds = 0;
            if (UtcGet(reinterpret_cast<const u16*>(&plc_reg[2 * (54271 + 20)]), &seconds))
                Rtc_SetSystemTime(seconds);
        }
    }
}

void AddStatusRequest(EnetPortConfig& c, u32 reg, u32 descriptor) {
    if (g.statusIndex >= kDprStatusEntries) return;  // the table is full: not kept
    u8* e = DprStatusWrReqs + 8 * g.statusIndex;
    e[0] = 0;
    e[1] = 0;
    PutLe16(e + 2, static_cast<u16>((descriptor & 0x7FF) * 8));
    PutLe32(e + 4, reg);
    ++g.statusIndex;
    PutLe16(DprMap + kDprEgdStatusCount, static_cast<u16>(g.statusIndex));
    c.tail.egdStatusCount++;
}

void LoadBackups() {
    if (g.backupsLoaded) return;
    std::memset(g.backups, 0, sizeof g.backups);
    std::vector<u8> data;
    if (File_ReadAll(Root_HostPath(kEnetBackupPath), data, sizeof g.backups) && data.size() == sizeof g.backups)
        std::memcpy(g.backups, data.data(), sizeof g.backups);
    g.backupsLoaded = true;
}

bool IecActive() { return QuilletRuntime && quillet_variables_enumerateded; }

}  // namespace

bool Dpr_IecActive() { return IecActive(); }

void Dpr_StrCrypt(char* out, const u8* in, u32 n) {
    if (n > kEnetTextField - 1) n = kEnetTextField - 1;
    for (u32 j = 0; j < n; ++j) out[j] = static_cast<char>(in[j] ^ static_cast<u8>(kKey[j]));
    out[n] = 0;
}

void Dpr_ReadBackup(int port, EnetAddressBackup* out) {
    LoadBackups();
    const u8* p = g.backups + kEnetBackupBytes * (port & 3);
    *out = {GetLe32(p), GetLe32(p + 4), GetLe32(p + 8), GetLe32(p + 12), GetLe32(p + 16), GetLe32(p + 20)};
}

void Dpr_WriteBackup(int port, const EnetAddressBackup& in) {
    LoadBackups();
    u8 rec[kEnetBackupBytes];
    const u32 words[6] = {in.unused, in.marker, in.ip, in.mask, in.gateway, in.dns};
    for (int i = 0; i < 6; ++i) PutLe32(rec + 4 * i, words[i]);
    u8* p = g.backups + kEnetBackupBytes * (port & 3);
    if (std::memcmp(p, rec, sizeof rec) == 0) return;
    std::memcpy(p, rec, sizeof rec);
    File_WriteAtomic(Root_HostPath(kEnetBackupPath), g.backups, sizeof g.backups);
}

int DprParseConfig(int port) {
    if (port < 0 || port >= kEnetPorts) return 1;
    Reader r{FindStream(port)};
    if (r.s.p == nullptr) return 1;
    EnetPortConfig& c = Dpr_Configuration[port];
    std::memset(&c, 0, sizeof c);
    c.streamLength = r.W(4);
    c.ip = r.W(8);
    c.mask = r.W(12);
    // The walk bound of the stream is held to its record.
    u32 bound = std::min<u32>(static_cast<u32>((static_cast<u64>(c.streamLength) + 4) & ~3ull), r.s.avail);
    u32 off = 16;
    u32 egdCount = 0;
    while (off < bound && egdCount < kEgdExchanges) {
        u32 flag = r.W(off);
        if (flag == 0) break;
        u32 next;
        if (flag & 0x80000000u) {
            EgdExchange& x = c.egd[egdCount++];
            for (int i = 0; i < 5; ++i) x.head[i] = r.W(off + 4 * i);
            u32 cur = off + 20, items = 0;
            while (cur < r.s.avail) {
                u32 reg = r.W(cur), desc = r.W(cur + 4);
                cur += 8;
                if (reg == 0) break;
                if (items < kEgdItemPairs) {  // further pairs are consumed but not kept
                    x.items[items][0] = reg;
                    x.items[items][1] = desc;
                    ++items;
                }
                if ((desc & 0xE000) == 0x8000) AddStatusRequest(c, reg, desc);
            }
            next = std::max(cur, off + 28);
        } else if (flag & 0x40000000u) {
            c.pingTimeout = r.W(off + 12);
            c.pingTarget = r.W(off + 20);
            c.pingResult = r.W(off + 28);
            if (!Valid(c.pingTarget, 2)) c.pingTarget = 0;
            if (!Valid(c.pingResult, 2) || c.pingTarget == 0) {
                c.pingTarget = c.pingResult = 0;
                c.flags.service &= ~kSvcPing;
            }
            next = off + 44;
        } else if (flag & 0x10000000u) {
            u32 reg = r.W(off + 20), len = r.W(off + 24);
            if (!Valid(reg, len)) c.flags.service &= ~kSvcEip;
            if (reg != 0 && len != 0) {
                int slot = (flag & 0x20000000u) ? 4 : (flag & 2) ? 0 : 2;
                c.eip[slot] = reg;
                c.eip[slot + 1] = len;
            }
            next = off + 36;
        } else if (flag & 0x08000000u) {
            next = UserSection(r, off, c.tail.ftp, 2, nullptr, nullptr);
        } else if (flag & 0x04000000u) {
            next = UserSection(r, off, nullptr, 1, c.tail.webUser, c.tail.webPassword);
        } else if (flag & 0x01000000u) {
            u32 opt = r.W(off + 4);
            u32 cur = off + 8;
            ModbusSettings v = c.tail.modbus;
            if ((opt & (1u << 18)) || (c.flags.address & kAddrModbusPort)) {
                v.transport = static_cast<u16>(r.W(cur));
                v.port = static_cast<u16>(r.W(cur + 4));
                cur += 8;
            }
            v.inhibit = r.W(cur);
            v.inUse = 1;
            cur += 4;
            if (IecActive()) {
                c.tail.modbusIec.set = v;
                if (opt & (1u << 17)) {
                    for (int i = 0; i < 4; ++i) c.tail.modbusIec.base[i] = r.W(cur + 4 * i);
                    for (int i = 0; i < 4; ++i) c.tail.modbusIec.count[i] = r.W(cur + 16 + 4 * i);
                }
            } else {
                c.tail.modbus = v;
            }
            if (opt & (1u << 17)) cur += 32;
            next = cur + 8;
        } else if (flag & 0x00800000u) {
            for (int i = 0; i < 6; ++i) c.tail.ascii[i] = r.W(off + 4 + 4 * i);
            // The areas are checked over everything a message may move:
            // count, second word and 2000 bytes.
            constexpr u32 kAreaBits = 16 * (2 + 2000 / 2);
            bool ok = (c.tail.ascii[0] == 0 || Valid(c.tail.ascii[1], 16)) && Valid(c.tail.ascii[2], kAreaBits) &&
                      Valid(c.tail.ascii[3], 16) && Valid(c.tail.ascii[4], kAreaBits) &&
                      (c.tail.ascii[5] == 0 || Valid(c.tail.ascii[5], 16));
            if (!ok) c.flags.address &= ~kAddrAscii;
            next = off + 36;
        } else if (flag & 0x00200000u) {
            // Only interface 0 takes an NTP section; elsewhere it is passed over.
            if (port == 0) {
                NTP_Enabled = 1;
                for (int i = 0; i < 10; ++i) {
                    for (u32 j = 0; j < 95; ++j) c.tail.ntp[i][j] = static_cast<char>(r.B(off + 8 + 96 * i + j));
                    c.tail.ntp[i][95] = 0;
                }
                WriteNtpConf(c.tail);
            }
            next = off + 976;
        } else if (flag & 0x20000000u) {
            ServicesSection(r, off, port, c, &next);
        } else if (flag == 0x00100000u) {
            c.tail.srtpCount = r.W(off + 8);
            c.tail.srtpBase = r.W(off + 12);
            next = off + 24;
        } else {
            u32 cur = off + 20;
            while (cur < r.s.avail && r.W(cur) != 0) cur += 4;
            next = cur + 8;
        }
        off = next;
    }
    return 0;
}

void Dpr_Init() {
    std::memset(DprMap, 0, sizeof DprMap);
    T_token = 0x10008000;
    M_token = 0x1001C000;
    PutLe16(DprMap + kDprGenAnnounced, static_cast<u16>(~GetLe16(DprMap + kDprGenTaken)));
    g.statusIndex = 0;
    g.seenValid = false;
    LoadBackups();
}

void Dpr_Config() {
    LocateEthernetRecord();
    std::memset(&Dpr_Configuration[0], 0, sizeof Dpr_Configuration[0]);
    Dpr_Configuration[0].flags.service |= kSvcEgd;
    Dpr_Configuration[1].flags.service |= kSvcEgd;
    std::memset(DprMap + kDprQueues, 0, kDprStatusTable - kDprQueues);
    std::memset(DprStatusWrReqs, 0, 8);
    g.statusIndex = 0;
    PutLe16(DprMap + kDprEgdStatusCount, 0);
    std::memcpy(DprMap + kDprGenTaken, DprMap + kDprGenAnnounced, 2);
    for (int i = 0; i < kEnetPorts; ++i) {
        EnetAddressBackup b;
        Dpr_ReadBackup(i, &b);
        if (b.marker != kEnetBackupMarker) {
            b = {0, kEnetBackupMarker, 0, 0, 0, 0};
            Dpr_WriteBackup(i, b);
        }
        EnetPortConfig& c = Dpr_Configuration[i];
        if (DprParseConfig(i) == 1) {
            c.flags.address |= kAddrNoStream;
            c.ip = b.ip;
            c.mask = b.mask;
            c.gateway = b.gateway;
            c.dns = b.dns;
        } else {
            c.flags.address &= ~kAddrNoStream;
            Dpr_WriteBackup(i, {0, kEnetBackupMarker, c.ip, c.mask, c.gateway, c.dns});
        }
        Etn_UpdateSecurity();
    }
}

void Dpr_Io_Service() {
    if (SR_Get(5) != 2) {
        PutLe16(DprMap + kDprRunFlag, 0);
    } else if (GetLe16(DprMap + kDprRunFlag) == 0) {
        T_token = RegTokLen_16b ? 0x3000 : 0x10008000;
        M_token = RegTokLen_16b ? 0x3800 : 0x1001C000;
        g.statusIndex = 0;
        PutLe16(DprMap + kDprEgdStatusCount, 0);
        for (int i = 0; i < kEnetPorts; ++i) DprParseConfig(i);
        PutLe16(DprMap + kDprRunFlag, 1);
    }
    std::memcpy(DprMap + kDprClock, &plc_reg[2 * (127 + 44)], 12);

    LocateEthernetRecord();
    u16 crc = io_config_bl.Crc();
    u32 size = io_config_bl.Size();
    if (g.seenValid && crc == g.seenCrc && size == g.seenSize && EtnConfp == g.seenConfp) return;
    if (Cmd_Downloading) return;
    bool first = !g.seenValid;
    g.seenValid = true;
    g.seenCrc = crc;
    g.seenSize = size;
    g.seenConfp = EtnConfp;
    // The first look only learns the block that start-up configured.
    if (first) return;
    if (GetLe16(DprMap + kDprGenAnnounced) == GetLe16(DprMap + kDprGenTaken))
        PutLe16(DprMap + kDprGenAnnounced, static_cast<u16>(~GetLe16(DprMap + kDprGenTaken)));
}

int EtnValidateReq(const DprRequest* q) {
    u32 r = q->reg;
    u64 end = static_cast<u64>(r) + q->bits;
    if (IecActive() && (r & 0xC0000000u) == 0xC0000000u) return 0;
    if (r < 0x400) return 1;
    struct Row {
        u32 from, to, endMax;
    };
    static const Row rows[] = {
        {0x400, 0x4FF, 0x500},           {0x500, 0x5FF, 0x600},           {0x600, 0x6FF, 0x700},
        {0x700, 0x7FF, 0x800},           {0x800, 0x9FF, 0xA00},           {0xA00, 0xBFF, 0xC00},
        {0xC00, 0x17FF, 0x1800},         {0x1800, 0x27FF, 0x2800},        {0x2800, 0x57FE, 0x57FF},
        {0x10008000, 0x1000BFFF, 0x1000C000}, {0x1001C000, 0x1001FFFF, 0x10020000},
        {0x57FF, 0x5FFF, 0x6000},        {0x6000, 0x7FFF, 0x8000},
    };
    for (const Row& row : rows)
        if (r >= row.from && r <= row.to) return end <= row.endMax ? 0 : 1;
    return end <= 0xCB4F0 ? 0 : 1;
}

int Dpr_Data_Block(u32 reg, u16 bits, u8* buffer, int direction, u8 mode) {
    int result = 1;
    if (bits == 0) {
        DprClearSemaphore();
        return 1;
    }
    if (IecActive() && (reg & 0xC0000000u) == 0xC0000000u) {
        u32 bitNo = (reg >> 20) & 63, cls = (reg >> 26) & 7;
        if (bitNo == 0 && cls <= 2) {
            u8* p = PlcReg_Ptr(reg, (bits + 7u) / 8 * 8);
            if (p == nullptr) result = 0;
            else if (direction == 0) std::memcpy(buffer, p, bits / 8u);
            else std::memcpy(p, buffer, bits / 8u);
        } else if (mode == 1) {
            u8* p = PlcReg_Ptr(reg, 8u * bits);
            if (p == nullptr) result = 0;
            else if (direction == 0) Quillet_Byte_To_Bit(p, buffer, bits);
            else Quillet_Bit_To_Byte(buffer, p, bits);
        } else {
            result = 0;
        }
        DprClearSemaphore();
        return result;
    }
    u32 first = reg & 7;
    u8* p = PlcReg_Ptr(reg, first + bits);
    if (p == nullptr) {
        DprClearSemaphore();
        return 0;
    }
    if (first == 0 && bits % 8 == 0) {
        if (direction == 0) std::memcpy(buffer, p, bits / 8u);
        else std::memcpy(p, buffer, bits / 8u);
    } else {
        for (u32 k = 0; k < bits; ++k) {
            u32 rb = first + k;
            u32 bb = mode == 1 ? k : rb;
            u8* src = direction == 0 ? p + rb / 8 : buffer + bb / 8;
            u8* dst = direction == 0 ? buffer + bb / 8 : p + rb / 8;
            u32 sbit = direction == 0 ? rb % 8 : bb % 8;
            u32 dbit = direction == 0 ? bb % 8 : rb % 8;
            if ((*src >> sbit) & 1) *dst |= static_cast<u8>(1u << dbit);
            else *dst &= static_cast<u8>(~(1u << dbit));
        }
    }
    DprClearSemaphore();
    return 1;
}

void Dpr_Set_W_Data(u32 reg, u32 value) {
    if (u8* p = PlcReg_Ptr(reg, 16)) PutLe16(p, static_cast<u16>(value));
    DprClearSemaphore();
}

void Dpr_Set_Dw_Data(u32 reg, u32 value) {
    if (u8* p = PlcReg_Ptr(reg, 32)) PutLe32(p, value);
    DprClearSemaphore();
}

u32 Dpr_Get_Dw_Data(u32 reg) {
    u8* p = PlcReg_Ptr(reg, 32);
    DprClearSemaphore();
    return p != nullptr ? GetLe32(p) : 0;
}

void Dpr_Set_Egd_Status(u16 value, u32 index) {
    if (index >= kDprStatusEntries) return;
    u8* e = DprStatusWrReqs + 8 * index;
    u32 reg = GetLe32(e + 4);
    if (reg == 0) return;
    Dpr_Set_W_Data(reg, value);
    e[0]++;
}

int Dpr_Add_Req(const void*, u32, u32, u32) { return 1; }
int Dpr_Chk_Rd_Pending() { return 0; }
void DprSetSemaphore() {}
void DprClearSemaphore() { DprMap[kDprSemaphore] = 0; }

u32 Dpr_StatusCount() { return g.statusIndex; }

void Dpr_Reset() {
    std::memset(Dpr_Configuration, 0, sizeof Dpr_Configuration);
    std::memset(DprMap, 0, sizeof DprMap);
    T_token = 0x10008000;
    M_token = 0x1001C000;
    NTP_Enabled = 0;
    EtnConfp = nullptr;
    g = State{};
}
