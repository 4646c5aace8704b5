// System test of the EtherNet/IP adapter: the real executable in a network
// namespace of the test's own, with eth0 configured for the adapter in run
// mode. The npm originator st-ethernet-ip reads and writes objects through
// its own encapsulation and CIP code; the test's originator opens a
// bidirectional class-1 connection and exchanges assemblies with the
// registers (read and written over Modbus TCP); tshark captures the peer's
// side and must dissect all of it without a malformed packet.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "platform/fileio.h"
#include "platform/reset.h"
#include "testsupport/board_clock.h"
#include "testsupport/eip_originator.h"
#include "testsupport/firmware_process.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/net_namespace.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"
#include "testsupport/tshark_capture.h"

namespace {

using eipo::Bytes;

constexpr int kStartMs = 30000;
constexpr const char* kController = "10.9.0.2";
constexpr u32 kR1 = 0x8000;
constexpr u32 kSize = 8;  // bytes of each assembly: four registers


// A Modbus TCP connection for reading and writing the controller's registers.
class ModbusPeer {
public:
    ~ModbusPeer() {
        if (fd_ >= 0) close(fd_);
    }
    bool Connect(const std::string& ns) {
        InNetNamespace(ns, [&] {
            fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(502);
            sa.sin_addr.s_addr = htonl(NetAddr(10, 9, 0, 2));
            if (connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
                close(fd_);
                fd_ = -1;
            }
        });
        return fd_ >= 0;
    }
    // %R(first)..: words in register order; false on any failure.
    bool Write(u16 first, const std::vector<u16>& words) {
        Bytes f{0, 1, 0, 0, 0, 0, 1, 16};
        Put16(f, static_cast<u16>(10000 + first - 1));
        Put16(f, static_cast<u16>(words.size()));
        f.push_back(static_cast<u8>(2 * words.size()));
        for (u16 w : words) Put16(f, w);
        PutBe16(&f[4], static_cast<u16>(f.size() - 6));
        Bytes r;
        return Exchange(f, 12, &r) && r[7] == 16;
    }
    bool Read(u16 first, u16 count, std::vector<u16>* words) {
        Bytes f{0, 2, 0, 0, 0, 6, 1, 3};
        Put16(f, static_cast<u16>(10000 + first - 1));
        Put16(f, count);
        Bytes r;
        if (!Exchange(f, 9u + 2u * count, &r) || r[7] != 3) return false;
        words->clear();
        for (u16 i = 0; i < count; ++i) words->push_back(GetBe16(&r[9 + 2 * i]));
        return true;
    }

private:
    static void Put16(Bytes& b, u16 v) {
        b.push_back(static_cast<u8>(v >> 8));
        b.push_back(static_cast<u8>(v));
    }
    bool Exchange(const Bytes& f, size_t want, Bytes* r) {
        if (fd_ < 0 || send(fd_, f.data(), f.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(f.size())) return false;
        r->clear();
        while (r->size() < want) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) return false;
            u8 buf[512];
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return false;
            r->insert(r->end(), buf, buf + n);
        }
        return true;
    }
    int fd_ = -1;
};

// The bidirectional class-1 connection of the tests: the produced and
// consumed assemblies, O->T every 100 ms, T->O every 10 ms; the consumer
// waits 51.2 s for data.
eipo::ForwardOpen ClassOne() {
    eipo::ForwardOpen f;
    f.path = {0x20, 0x04, 0x24, 0x01, 0x2C, 0x65, 0x2C, 0x64};
    f.otParams = eipo::Params(2, kSize + 6);
    f.toParams = eipo::Params(2, kSize + 2);
    f.otRpi = 100000;
    f.toRpi = 10000;
    f.multiplier = 7;
    return f;
}

