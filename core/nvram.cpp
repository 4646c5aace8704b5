#include "core/nvram.h"

#include <execinfo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/bkuprstr.h"
#include "core/plc.h"
#include "core/plc_regs.h"
#include "platform/board.h"
#include "platform/fileio.h"
#include "platform/neighbour.h"
#include "platform/root.h"
#include "platform/system.h"

// Block storage: header and data of each block.
alignas(8) static u8 ladderStore[kNvHeaderBytes + kLadderCapacity];
alignas(8) static u8 ioConfigStore[kNvHeaderBytes + kIoConfigCapacity];
alignas(8) static u8 netConfigStore[kNvHeaderBytes + kNetConfigCapacity];
alignas(8) static u8 promgrStore[kNvHeaderBytes + kPromgrCapacity];
alignas(8) static u8 smsStore[kNvHeaderBytes + kSmsCapacity];
alignas(8) static u8 datalogStore[kNvHeaderBytes + kDatalogCapacity];
alignas(8) static u8 canopenStore[kNvHeaderBytes + kCanopenCapacity];
alignas(8) static u8 mqttStore[kNvHeaderBytes + kMqttCapacity];
alignas(8) static u8 flashParmStore[kNvHeaderBytes + kFlashParmCapacity];

// The download protocol accepts sizes up to these maxima; the check below
// also holds every size to the block's capacity, so a header that claims a
// few bytes more than the block holds can never make the CRC read past it.
const NvBlock ladder_bl{ladderStore, kLadderCapacity, 1, 0x200000};
const NvBlock io_config_bl{ioConfigStore, kIoConfigCapacity, 1, 0x7F000};
const NvBlock net_config_bl{netConfigStore, kNetConfigCapacity, 0, 0};
const NvBlock promgr_table_bl{promgrStore, kPromgrCapacity, 1, 0x400000};
const NvBlock sms_table_bl{smsStore, kSmsCapacity, 1, 0x20000};
const NvBlock datalog_table{datalogStore, kDatalogCapacity, 1, 0x20000};
const NvBlock copendnet_tbl{canopenStore, kCanopenCapacity, 1, 0x20000};
const NvBlock mqtt_tbl{mqttStore, kMqttCapacity, 1, 0x800000};
const NvBlock flash_parm_tbl{flashParmStore, kFlashParmCapacity, 0, 0};

u8* const ladder = ladderStore + kNvHeaderBytes;
u8* const io_config = ioConfigStore + kNvHeaderBytes;
u8* const promgr_table = promgrStore + kNvHeaderBytes;
u8* const sms_table = smsStore + kNvHeaderBytes;
u8* const net_config = netConfigStore + kNvHeaderBytes;

u32 NV_EditorFeatures = 0;
u8 fwload_set_def = 0;
u8 QuilletRuntime = 0;
u8 Q4_init = 0;
const u8* QuilletI0_VarLoc = nullptr;
NvramPeers nvramPeers;

void NvramPeers_Check(NeighbourCheck& check) {
    NEIGHBOUR_REQUIRE(check, nvramPeers, startIec);
    NEIGHBOUR_REQUIRE(check, nvramPeers, stopIec);
    NEIGHBOUR_REQUIRE(check, nvramPeers, forgetIecVariables);
    NEIGHBOUR_REQUIRE(check, nvramPeers, deleteIecCode);
    NEIGHBOUR_REQUIRE(check, nvramPeers, markNetIoConfig);
    NEIGHBOUR_REQUIRE(check, nvramPeers, applyNetIoConfig);
}

