// The MQTT table reader, the status register and the IEC-aware register
// access of the plug-ins, without a broker.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "platform/root.h"
#include "remote/mqtt.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/manual_clock.h"
#include "testsupport/mqtt_table.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

namespace {

class MqttTable : public ::testing::Test {
protected:
    void SetUp() override {
        Root_Init();
        Mqtt_Reset();
    }
    void TearDown() override { Mqtt_Reset(); }
    u16 Reg(u32 n) {
        u16 v = 0;
        PlcReg_Get(&v, lreg::R(n), 16);
        return v;
    }
    u32 Status32(u32 bit) {
        u32 v = 0;
        PlcReg_Get(&v, lreg::R(200) + bit, 32);
        return v;
    }
    TempRoot root_;
    RegFixture regs_;
    ManualClock clock_;
};

TEST_F(MqttTable, ConnectionRecordsAndStatusBits) {
    MqttConnectionSpec a;
    a.number = 5;
    a.address = 0x0A000203;
    a.port = 1884;
    a.version[0] = 3, a.version[1] = 1, a.version[2] = 0;
    a.will = true;
    a.willTopic = "dead/a";
    a.willPayload = "gone";
    a.clientId = "plc-a";
    a.clean = false;
    a.user = "u";
    a.password = "p";
    a.subscriptions = 200;  // the state holds 64
    MqttConnectionSpec b;
    b.addressForm = 3;
    b.address = lreg::R(10);
    b.payloadMode = 2;
    b.will = b.sparkplugWill = true;
    b.edge = "edge1", b.group = "grp", b.ns = "spBv1.0";
    MqttConnectionSpec c;
    c.addressForm = 2;
    c.host = "broker.example";
    c.clean = false;  // no client identifier forces a clean session
    MqttTable_Store(MqttTableBody(lreg::R(200), lreg::S(1), {a, b, c}));
    const u8 raw[4] = {4, 3, 2, 1};  // register value 0x01020304
    PlcReg_Set(lreg::R(10), raw, 32);

    ASSERT_EQ(readConfigNvram(3), 1);
    const MqttClientState& s = Mqtt_State();
    EXPECT_EQ(s.count, 3);
    EXPECT_EQ(s.enable, 0);  // %S1 is 0
    EXPECT_EQ(Reg(200) & 3, 3);  // table found, read complete
    const MqttConnectionState& ca = Mqtt_Connection(0);
    EXPECT_STREQ(ca.address, "10.0.2.3");
    EXPECT_EQ(ca.port, 1884);
    EXPECT_EQ(ca.protocol, 3);
    EXPECT_STREQ(ca.willTopic, "dead/a");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ca.willPayload), ca.willLength), "gone");
    EXPECT_STREQ(ca.clientId, "plc-a");
    EXPECT_EQ(ca.cleanSession, 0);
    EXPECT_STREQ(ca.name, "BrokerConnection_0");
    EXPECT_EQ(ca.subscriptionCount, 64);
    EXPECT_EQ(ca.number, 5);
    const MqttConnectionState& cb = Mqtt_Connection(1);
    EXPECT_STREQ(cb.address, "1.2.3.4");
    EXPECT_EQ(cb.protocol, 4);
    EXPECT_STREQ(cb.willTopic, "spBv1.0/grp/NDEATH/edge1");
    EXPECT_EQ(cb.willLength, 0u);
    const MqttConnectionState& cc = Mqtt_Connection(2);
    EXPECT_STREQ(cc.hostName, "broker.example");
    EXPECT_EQ(cc.cleanSession, 1);

    // The enable bit and a broker address in a register take effect at the
    // next read, and the changed address is flagged.
    Mqtt_Connection(1).addressChanged = 0;
    u8 on = 1;
    PlcReg_Set(lreg::S(1), &on, 1);
    const u8 moved[4] = {5, 3, 2, 1};
    PlcReg_Set(lreg::R(10), moved, 32);
    ASSERT_EQ(readConfigNvram(2), 1);
    EXPECT_EQ(s.enable, 1);
    EXPECT_STREQ(cb.address, "1.2.3.5");
    EXPECT_EQ(cb.addressChanged, 1);
}

