// EtherNet/IP adapter in process: path parsing and the CIP objects by
// tables, Forward Open and Forward Close with their refusals, and an
// originator over loopback (TCP encapsulation, class-1 datagrams) against
// the adapter stepped by hand on the manual clock.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "net/dpr.h"
#include "net/eip/cip.h"
#include "net/eip/eip.h"
#include "platform/nx_api.h"
#include "platform/root.h"
#include "platform/system.h"
#include "testsupport/eip_originator.h"
#include "testsupport/manual_clock.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

namespace {

using eipo::Bytes;

constexpr u32 kR1 = 0x8000;  // %R1 as a register bit address
constexpr u32 kRegProduced = kR1, kRegConsumed = kR1 + 16 * 100, kRegStatus = kR1 + 16 * 200;
constexpr u32 kSize = 4;  // bytes of each assembly

Bytes Hex(const char* text) {
    Bytes b;
    for (const char* p = text; *p != 0;) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        b.push_back(static_cast<u8>(std::strtoul(std::string(p, 2).c_str(), nullptr, 16)));
        p += 2;
    }
    return b;
}

alignas(8) u8 g_pool[200 * (1520 + kNxPacketHeaderBytes)];

TEST(EipPath, ParsesAndRefuses) {
    struct Case {
        const char* path;
        int result;
        u32 entries;
        CipPathEntry first, last;
        u16 port;
    } cases[] = {
        {"20 04 24 64 30 03", 0, 1, {4, 100, 0, 3}, {4, 100, 0, 3}, 0},
        {"20 04 24 01 2C 65 2C 64", 0, 3, {4, 1, 0, 0}, {4, 0, 100, 0}, 0},
        {"01 00 20 01 24 01", 0, 1, {1, 1, 0, 0}, {1, 1, 0, 0}, 1},
        {"12 02 0A 0B 20 01 24 01", 0, 1, {1, 1, 0, 0}, {1, 1, 0, 0}, 2},
        {"0F 00 34 12 05 00 20 01 24 01", 0, 1, {1, 1, 0, 0}, {1, 1, 0, 0}, 0x1234},
        {"34 04 01 00 0C 00 14 00 01 00 20 04 24 65", 0, 1, {4, 101, 0, 0}, {4, 101, 0, 0}, 0},
        {"", 0, 0, {}, {}, 0},
        {"21 00 04 00 24 01", 1, 0, {}, {}, 0},                       // 16-bit class
        {"20 04 24 01 2C 65 2C 64 2C 66", 1, 0, {}, {}, 0},           // a fourth entry
        {"20 04 25 00 01 00", 1, 0, {}, {}, 0},                       // 16-bit instance
        {"20 04 30 03", 1, 0, {}, {}, 0},                             // class without instance
        {"20 04 24", 1, 0, {}, {}, 0},                                // cut short
        {"28 01", 1, 0, {}, {}, 0},                                   // member
        {"91 02 41 42", 1, 0, {}, {}, 0},                             // symbolic
        {"34 04 01 00 0C 00", 1, 0, {}, {}, 0},                       // key cut short
        {"12 09 0A 0B", 1, 0, {}, {}, 0},                             // link address past the end
    };
    for (const Case& c : cases) {
        Bytes b = Hex(c.path);
        CipPathInfo info;
        info.entryCount = 99;
        ASSERT_EQ(Epath_Parse(b.data(), &info, static_cast<u32>(b.size())), c.result) << c.path;
        if (c.result != 0) continue;
        EXPECT_EQ(info.entryCount, c.entries) << c.path;
        EXPECT_EQ(info.port, c.port) << c.path;
        if (c.entries == 0) continue;
        const CipPathEntry& f = info.entries[0];
        const CipPathEntry& l = info.entries[c.entries - 1];
        EXPECT_EQ(f.cls, c.first.cls) << c.path;
        EXPECT_EQ(f.instance, c.first.instance) << c.path;
        EXPECT_EQ(f.attribute, c.first.attribute) << c.path;
        EXPECT_EQ(l.cls, c.last.cls) << c.path;
        EXPECT_EQ(l.instance, c.last.instance) << c.path;
        EXPECT_EQ(l.point, c.last.point) << c.path;
    }
    // The key is kept as received.
    Bytes k = Hex("34 04 01 00 0C 00 14 00 01 00 20 04 24 65");
    CipPathInfo info;
    ASSERT_EQ(Epath_Parse(k.data(), &info, static_cast<u32>(k.size())), 0);
    EXPECT_EQ(GetLe16(info.key + 4), 20);
}

