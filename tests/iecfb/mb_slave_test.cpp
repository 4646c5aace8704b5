// The Modbus slave blocks serving the application's tables: MBSLAVETCP to
// mbpoll, MBSLAVEUDP to python3-pymodbus in both framings, MBSLAVERTU to
// mbpoll on a socat pty pair and to a hand-made byte stream.
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
#include "iec/ext/q4mb.h"
#include "iec/ext/q4mbfb.h"
#include "iec/ext/q4mbfram.h"
#include "iec/kernel/q4link.h"
#include "platform/root.h"
#include "testsupport/loopback.h"
#include "testsupport/mbcfg_builder.h"
#include "testsupport/mb_peers.h"
#include "testsupport/net_namespace.h"
#include "testsupport/temp_root.h"

namespace {

// An application whose local server (unit 1) has holding registers 0-9
// (k = 100 + k at start) and coils 0-15; the blocks' operands.
struct SlaveApp {
    IecImageBuilder b;
    u16 conf, name;
    std::unique_ptr<FbDb> f;
    SlaveApp() {
        conf = b.String(20, "");
        name = b.String(20, "");
        b.ModbusConfig(MbCfgBuilder()
                           .Connection(1, "local", 1, kMbFlagServer)
                           .Add({.id = 1, .conn = 1, .function = 3, .address = 0, .quantity = 10, .bufSize = 20})
                           .Add({.id = 2, .conn = 1, .function = 1, .address = 0, .quantity = 16, .bufSize = 2})
                           .Build());
        f = std::make_unique<FbDb>(b);
        Q4MBView v;
        EXPECT_TRUE(Q4MB_View(f->Db(), &v));
        for (u32 k = 0; k < 10; ++k) PutLe16(Q4MB_Data(v, Q4MB_Request(v, 0)) + 2 * k, static_cast<u16>(100 + k));
    }
    u16 Reg(u32 k) {
        Q4MBView v;
        Q4MB_View(f->Db(), &v);
        return GetLe16(Q4MB_Data(v, Q4MB_Request(v, 0)) + 2 * k);
    }
};

// Runs the block until the peer command's output file ends with its exit
// line; answers the output.
std::string Serve(const std::function<void()>& exec, const std::string& command, const std::string& out) {
    PeerProcess p;
    std::remove(out.c_str());
    EXPECT_TRUE(p.Start("", "(" + command + ") >" + out + " 2>&1; echo EXIT $? >>" + out));
    for (int k = 0; k < 5000 && ReadTextFile(out).find("EXIT") == std::string::npos; ++k) {
        exec();
        poll(nullptr, 0, 1);
    }
    return ReadTextFile(out);
}

TEST(MbSlaveTcp, ServesMbpollOnItsOwnPort) {
    TempRoot root;
    SlaveApp app;
    FbDb& f = *app.f;
    std::array<u8, 16> inst{};
    const int port = FreeLoopbackPort(SOCK_STREAM);
    f.SetD(f.D(0), port - Root_PortOffset());
    f.SetB(f.B(0), true);
    std::vector<u16> ops{f.B(0), f.D(0), f.B(1)};
    f.Cmd(Q4MbFb_SlaveTcp, inst.data(), kFbInstanceInit);
    auto exec = [&] { f.Exec(Q4MbFb_SlaveTcp, inst.data(), ops); };
    exec();
    EXPECT_TRUE(f.GetB(f.B(1)));
    const std::string mb = "mbpoll -m tcp -p " + std::to_string(port) + " -1 -o 2 ";
    std::string out = Serve(exec, mb + "-a 1 -t 4 -r 1 -c 3 127.0.0.1", root.Dir() + "/out");
    EXPECT_NE(out.find("[1]: \t100"), std::string::npos) << out;
    EXPECT_NE(out.find("[3]: \t102"), std::string::npos) << out;
    out = Serve(exec, mb + "-a 1 -t 4 -r 5 127.0.0.1 4711 815", root.Dir() + "/out");
    EXPECT_NE(out.find("EXIT 0"), std::string::npos) << out;
    EXPECT_EQ(app.Reg(4), 4711);
    EXPECT_EQ(app.Reg(5), 815);
    // Out of the table: the exception reaches mbpoll; another unit: no answer.
    out = Serve(exec, mb + "-a 1 -t 4 -r 10 -c 2 127.0.0.1", root.Dir() + "/out");
    EXPECT_NE(out.find("Illegal data address"), std::string::npos) << out;
    out = Serve(exec, mb + "-a 9 -t 4 -r 1 127.0.0.1", root.Dir() + "/out");
    EXPECT_NE(out.find("timed out"), std::string::npos) << out;
    f.SetB(f.B(0), false);
    exec();
    EXPECT_FALSE(f.GetB(f.B(1)));
    f.Cmd(Q4MbFb_SlaveTcp, inst.data(), kFbInstanceEnd);
}

TEST(MbSlaveUdp, ServesBothFramingsToPymodbus) {
    TempRoot root;
    SlaveApp app;
    FbDb& f = *app.f;
    for (bool rtu : {false, true}) {
        std::array<u8, 4> inst{};
        const int port = FreeLoopbackPort(SOCK_DGRAM);
        f.SetD(f.D(0), port - Root_PortOffset());
        f.SetD(f.D(1), 1);
        f.SetB(f.B(0), true);
        f.SetB(f.B(2), rtu);
        // enable, port, slave, RTU frames -> OK
        std::vector<u16> ops{f.B(0), f.D(0), f.D(1), f.B(2), f.B(1)};
        f.Cmd(Q4MbFb_SlaveUdp, inst.data(), kFbInstanceInit);
        auto exec = [&] { f.Exec(Q4MbFb_SlaveUdp, inst.data(), ops); };
        exec();
        ASSERT_TRUE(f.GetB(f.B(1)));
        const std::string script =
            std::string("import sys\n"
                        "from pymodbus.client import ModbusUdpClient\n"
                        "from pymodbus.transaction import ModbusRtuFramer, ModbusSocketFramer\n") +
            "c = ModbusUdpClient('127.0.0.1', port=" + std::to_string(port) +
            ", framer=" + (rtu ? "ModbusRtuFramer" : "ModbusSocketFramer") + ", timeout=3)\n"
            "c.connect()\n"
            "w = c.write_register(2, 7000 + " + (rtu ? "1" : "0") + ", slave=1)\n"
            "r = c.read_holding_registers(0, 3, slave=1)\n"
            "print('REGS', r.registers)\n";
        std::ofstream(root.Dir() + "/udp.py") << script;
        std::string out = Serve(exec, "/usr/bin/python3 " + root.Dir() + "/udp.py", root.Dir() + "/out");
        EXPECT_NE(out.find(std::string("REGS [100, 101, ") + (rtu ? "7001" : "7000") + "]"), std::string::npos)
            << out;
        f.Cmd(Q4MbFb_SlaveUdp, inst.data(), kFbInstanceEnd);
    }
}

class MbSlaveRtu : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty_.Ok()) << "socat is missing";
        dir_ = root_.Dir();
        FbDb& f = *app_.f;
        f.SetD(f.D(0), 1);
        f.SetB(f.B(0), true);
        // enable, settings, slave, server name -> OK, NREQ, NGOOD, NEXC, NANS, NBCAST, NCRCERR
        ops_ = {f.B(0), app_.conf, f.D(0), app_.name, f.B(1), f.D(1), f.D(2), f.D(3), f.D(4), f.D(5), f.D(6)};
        f.Cmd(Q4MbFb_SlaveRtuExD, inst_.data(), kFbInstanceInit);
        Exec();
        ASSERT_TRUE(f.GetB(f.B(1)));
    }
    void TearDown() override {
        app_.f->Cmd(Q4MbFb_SlaveRtuExD, inst_.data(), kFbInstanceEnd);
    }
    void Exec() { app_.f->Exec(Q4MbFb_SlaveRtuExD, inst_.data(), ops_); }
    i32 Counter(int k) { return app_.f->GetD(app_.f->D(static_cast<u16>(1 + k))); }
    TempRoot root_;
    LentPty pty_{root_.Dir()};
    SlaveApp app_;
    std::string dir_;
    std::array<u8, kMbsBytes> inst_{};
    std::vector<u16> ops_;
};

