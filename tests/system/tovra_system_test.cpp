// System test of the programming link over TCP: the real executable, a
// scripted TCP host on loopback, and tshark dissecting the exchange.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "platform/fileio.h"
#include "platform/reset.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/link_host.h"
#include "testsupport/loopback.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"
#include "testsupport/tovra_host.h"
#include "testsupport/tshark_capture.h"

namespace {

constexpr int kStartMs = 30000;
constexpr u16 kLinkPort = 18501;
constexpr u32 kSr5 = 0x400 + 16u * (127 + 5);
constexpr u32 kSr155 = 0x400 + 16u * (127 + 155);

class TovraSystem : public ::testing::Test {
protected:
    void SetUp() override {
        offset_ = NetFreePortOffset(kLinkPort);
        setenv("PLC_PORT_OFFSET", std::to_string(offset_).c_str(), 1);
        port_ = kLinkPort + offset_;
        ASSERT_TRUE(fw.Start());
        if (clock)
            ASSERT_TRUE(clock->AdvanceToOutput(fw, "main loop running")) << fw.Output();
        else
            ASSERT_TRUE(fw.WaitForOutput("main loop running", kStartMs)) << fw.Output();
    }
    void TearDown() override {
        if (fw.Running()) {
            fw.Signal(SIGTERM);
            if (clock) EXPECT_TRUE(clock->AdvanceToExit(fw));
            EXPECT_TRUE(fw.WaitExit(kStartMs));
            EXPECT_EQ(fw.ExitCode(), kExitNormal) << fw.Output();
        }
        unsetenv("PLC_PORT_OFFSET");
    }
    bool Connect(TovraHost& h) {
        return WaitUntil([&] { return h.Connect(port_); }, kStartMs);
    }

