// The web-HMI server in this process against real clients: pages and their
// errors, Digest and Basic authentication, request framing, the JSON
// dispatch, HTTPS with a certificate made by openssl, and connections that
// never speak.
#include <sys/resource.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "darTUsdk/dartusdk/dartu_auth.h"
#include "darTUsdk/dartusdk/dartu_buffer.h"
#include "platform/md5.h"
#include "platform/ssl_lib.h"
#include "tests/webhmi/server_fixture.h"

namespace {

std::string Md5Text(const std::string& s) {
    char hex[33];
    Md5_HexOf(s.data(), static_cast<u32>(s.size()), hex);
    return hex;
}

// The value of name="..." in a header text.
std::string Param(const std::string& text, const std::string& name) {
    size_t at = text.find(name + "=\"");
    if (at == std::string::npos) return "";
    at += name.size() + 2;
    return text.substr(at, text.find('"', at) - at);
}

std::string DigestHeader(const std::string& nonce, const std::string& uri, const std::string& nc,
                         const std::string& password = "secret") {
    std::string ha1 = Md5Text("op:darTU:" + password);
    std::string ha2 = Md5Text("GET:" + uri);
    std::string cnonce = "abc" + nc;
    std::string response = Md5Text(ha1 + ":" + nonce + ":" + nc + ":" + cnonce + ":auth:" + ha2);
    return "Authorization: Digest username=\"op\", realm=\"darTU\", nonce=\"" + nonce + "\", uri=\"" + uri +
           "\", algorithm=MD5, qop=auth, nc=" + nc + ", cnonce=\"" + cnonce + "\", response=\"" + response + "\"\r\n";
}

std::string Status(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }

}  // namespace

TEST_F(WebServerTest, PagesDefaultDocumentsGzipAndErrors) {
    Put("/index.htm", "home");
    Put("/dir/index.html", "dir page");
    Put("/data.bin", std::string("\x1f\x8b\x08zz", 5));
    Put("/page.js", std::string("\x1f\x8b\x08", 3) + "packed");
    Put("/only/readme.txt", "x");
    Shell("ln -s /etc/hostname '" + web_ + "/escape.htm'");
    Start();
    const std::string u = "--digest -u op:secret ";
    struct Case {
        std::string args, path, code, body;
    } cases[] = {
        {"", "/", "200", "home"},
        {"", "/index.htm?x=1", "200", "home"},
        {"", "/dir/", "200", "dir page"},
        {"", "/dir", "200", "dir page"},
        {"", "/only/", "404", ""},
        {"", "/missing.htm", "404", ""},
        {"", "/a/%2e%2e/index.htm", "403", ""},
        {"", "/a\\..\\index.htm", "403", ""},
        {"", "/escape.htm", "403", ""},
        {"", "/data.bin", "200", std::string("\x1f\x8b\x08zz", 5)},  // unknown type: never examined
        {"", "/page.js", "406", ""},
        {"-H 'Accept-Encoding: gzip' ", "/page.js", "200", std::string("\x1f\x8b\x08", 3) + "packed"},
        {"", "/" + std::string(300, 'a') + ".htm", "414", ""},
    };
    for (const Case& c : cases) {
        std::string a = Curl(u + c.args + Url(c.path));
        EXPECT_EQ(Code(a), c.code) << c.path << "\n" << a;
        if (!c.body.empty()) {
            EXPECT_EQ(BodyOf(a), c.body) << c.path;
        }
    }
    // Headers of a served file and of a HEAD.
    std::string h = Shell("timeout 30 curl -s -D - -o /dev/null " + u + "-H 'Accept-Encoding: gzip' " +
                          Url("/page.js"));
    EXPECT_NE(h.find("Content-Encoding: gzip\r\n"), std::string::npos) << h;
    EXPECT_NE(h.find("Content-Length: 9\r\n"), std::string::npos) << h;
    EXPECT_NE(h.find("Server: DarTU SDK/0.9.0\r\n"), std::string::npos) << h;
    std::string head = Shell("timeout 30 curl -s -I " + u + Url("/missing.htm"));
    head = head.substr(head.rfind("HTTP/1.0"));  // after the challenge
    EXPECT_EQ(Status(head), "HTTP/1.0 404 Not Found") << head;
    EXPECT_EQ(head.find("<html>"), std::string::npos) << head;
    head = Shell("timeout 30 curl -s -I " + u + Url("/index.htm"));
    EXPECT_NE(head.find("Content-Length: 4\r\n"), std::string::npos) << head;
    // The error page names the entity, escaped.
    std::string a = Curl(u + Url("/%3Cb%3E.htm"));
    EXPECT_NE(a.find("Requested Entity: /&lt;b&gt;.htm</p>"), std::string::npos) << a;
}