namespace {

constexpr const char* kLadderPath = "/mnt/cfg/ladder.pgm";
constexpr const char* kConfigPath = "/mnt/cfg/config.pgm";
constexpr const char* kCodePath = "/mnt/cfg/q4.cod";
constexpr const char* kLogPath = "/mnt/cfg/logfile";

// Constant default images.
const u8 ladder_default[2] = {9, 0};  // the end-of-program instruction
const u8 io_config_default[12] = {0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0};
const u8 net_config_default[34] = {0, 0, 0, 0, 0, 0, 0x40};
const u8 io_force_default[4] = {};
const u8 security_default[kSecurityTableMax] = {};
const u8 graph_default[8] = {8, 0, 0, 0, 0, 0, 0, 0};

// The eight blocks of config.pgm after the I/O configuration, in file order
// (the security table sits between the first and the second).
const NvBlock* const kConfigBlocks[] = {&promgr_table_bl, &sms_table_bl,   &datalog_table,
                                        &flash_parm_tbl,  &copendnet_tbl, &mqtt_tbl};

// IEC application record.
constexpr u16 kIecMagic = 0x004A;
constexpr u32 kIecCodeOffset = 16;
constexpr u32 kVarLocBytes = 6464 * 4;

// System-register mirrors of the blocks' CRC and size.
struct BlockRegs {
    const NvBlock* block;
    int crcSr;
    int sizeSr;
};
const BlockRegs kBlockRegs[] = {{&ladder_bl, 23, 11},       {&io_config_bl, 26, 17}, {&net_config_bl, 27, 19},
                                {&promgr_table_bl, 130, 123}, {&sms_table_bl, 147, 143}};

// Host path of the crash log, computed before any fault can happen.
char logHostPath[4096];

void SetBlockRegs(const NvBlock& b, u16 crc, u32 size) {
    b.SetHeader(crc, size);
    for (const BlockRegs& r : kBlockRegs) {
        if (r.block == &b) {
            SR_Put(r.crcSr, crc);
            SR_PutDword(r.sizeSr, size);
        }
    }
}

// Erases a block the way the flash erase does (first kilobyte to 0xFF) and
// puts the default data in.
void WriteDefault(const NvBlock& b, const u8* data, u32 size) {
    std::memset(b.Data(), 0xFF, std::min<u32>(b.capacity, 1024));
    nv_write(b.Data(), data, size);
}

u32 ClampedSize(const NvBlock& b) { return std::min(b.Size(), b.capacity); }

void MakePrivate(const std::string& hostPath) { ::chmod(hostPath.c_str(), 0600); }

bool WriteLadderFile() {
    u32 size = ClampedSize(ladder_bl);
    u8 header[kNvHeaderBytes];
    PutLe16(header, ladder_bl.Crc());
    PutLe16(header + 2, 0);
    PutLe32(header + 4, size);
    FilePiece pieces[] = {{header, sizeof header}, {ladder_bl.Data(), size}};
    std::string path = Root_HostPath(kLadderPath);
    if (!File_WriteAtomicPieces(path, pieces, 2)) return false;
    MakePrivate(path);
    return true;
}

// Reads one block section of config.pgm at *pos into the block. False when
// the section is incomplete or larger than the block.
bool ReadBlockSection(const std::vector<u8>& file, size_t* pos, const NvBlock& b) {
    if (file.size() - *pos < kNvHeaderBytes) return false;
    const u8* h = file.data() + *pos;
    u32 size = GetLe32(h + 4);
    if (size > b.capacity || file.size() - *pos - kNvHeaderBytes < size) return false;
    nv_write(b.Data(), h + kNvHeaderBytes, size);
    b.SetHeader(GetLe16(h), size);
    *pos += kNvHeaderBytes + size;
    return true;
}

// The security table section: u16 size, u16 CRC, data. Its size is held to
// the table's room so that it can never spill into the registers after it.
bool ReadSecuritySection(const std::vector<u8>& file, size_t* pos) {
    if (file.size() - *pos < 4) return false;
    const u8* h = file.data() + *pos;
    u16 size = GetLe16(h);
    if (size > kSecurityTableMax || file.size() - *pos - 4 < size) return false;
    std::memcpy(&plc_reg[kSecurityTableOffset], h + 4, size);
    SR_PutDword(21, size);
    SR_Put(28, GetLe16(h + 2));
    *pos += 4u + size;
    return true;
}

bool CheckForceTable() {
    u32 size = SR_GetDword(15);
    if (size > kForceTableMax) return false;
    std::memcpy(io_force, &plc_reg[kForceTableOffset], size);
    return crc16(io_force, size) == SR_Get(25);
}

bool CheckSecurityTable() {
    u32 size = SR_GetDword(21);
    if (size > kSecurityTableMax) return false;
    return crc16(&plc_reg[kSecurityTableOffset], size) == SR_Get(28);
}

bool AllBlocksValid() {
    if (!NvBlockValid(io_config_bl) || !NvBlockValid(ladder_bl) || !CheckForceTable() || !CheckSecurityTable())
        return false;
    nv_get_features();
    u32 f = NV_EditorFeatures;
    if ((f & kFeatPromgr) && !NvBlockValid(promgr_table_bl)) return false;
    if ((f & kFeatSms) && !NvBlockValid(sms_table_bl)) return false;
    if ((f & kFeatDatalog) && !NvBlockValid(datalog_table)) return false;
    if ((f & kFeatCanopen) && !NvBlockValid(copendnet_tbl)) return false;
    if ((f & (kFeatMqtt | kFeatMqttAlt)) && !NvBlockValid(mqtt_tbl)) return false;
    return true;
}

void FixSystemRegisters(bool defaults) {
    if (defaults) {
        const struct {
            int sr;
            u16 value;
        } kDefaults[] = {{169, 0x7FFF}, {170, 0x8000}, {5, 0},   {32, 16},  {33, 0},   {31, 0},  {137, 500}, {173, 0},
                         {180, 0},      {183, 1},      {185, 0}, {186, 15}, {152, 0},  {163, 0}, {164, 0}};
        for (const auto& d : kDefaults) SR_Put(d.sr, d.value);
        return;
    }
    if (SR_Get(5) > 2) SR_Put(5, 0);
    if (SR_Get(32) == 0 || SR_Get(32) > 40) SR_Put(32, 16);
    if (SR_Get(33) > 1) SR_Put(33, 0);
    if (SR_Get(31) > 127) SR_Put(31, 0);
    if (SR_Get(137) < 500) SR_Put(137, 500);
    if (SR_Get(173) > 1) SR_Put(173, 0);
    if (SR_Get(180) > 2) SR_Put(180, 0);
    if (SR_Get(183) > 1) SR_Put(183, 1);
    if (SR_Get(185) > 1) SR_Put(185, 0);
    if (SR_Get(186) < 5 || SR_Get(186) > 1200) SR_Put(186, 15);
    if (SR_Get(152) > 3) SR_Put(152, 0);
}

// Rewrites every block with its default. `invalid` (a bad block or forced
// defaults) leaves the headers at CRC 0 and size 0 so that the program
// counts as absent; otherwise each header describes its default data.
void WriteDefaults(bool invalid) {
    if (invalid) {
        SR_Put(4, SR_Get(4) | 0x4);
        SetPlcMode(0);
    }
    auto header = [invalid](const NvBlock& b, u32 size) {
        if (invalid)
            SetBlockRegs(b, 0, 0);
        else
            SetBlockRegs(b, crc16(b.Data(), size), size);
    };

    WriteDefault(ladder_bl, ladder_default, sizeof ladder_default);
    header(ladder_bl, sizeof ladder_default);
    WriteDefault(io_config_bl, io_config_default, sizeof io_config_default);
    header(io_config_bl, sizeof io_config_default);
    nv_write(net_config_bl.Data(), net_config_default, sizeof net_config_default);
    header(net_config_bl, sizeof net_config_default);

    S_Put(12, false);
    std::memcpy(io_force, io_force_default, sizeof io_force_default);
    std::memcpy(&plc_reg[kForceTableOffset], io_force_default, sizeof io_force_default);
    SR_Put(25, crc16(io_force_default, sizeof io_force_default));
    SR_PutDword(15, sizeof io_force_default);

    std::memcpy(&plc_reg[kSecurityTableOffset], security_default, sizeof security_default);
    if (invalid) {
        SR_Put(28, 0);
        SR_PutDword(21, 0);
    } else {
        SR_Put(28, crc16(security_default, sizeof security_default));
        SR_PutDword(21, sizeof security_default);
    }

    for (const NvBlock* b : {&promgr_table_bl, &sms_table_bl, &datalog_table, &mqtt_tbl}) {
        WriteDefault(*b, graph_default, sizeof graph_default);
        header(*b, sizeof graph_default);
    }
    WriteDefault(copendnet_tbl, graph_default, sizeof graph_default);
    copendnet_tbl.SetHeader(crc16(graph_default, sizeof graph_default), sizeof graph_default);
    Plc_NetInit();

    // The complement tells the data logger that its table changed.
    SR_Put(148, static_cast<u16>(~datalog_table.Crc()));
    SR_PutDword(145, ~datalog_table.Size());
}

u32 Persistent(int index) { return Board_Persistent(index); }

}  // namespace

