#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/board.h"
#include "platform/cmdrun.h"
#include "platform/fileio.h"
#include "platform/gpio.h"
#include "platform/serial.h"
#include "platform/supply.h"
#include "platform/root.h"
#include "testsupport/temp_root.h"

namespace {

struct ToolResult {
    int status = -1;
    std::string out;
};

// Runs the board tool on the given root and collects its standard output.
ToolResult RunTool(const std::string& root, std::vector<std::string> args) {
    std::string exe = std::string(PLC_BIN_DIR) + "/plcboard";
    ToolResult r;
    if (access(exe.c_str(), X_OK) != 0) {
        ADD_FAILURE() << exe << " is missing: build the plcboard target";
        return r;
    }
    args.insert(args.begin(), {exe, "--root", root});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, 2);
        close(fds[0]);
        close(fds[1]);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0) r.out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    return r;
}

u32 Pinctrl(u32 offset) { return kSocPinctrlBase + offset; }

}  // namespace

TEST(Board, StateSurvivesRestartAndAFreshRootGivesAFreshBoard) {
    TempRoot root;
    ASSERT_TRUE(Board_Open());
    EXPECT_FALSE(Board_ButtonPressed(BoardButton::Run));
    EXPECT_FALSE(Board_ButtonPressed(BoardButton::Load));
    Board_SetPersistent(kPersistentFaultFlags, 0x8000);
    Board_SetPersistent(kPersistentUncleanCount, 7);
    Board_GpioOutSet(kLedBBank, 1u << kLedBPin);
    Board_PressButton(BoardButton::Load, true);
    Board_SetModuleWord(3, 10, 0xCAFE);
    Board_Close();

    ASSERT_TRUE(Board_Open());  // the next process start
    EXPECT_EQ(Board_Persistent(kPersistentFaultFlags), 0x8000u);
    EXPECT_EQ(Board_Persistent(kPersistentUncleanCount), 7u);
    EXPECT_FALSE(Board_Led(0));
    EXPECT_TRUE(Board_Led(1));
    EXPECT_TRUE(Board_ButtonPressed(BoardButton::Load));
    EXPECT_EQ(Board_ModuleWord(3, 10), 0xCAFEu);

    {
        TempRoot other;  // accesses follow the new root without an explicit open
        EXPECT_EQ(Board_Persistent(kPersistentFaultFlags), 0u);
        EXPECT_FALSE(Board_ButtonPressed(BoardButton::Load));
    }
    Board_Close();
}

TEST(Board, FileOfAnotherLayoutIsReplacedByAFreshBoard) {
    TempRoot root;
    ASSERT_TRUE(Board_Open());
    Board_SetPersistent(kPersistentFaultFlags, 0x10);
    Board_Close();
    std::string file = Root_HostPath(kBoardStatePath);
    auto size = std::filesystem::file_size(file);

    // Same size, foreign magic.
    std::vector<u8> junk(size, 0x5A);
    ASSERT_TRUE(File_WriteAtomic(file, junk.data(), junk.size()));
    ASSERT_TRUE(Board_Open());
    EXPECT_EQ(Board_Persistent(kPersistentFaultFlags), 0u);
    EXPECT_FALSE(Board_ButtonPressed(BoardButton::Run));
    Board_Close();

    // Short file.
    ASSERT_TRUE(File_WriteAtomic(file, junk.data(), 100));
    ASSERT_TRUE(Board_Open());
    EXPECT_EQ(Board_Persistent(kPersistentFaultFlags), 0u);
    EXPECT_EQ(std::filesystem::file_size(file), size);
    Board_Close();
}

TEST(Board, WithoutABoardFileAccessesActOnAPrivateBoard) {
    TempRoot root;
    std::filesystem::remove_all(Root_HostPath("/sys"));
    std::ofstream(Root_HostPath("/sys")) << "not a folder";
    EXPECT_FALSE(Board_Open());
    Board_SetPersistent(kPersistentFaultFlags, 0x8000);
    Board_PressButton(BoardButton::Run, true);
    EXPECT_EQ(Board_Persistent(kPersistentFaultFlags), 0x8000u);
    EXPECT_TRUE(Board_ButtonPressed(BoardButton::Run));
    Board_Close();
}

