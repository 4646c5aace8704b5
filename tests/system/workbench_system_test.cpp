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

#include "iec/kernel/q4vmbsmp.h"
#include "platform/fileio.h"
#include "platform/reset.h"
#include "testsupport/board_clock.h"
#include "testsupport/event_client.h"
#include "testsupport/firmware_process.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/link_host.h"
#include "testsupport/loopback.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/reg_image.h"
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

    // The application runs in run mode only: the controller starts again in it.
    void RestartInRunMode(FirmwareProcess& again) {
        fw.Signal(SIGTERM);
        ASSERT_TRUE(clock->AdvanceToExit(fw));
        const std::vector<u8> image = RunModeRegisterImage({});
        ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/autoreg.dta"), image.data(), image.size()));
        ASSERT_TRUE(again.Start());
        ASSERT_TRUE(clock->AdvanceToOutput(again, "main loop running")) << again.Output();
    }
    // A DINT of the running application through the debug server (-1: none).
    static i64 ReadDint(WorkbenchClient& wb, u16 index) {
        VmAnswer r = wb.Vm(2, {1, 11, static_cast<u8>(index >> 8), static_cast<u8>(index)});
        if (!r.received || r.status != 0 || r.data.size() != 9) return -1;
        return GetBe32(&r.data[5]);
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

// The debug server over the workbench port: connect, read, force and
// release a variable, a subscription with hysteresis delivered by the event
// server, and the poll table's limits.
TEST_F(WorkbenchSystem, DebugServerReadsForcesSubscribesAndPolls) {
    FirmwareProcess again;
    RestartInRunMode(again);
    TovraHost host(0, [&] { clock->Advance(1, 1); });
    HandOver(host);
    WorkbenchClient wb;
    ASSERT_TRUE(wb.Connect(1100 + offset));
    // An application whose counter honours forcing.
    IecImageBuilder b;
    const u16 cnt = b.Var(kQ4TypeDint, 0, "cnt"), inc = b.Var(kQ4TypeDint, 1);
    const u16 go = b.Var(kQ4TypeBool, 0, "go"), halt = b.Var(kQ4TypeBool, 0, "halt");
    TicAssembler t;
    t.Op("ADD_DINT_L", {cnt, cnt, inc}).Op("END");
    b.Program(t.Finish());
    ASSERT_EQ(wb.Stop(), 0);
    ASSERT_EQ(wb.LoadApp(b.Build()), 0);

    VmAnswer a = wb.Vm(1, {});
    ASSERT_TRUE(a.received);
    EXPECT_EQ(a.status, 0);
    ASSERT_EQ(a.data.size(), 6u);
    EXPECT_EQ(GetBe16(&a.data[0]), 9000 + offset);
    const u8 hi = static_cast<u8>(cnt >> 8), lo = static_cast<u8>(cnt);
    auto read = [&](u8* lock = nullptr) -> i64 {
        VmAnswer r = wb.Vm(2, {1, 11, hi, lo});
        if (!r.received || r.status != 0 || r.data.size() != 9) return -1;
        if (lock) *lock = r.data[4];
        return GetBe32(&r.data[5]);
    };
    const i64 v0 = read();
    ASSERT_GE(v0, 0);
    ASSERT_TRUE(clock->Advance(100, 10));
    EXPECT_GT(read(), v0);

    // Forced: locked and loaded with 12345, it stays; released, it counts.
    EXPECT_EQ(wb.Vm(3, {0x01, 0x11, hi, lo, 0x01, 0x0F, hi, lo, 0x00, 0x00, 0x30, 0x39}).status, 0);
    ASSERT_TRUE(clock->Advance(100, 10));
    u8 lock = 0;
    EXPECT_EQ(read(&lock), 12345);
    EXPECT_EQ(lock, 1);
    EXPECT_EQ(wb.Vm(3, {0x01, 0x12, hi, lo}).status, 0);
    ASSERT_TRUE(clock->Advance(100, 10));
    EXPECT_GT(read(&lock), 12345);
    EXPECT_EQ(lock, 0);
    EXPECT_EQ(wb.Vm(3, {0x01, 0x0F, hi, lo}).status, 255);  // an instruction cut short

    // A subscription of event client 1 with hysteresis 50.
    EventClient events(0x05);
    ASSERT_TRUE(events.Connect(9000 + offset));
    std::vector<EventRecord> got;
    ASSERT_TRUE(clock->Advance(50, 10));
    ASSERT_TRUE(events.Poll(&got, 100));
    a = wb.Vm(4, {1, kQ4TypeDint, hi, lo, 0, 1, 4, 0, 0, 0, 50, 0, 0, 0, 50});
    ASSERT_EQ(a.status, 0);
    EXPECT_EQ(a.data, (std::vector<u8>{1, kQ4TypeDint, hi, lo, 0}));
    std::vector<i64> values;
    for (int k = 0; k < 100 && values.size() < 4; ++k) {
        ASSERT_TRUE(clock->Advance(20, 10));
        got.clear();
        ASSERT_TRUE(events.Poll(&got, 20));
        for (const EventRecord& e : got) {
            VariableEvent v;
            if (e.code == 2 && EventVariable(e, &v) && v.index == cnt) values.push_back(v.value);
        }
    }
    ASSERT_GE(values.size(), 3u) << again.Output();
    for (size_t k = 1; k < values.size(); ++k) EXPECT_GE(values[k] - values[k - 1], 50) << k;
    EXPECT_EQ(wb.Vm(5, {1, kQ4TypeDint, hi, lo, 0, 1}).status, 0);

    // Raw reads stay inside their area.
    auto poll = [&](u8 table, u32 at, u16 length) {
        std::vector<u8> d(11, 0);
        d[0] = table;
        PutBe32(&d[1], at);
        PutBe16(&d[5], length);
        return wb.Vm(8, d).data;
    };
    EXPECT_EQ(poll(255, 0, 1000).size(), 1008u);
    EXPECT_EQ(poll(255, 0, 1001), std::vector<u8>{6});
    EXPECT_EQ(poll(40, 0, 4), std::vector<u8>{6});
    EXPECT_EQ(poll(0, 0, 248).size(), 256u);
    EXPECT_EQ(poll(0, 4, 248), std::vector<u8>{6});

    // A sampling trace of go, started by go rising (2 cycles later) and
    // stopped one sample after halt rises.
    auto words = [](std::initializer_list<u16> list) {
        std::vector<u8> v;
        for (u16 w : list) {
            v.push_back(static_cast<u8>(w >> 8));
            v.push_back(static_cast<u8>(w));
        }
        return v;
    };
    const std::vector<u8> setup =
        words({u16(480), u16(0), u16(kBsEnabled), u16(0), u16(0), go, halt, u16(2), u16(1), u16(1), go});
    ASSERT_EQ(wb.Vm(3, setup).status, 0);
    auto trace = [&](u32* count) {
        VmAnswer r = wb.Vm(2, {1, 27, 0, 0});
        if (r.status != 0 || r.data.size() != 4 + kBsmpDataBytes) return -1;
        *count = GetBe32(&r.data[4 + 6]);
        return static_cast<int>(GetBe16(&r.data[4 + 10]));
    };
    u32 count = 0;
    ASSERT_TRUE(clock->Advance(100, 10));
    EXPECT_EQ(trace(&count) & kBsRecording, 0);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(wb.Vm(3, words({404, go, 1})).status, 0);
    ASSERT_TRUE(clock->Advance(100, 10));
    EXPECT_NE(trace(&count) & kBsRecording, 0);
    EXPECT_GT(count, 0u);
    ASSERT_EQ(wb.Vm(3, words({404, halt, 1})).status, 0);
    ASSERT_TRUE(clock->Advance(100, 10));
    const int flags = trace(&count);
    EXPECT_EQ(flags & kBsRecording, 0);
    u32 later = 0;
    ASSERT_TRUE(clock->Advance(100, 10));
    trace(&later);
    EXPECT_EQ(later, count);
    // An index beyond the application's BOOLs leaves the trace disabled.
    ASSERT_EQ(wb.Vm(3, words({480, 0, kBsEnabled | kBsStartNow, 0, 0, 0, 0, 0, 0, 1, 60000})).status, 0);
    ASSERT_TRUE(clock->Advance(50, 10));
    EXPECT_EQ(trace(&count), 0);

    again.Signal(SIGTERM);
    EXPECT_TRUE(clock->AdvanceToExit(again));
}

// An on-line change of the running application keeps its values and its
// cycle; refused changes leave it running on its own code; a stop and hot
// start resume it from the hot-restart image, a corrupt image is refused.
TEST_F(WorkbenchSystem, OnLineChangeAndHotStartKeepTheValues) {
    FirmwareProcess again;
    RestartInRunMode(again);
    TovraHost host(0, [&] { clock->Advance(1, 1); });
    HandOver(host);
    WorkbenchClient wb;
    ASSERT_TRUE(wb.Connect(1100 + offset));

    IecImageBuilder b;
    b.AppName("LINE");
    const u16 cnt = b.Var(kQ4TypeDint, 0, "cnt"), inc = b.Var(kQ4TypeDint, 1);
    b.Spare(kQ4InitClsData32, 2).MapSpare(2);
    TicAssembler t;
    t.Op("ADD_DINT", {cnt, cnt, inc}).Op("END");
    b.Program(t.Finish());
    ASSERT_EQ(wb.Stop(), 0);
    ASSERT_EQ(wb.LoadApp(b.Build()), 0);
    b.PinAllocation();
    ASSERT_TRUE(clock->Advance(100, 10));
    const i64 before = ReadDint(wb, cnt);
    ASSERT_GT(before, 0) << again.Output();

    // Refused: another application, a larger allocation. The application
    // goes on counting on its own code.
    IecImageBuilder other = b;
    other.AppName("OTHER");
    ASSERT_EQ(wb.LoadChange(other.Build()), 0);
    EXPECT_EQ(wb.Change(), 44);
    IecImageBuilder larger = b;
    larger.Spare(kQ4InitClsData32, 5).PinAllocation();
    ASSERT_EQ(wb.LoadChange(larger.Build()), 0);
    EXPECT_EQ(wb.Change(), 55);
    ASSERT_TRUE(clock->Advance(100, 10));
    const i64 running = ReadDint(wb, cnt);
    EXPECT_GT(running, before);

    // Accepted: a new DINT counts from its initial value beside the kept one.
    const u16 added = b.Var(kQ4TypeDint, 500, "added");
    TicAssembler t2;
    t2.Op("ADD_DINT", {cnt, cnt, inc}).Op("ADD_DINT", {added, added, inc}).Op("END");
    b.ReplaceProgram(1, t2.Finish());
    const std::vector<u8> changed = b.Build();
    ASSERT_EQ(wb.LoadChange(changed), 0);
    EXPECT_EQ(wb.Change(), 0) << again.Output();
    const i64 kept = ReadDint(wb, cnt), fresh = ReadDint(wb, added);
    EXPECT_GE(kept, running);
    EXPECT_GE(fresh, 500);
    EXPECT_LT(fresh, 500 + (kept - running) + 5);
    ASSERT_TRUE(clock->Advance(100, 10));
    EXPECT_GT(ReadDint(wb, cnt), kept);
    EXPECT_GT(ReadDint(wb, added), fresh);

    // Stop and hot start: the counters go on from where they stopped, on the
    // changed code (written back to q4.cod at the stop).
    ASSERT_EQ(wb.Stop(), 0);
    std::vector<u8> stored;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/q4.cod"), stored, 1u << 20));
    EXPECT_EQ(stored, changed);
    ASSERT_EQ(wb.HotStart(), 0) << again.Output();
    const i64 resumed = ReadDint(wb, added);
    EXPECT_GT(resumed, fresh);
    ASSERT_TRUE(clock->Advance(100, 10));
    EXPECT_GT(ReadDint(wb, added), resumed);

    // A corrupt hot-restart image is refused; a cold start still works.
    ASSERT_EQ(wb.Stop(), 0);
    std::vector<u8> hot;
    ASSERT_TRUE(File_ReadAll(root.Path("/run/q4.hot"), hot, 1u << 24));
    ASSERT_GT(hot.size(), 1000u);
    hot.resize(hot.size() - 8);
    ASSERT_TRUE(File_WriteAtomic(root.Path("/run/q4.hot"), hot.data(), hot.size()));
    EXPECT_NE(wb.HotStart(), 0);
    EXPECT_EQ(ReadDint(wb, cnt), -1);
    EXPECT_EQ(wb.Start(), 0);
    ASSERT_TRUE(clock->Advance(100, 10));
    EXPECT_GT(ReadDint(wb, added), 500);

    again.Signal(SIGTERM);
    EXPECT_TRUE(clock->AdvanceToExit(again));
}

}  // namespace
