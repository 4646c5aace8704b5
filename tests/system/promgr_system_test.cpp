// Loadable protocol drivers in the real executable: the programming host
// downloads a program with a protocol-driver section carrying the tests'
// RTU driver, sets run mode, and the driver works serial port 1 against a
// python3-pymodbus serial slave on the far end of a socat pty pair. The
// controller runs on the test's clock; the slave answers in host time, so
// the driver's answer time-out (10 s of controller time) is far beyond any
// step the test takes while the slave is there.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "core/nvram.h"
#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/link_host.h"
#include "testsupport/mb_peers.h"
#include "testsupport/promgr_section.h"
#include "testsupport/temp_root.h"

namespace {

using lreg::M;
using lreg::R;

class PromgrSystem : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(root.Path("/dev").c_str(), 0755) == 0 || errno == EEXIST, true);
        ASSERT_TRUE(socat.Start("", "exec socat pty,raw,echo=0,link=" + root.Path("/dev/ttySP4") +
                                        " pty,raw,echo=0,link=" + Peer()));
        ASSERT_TRUE(PollUntil([&] { return Exists(Peer()) && Exists(root.Path("/dev/ttySP4")); }));
        StartSlave();
        ASSERT_TRUE(serial.Open(root.Path("/dev/ttySP3")));
        host = std::make_unique<LinkHost>(serial.Master());
        ASSERT_TRUE(fw.Start());
        ASSERT_TRUE(clock.AdvanceToOutput(fw, "main loop running")) << fw.Output();
        ASSERT_TRUE(host->NodeId(&node));
    }
    void TearDown() override {
        fw.Signal(SIGTERM);
        EXPECT_TRUE(clock.AdvanceToExit(fw)) << fw.Output();
        EXPECT_TRUE(fw.WaitExit(30000));
        slave.Stop();
        socat.Stop();
    }
    static bool Exists(const std::string& path) {
        struct stat st{};
        return ::stat(path.c_str(), &st) == 0;
    }
    std::string Peer() const { return root.Dir() + "/peer1"; }
    std::string Log() const { return root.Dir() + "/slave.log"; }
    void StartSlave() {
        const size_t before = Listening();
        ASSERT_TRUE(slave.Start("", std::string("exec /usr/bin/python3 ") + PLC_SOURCE_DIR +
                                        "/tests/iecext/mb_server.py rtu " + Peer() + " 0 " + Log()));
        ASSERT_TRUE(PollUntil([&] { return Listening() > before; }));
    }
    size_t Listening() const {
        const std::string log = ReadTextFile(Log());
        size_t n = 0;
        for (size_t at = log.find("listening"); at != std::string::npos; at = log.find("listening", at + 1)) ++n;
        return n;
    }
    bool Logged(const std::string& line) const { return ReadTextFile(Log()).find(line + "\n") != std::string::npos; }

    u16 Word(u32 address) {
        LinkHost::Reply r = host->ReadRegs(node, address, 16);
        return r.frame && r.data.size() >= 2 ? GetLe16(r.data.data()) : 0xDEAD;
    }
    bool SetWord(u32 address, u16 v) {
        return host->WriteRegs(node, address, 16, {static_cast<u8>(v), static_cast<u8>(v >> 8)}) == 0xA0;
    }
    bool Bit(u32 address) {
        LinkHost::Reply r = host->ReadRegs(node, address, 1);
        return r.frame && !r.data.empty() && (r.data[0] & 1);
    }
    bool SetBit(u32 address, bool on) { return host->WriteRegs(node, address, 1, {static_cast<u8>(on)}) == 0xA0; }
    // Advances the controller's clock in 10-ms steps until the condition
    // holds (at most `ms` of controller time).
    bool Until(const std::function<bool()>& done, u64 ms = 20000, u64 step = 10) {
        return clock.AdvanceUntil(done, ms, step);
    }

    TempRoot root;
    BoardClock clock;
    PeerProcess socat, slave;
    LinkPty serial;
    FirmwareProcess fw;
    std::unique_ptr<LinkHost> host;
    u8 node = 0;
};

