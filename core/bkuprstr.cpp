#include "core/bkuprstr.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "core/nvram.h"
#include "platform/board.h"
#include "platform/fileio.h"
#include "platform/neighbour.h"
#include "platform/reset.h"
#include "platform/root.h"
#include "platform/rtclock.h"
#include "platform/system.h"
#include "storage/cf_api.h"

alignas(8) u8 crcsize_tbl[kBackupAreaBytes];
u8 bbram[kBbramBytes];
u8 OemSelection = 0;
u8 Manual_test = 0;
u8 Mrstate_flag = 0;
u8 Clone_Sure_Flag = 0;
u8 Clon_LoadClone = 0;
BackupPeers backupPeers;

void BackupPeers_Check(NeighbourCheck& check) {
    NEIGHBOUR_REQUIRE(check, backupPeers, deleteIecRetained);
    NEIGHBOUR_REQUIRE(check, backupPeers, saveIecRetained);
    NEIGHBOUR_REQUIRE(check, backupPeers, loadIecRetained);
    NEIGHBOUR_REQUIRE(check, backupPeers, cardLoadRequests);
    NEIGHBOUR_REQUIRE(check, backupPeers, clearCardLoadRequests);
    NEIGHBOUR_REQUIRE(check, backupPeers, mediaInitTime);
    NEIGHBOUR_REQUIRE(check, backupPeers, mediaFreeKb);
    NEIGHBOUR_REQUIRE(check, backupPeers, saveProgramToMedia);
    NEIGHBOUR_REQUIRE(check, backupPeers, readProgramIdentity);
    NEIGHBOUR_REQUIRE(check, backupPeers, validateProgram);
    NEIGHBOUR_REQUIRE(check, backupPeers, loadProgram);
    NEIGHBOUR_REQUIRE(check, backupPeers, pollMedia);
    NEIGHBOUR_REQUIRE(check, backupPeers, makeCloneImage);
}

