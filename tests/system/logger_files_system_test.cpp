// The real executable runs a ladder program with file instructions: a
// pattern copy from B: into a new folder on A:, a slow copy that the
// program disables after it started (its own child ends, a decoy process
// named cp started by this test lives on, nothing is sent by name), then a
// block of registers written to A:\DATA.CSV, read back elsewhere and written
// again to A:\BACK.CSV. The power-down register image shows the statuses.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "testsupport/firmware_process.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_operand.h"
#include "platform/board.h"
#include "platform/fileio.h"
#include "platform/fx_api.h"
#include "platform/reset.h"
#include "platform/root.h"
#include "storage/file.h"
#include "tests/storage/file_records.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/reg_image.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kWaitMs = 30000;

bool Write(const std::string& path, const std::string& data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream f(path, std::ios::binary);
    f << data;
    return f.good();
}
bool WriteBytes(const std::string& path, const std::vector<u8>& data) {
    return Write(path, std::string(data.begin(), data.end()));
}
std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

u32 WordOf(u32 bitAddress) { return (LadderRemap(bitAddress) - 0x400) >> 4; }


// A AND NOT B as the rung's power flow.
void AndNot(LadderBuilder& p, u32 a, u32 b) { p.Contl(a).Contl(b).Not().And(); }

}  // namespace

