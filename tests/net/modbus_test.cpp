// Modbus server: the fixed address map, request handling with its checks,
// and a connection over loopback that must never receive an answer owed to
// the connection before it.
#include "net/modbus.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "net/dpr.h"
#include "platform/root.h"
#include "testsupport/loopback.h"
#include "testsupport/manual_clock.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

namespace {

std::vector<u8> Frame(u8 fc, u16 addr, u16 qty, const std::vector<u8>& tail = {}) {
    std::vector<u8> f(12 + tail.size());
    const u8 head[12] = {0x12, 0x34, 0, 0, 0, 0, 7, fc, static_cast<u8>(addr >> 8), static_cast<u8>(addr),
                         static_cast<u8>(qty >> 8), static_cast<u8>(qty)};
    for (size_t i = 0; i < f.size(); ++i) f[i] = i < 12 ? head[i] : tail[i - 12];
    PutBe16(&f[4], static_cast<u16>(f.size() - 6));
    return f;
}

class ModbusTest : public ::testing::Test {
protected:
    void SetUp() override {
        Dpr_Reset();
        PutLe16(DprMap + kDprRunFlag, 1);
        Dpr_Configuration[0].flags.service |= kSvcModbus;
        Dpr_Configuration[0].tail.modbus.port = 502;
    }
    void TearDown() override {
        Modbus_Reset();
        Dpr_Reset();
    }
    ModbusOutcome Do(const std::vector<u8>& f) {
        std::memset(tx_, 0, sizeof tx_);
        return Modbus_Process(0, f.data(), static_cast<u32>(f.size()), tx_);
    }
    // Exception code of an answer, or -1 when it is none.
    int ExceptionOf(const ModbusOutcome& o) {
        if (o.kind != ModbusOutcome::kAnswer || o.answerLength != 9 || !(tx_[7] & 0x80)) return -1;
        return tx_[8];
    }

    RegFixture regs_;
    u8 tx_[kModbusTxBytes];
};

TEST_F(ModbusTest, AddressMap) {
    struct Case {
        u32 table, address, quantity, expect;
        bool tok16;
    } cases[] = {
        {3, 512, 1, 0x8000, false},        {3, 3000, 1, 0x8000, false},     {3, 10000, 1, 0x8000, false},
        {3, 2990, 20, 0, false},           {3, 2990, 10, 0x6000 + 16 * 2990, false},
        {2, 3999, 1, 0, false},            {2, 4000, 1, 0x600, false},      {4, 4000, 1, 0xC00, false},
        {1, 9255, 1, 0x500 + 255, false},  {1, 9256, 1, 0, false},          {1, 2047, 1, 0x2800 + 2047, true},
        {1, 2048, 1, 0, true},             {1, 8048, 1, 0, true},           {1, 5047, 1, 0x3800 + 2047, true},
        {1, 5048, 1, 0, true},             {1, 5040, 9, 0, true},           {1, 5048, 1, 0x1001C000 + 2048, false},
        {7, 0, 1, 0, false},
    };
    for (const Case& c : cases) {
        T_token = c.tok16 ? 0x3000 : 0x10008000;
        M_token = c.tok16 ? 0x3800 : 0x1001C000;
        EXPECT_EQ(ModbusMapToken(c.table, c.address, c.quantity), c.expect)
            << c.table << " " << c.address << " " << c.quantity << (c.tok16 ? " tok16" : "");
    }
}

TEST_F(ModbusTest, RequestsAndTheirRefusals) {
    // Function 5: only bit 0 of the first value byte counts; echo FF 00.
    ModbusOutcome o = Do(Frame(5, 3000, 0xFF00));
    ASSERT_EQ(o.kind, ModbusOutcome::kAnswer);
    EXPECT_EQ(o.answerLength, 12u);
    EXPECT_EQ(GetBe16(tx_ + 10), 0xFF00);
    u8* m = PlcReg_Ptr(M_token, 8);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m[0] & 1, 1);
    Do(Frame(5, 3000, 0xFE00));
    EXPECT_EQ(m[0] & 1, 0);

