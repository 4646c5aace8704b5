#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "link/command.h"
#include "remote/msgcfg.h"
#include "testsupport/msgcfg_builder.h"

namespace {

MsgCfgBuilder Sound() {
    MsgCfgBuilder b;
    b.contacts = {{"+15550001", 0, 1}, {"", 0x12345, 2}};
    b.receive = {{"SET R1 ", 1, 0x800, "4:0:"}};
    b.transmit = {{"ALARM ", 2, 0x801, ""}, {"OK", 1, 0x802, "2:0:"}};
    b.fieldItems = 1;
    b.centre = "+4412345";
    b.pin = "1234";
    return b;
}

u32 Parse(const std::vector<u8>& bytes, CfgSetUp* set) {
    MsgBody body{bytes.data(), static_cast<u32>(bytes.size())};
    return SmsStructInit(body, set);
}

}  // namespace

TEST(MsgCfg, SoundBlockGivesTablesAndSettings) {
    Cmd_Override = 0;
    ProgrammingPort = 0;
    MsgCfgBuilder b = Sound();
    b.port = 0;  // the programming port: the link must give it up
    b.mode[0] = 7;
    b.portOptions = 3;
    u32 poolAt = 0;
    std::vector<u8> bytes = b.Build(&poolAt);
    CfgSetUp set;
    ASSERT_EQ(Parse(bytes, &set), kMagicSmv1);
    EXPECT_EQ(set.sms.contactCount, 2u);
    EXPECT_EQ(set.sms.receiveCount, 1u);
    EXPECT_EQ(set.sms.transmitCount, 2u);
    EXPECT_EQ(set.sms.contacts, 100u);
    EXPECT_EQ(set.sms.pool, poolAt);
    EXPECT_EQ(std::string(set.centre), "+4412345");
    EXPECT_EQ(std::string(set.pin), "1234");
    EXPECT_EQ(set.pollTicks, 50000u);
    EXPECT_EQ(set.atPort, 0);
    const u8 mode[6] = {7, 0, 3, 0, 0, 0x31};
    EXPECT_EQ(std::vector<u8>(set.comportCfg, set.comportCfg + 6), std::vector<u8>(mode, mode + 6));
    EXPECT_EQ(set.initRequest, 1);
    EXPECT_EQ(set.startDelay, 1);
    EXPECT_EQ(set.startDelayTicks, 150000u);
    EXPECT_EQ(Cmd_Override, 1);
    // The transmit entry's text and its field list come out of the pool.
    MsgBody body{bytes.data(), static_cast<u32>(bytes.size())};
    const u8* text = nullptr;
    u32 e = set.sms.transmit + 16;
    ASSERT_TRUE(MsgCfg_PoolText(body, set.sms, body.U32(e), body.U32(e + 4), &text));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(text), 2), "OK");
    u32 l = set.sms.transmitLists + 8;
    ASSERT_TRUE(MsgCfg_PoolText(body, set.sms, body.U32(l), body.U32(l + 4), &text));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(text), 4), "2:0:");
    Cmd_Override = 0;
}

