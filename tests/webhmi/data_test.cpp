// The web data items and the JSON data protocol: addresses resolved to
// registers and IEC variables, sessions, subscriptions, reads, writes,
// long-poll publish and the SCADA requests, served in this process to raw
// HTTP clients on loopback, with the toolkit clock on the manual clock.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "darTUsdk/dartusdk/dartu_engine.h"
#include "darTUsdk/dartusdk/dartu_rsa.h"
#include "darTUsdk/dartusdk/dartu_session.h"
#include "darTUsdk/dartusdk/dartu_subscription.h"
#include "darTUsdk/dartusdk/dartu_util.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "ladder/ladder_engine.h"
#include "platform/md5.h"
#include "testsupport/firmware_process.h"
#include "testsupport/reg_fixture.h"
#include "tests/webhmi/server_fixture.h"
#include "webhmi/dartu_glue.h"
#include "webhmi/dartu_items.h"
#include "webhmi/dartu_security.h"
#include "webhmi/dartu_symbols.h"

namespace {

struct Resolved {
    bool ok;
    u32 address;
    u8 type;
    u32 length;
};

Resolved Resolve(const std::string& text) {
    dartu_variable r{};
    std::string copy = text;
    int ok = dartu_parse_parameterized_variable(copy.data(), &r);
    return {ok == 1, r.address, r.data_type, r.length};
}

std::string Md5Hex(const std::string& s) {
    char hex[33];
    Md5_HexOf(s.data(), static_cast<u32>(s.size()), hex);
    return hex;
}

}  // namespace

TEST(WebItems, RegisterAddressesResolveByTheTables) {
    RegFixture regs;
    const u8 tokens = RegTokLen_16b;
    RegTokLen_16b = 1;
    struct Case {
        const char* text;
        bool ok;
        u32 address;
        u8 type;
        u32 length;
    } cases[] = {
        {"R_1_0_INT16", true, 0x8000, kDtInt16, 16},
        {"R_1_3_BOOL", true, 0x8002, kDtBool, 1},
        {"I_5_0_BOOL", true, 0x2004, kDtBool, 1},
        {"SR_200_0_UINT16", true, 0x10030070, kDtUint16, 16},  // %ESR8
        {"R_10_0_CHAR_8", true, 0x8090, kDtChar, 8},
        {"R_2_0_TIME", true, 0x8010, kDtTime, 48},
        {"R__1__0__INT32", true, 0x8000, kDtInt32, 32},  // runs of "_" count as one
        {"AI_2_5_FLOAT32", true, 0x4010, kDtFloat32, 32},  // the bit only shifts integral items
        {"M_1_0_BOOL", true, 0x3800, kDtBool, 1},
        {"R_50240_0_UINT16", true, 0x8000 + 16 * 50239, kDtUint16, 16},
        {"R_50241_0_UINT16", false, 0, 0, 0},
        {"R_0_0_INT16", false, 0, 0, 0},
        {"X_1_0_INT16", false, 0, 0, 0},
        {"R_1_0_INT64", false, 0, 0, 0},
        {"R_1_0", false, 0, 0, 0},
        {"R_1_0_CHAR", false, 0, 0, 0},
        {"R_1_0_CHAR_129", false, 0, 0, 0},  // longer than a text item may be
        {"R_x_0_INT16", false, 0, 0, 0},
        {"@R_1_0_INT16", false, 0, 0, 0},  // no IEC application: "@" is not removed
    };
    for (const Case& c : cases) {
        Resolved r = Resolve(c.text);
        EXPECT_EQ(r.ok, c.ok) << c.text;
        if (!c.ok || !r.ok) continue;
        EXPECT_EQ(r.address, c.address) << c.text;
        EXPECT_EQ(r.type, c.type) << c.text;
        EXPECT_EQ(r.length, c.length) << c.text;
    }
    RegTokLen_16b = 0;  // 32-bit operand tokens: the large windows
    EXPECT_EQ(Resolve("M_1_0_BOOL").address, 0x1001C000u);
    EXPECT_EQ(Resolve("T_2_0_BOOL").address, 0x10008001u);
    RegTokLen_16b = tokens;

    u32 a = 0;
    EXPECT_EQ(EtnRdsPlcReg_Adr(&a, 17, 17, 4), 1);
    EXPECT_EQ(a, 0x10030103u);
    EXPECT_EQ(EtnRdsPlcReg_Adr(&a, 17, 17, 17), 0);
    EXPECT_EQ(EtnRdsPlcReg_Adr(&a, 18, 1, 1), 0);
    EXPECT_EQ(a, 0x10030103u);  // unchanged by refusals
}

