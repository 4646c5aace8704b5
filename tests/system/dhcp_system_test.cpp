// System test of the DHCP client: the real executable in a network
// namespace of the test's own, eth0 set to DHCP, dnsmasq serving a 2-minute
// lease with T1 of 10 s on the peer end. The controller's clock is driven
// by the test, so the renewal comes after 10 s of controller time whatever
// the machine's load. tshark on the peer end dissects every frame.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/fileio.h"
#include "platform/system.h"
#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/net_namespace.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"
#include "testsupport/tshark_capture.h"

namespace {

constexpr int kStartMs = 30000;
constexpr u32 kDhcpService = 1u << 9;
const u8 kMac[6] = {0x02, 0x50, 0x4C, 0x0D, 0x0C, 0x01};

class DhcpSystem : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(access("/usr/bin/tshark", X_OK), 0) << "tshark is missing: scripts/setup.sh installs it";
        ASSERT_EQ(access("/usr/sbin/dnsmasq", X_OK), 0) << "dnsmasq is missing: scripts/setup.sh installs it";
        ASSERT_TRUE(ns_.Create("10.9.0.1/24")) << ns_.Error();
        {
            FirmwareProcess first;
            first.SetEnv("PLC_PORT_OFFSET", std::to_string(NetFreePortOffset(502)));
            ASSERT_TRUE(first.Start());
            ASSERT_TRUE(clock_.AdvanceToOutput(first, "main loop running")) << first.Output();
            first.Signal(SIGTERM);
            ASSERT_TRUE(clock_.AdvanceToExit(first)) << first.Output();
        }
        // eth0 by DHCP; the board identity gives it its MAC address.
        NetStreamBuilder eth0(NetAddr(10, 9, 0, 2), NetAddr(255, 255, 255, 0));
        eth0.Services(kDhcpService, 0);
        ASSERT_TRUE(NetWriteConfigPgm(root_.Path("/mnt/cfg/config.pgm"), NetIoConfig(eth0.Build())));
        std::vector<u8> identity(kTinyImageBytes, 0);
        std::copy(kMac, kMac + 6, identity.begin() + kTinyMac0);
        ASSERT_TRUE(File_WriteAtomic(root_.Path("/mnt/cfg/TINYIMGE.BIN"), identity.data(), identity.size()));
        ASSERT_TRUE(File_WriteAtomic(root_.Path("/opt/varnok/MasterScript.sh"), "#!/bin/sh\n", 10));

        int st = -1;
        std::string out = ns_.InPeer("dnsmasq --port=0 --no-resolv --no-hosts --no-ping --bind-interfaces "
                                     "--interface=p0 --user=root --pid-file=" + root_.Dir() + "/dnsmasq.pid" +
                                         " --dhcp-leasefile=" + root_.Dir() + "/leases" +
                                         " --dhcp-range=10.9.0.50,10.9.0.60,255.255.255.0,2m"
                                         " --dhcp-option=option:T1,10 --dhcp-option=option:router,10.9.0.1"
                                         " --dhcp-option=option:dns-server,10.9.0.1 2>&1",
                                     &st);
        ASSERT_EQ(st, 0) << out;
        std::vector<u8> pid;
        ASSERT_TRUE(File_ReadAll(root_.Dir() + "/dnsmasq.pid", pid, 64));
        dnsmasq_ = std::atoi(std::string(pid.begin(), pid.end()).c_str());
        ASSERT_GT(dnsmasq_, 0);

        // The link is up from the start, so the capture sees the first frame.
        ns_.CtlIp("link set eth0 up");
        // Probe: a datagram to an absent neighbour puts ARP requests on the link.
        ASSERT_TRUE(capture_.Start(ns_.Peer(), "p0", "udp or arp", pcap_, [&] {
            InNetNamespace(ns_.Peer(), [] {
                int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                int on = 1;
                setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
                sockaddr_in sa{};
                sa.sin_family = AF_INET;
                sa.sin_port = htons(9);
                sa.sin_addr.s_addr = htonl(NetAddr(10, 9, 0, 255));
                sendto(fd, "probe", 5, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
                close(fd);
            });
        })) << capture_.Log();
        fw_.SetEnv("PLC_PORT_OFFSET", "");
        fw_.SetNetNamespace(ns_.Controller());
        ASSERT_TRUE(fw_.Start());
        ASSERT_TRUE(clock_.AdvanceToOutput(fw_, "main loop running")) << fw_.Output();
    }
    void TearDown() override {
        capture_.Stop();
        if (fw_.Running()) {
            fw_.Signal(SIGTERM);
            clock_.AdvanceToExit(fw_);
        }
        if (dnsmasq_ > 0) kill(dnsmasq_, SIGTERM);
        ns_.Remove();
    }
    std::string Tshark(const std::string& args) {
        return Shell("(tshark -r " + pcap_ + " -o udp.check_checksum:TRUE -o ip.check_checksum:TRUE " + args +
                     " 2>/dev/null) | grep -v '^Running as user'");
    }
    std::string Eth0() { return ns_.CtlIp("-4 addr show eth0"); }