    // Function 16 writes big-endian words into the little-endian memory.
    o = Do(Frame(16, 10000, 2, {4, 0x12, 0x34, 0xAB, 0xCD}));
    ASSERT_EQ(o.answerLength, 12u);
    EXPECT_EQ(GetLe16(&plc_reg[kRegR]), 0x1234);
    EXPECT_EQ(GetLe16(&plc_reg[kRegR + 2]), 0xABCD);

    // A read is left pending and answered with the values of the moment.
    o = Do(Frame(3, 10000, 2));
    ASSERT_EQ(o.kind, ModbusOutcome::kRead);
    PutLe16(&plc_reg[kRegR], 0x5678);
    u32 n = Modbus_BuildReadAnswer(o.read, tx_);
    ASSERT_EQ(n, 13u);
    EXPECT_EQ(GetBe16(tx_), 0x1234);
    EXPECT_EQ(tx_[8], 4);
    EXPECT_EQ(GetBe16(tx_ + 9), 0x5678);
    EXPECT_EQ(GetBe16(tx_ + 11), 0xABCD);

    // Function 7 answers status 0.
    o = Do(Frame(7, 0, 0));
    EXPECT_EQ(o.answerLength, 9u);
    EXPECT_EQ(tx_[8], 0);

    struct Bad {
        std::vector<u8> frame;
        int exception;  // -1: dropped
    } bad[] = {
        {Frame(8, 0, 0), 1},
        {Frame(0x90, 0, 0), 1},
        {Frame(3, 10000, 126), 3},
        {Frame(1, 0, 2001), 3},
        {Frame(3, 20240, 1), 2},
        {Frame(16, 10000, 65535, {4, 1, 2, 3, 4}), 3},       // quantity beyond any frame
        {Frame(16, 10000, 2, {4, 1, 2}), 3},                 // data shorter than the byte count
        {Frame(15, 3000, 16, {1, 0xFF}), 3},                 // byte count does not fit the quantity
        {{0x12, 0x34, 0, 0, 0, 0x40, 7, 3, 0, 0, 0, 1}, -1},  // length field beyond the bytes
        {{0x12, 0x34, 0, 0, 0}, -1},                         // truncated header
    };
    for (const Bad& b : bad) {
        u16 before = GetLe16(&plc_reg[kRegR]);
        o = Do(b.frame);
        if (b.exception < 0) EXPECT_EQ(o.kind, ModbusOutcome::kDrop);
        else EXPECT_EQ(ExceptionOf(o), b.exception) << int(b.frame[7]);
        EXPECT_EQ(GetLe16(&plc_reg[kRegR]), before);
    }

    // Write inhibit: every write answers exception 1, reads go on.
    Dpr_Configuration[0].tail.modbus.inhibit = 0x1001C000 + 100;
    m[100 / 8] |= 1 << (100 % 8);
    EXPECT_EQ(ExceptionOf(Do(Frame(6, 10000, 7))), 1);
    EXPECT_EQ(ExceptionOf(Do(Frame(15, 3000, 1, {1, 1}))), 1);
    EXPECT_EQ(Do(Frame(3, 10000, 1)).kind, ModbusOutcome::kRead);
}

TEST_F(ModbusTest, FramesOfAByteStream) {
    std::vector<u8> a = Frame(3, 0, 1), b = Frame(6, 10000, 5);
    std::vector<u8> s = a;
    s.insert(s.end(), b.begin(), b.end());
    EXPECT_EQ(Modbus_FrameLength(s.data(), 5), 0u);                        // header not complete
    EXPECT_EQ(Modbus_FrameLength(s.data(), 11), 0u);                       // body not complete
    EXPECT_EQ(Modbus_FrameLength(s.data(), static_cast<u32>(s.size())), 12u);
    EXPECT_EQ(Modbus_FrameLength(s.data() + 12, 12), 12u);
    std::vector<u8> lie = {0, 1, 0, 0, 0xFF, 0xFF, 1, 3};
    EXPECT_EQ(Modbus_FrameLength(lie.data(), static_cast<u32>(lie.size())), ~0u);
}