TEST(LoggerFilesSystem, LadderFileInstructionsOnTheRealController) {
    using namespace frec;
    TempRoot root;
    // Registers: data R1-R10, read-back R20-R29, statuses R100..R140, flags
    // R60, the sign mask R80.
    const u32 flags = lreg::R(60), stepFlags = lreg::R(61), mask = lreg::R(80);
    const u32 stCopy = lreg::R(130), stSlow = lreg::R(140), stWrite = lreg::R(100), stRead = lreg::R(110),
              stBack = lreg::R(120);
    Transfer w;
    w.op = kFileOpWrite;
    w.options = 0x10;
    w.data = lreg::R(1);
    w.type = 5;
    w.count = 10;
    w.status = stWrite;
    w.name = Inline("A:\\DATA.CSV");
    Transfer r = w;
    r.op = kFileOpRead;
    r.options = 0;
    r.data = lreg::R(20);
    r.status = stRead;
    Transfer backW = w;
    backW.data = lreg::R(20);
    backW.status = stBack;
    backW.name = Inline("A:\\BACK.CSV");

    Words probe = Make(w);
    // The opcode table must know the file instructions exactly as built here.
    ASSERT_EQ(LadderInstruction_Words(probe.data(), static_cast<u32>(probe.size()), false), probe.size());

    LadderBuilder p(LadderWidth::k32);
    // 1. Pattern copy, then flag bit 0.
    p.Contl(flags + 0).Not();
    Emit(p, Copy(stCopy, Inline("B:\\logs\\*.csv"), Inline("A:\\NEWDIR\\")));
    p.Set(flags + 0);
    // 2. Slow copy, disabled two scans after it started (stepFlags bit 1 set
    // once its status is negative, bit 0 one scan later).
    AndNot(p, flags + 0, stepFlags + 0);
    Emit(p, Copy(stSlow, Inline("B:\\BIG.BIN"), Inline("A:\\BIG.BIN")));
    p.Pop();
    p.Contl(stepFlags + 1).Set(stepFlags + 0);
    p.Contl(flags + 0).TestW(stSlow, mask).And().Set(stepFlags + 1);
    // 3. Write, read back, write again.
    AndNot(p, stepFlags + 0, flags + 1);
    Emit(p, Make(w));
    p.Set(flags + 1);
    p.Contl(flags + 1).Contl(flags + 2).Not().And();
    Emit(p, Make(r));
    p.Set(flags + 2);
    p.Contl(flags + 2).Contl(flags + 3).Not().And();
    Emit(p, Make(backW));
    p.Set(flags + 3);
    p.End();
    ASSERT_TRUE(p.Ok()) << p.Error();

    ASSERT_TRUE(WriteBytes(root.Path("/mnt/cfg/ladder.pgm"), p.ProgramFile()));
    ASSERT_TRUE(WriteBytes(root.Path("/mnt/cfg/config.pgm"), LadderConfigFile()));
    std::vector<std::pair<u32, u16>> words{{WordOf(mask), 0x8000}};
    for (u16 i = 0; i < 10; ++i) words.push_back({WordOf(lreg::R(1 + i)), static_cast<u16>(i * 111 - 300)});
    ASSERT_TRUE(WriteBytes(root.Path("/mnt/cfg/autoreg.dta"), RunModeRegisterImage(words)));
    ASSERT_TRUE(Fx_InsertMedium(0));
    ASSERT_TRUE(Fx_InsertMedium(1));
    ASSERT_TRUE(Write(root.Path("/mnt/USB1/Logs/a.csv"), "1"));
    ASSERT_TRUE(Write(root.Path("/mnt/USB1/Logs/B.CSV"), "2"));
    ASSERT_TRUE(Write(root.Path("/mnt/USB1/Logs/c.Csv"), "3"));
    ASSERT_TRUE(Write(root.Path("/mnt/USB1/Logs/d.txt"), "4"));
    // The slow copy's source is held under a write lease: the copy's open
    // waits for the lease to be given up (or for the kernel's break time,
    // 45 s), so the copy is still under way when the program stops it, however
    // loaded the machine.
    ASSERT_TRUE(Write(root.Path("/mnt/USB1/BIG.BIN"), std::string(64 << 10, 'x')));
    signal(SIGIO, SIG_IGN);  // the lease break is told by SIGIO
    int leaseFd = open(root.Path("/mnt/USB1/BIG.BIN").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(leaseFd, 0);
    ASSERT_EQ(fcntl(leaseFd, F_SETLEASE, F_WRLCK), 0) << "write lease: " << std::strerror(errno);
    // The decoy: a process whose name is cp.
    std::string decoyPath = root.Path("/decoy/cp");
    std::filesystem::create_directories(std::filesystem::path(decoyPath).parent_path());
    std::filesystem::create_symlink("/bin/sleep", decoyPath);
    pid_t decoy = fork();
    if (decoy == 0) {
        execl(decoyPath.c_str(), "cp", "300", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(decoy, 0);

    // The host's clock: the copies are real work of child processes, which
    // no clock of the controller's paces.
    FirmwareProcess fw;
    ASSERT_TRUE(fw.Start());
    EXPECT_TRUE(WaitUntil([&] { return Read(root.Path("/mnt/USB0/NEWDIR/c.Csv")) == "3"; }, kWaitMs)) << fw.Output();
    const bool back = WaitUntil([&] { return Read(root.Path("/mnt/USB0/BACK.CSV")) != "<missing>"; }, kWaitMs);
    // The instruction sees its answer on a later pass of the mailbox: some
    // passes more before the power-down takes its image.
    ASSERT_TRUE(Board_Open());
    ASSERT_TRUE(WaitMainLoopPasses(20, kWaitMs));
    std::string data = Read(root.Path("/mnt/USB0/DATA.CSV"));

    ASSERT_TRUE(WaitUntil([&] { return Board_ControllerPid() == fw.Pid(); }, kWaitMs));
    EXPECT_TRUE(Board_SignalPowerFail());
    ASSERT_TRUE(fw.WaitExit(kWaitMs));
    Board_Close();
    EXPECT_EQ(fw.ExitCode(), kExitPowerOff) << fw.Output();

    // The decoy lives; nothing was ended by name.
    EXPECT_EQ(kill(decoy, 0), 0);
    kill(decoy, SIGKILL);
    waitpid(decoy, nullptr, 0);
    const std::string commands = Read(root.Path("/sys/commands.log"));
    EXPECT_EQ(commands.find("killall cp"), std::string::npos);
    EXPECT_EQ(commands.find("killall rm"), std::string::npos);

    std::vector<u8> image;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), image, 8 + kPlcRegBytes));
    ASSERT_EQ(image.size(), 8 + kPlcRegBytes);
    const u8* regs = image.data() + 8;
    auto word = [regs](u32 a) { return static_cast<i16>(GetLe16(regs + 2 * WordOf(a))); };
    auto bit = [regs](u32 a) { return ((regs[(a - 0x400) >> 3] >> (a & 7)) & 1) != 0; };
    // Each finished operation set its flag (its power flow is TRUE only with
    // status 0); from the next scan on the flag turns the instruction off,
    // which shows -4.
    auto doneOrOff = [](i16 status) { return status == 0 || status == kFileDisabled; };
    EXPECT_TRUE(bit(flags + 0));
    EXPECT_TRUE(doneOrOff(word(stCopy))) << word(stCopy);
    EXPECT_EQ(word(stSlow), kFileDisabled);
    // The ended copy never wrote its target.
    fcntl(leaseFd, F_SETLEASE, F_UNLCK);
    close(leaseFd);
    EXPECT_FALSE(std::filesystem::exists(root.Path("/mnt/USB0/BIG.BIN")));
    EXPECT_FALSE(std::filesystem::exists(root.Path("/mnt/USB0/NEWDIR/d.txt")));
    EXPECT_EQ(Read(root.Path("/mnt/USB0/NEWDIR/a.csv")), "1");
    EXPECT_EQ(Read(root.Path("/mnt/USB0/NEWDIR/B.CSV")), "2");

    // The mailbox transfers need the system update step to serve the file
    // request mailbox.
    ASSERT_TRUE(back) << "A:\\BACK.CSV never appeared: write status " << word(stWrite) << ", read status "
                      << word(stRead) << "\n"
                      << fw.Output();
    EXPECT_TRUE(bit(flags + 3));
    EXPECT_TRUE(doneOrOff(word(stBack))) << word(stBack);
    for (u16 i = 0; i < 10; ++i) EXPECT_EQ(word(lreg::R(20 + i)), static_cast<i16>(i * 111 - 300));
    EXPECT_EQ(Read(root.Path("/mnt/USB0/BACK.CSV")), data);
    // Python's csv module reads the file as ten numbers.
    std::string cmd = "/usr/bin/python3 -c \"import csv,sys; r=list(csv.reader(open(sys.argv[1], newline=''))); "
                      "sys.exit(0 if r==[[str(i*111-300) for i in range(10)]] else 1)\" '" +
                      root.Path("/mnt/USB0/DATA.CSV") + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << data;
}