// ---------------------------------------------------------------------------
// Persistent flags.

u32 PersistFlags_Get() { return Persistent(kPersistentFaultFlags); }
void PersistFlags_Set(u32 flags) { Board_SetPersistent(kPersistentFaultFlags, flags); }
void PersistFlags_Or(u32 bits) { PersistFlags_Set(PersistFlags_Get() | bits); }
u32 UncleanCount_Get() { return Persistent(kPersistentUncleanCount); }
void UncleanCount_Set(u32 count) { Board_SetPersistent(kPersistentUncleanCount, count); }

// ---------------------------------------------------------------------------
// Blocks.

void nv_get_features() {
    u32 size = ClampedSize(ladder_bl);
    // A program shorter than the trailer carries no feature word.
    if (size < 9 || ladder[size - 1] > 253)
        NV_EditorFeatures = 0;
    else
        NV_EditorFeatures = GetLe32(ladder + size - 9);
}

void nv_write(void* destination, const void* source, u32 count) {
    if (count != 0) std::memmove(destination, source, count);
}

bool NvBlockValid(const NvBlock& b) {
    u32 size = b.Size();
    u32 max = b.validMax == 0 ? b.capacity : std::min(b.validMax, b.capacity);
    if (size < b.validMin || size > max) return false;
    return crc16(b.Data(), size) == b.Crc();
}