TEST(EipSequence, NewerBySerialArithmetic) {
    struct Case {
        u32 sequence, last;
        bool newer;
    } cases[] = {{5, 4, true}, {4, 4, false}, {3, 4, false}, {9, 4, true},
                 {0, 0xFFFFFFFF, true}, {0xFFFFFFFF, 0, false}, {0x80000005, 4, false}};
    for (const Case& c : cases) EXPECT_EQ(Eip_SequenceNewer(c.sequence, c.last), c.newer) << c.sequence;
    EXPECT_EQ(Eip_MulticastAddress(NetAddr(10, 9, 0, 2), NetAddr(255, 255, 255, 0)), NetAddr(239, 192, 1, 32));
    EXPECT_EQ(Eip_MulticastAddress(NetAddr(10, 9, 0, 1), 0), NetAddr(239, 192, 1, 0));
}

class EipAdapter : public ::testing::Test {
protected:
    void SetUp() override {
        offset_ = NetFreePortOffset(static_cast<u16>(kEipTcpPort));
        setenv("PLC_PORT_OFFSET", std::to_string(offset_).c_str(), 1);
        Root_Init();
        Nx_Reset();
        Dpr_Reset();
        Eip_Reset();
        _nx_packet_pool_create(&pool_, "Packet Pool", 1520, g_pool, sizeof g_pool);
        const u8 mac[2][6] = {{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, {0x00, 0x11, 0x22, 0x33, 0x44, 0x56}};
        std::memcpy(tinyImage + kTinyMac0, mac[0], 6);
        std::memcpy(tinyImage + kTinyMac1, mac[1], 6);
        for (int i = 0; i < 2; ++i) {
            ip_[i].index = static_cast<u32>(i);
            ip_[i].name = i == 0 ? "eth0" : "eth1";
            ip_[i].pool = &pool_;
            ip_[i].address = NetAddr(127, 0, 0, 1);
            ip_[i].mask = NetAddr(255, 0, 0, 0);
            Dpr_Configuration[i].flags.service = kSvcEip;
            const u32 map[6] = {kRegProduced, kSize, kRegConsumed, kSize, kRegStatus, 2};
            std::memcpy(Dpr_Configuration[i].eip, map, sizeof map);
        }
        PutLe16(DprMap + kDprRunFlag, 1);
        Configure();
        ASSERT_EQ(Eip_Init(&ip_[0], &pool_), 0u);
        ASSERT_EQ(Eip_Init(&ip_[1], &pool_), 0u);
    }
    void TearDown() override {
        Eip_Reset();
        Dpr_Reset();
        Nx_Reset();
        unsetenv("PLC_PORT_OFFSET");
        Root_Init();
    }
    virtual void Configure() {}

    void Pump() {
        EnetThread();
        Eip_Scan(0);
        Eip_Scan(1);
    }
    std::function<void()> Pumper() {
        return [this] { Pump(); };
    }
    // One unconnected request through interface `port`, straight into the router.
    eipo::CipReply Ucmm(const Bytes& cip, int port = 0) {
        Bytes msg = eipo::Encap(kEipSendRRData, 1, eipo::RRData(cip));
        EncapMsg(port, msg.data(), static_cast<u32>(msg.size()));
        u32 n = 0;
        const u8* reply = Eip_Reply(&n);
        last_.command = GetLe16(reply);
        last_.status = GetLe32(reply + 8);
        last_.data.assign(reply + 24, reply + n);
        return eipo::ReplyOf(last_);
    }
    eipo::ForwardOpen Bidirectional() {
        eipo::ForwardOpen f;
        f.path = Hex("20 04 24 01 2C 65 2C 64");
        f.otParams = eipo::Params(2, kSize + 6);
        f.toParams = eipo::Params(2, kSize + 2);
        return f;
    }
    eipo::ForwardOpen Class3(u16 serial) {
        eipo::ForwardOpen f;
        f.serial = serial;
        f.otId = 0x3000 + serial;
        f.toId = 0x4000 + serial;
        f.transport = 0xA3;
        f.otRpi = f.toRpi = 500000;
        f.otParams = f.toParams = eipo::Params(2, 500);
        f.path = Hex("20 02 24 01");
        return f;
    }
    int Port() const { return static_cast<int>(kEipTcpPort) + offset_; }

    TempRoot root_;
    RegFixture regs_;
    ManualClock clock_;
    NxPacketPool pool_;
    NxIp ip_[2];
    eipo::Message last_;
    int offset_ = 0;
};

TEST_F(EipAdapter, RouterAndObjectAnswers) {
    struct Case {
        Bytes request;
        u8 general;
        const char* data;  // expected reply data (nullptr: not compared)
    } cases[] = {
        {eipo::Request(0x0E, eipo::Path(0x01, 1, 7)), 0, "06 56 44 4C 34 32 30"},
        {eipo::Request(0x0E, eipo::Path(0x01, 1, 1)), 0, "F0 FF"},
        {eipo::Request(0x0E, eipo::Path(0x01, 1, 3)), 0, "14 00"},
        {eipo::Request(0x0E, eipo::Path(0x01, 1, 4)), 0, "01 00"},
        {eipo::Request(0x0E, eipo::Path(0x01, 1, 6)), 0, "55 44 33 22"},
        {eipo::Request(0x0E, eipo::Path(0x01, 1, 8)), 0x14, ""},
        {eipo::Request(0x0E, eipo::Path(0x01, 0, 1)), 0x08, ""},
        {eipo::Request(0x0E, eipo::Path(0x01, 3, 1)), 0x16, ""},
        {eipo::Request(0x10, eipo::Path(0x01, 1, 1), {1, 0}), 0x08, ""},
        {eipo::Request(0x0E, eipo::Path(0x02, 1, 1)), 0x08, ""},
        {eipo::Request(0x0E, eipo::Path(0x02, 9, 1)), 0x16, ""},
        {eipo::Request(0x0E, eipo::Path(0x99, 1, 1)), 0x16, ""},
        {eipo::Request(0x0E, eipo::Path(0xF5, 1, 1)), 0, "01 00 00 00"},
        {eipo::Request(0x0E, eipo::Path(0xF5, 1, 4)), 0, "02 00 20 F6 24 01"},
        {eipo::Request(0x0E, eipo::Path(0xF5, 1, 3)), 0x14, ""},
        {eipo::Request(0x0E, eipo::Path(0xF5, 1, 5)), 0x14, ""},
        {eipo::Request(0x10, eipo::Path(0xF5, 1, 3), {1, 2, 3}), 0x13, ""},
        {eipo::Request(0x10, eipo::Path(0xF5, 1, 3), {1, 2, 3, 4, 5}), 0x15, ""},
        {eipo::Request(0x10, eipo::Path(0xF5, 1, 3), {1, 2, 3, 4}), 0, ""},
        {eipo::Request(0x0E, eipo::Path(0xF6, 1, 1)), 0, "64 00 00 00"},
        {eipo::Request(0x0E, eipo::Path(0xF6, 1, 2)), 0, "03 00 00 00"},
        {eipo::Request(0x0E, eipo::Path(0xF6, 1, 3)), 0, "00 11 22 33 44 55"},
        {eipo::Request(0x10, eipo::Path(0xF6, 1, 1), {0, 0, 0, 0}), 0x08, ""},
        {eipo::Request(0x10, eipo::Path(0x04, 100, 3), {1, 2, 3}), 0x13, ""},
        {eipo::Request(0x10, eipo::Path(0x04, 100, 3), {1, 2, 3, 4, 5}), 0x15, ""},
        {eipo::Request(0x10, eipo::Path(0x04, 100, 3), {9, 8, 7, 6}), 0, ""},
        {eipo::Request(0x0E, eipo::Path(0x04, 100, 3)), 0, "09 08 07 06"},
        {eipo::Request(0x0E, eipo::Path(0x04, 100, 4)), 0x14, ""},
        {eipo::Request(0x0E, eipo::Path(0x04, 102, 3)), 0x16, ""},
        {eipo::Request(0x0E, eipo::Path(0x05, 1, 1)), 0x16, ""},
        {eipo::Request(0x01, eipo::Path(0x01, 1)), 0x08, ""},  // not routed
        {eipo::Request(0x0E, {}), 0x04, ""},                   // no path: nothing is reused
        {eipo::Request(0x0E, Hex("21 00 01 00 24 01")), 0x04, ""},
        {{0x0E, 0x05, 0x20, 0x01}, 0x04, ""},  // path longer than the request
    };
    for (const Case& c : cases) {
        eipo::CipReply r = Ucmm(c.request);
        ASSERT_TRUE(r.ok) << ::testing::PrintToString(c.request);
        EXPECT_EQ(r.service, c.request[0] | 0x80);
        EXPECT_EQ(r.general, c.general) << ::testing::PrintToString(c.request);
        if (c.general == 0) EXPECT_EQ(r.data, Hex(c.data)) << ::testing::PrintToString(c.request);
    }
    // The set went into the consumed image.
    EXPECT_EQ(EipRxData[0], 9);
}

TEST_F(EipAdapter, SecondInterfaceAnswersForItsOwnInstances) {
    // Instance 1 reaches eth1's instance 2 through eth1; assembly 100 is out of reach there.
    eipo::CipReply r = Ucmm(eipo::Request(0x0E, eipo::Path(0xF6, 1, 3)), 1);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.data, Hex("00 11 22 33 44 56"));
    EXPECT_EQ(Ucmm(eipo::Request(0x0E, eipo::Path(0x04, 100, 3)), 1).general, 0x16);
    EXPECT_EQ(Ucmm(eipo::Request(0x0E, eipo::Path(0x04, 100, 3)), 0).general, 0);
    // A path of another shape is left as it is.
    r = Ucmm(eipo::Request(0x0E, Hex("01 00 20 F6 24 01 30 03")), 1);
    EXPECT_EQ(r.data, Hex("00 11 22 33 44 55"));
}