TEST(WebItems, IecNamesResolveThroughTheSymbolLookup) {
    RegFixture regs;
    FakeVmDb db;
    db.Link();
    DartuSym_FakeClear();
    DartuSym_FakeAdd("Speed", {kQ4TypeDint, 8, 0, false});
    DartuSym_FakeAdd("Level", {kQ4TypeInt, 6, 0, false});
    DartuSym_FakeAdd("Run", {kQ4TypeBool, 3, 0, false});
    DartuSym_FakeAdd("Name", {kQ4TypeString, 0, 1, false});
    DartuSym_FakeAdd("Big", {kQ4TypeLint, 0, 0, false});
    DartuSym_FakeAdd("Motor.Rpm", {kQ4TypeUint, 12, 0, true});
    DartuSym_FakeAdd("Bytes", {kQ4TypeUsint, 4, 0, false});
    struct Case {
        const char* text;
        bool ok;
        u32 address;
        u8 type;
        u32 length;
    } cases[] = {
        {"Speed", true, 0xC0000000u | (2u << 26) | 2, kDtInt32, 32},
        {"Level", true, 0xC0000000u | (1u << 26) | 3, kDtInt16, 16},
        {"Run", true, 0xC0000000u | (6u << 26) | 3, kDtBool, 1},
        {"Name", true, 0xC0000000u | (4u << 26) | 1, kDtChar, 4},  // the string's capacity
        {"Motor.Rpm", true, 0xE0000000u | (1u << 26) | 12, kDtUint16, 16},
        {"Speed.3", true, 0xC0000000u | (2u << 26) | (3u << 20) | 2, kDtBool, 1},
        {"Bytes@6", true, 0xC0000000u | 4, kDtChar, 6},
        {"Run@16", true, 0xC0000000u | (6u << 26) | 3, kDtUint16, 16},
        {"Speed@2", true, 0xC0000000u | (2u << 26) | 2, kDtInt32, 16},
        {"Speed@40", true, 0xC0000000u | (2u << 26) | 2, kDtInt32, 320},  // beyond what a byte holds
        {"Big", false, 0, 0, 0},
        {"Missing", false, 0, 0, 0},
        {"R_1_0_INT16", false, 0, 0, 0},  // a name now, with no fallback
        {"@R_1_0_INT16", true, 0x8000, kDtInt16, 16},
    };
    for (const Case& c : cases) {
        Resolved r = Resolve(c.text);
        EXPECT_EQ(r.ok, c.ok) << c.text;
        if (!c.ok || !r.ok) continue;
        EXPECT_EQ(r.address, c.address) << c.text;
        EXPECT_EQ(r.type, c.type) << c.text;
        EXPECT_EQ(r.length, c.length) << c.text;
    }
    DartuSym_FakeClear();
}

TEST(WebItems, ControllerClockReadsAsUtcSeconds) {
    struct Case {
        u16 regs[6];  // second, minute, hour, day, month, year
        u32 seconds;
    } cases[] = {
        {{0, 0, 0, 1, 1, 2000}, 946684800u},
        {{0, 0, 12, 5, 3, 2021}, 1614945600u},
        {{59, 59, 23, 31, 12, 2024}, 1735689599u},
        {{0, 0, 0, 1, 3, 2024}, 1709251200u},  // after February of a leap year
    };
    for (const Case& c : cases) {
        u8 s[6];
        LoadStamp(s, c.regs);
        EXPECT_EQ(dartu_Conversion_to_UTC_Time_func(s), c.seconds) << c.regs[5] << "-" << c.regs[4];
    }
}

// ---- The protocol ---------------------------------------------------------------