namespace {

constexpr const char* kAutoRegPath = "/mnt/cfg/autoreg.dta";
constexpr const char* kBkpRegPath = "/mnt/cfg/bkpreg.dta";
constexpr const char* kRetnRegPath = "/mnt/cfg/retnreg.dta";
constexpr const char* kBbramPath = "/mnt/cfg/bbram.dta";
constexpr const char* kSavedPath = "/mnt/cfg/saved.dat";
constexpr const char* kOemInfoPath = "/mnt/cfg/oeminfo";
constexpr const char* kRetBackupPath = "/mnt/cfg/Q4_BKP.RET";
constexpr const char* kRetPath = "/mnt/cfg/q4.ret";
constexpr const char kSavedText[] = "Saved autoreg.dta";

constexpr u32 kImageFileBytes = 8 + kPlcRegBytes;       // autoreg.dta
constexpr u32 kBackupFileBytes = 8 + kPlcRegBytes + 8;  // bkpreg.dta
constexpr u32 kErasedLength = 0xFFFFFFFF;
constexpr u8 kNotRestored = 0xFF;
constexpr u32 kSr164Off = 2 * (127 + 164);  // SR164 inside a register image

// SR164 bits.
constexpr u16 kBkRestored = 0x4, kBkStored = 0x8, kBkRunAfterRestore = 0x10, kBkRestoreAtUnclean = 0x20,
              kBkStoreNow = 0x40, kBkEraseNow = 0x80, kCloneMake = 0x100, kCloneLoad = 0x200,
              kCloneConfirm = 0x1000, kBkRestoreNow = 0x2000, kBkRestoreConfirm = 0x4000;

// The main loop and the watchdog thread both save the image: one at a time.
std::mutex saveMutex;
alignas(8) u8 saveImage[kImageFileBytes];

struct State {
    // A clean stop seen at this start; a retried load stays on the clean path
    // (saved.dat is gone by then) so that a bad image is never taken.
    bool cleanStopSeen = false;
    // The unclean counter counts power-ups, not load attempts.
    bool uncleanCounted = false;
    // Step of a running clone make (state 6) or load (state 8): 0 not
    // started, then the directory request that is awaited.
    int cloneStep = 0;
    // The last directory request of a clone load reported an error.
    bool cloneRequestFailed = false;
    // The load in state 8 is a program load from the card, not a clone.
    bool cardLoad = false;
    // Free space of drive A: when the clone was started.
    u32 cloneFreeKb = 0;
};
State g;

bool Exists(const char* fw) { return ::access(Root_HostPath(fw).c_str(), F_OK) == 0; }

bool WritePrivate(const char* fw, const FilePiece* pieces, size_t count) {
    std::string path = Root_HostPath(fw);
    if (!File_WriteAtomicPieces(path, pieces, count)) return false;
    ::chmod(path.c_str(), 0600);
    return true;
}

bool WritePrivate(const char* fw, const void* data, size_t size) {
    FilePiece piece{data, size};
    return WritePrivate(fw, &piece, 1);
}

bool Remove(const char* fw) {
    std::string path = Root_HostPath(fw);
    bool gone = ::unlink(path.c_str()) == 0 || errno == ENOENT;
    File_SyncDirOf(path);
    return gone;
}

// Reads up to max bytes of a file; the count read, or -1 when it cannot be opened.
long ReadUpTo(const char* fw, u8* out, size_t max) {
    int fd = ::open(Root_HostPath(fw).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t got = 0;
    while (got < max) {
        ssize_t n = ::read(fd, out + got, max - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    return static_cast<long>(got);
}

enum class Image { Good, Short, Bad };

// Reads autoreg.dta and checks it; the register memory is not touched.
Image ReadAutoImage(std::vector<u8>& buf) {
    buf.assign(kImageFileBytes, 0);
    long n = ReadUpTo(kAutoRegPath, buf.data(), buf.size());
    if (n < static_cast<long>(kImageFileBytes)) return Image::Short;
    if (GetLe32(&buf[4]) != kPlcRegBytes || crc16(&buf[8], kPlcRegBytes) != GetLe16(&buf[0])) return Image::Bad;
    return Image::Good;
}

// The backup area holds a complete image with a matching CRC.
bool BackupValid(const u8* area) {
    return GetLe32(area + 4) == kPlcRegBytes && crc16(area + 8, kPlcRegBytes) == GetLe16(area);
}

void MarkBackupErased() {
    std::memset(crcsize_tbl, 0xFF, 8);
    crcsize_tbl[kBackupMarkerOffset] = 0;
    crcsize_tbl[kBackupRestoredOffset] = kNotRestored;
}

void SetSr164(u16 bits, bool on) {
    u16 v = SR_Get(164);
    SR_Put(164, on ? static_cast<u16>(v | bits) : static_cast<u16>(v & ~bits));
}

void WriteClock() {
    RTCTime t{SR_Get(44), SR_Get(45), SR_Get(46), SR_Get(47), SR_Get(48), SR_Get(49), SR_Get(50)};
    RtcSet(&t);
}

}  // namespace

void Bkuprstr_Reset() {
    std::memset(crcsize_tbl, 0, sizeof crcsize_tbl);
    MarkBackupErased();
    std::memset(bbram, 0, sizeof bbram);
    OemSelection = 0;
    Manual_test = 0;
    Mrstate_flag = 0;
    Clone_Sure_Flag = 0;
    Clon_LoadClone = 0;
    g = State{};
}

// ---------------------------------------------------------------------------
// Small files.

void SaveBBRAMFile() {
    if (Exists(kBbramPath)) WritePrivate(kBbramPath, bbram, sizeof bbram);
}

void CreateSavedFile() { WritePrivate(kSavedPath, kSavedText, sizeof kSavedText - 1); }

int CrtAutoSaveRegFile() {
    WritePrivate(kBbramPath, "", 0);
    int result = 1;
    if (!WritePrivate(kAutoRegPath, "", 0)) {
        PersistFlags_Or(kPfRegCreate);
        result = 0;
    }
    u8 retn[4];
    if (ReadUpTo(kRetnRegPath, retn, sizeof retn) == static_cast<long>(sizeof retn)) {
        SR_Put(29, GetLe16(retn));
        SR_Put(30, GetLe16(retn + 2));
    }
    return result;
}

int DelAutoRegFile() {
    u8 retn[4];
    PutLe16(retn, SR_Get(29));
    PutLe16(retn + 2, SR_Get(30));
    WritePrivate(kRetnRegPath, retn, sizeof retn);
    PersistFlags_Set(kPfCleanStop);
    UncleanCount_Set(0);
    std::string path = Root_HostPath(kAutoRegPath);
    int result = ::unlink(path.c_str()) == 0 ? 1 : 0;
    File_SyncDirOf(path);
    return result;
}

// ---------------------------------------------------------------------------
// The automatic image.

int AutoSaveRegisters() {
    std::lock_guard<std::mutex> lock(saveMutex);
    SaveBBRAMFile();
    // The image is only ever replaced: a missing file means the images were
    // deleted on purpose and the next start is a first start.
    if (!Exists(kAutoRegPath)) return 0;

    std::memcpy(saveImage + 8, plc_reg, kPlcRegBytes);
    PutLe16(saveImage, crc16(saveImage + 8, kPlcRegBytes));
    PutLe16(saveImage + 2, 0);
    PutLe32(saveImage + 4, kPlcRegBytes);
    bool ok = WritePrivate(kAutoRegPath, saveImage, sizeof saveImage);
    if (!ok) PersistFlags_Or(kPfRegSave);
    AutoregFailed = ok ? 0 : 1;  // the battery test reports a failed save
    WriteClock();
    return ok ? 1 : 0;
}

int AutoLoadRegisters() {
    std::memset(bbram, 0, sizeof bbram);
    ReadUpTo(kBbramPath, bbram, sizeof bbram);
    u8 oem;
    if (ReadUpTo(kOemInfoPath, &oem, 1) == 1) OemSelection = oem;

    int result = 0;
    bool firstStart = !Exists(kAutoRegPath);
    if (firstStart) {
        CrtAutoSaveRegFile();
        fwload_set_def = 1;
        result = 1;
    } else {
        if (Exists(kSavedPath)) {
            Remove(kSavedPath);
            g.cleanStopSeen = true;
        }
        std::vector<u8> image;
        if (g.cleanStopSeen) {
            Image got = ReadAutoImage(image);
            if (got == Image::Good) {
                std::memcpy(plc_reg, &image[8], kPlcRegBytes);
                result = 1;
            } else {
                if (got == Image::Short) PersistFlags_Or(kPfRegShort);
                PlcRegInit(1);
                PersistFlags_Or(kPfColdStart);
            }
        } else {
            std::vector<u8> backup(kBackupFileBytes);
            bool useBackup = ReadUpTo(kBkpRegPath, backup.data(), backup.size()) ==
                                 static_cast<long>(kBackupFileBytes) &&
                             BackupValid(backup.data()) && (GetLe16(&backup[8 + kSr164Off]) & kBkRestoreAtUnclean);
            if (useBackup) {
                std::memcpy(plc_reg, &backup[8], kPlcRegBytes);
                SR_Put(5, (SR_Get(164) & kBkRunAfterRestore) ? 2 : 0);
                result = 1;
            } else {
                Image got = ReadAutoImage(image);
                if (got == Image::Good) {
                    std::memcpy(plc_reg, &image[8], kPlcRegBytes);
                    SR_Put(5, 2);
                    result = 1;
                } else {
                    // A torn or corrupt image is never run: start cold.
                    PersistFlags_Or(got == Image::Short ? kPfRegShort : kPfColdStart);
                    PlcRegInit(1);
                }
            }
        }
        ESR_Put(7, static_cast<u16>(PersistFlags_Get()));
    }

    if (!(PersistFlags_Get() & kPfCleanStop) && !g.uncleanCounted) {
        UncleanCount_Set(UncleanCount_Get() + 1);
        g.uncleanCounted = true;
    }
    SR_Put(52, static_cast<u16>(UncleanCount_Get()));
    if (result == 1) {
        PersistFlags_Set(PersistFlags_Get() & ~kPfCleanStop);
        g.cleanStopSeen = false;
    }
    return result;
}

// ---------------------------------------------------------------------------
// Power-down.

void PowerDown() {
    // A fresh 5-second watchdog period for the saves below.
    if (SYS_WatchdogFd() >= 0) {
        StopWatchdog();
        StartWatchdog();
        set_watchdog_time(5);
    }
    AutoSaveRegisters();
    if (QuilletRuntime) {
        QuilletStop();
        int fd = ::open(Root_Dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            ::syncfs(fd);
            ::close(fd);
        }
    }
    CreateSavedFile();
    PersistFlags_Or(kPfCleanStop);
    timespec wait{0, 25000};
    nanosleep(&wait, nullptr);
    // The board's power controller cuts the supply; here the process ends
    // with the power-off code once the request is written.
    Supply_RequestPowerOff();
    std::exit(kExitPowerOff);
}

// ---------------------------------------------------------------------------
// The manual backup.

int LoadRegisters() {
    std::vector<u8> file(kBackupFileBytes);
    long n = ReadUpTo(kBkpRegPath, file.data(), file.size());
    if (n < 0) {
        crcsize_tbl[kBackupRestoredOffset] = kNotRestored;
        return 0;
    }
    if (n != static_cast<long>(kBackupFileBytes) || GetLe32(&file[4]) != kPlcRegBytes) {
        // A torn or foreign file is no backup.
        MarkBackupErased();
        return 0;
    }
    std::memcpy(crcsize_tbl, file.data(), file.size());
    return 1;
}

int BkpRegisters() { return WritePrivate(kBkpRegPath, crcsize_tbl, kBackupFileBytes) ? 1 : 0; }

int ClrRegFile() {
    crcsize_tbl[kBackupRestoredOffset] = kNotRestored;
    crcsize_tbl[kBackupMarkerOffset] = 0;
    if (QuilletRuntime) backupPeers.deleteIecRetained();
    return Remove(kBkpRegPath) ? 1 : 0;
}

void q4_reg_store_backup() {
    if (backupPeers.saveIecRetained(kRetBackupPath)) ::chmod(Root_HostPath(kRetBackupPath).c_str(), 0600);
}

void q4_reg_load_backup() {
    backupPeers.loadIecRetained(kRetBackupPath);
    std::vector<u8> data;
    if (!File_ReadAll(Root_HostPath(kRetBackupPath), data, 64u << 20)) return;
    if (!WritePrivate(kRetPath, data.data(), data.size())) std::fputs("write failed\n", stderr);
}

void StoreBBRAM() {
    SetSr164(kBkStoreNow, false);
    std::memset(crcsize_tbl, 0xFF, sizeof crcsize_tbl);
    std::memcpy(crcsize_tbl + 8, plc_reg, kPlcRegBytes);
    PutLe16(crcsize_tbl, crc16(plc_reg, kPlcRegBytes));
    PutLe16(crcsize_tbl + 2, 0);
    PutLe32(crcsize_tbl + 4, kPlcRegBytes);
    SetSr164(kBkStored, true);
    SetSr164(kBkRestored, false);
    crcsize_tbl[kBackupMarkerOffset] = kBackupMarker;
    std::memset(crcsize_tbl + kBackupMarkerOffset + 1, 0, 3);
    crcsize_tbl[kBackupRestoredOffset] = kNotRestored;
    std::memset(crcsize_tbl + kBackupRestoredOffset + 1, 0, 3);
    if (QuilletRuntime) q4_reg_store_backup();
    BkpRegisters();
}

void RestoreBBRAM(int atStartup) {
    if (!BackupValid(crcsize_tbl)) return;
    u16 mode = SR_Get(5);
    bool stored = SR_Get(164) & kBkStored;
    std::memcpy(plc_reg, crcsize_tbl + 8, kPlcRegBytes);
    if (QuilletRuntime) q4_reg_load_backup();
    SR_Put(5, mode);
    if (stored) SetSr164(kBkStored, true);
    if (atStartup) {
        SetSr164(kBkRestored, true);
        crcsize_tbl[kBackupRestoredOffset] = 0;
        BkpRegisters();
    }
    AutoSaveRegisters();
    SYS_WarmReset();
}

void CopyBkToBBRAM() {
    if (BackupValid(crcsize_tbl)) std::memcpy(plc_reg, crcsize_tbl + 8, kPlcRegBytes);
}

void EraseBackupData() {
    if (GetLe32(crcsize_tbl + 4) != kErasedLength) {
        MarkBackupErased();
        SetSr164(kBkStored | kBkRestored, false);
    }
    ClrRegFile();
}

void RestoreSRReg(int, int, int) {
    LoadRegisters();
    const struct {
        const NvBlock* block;
        int crcSr, sizeSr;
    } kMirrors[] = {{&ladder_bl, 23, 11},
                    {&io_config_bl, 26, 17},
                    {&net_config_bl, 27, 19},
                    {&promgr_table_bl, 130, 123},
                    {&sms_table_bl, 147, 143}};
    for (const auto& m : kMirrors) {
        SR_Put(m.crcSr, m.block->Crc());
        SR_PutDword(m.sizeSr, m.block->Size());
    }
}

// ---------------------------------------------------------------------------
// Manual operations, once per main-loop pass.

namespace {

constexpr u16 kCloneMakeFailed = 0x400, kCloneLoadFailed = 0x800;
constexpr const char* kCloneProgram = "AUTOLOAD.PGM";
constexpr const char* kCloneLoadProgram = "A:\\AUTOLOAD.PGM";
constexpr const char* kCardProgram = "A:\\DEFAULT.PGM";
constexpr const char* kCloneImagePath = "A:\\clone.dat";

u8 g_sysInfo[kProgramIdentityBytes];

bool LoadCloneStep();

// Starts a program load from the card; without a card it ends at once (the
// scan, held off while a load runs, goes on). True while it runs.
bool StartCardLoad() {
    if (CF_GetStatus(0) != kCfOk) {
        backupPeers.clearCardLoadRequests(kCardLoadKey | kCardLoadAuto | kCardLoadApp);
        return false;
    }
    g.cardLoad = true;
    g.cloneStep = 0;
    Manual_test = 8;
    return LoadCloneStep();
}

// State 6: the program as AUTOLOAD.PGM through the media manager, then the
// clone image. True while it runs. Whatever fails, the request is over:
// bit 0x100 is cleared and bit 0x400 tells that the clone is not complete.
bool MakeCloneStep() {
    if (g.cloneStep == 0) {
        g.cloneFreeKb = backupPeers.mediaFreeKb();
        backupPeers.saveProgramToMedia(kCloneProgram);
        g.cloneStep = 1;
        return true;
    }
    i32 result = 0;
    if (backupPeers.pollMedia(&result) == kMediaBusy) return true;
    g.cloneStep = 0;
    bool ok = result == 0 && static_cast<u64>(g.cloneFreeKb) * 1024u >= kCloneBytes;
    SetSr164(kCloneMake, false);
    if (ok) ok = backupPeers.makeCloneImage(kCloneImagePath) == 0;
    if (!ok) SetSr164(kCloneMakeFailed, true);
    return false;
}

// State 8: identity, validation and load through the media manager, each
// awaited; a clone stops at the first failure. True while it runs.
bool LoadCloneStep() {
    const char* name = g.cardLoad ? kCardProgram : kCloneLoadProgram;
    if (g.cloneStep == 0) {
        backupPeers.readProgramIdentity(g_sysInfo);
        g.cloneStep = 1;
        return true;
    }
    i32 result = 0;
    if (backupPeers.pollMedia(&result) == kMediaBusy) return true;
    g.cloneRequestFailed = result != 0;
    if (CheckCloneError()) return true;  // state 9 runs on the next pass
    if (g.cloneStep == 1) {
        backupPeers.validateProgram(name, g_sysInfo);
        g.cloneStep = 2;
        return true;
    }
    if (g.cloneStep == 2) {
        backupPeers.loadProgram();
        g.cloneStep = 3;
        return true;
    }
    g.cloneStep = 0;
    Manual_test = 9;
    return true;
}

}  // namespace

void FailSafeFlagCheck() {
    if (Manual_test != 0) return;
    u16 s = SR_Get(164);
    if (s & (kBkRestoreNow | kBkRestoreConfirm)) {
        ManualRegbackupScan();
    } else if (s & kBkStoreNow) {
        Manual_test = 3;
    } else if (s & kBkEraseNow) {
        Manual_test = 4;
    } else if (s & kCloneMake) {
        Manual_test = 6;
    } else if (s & kCloneLoad) {
        if (!Clone_Sure_Flag) {
            Manual_test = 7;
        } else if (!(s & kCloneConfirm)) {
            Manual_test = 8;
            Clon_LoadClone = 1;
        }
    } else if (Clone_Sure_Flag) {
        Manual_test = 9;
    }
}

void ManualRegbackupScan() {
    u16 s = SR_Get(164);
    if (Mrstate_flag == 0) {
        Manual_test = (s & kBkRestoreNow) && (s & kBkStored) ? 1 : 5;
        Mrstate_flag = 99;
    } else if (Mrstate_flag == 1) {
        bool restore = s & kBkRestoreNow, confirm = s & kBkRestoreConfirm;
        if (restore && confirm) return;  // still waiting for the user
        Manual_test = (restore && !confirm) ? 2 : 5;
        Mrstate_flag = 99;
    }
}

int CheckCloneError() {
    if (!g.cloneRequestFailed || !Clon_LoadClone) return 0;
    SetSr164(kCloneLoadFailed, true);
    SetSr164(kCloneLoad, false);
    Clon_LoadClone = 0;
    Manual_test = 9;
    g.cloneStep = 0;
    return 1;
}

void ManualRestoreExecute() {
    switch (Manual_test) {
        case 1:
            SetSr164(kBkRestoreConfirm, true);
            Mrstate_flag = 1;
            break;
        case 2:
            RestoreBBRAM(0);  // a valid backup ends in a warm reset
            SetSr164(kBkRestoreNow, false);
            Mrstate_flag = 0;
            break;
        case 3:
            StoreBBRAM();
            break;
        case 4:
            EraseBackupData();
            SetSr164(kBkEraseNow, false);
            break;
        case 5:
            SetSr164(kBkRestoreNow | kBkRestoreConfirm, false);
            // The request is over; the next one starts from the beginning.
            Mrstate_flag = 0;
            break;
        case 6:
            if (MakeCloneStep()) return;  // still running
            break;
        case 8:
            if (LoadCloneStep()) return;
            break;
        case 7:
            SetSr164(kCloneConfirm, true);
            Clone_Sure_Flag = 1;
            break;
        case 9:
            SetSr164(kCloneConfirm | kCloneLoad, false);
            Clone_Sure_Flag = 0;
            Clon_LoadClone = 0;
            g.cardLoad = false;
            g.cloneStep = 0;
            break;
        default: {
            // A program load from the card takes the clone load's road: by
            // the LOAD key once the card is there, or at start-up once the
            // media manager has served its first requests.
            const u8 load = backupPeers.cardLoadRequests();
            if ((load & kCardLoadKey) && (load & kCardLoadAuto)) {
                backupPeers.clearCardLoadRequests(kCardLoadKey | kCardLoadAuto);
                if (StartCardLoad()) return;
            } else if ((load & kCardLoadApp) && (load & kCardLoadAuto)) {
                if (backupPeers.mediaInitTime() >= 6) {
                    backupPeers.clearCardLoadRequests(kCardLoadApp);
                    if (StartCardLoad()) return;
                }
            } else if (load & kCardLoadAuto) {
                // A load started without either reason (the LOAD button
                // without the media manager's arming) takes the same road,
                // so that the scan is never held off by a load nobody runs.
                if (StartCardLoad()) return;
            }
            bool stored = crcsize_tbl[kBackupMarkerOffset] == kBackupMarker;
            SetSr164(kBkStored, stored);
            SetSr164(kBkRestored, stored && crcsize_tbl[kBackupRestoredOffset] != kNotRestored);
            break;
        }
    }
    Manual_test = 0;
}