TEST_F(EipAdapter, ForwardOpenRefusalsAndClose) {
    auto extended = [&](const Bytes& request) -> int {
        eipo::CipReply r = Ucmm(request);
        if (!r.ok) return -1;
        if (r.general != 1) return r.general == 0 ? 0 : 0x10000 + r.general;
        EXPECT_EQ(r.data.size(), 9u);  // the triad and the remaining path size
        return r.additional.empty() ? -2 : r.additional[0];
    };
    eipo::ForwardOpen f = Bidirectional();
    Bytes longer = eipo::ForwardOpenRequest(f);
    longer.push_back(0);
    EXPECT_EQ(Ucmm(longer).general, 0x15);
    Bytes shorter = eipo::ForwardOpenRequest(f);
    shorter.pop_back();
    EXPECT_EQ(Ucmm(shorter).general, 0x13);
    eipo::ForwardOpen bad = f;
    bad.transport = 0x02;
    EXPECT_EQ(extended(eipo::ForwardOpenRequest(bad)), 0x0108);
    bad = f;
    bad.toParams = eipo::Params(2, kSize + 3);
    EXPECT_EQ(extended(eipo::ForwardOpenRequest(bad)), 0x0109);
    bad = f;
    bad.otParams = eipo::Params(2, kSize + 2);
    EXPECT_EQ(extended(eipo::ForwardOpenRequest(bad)), 0x0109);
    bad = f;
    bad.path = Hex("20 04 24 01 2C 64 2C 65");
    EXPECT_EQ(extended(eipo::ForwardOpenRequest(bad)), 0x0315);
    bad = f;
    bad.path = Hex("20 04 21 00 01 00");
    EXPECT_EQ(extended(eipo::ForwardOpenRequest(bad)), 0x0315);
    // Nothing was left behind by the refusals.
    for (u32 i = 0; i < kCipConnections; ++i) {
        EXPECT_EQ(Cip_Connections()[i].allocated, 0);
        EXPECT_EQ(Cip_ConnConfigs()[i].allocated, 0);
    }
    EXPECT_EQ(EipConnEth[0].ioCount, 0);

    // Eight class-3 connections through eth0; the ninth is refused there.
    for (u16 k = 1; k <= 8; ++k) ASSERT_EQ(extended(eipo::ForwardOpenRequest(Class3(k))), 0) << k;
    EXPECT_EQ(EipConnEth[0].explicitCount, 8);
    EXPECT_EQ(extended(eipo::ForwardOpenRequest(Class3(9))), 0x0113);
    // Through eth1 no configuration record is left in the controller.
    Bytes msg = eipo::Encap(kEipSendRRData, 1, eipo::RRData(eipo::ForwardOpenRequest(Class3(10))));
    EncapMsg(1, msg.data(), static_cast<u32>(msg.size()));
    u32 n = 0;
    const u8* reply = Eip_Reply(&n);
    eipo::Message m;
    m.data.assign(reply + 24, reply + n);
    eipo::CipReply r = eipo::ReplyOf(m);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.general, 1);
    ASSERT_EQ(r.additional.size(), 1u);
    EXPECT_EQ(r.additional[0], 0x011A);

    // Forward Close of an unknown triad echoes it.
    r = Ucmm(eipo::ForwardCloseRequest(0x7777, 0x0203, 0x04050607));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.general, 1);
    ASSERT_EQ(r.additional.size(), 1u);
    EXPECT_EQ(r.additional[0], 0x0107);
    EXPECT_EQ(r.data, Hex("77 77 03 02 07 06 05 04 00 00"));
    // A known one closes and frees.
    r = Ucmm(eipo::ForwardCloseRequest(3, 0x0203, 0x04050607));
    EXPECT_EQ(r.general, 0);
    EXPECT_EQ(r.data, Hex("03 00 03 02 07 06 05 04 00 00"));
    EXPECT_EQ(EipConnEth[0].explicitCount, 7);
    EXPECT_EQ(extended(eipo::ForwardOpenRequest(Class3(11))), 0);
}