TEST_F(MqttTable, HostileTablesAreReadWithinTheirBounds) {
    MqttConnectionSpec a;
    a.user = std::string(256, 'u');  // one over its field
    a.password = std::string(255, 'p');
    a.willTopic = "w";
    a.will = true;
    a.willPayload = std::string(1025, 'x');  // over 1,024 bytes
    std::vector<MqttConnectionSpec> nine(9, a);
    std::vector<u8> body = MqttTableBody(lreg::R(200), 0, nine);
    MqttTable_Store(body);
    ASSERT_EQ(readConfigNvram(2), 1);
    EXPECT_EQ(Mqtt_State().count, 8);  // at most 8 connections
    EXPECT_STREQ(Mqtt_Connection(0).user, "");
    EXPECT_EQ(std::strlen(Mqtt_Connection(0).password), 255u);
    EXPECT_EQ(Mqtt_Connection(0).willLength, 0u);

    // A text whose offset leaves the table reads as empty; records cut off by
    // the end of the table are not read.
    body = MqttTableBody(lreg::R(200), 0, {a, a});
    PutLe32(&body[40 + 68], 0xFFFFFFF0u);  // user offset of record 0
    body.resize(40 + 184 + 100);
    MqttTable_Store(body);
    Mqtt_Reset();
    ASSERT_EQ(readConfigNvram(2), 1);
    EXPECT_EQ(Mqtt_State().count, 1);
    EXPECT_STREQ(Mqtt_Connection(0).user, "");

    // Fewer than 16 bytes: no table.
    MqttTable_Store(std::vector<u8>(14, 0));
    EXPECT_EQ(readConfigNvram(2), 0);
}

TEST_F(MqttTable, CertificateFilesAreWrittenOnceAndTheKeyIsPrivate) {
    MqttConnectionSpec a;
    a.number = 3;
    a.tls = true;
    a.certData = 2;
    a.ca = "CA";
    a.cert = "CERT";
    a.key = "KEY";
    a.keyPass = "secret";
    MqttTable_Store(MqttTableBody(0, 0, {a}));
    ASSERT_EQ(readConfigNvram(3), 1);
    const std::string key = root_.Path("/mnt/USB0/3_dcl-key.pem");
    struct stat st {};
    ASSERT_EQ(::stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_STREQ(Mqtt_Connection(0).keyFile, key.c_str());
    EXPECT_STREQ(Mqtt_Connection(0).keyPass, "secret");
    // Unchanged table: not written again.
    ASSERT_EQ(::unlink(root_.Path("/mnt/USB0/3_dca-cert.pem").c_str()), 0);
    ASSERT_EQ(readConfigNvram(2), 1);
    EXPECT_NE(::access(root_.Path("/mnt/USB0/3_dca-cert.pem").c_str(), F_OK), 0);

    // Certificate data 1: a CA only, no client certificate or key handed on.
    a.certData = 1;
    MqttTable_Store(MqttTableBody(0, 0, {a}));
    ASSERT_EQ(readConfigNvram(2), 1);
    EXPECT_EQ(::access(root_.Path("/mnt/USB0/3_dca-cert.pem").c_str(), F_OK), 0);
    EXPECT_STREQ(Mqtt_Connection(0).keyFile, "");
    EXPECT_STREQ(Mqtt_Connection(0).certFile, "");
}

TEST_F(MqttTable, StatusRegisterAndIecReferenceAdvance) {
    MqttTable_Store(MqttTableBody(lreg::R(200), 0, {}));
    ASSERT_EQ(readConfigNvram(3), 1);
    setMqttStatusReg(80 + 96, 0x12345678, 32);
    EXPECT_EQ(Status32(80 + 96), 0x12345678u);
    setMqttStatusReg(4, 7, 1);
    EXPECT_EQ(Reg(200) & 0x10, 0x10);

    struct {
        u32 reference, offset, bits, expect;
    } cases[] = {
        {IecRef(1, 10), 48, 16, IecRef(1, 13)},           // 16-bit elements: 3 further
        {IecRef(2, 10), 33, 1, IecRef(2, 11, 1)},         // 32-bit elements, bit 1 of the next
        {IecRef(0, 0xFFFFF), 8, 8, IecRef(0, 0)},         // the carry out of the index is lost
        {IecRef(3, 1), 64 * 2 + 5, 1, IecRef(3, 3, 5)},   // 64-bit elements
        {IecRef(4, 7), 800, 16, IecRef(4, 7)},            // classes above 3 stay
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reference);
        EXPECT_EQ(updateQuilletRegInfo(c.reference, c.offset, c.bits), c.expect);
    }
    // A plain register: reference plus offset; a 1-bit write stores 1.
    const u32 v = 5;
    brvqPlcRegSet(lreg::R(20), 3, &v, 1);
    EXPECT_EQ(Reg(20), 8);
    brvqPlcRegSet(lreg::R(20), 16, &v, 16);
    EXPECT_EQ(Reg(21), 5);
    u16 got = 0;
    brvqPlcRegGet(lreg::R(20), 16, &got, 16);
    EXPECT_EQ(got, 5);
}

}  // namespace
