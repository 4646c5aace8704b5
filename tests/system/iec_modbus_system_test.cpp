// System test of the IEC application's own Modbus server on the real
// executable, on the controller's clock driven by the test: mbpoll and
// python3-pymodbus read and write the application's tables through an
// MBSLAVETCP port, UDP slaves in both framings, the MBSLAVERTU block on the
// serial port the controller lends (one end of a socat pty pair) and the
// workbench port after the hand-over; the device identification the program
// sets is read back; hostile frames get exceptions or are dropped and the
// controller stays up.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "iec/ext/q4mb.h"
#include "platform/fileio.h"
#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/libmodbus_peer.h"
#include "testsupport/loopback.h"
#include "testsupport/mb_peers.h"
#include "testsupport/mbcfg_builder.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/net_namespace.h"
#include "testsupport/socat_pair.h"
#include "testsupport/temp_root.h"
#include "testsupport/tovra_host.h"
#include "testsupport/workbench_client.h"

namespace {

constexpr int kStartMs = 30000;
constexpr u16 kLinkPort = 18501, kTcpSlave = 1502, kUdpSlave = 1503, kUdpRtuSlave = 1504;
constexpr u32 kSR5 = 2 * (127 + 5), kSR163 = 2 * (127 + 163);

// Holding registers 0-9 of the local server (unit 1): register 0 is written
// by clients and copied by the program into register 1; register 9 counts
// the cycles. One MBSLAVETCP, two MBSLAVEUDP and one MBSLAVERTU block serve
// it; the program sets the device identification.
std::vector<u8> App() {
    IecImageBuilder b;
    u16 in = b.Var(kQ4TypeInt), copy = b.Var(kQ4TypeInt), cycles = b.Var(kQ4TypeInt), one = b.Var(kQ4TypeInt, 1);
    u16 on = b.Var(kQ4TypeBool, 1), off = b.Var(kQ4TypeBool, 0), ok1 = b.Var(kQ4TypeBool), ok2 = b.Var(kQ4TypeBool),
        ok3 = b.Var(kQ4TypeBool), ok4 = b.Var(kQ4TypeBool), identOk = b.Var(kQ4TypeBool);
    u16 vendor = b.String(20, "Test Vendor"), product = b.String(20, "PLC-7"), revision = b.String(20, "2.3"),
        settings = b.String(20, "115200,N,8,1");
    u16 words = b.Var(kQ4TypeInt, 0x1234);
    b.Var(kQ4TypeInt, 0xBEEF);  // words[1]
    u16 tcpPort = b.Var(kQ4TypeDint, kTcpSlave), udpPort = b.Var(kQ4TypeDint, kUdpSlave),
        rtuPort = b.Var(kQ4TypeDint, kUdpRtuSlave), unit = b.Var(kQ4TypeDint, 1);
    b.ModbusConfig(MbCfgBuilder()
                       .Connection(1, "local", 1, kMbFlagServer)
                       .Add({.id = 1, .conn = 1, .function = 3, .address = 0, .quantity = 10, .bufSize = 20})
                       .Mapping({.request = 1, .offset = 0, .varType = kQ4TypeInt, .varIndex = in, .kind = 0})
                       .Mapping({.request = 1, .offset = 1, .varType = kQ4TypeInt, .varIndex = copy, .kind = 1})
                       .Mapping({.request = 1, .offset = 9, .varType = kQ4TypeInt, .varIndex = cycles, .kind = 1})
                       .Build());
    b.FbClass(53, "MBSLAVETCP");
    b.FbClass(38, "MBSLAVEUDP");
    b.FbClass(39, "MBSLAVERTU");
    u16 tcp = b.FbInstance(53, true), udp = b.FbInstance(38, true), udpRtu = b.FbInstance(38, true),
        serial = b.FbInstance(39, true);
    TicAssembler t;
    t.Op("CALL_STF", {218, 6, identOk, vendor, product, revision, words, 2})
        .Op("CALL_FB", {tcp, 3, on, tcpPort, ok1})
        .Op("CALL_FB", {udp, 5, on, udpPort, unit, off, ok2})
        .Op("CALL_FB", {udpRtu, 5, on, rtuPort, unit, on, ok3})
        .Op("CALL_FB", {serial, 4, on, settings, unit, ok4})
        .Op("MOVE_INT", {copy, in})
        .Op("ADD_INT", {cycles, cycles, one})
        .Op("END");
    b.Program(t.Finish());
    return b.Build();
}

class IecModbusSystem : public ::testing::Test {
protected:
    void SetUp() override {
        offset = NetFreePortOffset(kLinkPort);
        setenv("PLC_PORT_OFFSET", std::to_string(offset).c_str(), 1);
        {
            FirmwareProcess first;  // writes the default blocks and register image
            ASSERT_TRUE(first.Start());
            ASSERT_TRUE(first.WaitForOutput("main loop running", kStartMs)) << first.Output();
            first.Signal(SIGTERM);
            ASSERT_TRUE(first.WaitExit(kStartMs));
        }
        ASSERT_TRUE(IecStoreApp(root.Path("/mnt/cfg/ladder.pgm"), App(), RegLocTable()));
        std::vector<u8> image;
        ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), image, 1u << 20));
        PutLe16(&image[8 + kSR5], 2);     // run mode
        PutLe16(&image[8 + kSR163], 10);  // port 1 is lent to the IEC runtime
        PutLe16(&image[0], crc16(&image[8], static_cast<u32>(image.size() - 8)));
        ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/autoreg.dta"), image.data(), image.size()));
        pty = std::make_unique<SocatPair>(root.Path("/dev/ttySP4"), root.Path("/tmp/peer"));
        ASSERT_TRUE(pty->Ready()) << "socat is missing";
        if (!hostClock) clock = std::make_unique<BoardClock>();
        ASSERT_TRUE(fw.Start());
        if (hostClock) {
            ASSERT_TRUE(fw.WaitForOutput("main loop running", kStartMs)) << fw.Output();
            return;
        }
        ASSERT_TRUE(clock->AdvanceToOutput(fw, "main loop running")) << fw.Output();
        ASSERT_TRUE(clock->Advance(200));
    }
    void TearDown() override {
        if (fw.Running()) {
            fw.Signal(SIGTERM);
            if (clock) clock->AdvanceToExit(fw);
            fw.WaitExit(kStartMs);
        }
        unsetenv("PLC_PORT_OFFSET");
    }
    // Runs a peer command while the controller's clock moves; its output.
    std::string Peer(const std::string& command) {
        const std::string out = root.Path("/tmp/peer.out");
        std::remove(out.c_str());
        PeerProcess p;
        EXPECT_TRUE(p.Start("", "(" + command + ") >" + out + " 2>&1; echo EXIT $? >>" + out));
        EXPECT_TRUE(clock->AdvanceUntil([&] { return ReadTextFile(out).find("EXIT") != std::string::npos; }, 60000))
            << ReadTextFile(out);
        return ReadTextFile(out);
    }
    std::string Mbpoll(int port, const std::string& args, const std::string& values = "") {
        return Peer("mbpoll -m tcp -p " + std::to_string(port + offset) + " -1 -o 3 " + args + " 127.0.0.1 " + values);
    }
    // A raw frame over a connection of its own; the answer (empty: none
    // within 300 ms of controller time).
    std::vector<u8> Raw(int port, const std::vector<u8>& frame) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<u16>(port + offset));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        bool sent = false;
        std::vector<u8> got;
        clock->AdvanceUntil(
            [&] {
                if (!sent) sent = send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
                u8 b[300];
                ssize_t n = recv(fd, b, sizeof b, 0);
                if (n > 0) got.insert(got.end(), b, b + n);
                return got.size() >= 9 && got.size() >= 6u + GetBe16(&got[4]);
            },
            300);
        close(fd);
        return got;
    }

    // The controller runs on the host's clock instead of the test's.
    bool hostClock = false;
    TempRoot root;
    int offset = 0;
    std::unique_ptr<SocatPair> pty;
    std::unique_ptr<BoardClock> clock;
    FirmwareProcess fw;
};

