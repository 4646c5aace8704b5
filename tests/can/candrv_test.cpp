// The CAN port: rings, error states, bus load and the stand-in bus, with a
// second node of the bus played by the test.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "io/candrv.h"
#include "platform/cmdrun.h"
#include "platform/fpga.h"
#include "platform/root.h"
#include "testsupport/can_peer.h"
#include "testsupport/manual_clock.h"
#include "testsupport/peer_program.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

std::vector<u8> Settings(u8 bitRate, u8 mode) {
    std::vector<u8> s(kCanSettingsBytes, 0);
    s[kCanSettingBitRate] = bitRate;
    s[kCanSettingMode] = mode;
    return s;
}

int callbackCalls[3];
void OnReceive() { ++callbackCalls[kCanEventReceive]; }
void OnTransmit() { ++callbackCalls[kCanEventTransmit]; }
u8 statusSeenByErrorCallback;
void OnError() {
    ++callbackCalls[kCanEventError];
    statusSeenByErrorCallback = _Can_Status(0);
}

class CanDrvTest : public ::testing::Test {
protected:
    void SetUp() override {
        Can_Reset();
        FPGA_Reset();
        Root_Init();
        SysCmd_ClearLog();
        bus = CanTest_UseFreeBus();
        ASSERT_NE(bus, 0);
        for (int& c : callbackCalls) c = 0;
        statusSeenByErrorCallback = 0;
    }
    void TearDown() override {
        Can_Reset();
        unsetenv("PLC_CAN_BUS");
    }
    void Open(u8 bitRate = 1, u8 mode = 0) {
        auto s = Settings(bitRate, mode);
        _Can_Init(0, s.data());
        ASSERT_TRUE(Can_IsOpen(0));
        ASSERT_TRUE(Can_OnStandInBus(0));
    }
    void Queue(u32 id, u8 length, u8 first = 0, u8 remote = 0) {
        CanMsg* m = _Can_NextTx(0);
        ASSERT_NE(m, nullptr);
        m->id = id;
        m->length = length;
        m->remote = remote;
        for (int i = 0; i < 8; ++i) m->data[i] = static_cast<u8>(first + i);
        _Can_PutTx(0, m);
    }
    std::string Attribute(const char* name) {
        std::ifstream in(Root_HostPath(std::string("/sys/devices/platform/FlexCAN.0/") + name));
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    TempRoot root;
    ManualClock clock;
    int bus = 0;
};

TEST_F(CanDrvTest, InitConfiguresTheLinkThroughTheRunnerAndSysfs) {
    const struct {
        u8 code;
        const char* text;
    } cases[] = {{0, "125000"}, {1, "250000"}, {2, "500000"}, {3, "1000000"}, {4, "50000"}, {5, "125000"}, {255, "125000"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.code));
        SysCmd_ClearLog();
        Open(c.code);
        EXPECT_EQ(Attribute("bitrate"), c.text);
        EXPECT_EQ(Attribute("abort"), "1");
        EXPECT_EQ(SysCmd_Log(), (std::vector<std::string>{"ip link set can0 down", "ip link set can0 up"}));
    }
}

TEST_F(CanDrvTest, TransmitRingHoldsTwoHundredAndWrapsThroughTheBus) {
    Open(1, 0);
    CanPeer peer(bus);
    ASSERT_TRUE(peer.Joined());
    _Can_SetEvent(0, kCanEventTransmit, OnTransmit);
    // Three rounds of 150 carry both indices past 199.
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 150; ++i) Queue(0x100 + i, static_cast<u8>(i % 9), static_cast<u8>(i));
        Can_Isr();
        auto got = peer.Take();
        ASSERT_EQ(got.size(), 150u);
        for (int i = 0; i < 150; ++i) {
            EXPECT_EQ(got[i].idWord, u32(0x100 + i));
            EXPECT_EQ(got[i].length, i % 9);
            EXPECT_EQ(got[i].data[0], u8(i));
        }
        EXPECT_EQ(_Can_CountTx(0), 0);
    }
    EXPECT_EQ(callbackCalls[kCanEventTransmit], 450);
    for (int i = 0; i < kCanRingSize; ++i) Queue(0x200, 0);
    EXPECT_EQ(_Can_NextTx(0), nullptr);
    EXPECT_EQ(_Can_CheckTx(0), 0);
}

