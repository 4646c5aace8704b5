// System tests of the programming link: the real executable with ptys as its
// programming serial port and its USB port, and scripted hosts on the other
// ends.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <vector>

#include "core/plc_regs.h"
#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "platform/fileio.h"
#include "platform/reset.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/link_host.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;
constexpr u32 kSr5 = 0x400 + 16u * (127 + 5);

std::vector<u8> ReadFile(const std::string& path) {
    std::vector<u8> data;
    if (!File_ReadAll(path, data, 64u << 20)) data.clear();
    return data;
}

class LinkSystem : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(serial.Open(root.Path("/dev/ttySP3")));
        ASSERT_TRUE(usb.Open(root.Path("/dev/ttyGS0")));
        hostPtr = std::make_unique<LinkHost>(serial.Master());
        usbPtr = std::make_unique<LinkHost>(usb.Master());
        ASSERT_TRUE(fw.Start());
        if (clock)
            ASSERT_TRUE(clock->AdvanceToOutput(fw, "main loop running")) << fw.Output();
        else
            ASSERT_TRUE(fw.WaitForOutput("main loop running", kStartMs)) << fw.Output();
        ASSERT_TRUE(host().NodeId(&node));
    }
    void TearDown() override {
        fw.Signal(SIGTERM);
        if (clock) EXPECT_TRUE(clock->AdvanceToExit(fw)) << fw.Output();
        EXPECT_TRUE(fw.WaitExit(30000));
    }
    std::string Cfg(const char* name) { return root.Path(std::string("/mnt/cfg/") + name); }

    TempRoot root;
    // Made by the tests that measure the controller's time; the rest run on
    // the host's clock.
    std::unique_ptr<BoardClock> clock;
    LinkPty serial, usb;
    FirmwareProcess fw;
    std::unique_ptr<LinkHost> hostPtr, usbPtr;
    LinkHost& host() { return *hostPtr; }
    LinkHost& usbHost() { return *usbPtr; }
    u8 node = 0;
};

std::vector<u8> Program() {
    LadderBuilder b;
    for (int i = 1; i <= 40; ++i) b.Contact(lreg::I(i)).Out(lreg::Q(i));
    b.End();
    return b.BlockData();
}

TEST_F(LinkSystem, DownloadIsStoredRunsAndUploadsByteForByte) {
    std::vector<u8> program = Program();
    ASSERT_EQ(host().Download(node, 0, program, 64), 0xA0);
    std::vector<u8> file = ReadFile(Cfg("ladder.pgm"));
    ASSERT_EQ(file.size(), 8 + program.size());
    EXPECT_EQ(GetLe16(file.data()), crc16(program.data(), static_cast<u32>(program.size())));
    EXPECT_EQ(std::vector<u8>(file.begin() + 8, file.end()), program);

    ASSERT_EQ(host().SetMode(node, 2), 0xA0);
    LinkHost::Reply r = host().ReadRegs(node, kSr5, 16);
    ASSERT_TRUE(r.frame);
    EXPECT_EQ(r.data, (std::vector<u8>{2, 0}));

    std::vector<u8> up;
    ASSERT_TRUE(host().Upload(node, 0, &up));
    EXPECT_EQ(up, program);
    EXPECT_EQ(host().Verify(node, 0, program, 100), 0xA0);
    std::vector<u8> changed = program;
    changed[program.size() / 2] ^= 0x40;
    EXPECT_EQ(host().Verify(node, 0, changed, 100), 0x09);

    // Larger frames after negotiation.
    ASSERT_EQ(host().SetMode(node, 0), 0xA0);
    ASSERT_EQ(host().Negotiate(node, 1024), 0xA0);
    ASSERT_TRUE(host().Upload(node, 0, &up));
    EXPECT_EQ(up, program);
}

TEST_F(LinkSystem, FaultyFramesGetTheirAnswersAndChangeNothing) {
    std::vector<u8> program = Program();
    ASSERT_EQ(host().Download(node, 0, program, 128), 0xA0);
    std::vector<u8> stored = ReadFile(Cfg("ladder.pgm"));
    ASSERT_FALSE(stored.empty());

    // Bad checksum.
    std::vector<u8> bad = LinkHost::Frame(2, {node, 2}, 0);
    bad.back() ^= 1;
    host().SendRaw(bad);
    EXPECT_EQ(host().ReadByte(), 0x0F);
    // Truncated frame: no answer; the link is free again after the reply time.
    host().SendRaw({2, 2, node});
    EXPECT_EQ(host().ReadByte(1500), -1);
    // Oversized download frame.
    ASSERT_EQ(host().Ask(4, {node, 0}), 0xA0);
    host().Send(0xFF, std::vector<u8>(3000, 0xEE));
    EXPECT_EQ(host().ReadByte(), 0x09);

    LinkHost::Reply r = host().ReadRegs(node, kSr5, 16);
    ASSERT_TRUE(r.frame);
    EXPECT_EQ(r.data, (std::vector<u8>{0, 0}));
    EXPECT_EQ(ReadFile(Cfg("ladder.pgm")), stored);
    std::vector<u8> up;
    ASSERT_TRUE(host().Upload(node, 0, &up));
    EXPECT_EQ(up, program);
}

// The same controller on a clock the test drives.
class LinkSystemTimed : public LinkSystem {
protected:
    void SetUp() override {
        clock = std::make_unique<BoardClock>();
        LinkSystem::SetUp();
    }
};

TEST_F(LinkSystemTimed, SecondHostIsBusyAndTheLinkIsReleasedAfterTheIdleTime) {
    // The serial host starts a download: the USB host is answered busy.
    ASSERT_EQ(host().Ask(4, {node, 22}), 0xA0);
    EXPECT_EQ(usbHost().Ask(1, {node}), 0x60);
    host().Send(0xFF, {1, 2, 3, 4});
    EXPECT_EQ(host().ReadByte(), 0xA0);
    host().Send(0xFF, {});
    EXPECT_EQ(host().ReadByte(), 0xA0);
    // Between commands the USB host takes the link and locks it.
    LinkHost::Reply r = usbHost().Request(1, {node});
    ASSERT_TRUE(r.frame);
    ASSERT_EQ(usbHost().Ask(25, {node, 1}), 0xA0);
    EXPECT_EQ(host().Ask(1, {node}), 0x60);
    // Held while the USB host is silent for less than the idle time (5 s)...
    ASSERT_TRUE(clock->Advance(4900, 100));
    EXPECT_EQ(host().Ask(1, {node}), 0x60);
    // ...and released once 5 s passed without a command from it.
    ASSERT_TRUE(clock->Advance(5100, 100));
    EXPECT_TRUE(host().Request(1, {node}).frame);
}

TEST_F(LinkSystem, BaudChangeIsAnsweredAtTheOldRate) {
    EXPECT_EQ(host().Ask(27, {node, 9}), 0xA0);
    // The port is reopened at the new rate after the answer has left; a host
    // asks again until it is back.
    LinkHost::Reply r;
    ASSERT_TRUE(WaitUntil([&] { return (r = host().Request(26, {node}, 300)).frame; }, 10000));
    EXPECT_EQ(r.data, std::vector<u8>{9});
}

}  // namespace