class EipSystem : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(access("/usr/bin/tshark", X_OK), 0) << "tshark is missing: scripts/setup.sh installs it";
        ASSERT_TRUE(ns_.Create("10.9.0.1/24")) << ns_.Error();
        {
            FirmwareProcess first;
            first.SetEnv("PLC_PORT_OFFSET", std::to_string(NetFreePortOffset(502)));
            ASSERT_TRUE(first.Start());
            ASSERT_TRUE(first.WaitForOutput("main loop running", kStartMs)) << first.Output();
            first.Signal(SIGTERM);
            ASSERT_TRUE(first.WaitExit(kStartMs));
        }
        NetStreamBuilder eth0(NetAddr(10, 9, 0, 2), NetAddr(255, 255, 255, 0));
        eth0.Services(0, NetAddr(10, 9, 0, 1))
            .Eip(0x10000002, kR1, kSize)                   // produced: %R1-%R4
            .Eip(0x10000000, kR1 + 16 * 100, kSize)        // consumed: %R101-%R104
            .Eip(0x30000000, kR1 + 16 * 200, 2);           // status: %R201
        ASSERT_TRUE(NetWriteConfigPgm(root.Path("/mnt/cfg/config.pgm"), NetIoConfig(eth0.Build())));
        std::vector<u8> image;
        ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), image, 1u << 20));
        PutLe16(&image[8 + 2 * (127 + 5)], 2);  // run mode
        PutLe16(&image[0], crc16(&image[8], static_cast<u32>(image.size() - 8)));
        ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/autoreg.dta"), image.data(), image.size()));
        unlink(root.Path("/sys/netif.log").c_str());
        fw.SetEnv("PLC_PORT_OFFSET", "");
        fw.SetNetNamespace(ns_.Controller());
        if (timed) clock = std::make_unique<BoardClock>();
        ASSERT_TRUE(fw.Start());
        if (clock)
            ASSERT_TRUE(clock->AdvanceToOutput(fw, "main loop running")) << fw.Output();
        else
            ASSERT_TRUE(fw.WaitForOutput("main loop running", kStartMs)) << fw.Output();
        // Probe: a datagram to an absent neighbour puts ARP requests on the link.
        ASSERT_TRUE(capture_.Start(ns_.Peer(), "p0", "", pcap_, [&] {
            InNetNamespace(ns_.Peer(), [] {
                int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                sockaddr_in sa{};
                sa.sin_family = AF_INET;
                sa.sin_port = htons(9);
                sa.sin_addr.s_addr = htonl(NetAddr(10, 9, 0, 3));
                sendto(fd, "probe", 5, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
                close(fd);
            });
        })) << capture_.Log();
        // The adapter answers once the address is on and the services run.
        auto up = [&] { return Connect(first_) && first_.Register(); };
        if (clock)
            ASSERT_TRUE(clock->AdvanceUntil(up, 10000, 50)) << fw.Output();
        else
            ASSERT_TRUE(WaitUntil(up, kStartMs)) << fw.Output();
    }
    void TearDown() override {
        capture_.Stop();
        if (fw.Running()) {
            fw.Signal(SIGTERM);
            if (clock) EXPECT_TRUE(clock->AdvanceToExit(fw));
            EXPECT_TRUE(fw.WaitExit(kStartMs));
            EXPECT_EQ(fw.ExitCode(), kExitNormal) << fw.Output();
        }
        ns_.Remove();
    }
    bool Connect(EipOriginator& o) {
        bool ok = false;
        InNetNamespace(ns_.Peer(), [&] { ok = o.Connect(kController, 44818, 2000); });
        return ok;
    }
    // tshark's output on the capture; its warnings are left out.
    std::string Tshark(const std::string& args, const std::string& then = "") {
        return Shell("(tshark -r " + pcap_ + " " + args + " 2>/dev/null)" + then);
    }

    // Set by the tests that measure the controller's time: it then runs on a
    // clock the test drives.
    bool timed = false;
    std::unique_ptr<BoardClock> clock;
    TempRoot root;
    NetNamespacePair ns_;
    FirmwareProcess fw;
    TsharkCapture capture_;
    std::string pcap_ = root.Path("/eip.pcapng");
    EipOriginator first_;
};

TEST_F(EipSystem, NpmOriginatorReadsAndWritesObjects) {
    const std::string peers = std::string(PLC_SOURCE_DIR) + "/tests/peers/node_modules";
    ASSERT_EQ(access((peers + "/st-ethernet-ip/package.json").c_str(), F_OK), 0)
        << "st-ethernet-ip is missing: scripts/setup.sh installs it";
    // The session of the fixture leaves the second socket for the client.
    first_.Close();
    std::string out;
    ASSERT_TRUE(WaitUntil(
        [&] {
            out = ns_.InPeer("NODE_PATH=" + peers + " timeout 60 node " + PLC_SOURCE_DIR +
                             "/tests/system/eip_node_client.js " + kController + " 2>&1");
            return out.find("session registered") != std::string::npos;
        },
        kStartMs))
        << out;
    EXPECT_NE(out.find("PASS"), std::string::npos) << out;
    EXPECT_EQ(out.find("FAIL"), std::string::npos) << out;
}