TEST_F(EipAdapter, ConnectionAttributesByState) {
    eipo::CipReply r = Ucmm(eipo::ForwardOpenRequest(Bidirectional()));
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.general, 0);
    ASSERT_EQ(r.data.size(), 26u);
    EXPECT_EQ(GetLe32(&r.data[0]), 0x11110001u);
    // Two I/O instances, both configuring.
    std::vector<u8> numbers;
    for (u32 i = 0; i < kCipConnections; ++i)
        if (Cip_Connections()[i].allocated) numbers.push_back(static_cast<u8>(Cip_Connections()[i].instance));
    ASSERT_EQ(numbers.size(), 2u);
    const u8 inst = numbers[0];
    struct Step {
        u8 service;
        u8 attribute;
        Bytes data;
        u8 general;
        const char* reply;  // nullptr: not compared
    } steps[] = {
        {0x0E, 1, {}, 0, "01"},
        {0x0E, 2, {}, 0, "01"},
        {0x0E, 14, {}, 0, "20 04 24 65 30 03"},
        {0x0E, 99, {}, 0x09, nullptr},
        {0x10, 1, {3}, 0x0C, nullptr},
        {0x10, 13, {0, 0}, 0x0C, nullptr},
        {0x10, 7, {6, 0, 0}, 0x15, nullptr},
        {0x10, 9, {20, 0}, 0, "14 00"},
        {0x10, 14, {1, 2, 3}, 0x13, nullptr},
        {0x10, 99, {0}, 0x14, nullptr},
        {0x0D, 0, {}, 0, ""},
        {0x0E, 1, {}, 0, "03"},
        {0x0D, 0, {}, 0x0C, nullptr},
        {0x10, 7, {6, 0}, 0x0C, nullptr},
        {0x10, 12, {2}, 0, ""},
        {0x10, 4, {5, 0}, 0, ""},
    };
    for (const Step& s : steps) {
        Bytes path = s.service == 0x0D ? eipo::Path(0x05, inst) : eipo::Path(0x05, inst, s.attribute);
        // Apply_Attributes is not routed unconnected: it goes to the router directly.
        CipRequest req;
        req.service = s.service;
        req.cls = 5;
        req.instance = inst;
        req.attribute = s.attribute;
        req.data = s.data.data();
        req.length = static_cast<u16>(s.data.size());
        u8 out[kCipReplyMax];
        u32 n = Message_Router_Service(req, out);
        ASSERT_GE(n, 4u);
        EXPECT_EQ(out[2], s.general) << int(s.service) << "/" << int(s.attribute);
        if (s.reply != nullptr) EXPECT_EQ(Bytes(out + 4, out + n), Hex(s.reply)) << int(s.attribute);
    }
    // A class-3 instance is never ready: requests for it answer 0x16.
    ASSERT_EQ(Ucmm(eipo::ForwardOpenRequest(Class3(1))).general, 0);
    for (u32 i = 0; i < kCipConnections; ++i) {
        const CipConnection& c = Cip_Connections()[i];
        if (c.allocated && c.type == 0)
            EXPECT_EQ(Ucmm(eipo::Request(0x0E, eipo::Path(0x05, static_cast<u8>(c.instance), 1))).general, 0x16);
    }
}

