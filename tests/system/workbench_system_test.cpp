// System test of the IEC workbench link on the real executable: discovery
// with socat, command 38 over the TCP programming link, a scripted workbench
// that downloads, stops and starts applications and moves files, and the
// 65-s hand-back on the controller's clock driven by the test.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/fileio.h"
#include "platform/reset.h"
#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/link_host.h"
#include "testsupport/loopback.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"
#include "testsupport/tovra_host.h"
#include "testsupport/workbench_client.h"

namespace {

constexpr int kStartMs = 30000;
constexpr u16 kLinkPort = 18501;

std::vector<u8> App(int increment) {
    IecImageBuilder b;
    u16 cnt = b.Var(kQ4TypeDint, 0, "cnt"), inc = b.Var(kQ4TypeDint, increment);
    TicAssembler t;
    t.Op("ADD_DINT", {cnt, cnt, inc}).Op("END");
    b.Program(t.Finish());
    return b.Build();
}

class WorkbenchSystem : public ::testing::Test {
protected:
    void SetUp() override {
        offset = NetFreePortOffset(kLinkPort);
        setenv("PLC_PORT_OFFSET", std::to_string(offset).c_str(), 1);
        {
            // A first start writes the default blocks.
            FirmwareProcess first;
            ASSERT_TRUE(first.Start());
            ASSERT_TRUE(first.WaitForOutput("main loop running", kStartMs)) << first.Output();
            first.Signal(SIGTERM);
            ASSERT_TRUE(first.WaitExit(kStartMs));
        }
        ASSERT_TRUE(IecStoreApp(root.Path("/mnt/cfg/ladder.pgm"), App(1), RegLocTable()));
        ASSERT_TRUE(usb.Open(root.Path("/dev/ttyGS0")));
        clock = std::make_unique<BoardClock>();
        ASSERT_TRUE(fw.Start());
        ASSERT_TRUE(clock->AdvanceToOutput(fw, "main loop running")) << fw.Output();
    }
    void TearDown() override {
        if (fw.Running()) {
            fw.Signal(SIGTERM);
            clock->AdvanceToExit(fw);
            fw.WaitExit(kStartMs);
        }
        unsetenv("PLC_PORT_OFFSET");
    }
    // The discovery answer to "disc" sent with socat (empty: none).
    std::string Discover() {
        return Shell("printf disc | timeout 10 socat -t 2 - UDP:127.0.0.1:" + std::to_string(11173 + offset));
    }
    std::string Announced(int tcp) const {
        return "disc:" + std::to_string(tcp) + "," + std::to_string(9000 + offset) + ",Q4";
    }
    // Command 38 over the TCP programming link.
    void HandOver(TovraHost& host) {
        ASSERT_TRUE(WaitUntil([&] { return host.Connect(kLinkPort + offset); }, kStartMs));
        ASSERT_EQ(host.Handshake(), 0);
        std::vector<u8> id;
        ASSERT_TRUE(host.FrameData(host.Request(9, {0xFF}), &id));
        ASSERT_EQ(id.size(), 1u);
        ASSERT_EQ(host.Ask(38, {id[0]}), 0xA0);
    }