void Nvram_Reset() {
    for (const NvBlock* b : {&ladder_bl, &io_config_bl, &net_config_bl, &promgr_table_bl, &sms_table_bl,
                             &datalog_table, &copendnet_tbl, &mqtt_tbl, &flash_parm_tbl}) {
        b->SetHeader(0, 0);
        std::memset(b->Data(), 0, std::min<u32>(b->capacity, 1024));
    }
    NV_EditorFeatures = 0;
    fwload_set_def = 0;
    QuilletRuntime = 0;
    Q4_init = 0;
    QuilletI0_VarLoc = nullptr;
}

// ---------------------------------------------------------------------------
// Program files.

int LoadLadder() {
    std::string path = Root_HostPath(kLadderPath);
    if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) return 1;
    std::vector<u8> file;
    bool ok = File_ReadAll(path, file, kNvHeaderBytes + static_cast<size_t>(kLadderCapacity)) &&
              file.size() >= kNvHeaderBytes;
    if (ok) {
        u32 size = GetLe32(file.data() + 4);
        ok = size <= kLadderCapacity && file.size() - kNvHeaderBytes >= size &&
             crc16(file.data() + kNvHeaderBytes, size) == GetLe16(file.data());
        if (ok) {
            nv_write(ladder, file.data() + kNvHeaderBytes, size);
            ladder_bl.SetHeader(GetLe16(file.data()), size);
        }
    }
    if (!ok) {
        PersistFlags_Or(kPfLadderRead);
        return 0;
    }
    QuilletStart();
    return 1;
}

int LoadProgram() {
    // The first thing start-up does: from here on a fault can write the crash log.
    GenLogFile_Prepare();
    if (!LoadLadder()) return 0;
    std::string path = Root_HostPath(kConfigPath);
    if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) return 1;

    size_t maxBytes = kNvHeaderBytes + static_cast<size_t>(kIoConfigCapacity) + 4 + kSecurityTableMax;
    for (const NvBlock* b : kConfigBlocks) maxBytes += kNvHeaderBytes + b->capacity;
    std::vector<u8> file;
    bool ok = File_ReadAll(path, file, maxBytes);
    size_t pos = 0;
    ok = ok && ReadBlockSection(file, &pos, io_config_bl) && ReadSecuritySection(file, &pos);
    for (const NvBlock* b : kConfigBlocks) ok = ok && ReadBlockSection(file, &pos, *b);
    if (!ok) {
        PersistFlags_Or(kPfConfigRead);
        return 0;
    }
    return 1;
}

int Q4SaveLadderPgm() { return WriteLadderFile() ? 1 : 0; }

int SaveLadder() {
    if (!WriteLadderFile()) {
        PersistFlags_Or(kPfLadderWrite);
        return 0;
    }
    if (QuilletRuntime) {
        QuilletStop();
        nvramPeers.deleteIecCode();
    }
    QuilletStart();
    return 1;
}

int SaveProgram() {
    int result = SaveLadder();

    u8 ioHeader[kNvHeaderBytes];
    u8 secHeader[4];
    u8 headers[std::size(kConfigBlocks)][kNvHeaderBytes];
    std::vector<FilePiece> pieces;
    auto addBlock = [&pieces](const NvBlock& b, u8* h) {
        u32 size = ClampedSize(b);
        PutLe16(h, b.Crc());
        PutLe16(h + 2, 0);
        PutLe32(h + 4, size);
        pieces.push_back({h, kNvHeaderBytes});
        pieces.push_back({b.Data(), size});
    };
    addBlock(io_config_bl, ioHeader);
    u16 secSize = static_cast<u16>(std::min<u32>(SR_Get(21), kSecurityTableMax));
    PutLe16(secHeader, secSize);
    PutLe16(secHeader + 2, SR_Get(28));
    pieces.push_back({secHeader, sizeof secHeader});
    pieces.push_back({&plc_reg[kSecurityTableOffset], secSize});
    for (size_t i = 0; i < std::size(kConfigBlocks); ++i) addBlock(*kConfigBlocks[i], headers[i]);

    // Flushing a large file may outlast the watchdog time-out.
    bool watchdogOn = SYS_WatchdogFd() >= 0;
    if (watchdogOn) StopWatchdog();
    std::string path = Root_HostPath(kConfigPath);
    bool written = File_WriteAtomicPieces(path, pieces.data(), pieces.size());
    if (watchdogOn) StartWatchdog();
    if (written) MakePrivate(path);
    if (!written || !AutoSaveRegisters()) {
        PersistFlags_Or(kPfConfigWrite);
        return 0;
    }
    return result;
}