TEST_F(CanDrvTest, TransmitFramesCarryModeAndRemoteFlags) {
    CanPeer peer(bus);
    const struct {
        u8 mode;
        u32 id;
        u8 remote, length;
        u32 wire;
        u8 wireLength;
    } cases[] = {
        {0, 0x7FF, 0, 8, 0x7FF, 8},
        {0, 0x123, 1, 0, 0x123 | kCanRtrFlag, 0},
        {5, 0x1ABCDEF, 0, 2, 0x1ABCDEF | kCanEffFlag, 2},
        {5, 0x600, 1, 1, 0x600 | kCanEffFlag | kCanRtrFlag, 1},
        {0, 0x10, 0, 12, 0x10, 8},  // a caller's length above 8 goes out as 8
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        Open(2, c.mode);
        Queue(c.id, c.length, 0x40, c.remote);
        Can_Isr();
        auto got = peer.Take();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].idWord, c.wire);
        EXPECT_EQ(got[0].length, c.wireLength);
    }
}

TEST_F(CanDrvTest, ReceivedFramesAreMaskedClampedAndFiltered) {
    Open(1, 0);
    CanPeer peer(bus);
    _Can_SetEvent(0, kCanEventReceive, OnReceive);
    peer.Send(0x1234567 | kCanEffFlag, {1, 2});  // 11-bit mode keeps the low 11 bits
    peer.Send(0x0705 | kCanRtrFlag, {});
    CanFrame longCode;
    longCode.idWord = 0x181;
    longCode.length = 15;  // a length code above 8 still has 8 data bytes
    for (int i = 0; i < 8; ++i) longCode.data[i] = static_cast<u8>(0xA0 + i);
    peer.Send(longCode);
    _Can_SetSWFilter(0, [](u32 id) { return id == 0x567 || id == 0x705 || id == 0x181 ? 1 : 0; });
    peer.Send(0x222, {9});  // filtered out
    Can_Isr();
    EXPECT_EQ(callbackCalls[kCanEventReceive], 1);
    ASSERT_EQ(_Can_CountRx(0), 3);
    const CanMsg* m = _Can_GetRx(0);
    EXPECT_EQ(m->id, 0x567u);
    EXPECT_EQ(m->length, 2);
    EXPECT_EQ(m->remote, 0);
    _Can_NextRx(0);
    m = _Can_GetRx(0);
    EXPECT_EQ(m->id, 0x705u);
    EXPECT_EQ(m->remote, 1);
    _Can_NextRx(0);
    m = _Can_GetRx(0);
    EXPECT_EQ(m->id, 0x181u);
    EXPECT_EQ(m->length, 8);
    EXPECT_EQ(m->data[7], 0xA7);
    _Can_NextRx(0);
    EXPECT_EQ(_Can_CheckRx(0), 0);
    EXPECT_EQ(_Can_GetRx(0), nullptr);
    _Can_NextRx(0);  // nothing when empty
    EXPECT_EQ(_Can_CountRx(0), 0);

    // In 29-bit mode the whole identifier stays.
    _Can_SetSWFilter(0, nullptr);
    Open(1, kCanModeExtended);
    peer.Send(0x1234567 | kCanEffFlag, {1});
    Can_Isr();
    ASSERT_EQ(_Can_CountRx(0), 1);
    EXPECT_EQ(_Can_GetRx(0)->id, 0x1234567u);
}

TEST_F(CanDrvTest, FullReceiveRingDropsCountsAndFlagsUntilAFrameIsStored) {
    Open(1, 0);
    CanPeer peer(bus);
    _Can_SetEvent(0, kCanEventError, OnError);
    // Fill in rounds, reading some in between, so the read index wraps too.
    for (int i = 0; i < 150; ++i) peer.Send(0x100, {u8(i)});
    Can_Isr();
    for (int i = 0; i < 100; ++i) _Can_NextRx(0);
    for (int i = 0; i < 152; ++i) peer.Send(0x101, {u8(i)});
    Can_Isr();
    EXPECT_EQ(_Can_CountRx(0), kCanRingSize);
    EXPECT_EQ(callbackCalls[kCanEventError], 2);
    EXPECT_EQ(_Can_Status(0), kCanStatusRxRingFull);
    EXPECT_EQ(GetLe16(_Can_Data(0, 0) + 8), 2);
    // The oldest kept frame is the 101st of the first round.
    EXPECT_EQ(_Can_GetRx(0)->data[0], 100);
    _Can_NextRx(0);
    peer.Send(0x102, {7});
    Can_Isr();
    EXPECT_EQ(_Can_Status(0), 0);
    EXPECT_EQ(_Can_CountRx(0), kCanRingSize);
}