class WebData : public WebServerTest {
protected:
    void SetUp() override {
        WebServerTest::SetUp();
        Dartu_ItemsReset();
        dartu_clear_user_login_details();
        RegTokLen_16b = 1;
        controllerSeconds_ = 1614945600;
        const u16 clock[6] = {0, 0, 12, 5, 3, 2021};  // SR44-SR49: 2021-03-05 12:00:00
        for (int i = 0; i < 6; ++i) SR_Put(44 + i, clock[i]);
    }
    void TearDown() override {
        WebServerTest::TearDown();
        Dartu_ItemsReset();
        dartu_clear_user_login_details();
    }
    void BeforeListening() override {
        Dartu_InstallCallbacks();
        dartu_engine_set_clock(&ControllerClock);
        dartu_options_generate_temporary_rsa(1024, 0x10001);
        dartu_global_options()->publish_queue_size = queueSize_;
    }
    void OnPass() override {
        if (polling_.load()) dartu_automatic_update_variables();
    }
    static i64 ControllerClock() { return controllerSeconds_.load(); }

    // One POST of the JSON protocol; the body of the answer.
    std::string Post(const std::string& request, const std::string& body, const std::string& session = "") {
        std::string head = "POST /darTU/?" + request + " HTTP/1.1\r\nAuthorization: Basic b3A6c2VjcmV0\r\n";
        if (!session.empty()) head += "X-DarTU: " + XDarTU(session) + "\r\n";
        head += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
        std::string out = Exchange(head + body);
        size_t at = out.find("\r\n\r\n");
        return at == std::string::npos ? out : out.substr(at + 4);
    }
    std::string XDarTU(const std::string& id) {
        std::string cnonce = std::to_string(++cnonce_);
        return "sessionid=\"" + id + "\", cnonce=\"" + cnonce + "\", digest=\"" +
               Md5Hex(id + ":" + secrets_[id] + ":" + cnonce) + "\"";
    }
    // The secret enciphered with the server's public key (PKCS #1 v1.5).
    static std::string Cipher(const std::string& secret) {
        dartu_global_options_t* o = dartu_global_options();
        std::vector<u8> block(o->rsa_modulus_length, 0x5A);
        block[0] = 0;
        block[1] = 2;
        block[block.size() - secret.size() - 1] = 0;
        std::memcpy(block.data() + block.size() - secret.size(), secret.data(), secret.size());
        std::vector<u8> c(block.size());
        size_t len = c.size();
        dartu_rsa_exptmod(o->rsa_key, 0, block.data(), block.size(), c.data(), &len);
        std::string hex(2 * len + 1, '\0');
        dartu_util_hex_encode(c.data(), len, hex.data());
        hex.resize(2 * len);
        return hex;
    }
    // A new session's id, or the error answer.
    std::string Open(const std::string& secret, const std::string& extra = "") {
        std::string a = Post("createsession", "cipher=" + Cipher(secret) + extra);
        size_t at = a.find("\"sessionid\":\"");
        if (at == std::string::npos) return a;
        std::string id = a.substr(at + 13, 8);
        secrets_[id] = secret;
        return id;
    }
    std::string Frame(const std::string& session) {
        std::string a = Post("createsubscription", "x=1", session);
        size_t at = a.find("\"subscriptionid\":\"");
        return at == std::string::npos ? a : a.substr(at + 18, a.find('"', at + 18) - at - 18);
    }
    static std::string Addresses(const std::vector<std::string>& list) {
        std::string body;
        for (const std::string& a : list) body += (body.empty() ? "" : "&") + std::string("address%5B%5D=") + a;
        return body;
    }
    void AdvanceHalfSeconds(u64 n) { Clock_Advance(n * 500000000ull); }
    inline static std::atomic<i64> controllerSeconds_{0};
    std::atomic<bool> polling_{false};
    u32 queueSize_ = 4608;
    u32 cnonce_ = 0;
    std::map<std::string, std::string> secrets_;
    RegFixture regs_;
};

