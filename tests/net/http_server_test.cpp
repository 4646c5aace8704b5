// HTTP server: the request parser's pieces, and the server stepped over
// loopback against a plain client: files of the card read, written and
// deleted, refusals with their status texts, requests and bodies that arrive
// over many passes, names that would leave the card, and Digest
// authentication with time-stamped nonces on a clock the test drives.
#include "net/http_server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/cmdrun.h"
#include "platform/fx_api.h"
#include "platform/root.h"
#include "storage/cf_api.h"
#include "tests/net/http_fixture.h"
#include "testsupport/fw_media.h"
#include "testsupport/loopback.h"
#include "testsupport/manual_clock.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/temp_root.h"

namespace {

TEST(HttpParse, ResourceOfTheRequestLine) {
    struct Case {
        const char* head;
        u32 result;
        const char* resource;
    } cases[] = {
        {"GET /index.htm HTTP/1.0\r\n\r\n", 0, "/index.htm"},
        {"GET /readreg.htm;reg-R1;fmt-INT HTTP/1.0\r\n\r\n", 0, "/readreg.htm"},
        {"GET /a/b.txt?x=1 HTTP/1.0\r\n\r\n", 0, "/a/b.txt"},
        {"GET /12345678901234567890123456789012345678 HTTP/1.0\r\n\r\n", 0,
         "/12345678901234567890123456789012345678"},                                 // 39 characters
        {"GET /123456789012345678901234567890123456789 HTTP/1.0\r\n\r\n", 400, ""},  // 40
        {"GET index.htm HTTP/1.0\r\n\r\n", 400, ""},                                  // no '/'
        {"GET /index.htm\r\n\r\n", 400, ""},                                          // not ended
    };
    for (const Case& c : cases) {
        char out[kHttpResourceBytes];
        EXPECT_EQ(Http_Resource(reinterpret_cast<const u8*>(c.head), static_cast<u32>(std::strlen(c.head)), out),
                  c.result)
            << c.head;
        EXPECT_STREQ(out, c.resource) << c.head;
    }
}

TEST(HttpParse, ContentLengthAndHeadEnd) {
    struct Case {
        const char* head;
        bool found;
        u32 value;
    } cases[] = {
        {"PUT /a HTTP/1.0\r\nContent-Length: 12\r\n\r\n", true, 12},
        {"PUT /a HTTP/1.0\r\ncontent-length:7 \r\n\r\n", true, 7},
        {"PUT /a HTTP/1.0\r\nX-Content-Length: 12\r\n\r\n", false, 0},  // only the header itself counts
        {"PUT /a HTTP/1.0\r\nContent-Length: 4294967295\r\n\r\n", true, 4294967295u},
        {"PUT /a HTTP/1.0\r\nContent-Length: 4294967296\r\n\r\n", false, 0},
        {"PUT /a HTTP/1.0\r\nContent-Length: 12x\r\n\r\n", false, 0},
        {"PUT /a HTTP/1.0\r\nContent-Length: \r\n\r\n", false, 0},
        {"PUT /a HTTP/1.0\r\n\r\n", false, 0},
    };
    for (const Case& c : cases) {
        u32 v = 0;
        const u8* h = reinterpret_cast<const u8*>(c.head);
        u32 n = static_cast<u32>(std::strlen(c.head));
        EXPECT_EQ(Http_ContentLength(h, n, &v), c.found) << c.head;
        if (c.found) {
            EXPECT_EQ(v, c.value) << c.head;
        }
        EXPECT_EQ(Http_HeadLength(h, n), n) << c.head;
        EXPECT_EQ(Http_HeadLength(h, n - 1), 0u) << c.head;
    }
}

TEST(HttpParse, FileNamesStayOnTheirDrive) {
    struct Case {
        const char* resource;
        const char* name;  // nullptr: refused
    } cases[] = {
        {"/index.htm", "A:/index.htm"},
        {"/web/a%20b.txt", "A:/web/a b.txt"},
        {"/..", nullptr},
        {"/../etc/passwd", nullptr},
        {"/a/../../b", nullptr},
        {"/%2e%2e/x", nullptr},
        {"/%2E%2e%2fx", nullptr},
        {"/.", nullptr},
        {"//etc/passwd", nullptr},
        {"/Z:/PROGRAM.DAT", nullptr},
        {"/a\\..\\b", nullptr},
        {"/a%5c..%5cb", nullptr},
        {"/a%00b", nullptr},
        {"/dir/", nullptr},
        {"/*.*", nullptr},
        {"/a%zz", nullptr},
        {"/a%2", nullptr},
        {"/", nullptr},
    };
    for (const Case& c : cases) {
        char out[kHttpResourceBytes + 2];
        bool ok = Http_FileName(c.resource, 0, out, sizeof out);
        EXPECT_EQ(ok, c.name != nullptr) << c.resource;
        if (ok && c.name != nullptr) {
            EXPECT_STREQ(out, c.name) << c.resource;
        }
    }
    char out[kHttpResourceBytes + 2];
    ASSERT_TRUE(Http_FileName("/x.txt", 1, out, sizeof out));
    EXPECT_STREQ(out, "B:/x.txt");
}

TEST(HttpParse, ContentTypeByExtension) {
    EXPECT_STREQ(Http_ContentType("/index.htm"), "text/html");
    EXPECT_STREQ(Http_ContentType("/INDEX.HTML"), "text/html");
    EXPECT_STREQ(Http_ContentType("/a.b/logo.GIF"), "image/gif");
    EXPECT_STREQ(Http_ContentType("/i.xbm"), "image/x-xbitmap");
    EXPECT_STREQ(Http_ContentType("/data.csv"), "text/plain");
    EXPECT_STREQ(Http_ContentType("/readme"), "text/plain");
    EXPECT_STREQ(Http_ContentType("/a.ht"), "text/plain");
}

TEST(HttpParse, ParametersAfterTheResource) {
    NxPacket p;
    std::string line = "GET /readreg.htm;reg-R1;fmt-BOOL-ON-OFF;rfs-5?x;no HTTP/1.0\r\n\r\n";
    p.dataStart = reinterpret_cast<u8*>(line.data());
    p.length = static_cast<u32>(line.size());
    char buf[64];
    const char* expect[] = {"reg-R1", "fmt-BOOL-ON-OFF", "rfs-5"};
    for (u32 i = 0; i < 3; ++i) {
        ASSERT_EQ(_nxe_http_server_param_get(&p, i, buf, sizeof buf), kHttpSuccess);
        EXPECT_STREQ(buf, expect[i]);
    }
    EXPECT_EQ(_nxe_http_server_param_get(&p, 3, buf, sizeof buf), kHttpNotFound);
    EXPECT_EQ(_nxe_http_server_param_get(&p, 1, buf, 15), kHttpMalformed);
    EXPECT_EQ(_nxe_http_server_param_get(nullptr, 0, buf, sizeof buf), kHttpBadArgument);
}

// The example of RFC 2617 section 3.5, and values checked with Python's
// hashlib.
TEST(HttpDigest, ResponsesAgreeWithTheRfcAndHashlib) {
    char out[kMd5HexChars + 1];
    Http_DigestResponse("Mufasa", "testrealm@host.com", "Circle Of Life", "GET", "/dir/index.html",
                        "dcd98b7102dd2f0e8b11d0f600bfb0c093", "00000001", "0a4f113b", out);
    EXPECT_STREQ(out, "6629fae49393a05397450978507c4ef1");
    // python3: h=lambda s: hashlib.md5(s.encode()).hexdigest();
    // h(h("op:Controller HTTP Server:pw")+":n1:00000002:c2:auth:"+h("PUT:/f.txt"))
    Http_DigestResponse("op", "Controller HTTP Server", "pw", "PUT", "/f.txt", "n1", "00000002", "c2", out);
    EXPECT_STREQ(out, "6535acf8d16b10af9b8b655d38623ced");
}

// ---------------------------------------------------------------- loopback

// What the test's callbacks answer.
struct Callbacks {
    u32 auth = kHttpNoAuthentication;
    u32 notify = kHttpSuccess;
    std::string lastResource;
    u32 lastType = 0;
};
Callbacks g_cb;

u32 TestAuth(HttpServerObject*, u32 type, const char* resource, const char** name, const char** password,
             const char** realm) {
    g_cb.lastResource = resource;
    g_cb.lastType = type;
    *name = "op";
    *password = "secret";
    *realm = "Controller HTTP Server";
    return g_cb.auth;
}

u32 TestNotify(HttpServerObject* s, u32, const char*, NxPacket*) {
    if (g_cb.notify == kHttpCallbackCompleted) {
        const char answer[] = "HTTP/1.0 200 \r\nContent-Length: 2\r\n\r\nok";
        Http_SendAll(s, answer, sizeof answer - 1);
    }
    return g_cb.notify;
}

class HttpLoopback : public ::testing::Test {
protected:
    void SetUp() override {
        g_cb = Callbacks{};
        env_.Start();
        ASSERT_EQ(_nxe_http_server_create(&server_, "test", &ip_, &Cf_Media, stack_, sizeof stack_, &pool_, TestAuth,
                                          TestNotify),
                  kHttpSuccess);
        ASSERT_EQ(_nxe_http_server_start(&server_), kHttpSuccess);
    }
    void TearDown() override {
        _nxe_http_server_delete(&server_);
        EXPECT_EQ(Nx_PoolFree(&pool_), pool_.count) << "a packet was not given back";
        env_.Stop();
    }
    // One pass of the controller, 10 ms of its clock.
    void Pass() {
        _nx_http_server_thread_entry(&server_);
        EnetThread();
        Nx_IdleWait(1);
        clock_.AdvanceMs(10);
    }
    int Connect() { return ConnectLoopback(static_cast<int>(kHttpPort) + Root_PortOffset()); }
    void Send(int fd, const std::string& bytes) {
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // Steps the server until the connection closes; the bytes it sent.
    std::string Collect(int fd, int passes = 3000) {
        return CollectUntilClosed(fd, [this] { Pass(); }, passes);
    }
    std::string Exchange(const std::string& request) {
        int fd = Connect();
        EXPECT_GE(fd, 0);
        if (fd < 0) return "";
        Send(fd, request);
        return Collect(fd);
    }
    static std::string Status(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }
    static std::string Body(const std::string& answer) {
        size_t e = answer.find("\r\n\r\n");
        return e == std::string::npos ? "" : answer.substr(e + 4);
    }
    std::string Challenge(const std::string& answer) {
        size_t at = answer.find("nonce=\"");
        return at == std::string::npos ? "" : answer.substr(at + 7, kHttpNonceChars);
    }
    std::string DigestHeader(const std::string& method, const std::string& uri, const std::string& nonce,
                             const std::string& user = "op", const std::string& password = "secret") {
        char response[kMd5HexChars + 1];
        Http_DigestResponse(user.c_str(), "Controller HTTP Server", password.c_str(), method.c_str(), uri.c_str(),
                            nonce.c_str(), "00000001", "abcdef", response);
        return "Authorization: Digest username=\"" + user + "\", realm=\"Controller HTTP Server\", nonce=\"" + nonce +
               "\", uri=\"" + uri + "\", qop=auth, nc=00000001, cnonce=\"abcdef\", response=\"" + response +
               "\"\r\n";
    }

    ManualClock clock_;
    TempRoot root_;
    HttpNetEnv env_;
    NxPacketPool& pool_ = env_.pool;
    NxIp& ip_ = env_.ip;
    HttpServerObject server_{};
    u8 stack_[4] = {};
};

TEST_F(HttpLoopback, FilesAreReadWrittenAndDeleted) {
    std::string big(5000, 'x');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(FwPut("/mnt/USB0/index.htm", "<p>hi</p>"));
    ASSERT_TRUE(FwPut("/mnt/USB0/web/big.txt", big));
    ASSERT_TRUE(FwPut("/mnt/USB0/empty.gif", ""));

    std::string a = Exchange("GET /index.htm HTTP/1.0\r\n\r\n");
    EXPECT_EQ(a, "HTTP/1.0 200 \r\nContent-Length: 9\r\nContent-Type: text/html\r\n\r\n<p>hi</p>");
    EXPECT_EQ(g_cb.lastType, kHttpGet);
    a = Exchange("GET /web/BIG.TXT HTTP/1.0\r\n\r\n");
    EXPECT_EQ(Body(a), big);
    EXPECT_NE(a.find("Content-Length: 5000\r\nContent-Type: text/plain\r\n"), std::string::npos);
    EXPECT_EQ(Exchange("HEAD /web/big.txt HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 200 \r\nContent-Length: 5000\r\nContent-Type: text/plain\r\n\r\n");
    EXPECT_EQ(Exchange("GET /empty.gif HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 200 \r\nContent-Length: 0\r\nContent-Type: image/gif\r\n\r\n");
    EXPECT_EQ(Exchange("POST /index.htm HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc"),
              "HTTP/1.0 200 \r\nContent-Length: 9\r\nContent-Type: text/html\r\n\r\n<p>hi</p>");

    a = Exchange("PUT /web/new.txt HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello");
    EXPECT_EQ(a, "HTTP/1.0 200 \r\n\r\n");
    EXPECT_EQ(FwGet("/mnt/USB0/web/NEW.TXT"), "hello");
    EXPECT_EQ(Body(Exchange("GET /web/new.txt HTTP/1.0\r\n\r\n")), "hello");
    EXPECT_EQ(Exchange("DELETE /web/new.txt HTTP/1.0\r\n\r\n"), "HTTP/1.0 200 \r\n\r\n");
    EXPECT_FALSE(FwExists("/mnt/USB0/web/NEW.TXT"));
}

TEST_F(HttpLoopback, RefusalsCarryTheirStatusTexts) {
    struct Case {
        const char* request;
        const char* answer;
    } cases[] = {
        {"GET /missing.htm HTTP/1.0\r\n\r\n",
         "HTTP/1.0 404 \r\nContent-Length: 50\r\n\r\nNetX HTTP Server unable to find file: /missing.htm"},
        {"GET /web HTTP/1.0\r\n\r\n",
         "HTTP/1.0 404 \r\nContent-Length: 42\r\n\r\nNetX HTTP Server unable to find file: /web"},
        {"get /index.htm HTTP/1.0\r\n\r\n",
         "HTTP/1.0 501 \r\nContent-Length: 33\r\n\r\nNetX HTTP Request Not Implemented"},
        {"OPTIONS /index.htm HTTP/1.0\r\n\r\n", ""},  // not a request the server reads: dropped
        {"GET /123456789012345678901234567890123456789 HTTP/1.0\r\n\r\n",
         "HTTP/1.0 400 \r\nContent-Length: 17\r\n\r\nNetX HTTP URL Bad"},
        {"PUT /a.txt HTTP/1.0\r\n\r\nabc", "HTTP/1.0 411 \r\nContent-Length: 27\r\n\r\nNetX HTTP No Content Length"},
        {"POST /index.htm HTTP/1.0\r\n\r\n",
         "HTTP/1.0 411 \r\nContent-Length: 27\r\n\r\nNetX HTTP No Content Length"},
        {"DELETE /missing.htm HTTP/1.0\r\n\r\n",
         "HTTP/1.0 500 \r\nContent-Length: 28\r\n\r\nNetX HTTP File Delete Failed"},
        {"PUT /nodir/a.txt HTTP/1.0\r\nContent-Length: 1\r\n\r\nx",
         "HTTP/1.0 500 \r\nContent-Length: 33\r\n\r\nNetX HTTP File Create/Open Failed"},
    };
    ASSERT_TRUE(FwPut("/mnt/USB0/web/x.txt", "x"));
    for (const Case& c : cases) EXPECT_EQ(Exchange(c.request), c.answer) << c.request;

    g_cb.notify = kHttpError;
    EXPECT_EQ(Exchange("GET /web/x.txt HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 500 \r\nContent-Length: 25\r\n\r\nNetX HTTP Request Aborted");
    g_cb.notify = kHttpCallbackCompleted;
    EXPECT_EQ(Exchange("GET /web/x.txt HTTP/1.0\r\n\r\n"), "HTTP/1.0 200 \r\nContent-Length: 2\r\n\r\nok");
    g_cb.notify = kHttpSuccess;
    g_cb.auth = 1;  // neither pass nor challenge: no answer
    EXPECT_EQ(Exchange("GET /web/x.txt HTTP/1.0\r\n\r\n"), "");
}

// Names that would leave the card are refused for every method, and nothing
// outside the card changes.
TEST_F(HttpLoopback, NamesNeverLeaveTheCard) {
    ASSERT_TRUE(FwPut("/mnt/cfg/keep.txt", "flash"));
    ASSERT_TRUE(FwPut("/mnt/USB0/web/in.txt", "card"));
    const char* names[] = {"/../cfg/keep.txt", "/%2e%2e/cfg/keep.txt", "/web/%2E%2E/%2e%2e/cfg/keep.txt",
                           "//mnt/cfg/keep.txt", "/Z:/keep.txt", "/web\\..\\..\\cfg\\keep.txt"};
    for (const char* name : names) {
        for (const char* method : {"GET ", "PUT ", "DELETE "}) {
            std::string request = std::string(method) + name + " HTTP/1.0\r\nContent-Length: 4\r\n\r\nevil";
            EXPECT_EQ(Status(Exchange(request)), "HTTP/1.0 400 ") << request;
        }
    }
    EXPECT_EQ(FwGet("/mnt/cfg/keep.txt"), "flash");
    EXPECT_EQ(FwGet("/mnt/USB0/web/in.txt"), "card");
}

// A head that arrives in pieces over many passes is kept until complete; a
// head larger than a packet is refused without growing past it.
TEST_F(HttpLoopback, HeadsAcrossPassesAndTheirLimits) {
    ASSERT_TRUE(FwPut("/mnt/USB0/index.htm", "<p>hi</p>"));
    int fd = Connect();
    ASSERT_GE(fd, 0);
    const char* pieces[] = {"GET /ind", "ex.htm HTTP/1.0\r\nUser-Agent: t", "est\r\n\r\n"};
    for (const char* piece : pieces) {
        Send(fd, piece);
        for (int i = 0; i < 30; ++i) Pass();
    }
    EXPECT_EQ(Body(Collect(fd)), "<p>hi</p>");

    fd = Connect();
    ASSERT_GE(fd, 0);
    Send(fd, "GET /index.htm HTTP/1.0\r\nX-Pad: " + std::string(3000, 'p') + "\r\n\r\n");
    EXPECT_EQ(Collect(fd), "");

    // A head that never completes is dropped after its 1000 ticks.
    fd = Connect();
    ASSERT_GE(fd, 0);
    Send(fd, "GET /index.htm HTTP/1.0\r\n");
    EXPECT_EQ(Collect(fd, static_cast<int>(kHttpWaitSteps) + 50), "");
    EXPECT_EQ(Body(Exchange("GET /index.htm HTTP/1.0\r\n\r\n")), "<p>hi</p>");
}

// A PUT body that arrives slowly is written as it comes; one that stalls is
// answered 500 and leaves no file behind.
TEST_F(HttpLoopback, PutBodiesAcrossPasses) {
    std::string body(100 * 1024, 0);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + i / 251);
    int fd = Connect();
    ASSERT_GE(fd, 0);
    Send(fd, "PUT /slow.bin HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
    for (size_t at = 0; at < body.size(); at += 3000) {
        Send(fd, body.substr(at, 3000));
        for (int i = 0; i < 3; ++i) Pass();
    }
    EXPECT_EQ(Collect(fd), "HTTP/1.0 200 \r\n\r\n");
    EXPECT_TRUE(FwGet("/mnt/USB0/SLOW.BIN") == body);

    fd = Connect();
    ASSERT_GE(fd, 0);
    Send(fd, "PUT /cut.bin HTTP/1.0\r\nContent-Length: 10000\r\n\r\n" + body.substr(0, 4000));
    EXPECT_EQ(Collect(fd, static_cast<int>(kHttpWaitSteps) + 100),
              "HTTP/1.0 500 \r\nContent-Length: 25\r\n\r\nNetX HTTP Receive Timeout");
    EXPECT_FALSE(FwExists("/mnt/USB0/CUT.BIN"));

    // A client that goes away in the middle leaves no file either.
    fd = Connect();
    ASSERT_GE(fd, 0);
    Send(fd, "PUT /gone.bin HTTP/1.0\r\nContent-Length: 10000\r\n\r\n" + body.substr(0, 4000));
    for (int i = 0; i < 20; ++i) Pass();
    close(fd);
    for (int i = 0; i < 20; ++i) Pass();
    EXPECT_FALSE(FwExists("/mnt/USB0/GONE.BIN"));
    EXPECT_EQ(server_.socket.state, NX_TCP_LISTEN);
}

TEST_F(HttpLoopback, BasicAuthentication) {
    ASSERT_TRUE(FwPut("/mnt/USB0/a.txt", "A"));
    g_cb.auth = kHttpBasicAuthentication;
    EXPECT_EQ(Exchange("GET /a.txt HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"Controller HTTP Server\"\r\n\r\n");
    // "op:secret" and "op:wrong".
    EXPECT_EQ(Body(Exchange("GET /a.txt HTTP/1.0\r\nAuthorization: Basic b3A6c2VjcmV0\r\n\r\n")), "A");
    EXPECT_EQ(Status(Exchange("GET /a.txt HTTP/1.0\r\nauthorization: basic b3A6d3Jvbmc=\r\n\r\n")),
              "HTTP/1.0 401 Unauthorized");
}

TEST_F(HttpLoopback, DigestNoncesAreBoundToTimeUserAndTarget) {
    ASSERT_TRUE(FwPut("/mnt/USB0/a.txt", "A"));
    ASSERT_TRUE(FwPut("/mnt/USB0/b.txt", "B"));
    g_cb.auth = kHttpDigestAuthentication;
    std::string a = Exchange("GET /a.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(Status(a), "HTTP/1.0 401 Unauthorized");
    EXPECT_NE(a.find("WWW-Authenticate: Digest realm=\"Controller HTTP Server\", algorithm=\"md5\", nonce=\""),
              std::string::npos);
    EXPECT_NE(a.find("\", qop=\"auth\"\r\n\r\n"), std::string::npos);
    EXPECT_EQ(a.find("stale"), std::string::npos);
    std::string nonce = Challenge(a);
    ASSERT_EQ(nonce.size(), kHttpNonceChars);

    std::string header = DigestHeader("GET", "/a.txt", nonce);
    EXPECT_EQ(Body(Exchange("GET /a.txt HTTP/1.0\r\n" + header + "\r\n")), "A");
    // The same header does not open another file, another method or another user's door.
    EXPECT_EQ(Status(Exchange("GET /b.txt HTTP/1.0\r\n" + header + "\r\n")), "HTTP/1.0 401 Unauthorized");
    EXPECT_EQ(Status(Exchange("DELETE /a.txt HTTP/1.0\r\n" + header + "\r\n")), "HTTP/1.0 401 Unauthorized");
    EXPECT_EQ(Status(Exchange("GET /a.txt HTTP/1.0\r\n" + DigestHeader("GET", "/a.txt", nonce, "op", "bad") +
                              "\r\n")),
              "HTTP/1.0 401 Unauthorized");
    EXPECT_EQ(Status(Exchange("GET /a.txt HTTP/1.0\r\n" + DigestHeader("GET", "/a.txt", nonce, "other", "secret") +
                              "\r\n")),
              "HTTP/1.0 401 Unauthorized");
    // A nonce the server never issued, however well formed, is refused.
    std::string forged = nonce.substr(0, 8) + std::string(32, '0');
    EXPECT_EQ(Status(Exchange("GET /a.txt HTTP/1.0\r\n" + DigestHeader("GET", "/a.txt", forged) + "\r\n")),
              "HTTP/1.0 401 Unauthorized");
    EXPECT_TRUE(FwExists("/mnt/USB0/a.txt"));

    // Near the end of its life the nonce still serves; after it, the answer is
    // 401 stale with a fresh nonce that serves again.
    clock_.AdvanceMs(kHttpNonceLifetimeS * 1000ull - 1000);
    EXPECT_EQ(Body(Exchange("GET /a.txt HTTP/1.0\r\n" + header + "\r\n")), "A");
    clock_.AdvanceMs(2000);
    a = Exchange("GET /a.txt HTTP/1.0\r\n" + header + "\r\n");
    EXPECT_EQ(Status(a), "HTTP/1.0 401 Unauthorized");
    EXPECT_NE(a.find(", stale=true\r\n"), std::string::npos);
    std::string fresh = Challenge(a);
    ASSERT_NE(fresh, nonce);
    EXPECT_EQ(Body(Exchange("GET /a.txt HTTP/1.0\r\n" + DigestHeader("GET", "/a.txt", fresh) + "\r\n")), "A");
}

TEST(HttpServerObject, CreateChecksItsArguments) {
    TempRoot root;
    Nx_Reset();
    std::vector<u8> area(8 * (600 + kNxPacketHeaderBytes));
    NxPacketPool small;
    _nx_packet_pool_create(&small, "small", 600, area.data(), static_cast<u32>(area.size()));
    NxIp ip;
    ip.name = "eth0";
    u8 stack[4];
    HttpServerObject s{};
    EXPECT_EQ(_nxe_http_server_create(&s, "t", &ip, &Cf_Media, stack, 4, &small, nullptr, nullptr),
              kHttpPoolTooSmall);
    EXPECT_EQ(_nxe_http_server_create(&s, "t", nullptr, &Cf_Media, stack, 4, &small, nullptr, nullptr),
              kHttpBadArgument);
    EXPECT_EQ(_nxe_http_server_create(&s, "t", &ip, &Cf_Media, nullptr, 4, &small, nullptr, nullptr),
              kHttpBadArgument);
    EXPECT_EQ(_nxe_http_server_start(&s), kHttpBadArgument);
    EXPECT_EQ(_nxe_http_server_delete(&s), kHttpBadArgument);
    Nx_Reset();
}

}  // namespace
