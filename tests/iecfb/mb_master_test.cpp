// The Modbus master blocks against a python3-pymodbus server over TCP and
// RTU on a socat pty pair, and against hand-made hostile answers.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "core/plc_regs.h"
#include "core/wiring.h"
#include "fb_fixture.h"
#include "iec/ext/q4mbfb.h"
#include "iec/ext/q4mbfram.h"
#include "iec/kernel/q4link.h"
#include "platform/root.h"
#include "testsupport/loopback.h"
#include "testsupport/mb_peers.h"
#include "testsupport/net_namespace.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

// The peers are real programs on ptys: the bound leaves a loaded machine room.
bool Until(const std::function<bool()>& done, int rounds = 10000) { return PollUntil(done, rounds); }

// Operands of one master block over a database with an INT and a BOOL
// array of 16 elements.
struct Master {
    IecImageBuilder b;
    u16 ints, bools, bytes, ip;
    std::unique_ptr<FbDb> f;
    std::array<u8, kMbmBytes> inst{};
    bool tcp;
    Q4FbHandler h;
    explicit Master(bool isTcp, const std::string& address = "127.0.0.1")
        : tcp(isTcp), h(isTcp ? Q4MbFb_MasterTcp : Q4MbFb_MasterRtu) {
        ints = b.Array(kQ4TypeInt, 16);
        bools = b.Array(kQ4TypeBool, 16);
        bytes = b.Array(kQ4TypeUsint, 16);
        ip = b.String(20, address);
        f = std::make_unique<FbDb>(b);
        f->Cmd(h, inst.data(), kFbInstanceInit);
        f->SetT(f->T(0), 300);
    }
    // type, enable, request, slave, function, raddr, rqty, waddr, wqty, data, count, timeout, ip|port, ...
    std::vector<u16> Ops(u16 type, u16 array) {
        std::vector<u16> o{type, f->B(0), f->B(1), f->D(0), f->D(1), f->D(2), f->D(3), f->D(4), f->D(5), array, 16,
                           f->T(0), ip};
        if (tcp) o.push_back(f->D(6));
        o.insert(o.end(), {f->B(2), f->B(3), f->D(7)});
        return o;
    }
    void Run(const std::vector<u16>& ops) { f->Exec(h, inst.data(), ops); }
    bool Ready() { return f->GetB(f->B(2)); }
    bool Done() { return f->GetB(f->B(3)); }
    i32 Error() { return f->GetD(f->D(7)); }
    u8 State() { return inst[kMbmState]; }
    void Enable(const std::vector<u16>& ops, int port = 0) {
        f->SetD(f->D(6), port - static_cast<int>(Root_PortOffset()));
        f->SetB(f->B(0), true);
        ASSERT_TRUE(Until([&] {
            Run(ops);
            return Ready();
        })) << "error " << Error();
    }
    // One exchange: a request edge, then executions until the block is ready
    // again. Answers the error output.
    i32 Exchange(const std::vector<u16>& ops, u32 slave, u32 function, u32 raddr, u32 rqty, u32 waddr = 0,
                 u32 wqty = 0) {
        f->SetD(f->D(0), static_cast<i32>(slave));
        f->SetD(f->D(1), static_cast<i32>(function));
        f->SetD(f->D(2), static_cast<i32>(raddr));
        f->SetD(f->D(3), static_cast<i32>(rqty));
        f->SetD(f->D(4), static_cast<i32>(waddr));
        f->SetD(f->D(5), static_cast<i32>(wqty));
        f->SetB(f->B(1), false);
        Run(ops);
        f->SetB(f->B(1), true);
        Run(ops);
        Until([&] {
            if (State() == kMbmReady) return true;
            Run(ops);
            return false;
        });
        return Error();
    }
    i16 Int(u16 k) { return static_cast<i16>(GetLe16(f->Vm().Data16(static_cast<u16>(ints + k)))); }
    void SetInt(u16 k, u16 v) { PutLe16(f->Vm().Data16(static_cast<u16>(ints + k)), v); }
    u8 Bool(u16 k) { return *f->Vm().Data8(static_cast<u16>(bools + k)); }
    void SetBool(u16 k, bool v) { *f->Vm().Data8(static_cast<u16>(bools + k)) = v; }
};