TEST_F(WebData, ReadsAndWritesSubscribedAddresses) {
    Start(1);
    std::string s = Open("secret-one");
    ASSERT_EQ(s, "00000001");
    // A read of an address nobody subscribed: 301 even though it is valid.
    EXPECT_EQ(Post("read", Addresses({"R_1_0_INT16"}), s),
              "{\"result\":[{\"value\":null,\"error\":301,\"errorstring\":\"Address not found\"}]}");
    std::string f = Frame(s);
    ASSERT_EQ(f, "1");
    PutLe16(PlcReg_Ptr(0x8000, 16), 0xFFFE);  // %R1 = -2
    const std::vector<std::string> items = {"R_1_0_INT16", "R_1_3_BOOL",   "I_5_0_BOOL",   "SR_200_0_UINT16",
                                            "R_10_0_CHAR_8", "R_20_0_FLOAT32", "R_30_0_TIME", "Nope_1_0_INT16"};
    EXPECT_EQ(Post("subscribedata", "subscriptionid=" + f + "&" + Addresses(items), s),
              "{\"result\":[{\"error\":0},{\"error\":0},{\"error\":0},{\"error\":0},{\"error\":0},{\"error\":0},"
              "{\"error\":0},{\"error\":301,\"errorstring\":\"Address not found\"}]}");
    std::string w = Post("write",
                         "address%5B%5D=R_1_3_BOOL&value%5B%5D=true&address%5B%5D=I_5_0_BOOL&value%5B%5D=yes&"
                         "address%5B%5D=SR_200_0_UINT16&value%5B%5D=4660&address%5B%5D=R_10_0_CHAR_8&value%5B%5D=hi%20you&"
                         "address%5B%5D=R_20_0_FLOAT32&value%5B%5D=nan&address%5B%5D=R_30_0_TIME&value%5B%5D=90000&"
                         "address%5B%5D=R_10_0_CHAR_8&value%5B%5D=much%20too%20long&address%5B%5D=KeepAliveVar&"
                         "value%5B%5D=1&address%5B%5D=Nope_1_0_INT16&value%5B%5D=1",
                         s);
    EXPECT_EQ(w, "{\"result\":[{\"error\":0},{\"error\":0},{\"error\":0},{\"error\":0},{\"error\":0},{\"error\":0},"
                 "{\"error\":304,\"errorstring\":\"Buffer overflow\"},{\"error\":0},"
                 "{\"error\":301,\"errorstring\":\"Address not found\"}]}");
    EXPECT_EQ(GetLe16(PlcReg_Ptr(0x8000, 16)), 0xFFFE);  // bit 3 of %R1 was set already
    EXPECT_EQ(ESR_Get(8), 4660);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(PlcReg_Ptr(0x8090, 64)), 6), "hi you");
    EXPECT_TRUE(std::isnan(GetLeFloat(PlcReg_Ptr(0x8130, 32))));
    EXPECT_EQ(GetLe32(PlcReg_Ptr(0x81D0, 32)), 90000u);

    std::string r = Post("read", Addresses(items), s);
    EXPECT_NE(r.find("{\"value\":-2,"), std::string::npos) << r;
    EXPECT_NE(r.find("{\"value\":true,"), std::string::npos) << r;
    EXPECT_NE(r.find("{\"value\":false,"), std::string::npos) << r;  // "yes" writes 0
    EXPECT_NE(r.find("{\"value\":4660,"), std::string::npos) << r;
    EXPECT_NE(r.find("{\"value\":\"hi you\","), std::string::npos) << r;
    EXPECT_NE(r.find("{\"value\":90000,"), std::string::npos) << r;
    EXPECT_NE(r.find("\"timestamp\":1614945600000"), std::string::npos) << r;
    EXPECT_NE(r.find("{\"value\":null,\"error\":301"), std::string::npos) << r;

    // 40 addresses: answered in request order across the groups of 32.
    std::vector<std::string> forty;
    for (int i = 0; i < 40; ++i) forty.push_back(i % 2 ? "R_1_0_INT16" : "SR_200_0_UINT16");
    std::string many = Post("read", Addresses(forty), s);
    size_t at = 0;
    for (int i = 0; i < 40; ++i) {
        size_t next = many.find(i % 2 ? "{\"value\":-2," : "{\"value\":4660,", at);
        ASSERT_NE(next, std::string::npos) << i << " " << many;
        at = next + 1;
    }
}

