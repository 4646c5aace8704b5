#include "storage/cf_fw_load.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "core/bkuprstr.h"
#include "core/nvram.h"
#include "core/plc.h"
#include "core/plc_regs.h"
#include "platform/board.h"
#include "platform/clock.h"
#include "platform/cmdrun.h"
#include "platform/fileio.h"
#include "platform/reset.h"
#include "platform/root.h"
#include "platform/system.h"
#include "platform/touch.h"
#include "storage/cf_api.h"

namespace fs = std::filesystem;

const char* const kFirmwareNames[14] = {"vtx510n", "vtx510",   "vtx510c", "vtx510j",  "vtx510d",
                                        "vtx6200", "vtx6200c", "vtx6200j", "vtx7300", "vtx7300c",
                                        "vtx7300j", "vtx8400", "vtx8400c", "vtx8400j"};

namespace {

constexpr const char* kMediumDevices[] = {"/dev/mmcblk0p1", "/dev/mmcblk0", "/dev/sda1", "/dev/sda"};
constexpr const char* kInstallFolder = "/mnt/USB";
constexpr const char* kCardFolder = "/mnt/USB0";
constexpr const char* kFirmDir = "/mnt/firm";
constexpr const char* kCardFirmwareName = "vtx8400c";
constexpr u16 kSr154Failed = 0x4000, kSr154Pending = 0x8000;
constexpr u16 kSr154File = 0x100, kSr154Dir = 0x200, kSr154Dir2 = 0x400, kSr154Clear = 0x800;
constexpr u32 kWait3s = 300;  // 10-ms units
constexpr size_t kScriptMaxBytes = 1u << 20;

struct State {
    pid_t ledChild = 0;
    // Update machine.
    int updState = 4;
    int updStatus = 0;
    std::string updFirmware;
    bool watchdogWasOn = false;
    // Mode to restore after a card firmware load.
    u8 savedMode = 0;
    bool modeHeld = false;
};
State g;

// ---------------------------------------------------------------------------
// Helpers.

int Run(const std::string& line) { return SysCmd_Run(line.c_str()); }

int RunArgs(std::initializer_list<std::string> words) {
    std::vector<const char*> argv;
    for (const std::string& w : words) argv.push_back(w.c_str());
    argv.push_back(nullptr);
    return SysCmd_RunArgv(static_cast<int>(words.size()), argv.data());
}

bool InsideRoot(const std::string& host) {
    std::error_code ec;
    std::string p = fs::weakly_canonical(host, ec).string();
    if (ec) return false;
    std::string r = fs::weakly_canonical(Root_Dir(), ec).string();
    return !ec && p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/';
}

// A regular file of the root (a link leading out of it does not count).
bool FileThere(const std::string& firmwarePath, bool nonEmpty = false) {
    std::string h = Root_HostPath(firmwarePath);
    struct stat st;
    if (stat(h.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !InsideRoot(h)) return false;
    return !nonEmpty || st.st_size > 0;
}

bool Opens(const char* device) {
    int fd = open(Root_HostPath(device).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    close(fd);
    return true;
}

std::string FindMedium() {
    for (const char* d : kMediumDevices)
        if (Opens(d)) return d;
    return "";
}

void DeleteStoredProgram() {
    DeleteProgram();
    DelAutoRegFile();
    ClrRegFile();
}

// Copies a firmware file next to its destination and renames it over the
// old one only when the copy is whole, so a failed copy keeps the old
// firmware. Paths travel as words, never through a command line.
bool CopyFirmware(const std::string& source, const std::string& destination) {
    std::error_code ec;
    fs::create_directories(Root_HostPath(kFirmDir), ec);
    const std::string temp = destination + ".new";
    bool ok = RunArgs({"cp", source, temp}) == 0 && Run("sync") == 0 && RunArgs({"mv", temp, destination}) == 0;
    if (!ok) RunArgs({"rm", "-f", temp});
    return ok;
}

std::string FirmwareDestination() { return ESR_Get(8) == 1 ? "/mnt/firm/qm7c" : "/mnt/firm/firmware"; }

void StartLedChild() {
    if (g.ledChild <= 0) g.ledChild = SetStatusLeds_fork();
}
void StopLedChild() {
    Touch_EndLedChild(g.ledChild);
    g.ledChild = 0;
}

void WaitAndRestart() {
    fwUpdatePeers.wait10ms(kWait3s);
    while (fwUpdatePeers.loadHeld()) fwUpdatePeers.wait10ms(1);
    fwUpdatePeers.restart();
}

// Path of a drive-letter name of the card as stored on it ("UPDATE/V.../x"),
// names matched without regard to case; "" when it is not there.
std::string ResolveCardPath(const char* path) {
    if (path == nullptr) return "";
    std::string p = path;
    if (p.size() >= 2 && p[1] == ':') {
        if (p[0] != 'A' && p[0] != 'a') return "";
        p.erase(0, 2);
    }
    std::vector<std::string> parts;
    std::string cur;
    for (char c : p) {
        if (c == '\\' || c == '/') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    if (parts.empty()) return "";
    std::string rel;
    fs::path dir = Root_HostPath(kCardFolder);
    for (const std::string& part : parts) {
        if (part == "." || part == "..") return "";
        std::string found;
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            std::string n = it->path().filename().string();
            if (strcasecmp(n.c_str(), part.c_str()) == 0) {
                found = n;
                if (n == part) break;
            }
        }
        if (found.empty()) return "";
        dir /= found;
        rel += (rel.empty() ? "" : "/") + found;
    }
    return rel;
}

// The card's block device as /sys/block names it: its first partition when
// that is there, else the whole device.
std::string CardBlockDevice() {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(Root_HostPath("/sys/block"), ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    for (const char* family : {"mmcblk", "sd"}) {
        for (const std::string& n : names) {
            if (n.rfind(family, 0) != 0) continue;
            std::string part = "/dev/" + n + (std::strcmp(family, "mmcblk") == 0 ? "p1" : "1");
            return Opens(part.c_str()) ? part : "/dev/" + n;
        }
    }
    return "";
}

void HoldMode() {
    if (g.modeHeld) return;
    g.savedMode = static_cast<u8>(SR_Get(5) & 0xFF);
    g.modeHeld = true;
    SetPlcMode(kModeStop);
}

void RestoreMode() {
    if (!g.modeHeld) return;
    g.modeHeld = false;
    SetPlcMode(g.savedMode);
}

// ---------------------------------------------------------------------------
// Installation endings.

void UnmountAll() {
    Run("umount /mnt/USB0");
    Run("umount /mnt/USB");
    Run("umount /mnt/firm");
    Run("umount /mnt/cfg");
}

// Both LEDs in one state for ever; the tick keeps the flash clocks going.
[[noreturn]] void ShowForever(int state) {
    for (;;) {
        Touch_FaultTick();
        SYS_SetStatusLeds(state, state);
        Board_Flush();
        SleepMs(10);
    }
}

// Groups of on/off pairs on the slow flash period, 2 s apart.
[[noreturn]] void BlinkCodeForever(int blinks) {
    const u32 period = static_cast<u32>(blinks) * 100 + 200;
    for (;;) {
        Touch_FaultTick();
        u32 pos = sysDTic % period;
        int on = pos < static_cast<u32>(blinks) * 100 && (pos % 100) < 50 ? 1 : 0;
        SYS_SetStatusLeds(on, on);
        SleepMs(10);
    }
}

}  // namespace

// The OEM selection of oeminfo.txt: 1-3 decimal digits (a line end may
// follow); -1 when the file holds none.
int ReadOemSelection(const std::string& firmwarePath) {
    std::vector<u8> text;
    if (!InsideRoot(Root_HostPath(firmwarePath)) || !File_ReadAll(Root_HostPath(firmwarePath), text, 64)) return -1;
    int value = 0, digits = 0;
    for (u8 c : text) {
        if (c >= '0' && c <= '9' && digits < 3) {
            value = value * 10 + (c - '0');
            ++digits;
        } else if (c == '\r' || c == '\n' || c == ' ') {
            break;
        } else {
            return -1;
        }
    }
    return digits > 0 && value <= 255 ? value : -1;
}

// ---------------------------------------------------------------------------
// Start-up and hooks.

FwUpdatePeers fwUpdatePeers;

void FwUpdatePeers_Check(NeighbourCheck& check) {
    NEIGHBOUR_REQUIRE(check, fwUpdatePeers, wait10ms);
    NEIGHBOUR_REQUIRE(check, fwUpdatePeers, loadHeld);
    NEIGHBOUR_REQUIRE(check, fwUpdatePeers, restart);
    NEIGHBOUR_REQUIRE(check, fwUpdatePeers, reboot);
}

void FwUpdate_Wait10ms(u32 count) { SYS_Wait(count); }
bool FwUpdate_LoadHeld() { return (ButtonSample() & 2) != 0; }
void FwUpdate_Restart() { SYS_WarmReset(); }
void FwUpdate_Reboot() {
    Board_Flush();
    std::fflush(nullptr);
    std::exit(kExitWarmReset);
}

void ArmCardProgramLoad() {
    // The program load from the card (DEFAULT.PGM) is carried out by the
    // media manager's automatic load once the key is armed.
    Sys_ManualLoadKey = 1;
}

void FwUpdate_Init() { FwUpdate_Reset(); }

void FwUpdate_Reset() {
    StopLedChild();
    g = State{};
}

// ---------------------------------------------------------------------------
// Shared steps.

std::string FindFirmwareFile(const char* mediumFolder) {
    for (const char* name : kFirmwareNames) {
        std::string p = std::string(mediumFolder) + "/" + name;
        if (FileThere(p)) return p;
    }
    return "";
}

void RunUpdateCommands(const char* mediumFolder) {
    std::vector<u8> cmdline;
    if (!File_ReadAll(Root_HostPath("/proc/cmdline"), cmdline, 64 * 1024)) return;
    if (std::string(cmdline.begin(), cmdline.end()).find("rootfstype=ubifs") == std::string::npos) return;
    const std::string archive = std::string(mediumFolder) + "/update.init";
    if (!FileThere(archive)) return;
    Run("mount -t ubifs ubi0:rootfs1 /mnt/rwfs");
    Run("mkdir /dev/shm/update");
    RunArgs({"unzip", archive, "-d", "/dev/shm/update"});

    std::vector<u8> script;
    const std::string info = Root_HostPath("/dev/shm/update/path.info");
    if (!InsideRoot(info) || !File_ReadAll(info, script, kScriptMaxBytes)) script.clear();
    std::string line;
    bool tooLong = false;
    auto endLine = [&]() {
        if (tooLong)
            std::printf("update: command line longer than %u characters refused\n", kUpdateLineMax);
        else if (!line.empty())
            Run(line);
        line.clear();
        tooLong = false;
    };
    for (u8 c : script) {
        if (c == '\r' || c == '\n') {
            endLine();
        } else if (c >= 32) {
            if (line.size() >= kUpdateLineMax)
                tooLong = true;
            else
                line += static_cast<char>(c);
        }
    }
    endLine();
    std::fflush(stdout);
    // The root file system is the next start's business; a restart leaves
    // nothing of it mounted here.
    Run("umount /mnt/rwfs");
}

// ---------------------------------------------------------------------------
// Installation.

InstallEnd Install_Run() {
    StopWatchdog();
    const std::string medium = FindMedium();
    if (medium.empty()) return InstallEnd::Nothing;
    Run("umount /mnt/USB0");
    Run("sync");
    RunArgs({"mount", medium, kInstallFolder});
    if (!SysCmd_IsMounted(kInstallFolder)) return InstallEnd::Nothing;

    const std::string usb = kInstallFolder;
    const std::string firmware = FindFirmwareFile(kInstallFolder);
    u32 stock = 0;
    if (!firmware.empty()) stock |= kInstFirmware;
    if (FileThere(usb + "/qmkern.sb")) stock |= kInstKernel;
    if (!firmware.empty() && FileThere(usb + "/qminit.ufs") && FileThere(usb + "/qmfirm.ufs") &&
        FileThere(usb + "/qmcfg.ufs") && FileThere("/usr/bin/ubiformat"))
        stock |= kInstFull;
    if (FileThere("/mnt/cfg/TINYIMGE.BIN") || FileThere(usb + "/" + "MACIDS.TXT")) stock |= kInstIdentity;
    std::printf("Install: medium %s, stock 0x%02X\n", medium.c_str(), stock);
    std::fflush(stdout);
    StartLedChild();

    bool failed = false;
    bool identity = (stock & kInstIdentity) != 0;
    if (stock & kInstKernel) {
        bool ok = Run("flash_eraseall /dev/mtd0") == 0 && Run("kobs-ng init /mnt/USB/qmkern.sb") == 0;
        if (!ok) failed = true;
    }
    if (stock & kInstFull) {
        u8 image[kTinyImageBytes];
        std::memcpy(image, tinyImage, sizeof image);
        Run("umount /mnt/firm");
        Run("umount /mnt/cfg");
        Run("ubidetach /dev/ubi_ctrl -d 0");
        static const char* const kVolumes[] = {
            "ubiformat /dev/mtd1 -q",
            "ubiattach /dev/ubi_ctrl -d 0 -m 1",
            "ubimkvol /dev/ubi0 -N rootfs1 -s 26MiB",
            "ubimkvol /dev/ubi0 -N firm -s 13MiB",
            "ubimkvol /dev/ubi0 -N cfg -s 64MiB",
            "ubiupdatevol /dev/ubi0_0 /mnt/USB/qminit.ufs",
            "ubiupdatevol /dev/ubi0_1 /mnt/USB/qmfirm.ufs",
            "ubiupdatevol /dev/ubi0_2 /mnt/USB/qmcfg.ufs",
            "mount -t ubifs ubi0:firm /mnt/firm",
            "mount -t ubifs ubi0:cfg /mnt/cfg",
        };
        bool ok = true;
        for (const char* line : kVolumes)
            if (ok && Run(line) != 0) ok = false;
        ok = ok && CopyFirmware(firmware, FirmwareDestination());
        if (ok) {
            SaveMACID(image, 0);
            SaveMACID(image, 1);
            std::memcpy(tinyImage, image, sizeof image);
            identity = identity && Mac_IsMakers(image + kTinyMac0) && Mac_IsMakers(image + kTinyMac1);
            int oem = ReadOemSelection(usb + "/oeminfo.txt");
            if (oem >= 0) {
                u8 b = static_cast<u8>(oem);
                if (!File_WriteAtomic(Root_HostPath("/mnt/cfg/oeminfo"), &b, 1)) ok = false;
            }
            PersistFlags_Set(kPfCleanStop);
            UncleanCount_Set(0);
            DeleteStoredProgram();
            RunUpdateCommands(kInstallFolder);
        }
        if (!ok) failed = true;
    } else if (stock & kInstFirmware) {
        if (CopyFirmware(firmware, FirmwareDestination()))
            DeleteStoredProgram();
        else
            failed = true;
    }
    Run("sync");

    if ((stock & (kInstKernel | kInstFull | kInstFirmware)) == 0) return InstallEnd::Nothing;
    if (failed) return InstallEnd::Failed;
    return identity ? InstallEnd::Reset : InstallEnd::NoIdentity;
}

void InstallBoot() {
    InstallEnd end = Install_Run();
    switch (end) {
        case InstallEnd::Reset:
            std::printf("Install: done, restarting\n");
            std::fflush(stdout);
            UnmountAll();
            StopLedChild();
            WaitAndRestart();
            // A restart hook that returns (tests) falls through to the
            // indication of a finished installation.
            ShowForever(kLedOn);
        case InstallEnd::Nothing:
            std::printf("Install: nothing to install\n");
            std::fflush(stdout);
            UnmountAll();
            StopLedChild();
            ShowForever(kLedSlow);
        case InstallEnd::Failed:
            std::printf("Install: a step failed\n");
            std::fflush(stdout);
            StopLedChild();
            ShowForever(kLedFast);
        case InstallEnd::NoIdentity:
            std::printf("Install: no board identity\n");
            std::fflush(stdout);
            StopLedChild();
            BlinkCodeForever(kIdentityBlinkCode);
    }
    ShowForever(kLedFast);
}

// ---------------------------------------------------------------------------
// Update from media.

int FwUpdate_State() { return g.updState; }

int UpdateKernFirmApplic() {
    switch (g.updState) {
        case 4: {
            g.updStatus = 0;
            g.updFirmware.clear();
            if (FindMedium().empty()) {
                g.updState = 6;
                return 0;
            }
            g.updStatus = kUpdMedium;
            g.updFirmware = FindFirmwareFile(kCardFolder);
            if (!g.updFirmware.empty()) g.updStatus |= kUpdFirmware;
            if (FileThere("/mnt/USB0/qmkern.sb")) g.updStatus |= kUpdKernel;
            if (FileThere("/mnt/USB0/DEFAULT.PGM")) g.updStatus |= kUpdProgram;
            g.watchdogWasOn = SYS_WatchdogFd() >= 0;
            StopWatchdog();
            StartLedChild();
            g.updState = 5;
            return 0;
        }
        case 5: {
            bool restarted = false;
            if (g.updStatus & kUpdKernel) {
                if (Run("flash_eraseall /dev/mtd0") == 0 && Run("kobs-ng init /mnt/USB0/qmkern.sb") == 0) {
                    PersistFlags_Set(kPfCleanStop);
                    UncleanCount_Set(0);
                    DeleteStoredProgram();
                    RunUpdateCommands(kCardFolder);
                    if (!g.updFirmware.empty()) CopyFirmware(g.updFirmware, FirmwareDestination());
                    Run("sync");
                    StopLedChild();
                    WaitAndRestart();
                    restarted = true;
                }
            }
            if (!restarted && !g.updFirmware.empty()) {
                if (CopyFirmware(g.updFirmware, FirmwareDestination())) {
                    DeleteStoredProgram();
                    Run("sync");
                    StopLedChild();
                    WaitAndRestart();
                }
            }
            g.updState = 6;
            return 0;
        }
        default: {
            StopLedChild();
            if (g.watchdogWasOn) StartWatchdog();
            g.watchdogWasOn = false;
            g.updState = 4;
            int medium = g.updStatus & kUpdMedium;
            int found = g.updStatus & ~kUpdMedium;
            return found != 0 ? g.updStatus : (kUpdNothing | medium);
        }
    }
}

// ---------------------------------------------------------------------------
// Automatic firmware load from the card.

bool FwFolderNameValid(const char* name) {
    if (name == nullptr || name[0] != 'V') return false;
    for (int i = 1; i < 8; ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    return name[8] == 0;
}

i32 GetFirmwareDir(int drive, CfmListRequest* request) {
    if (request == nullptr || request->pattern == nullptr) return kCfInvalid;
    request->count = 0;
    i16 st = CF_GetStatus(drive);
    if (st != kCfOk) return st;
    // Only a pending check runs; a load in progress or a failed one has it
    // cleared, so a card that cannot be loaded is not tried over and over.
    if (!(SR_Get(154) & kSr154Pending)) return 0;

    std::string folder = request->pattern;
    size_t cut = folder.find_last_of("\\/");
    folder = cut == std::string::npos ? std::string() : folder.substr(0, cut);

    CfDirEntry* e = new CfDirEntry{};
    st = CF_GetFirst(drive, e, request->pattern);
    std::string best;
    int bestVersion = -1, bestRevision = -1;
    u32 listed = 0;
    while (st == kCfOk && listed < kCfmListMax) {
        bool dot = std::strcmp(e->name, ".") == 0, dotdot = std::strcmp(e->name, "..") == 0;
        if (!(e->attr & kFxVolume) && !dot && !(dotdot && !request->includeParent)) {
            ++listed;
            if ((e->attr & kFxDirectory) && FwFolderNameValid(e->name)) {
                int version = std::atoi(std::string(e->name + 1, 4).c_str());
                int revision = std::atoi(e->name + 5);
                if (version > bestVersion || (version == bestVersion && revision > bestRevision)) {
                    bestVersion = version;
                    bestRevision = revision;
                    best = e->name;
                }
            }
        }
        st = CF_GetNext(drive, e);
    }
    CF_GetDone(drive, e);
    delete e;
    request->count = listed;

    const int sr38 = SR_Get(38), sr59 = SR_Get(59);
    if (!best.empty() && (bestVersion > sr38 || (bestVersion == sr38 && bestRevision > sr59))) {
        std::string path = "\\" + folder + "\\" + best + "\\" + kCardFirmwareName;
        if (SD_check_fw_file(path.c_str())) {
            Load_fw_file_from_mSD(path.c_str());
        } else {
            SR_Put(154, static_cast<u16>((SR_Get(154) | kSr154Failed) & ~kSr154Pending));
        }
    } else {
        SR_Put(154, static_cast<u16>(SR_Get(154) & ~kSr154Pending));
    }
    return (st == kCfOk || st == kCfExists || st == kCfEndOfFile) ? 0 : st;
}

int SD_check_fw_file(const char* path) {
    std::string rel = ResolveCardPath(path);
    if (rel.empty() || !FileThere(std::string(kCardFolder) + "/" + rel, true)) return 0;
    HoldMode();
    return 1;
}

int Load_fw_file_from_mSD(const char* path) {
    SR_Put(154, static_cast<u16>(SR_Get(154) & ~(kSr154Failed | kSr154Pending)));
    const std::string rel = ResolveCardPath(path);
    const std::string device = CardBlockDevice();
    bool ok = false;
    if (!rel.empty() && !device.empty()) {
        RunArgs({"mount", "-t", "vfat", device, kInstallFolder});
        ok = CopyFirmware(std::string(kInstallFolder) + "/" + rel, "/mnt/firm/firmware") && Run("sync") == 0;
    }
    if (!ok) {
        Run("umount /mnt/USB");
        RestoreMode();
        SR_Put(154, static_cast<u16>(SR_Get(154) | kSr154Failed));
        std::printf("firmware load from the card failed: the old firmware is kept\n");
        std::fflush(stdout);
        return 0;
    }
    RestoreMode();
    if (ESR_Get(8) != 1) Run("rm -f /mnt/firm/qm7c");
    u16 sr154 = SR_Get(154);
    if (sr154 & kSr154Dir2)
        sr154 = static_cast<u16>(sr154 & ~kSr154File);
    else
        sr154 = static_cast<u16>(sr154 & ~kSr154Dir);
    SR_Put(154, sr154);
    StopWatchdog();
    if (sr154 & kSr154Clear) {
        DeleteStoredProgram();
    } else {
        SaveProgram();
        AutoSaveRegisters();
        CreateSavedFile();
    }
    PersistFlags_Set(kPfCleanStop);
    timespec t{0, 50000};
    nanosleep(&t, nullptr);
    UncleanCount_Set(0);
    Run("umount /mnt/USB");
    Run("reboot");
    fwUpdatePeers.reboot();
    return 1;
}

void SD_load_fw_request() {
    std::string path = std::string("\\") + kCardFirmwareName;
    if (!SD_check_fw_file(path.c_str())) return;
    if (Load_fw_file_from_mSD(path.c_str()))
        SR_Put(154, static_cast<u16>(SR_Get(154) & ~kSr154File));
    else
        SR_Put(154, static_cast<u16>(SR_Get(154) | kSr154Failed));
}