    TempRoot root;
    LinkPty usb;
    int offset = 0;
    std::unique_ptr<BoardClock> clock;
    FirmwareProcess fw;
};

TEST_F(WorkbenchSystem, TcpHandOverApplicationsFilesClientsAndFallBack) {
    EXPECT_EQ(Discover(), "") << "the workbench service answered before the hand-over";
    // The programming link's host lets the controller's time run while it
    // waits for an answer; the workbench needs no time to pass.
    TovraHost host(0, [&] { clock->Advance(1, 1); });
    HandOver(host);
    EXPECT_EQ(Discover(), Announced(1100 + offset));

    WorkbenchClient wb;
    ASSERT_TRUE(wb.Connect(1100 + offset));
    // The stored application runs; a new one replaces it and starts.
    ASSERT_EQ(wb.Stop(), 0) << fw.Output();
    EXPECT_EQ(wb.Stop(), 1);  // nothing left to stop
    const std::vector<u8> code = App(5);
    ASSERT_EQ(wb.LoadApp(code, 300), 0);
    std::vector<u8> stored;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/q4.cod"), stored, 1u << 20));
    EXPECT_EQ(stored, code);
    EXPECT_EQ(wb.Start(), 1);  // already running
    EXPECT_EQ(wb.Stop(), 0);
    EXPECT_EQ(wb.Start(true, false, "again"), 0);

    // A file of 2,000 bytes both ways, with matching CRCs.
    std::vector<u8> data(2000);
    for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<u8>(k ^ (k >> 3));
    u32 crc = 0;
    ASSERT_EQ(wb.PutFile("wb/../data.bin", data, &crc), 0);
    EXPECT_EQ(crc, WorkbenchClient::FileCrc(data));
    std::vector<u8> back;
    ASSERT_EQ(wb.GetFile("data.bin", &back, &crc), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(crc, WorkbenchClient::FileCrc(data));
    EXPECT_TRUE(File_ReadAll(root.Path("/run/data.bin"), back, 4096));
    // Escapes stay in the runtime's folder.
    ASSERT_EQ(wb.PutFile("../../mnt/cfg/ladder.pgm", {1, 2, 3}, &crc), 0);
    EXPECT_EQ(wb.PutFile("/mnt/cfg/evil", {1}, &crc), 2);  // run/mnt/cfg does not exist
    std::vector<u8> pgm;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/ladder.pgm"), pgm, 1u << 20));
    EXPECT_GT(pgm.size(), 3u);
    EXPECT_FALSE(File_ReadAll(root.Path("/mnt/cfg/evil"), pgm, 16));
    EXPECT_TRUE(File_ReadAll(root.Path("/run/ladder.pgm"), pgm, 16));
    EXPECT_EQ(wb.GetFile("../q4.cod", &back, &crc), 5);  // not in the runtime's folder

    // Requests pipelined in one segment are all answered, in order.
    std::vector<u8> burst;
    for (u8 sub : {1, 2, 1}) {
        std::vector<u8> f = WorkbenchClient::Frame(21, {0, sub});
        burst.insert(burst.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(wb.SendRaw(burst));
    for (int status : {0, 1, 0}) EXPECT_EQ(wb.Read().Status(), status);

    // Eight clients at most: the ninth is closed at once.
    std::vector<std::unique_ptr<WorkbenchClient>> more;
    for (int k = 0; k < 7; ++k) {
        more.push_back(std::make_unique<WorkbenchClient>());
        ASSERT_TRUE(more.back()->Connect(1100 + offset));
        EXPECT_EQ(more.back()->Status(21, {0, 1}), 0) << k;
    }
    const int ninth = ConnectLoopback(1100 + offset);
    ASSERT_GE(ninth, 0);
    bool closed = false;
    for (int k = 0; k < 3000 && !closed; ++k) {
        pollfd p{ninth, POLLIN, 0};
        u8 b;
        closed = poll(&p, 1, 10) == 1 && recv(ninth, &b, 1, 0) <= 0;
    }
    close(ninth);
    EXPECT_TRUE(closed);
    more.clear();

    // 65 s without a workbench frame give the link back: the clients are
    // closed, discovery is silent, the programming link answers.
    ASSERT_TRUE(clock->Advance(64000, 1000));
    EXPECT_EQ(wb.Status(21, {0, 1}), 0);
    ASSERT_TRUE(clock->Advance(64000, 1000));
    EXPECT_FALSE(wb.PeerClosed(0));
    ASSERT_TRUE(clock->Advance(2000, 500));
    EXPECT_TRUE(wb.PeerClosed(kStartMs));
    EXPECT_EQ(Discover(), "");
    host.Close();
    TovraHost again(0, [&] { clock->Advance(1, 1); });
    ASSERT_TRUE(again.Connect(kLinkPort + offset));
    ASSERT_EQ(again.Handshake(), 0);
    std::vector<u8> id;
    EXPECT_TRUE(again.FrameData(again.Request(9, {0xFF}), &id));
}

// The programming host on the USB port hands the link over: the workbench
// speaks on the same port, its frames carrying their CRC, until 65 s
// without a frame give the port back to the programming protocol.
TEST_F(WorkbenchSystem, SerialHandOverOnTheUsbPort) {
    LinkHost host(usb.Master(), 0, [&] { clock->Advance(1, 1); });
    u8 node = 0;
    ASSERT_TRUE(host.NodeId(&node));
    ASSERT_EQ(host.Ask(38, {node}), 0xA0);
    EXPECT_EQ(Discover(), Announced(0));

    WorkbenchClient wb;
    wb.AttachSerial(usb.Master());
    EXPECT_EQ(wb.Status(21, {0, 1}), 0);
    EXPECT_EQ(wb.Stop(), 0) << fw.Output();
    EXPECT_EQ(wb.Start(), 0);
    std::vector<u8> data(1500);
    for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<u8>(k * 13);
    u32 crc = 0;
    ASSERT_EQ(wb.PutFile("serial.bin", data, &crc), 0);
    EXPECT_EQ(crc, WorkbenchClient::FileCrc(data));
    // A frame with a bad CRC is dropped without an answer; the next is served.
    std::vector<u8> bad = WorkbenchClient::WithCrc(WorkbenchClient::Frame(21, {0, 1}));
    bad.back() ^= 1;
    ASSERT_TRUE(wb.SendRaw(bad));
    EXPECT_FALSE(wb.Read(300).received);
    EXPECT_EQ(wb.Status(21, {0, 2}), 1);

    ASSERT_TRUE(clock->Advance(66000, 1000));
    EXPECT_EQ(Discover(), "");
    ASSERT_TRUE(host.NodeId(&node));  // the programming protocol answers again
}

}  // namespace