TEST_F(WebData, ARefusedRegisterWriteIsReportedAndTheActualValueNotified) {
    Start(1);
    std::string s = Open("secret");
    std::string f = Frame(s);
    // %SR188 takes 0 to 1000 only.
    SR_Put(188, 321);
    Post("subscribedata", "subscriptionid=" + f + "&" + Addresses({"SR_188_0_UINT16"}), s);
    Post("publish", "longpoll=false", s);  // the user information and the first value
    EXPECT_EQ(Post("write", "address%5B%5D=SR_188_0_UINT16&value%5B%5D=5000", s),
              "{\"result\":[{\"error\":405,\"errorstring\":\"Access denied\"}]}");
    EXPECT_EQ(SR_Get(188), 321);
    std::string p = Post("publish", "longpoll=false", s);
    EXPECT_NE(p.find("\"value\":321,"), std::string::npos) << p;
    EXPECT_NE(p.find("\"status\":405"), std::string::npos) << p;
    EXPECT_EQ(Post("write", "address%5B%5D=SR_188_0_UINT16&value%5B%5D=500", s), "{\"result\":[{\"error\":0}]}");
    EXPECT_EQ(SR_Get(188), 500);
}

TEST_F(WebData, SessionsFramesAndTheLoginList) {
    Start(1);
    std::vector<std::string> ids;
    for (int i = 0; i < 4; ++i) ids.push_back(Open("s" + std::to_string(i), i == 0 ? "&timeout=0" : ""));
    EXPECT_EQ(ids[3], "00000004");
    EXPECT_EQ(Open("s4"), "{\"error\":450,\"errorstring\":\"Too many active sessions\"}");
    // The new session's queue starts with its user's rights.
    EXPECT_EQ(Post("publish", "longpoll=false", ids[1]),
              "{\"result\":[{\"type\":0,\"subscriptionid\":[\"\"],\"right\":[\"Right0\",\"Right1\",\"Right2\","
              "\"Right3\"],\"username\":\"op\"}],\"remaining\":0}");

    EXPECT_EQ(user_details_list.count, 0);
    EXPECT_FALSE(Dartu_WebUserLoggedIn());
    std::string f = Frame(ids[0]);
    Frame(ids[1]);
    EXPECT_EQ(user_details_list.count, 2);
    EXPECT_TRUE(Dartu_WebUserLoggedIn());
    u8 bit = 0;
    PlcReg_Get(&bit, kDartuLoginBitAddress, 1);
    EXPECT_EQ(bit, 1);
    for (int i = 1; i < 16; ++i) Frame(ids[0]);
    EXPECT_EQ(Frame(ids[0]), "{\"error\":463,\"errorstring\":\"Too many subscription frames in a session\"}");
    EXPECT_EQ(Post("subscribedata", "subscriptionid=" + f + "&" + Addresses({"R_5_0_INT16", "R_6_0_INT16", "R_5_0_INT16"}),
                   ids[0]),
              "{\"result\":[{\"error\":0},{\"error\":0},{\"error\":465,\"errorstring\":\"Subscribed data item already "
              "subscribed in this frame\"}]}");
    // Another session's frame id names no frame here.
    EXPECT_EQ(Post("subscribedata", "subscriptionid=" + f + "&" + Addresses({"R_5_0_INT16"}), ids[1]),
              "{\"error\":459,\"errorstring\":\"Subscription id not found\"}");
    EXPECT_EQ(Post("login", "x=1", ids[0]), "{}");
    EXPECT_EQ(Post("logout", "x=1", ids[0]), "{}");
    EXPECT_EQ(Post("changepassword", "username=op", ids[0]),
              "{\"error\":455,\"errorstring\":\"Auth type is form and no user\\/password were sent\"}");
    EXPECT_EQ(Post("changepassword", "username=a&oldpasswordcipher=b&newpasswordcipher=c&passworddigest=d", ids[0]),
              "{\"error\":505,\"errorstring\":\"Password change callback not set\"}");

    EXPECT_EQ(Post("deletesession", "x=1", ids[1]), "{}");
    EXPECT_EQ(user_details_list.count, 1);
    EXPECT_EQ(Post("deletesession", "x=1", ids[0]),  "{}");
    EXPECT_EQ(user_details_list.count, 0);
    PlcReg_Get(&bit, kDartuLoginBitAddress, 1);
    EXPECT_EQ(bit, 0);
    EXPECT_EQ(dartu_engine_subscription_item_count(), 0u);  // the deleted frames took their items
    EXPECT_EQ(Open("again"), "00000005");
}

