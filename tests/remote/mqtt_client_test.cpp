// The MQTT client in-process against Debian's mosquitto broker on loopback,
// with the tests' payload plug-in loaded from the table: registers published
// and written from received messages, status bits and counts, the receive
// slots' limits, queueing while the broker is away, the enable bit, a broker
// address moved in a register, TLS with client certificates and a password
// file, and a broker found by host name through dnsmasq.
//
// The client's time-outs run on the hand-advanced clock; the broker and the
// library's network thread run in host time, so the test waits for their
// events (bounded in passes) while it steps the client.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "platform/clock.h"
#include "platform/fileio.h"
#include "platform/root.h"
#include "remote/dnsClient.h"
#include "remote/mqtt.h"
#include "testsupport/loopback.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/manual_clock.h"
#include "testsupport/mqtt_broker.h"
#include "testsupport/mqtt_table.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

namespace {

constexpr u32 kStatus = lreg::R(900);
constexpr u32 kEnable = lreg::R(950);  // bit 0

class MqttClient : public ::testing::Test {
protected:
    void SetUp() override {
        Root_Init();
        Mqtt_Reset();
        Dns_Reset();
        SR_Put(5, 2);
        image_ = MqttTestPluginImage();
        ASSERT_FALSE(image_.empty());
        Enable(true);
    }
    void TearDown() override {
        Mqtt_Reset();
        SR_Put(5, 0);
    }

    MqttConnectionSpec Spec(u8 number = 0) {
        MqttConnectionSpec s;
        s.number = number;
        s.pluginBase = lreg::R(1 + 100 * number);
        s.port = static_cast<u16>(broker_.Port());
        s.image = image_;
        return s;
    }
    void Store(const std::vector<MqttConnectionSpec>& specs) { MqttTable_Store(MqttTableBody(kStatus, kEnable, specs)); }
    void Enable(bool on) {
        const u8 b = on ? 1 : 0;
        PlcReg_Set(kEnable, &b, 1);
    }
    static u16 Reg(u32 n) {
        u16 v = 0;
        PlcReg_Get(&v, lreg::R(n), 16);
        return v;
    }
    static void SetReg(u32 n, u16 v) { PlcReg_Set(lreg::R(n), &v, 16); }
    static u32 Status(u32 bit, u32 bits) {
        u32 v = 0;
        PlcReg_Get(&v, kStatus + bit, bits);
        return v;
    }
    static bool ConnectedBit(int i) { return Status(3 + static_cast<u32>(i), 1) != 0; }

    // Steps the client until cond holds; each pass waits for the callbacks'
    // signal a moment at most.
    static bool PumpUntil(const std::function<bool()>& cond, int passes = 20000) {
        for (int i = 0; i < passes; ++i) {
            mqttStateLoop();
            if (cond()) return true;
            std::vector<pollfd> fds;
            Mqtt_PollSet(fds);
            Dns_PollSet(fds);
            ::poll(fds.data(), fds.size(), 2);
        }
        return false;
    }
    static u32 Locked(int i, u32 (*read)(const MqttConnectionState&)) {
        struct Ctx {
            u32 (*read)(const MqttConnectionState&);
            u32 value;
        } ctx{read, 0};
        Mqtt_WithLock(i, [](MqttConnectionState& c, void* p) {
            auto* x = static_cast<Ctx*>(p);
            x->value = x->read(c);
        }, &ctx);
        return ctx.value;
    }
    static bool Subscribed(int i) {
        return Locked(i, [](const MqttConnectionState& c) { return u32{c.subscriptions[0].subscribed}; }) != 0;
    }
    static u32 Received(int i) {
        return Locked(i, [](const MqttConnectionState& c) { return c.receivedCount; });
    }
    bool Ready(int i = 0) { return PumpUntil([i] { return ConnectedBit(i) && Subscribed(i); }); }