TEST(Board, RegisterWritesFollowTheSetClearToggleRules) {
    TempRoot root;
    const u32 dout2 = Pinctrl(kPinctrlDout0 + 0x20);
    struct Step {
        u32 addr;
        u32 value;
        u32 expect;  // read back from the register itself
    } steps[] = {
        {dout2, 0x0000F00F, 0x0000F00F},
        {dout2 + kRegSet, 0x00000F00, 0x0000FF0F},
        {dout2 + kRegClr, 0x0000000F, 0x0000FF00},
        {dout2 + kRegTog, 0x000000FF, 0x0000FFFF},
        {dout2 + 2, 0x1, 0x1},  // unaligned address: its word
    };
    for (const Step& s : steps) {
        Board_RegWrite(s.addr, s.value);
        EXPECT_EQ(Board_RegRead(dout2), s.expect) << std::hex << s.addr;
    }
    EXPECT_EQ(Board_GpioOut(2), 0x1u);
    EXPECT_EQ(Board_RegRead(dout2 + kRegSet), 0x1u);

    // Input pins belong to the outside world: firmware writes change nothing.
    const u32 din0 = Pinctrl(kPinctrlDin0);
    u32 before = Board_RegRead(din0);
    Board_RegWrite(din0, 0);
    Board_RegWrite(din0 + kRegClr, 0xFFFFFFFF);
    EXPECT_EQ(Board_RegRead(din0), before);
    Board_SetGpioInput(0, 0xF, 0x5);
    EXPECT_EQ(Board_GpioIn(0) & 0xF, 0x5u);
    EXPECT_EQ(Board_GpioIn(0) & (1u << kButtonRunPin), 1u << kButtonRunPin);  // other pins kept

    // The persistent registers are the RTC block's words.
    Board_RegWrite(kSocRtcBase + kRtcPersistent0 + 0x10 * kPersistentFaultFlags + kRegSet, 0x8000);
    EXPECT_EQ(Board_Persistent(kPersistentFaultFlags), 0x8000u);

    // Soft reset gates the block clock; outside the blocks nothing is stored.
    Board_RegWrite(kSocI2c0Base + kRegSet, kCtrlSoftReset);
    EXPECT_EQ(Board_RegRead(kSocI2c0Base) & kCtrlClockGate, kCtrlClockGate);
    Board_RegWrite(kSocI2c0Base + kRegClr, kCtrlSoftReset | kCtrlClockGate);
    EXPECT_EQ(Board_RegRead(kSocI2c0Base), 0u);
    EXPECT_FALSE(Board_RegExists(0x80000000));
    Board_RegWrite(0x80000000, 1);
    EXPECT_EQ(Board_RegRead(0x80000000), 0u);
    Board_Close();
}

namespace {
u32 g_hookAddr, g_hookOld, g_hookNew;
int g_hookCalls;
void Hook(u32 addr, u32 oldValue, u32 newValue) {
    g_hookAddr = addr;
    g_hookOld = oldValue;
    g_hookNew = newValue;
    ++g_hookCalls;
}
}  // namespace

// The named device calls land on the pins and words they name, and a
// power-off request is kept in the board file where a second process sees it.
TEST(Board, NamedDeviceCallsReachTheirPinsAndWords) {
    TempRoot root;
    ASSERT_TRUE(Board_Open());
    const u32 enable = 1u << kIoEnablePin;
    Gpio_SetupIoEnableLine();
    EXPECT_EQ(Board_GpioDir(kIoEnableBank) & enable, enable);
    EXPECT_EQ(Board_GpioOut(kIoEnableBank) & enable, enable);
    for (bool high : {false, true, false}) {
        Gpio_DriveIoEnable(high);
        EXPECT_EQ((Board_GpioOut(kIoEnableBank) & enable) != 0, high);
    }
    EXPECT_EQ(Board_GpioOut(kIoEnableBank) & ~enable, 0u);  // no other pin moved
    // The panel set-up turns PLL0 on and leaves the power-down bits clear.
    Board_RegWrite(kSocClkctrlBase, 0xC0000000u);
    Gpio_SetupPanelClocksAndPins();
    EXPECT_EQ(Board_RegRead(kSocClkctrlBase), 1u << 26);
    EXPECT_EQ(Supply_PowerOffRequests(), 0u);
    Supply_RequestPowerOff();
    Board_Close();
    ASSERT_TRUE(Board_Open());
    EXPECT_EQ(Supply_PowerOffRequests(), 1u);
    EXPECT_STREQ(Serial_DevicePath(1), "/dev/ttySP4");
    EXPECT_EQ(Serial_DevicePath(4), nullptr);
    Serial_ClearUartFifo(0);  // no UART block on this board: nothing is written
    Serial_ClearUartFifo(7);
    Board_Close();
}

