// System tests: the real firmware executable in a fresh root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "core/bkuprstr.h"
#include "core/plc_regs.h"
#include "testsupport/firmware_process.h"
#include "platform/board.h"
#include "platform/fileio.h"
#include "platform/reset.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/temp_root.h"
#include "testsupport/tovra_host.h"

namespace {

constexpr int kStartMs = 30000;  // generous for sanitizer builds
constexpr int kStopMs = 30000;
constexpr const char* kRunning = "main loop running";
constexpr u32 kImageBytes = 8 + kPlcRegBytes;

std::vector<u8> ReadFile(const std::string& path) {
    std::vector<u8> data;
    if (!File_ReadAll(path, data, 64u << 20)) data.clear();
    return data;
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool ValidRegisterImage(const std::vector<u8>& f) {
    return f.size() == kImageBytes && GetLe32(&f[4]) == kPlcRegBytes && GetLe16(&f[0]) == crc16(&f[8], kPlcRegBytes);
}

bool ValidBlockFile(const std::vector<u8>& f) {
    if (f.size() < 8) return false;
    u32 size = GetLe32(&f[4]);
    return f.size() == 8u + size && GetLe16(&f[0]) == crc16(&f[8], size);
}

u16 ImageSR(const std::vector<u8>& f, int n) { return GetLe16(&f[8 + 2 * (127 + n)]); }
u16 ImageESR(const std::vector<u8>& f, int n) { return GetLe16(&f[8 + 2 * (54271 + n)]); }
u16 ImageWord(const std::vector<u8>& f, u32 byteOffset) { return GetLe16(&f[8 + byteOffset]); }

void PutImageWord(std::vector<u8>& f, u32 byteOffset, u16 v) {
    PutLe16(&f[8 + byteOffset], v);
    PutLe16(&f[0], crc16(&f[8], kPlcRegBytes));
}

class FirmwareSystem : public ::testing::Test {
protected:
    std::string Cfg(const char* name) { return root.Path(std::string("/mnt/cfg/") + name); }

    // Starts without arguments and waits until the main loop runs.
    void StartRunning(FirmwareProcess& fw, const std::vector<std::string>& args = {}) {
        ASSERT_TRUE(fw.Start(args));
        ASSERT_TRUE(fw.WaitForOutput(kRunning, kStartMs)) << fw.Output();
    }
    void StopCleanly(FirmwareProcess& fw) {
        fw.Signal(SIGTERM);
        ASSERT_TRUE(fw.WaitExit(kStopMs));
        ASSERT_EQ(fw.ExitCode(), kExitNormal) << fw.Output();
    }
    bool WaitPasses(int n) { return WaitMainLoopPasses(n, kStartMs); }

    TempRoot root;
};

TEST_F(FirmwareSystem, FirstStartWritesDefaultsAndStopsCleanly) {
    FirmwareProcess fw;
    StartRunning(fw);
    StopCleanly(fw);

    std::vector<u8> ladder = ReadFile(Cfg("ladder.pgm"));
    ASSERT_TRUE(ValidBlockFile(ladder));
    ASSERT_EQ(GetLe32(&ladder[4]), 2u);
    EXPECT_EQ(GetLe16(&ladder[8]), 9);  // the empty program: END
    EXPECT_TRUE(Exists(Cfg("config.pgm")));
    EXPECT_EQ(ReadFile(Cfg("bbram.dta")).size(), kBbramBytes);

    std::vector<u8> image = ReadFile(Cfg("autoreg.dta"));
    ASSERT_TRUE(ValidRegisterImage(image));
    EXPECT_EQ(ImageSR(image, 5), 0);                    // defaults: stop
    EXPECT_EQ(ImageESR(image, 7), 0);                   // first start: no fault flags reported
    EXPECT_EQ(ImageSR(image, 23), GetLe16(&ladder[0]));  // program CRC mirrored
    EXPECT_TRUE(ImageSR(image, 4) & 0x20);               // node id 0 was adjusted
    EXPECT_EQ(ImageSR(image, 29), 127);
    std::vector<u8> saved = ReadFile(Cfg("saved.dat"));
    EXPECT_EQ(std::string(saved.begin(), saved.end()), "Saved autoreg.dta");

    // Nothing outside the root changed, nothing was killed by name.
    EXPECT_TRUE(fw.WorkDirEntries().empty());
    std::vector<u8> log = ReadFile(root.Path("/sys/commands.log"));
    std::string commands(log.begin(), log.end());
    EXPECT_NE(commands.find("echo 0 > /proc/sys/kernel/printk"), std::string::npos);
    EXPECT_EQ(commands.find("killall cp"), std::string::npos);
    EXPECT_EQ(commands.find("killall rm"), std::string::npos);
    EXPECT_EQ(commands.find("killall MasterScript.sh"), std::string::npos);
}

struct RestoreCase {
    u16 savedMode;
    u16 expectedMode;
};

class RestartRestores : public FirmwareSystem, public ::testing::WithParamInterface<RestoreCase> {};

TEST_P(RestartRestores, RegistersAndMode) {
    const RestoreCase c = GetParam();
    FirmwareProcess fw;
    StartRunning(fw);
    StopCleanly(fw);

    std::vector<u8> image = ReadFile(Cfg("autoreg.dta"));
    ASSERT_TRUE(ValidRegisterImage(image));
    const u16 unclean = ImageSR(image, 52);
    PutImageWord(image, kRegR, 0xBEEF);  // R1
    PutImageWord(image, 2 * (127 + 5), c.savedMode);
    ASSERT_TRUE(File_WriteAtomic(Cfg("autoreg.dta"), image.data(), image.size()));

    FirmwareProcess again;
    StartRunning(again);
    EXPECT_TRUE(WaitUntil([&] { return !Exists(Cfg("saved.dat")); }, kStartMs));  // consumed at start
    ASSERT_TRUE(WaitPasses(3));
    StopCleanly(again);

    image = ReadFile(Cfg("autoreg.dta"));
    ASSERT_TRUE(ValidRegisterImage(image));
    EXPECT_EQ(ImageWord(image, kRegR), 0xBEEF);
    EXPECT_EQ(ImageSR(image, 5), c.expectedMode);
    EXPECT_TRUE(ImageESR(image, 7) & 0x8000);  // the last stop is reported clean
    EXPECT_EQ(ImageSR(image, 52), unclean);     // and not counted as unclean
    if (c.expectedMode == 2) {
        // The scan ran the program: statistics were measured.
        EXPECT_NE(ImageSR(image, 7), 0xFFFF);
        EXPECT_GE(ImageSR(image, 8), ImageSR(image, 7));
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, RestartRestores,
                         ::testing::Values(RestoreCase{0, 0}, RestoreCase{1, 1}, RestoreCase{2, 2},
                                           RestoreCase{3, 0}, RestoreCase{4, 0}),
                         [](const ::testing::TestParamInfo<RestoreCase>& info) {
                             return "Mode" + std::to_string(info.param.savedMode);
                         });

TEST_F(FirmwareSystem, PowerFailSignalRunsPowerDown) {
    FirmwareProcess fw;
    StartRunning(fw);
    ASSERT_TRUE(WaitPasses(2));
    ASSERT_FALSE(Exists(Cfg("saved.dat")));
    fw.Signal(44);
    ASSERT_TRUE(fw.WaitExit(kStopMs));
    EXPECT_EQ(fw.ExitCode(), kExitPowerOff) << fw.Output();
    std::vector<u8> saved = ReadFile(Cfg("saved.dat"));
    EXPECT_EQ(std::string(saved.begin(), saved.end()), "Saved autoreg.dta");
    EXPECT_TRUE(ValidRegisterImage(ReadFile(Cfg("autoreg.dta"))));
    EXPECT_TRUE(Board_Persistent(kPersistentFaultFlags) & 0x8000);
}

// A kill at any instant of a save leaves every image either as it was or
// whole, never torn.
TEST_F(FirmwareSystem, KillNineNeverLeavesATornImage) {
    // Each stored file and what makes it whole. An empty file is what a first
    // start (no register image) writes anew for those it marks `anew`, and
    // what it leaves when killed before its first save.
    struct Stored {
        const char* name;
        bool (*whole)(const std::vector<u8>&);
        bool anew;
    };
    const Stored files[] = {
        {"autoreg.dta", ValidRegisterImage, true},
        {"ladder.pgm", ValidBlockFile, false},
        {"saved.dat", [](const std::vector<u8>& f) { return f.size() == 17u; }, false},
        {"bbram.dta", [](const std::vector<u8>& f) { return f.size() == kBbramBytes; }, true},
    };
    enum class Before { kNone, kEmpty, kWhole };
    std::mt19937 random(12345);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        // Without a register image the start writes every file anew.
        if (round % 3 == 0) {
            std::filesystem::remove(Cfg("autoreg.dta"));
            std::filesystem::remove(Cfg("ladder.pgm"));
        }
        const bool firstStart = !Exists(Cfg("autoreg.dta"));
        Before before[std::size(files)];
        for (size_t i = 0; i < std::size(files); ++i) {
            if (!Exists(Cfg(files[i].name))) {
                before[i] = Before::kNone;
                continue;
            }
            std::vector<u8> data = ReadFile(Cfg(files[i].name));
            before[i] = data.empty() ? Before::kEmpty : Before::kWhole;
            ASSERT_TRUE(data.empty() || files[i].whole(data)) << files[i].name << " " << data.size();
        }
        FirmwareProcess fw;
        ASSERT_TRUE(fw.Start());
        // The pauses choose a random moment for the kill (during the start,
        // the scan or the save); they wait for nothing the controller does.
        usleep(static_cast<useconds_t>(random() % 40000));
        if (round % 2 == 1) {
            // Interrupt the save of a clean stop.
            fw.Signal(SIGTERM);
            usleep(static_cast<useconds_t>(random() % 3000));
        }
        fw.Signal(SIGKILL);
        ASSERT_TRUE(fw.WaitExit(kStopMs));

        for (size_t i = 0; i < std::size(files); ++i) {
            const char* name = files[i].name;
            if (!Exists(Cfg(name))) {
                // A file that was there before the kill is still there: the
                // old or the new one, never none.
                EXPECT_EQ(before[i], Before::kNone) << name << " vanished";
                continue;
            }
            std::vector<u8> data = ReadFile(Cfg(name));
            if (before[i] == Before::kWhole && !(firstStart && files[i].anew))
                EXPECT_TRUE(files[i].whole(data)) << name << " was whole, now " << data.size() << " bytes";
            else
                EXPECT_TRUE(data.empty() || files[i].whole(data)) << name << " " << data.size();
        }
    }
    // And the controller still starts on what is left.
    FirmwareProcess fw;
    StartRunning(fw);
    StopCleanly(fw);
    EXPECT_TRUE(ValidRegisterImage(ReadFile(Cfg("autoreg.dta"))));
}

TEST_F(FirmwareSystem, CorruptProgramFileGivesDefaultsAndFlags) {
    FirmwareProcess fw;
    StartRunning(fw);
    StopCleanly(fw);
    std::vector<u8> ladder = ReadFile(Cfg("ladder.pgm"));
    ASSERT_TRUE(ValidBlockFile(ladder));
    ladder[8] ^= 0x5A;  // data no longer matches its CRC
    ASSERT_TRUE(File_WriteAtomic(Cfg("ladder.pgm"), ladder.data(), ladder.size()));

    FirmwareProcess again;
    StartRunning(again);
    StopCleanly(again);
    std::vector<u8> image = ReadFile(Cfg("autoreg.dta"));
    ASSERT_TRUE(ValidRegisterImage(image));
    EXPECT_TRUE(ImageESR(image, 7) & 0x40);  // ladder.pgm could not be read
    EXPECT_TRUE(ImageSR(image, 4) & 0x4);    // program invalid
    EXPECT_EQ(ImageSR(image, 5), 0);
}

TEST_F(FirmwareSystem, CorruptRegisterImageStartsColdAndFlags) {
    FirmwareProcess fw;
    StartRunning(fw);
    StopCleanly(fw);
    std::vector<u8> image = ReadFile(Cfg("autoreg.dta"));
    ASSERT_TRUE(ValidRegisterImage(image));
    image[8 + kRegR] ^= 0xFF;  // CRC no longer matches
    ASSERT_TRUE(File_WriteAtomic(Cfg("autoreg.dta"), image.data(), image.size()));

    FirmwareProcess again;
    StartRunning(again);
    StopCleanly(again);
    image = ReadFile(Cfg("autoreg.dta"));
    ASSERT_TRUE(ValidRegisterImage(image));
    EXPECT_TRUE(ImageESR(image, 7) & 0x10);  // the clean-stop image failed its check
}

// A damaged register image after an unclean stop: the program files are
// left whole, and a run request over the link is acknowledged only when the
// controller really runs afterwards, at this start and the next.
TEST_F(FirmwareSystem, DamagedRegisterImageNeverAcknowledgesARunItRefuses) {
    const int offset = NetFreePortOffset(18501);
    const int port = 18501 + offset;
    auto startWithLink = [&](FirmwareProcess& fw) {
        fw.SetEnv("PLC_PORT_OFFSET", std::to_string(offset));
        StartRunning(fw);
    };
    // The answer to a run request and the mode the controller reports after it.
    auto askRun = [&](int* answer, int* mode) {
        TovraHost host;
        ASSERT_TRUE(WaitUntil([&] { return host.Connect(port); }, kStartMs));
        std::vector<u8> id, m;
        ASSERT_TRUE(host.FrameData(host.Request(9, {0xFF}), &id));
        ASSERT_EQ(id.size(), 1u);
        *answer = host.Ask(2, {id[0], 2});
        ASSERT_TRUE(host.FrameData(host.Request(1, {id[0]}), &m));
        ASSERT_EQ(m.size(), 1u);
        *mode = m[0];
    };
    int answer = -1, mode = -1;
    {
        FirmwareProcess fw;
        startWithLink(fw);
        askRun(&answer, &mode);
        ASSERT_EQ(answer, 0xA0);
        ASSERT_EQ(mode, 2);
        fw.Signal(SIGKILL);  // a power loss: no clean-stop image
        ASSERT_TRUE(fw.WaitExit(kStopMs));
    }
    const std::vector<u8> ladder = ReadFile(Cfg("ladder.pgm")), config = ReadFile(Cfg("config.pgm"));
    ASSERT_TRUE(ValidBlockFile(ladder));
    std::vector<u8> image = ReadFile(Cfg("autoreg.dta"));
    ASSERT_TRUE(ValidRegisterImage(image));
    image[8 + kRegR] ^= 0xFF;
    ASSERT_TRUE(File_WriteAtomic(Cfg("autoreg.dta"), image.data(), image.size()));

    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start);
        FirmwareProcess fw;
        startWithLink(fw);
        askRun(&answer, &mode);
        EXPECT_EQ(answer, mode == 2 ? 0xA0 : 0x09) << "mode " << mode;
        StopCleanly(fw);
        EXPECT_EQ(ReadFile(Cfg("ladder.pgm")), ladder);
        EXPECT_EQ(ReadFile(Cfg("config.pgm")), config);
    }
}