TEST_F(EipAdapter, EncapsulationOverTcp) {
    EipOriginator o(Pumper());
    ASSERT_TRUE(o.Connect("127.0.0.1", Port()));
    // Two messages in one segment, the second split from the third.
    Bytes reg = eipo::Encap(kEipRegisterSession, 0, {1, 0, 0, 0});
    Bytes list = eipo::Encap(kEipListServices, 0, {});
    Bytes id = eipo::Encap(kEipListIdentity, 0, {});
    Bytes burst = reg;
    burst.insert(burst.end(), list.begin(), list.end());
    burst.insert(burst.end(), id.begin(), id.begin() + 10);
    ASSERT_TRUE(o.SendRaw(burst));
    eipo::Message m;
    ASSERT_TRUE(o.Receive(&m));
    EXPECT_EQ(m.command, kEipRegisterSession);
    EXPECT_EQ(m.session, 1u);
    EXPECT_EQ(m.data, Hex("01 00 00 00"));
    ASSERT_TRUE(o.Receive(&m));
    EXPECT_EQ(m.command, kEipListServices);
    ASSERT_EQ(m.data.size(), 26u);
    EXPECT_EQ(std::string(m.data.begin() + 10, m.data.begin() + 24), "Communications");
    ASSERT_TRUE(o.SendRaw(Bytes(id.begin() + 10, id.end())));
    ASSERT_TRUE(o.Receive(&m));
    EXPECT_EQ(m.command, kEipListIdentity);
    EXPECT_EQ(m.status, 1u);
    EXPECT_TRUE(m.data.empty());
    // A message longer than the buffer is refused and its bytes dropped;
    // the session goes on.
    Bytes huge = eipo::Encap(kEipSendRRData, 1, Bytes(3000, 0xEE));
    ASSERT_TRUE(o.SendRaw(huge));
    ASSERT_TRUE(o.Receive(&m));
    EXPECT_EQ(m.status, 0x65u);
    ASSERT_TRUE(o.Register());
    EXPECT_EQ(o.Session(), 2u);
    // Malformed unconnected messages: status 3 without data.
    struct Bad {
        Bytes data;
    } bad[] = {
        {eipo::RRData(eipo::Request(0x0E, eipo::Path(1, 1, 1)), 1)},
        {Hex("00 00 00 00 00 00 02 00 00 00 00 00 B2 00 40 00 0E 03")},  // data item past the end
        {Hex("00 00 00 00 00 00 02 00 00 00 04 00 B2 00 00 00")},        // null item with a length
        {Hex("00 00 00 00 00 00 01 00 B2 00 00 00")},                    // one item
        {Hex("00 00 00 00 00")},
    };
    for (const Bad& b : bad) {
        ASSERT_TRUE(o.SendRaw(eipo::Encap(kEipSendRRData, 2, b.data)));
        ASSERT_TRUE(o.Receive(&m));
        EXPECT_EQ(m.status, 3u) << ::testing::PrintToString(b.data);
        EXPECT_TRUE(m.data.empty());
    }
    eipo::CipReply r = o.Unconnected(eipo::Request(0x0E, eipo::Path(1, 1, 7)));
    EXPECT_EQ(r.data, Hex("06 56 44 4C 34 32 30"));
    EXPECT_EQ(Eip_Conn_Cnt(0), 1u);
    // UnRegisterSession closes it.
    ASSERT_TRUE(o.SendRaw(eipo::Encap(kEipUnRegisterSession, 2, {})));
    EXPECT_FALSE(o.Receive(&m, 2000));
    EXPECT_EQ(Eip_Conn_Cnt(0), 0u);
}