TEST(Board, WriteHookSeesTheRegisterWithItsOldAndNewValue) {
    TempRoot root;
    g_hookCalls = 0;
    Board_SetWriteHook(kSocSsp1Base, Hook);
    Board_RegWrite(kSocSsp1Base + 0x10, 0x30);
    Board_RegWrite(kSocSsp1Base + 0x10 + kRegClr, 0x10);
    EXPECT_EQ(g_hookCalls, 2);
    EXPECT_EQ(g_hookAddr, kSocSsp1Base + 0x10);
    EXPECT_EQ(g_hookOld, 0x30u);
    EXPECT_EQ(g_hookNew, 0x20u);
    Board_RegWrite(kSocSsp2Base + 0x10, 1);  // another block: not seen
    EXPECT_EQ(g_hookCalls, 2);
    Board_SetWriteHook(kSocSsp1Base, nullptr);
    Board_Close();
}

TEST(BoardTool, SeesAndChangesTheBoardOfARunningController) {
    TempRoot root;
    ASSERT_TRUE(Board_Open());
    Board_GpioOutSet(kLedABank, 1u << kLedAPin);
    Board_SetPersistent(kPersistentFaultFlags, 0x8011);
    BoardWatchdog wd{1, 1, 5, 4, 0, 0};
    Board_SetWatchdog(wd);

    ToolResult r = RunTool(root.Dir(), {"leds"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "A=1 B=0\n");
    r = RunTool(root.Dir(), {"persist", "3"});
    EXPECT_EQ(r.out, "0x00008011\n");
    r = RunTool(root.Dir(), {"watchdog"});
    EXPECT_EQ(r.out, "open=1 enabled=1 timeout=5 left=4 resets=0\n");

    EXPECT_EQ(RunTool(root.Dir(), {"press", "run"}).status, 0);
    EXPECT_TRUE(Board_ButtonPressed(BoardButton::Run));
    EXPECT_FALSE(Board_ButtonPressed(BoardButton::Load));
    EXPECT_EQ(RunTool(root.Dir(), {"release", "run"}).status, 0);
    EXPECT_FALSE(Board_ButtonPressed(BoardButton::Run));

    r = RunTool(root.Dir(), {"input", "3", "0x0F", "0x05"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Board_GpioIn(3), 0x5u);

    u16 supply[kSupplyWords] = {1, 2, 10, 4, 2900};
    r = RunTool(root.Dir(), {"supply", "1", "2", "10", "4", "2900"});
    EXPECT_EQ(r.status, 0);
    u16 got[kSupplyWords];
    Board_SupplyWords(got);
    EXPECT_EQ(0, std::memcmp(got, supply, sizeof(got)));
    std::vector<u8> file;
    ASSERT_TRUE(File_ReadAll(Root_HostPath("/proc/powerdown"), file, 64));
    ASSERT_EQ(file.size(), 10u);
    EXPECT_EQ(GetLe16(&file[4]), 10);
    EXPECT_EQ(GetLe16(&file[8]), 2900);

    struct {
        std::vector<std::string> args;
    } bad[] = {{{}}, {{"press", "stop"}}, {{"gpio", "5"}}, {{"input", "0", "x", "1"}},
               {{"persist", "6"}}, {{"supply", "1", "2"}}, {{"supply", "1", "2", "3", "4", "70000"}}};
    for (auto& b : bad) EXPECT_EQ(RunTool(root.Dir(), b.args).status, 2) << (b.args.empty() ? "" : b.args[0]);
    Board_Close();
}

TEST(BoardTool, PowerFailSignalsOnlyTheRegisteredController) {
    TempRoot root;
    ASSERT_TRUE(Board_Open());
    EXPECT_EQ(RunTool(root.Dir(), {"powerfail"}).status, 1);  // nobody registered

    // A pid that is gone (and may be reused by any host process) is refused.
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    Board_SetControllerPid(dead);
    EXPECT_EQ(RunTool(root.Dir(), {"powerfail"}).status, 1);

    // The controller registers itself as on the board.
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, kPowerFailSignal);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &set, &old), 0);
    std::string cmd = "echo " + std::to_string(getpid()) + " > /proc/powerdown";
    EXPECT_EQ(SysCmd_Run(cmd.c_str()), 0);
    EXPECT_EQ(Board_ControllerPid(), getpid());
    std::vector<u8> file;
    ASSERT_TRUE(File_ReadAll(Root_HostPath("/proc/powerdown"), file, 64));
    EXPECT_EQ(file.size(), 10u);  // the supply words stay

    ToolResult r = RunTool(root.Dir(), {"powerfail"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "signalled=" + std::to_string(getpid()) + "\n");
    struct timespec limit = {10, 0};
    EXPECT_EQ(sigtimedwait(&set, nullptr, &limit), kPowerFailSignal);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    EXPECT_EQ(Board_PowerFailCount(), 1u);
    Board_Close();
}