class ModbusLoopback : public ModbusTest {
protected:
    void SetUp() override {
        ModbusTest::SetUp();
        setenv("PLC_PORT_OFFSET", std::to_string(NetFreePortOffset(502)).c_str(), 1);
        Root_Init();
        Nx_Reset();
        area_.resize(200 * 1564);
        _nx_packet_pool_create(&pool_, "Packet Pool", 1520, area_.data(), static_cast<u32>(area_.size()));
        ip_.name = "eth0";
        ip_.pool = &pool_;
        ASSERT_EQ(Modbus_Init(&ip_, &pool_), 0u);
    }
    void TearDown() override {
        ModbusTest::TearDown();
        Nx_Reset();
        unsetenv("PLC_PORT_OFFSET");
        Root_Init();
    }
    int Connect() { return ConnectLoopback(502 + Root_PortOffset()); }
    void Pass() {
        Modbus_Scan(0);
        EnetThread();
        Nx_IdleWait(1);
    }
    std::vector<u8> Receive(int fd, size_t want) {
        std::vector<u8> got;
        for (int i = 0; i < 500 && got.size() < want; ++i) {
            Pass();
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 0) > 0) {
                u8 buf[512];
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0) break;
                got.insert(got.end(), buf, buf + n);
            }
        }
        return got;
    }

    // True once the server closed fd (a few passes are run first).
    bool ClosedByServer(int fd) {
        for (int i = 0; i < 500; ++i) {
            Pass();
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 0) > 0) {
                u8 b;
                if (recv(fd, &b, 1, MSG_DONTWAIT) <= 0) return true;
            }
        }
        return false;
    }
    // Sends one request and answers whether its answer came back.
    bool Answered(int fd, u16 transaction) {
        std::vector<u8> req = Frame(3, 10000, 1);
        PutBe16(&req[0], transaction);
        if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) return false;
        std::vector<u8> got = Receive(fd, 11);
        return got.size() == 11u && GetBe16(&got[0]) == transaction;
    }

    ManualClock clock_;
    TempRoot root_;
    std::vector<u8> area_;
    NxPacketPool pool_;
    NxIp ip_;
};

