// The real executable runs a program written with the builder: the program
// and configuration files and a register image that resumes run mode are
// put into a fresh root, the controller is started, the power-fail signal
// ends it, and the register image the power-down writes shows what the
// program did.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/plc_regs.h"
#include "platform/board.h"
#include "platform/fileio.h"
#include "platform/reset.h"
#include "tests/ladder/ladder_fixture.h"
#include "testsupport/reg_image.h"
#include "testsupport/temp_root.h"

namespace {

using Clock = std::chrono::steady_clock;

bool WriteFile(const std::string& path, const std::vector<u8>& data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return f.good();
}


u32 WordOf(u32 bitAddress) { return (LadderRemap(bitAddress) - 0x400) >> 4; }

class LadderSystem : public ::testing::TestWithParam<LadderWidth> {};

TEST_P(LadderSystem, ControllerRunsTheStoredProgram) {
    TempRoot root;
    const u32 flag = lreg::R(100), masked = lreg::R(101), mask = lreg::R(102), step = lreg::R(110);
    LadderBuilder p(GetParam());
    LadderLabel done = p.NewLabel();
    p.Contl(lreg::R(1)).Not().Out(flag);                 // R100.0 = NOT R1.0
    p.Contl(lreg::R(1) + 15).MaskW(masked, mask);        // R101 |= R102 while R1.15
    p.Step(step, done, done, done, done).Bind(done).End();
    ASSERT_TRUE(p.Ok()) << p.Error();
    ASSERT_TRUE(WriteFile(root.Path("/mnt/cfg/ladder.pgm"), p.ProgramFile()));
    ASSERT_TRUE(WriteFile(root.Path("/mnt/cfg/config.pgm"), LadderConfigFile()));
    ASSERT_TRUE(WriteFile(root.Path("/mnt/cfg/autoreg.dta"),
                          RunModeRegisterImage({{WordOf(lreg::R(1)), 0x8000}, {WordOf(masked), 0x0001},
                                    {WordOf(mask), 0x1234}, {WordOf(step), 2}})));

    const std::string log = root.Path("/controller.log");
    std::string offset = std::to_string(10000 + getpid() % 10000);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        setenv("PLC_PORT_OFFSET", offset.c_str(), 1);
        execl(PLC_FIRMWARE_EXE, PLC_FIRMWARE_EXE, static_cast<char*>(nullptr));
        _exit(127);
    }

    // Wait (bounded) until the controller has registered for the power-fail
    // signal, then send it: start-up has entered run mode by then, and the
    // main-loop pass that handles the signal scans before it powers down.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    bool registered = false;
    while (Clock::now() < deadline) {
        if (std::filesystem::exists(root.Path(kBoardStatePath)) && (Board_IsOpen() || Board_Open()) &&
            Board_ControllerPid() == child) {
            registered = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    int status = 0;
    bool ended = false;
    if (registered) {
        EXPECT_TRUE(Board_SignalPowerFail());
        while (Clock::now() < deadline && !ended) {
            if (waitpid(child, &status, WNOHANG) == child) ended = true;
            else std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    Board_Close();
    std::ifstream logFile(log);
    std::string logText((std::istreambuf_iterator<char>(logFile)), std::istreambuf_iterator<char>());
    ASSERT_TRUE(registered) << logText;
    ASSERT_TRUE(ended) << logText;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kExitPowerOff) << status << "\n" << logText;

    std::vector<u8> image;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), image, 8 + kPlcRegBytes));
    ASSERT_EQ(image.size(), 8 + kPlcRegBytes);
    const u8* regs = image.data() + 8;
    auto word = [regs](u32 bitAddress) { return GetLe16(regs + 2 * WordOf(bitAddress)); };
    EXPECT_EQ(GetLe16(regs + 2 * (127 + 5)), 2) << "still in run mode\n" << logText;
    EXPECT_EQ(GetLe16(regs + 2 * (127 + 4)) & 0x100, 0) << "no program fault";
    EXPECT_EQ(word(flag) & 1, 1);
    EXPECT_EQ(word(masked), 0x1235);
    EXPECT_EQ(word(step), 1) << "STEP moved from state 2 to 1";
    EXPECT_NE(GetLe32(regs + 2 * (127 + 149)), 0u) << "scan time stamp";
}

INSTANTIATE_TEST_SUITE_P(Widths, LadderSystem, ::testing::Values(LadderWidth::k16, LadderWidth::k32), WidthName);

}  // namespace
