// Serial port drivers: ownership, terminal settings, RTU frame ends,
// intercept mode, waits and the USB monitor.
#include <sys/ioctl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "link_fixture.h"
#include "platform/root.h"
#include "testsupport/firmware_process.h"

namespace {

class Sci : public ::testing::Test {
protected:
    void SetUp() override {
        FPGA_Reset();
        Timer_Init(nullptr, 0);
        RCT_Init();
        Cmd_Reset();
        Vcomm_Reset();
        ASSERT_TRUE(p0.Open(root.Path("/dev/ttySP3")));
        ASSERT_TRUE(p1.Open(root.Path("/dev/ttySP4")));
        ASSERT_EQ(SCI0_Init(0), 1);
        ASSERT_EQ(SCI1_Init(1), 1);
    }
    void TearDown() override { Vcomm_Reset(); }
    static int Open(u32 port, std::vector<u8> m) { return Vcomm_Drv[port].Open(port, m.data()); }
    static bool HasRequest(int unit, unsigned long req, long arg) {
        for (const SciRequest& r : Sci_View(unit).requests)
            if (r.request == req && r.argument == arg) return true;
        return false;
    }
    void WriteHost(LinkPty& p, std::vector<u8> bytes) {
        ASSERT_EQ(write(p.Master(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        // Wait until the bytes have crossed the pty.
        const u32 port = &p == &p0 ? 0 : 1;
        ASSERT_TRUE(WaitUntil([&] { return Vcomm_Drv[port].CountRx(port) >= static_cast<int>(bytes.size()); }, kPtyGuardMs));
    }

    TempRoot root;
    ManualClock clock;
    RegFixture regs;
    LinkPty p0, p1;
};

TEST_F(Sci, OwnershipTable) {
    struct Case {
        u8 from, to;
        int allowed;
    } cases[] = {
        {0, 1, 1}, {0, 3, 1}, {1, 0, 0}, {1, 4, 1}, {3, 3, 1}, {3, 1, 1}, {3, 2, 0}, {3, 4, 0},
        {2, 2, 1}, {4, 1, 1}, {4, 0, 0}, {6, 1, 1}, {6, 3, 0}, {1, 6, 0}, {15, 15, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.from) << " -> " << int(c.to));
        EXPECT_EQ(Vcomm_OpenAllowed(c.from, c.to), c.allowed);
    }
    // Through Open: a refused change leaves the record as it was.
    ASSERT_EQ(Open(1, {5, 0, 3, 0, 0, 0x01}), 1);
    EXPECT_EQ(Open(1, {7, 0, 3, 0, 0, 0x00}), 0);
    EXPECT_EQ(Vcomm_Drv[1].mode[kSomBaud], 5);
    EXPECT_EQ(Vcomm_Drv[1].mode[kSomProto], 0x01);
}

TEST_F(Sci, ModeRecordBecomesTerminalSettings) {
    struct Case {
        const char* what;
        std::vector<u8> mode;
        int result;
        speed_t speed;
        tcflag_t cflagSet, iflagSet;
    } cases[] = {
        {"19200 7E2", {6, 2, 2, 1, 0, 0x01}, 1, B19200, CS7 | PARENB | CSTOPB | CLOCAL | CREAD, 0},
        {"115200 8O1 xon/xoff", {9, 1, 3, 0, 1, 0x01}, 1, B115200, CS8 | PARENB | PARODD, IXON | IXOFF},
        {"300 8N1", {0, 0, 3, 0, 0, 0x01}, 1, B300, CS8, IGNPAR},
        {"baud code 10: refused, rest applied", {10, 0, 3, 1, 0, 0x01}, 0, B0, CS8 | CSTOPB, IGNPAR},
        {"parity 3 is invalid", {5, 3, 3, 0, 0, 0x01}, 0, B9600, CS8, 0},
        {"line mode 6 is invalid", {5, 0, 3, 0, 6, 0x01}, 0, B9600, CS8, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Open(0, c.mode), c.result);
        const termios& t = Sci_View(kSciPort0).newTio;
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ(t.c_cflag & c.cflagSet, c.cflagSet);
        EXPECT_EQ(t.c_iflag & c.iflagSet, c.iflagSet);
        EXPECT_EQ(t.c_lflag, static_cast<tcflag_t>(NOFLSH));
        EXPECT_EQ(0, std::memcmp(Vcomm_Drv[0].mode, c.mode.data(), 6));  // stored even when refused
        EXPECT_EQ(SR_Get(34), 1);
    }
    // Port 1: line mode 3 drops RTS and selects the interface; line mode 1 clears it.
    ASSERT_EQ(Open(1, {5, 0, 3, 0, 3, 0x01}), 1);
    EXPECT_TRUE(HasRequest(kSciPort1, TIOCMBIC, TIOCM_RTS));
    EXPECT_EQ(Sci_View(kSciPort1).interfaceBit, 1);
    ASSERT_EQ(Open(1, {5, 0, 3, 0, 1, 0x01}), 1);
    EXPECT_EQ(Sci_View(kSciPort1).interfaceBit, 0);
}

TEST_F(Sci, KernelGapValues) {
    EXPECT_EQ(Sci_KernelGap(std::vector<u8>{5, 0, 3, 0, 0, 0x33}.data()), 3645u);
    EXPECT_EQ(Sci_KernelGap(std::vector<u8>{5, 0, 3, 0, 0, 0x03}.data()), 9360u);
    EXPECT_EQ(Sci_KernelGap(std::vector<u8>{5, 0, 3, 0, 3, 0x33}.data()), 9360u);
    EXPECT_EQ(Sci_KernelGap(std::vector<u8>{9, 0, 3, 0, 0, 0x13}.data()), 303u);
}

TEST_F(Sci, RtuFrameEndByTimerAndByTheSerialDriver) {
    // A kernel without gap detection: the one-shot timer ends the frame.
    ASSERT_EQ(Open(1, {5, 0, 3, 0, 0, 0x03}), 1);
    EXPECT_EQ(Sci_View(kSciPort1).rtuCheckKernel, 0);
    EXPECT_TRUE(HasRequest(kSciPort1, kSciReqGapSet, 0));
    WriteHost(p1, {1, 3, 0});
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(Vcomm_Drv[1].CheckRx(1), 1);
        Vcomm_Drv[1].GetRx(1);
    }
    EXPECT_EQ(Vcomm_Drv[1].CheckRx(1), 0);
    clock.AdvanceUs(RCT_BaudTimeoutUs(5) + 100);
    EXPECT_EQ(Vcomm_Drv[1].CheckRx(1), 255);
    EXPECT_EQ(Vcomm_Drv[1].CheckRx(1), 0);  // reported once

    // Kernel build 3545: the serial driver reports the gap.
    const char release[] = "2.6.35.45";  // build digits at 4, 5, 7, 8
    for (int i = 0; i < 5; ++i) ESR_Put(9 + i, static_cast<u16>(u8(release[2 * i]) | (u8(release[2 * i + 1]) << 8)));
    ASSERT_EQ(Open(1, {5, 0, 3, 0, 0, 0x33}), 1);
    EXPECT_EQ(Sci_View(kSciPort1).rtuCheckKernel, 1);
    EXPECT_TRUE(HasRequest(kSciPort1, kSciReqGapSet, 3645));
    EXPECT_EQ(Vcomm_Drv[1].CheckRx(1), 0);
    Sci_SetGapAnswer(kSciPort1, 1);
    EXPECT_EQ(Vcomm_Drv[1].CheckRx(1), 255);
}

TEST_F(Sci, RtuFrameLeavesInOneWriteAndAnOversizedFrameIsDropped) {
    ASSERT_EQ(Open(0, {5, 0, 3, 0, 0, 0x03}), 1);
    for (u8 b : {1, 3, 0, 0, 0, 2}) Vcomm_Drv[0].PutTx(0, b);
    u8 buf[4096];
    EXPECT_EQ(read(p0.Master(), buf, sizeof buf), -1);  // nothing before RtuTx
    Vcomm_Drv[0].RtuTx(0);
    ASSERT_TRUE(FarReadable(p0.Master()));
    EXPECT_EQ(read(p0.Master(), buf, sizeof buf), 6);
    // 2049 bytes do not fit the frame buffer: the frame is not sent at all
    // (the buffer no longer wraps onto the frame's own start).
    for (int i = 0; i < 2049; ++i) Vcomm_Drv[0].PutTx(0, static_cast<u8>(i));
    Vcomm_Drv[0].RtuTx(0);
    EXPECT_EQ(Sci_View(kSciPort0).rtuOverflows, 1u);
    // The next frame is whole again, and it is the first thing on the line:
    // the dropped one never went out before it.
    std::string next;
    for (int i = 0; i < 2048; ++i) next.push_back(static_cast<char>(i * 3 + 1));
    for (char c : next) Vcomm_Drv[0].PutTx(0, static_cast<u8>(c));
    Vcomm_Drv[0].RtuTx(0);
    EXPECT_EQ(ReadFar(p0.Master(), next.size()), next);
    EXPECT_EQ(read(p0.Master(), buf, sizeof buf), -1);  // nor after it
}

TEST_F(Sci, InterceptModeRings) {
    VcommDriver& d = Vcomm_Drv[0];
    d.SetIntrcpt(1);
    int taken = 0;
    for (int i = 0; i < 2048; ++i) taken += d.StuffRx(static_cast<u8>(i));
    EXPECT_EQ(taken, 2047);
    EXPECT_EQ(d.CountRx(0), 2047);
    EXPECT_EQ(d.CheckRx(0), 1);
    EXPECT_EQ(d.GetRx(0), 0);
    EXPECT_EQ(d.GetRx(0), 1);
    d.FlushRx(0);
    EXPECT_EQ(d.CheckRx(0), 0);
    // A block of 300 bytes is moved whole (the count is not cut to 8 bits).
    std::vector<u8> block(300);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<u8>(i);
    EXPECT_EQ(d.PutnTx(0, block.data(), 300), 300);
    EXPECT_EQ(d.CountTx(0), 300);
    std::vector<u8> out;
    u8 b;
    while (d.DrainTx(&b)) out.push_back(b);
    EXPECT_EQ(out, block);
    EXPECT_EQ(d.EmptyTx(0), 1);
    d.SetIntrcpt(0);
}

TEST_F(Sci, WaitRxReturnsAtOnceOutsideRunOrWhenAsked) {
    ASSERT_EQ(Open(1, {5, 0, 3, 0, 0, 0x03}), 1);
    u8 b = 0;
    SR_Put(5, 0);
    EXPECT_EQ(Vcomm_Drv[1].WaitRx(1, &b), 0);
    SR_Put(5, 2);
    b = 0xAA;
    EXPECT_EQ(Vcomm_Drv[1].WaitRx(1, &b), 2);
    // Nothing there yet: the caller is told to ask again, not held.
    b = 0;
    EXPECT_EQ(Vcomm_Drv[1].WaitRx(1, &b), 2);
    WriteHost(p1, {0x42});
    EXPECT_EQ(Vcomm_Drv[1].WaitRx(1, &b), 1);
    EXPECT_EQ(b, 0x42);
}

TEST_F(Sci, DescriptorZeroIsAValidDevice) {
    // With standard input closed the device may get descriptor 0.
    int saved = dup(0);
    close(0);
    Vcomm_Reset();
    ASSERT_EQ(SCI0_Init(0), 1);
    EXPECT_EQ(Sci_View(kSciPort0).fd, 0);
    Vcomm_Drv[0].PutTx(0, 0x5A);
    EXPECT_EQ(ReadFar(p0.Master(), 1), "\x5A");
    Vcomm_Reset();
    dup2(saved, 0);
    close(saved);
}

TEST_F(Sci, UsbMonitorClosesOnSuspendAndReopensOnResume) {
    LinkPty usb;
    ASSERT_TRUE(usb.Open(root.Path("/dev/ttyGS0")));
    ASSERT_EQ(SCI4_Init(2), 1);
    std::string state = root.Path("/sys/devices/platform/fsl-usb2-udc/gadget/suspended");
    std::filesystem::create_directories(std::filesystem::path(state).parent_path());
    auto set = [&](const char* v) { std::ofstream(state) << v; };
    set("0");
    USBPortMon();
    EXPECT_GE(Sci_View(kSciUsb).fd, 0);
    set("1");
    USBPortMon();
    EXPECT_EQ(Sci_View(kSciUsb).fd, -1);
    USBPortMon();
    EXPECT_EQ(Sci_View(kSciUsb).fd, -1);
    EXPECT_EQ(SCI4_PutTx(1), 1);  // dropped, no failure
    set("0");
    USBPortMon();
    EXPECT_GE(Sci_View(kSciUsb).fd, 0);
    EXPECT_EQ(SCI4_ModeRecord()[kSomProto], tovra_mode[kSomProto]);
}

// A device that stops taking bytes never holds the caller: what it does not
// take is kept, counted as still to send, and goes out in order once the
// peer reads again.
TEST_F(Sci, AFullDeviceKeepsTheRestWithoutWaiting) {
    ASSERT_EQ(Open(1, {9, 0, 3, 0, 0, 0x01}), 1);
    std::vector<u8> block(256 * 1024);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<u8>(i * 7);
    // More than a pty buffers, with nobody reading: accepted up to the kept
    // limit, at once.
    int accepted = Vcomm_Drv[1].PutnTx(1, block.data(), static_cast<u32>(block.size()));
    ASSERT_GT(accepted, 64 * 1024);
    ASSERT_LT(accepted, static_cast<int>(block.size()));
    EXPECT_GT(Vcomm_Drv[1].CountTx(1), 0);
    EXPECT_EQ(Vcomm_Drv[1].EmptyTx(1), 0);
    // The peer reads; the later calls hand the device the rest.
    const std::string got = ReadFar(p1.Master(), static_cast<size_t>(accepted), [] { Vcomm_Drv[1].CheckRx(1); });
    ASSERT_EQ(got.size(), static_cast<size_t>(accepted));
    EXPECT_EQ(0, std::memcmp(got.data(), block.data(), got.size()));
    EXPECT_EQ(Vcomm_Drv[1].EmptyTx(1), 1);
}

}  // namespace