class MbMasterTcp : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = FreeLoopbackPort(SOCK_STREAM);
        log_ = root_.Dir() + "/peer.log";
        ASSERT_TRUE(peer_.Start("", "exec /usr/bin/python3 " PLC_SOURCE_DIR "/tests/iecext/mb_server.py tcp 127.0.0.1 " +
                                        std::to_string(port_) + " " + log_ + " 2>>" + log_));
        ASSERT_TRUE(Until([&] { return ReadTextFile(log_).find("listening") != std::string::npos; }))
            << "python3-pymodbus is missing";
        ASSERT_TRUE(Until([&] { return Shell("ss -ltn").find(":" + std::to_string(port_) + " ") != std::string::npos; }));
    }
    TempRoot root_;
    PeerProcess peer_;
    int port_ = 0;
    std::string log_;
};

TEST_F(MbMasterTcp, ReadsWritesAndReportsErrorsAgainstPymodbus) {
    Master m(true);
    std::vector<u16> regs = m.Ops(kQ4TypeInt, m.ints), bits = m.Ops(kQ4TypeBool, m.bools);
    m.Enable(regs, port_);
    EXPECT_EQ(m.Exchange(regs, 1, 3, 1, 3), 0);
    EXPECT_TRUE(m.Done());
    EXPECT_EQ(m.Int(0), 1000);
    EXPECT_EQ(m.Int(2), 1002);
    EXPECT_EQ(m.Exchange(regs, 1, 4, 11, 2), 0);
    EXPECT_EQ(m.Int(1), 2011);
    EXPECT_EQ(m.Exchange(bits, 1, 1, 1, 7), 0);
    for (u16 k = 0; k < 7; ++k) EXPECT_EQ(m.Bool(k), k % 3 == 0) << k;
    EXPECT_EQ(m.Exchange(bits, 1, 2, 2, 5), 0);
    for (u16 k = 0; k < 5; ++k) EXPECT_EQ(m.Bool(k), (k + 1) % 2 == 0) << k;
    m.SetInt(0, 7), m.SetInt(1, 0xFFFF), m.SetInt(2, 9);
    EXPECT_EQ(m.Exchange(regs, 1, 16, 0, 0, 21, 3), 0);
    EXPECT_EQ(m.Exchange(regs, 1, 6, 0, 0, 31, 1), 0);
    m.SetBool(0, true), m.SetBool(1, false), m.SetBool(2, true);
    EXPECT_EQ(m.Exchange(bits, 1, 15, 0, 0, 41, 3), 0);
    EXPECT_EQ(m.Exchange(bits, 1, 5, 0, 0, 51, 1), 0);
    EXPECT_EQ(m.Exchange(regs, 1, 23, 21, 2, 61, 1), 0);
    EXPECT_EQ(m.Int(0), 7);
    EXPECT_EQ(m.Int(1), -1);
    std::string log = ReadTextFile(log_);
    EXPECT_NE(log.find("16 20 7,65535,9"), std::string::npos) << log;
    EXPECT_NE(log.find("6 30 7"), std::string::npos) << log;
    EXPECT_NE(log.find("15 40 1,0,1"), std::string::npos) << log;
    EXPECT_NE(log.find("5 50 1"), std::string::npos) << log;
    // An exception answer (address outside the server's table) and the
    // argument errors, none of which sends anything or closes the block.
    EXPECT_EQ(m.Exchange(regs, 1, 3, 600, 2), 2);
    EXPECT_FALSE(m.Done());
    struct Case {
        u32 slave, function, raddr, rqty, waddr, wqty;
        u16 type;
        i32 error;
    } cases[] = {
        {256, 3, 1, 1, 0, 0, kQ4TypeInt, 200},    {1, 3, 0, 1, 0, 0, kQ4TypeInt, 201},
        {1, 3, 65537, 1, 0, 0, kQ4TypeInt, 201},  {1, 3, 1, 126, 0, 0, kQ4TypeInt, 204},
        {1, 3, 1, 17, 0, 0, kQ4TypeInt, 204},     {1, 1, 1, 8, 0, 0, kQ4TypeInt, 203},
        {1, 16, 0, 0, 1, 0, kQ4TypeInt, 204},     {1, 5, 0, 0, 1, 2, kQ4TypeBool, 204},
        {1, 99, 1, 1, 0, 0, kQ4TypeInt, 1},       {1, 23, 1, 1, 0, 1, kQ4TypeInt, 201},
    };
    for (const Case& c : cases) {
        std::vector<u16> ops = m.Ops(c.type, c.type == kQ4TypeInt ? m.ints : m.bools);
        EXPECT_EQ(m.Exchange(ops, c.slave, c.function, c.raddr, c.rqty, c.waddr, c.wqty), c.error) << c.function;
        EXPECT_EQ(m.State(), kMbmReady);
    }
    EXPECT_EQ(m.Exchange(regs, 1, 3, 5, 1), 0);  // still usable
    EXPECT_EQ(m.Int(0), 1004);
    m.f->SetB(m.f->B(0), false);
    m.Run(regs);
    EXPECT_EQ(m.State(), kMbmClosed);
    EXPECT_FALSE(m.Ready());
}

