// The real firmware with simulated modules in both slots: the plcio tool
// drives an input beside the running controller, and the register memory
// and the module outputs follow within a few scans.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "testsupport/firmware_process.h"
#include "io/iodriver.h"
#include "platform/board.h"
#include "platform/fileio.h"
#include "platform/iomodules.h"
#include "platform/reset.h"
#include "testsupport/board_clock.h"
#include "testsupport/link_host.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;
constexpr u32 kImageBytes = 8 + kPlcRegBytes;

class IoSystem : public ::testing::Test {
protected:
    std::string Cfg(const char* name) { return root.Path(std::string("/mnt/cfg/") + name); }

    void StartRunning(FirmwareProcess& fw) {
        ASSERT_TRUE(fw.Start());
        ASSERT_TRUE(fw.WaitForOutput("main loop running", kStartMs)) << fw.Output();
    }
    void StopCleanly(FirmwareProcess& fw) {
        fw.Signal(SIGTERM);
        ASSERT_TRUE(fw.WaitExit(kStartMs));
        ASSERT_EQ(fw.ExitCode(), kExitNormal) << fw.Output();
    }
    bool WaitPasses(int n) { return WaitMainLoopPasses(n, kStartMs); }
    int Tool(const std::string& args) {
        std::string cmd = std::string(PLC_BIN_DIR) + "/plcio --root '" + root.Dir() + "' " + args + " > /dev/null";
        int rc = std::system(cmd.c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    std::vector<u8> Image() {
        std::vector<u8> f;
        if (!File_ReadAll(Cfg("autoreg.dta"), f, 64u << 20) || f.size() != kImageBytes) f.clear();
        return f;
    }

    // Stores an I/O configuration for both slots and a register image that
    // starts the controller in run mode with outputs 3 and 5 of slot 0 forced on.
    void Prepare() {
        FirmwareProcess first;
        StartRunning(first);
        StopCleanly(first);
        Nvram_Reset();
        ASSERT_EQ(LoadProgram(), 1);
        const u8 records[] = {0x0F, 0xA0, 0, 0, 0x0F, 0xAE, 0, 0, 0x00, 0xFA, 0, 0};
        std::memcpy(io_config, records, sizeof records);
        io_config_bl.SetHeader(crc16(io_config, sizeof records), sizeof records);
        ASSERT_EQ(SaveProgram(), 1);
        std::vector<u8> image = Image();
        ASSERT_EQ(image.size(), kImageBytes);
        PutLe16(&image[8 + 2 * (127 + 5)], 2);  // run
        // An output force sets outputs 3 and 5 of slot 0 in every scan (the
        // force table in the F area: one output entry on %Q1-16, forces on).
        u8* f = &image[8 + kForceTableOffset];
        PutLe16(f, 0);
        PutLe16(f + 2, 1);
        PutLe16(f + 4, 576);
        PutLe16(f + 6, 0xFFFF);
        PutLe16(f + 8, 0x0014);
        image[8 + 65] |= 0x08;  // %S12
        auto putSR = [&](int n, u16 v) { PutLe16(&image[8 + 2 * (127 + n)], v); };
        putSR(15, 14);  // table size and CRC, as a download leaves them
        putSR(16, 0);
        putSR(25, crc16(f, 14));
        PutLe16(&image[0], crc16(&image[8], kPlcRegBytes));
        ASSERT_TRUE(File_WriteAtomic(Cfg("autoreg.dta"), image.data(), image.size()));
    }

    TempRoot root;
};

TEST_F(IoSystem, ToolInputReachesTheRunningController) {
    ASSERT_NO_FATAL_FAILURE(Prepare());
    ASSERT_EQ(Tool("plug 0 0xA00F"), 0);
    ASSERT_EQ(Tool("plug 1 0xAE0F"), 0);
    FirmwareProcess fw;
    StartRunning(fw);
    ASSERT_TRUE(WaitPasses(3));
    // The outputs of the restored image reached the module.
    EXPECT_EQ(IoModules_Output(0, 3), 1);
    EXPECT_EQ(IoModules_Output(0, 5), 1);
    EXPECT_EQ(IoModules_Output(0, 1), 0);

    ASSERT_EQ(Tool("input 0 2 1"), 0);
    ASSERT_EQ(Tool("input 1 9 1"), 0);
    ASSERT_TRUE(WaitPasses(3));  // two scans, and the one that was under way
    // A module that stops answering and comes back.
    ASSERT_EQ(Tool("noack 0 1"), 0);
    ASSERT_TRUE(WaitPasses(3));
    EXPECT_GT(IoModules_Refused(0), 0u);
    ASSERT_EQ(Tool("noack 0 0"), 0);
    ASSERT_TRUE(WaitPasses(3));
    StopCleanly(fw);

    std::vector<u8> image = Image();
    ASSERT_EQ(image.size(), kImageBytes);
    EXPECT_EQ(image[8 + kRegI] & 0x02, 0x02);
    EXPECT_EQ(image[8 + kRegI + 33] & 0x01, 0x01);  // slot 1's generation-2 image
    EXPECT_EQ(GetLe16(&image[8 + 2 * (127 + 4)]) & 0x40, 0);  // no I/O fault
}

// A host calibrates channel 0 of the analog inputs over the programming
// link (command 23: enter calibration mode, set the constants, store them,
// leave); after a restart the constants come back from the module's
// calibration EEPROM and the input register shows them.
TEST_F(IoSystem, CalibrationOverTheLinkSurvivesARestart) {
    ASSERT_NO_FATAL_FAILURE(Prepare());
    ASSERT_EQ(Tool("plug 0 0xA00F"), 0);
    ASSERT_EQ(Tool("plug 1 0xAE0F"), 0);
    ASSERT_EQ(Tool("analog 0 0 8000"), 0);
    BoardClock clock;
    LinkPty serial;
    ASSERT_TRUE(serial.Open(root.Path("/dev/ttySP3")));
    LinkHost host(serial.Master());
    constexpr u32 kAI1 = 0x4000;
    auto input = [&](u8 node) {
        LinkHost::Reply r = host.ReadRegs(node, kAI1, 16);
        return r.frame && r.data.size() == 2 ? static_cast<int>(GetLe16(r.data.data())) : -1;
    };
    auto cal = [&](u8 node, std::vector<u8> request) {
        request.insert(request.begin(), {node, 0});
        LinkHost::Reply r = host.Request(23, request);
        return r.frame ? r.data : std::vector<u8>{0xEE};
    };
    {
        FirmwareProcess fw;
        ASSERT_TRUE(fw.Start());
        ASSERT_TRUE(clock.AdvanceToOutput(fw, "main loop running")) << fw.Output();
        u8 node = 0;
        host.Drain();
        ASSERT_TRUE(host.NodeId(&node)) << fw.Output();
        ASSERT_TRUE(clock.Advance(200));
        EXPECT_EQ(input(node), (8000 * 8771) >> 14);  // the default constants
        EXPECT_EQ(cal(node, {2, 0, 0, 0, 0, 0, 0}), std::vector<u8>{0});
        EXPECT_EQ(cal(node, {3, 0, 1, 0, 0, 0, 0x00, 0x40, 100, 0}), std::vector<u8>{0});
        EXPECT_EQ(cal(node, {4, 0x6C}), std::vector<u8>{0});
        EXPECT_EQ(cal(node, {7}), std::vector<u8>{0});
        fw.Signal(SIGTERM);
        ASSERT_TRUE(clock.AdvanceToExit(fw)) << fw.Output();
    }
    EXPECT_EQ(IoModules_CalByte(0, 64), 0x9E);
    FirmwareProcess fw;
    ASSERT_TRUE(fw.Start());
    ASSERT_TRUE(clock.AdvanceToOutput(fw, "main loop running")) << fw.Output();
    u8 node = 0;
    host.Drain();
    ASSERT_TRUE(host.NodeId(&node));
    ASSERT_TRUE(clock.Advance(200));
    EXPECT_EQ(input(node), ((8000 + 100) * 16384) >> 14);
    std::vector<u8> id = cal(node, {0});
    ASSERT_EQ(id.size(), 26u);
    EXPECT_EQ(id[2] & 1, 1);  // the flags show stored constants
    fw.Signal(SIGTERM);
    EXPECT_TRUE(clock.AdvanceToExit(fw)) << fw.Output();
}

}  // namespace