// Each case changes one thing of a sound block; the parse says whether SMS
// stays in force.
TEST(MsgCfg, ValidationCases) {
    struct Case {
        const char* what;
        std::function<void(MsgCfgBuilder&)> setUp;
        std::function<void(std::vector<u8>&, u32 poolAt)> patch;
        u32 magic;
    };
    auto none = [](MsgCfgBuilder&) {};
    auto keep = [](std::vector<u8>&, u32) {};
    const Case cases[] = {
        {"256 contacts", [](MsgCfgBuilder& b) { b.contacts.assign(256, {"1", 0, 1}); }, keep, kMagicSmv1},
        {"257 contacts", [](MsgCfgBuilder& b) { b.contacts.assign(257, {"1", 0, 1}); }, keep, kMagicNosm},
        {"register contact with an offset past the pool",
         [](MsgCfgBuilder& b) { b.contacts = {{"", 0x7FFFFFF0, 1}}; }, keep, kMagicSmv1},
        {"text runs past the pool (offset and length each inside)", none,
         [](std::vector<u8>& v, u32) {
             u32 pool = GetLe32(&v[44]);
             u32 e = 100 + 2 * 20;  // first receive entry
             PutLe32(&v[e], pool - 2);
             PutLe32(&v[e + 4], 5);
         },
         kMagicNosm},
        {"text exactly at the end of the pool", none,
         [](std::vector<u8>& v, u32) {
             u32 pool = GetLe32(&v[44]);
             u32 e = 100 + 2 * 20;
             PutLe32(&v[e], pool - 2);
             PutLe32(&v[e + 4], 2);
         },
         kMagicSmv1},
        {"field list past the pool", none,
         [](std::vector<u8>& v, u32) {
             u32 lists = GetLe32(&v[32]) - GetLe32(&v[8]) + 100 + GetLe32(&v[36]);
             PutLe32(&v[lists + 8 + 4], GetLe32(&v[44]) + 1);  // first transmit list's length
         },
         kMagicNosm},
        {"transmit text past the pool with no receive entries (tables at one offset)",
         [](MsgCfgBuilder& b) { b.receive.clear(); },
         [](std::vector<u8>& v, u32) {
             u32 e = 100 + 2 * 20;  // the first transmit entry
             PutLe32(&v[e + 4], GetLe32(&v[44]) + 1);
         },
         kMagicNosm},
        {"transmit table outside the block", none,
         [](std::vector<u8>& v, u32) { PutLe32(&v[24], 0x7FFF0000); }, kMagicNosm},
        {"pool outside the block", none, [](std::vector<u8>& v, u32) { PutLe32(&v[44], 0x10000000); }, kMagicNosm},
        {"17-digit centre number is ignored", [](MsgCfgBuilder& b) { b.centre = "12345678901234567"; }, keep,
         kMagicSmv1},
        {"GSM record switches SMS off", [](MsgCfgBuilder& b) { b.gsm.options = 0x03; }, keep, kMagicNosm},
        {"section of 99 bytes", none, [](std::vector<u8>& v, u32) { PutLe32(&v[0], 99); }, kMagicNosm},
        {"magic NOSM", none, [](std::vector<u8>& v, u32) { PutLe32(&v[4], kMagicNosm); }, kMagicNosm},
        {"earlier layout", none, [](std::vector<u8>& v, u32) { PutLe32(&v[4], 0x534D5630); }, 0x534D5630},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MsgCfgBuilder b = Sound();
        c.setUp(b);
        u32 poolAt = 0;
        std::vector<u8> v = b.Build(&poolAt);
        c.patch(v, poolAt);
        CfgSetUp set;
        EXPECT_EQ(Parse(v, &set), c.magic);
    }
    // Texts too long for their fields are taken as not configured.
    MsgCfgBuilder b = Sound();
    b.centre = "12345678901234567";
    b.pin = "12345";
    CfgSetUp set;
    ASSERT_EQ(Parse(b.Build(), &set), kMagicSmv1);
    EXPECT_STREQ(set.centre, "");
    EXPECT_STREQ(set.pin, "");
}

TEST(MsgCfg, GsmRecordSizesAndShortRecords) {
    for (u32 size : {96u, 48u, 36u}) {
        SCOPED_TRACE(size);
        MsgCfgBuilder b = Sound();
        b.gsm.size = size;
        b.gsm.debugRegister = 0x4321;
        std::vector<u8> v = b.Build();
        MsgBody body{v.data(), static_cast<u32>(v.size())};
        GsmRecordView g = MsgCfg_FindGsm(body);
        ASSERT_TRUE(g.found);
        EXPECT_EQ(g.size, size);
        const u8* text = nullptr;
        u32 length = 0;
        ASSERT_TRUE(g.Text(16, &text, &length));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(text), length), "internet");
        // The debug-log register at +56 exists only in the 96-byte record;
        // the shorter ones never read it from the e-mail section behind them.
        EXPECT_EQ(g.U32(56), size == 96 ? 0x4321u : 0u);
        EXPECT_EQ(g.Has(32, 4), size >= 36);
    }
    MsgCfgBuilder b = Sound();
    b.gsm.size = 0;
    std::vector<u8> v = b.Build();
    EXPECT_FALSE(MsgCfg_FindGsm(MsgBody{v.data(), static_cast<u32>(v.size())}).found);
}

TEST(MsgCfg, GsmTextOutsideThePoolIsAbsent) {
    std::vector<u8> v = Sound().Build();
    MsgBody body{v.data(), static_cast<u32>(v.size())};
    GsmRecordView g = MsgCfg_FindGsm(body);
    ASSERT_TRUE(g.found);
    PutLe16(&v[g.start + 16], static_cast<u16>(g.poolSize - 3));
    PutLe16(&v[g.start + 18], 4);
    const u8* text = nullptr;
    u32 length = 0;
    EXPECT_FALSE(g.Text(16, &text, &length));
    PutLe16(&v[g.start + 18], 3);
    EXPECT_TRUE(g.Text(16, &text, &length));
}

TEST(MsgCfg, ChangeDetection) {
    MsgCfgStamp stamp;
    EXPECT_TRUE(MsgCfg_Changed(stamp, 0x1234, 500));
    stamp = {0x1234, 500, true};
    EXPECT_FALSE(MsgCfg_Changed(stamp, 0x1234, 500));
    EXPECT_TRUE(MsgCfg_Changed(stamp, 0x1235, 500));
    EXPECT_TRUE(MsgCfg_Changed(stamp, 0x1234, 501));
}