TEST_F(CanDrvTest, ErrorStatesStayUntilTheControllerRecovers) {
    Open(1, 0);
    CanPeer peer(bus);
    _Can_SetEvent(0, kCanEventError, OnError);
    const u32 crtl = kCanErrFlag | 0x04, busOff = kCanErrFlag | 0x40, restarted = kCanErrFlag | 0x100;
    const struct {
        u32 id;
        u8 controller;       // data byte 1
        u8 inCallback;       // _Can_Status while the frame is handled
        u8 afterwards;       // _Can_Status between passes
    } steps[] = {
        {crtl, 0x01, 0x20, 0x00},        // controller overflow is an event, not a state
        {crtl, 0x08, 0x04, 0x04},        // transmit warning
        {crtl, 0x10, 0x0C, 0x0C},        // receive passive joins it
        {busOff, 0x00, 0x8C, 0x8C},      // bus-off
        {crtl, 0x40, 0x80, 0x80},        // error-active again: warnings go, bus-off stays
        {restarted, 0x00, 0x00, 0x00},   // restarted: everything goes
        {crtl, 0x24, 0x0C, 0x0C},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.id);
        CanFrame f;
        f.idWord = s.id;
        f.length = 8;
        f.data[1] = s.controller;
        peer.Send(f);
        Can_Isr();
        EXPECT_EQ(statusSeenByErrorCallback, s.inCallback);
        EXPECT_EQ(_Can_Status(0), s.afterwards);
    }
    EXPECT_EQ(callbackCalls[kCanEventError], 7);
    const u8* d = _Can_Data(0, 1);
    EXPECT_EQ(GetLe16(d + 4), 2);   // transmit warning or passive
    EXPECT_EQ(GetLe16(d + 6), 2);   // receive warning or passive
    EXPECT_EQ(GetLe16(d + 10), 1);  // controller overflow
    EXPECT_EQ(GetLe16(d + 14), 1);  // bus-off
    d = _Can_Data(0, 0);
    for (int i = 4; i < 16; i += 2) EXPECT_EQ(GetLe16(d + i), 0) << i;
    EXPECT_EQ(_Can_CountRx(0), 0);  // error frames never reach the ring
    // A new initialisation starts error-active.
    Open(1, 0);
    EXPECT_EQ(_Can_Status(0), 0);
}

TEST_F(CanDrvTest, BusLoadIsMeasuredOverWindowsOfAtLeastOneSecond) {
    Open(1, 0);  // 250 bits per millisecond
    CanPeer peer(bus);
    peer.Send(0x100, {1, 2, 3, 4, 5, 6, 7, 8});  // opens the window, not counted
    Can_Isr();
    for (int i = 0; i < 10; ++i) peer.Send(0x100, {1, 2, 3, 4, 5, 6, 7, 8});  // 116 bits each
    for (int i = 0; i < 5; ++i) Queue(0x200, 0);                                // 52 bits each
    Can_Isr();
    for (int i = 0; i < 15; ++i) _Can_NextRx(0);
    EXPECT_EQ(GetLe16(_Can_Data(0, 0)), 0);
    clock.AdvanceMs(999);
    peer.Send(0x100, {});
    Can_Isr();
    EXPECT_EQ(GetLe16(_Can_Data(0, 0) + 2), 0);  // 999 ms is not yet a window
    clock.AdvanceMs(1);
    Queue(0x200, 0);
    Can_Isr();
    // receive 10*116 + 52 = 1212 bits, transmit 6*52 = 312 bits over 250000.
    const u8* d = _Can_Data(0, 0);
    EXPECT_EQ(GetLe16(d), 312 * 1000 / 250000);
    EXPECT_EQ(GetLe16(d + 2), 1212 * 1000 / 250000);

    // A long window is measured whole, not modulo the 16-bit counter
    // (6.5 s). The window restarted with the last frame and survives
    // _Can_Init.
    Open(4, 0);  // 50 bits per millisecond
    for (int batch = 0; batch < 10; ++batch) {
        for (int i = 0; i < 100; ++i) peer.Send(0x300, {1, 2, 3, 4, 5, 6, 7, 8});
        Can_Isr();
        _Can_FlushRx(0);
    }
    clock.AdvanceMs(7000);
    peer.Send(0x300, {});
    Can_Isr();
    d = _Can_Data(0, 0);
    EXPECT_EQ(GetLe16(d + 2), u16((1000ull * 116 + 52) * 1000 / (7000ull * 50)));

    // More than a second of silence reads as no load.
    clock.AdvanceMs(1001);
    d = _Can_Data(0, 0);
    EXPECT_EQ(GetLe16(d), 0);
    EXPECT_EQ(GetLe16(d + 2), 0);
}

