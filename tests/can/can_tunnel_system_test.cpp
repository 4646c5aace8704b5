// Two real executables on one stand-in CAN bus, both on clocks the test
// drives: a programming host on controller A's serial port works with
// controller B's registers through the CANopen tunnel.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <optional>
#include <string>

#include "core/plc_regs.h"
#include "platform/fileio.h"
#include "testsupport/board_clock.h"
#include "testsupport/can_peer.h"
#include "testsupport/firmware_process.h"
#include "testsupport/link_host.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/reg_image.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kGuardMs = 30000;
constexpr u8 kNodeA = 1, kNodeB = 2;
constexpr u32 kR1 = 0x8000;  // bit address of %R1
constexpr u32 kSrWord = 127;  // register word of SR0

class CanTunnelSystem : public ::testing::Test {
protected:
    void SetUp() override {
        bus = CanTest_UseFreeBus();
        ASSERT_NE(bus, 0);
        dirB = root.Dir() + "-b";
        ASSERT_EQ(system(("mkdir -p " + dirB).c_str()), 0);
        const int offsetA = NetFreePortOffset(9000);
        int offsetB;
        do offsetB = NetFreePortOffset(9000);
        while (offsetB == offsetA);
        // A in stop mode; B in stop mode with %R1 = 0x1234.
        Prepare(a, root.Dir(), offsetA, {{kSrWord + 29, kNodeA}, {kSrWord + 5, 0}});
        Prepare(b, dirB, offsetB, {{kSrWord + 29, kNodeB}, {kSrWord + 5, 0}, {(kRegR / 2), 0x1234}});
        ASSERT_TRUE(serial.Open(root.Path("/dev/ttySP3")));
        clockA.emplace(root.Dir());
        clockB.emplace(dirB);
        ASSERT_TRUE(a.Start());
        ASSERT_TRUE(b.Start());
        auto running = [](FirmwareProcess& p) { return p.Output().find("main loop running") != std::string::npos; };
        ASSERT_TRUE(Advance([&] { return running(a) && running(b); }, 20000)) << a.Output() << b.Output();
        host = std::make_unique<LinkHost>(serial.Master(), 0, [this] { Step(2); });
    }
    void TearDown() override {
        for (FirmwareProcess* p : {&a, &b})
            if (p->Running() && !p->HasExited()) p->Signal(SIGTERM);
        Advance([&] { return !Alive(a) && !Alive(b); }, 20000);
        for (FirmwareProcess* p : {&a, &b})
            if (p->Running()) p->WaitExit(kGuardMs);
        unsetenv("PLC_CAN_BUS");
        Shell("rm -rf " + dirB);
    }
    static bool Alive(FirmwareProcess& p) { return p.Running() && !p.HasExited(); }
    // Stored blocks from a first start, then the register image.
    void Prepare(FirmwareProcess& p, const std::string& dir, int offset,
                 const std::vector<std::pair<u32, u16>>& words) {
        auto env = [&](FirmwareProcess& f) {
            f.SetEnv("PLC_ROOT", dir);
            f.SetEnv("PLC_PORT_OFFSET", std::to_string(offset));
            f.SetEnv("PLC_CAN_BUS", std::to_string(bus));
        };
        FirmwareProcess first;
        env(first);
        ASSERT_TRUE(first.Start());
        ASSERT_TRUE(first.WaitForOutput("main loop running", kGuardMs)) << first.Output();
        first.Signal(SIGTERM);
        ASSERT_TRUE(first.WaitExit(kGuardMs));
        const std::vector<u8> image = RunModeRegisterImage(words);
        ASSERT_TRUE(File_WriteAtomic(dir + "/mnt/cfg/autoreg.dta", image.data(), image.size()));
        env(p);
    }
    // Both clocks by ms milliseconds (B's while it lives).
    bool Step(u64 ms) {
        if (Alive(a) && !clockA->Advance(ms, ms)) return false;
        if (Alive(b) && !clockB->Advance(ms, ms)) return false;
        return true;
    }
    bool Advance(const std::function<bool()>& condition, u64 maxMs) {
        for (u64 done = 0; !condition(); done += 10)
            if (done >= maxMs || !Step(10)) return false;
        return true;
    }

    TempRoot root;
    std::string dirB;
    int bus = 0;
    LinkPty serial;
    std::optional<BoardClock> clockA, clockB;
    FirmwareProcess a, b;
    std::unique_ptr<LinkHost> host;
};

TEST_F(CanTunnelSystem, HostOnControllerAReadsAndWritesControllerBsRegisters) {
    u8 node = 0;
    ASSERT_TRUE(host->NodeId(&node)) << a.Output();
    ASSERT_EQ(node, kNodeA);
    // A register read of node B, relayed through the tunnel.
    LinkHost::Reply r = host->ReadRegs(kNodeB, kR1, 16, kGuardMs);
    ASSERT_TRUE(r.frame) << a.Output() << b.Output();
    EXPECT_EQ(r.data, (std::vector<u8>{0x34, 0x12}));
    // A write on B, then both registers read back in one frame longer than
    // one segment.
    ASSERT_EQ(host->WriteRegs(kNodeB, kR1 + 16, 16, {0x78, 0x56}, kGuardMs), 0xA0);
    r = host->ReadRegs(kNodeB, kR1, 32, kGuardMs);
    ASSERT_TRUE(r.frame);
    EXPECT_EQ(r.data, (std::vector<u8>{0x34, 0x12, 0x78, 0x56}));
    // A's own registers are untouched.
    r = host->ReadRegs(kNodeA, kR1, 32, kGuardMs);
    ASSERT_TRUE(r.frame);
    EXPECT_EQ(r.data, (std::vector<u8>{0, 0, 0, 0}));
}

}  // namespace
