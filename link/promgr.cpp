#include "link/promgr.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "link/promgr_move.h"
#include "link/sci.h"
#include "link/talk.h"
#include "link/vcomm.h"
#include "net/vcommetn.h"
#include "platform/fpga.h"
#include "platform/root.h"
#include "platform/touch.h"

PromgrPeers promgrPeers;

void PromgrPeers_Check(NeighbourCheck& check) { NEIGHBOUR_REQUIRE(check, promgrPeers, pass); }

namespace {

constexpr u32 kSectionMin = 48;
constexpr u32 kRecordBytes = 32;
constexpr u32 kConfigBytes = 46;     // through the hold bit at +42
constexpr u32 kStationFixed = 28;    // through the record length at +26
constexpr u32 kMessageFixed = 36;    // the fixed fields and the 22-byte driver part
constexpr u32 kAreaWords = kPmgrAreaBytes / 2;
constexpr u32 kDeviceEntries = 257;
constexpr u32 kSubWriteBytes = 22;

// Message flags.
constexpr u16 kMsgRead = 1, kMsgChange = 2, kMsgTrigRead = 4, kMsgTrigWrite = 8, kMsgWriteFirst = 0x10,
              kMsgLong = 0x100;

// Process codes.
enum : u8 {
    kRead = 0, kReadDone = 1, kSync = 2, kWriteRun = 3, kRunDone = 4, kWrite = 5, kWriteDone = 6, kFailed = 7,
    kOffline = 8, kNextCycle = 9, kTrigger = 10, kDelay = 11
};
// Driver states.
enum : u16 { kIdle = 0, kCycleStart = 1, kRunning = 2, kCycleDone = 3, kPeriodWait = 4, kEnableWait = 5 };

struct State {
    PromgrDriverBlock dcb[kPmgrMaxDrivers];
    PromgrStationBlock scb[kPmgrMaxDrivers][kPmgrMaxStations];
    PromgrMessageBlock mcb[kPmgrMaxDrivers][kPmgrMaxMessages];
    PromgrTimerBlock tcb[kPmgrTimers];
    PromgrDeviceEntry devTable[kDeviceEntries];
    const DriverHeaderRecord* pExecHdr_info[kPmgrMaxDrivers];
    void* LibHandle[kPmgrMaxDrivers];
    bool started[kPmgrMaxDrivers];
    u32 drivers;  // drivers of the held section, 0: no section held (pDrvHdr none)
    u8 port_switch[2];
    u8 writeSubBuf[kSubWriteBytes + 2];
};
State g;
alignas(16) u8 dataSeg[kPmgrMaxDrivers][kPmgrAreaBytes];
u16 drvData[kPmgrMaxDrivers][kAreaWords];
PmgrLoadHook g_loadHook = nullptr;
// A message's driver part with its selector byte reloaded from the register.
u8 g_selectorPart[65536];

// --- The section ----------------------------------------------------------

// Bytes of the section that records may occupy: the stored size, cut to the
// length the section states.
u32 Limit() {
    const u32 stored = promgr_table_bl.Size() <= promgr_table_bl.capacity ? promgr_table_bl.Size() : 0;
    if (stored < 4) return 0;
    const u32 stated = GetLe32(promgr_table);
    return stated < stored ? stated : stored;
}

bool Inside(u32 offset, u32 bytes) { return u64{offset} + bytes <= Limit(); }

// Drivers the section holds, 0 when it holds none (too short, a count
// outside 1-8, records beyond the section).
u32 Drivers() {
    const u32 limit = Limit();
    if (limit < kSectionMin) return 0;
    const u32 n = GetLe32(promgr_table + 8);
    if (n < 1 || n > kPmgrMaxDrivers || 16 + kRecordBytes * n > limit) return 0;
    return n;
}

const u8* DriverRecord(u32 i) { return promgr_table + 16 + kRecordBytes * i; }
u32 Field(u32 i, u32 offset) { return GetLe32(DriverRecord(i) + offset); }
u32 Version() { return GetLe32(promgr_table + 12); }

// The configuration of driver i, null when it does not lie inside.
const u8* Config(u32 i) {
    const u32 at = Field(i, 4);
    return Inside(at, kConfigBytes) ? promgr_table + at : nullptr;
}

// Port byte of driver i; false when its configuration lies outside the section.
bool PortByte(u32 i, u8* out) {
    const u32 at = Field(i, 4);
    if (!Inside(at, 2)) return false;
    *out = promgr_table[at + 1];
    return true;
}

// The image of driver i: from the image offset to the configuration.
bool Image(u32 i, const u8** image, u32* length) {
    const u32 from = Field(i, 0), to = Field(i, 4);
    if (from >= to || !Inside(from, to - from)) return false;
    *image = promgr_table + from;
    *length = to - from;
    return true;
}

// Data type codes whose count is in bits.
constexpr bool IsBitPacked[18] = {false, true, false, false, false, true,  true,  true,  true,
                                  true,  true, true,  false, true,  true, true, false, false};

bool IecRef(u32 address) { return (address & 0xC0000000u) == 0xC0000000u && address != 0xFFFFFFFFu; }
bool IecEnumerated() { return QuilletRuntime == 1 && quillet_variables_enumerateded == 1; }
u8 BitMask(u32 address) { return IecRef(address) && IecEnumerated() ? 1 : static_cast<u8>(1u << (address & 7)); }

bool ReadBit(u32 address) {
    if (address == 0) return false;
    u8 b = 0;
    return PlcReg_Get(&b, address, 1) == 1 && b != 0;
}

u32 Now10ms() { return sysDTic; }

// --- The port operations ---------------------------------------------------

void EtnInitWait(u32 port, u32, u32) { EtnVComm_InitWait(port); }
int EtnWaitRx(u32 port, u8*) { return static_cast<int>(EtnVComm_WaitRx(port)); }
int EtnIoCtl(u32 port, int, u32*) { return static_cast<int>(EtnVComm_IoCtl(port)); }

// The manager's byte services of serial ports 0 and 1.
int MgrGetRx(u32 port) {
    VcommDriver& d = Vcomm_Drv[port & 1];
    const int c = d.CheckRx(port) & 0xFF;
    if (c == 0 || c == 255) return -1;
    return static_cast<i16>(d.GetRx(port));
}
int MgrPutTx(u32 port, u8 byte) { return Vcomm_Drv[port & 1].PutTx(port, byte); }

void Beep() {}
int DummyWait(int) {
    if (promgrPeers.pass) promgrPeers.pass();
    return 0;
}

u8 ProtocolNibble(u32 port) { return Vcomm_Drv[port].mode[kSomProto] & 0x0F; }

void SetPortOps(DriverCallbackTable& t, u32 port) {
    if (port <= 1) {
        const VcommDriver& d = Vcomm_Drv[port];
        t.portOpen = d.Open;
        t.flushTx = d.FlushTx;
        t.putByte = d.PutTx;
        t.sendFrame = d.RtuTx;
        t.flushRx = d.FlushRx;
        t.checkRx = d.CheckRx;
        t.getByte = MgrGetRx;
        t.initWait = d.InitWait;
        t.waitRx = d.WaitRx;
        t.ioCtl = d.IoCtl;
        t.putBlock = d.PutnTx;
        t.portClose = nullptr;
        return;
    }
    t.portOpen = EtnVComm_Open;
    t.flushTx = EtnVComm_FlushTx;
    t.putByte = EtnPutTx;
    t.sendFrame = EtnVComm_DoTx;
    t.flushRx = EtnVComm_FlushRx;
    t.checkRx = EtnVComm_CheckRx;
    t.getByte = EtnVComm_GetRx;
    t.initWait = EtnInitWait;
    t.waitRx = EtnWaitRx;
    t.ioCtl = EtnIoCtl;
    t.putBlock = nullptr;
    t.portClose = EtnVComm_Close1;
}

// Logical port of a port byte: above 3, the first of bits 5, 6, 7 that is
// set adds 2, 4 or 6 to its low nibble.
u16 LogicalPort(u8 portByte) {
    if (portByte <= 3) return portByte;
    constexpr u8 kMasks[] = {0x20, 0x40, 0x80};
    for (u32 b = 0; b < 3; ++b)
        if (portByte & kMasks[b]) return static_cast<u16>((portByte & 0x0F) + 2 * (b + 1));
    return portByte;
}

// --- Loading ----------------------------------------------------------------

std::string ImagePath(u32 n) {
    std::string name = "/dev/shm/drv0.so";
    name[12] = static_cast<char>('0' + n);
    return Root_HostPath(name);
}

void CloseHandle(u32 n) {
    if (g.LibHandle[n] != nullptr) ::dlclose(g.LibHandle[n]);
    g.LibHandle[n] = nullptr;
}

// Writes the image whole under a new name and renames it over the old one:
// an object still mapped from the old file keeps its pages, and no loader
// ever sees half an image.
bool WriteImage(const std::string& path, const u8* image, u32 length) {
    const std::string folder = path.substr(0, path.rfind('/'));
    ::mkdir(folder.c_str(), 0755);
    const std::string tmp = path + ".new";
    const int fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::fchmod(fd, 0600);
    u32 done = 0;
    while (done < length) {
        const ssize_t w = ::write(fd, image + done, length - done);
        if (w <= 0) break;
        done += static_cast<u32>(w);
    }
    const bool ok = ::close(fd) == 0 && done == length && ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

// Loads driver i when its header is not known yet; false stops the start
// of this and every later driver (the image could not be written).
bool LoadDriver(u32 i) {
    if (g.pExecHdr_info[i] != nullptr) return true;
    const u8* image = nullptr;
    u32 length = 0;
    if (g_loadHook) {
        if (!Image(i, &image, &length)) length = 0;
        g.pExecHdr_info[i] = g_loadHook(i, image, length);
        return true;
    }
    if (!PMGR_Config(i)) return false;
    if (g.LibHandle[i] == nullptr) return true;
    ::dlerror();
    auto entry = reinterpret_cast<DriverHeaderEntry>(::dlsym(g.LibHandle[i], "DRV_Header"));
    if (::dlerror() == nullptr && entry != nullptr) g.pExecHdr_info[i] = entry();
    return true;
}

// --- Building the blocks of one driver ---------------------------------------

bool BuildStations(u32 i, const u8* cfg) {
    DriverCallbackTable& t = g.dcb[i].table;
    const u32 count = Field(i, 12);
    if (count < 1 || count > kPmgrMaxStations) return false;
    u32 at = Field(i, 8);
    for (u32 s = 0; s < count; ++s) {
        if (!Inside(at, kStationFixed)) return false;
        const u8* rec = promgr_table + at;
        const u32 length = GetLe16(rec + 26);
        u32 need = kStationFixed;
        if (length > 28 && Inside(at, 30) && (rec[29] & 2)) need = 36;
        if ((GetLe16(rec + 20) & 0x0F) == 2) need = need > 32 ? need : 32;
        if (length < need || !Inside(at, length)) return false;
        PromgrStationBlock& b = g.scb[i][s];
        b = PromgrStationBlock{};
        b.config = cfg;
        b.record = rec;
        if (const u32 status = GetLe32(rec); status != 0) {
            b.status = PlcReg_Ptr(status, 32);
            if (b.status == nullptr) return false;
            PutLe32(b.status, 0);
        }
        at += length;
    }
    t.stationBlocks = g.scb[i];
    t.stationCount = count;
    return true;
}

bool BuildMessages(u32 i, const DriverHeaderRecord* h) {
    DriverCallbackTable& t = g.dcb[i].table;
    const u32 count = Field(i, 20), firstGroup = Field(i, 24);
    if (count > kPmgrMaxMessages) return false;
    u32 at = Field(i, 16), w = 0;
    t.secondGroupBlocks = nullptr;
    for (u32 k = 0; k < count; ++k) {
        if (!Inside(at, kMessageFixed)) return false;
        const u8* rec = promgr_table + at;
        const u32 length = GetLe16(rec + 12);
        if (length < kMessageFixed || !Inside(at, length)) return false;
        const u16 flags = GetLe16(rec);
        // A message with no way to run would wait for a trigger it has none of.
        if (!(flags & (kMsgRead | kMsgChange | kMsgTrigRead | kMsgTrigWrite))) return false;
        if (rec[16] >= t.stationCount) return false;
        const u8* stationRec = g.scb[i][rec[16]].record;
        const u16 sflags = GetLe16(stationRec + 20);
        PromgrMessageBlock& m = g.mcb[i][k];
        m = PromgrMessageBlock{};
        m.station = &g.scb[i][rec[16]];
        m.record = rec;
        if (k == firstGroup) t.secondGroupBlocks = &m;
        m.code = (flags & kMsgChange) ? kSync : (flags & kMsgRead) ? kRead : kTrigger;
        const u32 address = GetLe32(rec + 4);
        int type = 0;
        if (IecRef(address) && IecEnumerated() && ((address >> 26) & 7) == 2 && !(address & 0x20000000u))
            type = 3;
        else
            type = h->type ? h->type(rec[15], GetLe16(rec + 18)) : 0;
        if (type < 0 || type > 17) type = 0;
        m.type = static_cast<u8>(type);
        u32 r = rec[17];
        if (r == 0 && (flags & (kMsgRead | kMsgTrigWrite))) r = GetLe16(rec + 20);
        const bool bits = IsBitPacked[m.type];
        const bool string = !bits && m.type != 3 && !(flags & kMsgLong) && (flags & kMsgChange) && rec[21] == 7;
        u32 d = m.type == 0 ? 0 : m.type == 3 ? 2 * r : string ? kPmgrStringWords * r : r;
        m.count = static_cast<u16>((flags & kMsgLong) ? r / 2 : r);
        if (d == 0) m.count = 0;
        m.width = static_cast<u8>((m.type == 3 || (flags & kMsgLong)) ? 2 : string ? kPmgrStringWords : 1);
        if (bits) {
            m.bitOffset = static_cast<u8>(address & 7);
            m.boolBytes = IecRef(address) && IecEnumerated();
            if (m.boolBytes) m.bitOffset = 0;
            if (sflags & 0x1000) m.options |= 1;
            const u32 bytes = m.boolBytes ? m.count : (m.bitOffset + m.count + 7) / 8;
            m.data = d == 0 ? nullptr : PlcReg_Ptr(address, bytes ? 8 * bytes : 1);
        } else {
            if (m.width == 2) {
                if (sflags & 0x2000) m.options |= 1;
                m.options |= sflags & 0x110;
            } else if (sflags & 0x2000) {
                m.options |= 1;
            }
            m.data = d == 0 ? nullptr : PlcReg_Ptr(address, 16 * d);
        }
        if (d != 0 && m.data == nullptr) return false;
        if (flags & (kMsgTrigRead | kMsgTrigWrite)) {
            const u32 trig = GetLe32(rec + 8);
            m.trigger = PlcReg_Ptr(trig, 1);
            if (m.trigger == nullptr) return false;
            m.triggerMask = BitMask(trig);
        }
        if (flags & kMsgChange) {
            m.afterRead = bits ? CovPutBitPackedRegs : m.width == 2 ? CovPutDRegs : CovPutRegs;
            m.change = bits ? CmpBitPackedRegs : m.width == 2 ? CmpDRegs : string ? CmpRegs_string : CmpRegs;
            m.fetch = bits ? GetBitPackedRegs : m.width == 2 ? GetDRegs : GetRegs;
        } else {
            m.afterRead = bits ? PutBitPackedRegs : m.width == 2 ? PutDRegs : PutRegs;
            if (flags & kMsgTrigWrite) m.change = bits ? GetBitPackedRegs : m.width == 2 ? GetDRegs : GetRegs;
        }
        // Both buffers of every message within the driver's 32 KB area.
        if (w + 2 * d > kAreaWords) return false;
        m.read = drvData[i] + w;
        m.write = drvData[i] + w + d;
        w += 2 * d;
        at += length;
    }
    t.firstMessage = count ? g.mcb[i][0].record : nullptr;
    t.messageBlocks = g.mcb[i];
    t.messageCount = count;
    t.firstGroup = firstGroup;
    t.secondGroupCount = count - firstGroup;
    return true;
}

void BuildDeviceTable(u32 i) {
    std::memset(g.devTable, 0, sizeof g.devTable);
    const DriverCallbackTable& t = g.dcb[i].table;
    for (u32 s = 0; s < t.stationCount && s + 1 < kDeviceEntries; ++s) {
        const u8* rec = g.scb[i][s].record;
        const u32 length = GetLe16(rec + 26);
        const u8 extra = length > 28 ? rec[29] : 0;
        PromgrDeviceEntry& e = g.devTable[s];
        e.address = GetLe32(rec + 4);
        e.endpoint = (extra & 2) ? GetLe32(rec + 32) : GetLe16(rec + 24);
        e.flags = extra;
        e.mark = 0x00A5;
        e.alternative = (extra & 2) ? GetLe32(rec + 32) : 0;
    }
}

// Opens driver i on its serial or Ethernet port; false: not started.
bool OpenDriver(u32 i) {
    PromgrDriverBlock& d = g.dcb[i];
    DriverCallbackTable& t = d.table;
    const u32 port = d.port;
    if (port <= 1) {
        if (g.port_switch[port]) return true;  // opened again when the hold bit clears
        if (!Talk_Override(static_cast<int>(port))) return false;
    }
    if (d.open(&t) != 0) {
        if (port <= 1) Talk_Release(static_cast<int>(port));
        return false;
    }
    const int kind = d.control ? d.control(2, 0) : 0;
    if (port <= 1 && kind >= 1 && kind <= 3) t.putByte = MgrPutTx;
    t.cycleCounter = 0;
    t.controlCode = t.controlResult = 0;
    t.controlParameter = 0;
    d.state = t.enableByte ? kEnableWait : kCycleStart;
    return true;
}

bool StartDriver(u32 i) {
    const DriverHeaderRecord* h = g.pExecHdr_info[i];
    const u8* cfg = Config(i);
    if (h == nullptr || h->magic != PMGR_DRIVER_MAGIC || cfg == nullptr) return false;
    PromgrDriverBlock& d = g.dcb[i];
    DriverCallbackTable& t = d.table;
    t = DriverCallbackTable{};
    t.resume = 0;
    d.dataSegment = dataSeg[i];
    d.open = h->open;
    d.stop = h->stop;
    d.read = h->read;
    d.write = h->write;
    d.type = h->type;
    d.diagnostics = h->diagnostics;
    d.resetDiagnostics = h->resetDiagnostics;
    d.entry48 = h->entry48;
    d.control = h->control;
    d.flags = 0;
    d.ownScan = nullptr;
    if (d.open == nullptr) return false;
    const u16 options = GetLe16(cfg + 20);
    if (const u32 enable = GetLe32(cfg + 32); enable != 0) {
        t.enableByte = PlcReg_Ptr(enable, 1);
        if (t.enableByte == nullptr) return false;
        t.enableMask = BitMask(enable);
        if (const u32 selector = GetLe32(cfg + 36); selector != 0) {
            t.selectorWord = PlcReg_Ptr(selector, 16);
            if (t.selectorWord == nullptr) return false;
        }
    }
    if (!BuildStations(i, cfg) || !BuildMessages(i, h)) return false;
    if (options & 0x8000) {
        if (h->ownScan == nullptr) return false;
        d.flags = 0x8000;
        d.ownScan = h->ownScan;
        t.station = g.scb[i][0].record;
        t.message = t.firstMessage;
    }
    if (const u32 diag = GetLe32(cfg + 8); diag != 0) {
        t.diagnostics = PlcReg_Ptr(diag, 64);
        if (t.diagnostics == nullptr) return false;
    }
    t.header = h;
    t.dataSegment = d.dataSegment;
    t.config = cfg;
    t.configAgain = cfg;
    t.beep = Beep;
    t.wait = DummyWait;
    t.createTimer = CreateTimer;
    t.writeTimer = WriteTimer;
    t.readTimer = ReadTimer;
    t.closeTimer = CloseTimer;
    t.baseR = 0x8000;
    t.baseAQ = 0x6000;
    t.baseAI = 0x4000;
    t.baseSR = 0x0C00;
    t.countAI = t.countAQ = 0x200;
    t.countR = 0xC440;
    t.regPtr = PlcReg_Ptr;
    t.regGet = PlcReg_Get;
    t.regSet = PlcReg_Set;
    t.one = 1;
    u8 portByte = cfg[1];
    d.port = LogicalPort(portByte);
    SetPortOps(t, d.port);
    if (d.port > 1) {
        if (t.messageCount) t.station = t.messageBlocks[0].station->record;
        BuildDeviceTable(i);
        t.deviceTable = g.devTable;
    }
    return OpenDriver(i);
}

// --- Transactions --------------------------------------------------------------

using Handler = void (*)(PromgrDriverBlock&, PromgrMessageBlock&);

bool StationDisabled(const PromgrStationBlock& s) {
    const u32 length = GetLe16(s.record + 26);
    return (GetLe16(s.record + 20) & 0x0F) == 2 && ReadBit(GetLe32(s.record + length - 4));
}
bool HoldBit(const PromgrDriverBlock& d) { return ReadBit(GetLe32(d.table.config + 42)); }
u32 MessageIndex(const PromgrDriverBlock& d, const PromgrMessageBlock& m) {
    return static_cast<u32>(&m - d.table.messageBlocks);
}
void SetStatus(PromgrStationBlock& s, u32 word, u16 v) {
    if (s.status) PutLe16(s.status + 2 * word, v);
}
u16 Status(const PromgrStationBlock& s, u32 word) { return s.status ? GetLe16(s.status + 2 * word) : 0; }

enum class Kind { Read, Write, Sub };

void Transact(PromgrDriverBlock& d, PromgrMessageBlock& m, Kind kind) {
    DriverCallbackTable& t = d.table;
    const u8* rec = m.record;
    const u8* part = rec + 14;
    if (t.selectorWord) {
        const PromgrStationBlock& first = t.stationBlocks[0];
        const u32 firstLength = GetLe16(first.record + 26);
        u8 b = 0;
        if (GetLe16(rec + 12) > 28 && firstLength > 28 && (first.record[29] & 1) &&
            PlcReg_Get(&b, GetLe32(first.record + 4), 8) == 1 && b != rec[14]) {
            // The driver sees the selector from the register; the stored
            // section stays as downloaded (its checksum still holds).
            std::memcpy(g_selectorPart, part, GetLe16(rec + 12) - 14u);
            g_selectorPart[0] = b;
            part = g_selectorPart;
        }
        if (part[0] != t.selectorCopy) return;
    }
    PromgrStationBlock& s = *m.station;
    if (s.state > 1) {
        m.code = kOffline;
        return;
    }
    if (s.holder != nullptr && s.holder != &m) return;
    t.station = s.record;
    t.message = rec;
    const u16* data = m.write;
    if (kind == Kind::Sub) {
        std::memcpy(g.writeSubBuf, part, kSubWriteBytes);
        const u32 start = m.index, n = m.run;
        const u16 remote = GetLe16(part + 4);
        const bool pairs = m.type == 3 || (GetLe16(rec) & kMsgLong);
        const u32 words = (GetLe16(rec) & kMsgLong) ? 2 : 1;
        g.writeSubBuf[3] = static_cast<u8>(pairs ? 2 * n : n);
        PutLe16(g.writeSubBuf + 4, static_cast<u16>(remote + words * start));
        part = g.writeSubBuf;
        if (IsBitPacked[m.type])
            data = reinterpret_cast<const u16*>(
                ShiftBitData(reinterpret_cast<const u8*>(m.write) + m.runIndex, start & 7, n));
        else
            data = m.write + u32{m.width} * m.runIndex;
    }
    const bool triggered = t.enableByte != nullptr;
    for (;;) {
        t.busy = 0;
        int result;
        if (kind == Kind::Read)
            result = d.read ? d.read(part, m.read) : -1;
        else
            result = d.write ? d.write(part, data) : -1;
        if (t.busy) return;
        if (result == 0) {
            m.code = kind == Kind::Read ? kReadDone : kind == Kind::Write ? kWriteDone : kRunDone;
            if (s.holder == &m) s.holder = nullptr;
            if (kind != Kind::Sub) SetStatus(s, 0, 0);
            return;
        }
        if (kind != Kind::Sub && result >= 1 && result <= 50 && s.status) {
            SetStatus(s, 0, static_cast<u16>(result));
            return;
        }
        if (s.holder == &m) {
            if (s.attemptsLeft) --s.attemptsLeft;
        } else {
            s.holder = &m;
            const u16 attempts = GetLe16(s.config + 22);
            s.attemptsLeft = attempts ? static_cast<u16>(attempts - 1) : 0;
        }
        const bool stopNow = kind != Kind::Sub && (HoldBit(d) || StationDisabled(s));
        if (s.attemptsLeft == 0 || stopNow) {
            s.state = 2;
            s.lastError = static_cast<u16>(result);
            m.code = kFailed;
            return;
        }
        if (!triggered) return;
    }
}

void ReadBlk(PromgrDriverBlock& d, PromgrMessageBlock& m) { Transact(d, m, Kind::Read); }
void WriteBlk(PromgrDriverBlock& d, PromgrMessageBlock& m) { Transact(d, m, Kind::Write); }
void WriteSub(PromgrDriverBlock& d, PromgrMessageBlock& m) { Transact(d, m, Kind::Sub); }
void NoAction(PromgrDriverBlock&, PromgrMessageBlock&) {}

constexpr Handler pProcess[12] = {ReadBlk,  NoAction, NoAction, WriteSub, NoAction, WriteBlk,
                                  NoAction, NoAction, NoAction, NoAction, NoAction, NoAction};

// --- The per-scan step -----------------------------------------------------------

bool SharesPort(const u8* cfg) {
    const u8 kind = cfg[20];
    return kind == 0x11 || kind == 0x12 || (kind == 0x10 && Version() > 5);
}

// Port hand-over; false ends the driver's step.
bool HandOver(u32 i) {
    PromgrDriverBlock& d = g.dcb[i];
    DriverCallbackTable& t = d.table;
    if (!SharesPort(t.config)) return true;
    const u32 port = d.port;
    if (HoldBit(d)) {
        if (port <= 1 && !g.port_switch[port] && ProtocolNibble(port) != kProtoProgramming) {
            Talk_Release(static_cast<int>(port));
            Vcomm_Drv[port].Open(port, tovra_mode);
            d.state = kIdle;
            g.port_switch[port] = 1;
        }
        return false;
    }
    if (port <= 1 && g.port_switch[port] && ProtocolNibble(port) == kProtoProgramming) {
        Talk_Override(static_cast<int>(port));
        if (d.open(&t) != 0) return false;
        t.controlCode = t.controlResult = 0;
        t.cycleCounter = 0;
        d.state = t.enableByte ? kEnableWait : kCycleStart;
        g.port_switch[port] = 0;
    }
    return true;
}

bool EnableSet(const DriverCallbackTable& t) { return (*t.enableByte & t.enableMask) != 0; }

// Driver state; false ends the driver's step.
bool StepDriverState(PromgrDriverBlock& d) {
    DriverCallbackTable& t = d.table;
    const u32 now = Now10ms();
    const u32 period = GetLe32(t.config + 12);
    const u16 options = GetLe16(t.config + 20);
    switch (d.state) {
        case kIdle: return false;
        case kCycleStart:
        case kRunning: return true;
        case kCycleDone:
            if (t.enableByte) {
                *t.enableByte = static_cast<u8>(*t.enableByte & ~t.enableMask);
                if ((options & 0x100) && t.controlResult != 0) {
                    if (t.controlResult == 1 && t.selectorWord) PutLe16(t.selectorWord, t.selectorCopy);
                    t.controlResult = 0;
                }
                d.state = kEnableWait;
                return true;
            }
            {
                const u32 elapsed = now - t.cycleStart;
                if (elapsed <= period) {
                    d.state = kPeriodWait;
                } else {
                    if (period == 0)
                        t.cycleCounter = elapsed * 10;
                    else
                        t.cycleCounter++;
                    d.state = kCycleStart;
                }
            }
            return true;
        case kPeriodWait:
            if (now - t.cycleStart >= period) {
                d.state = kCycleStart;
                return true;
            }
            return false;
        case kEnableWait:
            if (EnableSet(t)) {
                if (t.selectorWord) {
                    t.selectorCopy = GetLe16(t.selectorWord);
                    if ((options & 0x100) && t.selectorCopy == 0xFF) {
                        t.controlCode = 10;
                        t.controlParameter = reinterpret_cast<uintptr_t>(&t.selectorCopy);
                    }
                }
                d.state = kCycleStart;
            }
            return true;
        default: return false;
    }
}

void StepStations(PromgrDriverBlock& d) {
    DriverCallbackTable& t = d.table;
    const u32 now = Now10ms();
    for (u32 k = 0; k < t.stationCount; ++k) {
        PromgrStationBlock& s = t.stationBlocks[k];
        const bool clear = s.status != nullptr && Status(s, 0) == 0;
        switch (s.state) {
            case 0:
                if (Status(s, 0) != 0 && !s.retry) {
                    s.state = 2;
                    s.stamp = now;
                }
                break;
            case 1: s.state = 0; break;
            case 2:
                if (d.state != kRunning) s.state = 3;
                break;
            case 3:
                if (clear) {
                    s.state = 1;
                    SetStatus(s, 1, 0);
                    s.holder = nullptr;
                } else {
                    s.state = 4;
                }
                break;
            case 4:
                if (clear) {
                    s.state = 0;
                    s.holder = nullptr;
                    SetStatus(s, 1, 0);
                } else if (!(GetLe16(s.record + 20) & 1)) {
                    const bool due = t.enableByte ? d.state == kCycleStart
                                                  : now - s.stamp >= GetLe32(s.config + 28);
                    if (due) {
                        s.state = 0;
                        s.holder = nullptr;
                        if (s.status) s.retry = 1;
                    }
                }
                break;
            default: break;
        }
    }
}

void ClearTrigger(PromgrMessageBlock& m) {
    if (m.trigger) *m.trigger = static_cast<u8>(*m.trigger & ~m.triggerMask);
}
void RetryDone(PromgrStationBlock& s) {
    if (!s.retry) return;
    s.retry = 0;
    SetStatus(s, 0, 0);
    SetStatus(s, 1, 0);
}

void StepMessage(PromgrDriverBlock& d, PromgrMessageBlock& m);

void GoOffline(PromgrDriverBlock& d, PromgrMessageBlock& m) {
    m.code = kOffline;
    StepMessage(d, m);
}
void AfterCycle(PromgrDriverBlock& d, PromgrMessageBlock& m) {
    const u16 flags = GetLe16(m.record);
    if (flags & (kMsgTrigRead | kMsgTrigWrite)) {
        m.code = kTrigger;
        ClearTrigger(m);
    } else {
        m.code = kNextCycle;
    }
    StepMessage(d, m);
}

void StepMessage(PromgrDriverBlock& d, PromgrMessageBlock& m) {
    PromgrStationBlock& s = *m.station;
    const u16 flags = GetLe16(m.record);
    switch (m.code) {
        case kRead:
        case kWriteRun:
        case kWrite:
            if (s.state != 0) GoOffline(d, m);
            break;
        case kReadDone:
            if (m.afterRead) m.afterRead(&m);
            RetryDone(s);
            AfterCycle(d, m);
            break;
        case kSync:
            if (m.fetch) m.fetch(&m);
            m.index = 0;
            if (flags & kMsgWriteFirst) {
                if (m.options & 1) {
                    // The first single write after power-up carries element 0.
                    m.runIndex = 0;
                    m.run = m.count ? 1 : 0;
                    m.code = kWriteRun;
                } else {
                    m.code = kWrite;
                }
            } else {
                m.code = kRead;
            }
            break;
        case kRunDone:
            RetryDone(s);
            m.index = static_cast<u16>(m.index + m.run);
            if (m.index >= m.count) m.index = 0;
            m.code = kNextCycle;
            StepMessage(d, m);
            break;
        case kWriteDone:
            RetryDone(s);
            AfterCycle(d, m);
            break;
        case kFailed:
            if (s.status) {
                SetStatus(s, 0, s.lastError);
                SetStatus(s, 1, static_cast<u16>(MessageIndex(d, m)));
            }
            s.stamp = Now10ms();
            s.holder = nullptr;
            m.code = kOffline;
            break;
        case kOffline:
            if (d.state != kCycleStart) break;
            if (s.state <= 1) {
                if (flags & kMsgChange) {
                    if (m.fetch) m.fetch(&m);
                    m.index = 0;
                }
                m.code = (flags & (kMsgRead | kMsgChange)) ? kRead : kTrigger;
            } else if (flags & (kMsgTrigRead | kMsgTrigWrite)) {
                ClearTrigger(m);
            }
            break;
        case kNextCycle:
            if (s.state != 0) {
                GoOffline(d, m);
            } else if (d.state == kCycleStart) {
                m.code = (m.change && (flags & kMsgChange) && m.change(&m)) ? kWriteRun : kRead;
            }
            break;
        case kTrigger:
            if (s.state != 0) {
                GoOffline(d, m);
            } else if (m.trigger && (*m.trigger & m.triggerMask)) {
                if (flags & kMsgTrigWrite) {
                    if (m.change) m.change(&m);
                    m.code = kWrite;
                } else {
                    m.code = kRead;
                }
            }
            break;
        case kDelay: {
            const u32 t = Sci_CharTime(GetLe16(d.table.config + 2) % 13);
            if (FPGA_GetFrt() - m.stamp >= (t / 35 * 8) / 10) {
                m.code = static_cast<u8>(m.resumeCode);
                d.table.busy = 0;
            }
            break;
        }
        default: break;
    }
}

void StepDiagnostics(PromgrDriverBlock& d) {
    DriverCallbackTable& t = d.table;
    if (t.diagnostics == nullptr) return;
    if (GetLe16(t.diagnostics + 2) & 0x8000) {
        if (d.resetDiagnostics) d.resetDiagnostics();
        t.cycleCounter = 0;
        PutLe16(t.diagnostics, 0);
        PutLe16(t.diagnostics + 2, 0);
        return;
    }
    if (d.diagnostics) d.diagnostics(t.diagnostics + 4);
    PutLe16(t.diagnostics, static_cast<u16>(t.cycleCounter));
    PutLe16(t.diagnostics + 2, static_cast<u16>((t.cycleCounter >> 16) & 0x7FFF));
}

}  // namespace

// --- Loading and start/stop ----------------------------------------------------------

int PMGR_Config(u32 n) {
    if (n >= kPmgrMaxDrivers) return 0;
    if (g.LibHandle[n] != nullptr) {
        if (n == 0) {
            for (u32 k = 0; k < kPmgrMaxDrivers && g.LibHandle[k] != nullptr; ++k) CloseHandle(k);
        } else {
            CloseHandle(n);
        }
    }
    g.pExecHdr_info[n] = nullptr;
    const u8* image = nullptr;
    u32 length = 0;
    const std::string path = ImagePath(n);
    // A driver record without an image leaves an empty file, which the
    // loader refuses.
    if (!Image(n, &image, &length)) length = 0;
    if (!WriteImage(path, image, length)) return 0;
    g.LibHandle[n] = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    return 1;
}

void PMGR_Start() {
    g.drivers = 0;
    const u32 n = Drivers();
    if (!(NV_EditorFeatures & kFeatPromgr) || n == 0) return;
    g.drivers = n;
    for (u32 i = 0; i < n; ++i) {
        g.dcb[i].state = kIdle;
        g.started[i] = false;
    }
    for (PromgrTimerBlock& t : g.tcb) t.inUse = 0;
    std::memset(dataSeg, 0, sizeof dataSeg);
    for (u32 i = 0; i < n; ++i) {
        if (!LoadDriver(i)) break;
        g.started[i] = StartDriver(i);
        if (!g.started[i]) g.dcb[i].state = kIdle;
    }
}

void PMGR_Stop() {
    const u32 n = g.drivers;
    if (n == 0) return;
    u32 base = 0;
    for (u32 i = 0; i < n; ++i) {
        PromgrDriverBlock& d = g.dcb[i];
        if (g.started[i] && (d.flags & 0x8000) && d.stop) d.stop();
        if (d.state != kIdle) {
            d.state = kIdle;
            if (d.port <= 1 && ProtocolNibble(d.port) != kProtoProgramming) {
                Talk_Release(d.port);
                Vcomm_Drv[d.port].Open(d.port, tovra_mode);
            }
        }
        g.started[i] = false;
        g.pExecHdr_info[i] = nullptr;
        u8 port = 0;
        if (PortByte(i, &port) && port >= 32) base = static_cast<u32>(port) * 256;
        for (u32 k = 0; k < kVCommChannels; ++k) EtnVComm_Close(base + k);
    }
    g.drivers = 0;
}

// --- The main-loop walk ------------------------------------------------------------------

void PMGR_TheLoop(int driver) {
    if (driver < 0 || static_cast<u32>(driver) >= g.drivers || !g.started[driver]) return;
    PromgrDriverBlock& d = g.dcb[driver];
    DriverCallbackTable& t = d.table;
    if (d.state == kIdle || d.state == kPeriodWait || d.state == kEnableWait) return;
    if (HoldBit(d)) {
        t.busy = 0;
        return;
    }
    if (t.controlCode != 0) {
        t.controlResult = d.control ? static_cast<u32>(d.control(t.controlCode, t.controlParameter)) : 0;
        t.controlCode = 0;
    }
    if (d.flags & 0x8000) return;
    const u32 count = t.messageCount;
    u32 first = 0, walk = count;
    if (t.resume != 0 && t.resume <= count) {
        first = count - t.resume;
        walk = t.resume;
    }
    for (u32 k = first; k < first + walk; ++k) {
        PromgrMessageBlock& m = t.messageBlocks[k];
        pProcess[m.code < 12 ? m.code : u8{kDelay}](d, m);
        if (t.busy) {
            t.resume = first + walk - k;
            return;
        }
    }
    t.resume = 0;
    if (d.state != kIdle) d.state = kCycleDone;
}

// --- The per-scan step -------------------------------------------------------------------

void PMGR_Scan() {
    for (u32 i = 0; i < g.drivers; ++i) {
        if (!g.started[i]) continue;
        PromgrDriverBlock& d = g.dcb[i];
        DriverCallbackTable& t = d.table;
        if (!HandOver(i)) continue;
        if (d.flags & 0x8000) {
            const PromgrStationBlock* s = t.messageCount ? t.messageBlocks[0].station : nullptr;
            if (!(Version() > 5 && s && StationDisabled(*s)) && d.ownScan) d.ownScan();
            continue;
        }
        if (!StepDriverState(d)) continue;
        StepStations(d);
        for (u32 k = 0; k < t.messageCount; ++k) {
            PromgrMessageBlock& m = t.messageBlocks[k];
            if (Version() > 5 && StationDisabled(*m.station)) continue;
            StepMessage(d, m);
        }
        StepDiagnostics(d);
        if (d.state == kCycleStart) {
            d.state = kRunning;
            t.cycleStart = Now10ms();
        }
    }
}

// --- Timers -------------------------------------------------------------------------------

u32 CreateTimer() {
    u32 k = 0;
    while (k < kPmgrTimers && g.tcb[k].inUse) ++k;
    // All 32 in use: a number no timer call acts on, rather than timer 0
    // that its owner still uses.
    if (k == kPmgrTimers) return kPmgrTimers;
    g.tcb[k] = PromgrTimerBlock{Now10ms(), 0, 1};
    return k;
}

void WriteTimer(u32 timer, u32 milliseconds) {
    if (timer >= kPmgrTimers) return;
    g.tcb[timer].remaining = static_cast<u16>((u64{milliseconds} + 9) / 10);
    g.tcb[timer].start = Now10ms();
}

u32 ReadTimer(u32 timer) {
    if (timer >= kPmgrTimers) return 0;
    PromgrTimerBlock& t = g.tcb[timer];
    const u32 now = Now10ms();
    const u32 elapsed = now - t.start;
    t.start = now;
    t.remaining = elapsed > t.remaining ? 0 : static_cast<u16>(t.remaining - elapsed);
    if ((SR_Get(5) & 0xFF) == 2) return t.remaining;
    t.remaining = 0;
    t.inUse = 0;
    return 0;
}

void CloseTimer(u32 timer) {
    if (timer < kPmgrTimers) g.tcb[timer].inUse = 0;
}

// --- Information and hooks ------------------------------------------------------------------

void PMGR_GetDrvInfo(u8* list, u32 entries) {
    if (list == nullptr) return;
    for (u32 e = 0; e < entries; ++e) {
        u8* entry = list + 50 * e;
        std::memset(entry, 0, 50);
        std::memcpy(entry, "(None Loaded)", 13);
        std::memcpy(entry + 25, " ", 1);
    }
    const u32 n = Drivers();
    if (!(NV_EditorFeatures & kFeatPromgr)) return;
    for (u32 i = 0; i < n; ++i) {
        if (!LoadDriver(i)) break;
        const DriverHeaderRecord* h = g.pExecHdr_info[i];
        if (h == nullptr || h->magic != PMGR_DRIVER_MAGIC) break;
        u8 port = 0;
        if (!PortByte(i, &port) || port >= entries) continue;
        u8* entry = list + 50 * port;
        std::memset(entry, 0, 50);
        if (h->name) std::snprintf(reinterpret_cast<char*>(entry), 21, "%s", h->name);
        const u16 version = static_cast<u16>(Field(i, 28));
        std::snprintf(reinterpret_cast<char*>(entry + 25), 25, "Version %2d.%02d.%04d", version / 100, version % 100,
                      h->build ? *h->build : 0);
    }
}

void PMGR_ResetLinks() {}
int PMGR_LinkReg() { return 0; }
void PMGR_LoadLinks() {}

u32 PMGR_DriverCount() {
    if (promgr_table_bl.Size() < 12) return 0;
    return GetLe32(promgr_table + 8);
}

bool PMGR_DriverVersion(u32 key, u16* version) {
    const u32 n = Drivers();
    for (u32 i = 0; i < n; ++i) {
        u8 port = 0;
        if (PortByte(i, &port) && port == key) {
            *version = static_cast<u16>(Field(i, 28));
            return true;
        }
    }
    return false;
}

int EtnPutTx(u32 port, u8 byte) { return EtnVComm_PutTx(port, byte); }

PromgrDriverBlock& PMGR_Driver(u32 i) { return g.dcb[i % kPmgrMaxDrivers]; }
PromgrStationBlock* PMGR_Stations(u32 i) { return g.scb[i % kPmgrMaxDrivers]; }
PromgrMessageBlock* PMGR_Messages(u32 i) { return g.mcb[i % kPmgrMaxDrivers]; }
PromgrTimerBlock* PMGR_Timers() { return g.tcb; }
const PromgrDeviceEntry* PMGR_DeviceTable() { return g.devTable; }
bool PMGR_Started(u32 i) { return i < kPmgrMaxDrivers && g.started[i]; }
u8 PMGR_PortSwitch(u32 port) { return port <= 1 ? g.port_switch[port] : 0; }

void PMGR_SetLoadHook(PmgrLoadHook hook) { g_loadHook = hook; }

void PMGR_Reset() {
    for (u32 n = 0; n < kPmgrMaxDrivers; ++n) CloseHandle(n);
    g = State{};
}