TEST_F(FirmwareSystem, NoArgumentsSilencesConsoleAndOpensWatchdog) {
    FirmwareProcess fw;
    StartRunning(fw);
    BoardWatchdog w;
    EXPECT_TRUE(WaitUntil(
        [&] {
            Board_GetWatchdog(&w);
            return w.open == 1;
        },
        kStartMs));
    EXPECT_EQ(w.timeoutS, 5u);
    // An interrupt from the terminal ends it as cleanly as SIGTERM.
    fw.Signal(SIGINT);
    ASSERT_TRUE(fw.WaitExit(kStopMs));
    EXPECT_EQ(fw.ExitCode(), kExitNormal);
    EXPECT_TRUE(Exists(Cfg("saved.dat")));
    Board_GetWatchdog(&w);
    EXPECT_EQ(w.open, 0u);  // closed with the magic character, no reset pending
}

TEST_F(FirmwareSystem, TwoArgumentsNeverOpenTheWatchdog) {
    FirmwareProcess fw;
    StartRunning(fw, {"debug", "nowatchdog"});
    StopCleanly(fw);
    BoardWatchdog w;
    Board_GetWatchdog(&w);
    EXPECT_EQ(w.open, 0u);
    EXPECT_EQ(w.lastKeepAliveNs, 0u);
    std::vector<u8> log = ReadFile(root.Path("/sys/commands.log"));
    EXPECT_EQ(std::string(log.begin(), log.end()).find("printk"), std::string::npos);
    EXPECT_TRUE(ValidRegisterImage(ReadFile(Cfg("autoreg.dta"))));
}

