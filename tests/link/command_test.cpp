// Framing, hosts, link lock and time-outs, spoken by scripted hosts over ptys.
#include <sys/ioctl.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "iec/kernel/q4host.h"
#include "io/ioapi.h"
#include "platform/iomodules.h"
#include "platform/reset.h"

#include "link_fixture.h"

namespace {

TEST(LinkFrame, ChecksumWithSeedZeroAndSeven) {
    EXPECT_EQ(LinkHost::Frame(1, {5}, 0), (std::vector<u8>{0x01, 0x01, 0x05, 0xF9}));
    // The seed counts in the sum: 1 + 1 + 5 + 7 + c = 0 mod 256.
    EXPECT_EQ(LinkHost::Frame(1, {5}, 7).back(), 0xF2);
    std::vector<u8> ext = LinkHost::Frame(0xFF, {1, 2}, 0, true);
    EXPECT_EQ(ext, (std::vector<u8>{0xFF, 0xFF, 0x02, 0x00, 0x01, 0x02, static_cast<u8>(-(0xFF + 0xFF + 2 + 1 + 2))}));
}

using LinkCommand = LinkTest;

TEST_F(LinkCommand, SimpleCommandsAnswer) {
    SR_Put(5, 1);
    SR_Put(37, 567);
    SR_Put(38, 412);
    struct Case {
        const char* what;
        u8 command;
        std::vector<u8> data;
        int single;              // expected single answer, or -1 for a frame
        std::vector<u8> frame;
    } cases[] = {
        {"get mode", 1, {kNode}, -1, {1}},
        {"get version, model above 254", 8, {kNode}, -1, {0xFF, 4, 12, 0x37, 0x02}},
        {"get local id by broadcast", 9, {0xFF}, -1, {kNode}},
        {"baud code of the port", 26, {kNode}, -1, {5}},
        {"unknown code 45 is command 0", 45, {kNode}, 0x09, {}},
        {"press key is refused", 21, {kNode}, 0x09, {}},
        {"protect nvram", 19, {kNode}, 0xA0, {}},
        {"set id 0 changes nothing", 10, {0}, 0xA0, {}},
        {"global data selector 1 refused", 11, {kNode, 1, 1, 2}, 0x09, {}},
        {"file data without a transfer", 30, {kNode}, 0x09, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LinkHost::Reply r = host->Request(c.command, c.data);
        if (c.single >= 0) {
            EXPECT_EQ(r.single, c.single);
        } else {
            ASSERT_TRUE(r.frame);
            EXPECT_EQ(r.data, c.frame);
        }
    }
    EXPECT_EQ(SR_Get(29), kNode);
}

TEST_F(LinkCommand, BadChecksumIsAnsweredAndChangesNothing) {
    std::vector<u8> f = LinkHost::Frame(2, {kNode, 2}, Cmd_Seed());
    f.back() ^= 0x55;
    host->SendRaw(f);
    EXPECT_EQ(host->ReadByte(), 0x0F);
    EXPECT_EQ(SR_Get(5), 0);
    // The link goes on with the next good frame.
    EXPECT_EQ(host->SetMode(kNode, 1), 0xA0);
    EXPECT_EQ(SR_Get(5), 1);
}

TEST_F(LinkCommand, SeedComesFromTheOemByte) {
    OemSelection = 0x85;
    ASSERT_EQ(Cmd_Seed(), 5);
    LinkHost seeded(serial.Master(), 5, [this] { Pump(); });
    EXPECT_EQ(seeded.SetMode(kNode, 1), 0xA0);
    // A host that does not know the seed is refused.
    EXPECT_EQ(host->SetMode(kNode, 0), 0x0F);
    EXPECT_EQ(SR_Get(5), 1);
}

TEST_F(LinkCommand, LongExtendedFrameStoresTheFirst1024BytesAndSumsAll) {
    std::vector<u8> data(2000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<u8>(i * 7);
    data[0] = kNode;
    host->SendRaw(LinkHost::Frame(45, data, Cmd_Seed()));
    EXPECT_EQ(host->ReadByte(), 0x09);  // accepted as a frame, answered by the default handler
    EXPECT_EQ(CmdBuf.len, 2000);
    EXPECT_EQ(0, std::memcmp(CmdBuf.data, data.data(), kCmdDataStore));
}

TEST_F(LinkCommand, StalledFrameIsDroppedAndTheLinkReleased) {
    host->SendRaw({1, 2, kNode});  // no checksum
    ASSERT_TRUE(RunLinkUntil([] { return CmdBuf.state == 2u && CmdBuf.count == 1u; }));  // all three taken
    EXPECT_EQ(Vcomm_Lock, 1u);
    AdvanceMs(Cmd_ReplyTimeout());
    EXPECT_EQ(Vcomm_Lock, 0u);
    EXPECT_EQ(CmdBuf.state, 0u);
    EXPECT_EQ(host->SetMode(kNode, 1), 0xA0);
}

TEST_F(LinkCommand, SecondHostIsBusyWhileTheFirstRunsOrLocks) {
    // The serial host starts a download: a USB byte gets 0x60.
    ASSERT_EQ(host->Ask(4, {kNode, 22}), 0xA0);
    usbHost->SendRaw(LinkHost::Frame(1, {kNode}, Cmd_Seed()));
    EXPECT_EQ(usbHost->ReadByte(), 0x60);
    host->Send(0xFF, {});
    EXPECT_EQ(host->ReadByte(), 0xA0);
    // Command done: the USB host takes the link with its next frame.
    LinkHost::Reply r = usbHost->Request(1, {kNode});
    ASSERT_TRUE(r.frame);
    EXPECT_EQ(Vcomm_Host, kHostUsb);
    // USB locks the link with command 25: the serial host is busy until the idle time ends.
    EXPECT_EQ(usbHost->Ask(25, {kNode, 1}), 0xA0);
    EXPECT_EQ(host->Ask(1, {kNode}), 0x60);
    AdvanceMs(Cmd_IdleTimeout() - 100);
    EXPECT_EQ(host->Ask(1, {kNode}), 0x60);
    u16 idle = Vcomm_Idle;
    AdvanceMs(200);
    EXPECT_EQ(Vcomm_Lock, 0u);
    EXPECT_EQ(Vcomm_Idle, idle + 1);
    r = host->Request(1, {kNode});
    EXPECT_TRUE(r.frame);
    EXPECT_EQ(Vcomm_Host, kHostSerial);
}

TEST_F(LinkCommand, CommLockSetsTimesAndReleasesOnOperationZero) {
    EXPECT_EQ(host->Ask(25, {kNode, 1, 0x70, 0x17}), 0xA0);  // 6000 ms, length 4: both times
    EXPECT_EQ(SR_Get(136), 6000);
    EXPECT_EQ(SR_Get(137), 6000);
    EXPECT_EQ(Vcomm_Lock, 2u);
    EXPECT_EQ(host->Ask(25, {kNode, 2, 0xE8, 0x03, 0x20, 0x03}), 0xA0);  // 1000 and 800
    EXPECT_EQ(SR_Get(136), 1000);
    EXPECT_EQ(SR_Get(137), 800);
    EXPECT_EQ(host->Ask(25, {kNode, 0, 0x10, 0x00}), 0xA0);  // below 500: kept
    EXPECT_EQ(SR_Get(136), 1000);
    EXPECT_EQ(Vcomm_Lock & 2u, 0u);
}

TEST_F(LinkCommand, NegotiationOnlyForTheSerialHostAndInRange) {
    EXPECT_EQ(host->Negotiate(kNode, 1025), 0x09);
    EXPECT_EQ(usbHost->Negotiate(kNode, 256), 0x09);
    EXPECT_EQ(CmdDataMax, 64);
    EXPECT_EQ(host->Negotiate(kNode, 64), 0xA0);
    EXPECT_EQ(NegotiationFlag, 0);
    EXPECT_EQ(host->Negotiate(kNode, 512), 0xA0);
    EXPECT_EQ(CmdDataMax, 512);
    EXPECT_EQ(NegotiationFlag, 1);
    // An empty frame resets the negotiation.
    EXPECT_TRUE(host->Request(9, {}).frame);
    EXPECT_EQ(CmdDataMax, 64);
    EXPECT_EQ(NegotiationFlag, 0);
}

TEST_F(LinkCommand, BroadcastsRunWithoutAnswerExceptRegisterWrites) {
    host->Send(2, {0xFF, 1});
    host->Send(19, {0xFF});
    ExpectNothingBeforeTheNextAnswer(*host);
    EXPECT_EQ(SR_Get(5), 1);
    EXPECT_EQ(host->WriteRegs(0xFF, kR1, 16, {0x34, 0x12}), 0xA0);
    EXPECT_EQ(GetLe16(&plc_reg[kRegR]), 0x1234);
}

TEST_F(LinkCommand, ForeignNodeIsRelayedOverCan) {
    static std::vector<u8> sent;
    sent.clear();
    linkPeers.CanPutBytes = [](const u8* d, u32 n, u32) { sent.insert(sent.end(), d, d + n); };
    // A mode change for node 7: forwarded, no local effect; no node answers,
    // so the link is released when the reply time runs out.
    host->Send(2, {7, 2});
    const std::vector<u8> relayed = LinkHost::Frame(2, {7, 2}, Cmd_Seed());
    ASSERT_TRUE(RunLinkUntil([&] { return sent.size() >= relayed.size(); }));
    EXPECT_EQ(Vcomm_Mode, kLinkRelay);
    EXPECT_EQ(sent, relayed);
    EXPECT_EQ(SR_Get(5), 0);
    AdvanceMs(Cmd_ReplyTimeout());
    EXPECT_EQ(Vcomm_Lock, 0u);
    // A broadcast runs here without an answer and is forwarded once. The
    // answer to a later request, the next thing the host reads, shows that
    // neither the relay's end nor the broadcast answered.
    sent.clear();
    host->Send(2, {0xFF, 1});
    const std::vector<u8> forwarded = LinkHost::Frame(2, {0xFF, 1}, Cmd_Seed());
    ASSERT_TRUE(RunLinkUntil([&] { return sent.size() >= forwarded.size(); }));
    EXPECT_EQ(SR_Get(5), 1);
    EXPECT_EQ(sent, forwarded);
    ExpectNothingBeforeTheNextAnswer(*host);
}

TEST_F(LinkCommand, RelayedAnswerFrameReachesTheHost) {
    static std::vector<u8> fromNode;
    fromNode = LinkHost::Frame(0xFF, std::vector<u8>(300, 0x5A), Cmd_Seed());
    linkPeers.CanPutBytes = [](const u8*, u32, u32) {};
    linkPeers.NetCheckRx = [] { return fromNode.empty() ? 0 : 1; };
    linkPeers.NetGetRx = [] {
        int b = fromNode.front();
        fromNode.erase(fromNode.begin());
        return b;
    };
    LinkHost::Reply r = host->Request(22, {7, 16, 0, 0, 0, 4, 0, 0});
    ASSERT_TRUE(r.frame);  // longer than a normal frame holds: sent extended, not cut
    EXPECT_EQ(r.data, std::vector<u8>(300, 0x5A));
}

TEST_F(LinkCommand, BaudChangeFallsBackWithoutFrames) {
    EXPECT_EQ(host->Ask(27, {kNode, 7}), 0xA0);  // sent at the old rate, not flushed by the reopening
    EXPECT_EQ(Vcomm_Drv[0].mode[kSomBaud], 7);
    EXPECT_EQ(cfgetospeed(&Sci_View(kSciPort0).newTio), B38400);
    AdvanceMs(Cmd_LongTimeout() + 1);
    EXPECT_EQ(Vcomm_Drv[0].mode[kSomBaud], 5);
}

TEST_F(LinkCommand, WorkbenchHandOverTakesTheSerialPort) {
    EXPECT_EQ(host->Ask(38, {kNode}), 0xA0);
    EXPECT_EQ(Vcomm_Drv[0].mode[kSomProto] & 0x0F, kProtoWorkbench);
    EXPECT_EQ(is_q4protocol, 1u);
    EXPECT_EQ(IsCommMode_Tovra, 0);  // the runtime's workbench server holds the link
    // The link no longer reads the port: a request waits in the device,
    // untaken by a pass of the link, and gets no answer.
    const std::vector<u8> request = LinkHost::Frame(1, {kNode}, Cmd_Seed());
    host->SendRaw(request);
    auto pending = [] {
        int n = -1;
        return ioctl(Sci_View(kSciPort0).fd, FIONREAD, &n) == 0 ? n : -1;
    };
    ASSERT_TRUE(RunLinkUntil([&] { return pending() == static_cast<int>(request.size()); }));
    Cmd_Check();
    EXPECT_EQ(pending(), static_cast<int>(request.size()));
    u8 answer;
    EXPECT_EQ(read(serial.Master(), &answer, 1), -1);
    // Without workbench traffic the workbench service gives the port back
    // after 65 s.
    AdvanceMs(64000);
    Quillet_Comm_service();
    EXPECT_EQ(is_q4protocol, 1u);
    AdvanceMs(1000);
    Quillet_Comm_service();
    EXPECT_EQ(is_q4protocol, 0u);
    EXPECT_EQ(IsCommMode_Tovra, 1);
    EXPECT_EQ(Vcomm_Drv[0].mode[kSomProto] & 0x0F, kProtoProgramming);
    EXPECT_TRUE(host->Request(1, {kNode}).frame);
}

TEST_F(LinkCommand, ResetAnswersThenRestartsTheController) {
    EXPECT_EXIT(
        {
            host->Ask(20, {kNode}, 500);
            std::exit(0);
        },
        ::testing::ExitedWithCode(kExitWarmReset), "");
}

}  // namespace

namespace {

// A node on the CAN tunnel: answers every forwarded frame with 0xA0, records
// the data frames it was sent, and for an upload serves its own block.
struct FakeNode {
    std::vector<u8> toHost;                  // bytes the node has queued for the link
    std::vector<std::vector<u8>> received;   // frames forwarded to the node
    std::vector<std::vector<u8>> uploadFrames;
    size_t nextUpload = 0;
    int hostAnswers = 0;                     // single bytes the host answered with
};
FakeNode* g_node = nullptr;

void NodeQueueFrame(const std::vector<u8>& data) {
    std::vector<u8> f = LinkHost::Frame(0xFF, data, Cmd_Seed());
    g_node->toHost.insert(g_node->toHost.end(), f.begin(), f.end());
}

void InstallNode(FakeNode* node) {
    g_node = node;
    linkPeers.NetCheckRx = [] { return g_node->toHost.empty() ? 0 : 1; };
    linkPeers.NetGetRx = [] {
        int b = g_node->toHost.front();
        g_node->toHost.erase(g_node->toHost.begin());
        return b;
    };
    linkPeers.NetFlushRx = [] { g_node->toHost.clear(); };
    linkPeers.CanPutBytes = [](const u8* d, u32 n, u32) {
        if (n == 1) {  // the host's answer to an upload frame
            ++g_node->hostAnswers;
            if (d[0] == 0xA0 && g_node->nextUpload < g_node->uploadFrames.size())
                NodeQueueFrame(g_node->uploadFrames[g_node->nextUpload++]);
            return;
        }
        g_node->received.emplace_back(d, d + n);
        if (d[0] == 5) {  // upload request: accepted, then the first frame
            g_node->toHost.push_back(0xA0);
            NodeQueueFrame(g_node->uploadFrames[g_node->nextUpload++]);
        } else {
            g_node->toHost.push_back(0xA0);
        }
    };
}

TEST_F(LinkCommand, RelayedDownloadAndUpload) {
    FakeNode node;
    node.uploadFrames = {std::vector<u8>(100, 0x33), std::vector<u8>(20, 0x44), {}};
    InstallNode(&node);
    std::vector<u8> image(150);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<u8>(i);
    ASSERT_EQ(host->Download(7, 22, image, 64), 0xA0);
    // Request, three data frames and the empty closing frame reached the node.
    ASSERT_EQ(node.received.size(), 5u);
    EXPECT_EQ(node.received[0], LinkHost::Frame(4, {7, 22}, Cmd_Seed()));
    EXPECT_EQ(node.received[3], LinkHost::Frame(0xFF, std::vector<u8>(image.begin() + 128, image.end()), Cmd_Seed()));
    EXPECT_EQ(datalog_table.Size(), 0u);  // nothing stored here
    EXPECT_EQ(CmdRun, 255);

    std::vector<u8> up;
    ASSERT_TRUE(host->Upload(7, 22, &up));
    std::vector<u8> want(100, 0x33);
    want.insert(want.end(), 20, 0x44);
    EXPECT_EQ(up, want);
    // The host's answer to the closing frame reaches the node; the link is
    // done with the command.
    ASSERT_TRUE(RunLinkUntil([&] { return node.hostAnswers == static_cast<int>(node.uploadFrames.size()); }));
    EXPECT_EQ(CmdRun, 255);
    g_node = nullptr;
}

}  // namespace

namespace {

// Module calibration over the link: the request reaches the I/O layer and
// its reply, whatever it says, comes back as the answer frame.
TEST_F(LinkCommand, CalibrationRequestsReachTheModulesAndAnswer) {
    IoModules_Reset();
    ASSERT_TRUE(IoModules_Plug(0, 0xA00F));
    u16 ids[3] = {};
    ASSERT_EQ(get_io_info(ids), 3);
    ASSERT_EQ(IoInit(ids, 3), 0);
    struct Case {
        const char* what;
        std::vector<u8> data;    // node, slot, request
        std::vector<u8> answer;  // the leading bytes of the answer frame
    } cases[] = {
        {"the Ethernet slot echoes", {kNode, 2, 11, 22, 33, 44}, {11, 22, 33, 44}},
        {"an empty slot", {kNode, 1, 0}, {0x40}},
        {"a slot beyond the three", {kNode, 3, 0}, {0x40}},
        {"a request longer than the calibration buffer", [] {
             std::vector<u8> d(70, 0);
             d[0] = kNode;
             return d;
         }(), {0x40}},
        {"the base module identifies itself", {kNode, 0, 0}, {0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LinkHost::Reply r = host->Request(23, c.data);
        ASSERT_TRUE(r.frame) << r.single;
        ASSERT_GE(r.data.size(), c.answer.size());
        EXPECT_EQ(std::vector<u8>(r.data.begin(), r.data.begin() + c.answer.size()), c.answer);
        if (std::string(c.what) == "the base module identifies itself") {
            ASSERT_GE(r.data.size(), 14u);
            EXPECT_EQ(GetLe16(&r.data[6]), 0xA00F);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r.data[8]), 6), "BASE32");
        }
    }
    IoModules_Reset();
}

}  // namespace