    TempRoot root_;
    RegFixture regs_;
    ManualClock clock_;
    MqttBroker broker_;
    std::vector<u8> image_;
};

TEST_F(MqttClient, PublishesRegistersAndWritesReceivedMessages) {
    ASSERT_TRUE(broker_.Start(root_.Dir()));
    MqttConnectionSpec s = Spec();
    s.version[0] = 3, s.version[1] = 1, s.version[2] = 0;  // MQTT 3.1
    s.clientId = "plc-one";
    Store({s});
    MqttSubscriber sub;
    ASSERT_TRUE(sub.Start(broker_, "plc/#", root_.Dir() + "/sub.txt"));
    ASSERT_TRUE(Ready());
    EXPECT_NE(broker_.Log().find("as plc-one (p1,"), std::string::npos) << broker_.Log();

    SetReg(1, 1234);
    ASSERT_TRUE(PumpUntil([&] { return sub.Has("plc/0/R1 1234"); })) << sub.Text();
    ASSERT_EQ(broker_.Publish("plc/0/s0/R5", "4321", "-q 1"), 0);
    ASSERT_TRUE(PumpUntil([] { return Reg(5) == 4321; }));
    EXPECT_EQ(Reg(100), 1);

    // Status: table bits, connected bit 3, counts of connection 0 and totals.
    ASSERT_TRUE(PumpUntil([] { return Status(80 + 32, 32) == 1; }));
    EXPECT_EQ(Status(0, 8) & 3, 3u);
    EXPECT_GE(Status(80, 32), 2u);  // the first value and 1234
    EXPECT_EQ(Status(16, 32), Status(80, 32));
    EXPECT_EQ(Status(48, 32), 1u);
    EXPECT_EQ(Status(80 + 64, 32), 0u);

    // Clearing the enable bit disconnects, stops and destroys within a few passes.
    Enable(false);
    int passes = 0;
    ASSERT_TRUE(PumpUntil([&] {
        ++passes;
        return Mqtt_Connection(0).client == nullptr && !ConnectedBit(0);
    }));
    EXPECT_LE(passes, 10);
    EXPECT_EQ(Mqtt_Connection(0).loopRunning, 0);
}

TEST_F(MqttClient, ReceiveSlotsDropWhatDoesNotFit) {
    ASSERT_TRUE(broker_.Start(root_.Dir()));
    Store({Spec()});
    ASSERT_TRUE(Ready());
    SetReg(99, 1);  // the plug-in leaves the slots alone
    const std::string big(4096, 'b');
    ASSERT_EQ(broker_.Publish("plc/0/s0/big", big, "-q 1"), 0);
    ASSERT_EQ(broker_.Publish("plc/0/s0/" + std::string(291, 't'), "long topic", "-q 1"), 0);  // 300 characters
    for (int k = 1; k <= 8; ++k) ASSERT_EQ(broker_.Publish("plc/0/s0/R" + std::to_string(k), std::to_string(k), "-q 1"), 0);
    ASSERT_TRUE(PumpUntil([] { return Received(0) == 10; }));

    struct Slots {
        u32 used;
        u8 flags[8];
        std::string topics[8];
        u32 lengths[8];
        bool bigCleared;
    } seen{};
    Mqtt_WithLock(0, [](MqttConnectionState& c, void* p) {
        auto* s = static_cast<Slots*>(p);
        const MqttReceiveBlock& b = c.receive[0];
        s->used = b.used;
        for (int k = 0; k < 8; ++k) {
            s->flags[k] = b.slots[k].flag;
            s->topics[k] = b.slots[k].topic;
            s->lengths[k] = b.slots[k].payloadLength;
        }
        s->bigCleared = b.slots[0].payload[0] == 0 && b.slots[0].payload[4095] == 0;
    }, &seen);
    EXPECT_EQ(seen.used, 8u);
    EXPECT_EQ(seen.flags[0], kMqttSlotTooLong);  // 4,096 bytes: topic kept, payload cleared
    EXPECT_EQ(seen.topics[0], "plc/0/s0/big");
    EXPECT_TRUE(seen.bigCleared);
    // The long topic was dropped; R1..R7 took slots 1..7 and R8, a ninth
    // message for a full block, was dropped.
    for (int k = 1; k < 8; ++k) {
        EXPECT_EQ(seen.flags[k], kMqttSlotStored);
        EXPECT_EQ(seen.topics[k], "plc/0/s0/R" + std::to_string(k));
        EXPECT_EQ(seen.lengths[k], 1u);
    }
    // Once the plug-in reads again, the slots are written to registers and
    // new messages are stored.
    SetReg(99, 0);
    ASSERT_TRUE(PumpUntil([] { return Reg(7) == 7; }));
    EXPECT_EQ(Reg(8), 0);
    ASSERT_EQ(broker_.Publish("plc/0/s0/R8", "88", "-q 1"), 0);
    ASSERT_TRUE(PumpUntil([] { return Reg(8) == 88; }));
}

TEST_F(MqttClient, AMessageWithNoSubscriptionToHoldItIsDropped) {
    ASSERT_TRUE(broker_.Start(root_.Dir()));
    MqttConnectionSpec s = Spec();
    Store({s});
    ASSERT_TRUE(Ready());
    // The broker keeps the subscription while the table now names none.
    s.subscriptions = 0;
    Store({s});
    ASSERT_TRUE(PumpUntil([] { return Mqtt_Connection(0).subscriptionCount == 0; }));
    ASSERT_EQ(broker_.Publish("plc/0/s0/R5", "9", "-q 1"), 0);
    ASSERT_TRUE(PumpUntil([] { return Received(0) == 1; }));
    EXPECT_EQ(Locked(0, [](const MqttConnectionState& c) { return c.receive[0].used + c.currentBlock; }), 0u);
    EXPECT_EQ(Reg(5), 0);
}

TEST_F(MqttClient, PublishEntriesOverTheirFieldsAreRefused) {
    ASSERT_TRUE(broker_.Start(root_.Dir()));
    Store({Spec()});
    MqttSubscriber sub;
    ASSERT_TRUE(sub.Start(broker_, "t/#", root_.Dir() + "/sub.txt"));
    ASSERT_TRUE(Ready());
    MqttConnectionState& c = Mqtt_Connection(0);
    auto prepare = [](MqttPublishEntry& e, const char* topic, u32 length) {
        std::snprintf(e.topic, sizeof e.topic, "%s", topic);
        std::memset(e.payload, 'p', sizeof e.payload);
        e.payloadLength = length;
        e.qos = 1;
        e.state = kMqttEntryReady;
    };
    prepare(c.publish[100], "t/huge", 10000);
    prepare(c.publish[101], "", 4);
    prepare(c.publish[102], "t/full", 4096);
    ASSERT_TRUE(PumpUntil([&] { return sub.Text().find("t/full ") != std::string::npos; })) << sub.Text();
    EXPECT_EQ(c.publish[100].state, kMqttEntryDone);
    EXPECT_EQ(sub.Text().find("t/huge"), std::string::npos);
    EXPECT_EQ(c.publish[101].state, kMqttEntryReady);  // an empty topic is never published
}

TEST_F(MqttClient, QosOneEntriesQueuedWhileTheBrokerIsAwayArriveLater) {
    ASSERT_TRUE(broker_.Start(root_.Dir()));
    // The controller reaches the broker through a relay the test can cut, so
    // the subscriber stays connected throughout.
    const int relayPort = FreeLoopbackPort();
    PeerProcess relay;
    const std::string relayCmd = "exec socat TCP-LISTEN:" + std::to_string(relayPort) +
                                 ",bind=127.0.0.1,reuseaddr,fork TCP:127.0.0.1:" + std::to_string(broker_.Port());
    ASSERT_TRUE(relay.Start("", relayCmd));
    for (int i = 0; i < 500 && !TcpAccepts("127.0.0.1", relayPort); ++i) SleepHostMs(10);
    MqttConnectionSpec s = Spec();
    s.port = static_cast<u16>(relayPort);
    Store({s});
    MqttSubscriber sub;
    ASSERT_TRUE(sub.Start(broker_, "plc/#", root_.Dir() + "/sub.txt"));
    ASSERT_TRUE(Ready());
    ASSERT_TRUE(PumpUntil([&] { return sub.Has("plc/0/R1 0"); }));

    relay.Stop();  // its children end with it: the connection drops
    ASSERT_TRUE(PumpUntil([] { return !ConnectedBit(0); }));
    for (u16 v : {71, 72, 73}) {
        SetReg(1, v);
        ASSERT_TRUE(PumpUntil([&] { return Status(80 + 64, 32) == static_cast<u32>(v - 70); }));
    }
    EXPECT_FALSE(sub.Has("plc/0/R1 71"));

    ASSERT_TRUE(relay.Start("", relayCmd));
    ASSERT_TRUE(PumpUntil([&] { return sub.Has("plc/0/R1 73"); }, 20000)) << sub.Text();
    EXPECT_TRUE(sub.Has("plc/0/R1 71"));
    EXPECT_TRUE(sub.Has("plc/0/R1 72"));
    ASSERT_TRUE(PumpUntil([] { return ConnectedBit(0) && Status(80 + 64, 32) == 0; }));
}

TEST_F(MqttClient, BrokerAddressMovedInARegister) {
    ASSERT_TRUE(broker_.Start(root_.Dir(), "127.0.0.1"));
    MqttBroker second;
    ASSERT_TRUE(second.Start(root_.Dir(), "127.0.0.2", broker_.Port()));
    MqttConnectionSpec s = Spec();
    s.addressForm = 3;
    s.address = lreg::R(500);
    Store({s});
    auto point = [](u32 ip) {
        u8 raw[4];
        PutLe32(raw, ip);
        PlcReg_Set(lreg::R(500), raw, 32);
    };
    point(0x7F000001);
    ASSERT_TRUE(Ready());
    ASSERT_EQ(broker_.Publish("plc/0/s0/R5", "1", "-q 1"), 0);
    ASSERT_TRUE(PumpUntil([] { return Reg(5) == 1; }));

    point(0x7F000002);
    ASSERT_TRUE(PumpUntil([] { return !ConnectedBit(0); }));
    ASSERT_TRUE(Ready());
    EXPECT_STREQ(Mqtt_Connection(0).address, "127.0.0.2");
    ASSERT_EQ(second.Publish("plc/0/s0/R5", "2", "-q 1"), 0);
    ASSERT_TRUE(PumpUntil([] { return Reg(5) == 2; }));
}

TEST_F(MqttClient, AConnectionWithoutItsImageDoesNotStopTheNext) {
    ASSERT_TRUE(broker_.Start(root_.Dir()));
    MqttConnectionSpec a = Spec(0), b = Spec(1);
    a.noImage = true;
    Store({a, b});
    ASSERT_TRUE(Ready(1));
    EXPECT_EQ(Mqtt_Connection(0).plugin.loaded, 0);
    EXPECT_FALSE(ConnectedBit(0));
}

// Many messages while the plug-in reads the slots in every scan: run under
// ThreadSanitizer (PLC_TSAN) this shows the callbacks and the scan apart.
TEST_F(MqttClient, FloodWhileThePlugInReads) {
    ASSERT_TRUE(broker_.Start(root_.Dir()));
    MqttConnectionSpec s = Spec();
    s.subscriptions = 2;
    Store({s});
    ASSERT_TRUE(Ready());
    ASSERT_TRUE(PumpUntil([] {
        return Locked(0, [](const MqttConnectionState& c) { return u32{c.subscriptions[1].subscribed}; }) != 0;
    }));
    const std::string lines = root_.Dir() + "/lines.txt";
    {
        std::ofstream f(lines);
        for (int k = 0; k < 500; ++k) f << k << "\n";
    }
    PeerProcess flood;
    ASSERT_TRUE(flood.Start("", "exec mosquitto_pub " + broker_.Target() + " -q 1 -t plc/0/s1/n -l < " + lines));
    ASSERT_TRUE(PumpUntil([] { return Received(0) >= 500; }, 20000));
    ASSERT_TRUE(PumpUntil([] { return Reg(100) > 0; }));
    EXPECT_LE(Reg(100), 500);
}

TEST_F(MqttClient, TlsWithClientCertificatesAndAPasswordFile) {
    const std::string d = root_.Dir() + "/pki";
    const std::string script =
        "set -e; mkdir -p " + d + "; cd " + d +
        "; openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=test-ca 2>/dev/null"
        "; openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=127.0.0.1 2>/dev/null"
        "; printf 'subjectAltName=IP:127.0.0.1\\n' > san.ext"
        "; openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
        "-extfile san.ext 2>/dev/null"
        "; openssl req -newkey rsa:2048 -passout pass:keypass -keyout client.key -out client.csr -subj /CN=plc "
        "2>/dev/null"
        "; openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out client.pem -days 2 "
        "2>/dev/null"
        "; openssl req -newkey rsa:2048 -nodes -keyout sub.key -out sub.csr -subj /CN=sub 2>/dev/null"
        "; openssl x509 -req -in sub.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out sub.pem -days 2 2>/dev/null"
        "; mosquitto_passwd -b -c passwd plcuser plcpass; mosquitto_passwd -b passwd subuser subpass";
    ASSERT_EQ(std::system(script.c_str()), 0);
    auto read = [&](const std::string& f) {
        std::vector<u8> v;
        EXPECT_TRUE(File_ReadAll(d + "/" + f, v, 1 << 20));
        return std::string(v.begin(), v.end());
    };
    ASSERT_TRUE(broker_.Start(root_.Dir(), "127.0.0.1", 0,
                              "cafile " + d + "/ca.pem\ncertfile " + d + "/server.pem\nkeyfile " + d +
                                  "/server.key\nrequire_certificate true\npassword_file " + d + "/passwd\n"));
    MqttConnectionSpec s = Spec();
    s.tls = true;
    s.certData = 2;
    s.ca = read("ca.pem");
    s.cert = read("client.pem");
    s.key = read("client.key");
    s.keyPass = "keypass";
    s.user = "plcuser";
    s.password = "plcpass";
    Store({s});
    const std::string subTls = "--cafile " + d + "/ca.pem --cert " + d + "/sub.pem --key " + d +
                               "/sub.key -u subuser -P subpass";
    MqttSubscriber sub;
    ASSERT_TRUE(sub.Start(broker_, "plc/#", root_.Dir() + "/sub.txt", subTls));
    ASSERT_TRUE(Ready());
    SetReg(1, 555);
    ASSERT_TRUE(PumpUntil([&] { return sub.Has("plc/0/R1 555"); })) << sub.Text();
    ASSERT_EQ(broker_.Publish("plc/0/s0/R5", "66", "-q 1 " + subTls), 0);
    ASSERT_TRUE(PumpUntil([] { return Reg(5) == 66; }));
}

TEST_F(MqttClient, BrokerNamedByHostNameThroughDnsmasq) {
    NetNamespacePair ns;
    ASSERT_TRUE(ns.Create("10.9.0.1/24")) << ns.Error();
    ns.CtlIp("addr add 10.9.0.2/24 dev eth0");
    ns.CtlIp("link set eth0 up");
    const std::string pidFile = root_.Dir() + "/dnsmasq.pid";
    int st = -1;
    const std::string out = ns.InPeer("dnsmasq --no-resolv --no-hosts --bind-interfaces --listen-address=10.9.0.1 "
                                      "--user=root --pid-file=" + pidFile +
                                          " --local=/test/ --host-record=broker.test,10.9.0.1 2>&1",
                                      &st);
    ASSERT_EQ(st, 0) << out;
    ASSERT_TRUE(File_WriteAtomic(root_.Path("/etc/resolv.conf"), "nameserver 10.9.0.1\n", 20));
    ASSERT_TRUE(broker_.Start(root_.Dir(), "10.9.0.1", 1883, "", ns.Peer()));
    // A name the server does not know is not tried at "0.0.0.0", where a
    // broker of the controller's own machine listens.
    MqttBroker local;
    ASSERT_TRUE(local.Start(root_.Dir(), "127.0.0.1", 1883, "", ns.Controller()));
    MqttConnectionSpec s = Spec(), unknown = Spec(1);
    s.addressForm = unknown.addressForm = 2;
    s.host = "broker.test";
    unknown.host = "missing.test";
    s.port = unknown.port = 1883;
    Store({s, unknown});
    {
        NetNamespaceStay stay(ns.Controller());
        ASSERT_TRUE(stay.Entered());
        ASSERT_TRUE(Ready());
        EXPECT_STREQ(Mqtt_Connection(0).address, "10.9.0.1");
        PumpUntil([] { return false; }, 300);
        EXPECT_FALSE(ConnectedBit(1));
        EXPECT_STREQ(Mqtt_Connection(1).address, "0.0.0.0");
        Mqtt_Reset();  // the client's thread and sockets end inside
    }
    std::vector<u8> pid;
    if (File_ReadAll(pidFile, pid, 64)) ::kill(std::atoi(std::string(pid.begin(), pid.end()).c_str()), SIGTERM);
}

}  // namespace