std::vector<u8> Section() {
    PmgrDriverSpec d;
    d.image = PmgrTestDriverImage();
    d.port = 1;
    d.baud = 9;
    d.own4 = 10000;     // answer time-out, ms
    d.period = 10;      // 100 ms
    d.options = 0x11;   // shares its port with the programming link
    d.attempts = 3;
    d.retry = 300;      // 3 s
    d.hold = M(1);
    d.stations = {PmgrStationSpec{R(100)}};
    d.messages = {
        PmgrMessageSpec{1, R(1), 0, 1, 2, 0, 4, 0},       // holding registers 0-3, every cycle
        PmgrMessageSpec{3, R(11), 0, 1, 2, 0, 4, 20},     // 20-23 both ways, changes written
        PmgrMessageSpec{8, R(21), M(2), 1, 2, 0, 1, 40},  // written on %M2
        PmgrMessageSpec{4, R(31), M(3), 1, 2, 0, 1, 30},  // read on %M3
    };
    return BuildPmgrSection(PmgrSection{6, {d}});
}

TEST_F(PromgrSystem, DownloadedDriverRunsItsScanListAgainstASerialSlave) {
    LadderBuilder program;
    program.End();
    ASSERT_EQ(host->Download(node, 0, program.BlockData(kFeatPromgr), 64), 0xA0);
    const std::vector<u8> section = Section();
    ASSERT_GT(section.size(), 1000u);
    ASSERT_EQ(host->Download(node, 20, section, 64), 0xA0);
    ASSERT_EQ(host->SetMode(node, 2), 0xA0);

    // Loaded from a private file under the root, and reading.
    struct stat st{};
    ASSERT_EQ(::stat(root.Path("/dev/shm/drv0.so").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_TRUE(Until([&] { return Word(R(4)) == 1003 && Word(R(14)) == 1023; })) << fw.Output();
    EXPECT_EQ(Word(R(1)), 1000);
    EXPECT_EQ(Word(R(100)), 0);

    // Changed registers go out as one run.
    ASSERT_TRUE(SetWord(R(12), 7) && SetWord(R(13), 8));
    ASSERT_TRUE(Until([&] { return Logged("16 21 7,8"); }));
    // Triggered messages wait for their bits and clear them.
    EXPECT_EQ(Word(R(31)), 0);
    ASSERT_TRUE(SetWord(R(21), 55) && SetBit(M(2), true) && SetBit(M(3), true));
    ASSERT_TRUE(Until([&] { return Logged("16 40 55") && Word(R(31)) == 1030; }));
    ASSERT_TRUE(Until([&] { return !Bit(M(2)) && !Bit(M(3)); }));

    // The hold bit gives the port to the programming link: nothing goes out
    // until it clears.
    ASSERT_TRUE(SetBit(M(1), true));
    ASSERT_TRUE(clock.Advance(300));
    ASSERT_TRUE(SetWord(R(12), 99));
    ASSERT_TRUE(clock.Advance(1000));
    EXPECT_FALSE(Logged("16 21 99"));
    ASSERT_TRUE(SetBit(M(1), false));
    ASSERT_TRUE(Until([&] { return Logged("16 21 99"); }));

    // A silent slave: three attempts of 10 s, then the station reports the
    // time-out (100) and the failing message until its retry time.
    slave.Stop();
    ASSERT_TRUE(Until([&] { return Word(R(100)) == 100; }, 60000, 100));
    EXPECT_LT(Word(R(101)), 4);
    ASSERT_TRUE(clock.Advance(2000, 100));
    EXPECT_EQ(Word(R(100)), 100);
    // The slave answers again: after the retry the station is back.
    StartSlave();
    ASSERT_TRUE(Until([&] { return Word(R(100)) == 0; }, 60000, 50));
    ASSERT_TRUE(SetWord(R(13), 66));
    ASSERT_TRUE(Until([&] { return Logged("16 22 66"); }));

    // Stop gives the port back: nothing more goes out.
    ASSERT_EQ(host->SetMode(node, 0), 0xA0);
    ASSERT_TRUE(SetWord(R(12), 5));
    ASSERT_TRUE(clock.Advance(1000));
    EXPECT_FALSE(Logged("16 21 5"));
}

}  // namespace