// A frame begun must be whole within the frame time, however often bytes
// come: a byte every 100 ms does not keep a 12-byte frame alive.
TEST_F(ModbusLoopback, FrameTrickledSlowerThanTheFrameTimeLosesItsConnection) {
    struct Case {
        const char* name;
        u32 stepMs;
        bool answered;
    } cases[] = {{"whole within the time", 80, true}, {"too slow", 120, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int fd = Connect();
        ASSERT_GE(fd, 0);
        std::vector<u8> req = Frame(3, 10000, 1);
        bool closed = false;
        for (size_t i = 0; i < req.size() && !closed; ++i) {
            if (i) clock_.AdvanceMs(c.stepMs);
            ASSERT_EQ(send(fd, &req[i], 1, MSG_NOSIGNAL), 1);
            // The byte is taken in before the clock moves on.
            for (int k = 0; k < 20; ++k) Pass();
            pollfd p{fd, POLLIN, 0};
            closed = poll(&p, 1, 0) > 0;
        }
        if (c.answered) {
            std::vector<u8> got = Receive(fd, 11);
            EXPECT_EQ(got.size(), 11u);
        } else {
            EXPECT_TRUE(ClosedByServer(fd));
        }
        close(fd);
        for (int k = 0; k < 20; ++k) Pass();
    }
}

// With every slot taken, a newcomer gets the slot of the connection quiet
// longest once that one has been quiet for the frame time; the connections
// still talking keep theirs.
TEST_F(ModbusLoopback, FullTableGivesTheQuietestSlotToANewcomer) {
    std::vector<int> fds;
    for (u32 i = 0; i < kModbusSockets; ++i) {
        int fd = Connect();
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
        for (int k = 0; k < 20 && Modbus_Conn_Cnt(0) < i + 1; ++k) Pass();
    }
    ASSERT_EQ(Modbus_Conn_Cnt(0), kModbusSockets);
    clock_.AdvanceMs(kModbusFrameMs + 1);
    // All but the first talk again.
    for (u32 i = 1; i < kModbusSockets; ++i) ASSERT_TRUE(Answered(fds[i], static_cast<u16>(i))) << i;
    int newcomer = Connect();
    ASSERT_GE(newcomer, 0);
    EXPECT_TRUE(Answered(newcomer, 0x7777));
    EXPECT_TRUE(ClosedByServer(fds[0]));
    for (u32 i = 1; i < kModbusSockets; ++i) EXPECT_TRUE(Answered(fds[i], static_cast<u16>(0x100 + i))) << i;
    for (int fd : fds) close(fd);
    close(newcomer);
}

// An answer is owed only while its send could not leave; the connection
// that was owed it going must not hand it to the next one on its slot.
TEST_F(ModbusLoopback, NewConnectionNeverGetsTheAnswerOwedToTheOldOne) {
    int first = Connect();
    ASSERT_GE(first, 0);
    for (int i = 0; i < 50 && Modbus_Conn_Cnt(0) < 1; ++i) Pass();
    int served = -1;
    for (int s = 0; s < static_cast<int>(kModbusSockets); ++s)
        if (ModbusConnEth[0].sockets[s].socket.state == NX_TCP_ESTABLISHED) served = s;
    ASSERT_GE(served, 0);
    // A read whose answer found the connection full, as the slot keeps it.
    std::vector<u8> req = Frame(3, 10000, 1);
    PutBe16(&req[0], 0x0101);
    ModbusOutcome o = Modbus_Process(0, req.data(), static_cast<u32>(req.size()), tx_);
    ASSERT_EQ(o.kind, ModbusOutcome::kRead);
    ModbusConnEth[0].sockets[served].read = o.read;
    close(first);
    for (int i = 0; i < 50; ++i) EnetThread();  // the close is seen, the socket listens again

    int second = Connect();
    ASSERT_GE(second, 0);
    std::vector<u8> req2 = Frame(3, 10000, 1);
    PutBe16(&req2[0], 0x0202);
    send(second, req2.data(), req2.size(), 0);
    std::vector<u8> got = Receive(second, 11);
    ASSERT_GE(got.size(), 11u);
    EXPECT_EQ(GetBe16(&got[0]), 0x0202);
    EXPECT_EQ(got.size(), 11u);
    close(second);
}

// One step serves every complete frame waiting on every connection: a read
// is answered in the step that takes it, from the registers as they stand
// after the frames before it, and each connection gets its answers in the
// order of its requests. The same holds for the serving before the scan.
TEST_F(ModbusLoopback, OneStepAnswersEveryWaitingFrameOnEveryConnectionInOrder) {
    for (bool beforeScan : {false, true}) {
        SCOPED_TRACE(beforeScan ? "before the scan" : "the step");
        constexpr int kClients = 3;
        int fds[kClients];
        for (int c = 0; c < kClients; ++c) {
            fds[c] = Connect();
            ASSERT_GE(fds[c], 0);
        }
        for (int i = 0; i < 50 && Modbus_Conn_Cnt(0) < kClients; ++i) Pass();
        ASSERT_EQ(Modbus_Conn_Cnt(0), static_cast<u32>(kClients));
        u16 r1 = 0x4444;
        ASSERT_TRUE(PlcReg_Set(0x8000, &r1, 16));  // %R1
        // Each client sends read, write, read of %R1 (holding register 10000) at once.
        for (int c = 0; c < kClients; ++c) {
            std::vector<u8> all;
            std::vector<u8> read = Frame(3, 10000, 1), write = Frame(6, 10000, static_cast<u16>(0x100 + c));
            PutBe16(&read[0], 1);
            all.insert(all.end(), read.begin(), read.end());
            PutBe16(&write[0], 2);
            all.insert(all.end(), write.begin(), write.end());
            PutBe16(&read[0], 3);
            all.insert(all.end(), read.begin(), read.end());
            ASSERT_EQ(send(fds[c], all.data(), all.size(), 0), static_cast<ssize_t>(all.size()));
        }
        // The bytes are with the server's sockets before its one step.
        for (const ModbusSocketEntry& e : ModbusConnEth[0].sockets) {
            if (e.socket.state != NX_TCP_ESTABLISHED) continue;
            pollfd p{e.socket.connFd, POLLIN, 0};
            ASSERT_EQ(poll(&p, 1, 1000), 1);
        }
        if (beforeScan) Modbus_Serve();
        else Modbus_Scan(0);
        for (int c = 0; c < kClients; ++c) {
            SCOPED_TRACE(c);
            u8 got[64];
            ssize_t n = 0;
            // Everything was sent within the step: it is there without another one.
            for (int k = 0; k < 100 && n < 34; ++k) {
                pollfd p{fds[c], POLLIN, 0};
                if (poll(&p, 1, 100) != 1) continue;
                ssize_t m = recv(fds[c], got + n, sizeof got - static_cast<size_t>(n), 0);
                if (m <= 0) break;
                n += m;
            }
            ASSERT_EQ(n, 11 + 12 + 11);
            EXPECT_EQ(GetBe16(&got[0]), 1);
            EXPECT_EQ(GetBe16(&got[11]), 2);
            EXPECT_EQ(GetBe16(&got[23]), 3);
            EXPECT_EQ(got[11 + 7], 6);
            // The last read sees the write its own connection made just before.
            EXPECT_EQ(GetBe16(&got[23 + 9]), 0x100 + c);
        }
        for (int fd : fds) close(fd);
        for (int i = 0; i < 50 && Modbus_Conn_Cnt(0) > 0; ++i) Pass();
    }
}

TEST_F(ModbusLoopback, LeavingRunModeClosesConnections) {
    int fd = Connect();
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 20; ++i) Pass();
    EXPECT_EQ(Modbus_Conn_Cnt(0), 1u);
    PutLe16(DprMap + kDprRunFlag, 0);
    Pass();
    EXPECT_EQ(Modbus_Conn_Cnt(0), 0u);
    EXPECT_EQ(ModbusConnEth[0].active, 0);
    u8 b;
    EXPECT_EQ(recv(fd, &b, 1, 0), 0);  // closed by the server
    close(fd);
    EXPECT_LT(Connect(), 0);  // nothing listens
    PutLe16(DprMap + kDprRunFlag, 1);
    Pass();
    int again = Connect();
    EXPECT_GE(again, 0);
    if (again >= 0) close(again);
}

// An IEC application loaded after the configuration was read has no IEC
// settings of its own: the server goes on listening on the register set's
// port with the register map, also after leaving and re-entering run mode.
TEST_F(ModbusLoopback, IecApplicationWithoutItsOwnSettingsKeepsTheListener) {
    QuilletRuntime = 1;
    quillet_variables_enumerateded = 1;
    PutLe16(DprMap + kDprRunFlag, 0);
    Pass();
    PutLe16(DprMap + kDprRunFlag, 1);
    Pass();
    int fd = Connect();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(Answered(fd, 0x0101));
    close(fd);
    QuilletRuntime = 0;
    quillet_variables_enumerateded = 0;
}

}  // namespace