TEST_F(EipAdapter, ClassThreeRequestsAndTheirTimeOut) {
    EipOriginator o(Pumper());
    ASSERT_TRUE(o.Connect("127.0.0.1", Port()));
    ASSERT_TRUE(o.Register());
    eipo::ForwardOpen f = Class3(1);
    ASSERT_EQ(o.Unconnected(eipo::ForwardOpenRequest(f)).general, 0);
    eipo::Message m;
    eipo::CipReply r = o.Connected(f.otId, 0, eipo::Request(0x0E, eipo::Path(1, 1, 7)), &m);
    EXPECT_EQ(r.data, Hex("06 56 44 4C 34 32 30"));
    std::vector<eipo::Cpf> items = eipo::Items(Bytes(m.data.begin() + 6, m.data.end()));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(GetLe32(items[0].data.data()), f.toId);
    EXPECT_EQ(GetLe16(items[1].data.data()), 0);
    // Errors come back as replies with their status.
    r = o.Connected(f.otId, 1, eipo::Request(0x0E, Hex("21 00 01 00")));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.general, 0x04);
    r = o.Connected(f.otId, 2, {0x0E, 0x04, 0x20});
    EXPECT_EQ(r.general, 0x13);
    // A repeated sequence count gets no reply; an unknown connection status 3.
    ASSERT_TRUE(o.SendRaw(eipo::Encap(kEipSendUnitData, 1, eipo::UnitData(f.otId, 2, eipo::Request(0x0E, eipo::Path(1, 1, 1))))));
    ASSERT_TRUE(o.SendRaw(eipo::Encap(kEipSendUnitData, 1, eipo::UnitData(0x999, 3, {}))));
    ASSERT_TRUE(o.Receive(&m));
    EXPECT_EQ(m.status, 3u);
    // RPI 500 ms, multiplier 0: 2000 ms, raised to the 10 s minimum.
    o.Close();
    clock_.AdvanceMs(10000);
    Pump();
    EXPECT_EQ(EipConnEth[0].explicitCount, 1);
    clock_.AdvanceMs(2);
    Pump();
    EXPECT_EQ(EipConnEth[0].explicitCount, 0);
}