TEST_F(WebServerTest, DigestNonceStaleAfterThirtySecondsAndRetry) {
    Put("/index.htm", "home");
    Start();
    EXPECT_EQ(Curl("--digest -u op:secret " + Url("/index.htm")), "home\n200");
    EXPECT_EQ(Code(Curl("--digest -u op:wrong " + Url("/index.htm"))), "401");
    EXPECT_EQ(Code(Curl("--digest -u nobody:secret " + Url("/index.htm"))), "401");
    EXPECT_EQ(Code(Curl("--basic -u op:secret " + Url("/index.htm"))), "401");  // Basic refused in Digest mode
    EXPECT_EQ(Code(Curl("-H 'Authorization: NTLM abc' " + Url("/index.htm"))), "401");

    // Each 401 carries a new nonce.
    std::string first = Exchange("GET /index.htm HTTP/1.0\r\n\r\n");
    std::string second = Exchange("GET /index.htm HTTP/1.0\r\n\r\n");
    ASSERT_EQ(Status(first), "HTTP/1.0 401 Authorization Required") << first;
    std::string nonce = Param(first, "nonce");
    ASSERT_EQ(nonce.size(), 32u);
    EXPECT_NE(nonce, Param(second, "nonce"));
    EXPECT_NE(first.find("algorithm=MD5, qop=\"auth\"\r\n"), std::string::npos) << first;

    std::string ok = Exchange("GET /index.htm HTTP/1.0\r\n" + DigestHeader(nonce, "/index.htm", "00000001") + "\r\n");
    EXPECT_EQ(Status(ok), "HTTP/1.0 200 OK") << ok;
    // A forged nonce, and one from the future, are refused.
    std::string forged = nonce;
    forged[31] = forged[31] == '0' ? '1' : '0';
    EXPECT_EQ(Status(Exchange("GET /index.htm HTTP/1.0\r\n" + DigestHeader(forged, "/index.htm", "00000002") + "\r\n")),
              "HTTP/1.0 401 Authorization Required");
    // 31 seconds later the same answer is stale: 401 with the marker.
    Clock_Advance(31ull * 1000000000ull);
    std::string stale =
        Exchange("GET /index.htm HTTP/1.0\r\n" + DigestHeader(nonce, "/index.htm", "00000003") + "\r\n");
    EXPECT_EQ(Status(stale), "HTTP/1.0 401 Authorization Required") << stale;
    EXPECT_NE(stale.find(", stale=\"true\"\r\n"), std::string::npos) << stale;
    std::string fresh = Param(stale, "nonce");
    EXPECT_EQ(Status(Exchange("GET /index.htm HTTP/1.0\r\n" + DigestHeader(fresh, "/index.htm", "00000001") + "\r\n")),
              "HTTP/1.0 200 OK");
    // A wrong password with a fresh nonce is no stale answer.
    std::string wrong = Exchange("GET /index.htm HTTP/1.0\r\n" +
                                 DigestHeader(fresh, "/index.htm", "00000002", "bad") + "\r\n");
    EXPECT_EQ(wrong.find("stale"), std::string::npos) << wrong;
}

TEST_F(WebServerTest, BasicAgainstTheDigestsOfTheUserFile) {
    Put("/index.htm", "home");
    Start(1);
    EXPECT_EQ(Curl("--basic -u op:secret " + Url("/index.htm")), "home\n200");
    EXPECT_EQ(Curl("--basic -u viewer:look " + Url("/index.htm")), "home\n200");
    EXPECT_EQ(Code(Curl("--basic -u op:look " + Url("/index.htm"))), "401");
    std::string a = Shell("timeout 30 curl -s -D - -o /dev/null " + Url("/index.htm"));
    EXPECT_NE(a.find("WWW-Authenticate: Basic realm=\"darTU\"\r\n"), std::string::npos) << a;
    // No colon in the credentials: the empty user, refused.
    EXPECT_EQ(Code(Curl("-H 'Authorization: Basic b3BzZWNyZXQ=' " + Url("/index.htm"))), "401");
}