    TempRoot root_;
    BoardClock clock_;
    NetNamespacePair ns_;
    FirmwareProcess fw_;
    TsharkCapture capture_;
    std::string pcap_ = root_.Path("/dhcp.pcapng");
    int dnsmasq_ = 0;
};

TEST_F(DhcpSystem, LeaseInformRenewal) {
    // The leased address goes on eth0.
    ASSERT_TRUE(clock_.AdvanceUntil([&] { return Eth0().find("inet 10.9.0.5") != std::string::npos; }, 20000, 50))
        << Eth0() << fw_.Output() << Tshark("-Y 'dhcp || arp'") << ns_.CtlIp("link show eth0");
    EXPECT_NE(ns_.CtlIp("link show eth0").find("02:50:4c:0d:0c:01"), std::string::npos);
    // The DNS server reaches the resolver file through the master script.
    EXPECT_TRUE(clock_.AdvanceUntil(
        [&] {
            std::vector<u8> text;
            File_ReadAll(root_.Path("/etc/resolv.conf"), text, 4096);
            return std::string(text.begin(), text.end()) == "nameserver 10.9.0.1\n";
        },
        5000, 50));
    // After T1 a renewing REQUEST goes to the server itself (tshark's
    // running summary shows it).
    auto renewed = [&] {
        std::vector<u8> out;
        File_ReadAll(pcap_ + ".out", out, 1u << 22);
        std::string text(out.begin(), out.end());
        for (size_t at = text.find("DHCP Request"); at != std::string::npos; at = text.find("DHCP Request", at + 1)) {
            size_t line = text.rfind('\n', at);
            if (text.substr(line + 1, at - line).find("10.9.0.1 ") != std::string::npos) return true;
        }
        return false;
    };
    ASSERT_TRUE(clock_.Advance(9000, 100));
    EXPECT_FALSE(renewed());
    ASSERT_TRUE(clock_.Advance(2000, 100));
    // tshark shows a packet some time after it passed.
    ASSERT_TRUE(WaitUntil(renewed, 20000)) << fw_.Output();
    capture_.Stop(200);

    // Order of the messages: DISCOVER, OFFER, REQUEST, ACK, one INFORM, and
    // the renewal; nothing malformed, every checksum right.
    std::string types = Tshark("-Y dhcp -T fields -e dhcp.option.dhcp");
    EXPECT_EQ(types.rfind("1\n2\n3\n5\n8\n", 0), 0u) << types;
    // One INFORM between the first ACK and the renewal.
    size_t ack = types.find("5\n"), renew = types.find("3\n", ack);
    ASSERT_NE(renew, std::string::npos) << types;
    std::string between = types.substr(ack, renew - ack);
    EXPECT_EQ(std::count(between.begin(), between.end(), '8'), 1) << types;
    // The controller's own frames (the peer's leave their checksums to the
    // veth's offload, so the capture shows them unfinished).
    EXPECT_EQ(Tshark("-Y 'eth.src == 02:50:4c:0d:0c:01 && (ip.checksum.status == \"Bad\" || "
                     "udp.checksum.status == \"Bad\")' -T fields -e frame.number"),
              "");
    EXPECT_EQ(Tshark("-Y 'dhcp && eth.src == 02:50:4c:0d:0c:01 && (_ws.malformed || _ws.expert.severity >= \"error\")' "
                     "-T fields -e frame.number"),
              "");
    EXPECT_EQ(Tshark("-Y 'dhcp && eth.src == 02:50:4c:0d:0c:01 && dhcp.hw.mac_addr != 02:50:4c:0d:0c:01' -T fields "
                     "-e frame.number"),
              "");
    // The discover asks for mask, router and DNS server.
    EXPECT_NE(Tshark("-Y 'dhcp.option.dhcp == 1' -T fields -e dhcp.option.request_list_item").find("1,3,6"),
              std::string::npos);
}

}  // namespace