TEST_F(IecModbusSystem, TablesOverTheSlaveBlocksAndTheWorkbenchPort) {
    // MBSLAVETCP: mbpoll writes register 0; the program copies it into 1.
    std::string out = Mbpoll(kTcpSlave, "-a 1 -t 4 -r 1", "4321");
    ASSERT_NE(out.find("EXIT 0"), std::string::npos) << out << fw.Output();
    ASSERT_TRUE(clock->Advance(100));
    out = Mbpoll(kTcpSlave, "-a 1 -t 4 -r 1 -c 2");
    EXPECT_NE(out.find("[1]: \t4321"), std::string::npos) << out;
    EXPECT_NE(out.find("[2]: \t4321"), std::string::npos) << out;
    out = Mbpoll(kTcpSlave, "-a 1 -t 4 -r 11 -c 1");
    EXPECT_NE(out.find("Illegal data address"), std::string::npos) << out;

    // Hostile frames: lying quantities and byte counts, truncation.
    struct Case {
        const char* name;
        std::vector<u8> pdu;  // unit id onward
        std::vector<u8> answer;
    } cases[] = {
        {"byte count beyond the frame", {1, 16, 0, 0, 0, 2, 4, 0, 1}, {1, 0x90, 3}},
        {"quantity against byte count", {1, 16, 0, 0, 0, 100, 2, 0, 1}, {1, 0x90, 3}},
        {"truncated read", {1, 3, 0}, {1, 0x83, 3}},
        {"quantity 126", {1, 3, 0, 0, 0, 126}, {1, 0x83, 2}},
        {"diagnostics", {1, 8, 0, 0, 0xAB, 0xCD}, {1, 8, 0, 0, 0xAB, 0xCD}},
        {"report server id", {1, 17}, {1, 0x11, 1, 0xFF}},
    };
    for (const Case& c : cases) {
        std::vector<u8> f{0x5A, 0x4A, 0, 0, 0, static_cast<u8>(c.pdu.size())};
        f.insert(f.end(), c.pdu.begin(), c.pdu.end());
        std::vector<u8> a = Raw(kTcpSlave, f);
        ASSERT_GE(a.size(), 6u) << c.name;
        EXPECT_EQ(std::vector<u8>(a.begin() + 6, a.end()), c.answer) << c.name;
    }
    EXPECT_TRUE(Raw(kTcpSlave, {0, 1, 0, 0, 0x01, 0x00, 1, 3, 0, 0, 0, 1}).empty());  // length 256 never completes
    EXPECT_TRUE(Raw(kTcpSlave, {0, 1, 0, 0, 0, 6, 9, 3, 0, 0, 0, 1}).empty());         // another unit
    EXPECT_FALSE(fw.HasExited());

    // UDP in both framings, to pymodbus.
    for (bool rtu : {false, true}) {
        out = Peer(std::string("/usr/bin/python3 -c \"from pymodbus.client import ModbusUdpClient\n"
                               "from pymodbus.transaction import ModbusRtuFramer, ModbusSocketFramer\n"
                               "c = ModbusUdpClient('127.0.0.1', port=") +
                   std::to_string((rtu ? kUdpRtuSlave : kUdpSlave) + offset) + ", framer=" +
                   (rtu ? "ModbusRtuFramer" : "ModbusSocketFramer") +
                   ", timeout=3)\nc.connect()\nprint('REGS', c.read_holding_registers(0, 2, slave=1).registers)\"");
        EXPECT_NE(out.find("REGS [4321, 4321]"), std::string::npos) << rtu << out;
    }

    // The RTU slave block on the lent serial port, to mbpoll: reads, a
    // write, and report server id.
    const std::string rtu = "mbpoll -m rtu -b 115200 -P none -1 -o 3 -a 1 ";
    const std::string peer = " " + root.Path("/tmp/peer");
    out = Peer(rtu + "-t 4 -r 1 -c 2" + peer);
    EXPECT_NE(out.find("[2]: \t4321"), std::string::npos) << out;
    out = Peer(rtu + "-t 4 -r 1" + peer + " 777");
    ASSERT_NE(out.find("EXIT 0"), std::string::npos) << out;
    ASSERT_TRUE(clock->Advance(100));
    out = Peer(rtu + "-t 4 -r 2" + peer);
    EXPECT_NE(out.find("[2]: \t777"), std::string::npos) << out;
    out = Peer(rtu + "-u" + peer);
    EXPECT_NE(out.find("EXIT 0"), std::string::npos) << out;
    EXPECT_EQ(out.find("timed out"), std::string::npos) << out;

    // The device identification the program set, read by pymodbus over
    // the MBSLAVETCP port and the RTU slave: the basic objects, then one of
    // the device-specific words.
    for (bool serial : {false, true}) {
        const std::string client =
            serial ? "ModbusSerialClient(port='" + root.Path("/tmp/peer") + "', baudrate=115200, timeout=3)"
                   : "ModbusTcpClient('127.0.0.1', port=" + std::to_string(kTcpSlave + offset) + ", timeout=3)";
        out = Peer("/usr/bin/python3 -c \"from pymodbus.client import ModbusTcpClient, ModbusSerialClient\n"
                   "from pymodbus.mei_message import ReadDeviceInformationRequest as R\n"
                   "c = " + client + "\nc.connect()\n"
                   "a = c.execute(R(read_code=1, object_id=0, unit=1))\n"
                   "print('BASIC', a.conformity, sorted(a.information.items()))\n"
                   "a = c.execute(R(read_code=4, object_id=0x81, unit=1))\n"
                   "print('WORD', a.conformity, a.information)\"");
        EXPECT_NE(out.find("BASIC 1 [(0, b'Test Vendor'), (1, b'PLC-7'), (2, b'2.3')]"), std::string::npos)
            << serial << out;
        EXPECT_NE(out.find("WORD 131 {129: b'\\xbe\\xef'}"), std::string::npos) << serial << out;
    }

    // The workbench port serves the tables once the link is handed over (the
    // link's host lets the controller's time run while it waits).
    TovraHost host(0, [&] { clock->Advance(1, 1); });
    ASSERT_TRUE(clock->AdvanceUntil([&] { return host.Connect(kLinkPort + offset); }, 5000));
    ASSERT_EQ(host.Handshake(), 0);
    std::vector<u8> id;
    ASSERT_TRUE(host.FrameData(host.Request(9, {0xFF}), &id));
    ASSERT_EQ(id.size(), 1u);
    ASSERT_EQ(host.Ask(38, {id[0]}), 0xA0);
    out = Mbpoll(1100, "-a 1 -t 4 -r 1 -c 2");
    EXPECT_NE(out.find("[2]: \t777"), std::string::npos) << out;  // as the RTU master wrote
    EXPECT_FALSE(fw.HasExited());
}