    TempRoot root;
    // Made by the tests that measure the controller's time; the rest run on
    // the host's clock.
    std::unique_ptr<BoardClock> clock;
    FirmwareProcess fw;
    int offset_ = 0;
    int port_ = 0;
};

class TovraSystemTimed : public TovraSystem {
protected:
    void SetUp() override {
        clock = std::make_unique<BoardClock>();
        TovraSystem::SetUp();
    }
    u8 node_ = 0;
};

std::vector<u8> Program() {
    LadderBuilder b;
    for (int i = 1; i <= 300; ++i) b.Contact(lreg::I(i)).Out(lreg::Q(i % 60 + 1));
    b.End();
    return b.BlockData();
}

std::vector<u8> RegRequest(u8 node, u32 address, u8 bits, const std::vector<u8>& values = {}) {
    std::vector<u8> r{node, bits, 0, 0, static_cast<u8>(address), static_cast<u8>(address >> 8),
                      static_cast<u8>(address >> 16), static_cast<u8>(address >> 24)};
    r.insert(r.end(), values.begin(), values.end());
    return r;
}

TEST_F(TovraSystem, DownloadRunUploadBusyAndHostileFramesOverTcp) {
    TsharkCapture cap;
    const std::string pcap = root.Path("/link.pcapng");
    const bool capturing = cap.Start("", "lo", "tcp port " + std::to_string(port_), pcap, [&] {
        TovraHost probe;
        probe.Connect(port_);
    });

    TovraHost host;
    ASSERT_TRUE(Connect(host));
    ASSERT_EQ(host.Handshake(), 0);
    std::vector<u8> id;
    ASSERT_TRUE(host.FrameData(host.Request(9, {0xFF}), &id));
    ASSERT_EQ(id.size(), 1u);
    const u8 node = id[0];

    // Gathered uploads of 1024 data bytes per packet.
    ASSERT_EQ(host.Ask(24, RegRequest(node, kSr155, 16, {0x47, 0x04})), 0xA0);  // 1095

    const std::vector<u8> program = Program();
    ASSERT_GT(program.size(), 2048u);
    ASSERT_EQ(host.Download(node, 0, program, 1024), 0xA0);
    std::vector<u8> file;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/ladder.pgm"), file, 1u << 20));
    ASSERT_EQ(file.size(), 8 + program.size());
    EXPECT_EQ(std::vector<u8>(file.begin() + 8, file.end()), program);

    ASSERT_EQ(host.Ask(2, {node, 2}), 0xA0);
    std::vector<u8> mode;
    ASSERT_TRUE(host.FrameData(host.Request(22, RegRequest(node, kSr5, 16)), &mode));
    EXPECT_EQ(mode, (std::vector<u8>{2, 0}));
    std::vector<u8> up;
    std::vector<u32> sizes;
    ASSERT_TRUE(host.Upload(node, 0, &up, &sizes));
    EXPECT_EQ(up, program);
    ASSERT_GE(sizes.size(), 3u);
    EXPECT_EQ(sizes[0], 1024u + 3);  // gathered: 0xFF, 0, 1024 bytes, checksum
    EXPECT_EQ(sizes[1], 1024u + 3);
    EXPECT_EQ(sizes.back(), 3u);  // the closing empty frame

    // A second host is told the link is busy; the first keeps it.
    TovraHost second;
    ASSERT_TRUE(Connect(second));
    TovraPacket busy = second.Request(1, {node});
    EXPECT_EQ(busy.Status(), 8);
    EXPECT_EQ(busy.Single(), 0x60);

    // Lying lengths: a header announcing more than any packet holds ends
    // that connection, and only that one.
    TovraHost liar;
    ASSERT_TRUE(Connect(liar));
    ASSERT_TRUE(liar.Send(0, {1, 2, 3}, 0, 0xFFFF));
    EXPECT_TRUE(liar.PeerClosed(5000));
    // A long frame too short for its own framing is refused; the transfer
    // (here a verify) can still be ended properly.
    ASSERT_EQ(host.Ask(3, {node, 0}), 0xA0);
    ASSERT_TRUE(host.Send(0, {0xFF, 0x10}));
    EXPECT_EQ(host.Read().Status(), 1);
    ASSERT_TRUE(host.Send(0, LinkHost::Frame(0xFF, {}, 0)));
    EXPECT_EQ(host.Read().Single(), 0xA0);

    // The link is free for another host once the first leaves.
    host.Close();
    TovraHost last;
    ASSERT_TRUE(Connect(last));
    std::vector<u8> m;
    // Busy until the controller has seen the first one go.
    EXPECT_TRUE(WaitUntil([&] { return last.FrameData(last.Request(1, {node}), &m); }, kStartMs));
    EXPECT_EQ(m, std::vector<u8>{2});
    EXPECT_TRUE(fw.Running());
    EXPECT_FALSE(fw.Exited());

    // A last connection marks the end of the exchange in the capture.
    int marker = -1;
    cap.StopAfterMarker([&] {
        marker = ConnectLoopback(port_);
        if (marker < 0) return std::string();
        sockaddr_in self{};
        socklen_t len = sizeof(self);
        getsockname(marker, reinterpret_cast<sockaddr*>(&self), &len);
        return " " + std::to_string(ntohs(self.sin_port)) + " ";
    });
    if (marker >= 0) close(marker);
    ASSERT_TRUE(capturing) << cap.Log();
    std::string frames =
        Shell("(tshark -r " + pcap + " -Y 'tcp.len > 0' -T fields -e frame.number 2>/dev/null) | wc -l");
    EXPECT_GT(std::atoi(frames.c_str()), 20) << frames;
    // Nothing malformed and no error-level finding; the status line shows
    // that the filter itself was taken.
    std::string bad = Shell("(tshark -r " + pcap +
                            " -Y '_ws.malformed || _ws.expert.severity >= \"error\"' 2>/dev/null; echo status=$?)");
    EXPECT_EQ(bad, "status=0\n");
}

// Sixteen hosts that send a byte a second hold every slot and the queue
// behind them; another host still gets its answer within 2 s of the
// controller's time.
TEST_F(TovraSystemTimed, SlowHostsHoldNoSlot) {
    TovraHost first(0, [&] { clock->Advance(1, 1); });
    ASSERT_TRUE(Connect(first));
    std::vector<u8> id;
    ASSERT_TRUE(first.FrameData(first.Request(9, {0xFF}), &id));
    ASSERT_EQ(id.size(), 1u);
    first.Close();
    std::vector<u8> packet(28, 0);
    PutLe16(packet.data() + 4, 2);
    std::vector<u8> frame = LinkHost::Frame(1, {id[0]}, 0);
    PutLe16(packet.data() + 26, static_cast<u16>(frame.size()));
    packet.insert(packet.end(), frame.begin(), frame.end());
    TovraHost host;
    std::vector<u8> m;
    int took = ServedBesideSlowClients(
        port_, 16, packet, 1000, 4000, [&](int ms) { return clock->Advance(ms, ms); },
        [&] { return host.Connect(port_) && host.Send(0, LinkHost::Frame(1, {id[0]}, 0)); },
        [&] { return Readable(host.Fd()) && host.FrameData(host.Read(2000), &m); });
    EXPECT_GE(took, 0);
    EXPECT_LE(took, 2000) << "answered after " << took << " ms";
    EXPECT_EQ(m.size(), 1u);
}

// A transfer the interpreter gives up (a verify for a node that is not
// this one) followed by a long frame must not leave the link deaf: the
// same host and the next one are still answered within 3 s.
TEST_F(TovraSystemTimed, AbandonedTransferThenLongFrameLeavesTheLinkServing) {
    // Asks for the mode every 500 ms of the controller's time until answered.
    auto modeWithin = [&](TovraHost& h, u64 ms, std::vector<u8>* m) {
        for (u64 t = 0; t < ms; t += 500) {
            if (!h.Send(0, LinkHost::Frame(1, {node_}, 0))) return false;
            if (clock->AdvanceUntil([&] { return Readable(h.Fd()) && h.FrameData(h.Read(2000), m); }, 500))
                return true;
        }
        return false;
    };
    TovraHost host(0, [&] { clock->Advance(1, 1); });
    ASSERT_TRUE(Connect(host));
    std::vector<u8> id;
    ASSERT_TRUE(host.FrameData(host.Request(9, {0xFF}), &id));
    ASSERT_EQ(id.size(), 1u);
    node_ = id[0];
    const u8 absent = static_cast<u8>(node_ == 200 ? 201 : 200);
    ASSERT_TRUE(host.Send(0, LinkHost::Frame(3, {absent, 0}, 0)));
    ASSERT_TRUE(clock->Advance(300));
    (void)host.Read(0);
    std::vector<u8> longFrame{0xFF, 100};
    longFrame.resize(2 + 100 + 1, 0x22);
    ASSERT_TRUE(host.Send(0, longFrame));
    ASSERT_TRUE(clock->Advance(300));
    (void)host.Read(0);

    std::vector<u8> m;
    EXPECT_TRUE(modeWithin(host, 3000, &m));
    EXPECT_EQ(m.size(), 1u);  // the mode
    host.Close();
    TovraHost next(0, [&] { clock->Advance(1, 1); });
    ASSERT_TRUE(Connect(next));
    m.clear();
    EXPECT_TRUE(modeWithin(next, 3000, &m));
    EXPECT_EQ(m.size(), 1u);  // the mode
}

}  // namespace
