// Ethernet main step in the host's namespace: master-script lines, daemon
// files, restart registers and the words it writes each pass.
#include "net/enet.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/main.h"
#include "core/nvram.h"
#include "core/plc_regs.h"
#include "net/dpr.h"
#include "net/modbus.h"
#include "platform/fileio.h"
#include "platform/root.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"
#include "webhmi/dartu_glue.h"

namespace {

constexpr u32 kMask24 = NetAddr(255, 255, 255, 0);

class EnetTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("PLC_PORT_OFFSET", std::to_string(NetFreePortOffset(502)).c_str(), 1);
        Root_Init();
        Nvram_Reset();
        Enet_Reset();
        Enet_SetIdleWaitMs(0);
        ASSERT_EQ(pipe2(pipe_, O_NONBLOCK), 0);
        MasterFilePresent = 0;
        MasterScriptPipefd = pipe_[1];
    }
    void TearDown() override {
        Enet_Reset();
        Nvram_Reset();
        MasterFilePresent = -1;
        MasterScriptPipefd = -1;
        close(pipe_[0]);
        close(pipe_[1]);
        unsetenv("PLC_PORT_OFFSET");
        Root_Init();
    }
    std::string Lines() {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = read(pipe_[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
        return out;
    }
    std::string File(const char* firmwarePath) {
        std::vector<u8> d;
        File_ReadAll(Root_HostPath(firmwarePath), d, 1 << 20);
        return std::string(d.begin(), d.end());
    }
    std::vector<u8> Stream(u32 ip, u32 dns) {
        NetStreamBuilder s(ip, kMask24);
        s.Ntp({"ntp.example"})
            .Services(1u << 15, NetAddr(10, 0, 0, 1), dns, {0x8000, 16}, {0x8010, 16})
            .Modbus(true, 0, 502, 0)
            .Ftp({{"alice", "pw", 1}, {"bob", "", 0}});
        return s.Build();
    }

    TempRoot root_;
    RegFixture regs_;
    int pipe_[2] = {-1, -1};
};

TEST_F(EnetTest, DnsLinesNewConfigurationAndDaemonFiles) {
    NetLoadIoConfig(NetIoConfig(Stream(NetAddr(10, 0, 0, 5), NetAddr(10, 0, 0, 53))));
    EnetMain(0);
    EnetMain(0);
    std::string first = Lines();
    EXPECT_NE(first.find("dnsSet_4_0_10.0.0.53\n"), std::string::npos) << first;
    EXPECT_NE(first.find("dnsSet_4_1_0.0.0.0\n"), std::string::npos) << first;
    EXPECT_EQ(first.find("stopall"), std::string::npos);
    // Version and status words of every pass.
    EXPECT_EQ(GetLe16(&plc_reg[kRegR]), kEnetVersion);

    // A new download: stop everything, rewrite the files, start again.
    NetLoadIoConfig(NetIoConfig(Stream(NetAddr(10, 0, 0, 6), NetAddr(10, 0, 0, 54))));
    EnetMain(0);
    EnetMain(0);
    std::string second = Lines();
    size_t stop = second.find("stopall\n"), start = second.find("startall\n");
    ASSERT_NE(stop, std::string::npos) << second;
    ASSERT_NE(start, std::string::npos) << second;
    EXPECT_LT(stop, start);
    EXPECT_NE(second.find("dnsSet_4_0_10.0.0.54\n"), std::string::npos) << second;
    EXPECT_EQ(Dpr_Configuration[0].ip, NetAddr(10, 0, 0, 6));
    EXPECT_EQ(File("/opt/varnok/main_conf"), "ftp0\nntp0\nftp1\nntp1\nftp2\nntp2\nftp3\nntp3\n");
    EXPECT_EQ(File("/opt/varnok/ftp/newpwdfile1"), "alice:pw\n");  // bob has no password
    EXPECT_EQ(File("/opt/varnok/ftp/newvsftpd.chroot_list1"), "alice:0\n");
    EXPECT_EQ(File("/etc/ntp.conf"), "server ntp.example\n");
}

TEST_F(EnetTest, RestartRequestsRunOneAtATime) {
    NetLoadIoConfig(NetIoConfig(Stream(NetAddr(10, 0, 0, 5), 0)));
    EnetMain(0);
    Lines();
    // EGD and Modbus complete within one pass.
    SR_Put(156, 0x03);
    EnetMain(0);
    EXPECT_EQ(SR_Get(156), 0);

    // A pending FTP restart blocks the others until its started file appears.
    SR_Put(156, 0x08 | 0x02);
    EnetMain(0);
    EXPECT_EQ(SR_Get(156), 0x0A);
    std::string lines = Lines();
    EXPECT_NE(lines.find("stop0\nstart0\n"), std::string::npos) << lines;
    EnetMain(0);
    EXPECT_EQ(SR_Get(156), 0x0A);
    std::string started = Root_HostPath("/opt/varnok/ftp/started1.txt");
    std::filesystem::create_directories(Root_HostPath("/opt/varnok/ftp"));
    ASSERT_TRUE(File_WriteAtomic(started, "", 0));
    EnetMain(0);
    EXPECT_EQ(SR_Get(156), 0);
    // eth1's register works the same way.
    SR_Put(153, 0x02);
    EnetMain(0);
    EXPECT_EQ(SR_Get(153), 0);
}

TEST_F(EnetTest, StatusWordCountStaysBelowTheFlagBits) {
    NetLoadIoConfig(NetIoConfig(Stream(NetAddr(10, 0, 0, 5), 0)));
    EnetMain(0);
    // UDP counts as one connection whatever the traffic; the count is never
    // ORed into the link, activity or speed bits.
    Dpr_Configuration[0].tail.modbus.transport = 1;
    EnetMain(0);
    u16 w = Enet_StatusWord(0);
    EXPECT_EQ(w & 0xFF, 1);
    EXPECT_EQ(GetLe16(&plc_reg[kRegR + 2]), w);
}

}  // namespace

// A configuration that enables the register web server makes it the HTTP
// server also when it was stored before start-up, once the web-HMI thread
// has ended; without it the web-HMI server is chosen again.
TEST_F(EnetTest, RegisterWebServerIsChosenFromAStoredConfiguration) {
    NetStreamBuilder web(NetAddr(10, 0, 0, 5), kMask24);
    web.Services(0, NetAddr(10, 0, 0, 1));
    NetLoadIoConfig(NetIoConfig(web.Build()));
    DartuServerState = kDartuRunning;
    DartuThreadCreated = 1;
    EnetMain(0);
    EnetMain(0);
    EXPECT_EQ(DartuServerState.load(), kDartuStop);
    EXPECT_EQ(DartuHttp, 1);  // the thread has not ended yet
    DartuThreadCreated = 0;
    DartuServerState = kDartuStopped;
    EnetMain(0);
    EXPECT_EQ(DartuHttp, 0);

    NetStreamBuilder none(NetAddr(10, 0, 0, 5), kMask24);
    none.Services(1u << 8, NetAddr(10, 0, 0, 1));
    NetLoadIoConfig(NetIoConfig(none.Build()));
    for (int i = 0; i < 3; ++i) EnetMain(0);
    EXPECT_EQ(DartuHttp, 1);
    DartuServerState = kDartuStopped;
}