// 70,000 requests on one connection to the workbench port: the transaction
// ids run through every value, those that spell "ZJ" (0x5A4A) and "Q4"
// (0x5134) included, and every answer comes back in step (libmodbus checks
// each answer's transaction id, unit, function and byte count). The peer is
// a libmodbus client, as in mbpoll, which waits at least 10 ms after each
// request; the controller runs on the host's clock, as on the test's clock
// each request would wait for a step of it. A workbench status request now
// and then keeps the link with the workbench, as the workbench itself would.
class IecModbusHostClock : public IecModbusSystem {
protected:
    IecModbusHostClock() { hostClock = true; }
};

TEST_F(IecModbusHostClock, SeventyThousandRequestsKeepTheWorkbenchStreamInSync) {
    TovraHost host;
    ASSERT_TRUE(PollUntil([&] { return host.Connect(kLinkPort + offset); }));
    ASSERT_EQ(host.Handshake(), 0);
    std::vector<u8> id;
    ASSERT_TRUE(host.FrameData(host.Request(9, {0xFF}), &id));
    ASSERT_EQ(id.size(), 1u);
    ASSERT_EQ(host.Ask(38, {id[0]}), 0xA0);
    WorkbenchClient workbench;
    ASSERT_TRUE(workbench.Connect(1100 + offset));
    ASSERT_EQ(workbench.Status(21, {0, 1}), 0);
    LibModbusClient client(1100 + offset);
    ASSERT_TRUE(client.Ok()) << "libmodbus5 is missing";
    u16 regs[10];
    int answered = 0;
    while (answered < 70000 && client.Read(0, 10, regs)) {
        if (++answered % 5000 == 0) ASSERT_EQ(workbench.Status(21, {0, 1}), 0) << answered;
    }
    EXPECT_EQ(answered, 70000);
    EXPECT_GT(regs[9], 0);  // the cycle counter
    EXPECT_FALSE(fw.HasExited());
}

}  // namespace