TEST_F(WebData, SessionsExpireByBothTimeOuts) {
    Start(1);
    std::string quiet = Open("quiet");
    std::string idle = Open("idle");
    Frame(quiet);
    Frame(idle);
    // 60 s of toolkit clock without a verified request ends a session; the
    // other keeps reading and stays until the controller's clock passes
    // its inactivity time-out.
    for (int i = 0; i < 5; ++i) {
        AdvanceHalfSeconds(30);
        Post("read", "x=1", idle);
    }
    AdvanceHalfSeconds(2);
    ASSERT_TRUE(WaitUntil([&] { return Logged("Expiring session " + quiet + " due to connection timeout"); }, 20000));
    EXPECT_EQ(Post("read", "x=1", quiet), "{\"error\":451,\"errorstring\":\"Requested session was not found\"}");
    EXPECT_EQ(Post("read", "x=1", idle), "{\"result\":[]}");
    controllerSeconds_ += 301;
    AdvanceHalfSeconds(2);  // the toolkit clock moves by whole seconds
    ASSERT_TRUE(WaitUntil(
        [&] { return Logged("Expiring session " + idle + " due to session (inactivity) timeout from webpage's"); },
        20000));
    EXPECT_EQ(dartu_engine_session_count(), 0u);
    EXPECT_EQ(user_details_list.count, 0);
}

TEST_F(WebData, PublishCoalescesParksAndTearsDown) {
    queueSize_ = 3;
    Start(1);
    std::string s = Open("pub");
    std::string f1 = Frame(s), f2 = Frame(s);
    Post("publish", "longpoll=false", s);  // the user information
    Post("subscribedata", "subscriptionid=" + f1 + "&" + Addresses({"R_1_0_INT16", "R_2_0_INT16", "R_3_0_INT16"}), s);
    Post("subscribedata", "subscriptionid=" + f2 + "&" + Addresses({"R_1_0_INT16"}), s);
    // Five writes of one item: one entry, the newest value, at the place of
    // the first; the item held by two frames lists both.
    for (int v = 1; v <= 5; ++v)
        Post("write", "address%5B%5D=R_1_0_INT16&value%5B%5D=" + std::to_string(v), s);
    std::string p = Post("publish", "longpoll=false&maxresults=1", s);
    EXPECT_NE(p.find("\"subscriptionid\":[\"" + f1 + "\",\"" + f2 + "\"],\"address\":\"R_1_0_INT16\",\"value\":5"),
              std::string::npos)
        << p;
    EXPECT_NE(p.find("\"remaining\":2"), std::string::npos) << p;
    std::string rest = Post("publish", "longpoll=false", s);
    EXPECT_NE(rest.find("\"remaining\":0}"), std::string::npos) << rest;
    // An empty queue parks the publish; a change answers it at the next tick.
    polling_ = true;
    int fd = Connect(http_);
    std::string body = "x=1";
    std::string req = "POST /darTU/?publish HTTP/1.1\r\nAuthorization: Basic b3A6c2VjcmV0\r\nX-DarTU: " + XDarTU(s) +
                      "\r\nContent-Length: 3\r\n\r\n" + body;
    send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    ASSERT_TRUE(WaitUntil([&] { return dartu_engine_session_at(0) && dartu_engine_session_at(0)->parked_buffer; }, 20000));
    PutLe16(PlcReg_Ptr(0x8020, 16), 77);  // %R3
    std::string parked = ReadAll(fd);
    close(fd);
    EXPECT_NE(parked.find("\"address\":\"R_3_0_INT16\",\"value\":77"), std::string::npos) << parked;
    polling_ = false;
    // Without change the parked publish is answered empty after timeout/2.
    fd = Connect(http_);
    req = "POST /darTU/?publish HTTP/1.1\r\nAuthorization: Basic b3A6c2VjcmV0\r\nX-DarTU: " + XDarTU(s) +
          "\r\nContent-Length: 3\r\n\r\n" + body;
    send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    ASSERT_TRUE(WaitUntil([&] { return dartu_engine_session_at(0) && dartu_engine_session_at(0)->parked_buffer; }, 20000));
    AdvanceHalfSeconds(30);
    parked = ReadAll(fd);
    close(fd);
    EXPECT_NE(parked.find("{\"result\":[],\"remaining\":0}"), std::string::npos) << parked;
    // Overflow: the fourth queued value is refused and logged once; the
    // session goes at the next expiry pass.
    std::string o = Open("overflow");
    std::string of = Frame(o);
    Post("subscribedata", "subscriptionid=" + of + "&" + Addresses({"R_7_0_INT16", "R_8_0_INT16", "R_9_0_INT16"}), o);
    EXPECT_EQ(WebHmiTest::CountLogged("Publish queue overflow on session " + o + " (3 items)"), 1);
    AdvanceHalfSeconds(2);  // the toolkit clock moves by whole seconds
    ASSERT_TRUE(WaitUntil([&] { return Logged("Tearing session " + o + " down"); }, 20000));

    // A session torn down while its publish is parked: that publish gets 466.
    fd = Connect(http_);
    req = "POST /darTU/?publish HTTP/1.1\r\nAuthorization: Basic b3A6c2VjcmV0\r\nX-DarTU: " + XDarTU(s) +
          "\r\nContent-Length: 3\r\n\r\n" + body;
    send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    ASSERT_TRUE(WaitUntil([&] { return dartu_engine_session_at(0) && dartu_engine_session_at(0)->parked_buffer; }, 20000));
    dartu_engine_session_at(0)->teardown = 1;
    AdvanceHalfSeconds(2);  // the toolkit clock moves by whole seconds
    parked = ReadAll(fd);
    close(fd);
    EXPECT_NE(parked.find("{\"error\":466,"), std::string::npos) << parked;
    EXPECT_EQ(dartu_engine_session_count(), 0u);
}