TEST_F(EipAdapter, IdleSessionsCloseAfterAMinuteUnlessIoRuns) {
    EipOriginator quiet(Pumper()), busy(Pumper());
    ASSERT_TRUE(quiet.Connect("127.0.0.1", Port()));
    ASSERT_TRUE(quiet.Register());
    clock_.AdvanceMs(60000);
    Pump();
    EXPECT_EQ(Eip_Conn_Cnt(0), 1u);
    clock_.AdvanceMs(1);
    Pump();
    EXPECT_EQ(Eip_Conn_Cnt(0), 0u);
    // A producing connection keeps every session of the interface alive.
    ASSERT_TRUE(busy.Connect("127.0.0.1", Port()));
    ASSERT_TRUE(busy.Register());
    eipo::ForwardOpen f = Bidirectional();
    f.otParams = 0;
    f.toRpi = 1000000;
    ASSERT_EQ(busy.Unconnected(eipo::ForwardOpenRequest(f)).general, 0);
    for (int s = 0; s < 70; ++s) {
        clock_.AdvanceMs(1000);
        Pump();
    }
    EXPECT_EQ(Eip_Conn_Cnt(0), 1u);
}

class EipIoTest : public EipAdapter {
protected:
    // Opens the bidirectional connection over a session; the reply's sockaddr items.
    void Open(const eipo::ForwardOpen& f) {
        ASSERT_TRUE(io_.Bind(static_cast<int>(kEipUdpPort) + offset_));
        ASSERT_TRUE(o_.Connect("127.0.0.1", Port()));
        ASSERT_TRUE(o_.Register());
        eipo::Message m;
        eipo::CipReply r = o_.Unconnected(eipo::ForwardOpenRequest(f), &m);
        ASSERT_EQ(r.general, 0);
        items_ = eipo::Items(Bytes(m.data.begin() + 6, m.data.end()));
    }
    void SendIo(u32 sequence, const Bytes& data, u32 id = 0x11110001) {
        ASSERT_TRUE(io_.SendTo("127.0.0.1", static_cast<int>(kEipUdpPort) + offset_, eipo::IoDatagram(id, sequence, 0, data)));
        // The datagram is on the adapter's socket before the pass that takes it.
        for (int i = 0; i < 5; ++i) {
            clock_.AdvanceMs(1);
            Pump();
        }
    }
    u8 Consumed() { return plc_reg[kRegR + 200]; }

    EipOriginator o_{Pumper()};
    EipIo io_{Pumper()};
    std::vector<eipo::Cpf> items_;
};