TEST_F(FirmwareSystem, OneArgumentInstallsAndLoadsNothing) {
    FirmwareProcess fw;
    ASSERT_TRUE(fw.Start({"install"}));
    ASSERT_TRUE(fw.WaitForOutput("Install:", kStartMs)) << fw.Output();
    EXPECT_EQ(fw.Output().find(kRunning), std::string::npos);
    EXPECT_FALSE(Exists(Cfg("ladder.pgm")));
    EXPECT_FALSE(Exists(Cfg("autoreg.dta")));
    EXPECT_FALSE(Exists(Cfg("bbram.dta")));
    fw.Signal(SIGTERM);
    ASSERT_TRUE(fw.WaitExit(kStopMs));
    EXPECT_EQ(fw.TermSignal(), SIGTERM);
    EXPECT_FALSE(Exists(Cfg("autoreg.dta")));
}

// Gone, or a zombie waiting for whoever adopted it.
bool ProcessGone(pid_t pid) {
    if (kill(pid, 0) != 0 && errno == ESRCH) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'Z';
}

// The free-space writer and the master script's reader are children of the
// controller; they end with it, by pid, also when it is killed.
TEST_F(FirmwareSystem, ChildrenAreOursAndEndWithTheController) {
    std::filesystem::create_directories(root.Path("/opt/varnok"));
    std::ofstream(root.Path("/opt/varnok/MasterScript.sh")) << "touch /tmp/should-never-run\n";
    for (int sig : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(sig);
        FirmwareProcess fw;
        StartRunning(fw);
        std::vector<pid_t> children;
        ASSERT_TRUE(WaitUntil(
            [&] {
                children = fw.Children();
                return children.size() == 2;
            },
            kStartMs));
        EXPECT_TRUE(WaitUntil([&] { return ReadFile(root.Path("/dev/shm/read.dat")).size() == 24; }, kStartMs));
        fw.Signal(sig);
        ASSERT_TRUE(fw.WaitExit(kStopMs));
        for (pid_t child : children) EXPECT_TRUE(WaitUntil([&] { return ProcessGone(child); }, kStopMs)) << child;
    }
    EXPECT_TRUE(Exists(root.Path("/opt/varnok/MasterScript.log")));
}

}  // namespace