TEST_F(WebServerTest, FramingSimplePipelinedBytewiseAndOversized) {
    Put("/index.htm", "home");
    Put("/two.htm", "second");
    Start(1);
    const std::string auth = "Authorization: Basic b3A6c2VjcmV0\r\n";  // op:secret
    // A simple request (no version) from socat.
    ASSERT_EQ(access("/usr/bin/socat", X_OK), 0) << "socat is missing: scripts/setup.sh installs it";
    std::string simple = Shell("printf 'GET /index.htm\\r\\n' | timeout 20 socat - TCP:127.0.0.1:" +
                               std::to_string(http_));
    EXPECT_EQ(Status(simple), "HTTP/1.0 401 Authorization Required") << simple;  // no headers, no credentials
    // Byte by byte.
    std::string req = "GET /index.htm HTTP/1.0\r\n" + auth + "\r\n";
    std::string a = Exchange(req, 1);
    EXPECT_EQ(Status(a), "HTTP/1.0 200 OK") << a;
    EXPECT_EQ(a.substr(a.size() - 4), "home");
    // Two requests in one send: both answered, in order.
    a = Exchange(req + "GET /two.htm HTTP/1.0\r\n" + auth + "\r\n");
    size_t one = a.find("\r\n\r\nhome"), two = a.find("\r\n\r\nsecond");
    EXPECT_NE(one, std::string::npos) << a;
    EXPECT_NE(two, std::string::npos) << a;
    EXPECT_LT(one, two);
    // A Content-Length above the request limit ends the connection unanswered.
    a = Exchange("POST /darTU/?info HTTP/1.0\r\n" + auth + "Content-Length: 999999999\r\n\r\n");
    EXPECT_EQ(a, "");
    EXPECT_TRUE(Logged("Content-Length negative or too large"));
    // Unknown methods and a method too short.
    EXPECT_EQ(Status(Exchange("BREW /pot HTTP/1.0\r\n\r\n")), "HTTP/1.0 500 Invalid method");
    EXPECT_EQ(Status(Exchange("G / HTTP/1.0\r\n\r\n")), "HTTP/1.0 500 No recognizable method found in request");
    EXPECT_EQ(Status(Exchange("POST /darTU/?info\r\n\r\n")), "HTTP/1.0 414 Request-URL Too Long");
}