TEST_F(CanDrvTest, ReinitialisationEmptiesRingsAndKeepsCallbacksAndFilter) {
    Open(1, 0);
    CanPeer peer(bus);
    _Can_SetEvent(0, kCanEventReceive, OnReceive);
    _Can_SetEvent(0, 7, OnError);  // no such kind
    EXPECT_EQ(_Can_GetEvent(0, 7), nullptr);
    _Can_SetSWFilter(0, [](u32 id) { return id < 0x400 ? 1 : 0; });
    peer.Send(0x100, {1});
    Can_Isr();
    Queue(0x300, 1);
    ASSERT_EQ(_Can_CountRx(0), 1);
    Open(1, 0);
    EXPECT_EQ(_Can_CountRx(0), 0);
    EXPECT_EQ(_Can_CountTx(0), 0);
    EXPECT_EQ(_Can_GetEvent(0, kCanEventReceive), OnReceive);
    peer.Send(0x500, {1});
    peer.Send(0x101, {1});
    Can_Isr();
    ASSERT_EQ(_Can_CountRx(0), 1);
    EXPECT_EQ(_Can_GetRx(0)->id, 0x101u);
    EXPECT_TRUE(peer.Take().empty());  // the queued message went with the ring
    // Only port 0 exists.
    EXPECT_EQ(_Can_NextTx(1), nullptr);
    EXPECT_EQ(_Can_Data(1, 0), nullptr);
}

TEST_F(CanDrvTest, UnopenedPortServesNothing) {
    // No seat is free on this bus: the socket cannot be opened, and the port
    // is not reported open.
    CanBusSeat seats[kCanBusSeats];
    for (auto& s : seats) ASSERT_TRUE(CanBus_Join(bus, &s));
    auto s = Settings(1, 0);
    _Can_Init(0, s.data());
    EXPECT_FALSE(Can_IsOpen(0));
    Queue(0x100, 0);
    Can_Isr();
    EXPECT_EQ(_Can_CountTx(0), 1);
    for (auto& seat : seats) CanBus_Leave(&seat);
}

}  // namespace

namespace {

TEST_F(CanDrvTest, PythonCanPeerExchangesFramesOnTheStandInBus) {
    Open(1, 0);
    _Can_SetEvent(0, kCanEventError, OnError);
    PeerProgram peer(std::string("exec /usr/bin/python3 ") + PLC_SOURCE_DIR + "/tests/can/can_bus_peer.py " +
                     std::to_string(bus) + " 3 30 601#4018100100000000 1ABCDEF0#0102 70A#R ERR:40:0000000000000000");
    ASSERT_TRUE(peer.WaitReady()) << "python3-can peer did not start";
    Can_Isr();
    EXPECT_EQ(_Can_Status(0), kCanStatusBusOff);
    ASSERT_EQ(_Can_CountRx(0), 3);
    const struct {
        u32 id;
        u8 length, remote, first;
    } want[] = {{0x601, 8, 0, 0x40}, {0x1ABCDEF0 & kCanSffMask, 2, 0, 1}, {0x70A, 0, 1, 0}};
    for (const auto& w : want) {
        const CanMsg* m = _Can_GetRx(0);
        EXPECT_EQ(m->id, w.id);
        EXPECT_EQ(m->length, w.length);
        EXPECT_EQ(m->remote, w.remote);
        if (w.length) {
            EXPECT_EQ(m->data[0], w.first);
        }
        _Can_NextRx(0);
    }
    Queue(0x581, 8, 0x43);
    Queue(0x70A, 1, 0x05);
    Queue(0x70A, 0, 0, 1);
    Can_Isr();
    int status = -1;
    auto lines = peer.Rest(&status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(lines, (std::vector<std::string>{"581 0 0 8 434445464748494a", "70A 0 0 1 05", "70A 0 1 0 "}));
}

TEST_F(CanDrvTest, CaptureOfTheBusDecodesInTshark) {
    Open(3, kCanModeExtended);
    std::string pcap = root.Dir() + "/can.pcap";
    PeerProgram dump(std::string(PLC_BIN_DIR) + "/plccan --bus " + std::to_string(bus) + " dump 3 30000 " + pcap);
    ASSERT_TRUE(dump.WaitReady());
    Queue(0x18FF1234, 8, 0x10);
    Queue(0x00000701, 1, 0x7F);
    Queue(0x1FFFFFFF, 0, 0, 1);
    Can_Isr();
    int status = -1;
    auto lines = dump.Rest(&status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(lines, (std::vector<std::string>{"98FF1234#1011121314151617", "80000701#7F", "9FFFFFFF#R"}));
    std::string out = Shell("tshark -r " + pcap + " -T fields -e can.id -e can.flags.xtd -e can.flags.rtr -e can.len -e _ws.malformed 2>/dev/null | grep -v '^Running as user'");
    // Identifier, 29-bit flag, remote flag, length, and no malformed mark.
    EXPECT_EQ(out, std::to_string(0x18FF1234) + "\t1\t0\t8\t\n" + std::to_string(0x701) + "\t1\t0\t1\t\n" +
                       std::to_string(0x1FFFFFFF) + "\t1\t1\t0\t\n");
}

}  // namespace
