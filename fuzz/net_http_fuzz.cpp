// Hostile request heads through the HTTP server's parsers (head end,
// resource, Content-Length, ';' parameters, the file name a resource maps to,
// the Basic and Digest Authorization checks) and through the register pages'
// parameter, register, conversion and page building, which must stay inside
// their buffers and never give a file name that leaves its drive.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/http_pages.h"
#include "net/http_server.h"
#include "platform/root.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

void FileName(const char* resource) {
    char name[kHttpResourceBytes + 2 + 8];
    std::memset(name, 0x5A, sizeof name);
    if (!Http_FileName(resource, 0, name, kHttpResourceBytes + 2)) return;
    for (u32 i = kHttpResourceBytes + 2; i < sizeof name; ++i) Check(name[i] == 0x5A);
    Check(name[0] == 'A' && name[1] == ':' && name[2] == '/');
    Check(std::strchr(name + 2, ':') == nullptr && std::strchr(name, '\\') == nullptr);
    Check(std::strstr(name, "/../") == nullptr && std::strstr(name, "//") == nullptr);
    size_t n = std::strlen(name);
    Check(!(n >= 3 && std::strcmp(name + n - 3, "/..") == 0));
}

void Pages(NxPacket* packet, const u8* rest, u32 restLength) {
    HttpPageParams p{};
    if (UrlParamGet(packet, &p) != kHttpSuccess) return;
    for (const char* field : {p.reg, p.fmt, p.fmtOption2, p.fmtOption3, p.refresh, p.fontSize, p.fontFace,
                              p.fontColor})
        Check(std::strlen(field) < kHttpParamBytes);
    u32 address = 0, bits = 0;
    MakeRegBlock(p.reg, p.fmt, p.fmtOption2, &address, &bits);
    Check(bits <= 248);
    int format = Http_FindFormat(p.fmt);
    u8 data[32 + 8];
    std::memset(data, 0xA5, sizeof data);
    if (restLength > 0) std::memcpy(data, rest, restLength < 32 ? restLength : 32);
    char value[kHttpParamBytes + 8];
    std::memset(value, 0x5A, sizeof value);
    if (Http_FormatValue(format, p, address, bits, data, value)) Check(std::strlen(value) < kHttpParamBytes);
    Check(value[kHttpParamBytes] == 0x5A);
    // The value of a write: the rest of the input, URL-decoded.
    std::vector<char> text(rest, rest + restLength);
    text.push_back(0);
    char decoded[kHttpParamBytes];
    Check(HttpUrlDecode(text.data(), decoded) < kHttpParamBytes);
    std::memset(data, 0xA5, sizeof data);
    Http_ConvertValue(format, p, decoded, data);
    for (u32 i = 32; i < sizeof data; ++i) Check(data[i] == 0xA5);
    static char page[kHttpPageBytes + 8];
    std::memset(page + kHttpPageBytes, 0x5A, 8);
    u32 n = Http_BuildPage(p, decoded, page);
    Check(n < kHttpPageBytes && page[n] == 0 && page[kHttpPageBytes] == 0x5A);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        setenv("PLC_ROOT", "/tmp/plc_http_fuzz_root", 0);
        return Root_Init();
    }();
    (void)ready;
    if (size == 0) return 0;
    // The first byte picks a frame for the rest: the bytes alone, as the
    // parameters of a read page, or as the value of a Digest header.
    static const char* const kBefore[] = {"", "GET /readreg.htm;reg-", "GET /a.txt HTTP/1.0\r\nAuthorization: Digest "};
    static const char* const kAfter[] = {"", " HTTP/1.0\r\n\r\nvalue=", "\r\n\r\n"};
    u32 mode = data[0] % 3;
    std::vector<u8> head(kBefore[mode], kBefore[mode] + std::strlen(kBefore[mode]));
    head.insert(head.end(), data + 1, data + size);
    head.insert(head.end(), kAfter[mode], kAfter[mode] + std::strlen(kAfter[mode]));
    // The head as it would lie in a request packet, at most a packet's worth.
    if (head.size() > 1520) head.resize(1520);
    u32 n = static_cast<u32>(head.size());
    u32 headLength = Http_HeadLength(head.data(), n);
    Check(headLength <= n);
    char resource[kHttpResourceBytes];
    if (Http_Resource(head.data(), n, resource) == kHttpSuccess) {
        Check(std::strlen(resource) < kHttpResourceBytes && resource[0] == '/');
        FileName(resource);
    }
    u32 length = 0;
    Http_ContentLength(head.data(), n, &length);
    NxPacket packet;
    packet.dataStart = head.data();
    packet.length = n;
    char param[kHttpParamBytes];
    for (u32 i = 0; i < 8; ++i)
        if (_nxe_http_server_param_get(&packet, i, param, sizeof param) == kHttpSuccess)
            Check(std::strlen(param) < sizeof param);
    static HttpServerObject server{};
    server.id = kHttpServerId;
    Http_BasicPasses(head.data(), n, "op", "pw");
    Http_DigestCheck(&server, head.data(), n, "op", "pw", "Controller HTTP Server");
    u32 restAt = headLength != 0 ? headLength : n;
    Pages(&packet, head.data() + restAt, n - restAt);
    // The input taken as a resource of its own.
    std::vector<char> name(data, data + (size > 60 ? 60 : size));
    name.push_back(0);
    FileName(name.data());
    return 0;
}