// A hand-made slave: answers each request with the frames the test gives.
class MbMasterHostile : public ::testing::Test {
protected:
    void SetUp() override {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t n = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
        listen(listener_, 1);
    }
    void TearDown() override {
        if (conn_ >= 0) close(conn_);
        close(listener_);
    }
    // Waits for the request, answers the request's frame (12 bytes).
    std::string Request(Master& m, const std::vector<u16>& ops) {
        if (conn_ < 0) conn_ = accept(listener_, nullptr, nullptr);
        u8 b[300];
        ssize_t n = 0;
        Until([&] {
            m.Run(ops);
            n = recv(conn_, b, sizeof b, MSG_DONTWAIT);
            return n > 0;
        });
        return std::string(reinterpret_cast<char*>(b), n > 0 ? static_cast<size_t>(n) : 0);
    }
    int listener_ = -1, conn_ = -1, port_ = 0;
};

TEST_F(MbMasterHostile, ForeignIdsShortAnswersAndTimeOut) {
    Master m(true);
    std::vector<u16> regs = m.Ops(kQ4TypeInt, m.ints);
    m.Enable(regs, port_);
    struct Case {
        const char* name;
        std::vector<u8> answer;  // after the MBAP header; {} = none
        bool foreignFirst;
        i32 error;
    } cases[] = {
        {"answer", {1, 3, 4, 0, 5, 0, 6}, true, 0},
        {"byte count beyond the frame", {1, 3, 8, 0, 5, 0, 6}, false, 202},
        {"byte count beyond the array", {1, 3, 34}, false, 202},
        {"exception", {1, 0x83, 4}, false, 4},
        {"unknown function", {1, 0x42, 0}, false, 1},
        {"no answer", {}, false, 128},
    };
    for (const Case& c : cases) {
        m.SetInt(0, 0x5555);
        m.f->SetNow(1000);
        m.f->SetD(m.f->D(0), 1), m.f->SetD(m.f->D(1), 3), m.f->SetD(m.f->D(2), 1), m.f->SetD(m.f->D(3), 2);
        m.f->SetB(m.f->B(1), false);
        m.Run(regs);
        m.f->SetB(m.f->B(1), true);
        std::string req = Request(m, regs);
        ASSERT_EQ(req.size(), 12u) << c.name;
        EXPECT_EQ(req.substr(6), std::string("\x01\x03\x00\x00\x00\x02", 6)) << c.name;
        std::vector<u8> a(req.begin(), req.begin() + 6);
        if (c.foreignFirst) {
            std::vector<u8> foreign = a;
            foreign[1] ^= 0x40;
            PutBe16(foreign.data() + 4, 3);
            foreign.insert(foreign.end(), {1, 0x83, 2});
            send(conn_, foreign.data(), foreign.size(), 0);
        }
        if (!c.answer.empty()) {
            PutBe16(a.data() + 4, static_cast<u16>(c.answer.size()));
            a.insert(a.end(), c.answer.begin(), c.answer.end());
            // Sent in two pieces: the block reassembles them.
            send(conn_, a.data(), 4, 0);
            m.Run(regs);
            send(conn_, a.data() + 4, a.size() - 4, 0);
        }
        bool ended = Until([&] {
            m.Run(regs);
            return m.State() == kMbmReady;
        }, c.answer.empty() ? 50 : 2500);
        if (c.answer.empty()) {
            EXPECT_FALSE(ended);  // nothing happens before the time-out
            m.f->SetNow(1301);
            m.Run(regs);
        }
        EXPECT_EQ(m.State(), kMbmReady) << c.name;
        EXPECT_EQ(m.Error(), c.error) << c.name;
        EXPECT_EQ(m.Done(), c.error == 0) << c.name;
        EXPECT_EQ(static_cast<u16>(m.Int(0)), c.error == 0 ? 5 : 0x5555) << c.name;
    }
}