int DeleteProgram() {
    int result = 1;
    for (const char* fw : {kLadderPath, kConfigPath}) {
        std::string path = Root_HostPath(fw);
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) result = 0;
        File_SyncDirOf(path);
    }
    return result;
}

// ---------------------------------------------------------------------------
// Start-up check.

int nvram_init(int eraseRequest, int forceDefaults, int mode) {
    RestoreSRReg(eraseRequest, forceDefaults, mode);
    if (eraseRequest) EraseBackupData();

    if (SR_Get(61) < 1 || SR_Get(61) > 127) SR_Put(61, 1);
    int defaults = (eraseRequest || fwload_set_def) ? 1 : 0;
    // The restored mode decides below: a controller that stopped in run keeps
    // its blocks even though the defaults reset SR5.
    bool restoredRun = SR_Get(5) == 2;

    u16 limit = static_cast<u16>(128 - SR_Get(61));
    if (SR_Get(29) == 0 || SR_Get(29) > limit) {
        SR_Put(4, SR_Get(4) | 0x20);
        SR_Put(29, limit);
    }
    if (SR_Get(30) > 4) SR_Put(30, 0);

    FixSystemRegisters(defaults != 0);
    ESR_Put(1, 0);

    bool invalid = false;
    if (!defaults && !forceDefaults) invalid = !AllBlocksValid();

    if ((defaults || forceDefaults || invalid) && !restoredRun) {
        fwload_set_def = 0;
        WriteDefaults(invalid || forceDefaults);
    }

    SR_Put(154, SR_Get(154) & 0x3FFF);
    return defaults;
}

// ---------------------------------------------------------------------------
// IEC application hand-over.

void LoadQuillet(const u8* record, u32 size) {
    QuilletI0_VarLoc = nullptr;
    bool iec = size >= kIecCodeOffset && GetLe16(record) == kIecMagic && std::memcmp(record + 4, "XTI", 4) == 0;
    u32 length = iec ? GetLe32(record + 8) : 0;
    // The code length comes from a downloaded record: the code and the
    // register location table after it must lie inside the record.
    if (iec && (length > size - kIecCodeOffset || size - kIecCodeOffset - length < kVarLocBytes)) iec = false;
    if (!iec) {
        IoConfig();
        QuilletRuntime = 0;
        return;
    }
    std::string path = Root_HostPath(kCodePath);
    const u8* code = record + kIecCodeOffset;
    if (File_WriteAtomic(path, code, length)) {
        MakePrivate(path);
        QuilletI0_VarLoc = code + length;
    } else {
        // No stale code of an earlier application may stay behind.
        ::unlink(path.c_str());
    }
    Q4_init = 0;
    QuilletRuntime = 1;
    nvramPeers.startIec();
    nvramPeers.markNetIoConfig(1);
    nvramPeers.applyNetIoConfig();
    nvramPeers.markNetIoConfig(0);
}

void QuilletStart() { LoadQuillet(ladder, ClampedSize(ladder_bl)); }

void QuilletStop() {
    nvramPeers.stopIec();
    nvramPeers.forgetIecVariables();
}

// ---------------------------------------------------------------------------
// Crash log.

void GenLogFile_Prepare() {
    std::string p = Root_HostPath(kLogPath);
    if (p.size() >= sizeof logHostPath) p.clear();
    std::memcpy(logHostPath, p.c_str(), p.size() + 1);
    // The first backtrace loads the unwinder, which allocates; do it here,
    // not in the signal handler.
    void* frames[2];
    (void)backtrace(frames, 2);
}

int GenLogFile() {
    if (logHostPath[0] == 0) return 0;
    int fd = ::open(logHostPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    void* frames[32];
    int n = backtrace(frames, 32);
    backtrace_symbols_fd(frames, n, fd);
    ::fdatasync(fd);
    ::close(fd);
    return 1;
}