TEST_F(WebServerTest, JsonDispatch) {
    Start(1);
    const std::string auth = "Authorization: Basic b3A6c2VjcmV0\r\n";
    auto post = [&](const std::string& url, const std::string& extra = "", const std::string& body = "a=1") {
        std::string a = Exchange("POST " + url + " HTTP/1.0\r\n" + auth + extra +
                                 "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        return a;
    };
    auto body = [](const std::string& a) { return a.substr(a.find("\r\n\r\n") + 4); };
    struct Case {
        std::string url, extra, status, body;
    } cases[] = {
        {"/darTU/?read", "", "HTTP/1.0 200 OK", "{\"error\":454,\"errorstring\":\"X-DarTU is missing\"}"},
        {"/darTU/?nosuchrequest", "", "HTTP/1.0 200 OK", "{\"error\":300,\"errorstring\":\"Unknown method\"}"},
        {"/darTU/read", "", "HTTP/1.0 404 Not found", ""},
        {"/darTU/?read", "X-DarTU: sessionid=\"1\", cnonce=\"1\"\r\n", "HTTP/1.0 200 OK",
         "{\"error\":453,\"errorstring\":\"X-DarTU is malformed\"}"},
        {"/darTU/?read", "X-DarTU: sessionid=\"1\", cnonce=\"1\", digest=\"00\"\r\n", "HTTP/1.0 200 OK",
         "{\"error\":451,\"errorstring\":\"Requested session was not found\"}"},
        {"/darTU/?read", "X-DarTU: sessionid=\"1\", cnonce=\"1\", servername=\"x\", digest=\"00\"\r\n",
         "HTTP/1.0 200 OK", "{\"error\":601,\"errorstring\":\"Remote server not accessible\"}"},
    };
    for (const Case& c : cases) {
        std::string a = post(c.url, c.extra);
        EXPECT_EQ(Status(a), c.status) << c.url << "\n" << a;
        if (!c.body.empty()) {
            EXPECT_EQ(body(a), c.body) << c.url;
        }
        if (c.status == "HTTP/1.0 200 OK") {
            EXPECT_NE(a.find("Content-Type: application/json\r\n"), std::string::npos) << a;
            EXPECT_NE(a.find("Cache-Control: no-cache\r\n"), std::string::npos) << a;
        }
    }
    // info needs no session: it reaches its handler.
    static std::string seenUser;
    dartu_engine_set_post_handler(
        "info",
        [](dartu_post_request* r) {
            seenUser = r->user;
            dartu_buffer* b = dartu_buffer_get(kDartuBufContent, 64, 4096, 0);
            dartu_buffer_put_data(b, "{\"ok\":1}", 8);
            dartu_engine_construct_json_response(0, &r->reply, b);
        },
        nullptr);
    std::string a = post("/darTU/?info");
    EXPECT_EQ(body(a), "{\"ok\":1}") << a;
    EXPECT_EQ(seenUser, "op");
    // A handler that produced no reply still answers: 500.
    dartu_engine_set_post_handler("info", [](dartu_post_request*) {}, nullptr);
    EXPECT_EQ(Status(post("/darTU/?info")), "HTTP/1.0 500 Internal Server Error");
    // Without credentials: the challenge, before any dispatch.
    a = Exchange("POST /darTU/?info HTTP/1.0\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(Status(a), "HTTP/1.0 401 Authorization Required");
}

TEST_F(WebServerTest, HttpsWithAnOpensslCertificateAndSilentClients) {
    Put("/index.htm", "home");
    const std::string pem = root_.Dir() + "/server.pem";
    Shell("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -days 2 -keyout '" + pem + "' -out '" + pem +
          ".crt' 2>&1 && cat '" + pem + ".crt' >> '" + pem + "'");
    Start(1, pem);
    ASSERT_TRUE(dartu_comm_tls_ready());
    EXPECT_EQ(Curl("-k --basic -u op:secret " + Url("/index.htm", true)), "home\n200");
    EXPECT_EQ(Curl("--basic -u op:secret " + Url("/index.htm")), "home\n200");
    std::string s = Shell("printf 'GET /index.htm HTTP/1.0\\r\\nAuthorization: Basic b3A6c2VjcmV0\\r\\n\\r\\n' | "
                          "timeout 20 openssl s_client -quiet -connect 127.0.0.1:" +
                          std::to_string(https_) + " 2>/dev/null");
    EXPECT_NE(s.find("HTTP/1.0 200 OK"), std::string::npos) << s;
    EXPECT_NE(s.find("\r\n\r\nhome"), std::string::npos) << s;

    // A TLS client that never speaks holds its connection only until the
    // idle limit; a plain one the same.
    int silentTls = Connect(https_), silentPlain = Connect(http_);
    ASSERT_GE(silentTls, 0);
    ASSERT_GE(silentPlain, 0);
    EXPECT_EQ(Curl("-k --basic -u op:secret " + Url("/index.htm", true)), "home\n200");
    Clock_Advance((dartu_comm_idle_limit() / 2 + 2) * 1000000000ull);
    EXPECT_EQ(ReadAll(silentTls), "");  // closed by the server, not timed out
    EXPECT_EQ(ReadAll(silentPlain), "");
    close(silentTls);
    close(silentPlain);
}

TEST_F(WebServerTest, WithoutTheTlsLibraryHttpServes) {
    Put("/index.htm", "home");
    const std::string pem = root_.Dir() + "/server.pem";
    SslLib_SetName("libnosuchssl.so");
    Start(1, pem);
    SslLib_SetName(nullptr);
    EXPECT_FALSE(dartu_comm_tls_ready());
    EXPECT_TRUE(Logged("Cannot load SSL library"));
    EXPECT_EQ(dartu_comm_https_port(), 0u);
    EXPECT_EQ(Curl("--basic -u op:secret " + Url("/index.htm")), "home\n200");
}

TEST_F(WebServerTest, ManyIdleConnectionsStopNothing) {
    Put("/index.htm", "home");
    Start(1);
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    rlimit want = lim;
    if (want.rlim_cur < 4096) want.rlim_cur = std::min<rlim_t>(4096, want.rlim_max);
    setrlimit(RLIMIT_NOFILE, &want);
    std::vector<int> idle;
    for (int i = 0; i < 1100; ++i) {
        int fd = Connect(http_);
        if (fd < 0) break;
        idle.push_back(fd);
    }
    EXPECT_EQ(idle.size(), 1100u);
    EXPECT_EQ(Curl("--basic -u op:secret " + Url("/index.htm")), "home\n200");
    for (int fd : idle) close(fd);
    setrlimit(RLIMIT_NOFILE, &lim);
}