TEST_F(WebData, ScadaAlarmAndHistoryRequests) {
    Start(1);
    std::string s = Open("scada"), other = Open("other");
    std::string f = Frame(s), g = Frame(other);
    EXPECT_EQ(Post("readhistory", "address%5B%5D=a", s), "{\"error\":510,\"errorstring\":\"Read history callback not set\"}");
    EXPECT_EQ(Post("queryfilter", "x=1", s), "{\"error\":509,\"errorstring\":\"Received no historized data\"}");
    EXPECT_EQ(Post("acceptalarm", "address%5B%5D=a&address%5B%5D=b&address%5B%5D=c", s), "{\"result\":[]}");
    EXPECT_EQ(Post("readprocessimage", "x=1", s), "{\"result\":[]}");
    EXPECT_EQ(Post("subscribefilter", "subscriptionid=" + f + "&aggregation=none&interval=1&field=a:b", s),
              "{\"serverhandle\":\"\\/\\/F\\/00000001\"}");
    EXPECT_EQ(Post("subscribefilter", "subscriptionid=" + f + "&field=a:b", s), "{\"serverhandle\":\"\\/\\/F\\/00000002\"}");
    EXPECT_EQ(Post("subscribefilter", "subscriptionid=" + f + "&field=nocolon", s),
              "{\"error\":467,\"errorstring\":\"Invalid syntax of filter parameters\"}");
    EXPECT_EQ(Post("subscribefilter", "subscriptionid=" + g + "&field=a:b", s),
              "{\"error\":459,\"errorstring\":\"Subscription id not found\"}");
    EXPECT_EQ(Post("unsubscribefilter", "subscriptionid=" + g + "&serverhandle%5B%5D=%2F%2FF%2F00000001", s),
              "{\"error\":459,\"errorstring\":\"Subscription id not found\"}");
    EXPECT_EQ(Post("unsubscribefilter",
                   "subscriptionid=" + f + "&serverhandle%5B%5D=%2F%2FF%2F00000001&serverhandle%5B%5D=%2F%2FF%2F00000009", s),
              "{\"result\":[{\"error\":0},{\"error\":460,\"errorstring\":\"Subscribed data item not found\"}]}");
    std::string info = Post("info", "x=1");
    EXPECT_NE(info.find("\"loginmethod\":\"http\""), std::string::npos) << info;
    EXPECT_NE(info.find("\"certificationlevel\":\"scada\",\"features\":[\"session\",\"subscribedata\",\"login\",\"read\",\"write\"],"
                        "\"longpollsupport\":true,\"securitysupport\":true,\"maxtimeout\":60"),
              std::string::npos)
        << info;
    // Ping is answered by the request hook, without a session.
    EXPECT_EQ(Post("Ping", "x=1"), "{\"Result\":\"OK\"}");
}