TEST_F(EipSystem, ClassOneExchangeSessionsAndCapture) {
    ModbusPeer modbus;
    ASSERT_TRUE(WaitUntil([&] { return modbus.Connect(ns_.Peer()); }, kStartMs));
    ASSERT_TRUE(modbus.Write(1, {0x1111, 0x2222, 0x3333, 0x4444}));

    // ListIdentity over TCP: status 1.
    ASSERT_TRUE(first_.SendRaw(eipo::Encap(0x0063, 0, {})));
    eipo::Message m;
    ASSERT_TRUE(first_.Receive(&m));
    EXPECT_EQ(m.status, 1u);

    EipIo io;
    ASSERT_TRUE(InNetNamespace(ns_.Peer(), [&] { ASSERT_TRUE(io.Bind(2222)); }));
    const eipo::ForwardOpen f = ClassOne();
    eipo::CipReply r = first_.Unconnected(eipo::ForwardOpenRequest(f), &m);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.general, 0) << int(r.general) << " " << (r.additional.empty() ? 0 : r.additional[0]);
    std::vector<eipo::Cpf> items = eipo::Items(Bytes(m.data.begin() + 6, m.data.end()));
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(GetBe32(&items[2].data[4]), NetAddr(10, 9, 0, 2));

    // Produced data follow the registers.
    Bytes got;
    ASSERT_TRUE(WaitUntil(
        [&] {
            got = io.Receive(1000);
            return got.size() == kSize + 20 && got[20] == 0x11;
        },
        10000));
    EXPECT_EQ(Bytes(got.begin() + 20, got.end()), (Bytes{0x11, 0x11, 0x22, 0x22, 0x33, 0x33, 0x44, 0x44}));
    ASSERT_TRUE(modbus.Write(2, {0xBEEF}));
    ASSERT_TRUE(WaitUntil(
        [&] {
            got = io.Receive(1000);
            return got.size() == kSize + 20 && GetLe16(&got[22]) == 0xBEEF;
        },
        10000));
    // Consumed data reach the registers.
    u32 sequence = 1;
    const Bytes data{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    std::vector<u16> words;
    ASSERT_TRUE(WaitUntil(
        [&] {
            io.SendTo(kController, 2222, eipo::IoDatagram(f.otId, sequence++, 0, data));
            return modbus.Read(101, 4, &words) && words == std::vector<u16>{0x0201, 0x0403, 0x0605, 0x0807};
        },
        10000));
    // The status word counts both directions of the connection.
    ASSERT_TRUE(modbus.Read(201, 1, &words));
    EXPECT_EQ(words[0], 2);

    // A second session is served; a third connection is not while both are.
    EipOriginator second, third;
    ASSERT_TRUE(Connect(second));
    ASSERT_TRUE(second.Register());
    if (Connect(third)) {
        ASSERT_TRUE(third.SendRaw(eipo::Encap(0x0065, 0, {1, 0, 0, 0})));
        EXPECT_FALSE(third.Receive(&m, 1500));
        // Once a session ends, the waiting one is taken.
        second.SendRaw(eipo::Encap(0x0066, second.Session(), {}));
        EXPECT_TRUE(third.Receive(&m, 10000));
        EXPECT_EQ(m.command, 0x0065);
    }

    // Forward Close ends the exchange.
    r = first_.Unconnected(eipo::ForwardCloseRequest(f.serial, f.vendor, f.originatorSerial, f.path));
    EXPECT_EQ(r.general, 0);
    ASSERT_TRUE(modbus.Read(201, 1, &words));
    EXPECT_TRUE(WaitUntil([&] { return modbus.Read(201, 1, &words) && words[0] == 0; }, 5000));
    capture_.Stop(300);  // the last datagrams reach the capture

    // The capture: every frame of the adapter is dissected, I/O included,
    // without a malformed packet or an error-level finding.
    std::string io2222 = Tshark("-Y 'udp.port == 2222' -T fields -e frame.number", " | wc -l");
    EXPECT_GT(std::atoi(io2222.c_str()), 20) << io2222;
    EXPECT_EQ(Tshark("-Y 'udp.port == 2222 && !enip' -T fields -e frame.number"), "");
    EXPECT_NE(Tshark("-Y 'cip.sc == 0x54' -T fields -e frame.number"), "");
    std::string bad = Tshark("-Y '_ws.malformed || _ws.expert.severity >= \"error\"'", "; echo status=$?");
    EXPECT_EQ(bad, "status=0\n");
    if (::testing::Test::HasFailure()) std::printf("%s", Tshark("").c_str());
}

class EipSystemTimed : public EipSystem {
protected:
    void SetUp() override {
        timed = true;
        EipSystem::SetUp();
    }
};

// T->O data at RPI 10 ms leave every 10 ms of the controller's time.
TEST_F(EipSystemTimed, ClassOneProducesEveryRpi) {
    EipIo io;
    ASSERT_TRUE(InNetNamespace(ns_.Peer(), [&] { ASSERT_TRUE(io.Bind(2222)); }));
    const eipo::ForwardOpen f = ClassOne();
    eipo::Message m;
    eipo::CipReply r = first_.Unconnected(eipo::ForwardOpenRequest(f), &m);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.general, 0);
    // The controller's time at which each datagram came, in 1 ms steps (a
    // datagram still on its way when a step is read counts one step late).
    std::vector<u64> at;
    for (int step = 0; step < 400; ++step) {
        ASSERT_TRUE(clock->Advance(1, 1));
        while (!io.Receive(0).empty()) at.push_back(clock->ElapsedMs());
    }
    ASSERT_GT(at.size(), 30u);
    std::vector<u64> gaps;
    for (size_t i = 2; i < at.size(); ++i) gaps.push_back(at[i] - at[i - 1]);
    std::sort(gaps.begin(), gaps.end());
    EXPECT_EQ(gaps[gaps.size() / 2], 10u);
    EXPECT_GE(gaps.front(), 9u);
    EXPECT_LE(gaps.back(), 11u);
}

}  // namespace