TEST_F(MbSlaveRtu, ServesMbpoll) {
    const std::string mb = "mbpoll -m rtu -b 115200 -P none -1 -o 2 ";
    std::string out = Serve([&] { Exec(); }, mb + "-a 1 -t 4 -r 2 -c 2 " + pty_.PeerPath(), dir_ + "/out");
    EXPECT_NE(out.find("[2]: \t101"), std::string::npos) << out;
    EXPECT_NE(out.find("[3]: \t102"), std::string::npos) << out;
    out = Serve([&] { Exec(); }, mb + "-a 1 -t 0 -r 1 " + pty_.PeerPath() + " 1", dir_ + "/out");
    EXPECT_NE(out.find("EXIT 0"), std::string::npos) << out;
    EXPECT_EQ(Counter(kMbsNReq), 2);
    EXPECT_EQ(Counter(kMbsNAns), 2);
}

// Bytes written by a master on the line: another slave's exchange, a frame
// with a bad CRC, a broadcast, and requests in pieces.
TEST_F(MbSlaveRtu, ParsesAndResynchronisesTheByteStream) {
    int m = open((pty_.PeerPath()).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(m, 0);
    auto frame = [](std::vector<u8> b) {
        b.resize(b.size() + 2);
        Q4MBFram_AppendCrc(b.data(), static_cast<u32>(b.size() - 2));
        return b;
    };
    auto send = [&](const std::vector<u8>& b) { ASSERT_EQ(write(m, b.data(), b.size()), static_cast<ssize_t>(b.size())); };
    auto answer = [&](size_t n) {
        std::vector<u8> got;
        for (int k = 0; k < 2500 && got.size() < n; ++k) {
            Exec();
            u8 b[300];
            ssize_t r = read(m, b, sizeof b);
            if (r > 0) got.insert(got.end(), b, b + r);
            else poll(nullptr, 0, 1);
        }
        return got;
    };
    std::vector<u8> read2 = frame({1, 3, 0, 0, 0, 2});
    std::vector<u8> stream;
    std::vector<u8> other = frame({5, 3, 0, 0, 0, 1});
    std::vector<u8> otherAnswer = frame({5, 3, 2, 0, 7});
    std::vector<u8> bad = read2;
    bad.back() ^= 1;
    stream.insert(stream.end(), other.begin(), other.end());
    stream.insert(stream.end(), otherAnswer.begin(), otherAnswer.end());
    stream.insert(stream.end(), bad.begin(), bad.end());
    send(stream);
    send({read2.begin(), read2.begin() + 3});
    for (int k = 0; k < 5; ++k) Exec();
    send({read2.begin() + 3, read2.end()});
    std::vector<u8> a = answer(9);
    EXPECT_EQ(a, frame({1, 3, 4, 0, 100, 0, 101}));
    EXPECT_GE(Counter(kMbsNCrcErr), 1);
    EXPECT_EQ(Counter(kMbsNReq), 1);
    EXPECT_EQ(Counter(kMbsNGood), 2);  // the other slave's request too (its answer is only dropped)
    // A broadcast write is carried out and not answered; an unknown
    // function gets exception 1.
    send(frame({0, 6, 0, 9, 0x12, 0x34}));
    for (int k = 0; k < 50 && Counter(kMbsNBcast) == 0; ++k) Exec(), poll(nullptr, 0, 1);
    EXPECT_EQ(Counter(kMbsNBcast), 1);
    EXPECT_EQ(app_.Reg(9), 0x1234);
    send(frame({1, 8, 0, 1, 0, 0}));
    EXPECT_EQ(answer(5), frame({1, 0x88, 1}));
    EXPECT_EQ(Counter(kMbsNExc), 1);
    close(m);
}

}  // namespace