// RTU over a pty pair that socat makes, the controller's end lent to the
// runtime as its serial port.
class MbMasterRtu : public ::testing::Test {
protected:
    void SetUp() override {
        Q4MbFb_Reset();
        ASSERT_TRUE(pty_.Ok()) << "socat is missing";
        log_ = root_.Dir() + "/peer.log";
        ASSERT_TRUE(peer_.Start("", "exec /usr/bin/python3 " PLC_SOURCE_DIR "/tests/iecext/mb_server.py rtu " +
                                        pty_.PeerPath() + " 0 " + log_ + " 2>>" + log_));
        ASSERT_TRUE(Until([&] { return ReadTextFile(log_).find("listening") != std::string::npos; }));
    }
    TempRoot root_;
    LentPty pty_{root_.Dir()};
    PeerProcess peer_;
    std::string log_;
};

TEST_F(MbMasterRtu, ReadsAndWritesOnTheSerialLineOneMasterAtATime) {
    Master m(false), other(false);
    std::vector<u16> regs = m.Ops(kQ4TypeInt, m.ints), oregs = other.Ops(kQ4TypeInt, other.ints);
    m.f->SetT(m.f->T(0), 2000);
    other.f->SetT(other.f->T(0), 2000);
    m.Enable(regs);
    other.Enable(oregs);
    m.f->SetNow(1000);
    i32 e = m.Exchange(regs, 1, 3, 1, 2);
    ASSERT_EQ(e, 0);
    EXPECT_EQ(m.Int(0), 1000);
    EXPECT_EQ(m.Int(1), 1001);
    // Two masters asked together: the second waits for the line.
    m.SetInt(0, 77);
    for (Master* x : {&m, &other}) {
        x->f->SetD(x->f->D(0), 1);
        x->f->SetD(x->f->D(1), x == &m ? 6 : 3);
        x->f->SetD(x->f->D(2), 10), x->f->SetD(x->f->D(3), 1);
        x->f->SetD(x->f->D(4), 10), x->f->SetD(x->f->D(5), 1);
        x->f->SetB(x->f->B(1), false);
    }
    m.Run(regs), other.Run(oregs);
    m.f->SetB(m.f->B(1), true), other.f->SetB(other.f->B(1), true);
    m.Run(regs), other.Run(oregs);
    EXPECT_EQ(m.State(), kMbmAwaiting);
    EXPECT_EQ(other.State(), kMbmReady);
    EXPECT_EQ(other.inst[kMbmWaiting], 1);
    ASSERT_TRUE(Until([&] {
        m.Run(regs), other.Run(oregs);
        return m.Done() && other.Done();
    }));
    EXPECT_EQ(other.Int(0), 77);  // read after the write
    EXPECT_NE(ReadTextFile(log_).find("6 9 77"), std::string::npos);
    // A broadcast completes without an answer.
    m.f->SetD(m.f->D(0), 0);
    m.f->SetB(m.f->B(1), false);
    m.Run(regs);
    m.f->SetB(m.f->B(1), true);
    m.Run(regs);
    EXPECT_TRUE(m.Done());
    EXPECT_EQ(m.State(), kMbmReady);
}

}  // namespace