TEST_F(EipIoTest, ConsumptionSequenceAndTimeOut) {
    eipo::ForwardOpen f = Bidirectional();
    f.multiplier = 1;
    Open(f);
    // A sockaddr pair for the consumer: own address, then the group.
    ASSERT_EQ(items_.size(), 4u);
    EXPECT_EQ(items_[2].type, 0x8000);
    EXPECT_EQ(GetBe16(&items_[2].data[2]), kEipUdpPort + offset_);
    EXPECT_EQ(items_[3].type, 0x8001);
    EXPECT_EQ(GetBe32(&items_[3].data[4]), NetAddr(239, 192, 1, 0) + 32 * 0);
    struct Case {
        u32 sequence;
        u8 value;
        u32 id;
        bool taken;
    } cases[] = {
        {100, 1, 0x11110001, true},   {100, 2, 0x11110001, false},        // repeat
        {105, 3, 0x11110001, true},                                         // jump
        {103, 4, 0x11110001, false},                                        // stale after the jump
        {106, 5, 0x22220009, false},                                        // another connection's ID
        {0xFFFFFFFF, 6, 0x11110001, false},                                 // far behind
        {0x7FFFFFFF, 7, 0x11110001, true},  {0xFFFFFFFE, 8, 0x11110001, true},
        {0x00000001, 9, 0x11110001, true},                                  // across the wrap
    };
    u8 expect = 0;
    for (const Case& c : cases) {
        SendIo(c.sequence, {c.value, 0, 0, 0}, c.id);
        if (c.taken) expect = c.value;
        EXPECT_EQ(Consumed(), expect) << c.sequence;
    }
    // One byte short: ignored.
    ASSERT_TRUE(io_.SendTo("127.0.0.1", static_cast<int>(kEipUdpPort) + offset_, eipo::IoDatagram(0x11110001, 2, 0, {10, 0, 0})));
    for (int i = 0; i < 5; ++i) Pump();
    EXPECT_EQ(Consumed(), 9);
    // RPI 10 ms, multiplier 1: 80 ms without data closes the consumer.
    EXPECT_EQ(EipConnEth[0].ioCount, 2);
    clock_.AdvanceMs(80);
    Pump();
    EXPECT_EQ(EipConnEth[0].ioCount, 2);
    clock_.AdvanceMs(1);
    Pump();
    EXPECT_EQ(EipConnEth[0].ioCount, 0);
}

TEST_F(EipIoTest, ProductionFollowsRegistersAndRunMode) {
    PutLe16(&plc_reg[kRegR], 0x1234);
    PutLe16(&plc_reg[kRegR + 2], 0xABCD);
    // Producer only: a consumer would time out while the clock runs.
    eipo::ForwardOpen f = Bidirectional();
    f.otParams = 0;
    Open(f);
    EXPECT_EQ(items_.size(), 2u);  // no sockaddr item for a producer
    Bytes got;
    for (int i = 0; i < 50 && got.empty(); ++i) {
        clock_.AdvanceMs(10);
        got = io_.Receive(50);
    }
    ASSERT_EQ(got.size(), kSize + 20);
    std::vector<eipo::Cpf> items = eipo::Items(got);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].type, 0x8002);
    EXPECT_EQ(GetLe32(items[0].data.data()), 0x22220001u);
    const u32 first = GetLe32(&items[0].data[4]);
    EXPECT_EQ(Bytes(items[1].data.begin() + 2, items[1].data.end()), Hex("34 12 CD AB"));
    // Outside run mode: zeros, while the counts go on.
    PutLe16(DprMap + kDprRunFlag, 0);
    clock_.AdvanceMs(10);
    got = io_.Receive(2000);
    ASSERT_EQ(got.size(), kSize + 20);
    items = eipo::Items(got);
    EXPECT_EQ(GetLe32(&items[0].data[4]), first + 1);
    EXPECT_EQ(Bytes(items[1].data.begin() + 2, items[1].data.end()), Hex("00 00 00 00"));
    // The status word counts the I/O connections.
    PutLe16(DprMap + kDprRunFlag, 1);
    Eip_Scan(0);  // eth1 names the same register
    EXPECT_EQ(GetLe16(&plc_reg[kRegR + 400]), 1);
}

class EipOversize : public EipAdapter {
    void Configure() override { Dpr_Configuration[0].eip[3] = 300; }
};

TEST_F(EipOversize, AnImageTooLargeIsRefusedAndNeverOverrun) {
    eipo::CipReply r = Ucmm(eipo::ForwardOpenRequest(Bidirectional()));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.general, 1);
    ASSERT_EQ(r.additional.size(), 1u);
    EXPECT_EQ(r.additional[0], 0x0109);
    r = Ucmm(eipo::Request(0x0E, eipo::Path(0x04, 100, 3)));
    EXPECT_EQ(r.general, 0);
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(Ucmm(eipo::Request(0x10, eipo::Path(0x04, 100, 3), Bytes(300, 1))).general, 0x15);
    // The produced side keeps its size.
    r = Ucmm(eipo::Request(0x0E, eipo::Path(0x04, 101, 3)));
    EXPECT_EQ(r.data.size(), kSize);
}

}  // namespace
