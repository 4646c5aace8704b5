#include "net/http_pages.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ladder/ladder_engine.h"
#include "net/dpr.h"
#include "net/enet.h"
#include "platform/fx_api.h"
#include "platform/fpga.h"

HttpServerObject HttpServer[kHttpInterfaces];
NxIp* HttpIpPtr[kHttpInterfaces];
NxPacketPool* HttpPacketPoolPtr = nullptr;
u8 HttpStack[4];

namespace {

constexpr RegToken kTokens[kRegTokens] = {
    {"I", 0x2000, 1, 2048},        {"Q", 0x2800, 1, 2048},  {"T", 0x10008000, 1, 16384},
    {"M", 0x1001C000, 1, 16384},   {"S", 0x600, 1, 16},     {"AI", 0x4000, 16, 512},
    {"AQ", 0x6000, 16, 512},       {"R", 0x8000, 16, 49999},
};
constexpr u32 kTokenT = 2, kTokenM = 3;

enum Format { kBool, kBin, kHex, kInt, kUint, kDint, kUdint, kReal, kAscii, kIpadr };

constexpr u32 kAsciiMax = 31;
constexpr u32 kBodyBytes = 256;
constexpr u32 kRetryMs = 1000;

struct State {
    u32 retryStamp[kHttpInterfaces] = {};  // when a server that could not start may be tried again
    char page[kHttpPageBytes] = {};        // the read page being answered
};
State g;

// Longest text a value of 63 characters becomes once escaped for HTML.
constexpr u32 kEscapedMax = 6 * (kHttpParamBytes - 1);
constexpr u32 Len(const char* s) { return *s ? 1 + Len(s + 1) : 0; }
constexpr u32 kPageMax = Len("<head><meta http-equiv=\"refresh\" content=\"") + kEscapedMax + Len("\"></head>\r\n\r\n") +
                         Len("<body>") + Len("<font") + Len(" size=\"\"") + Len(" face=\"\"") + Len(" color=\"\"") +
                         3 * kEscapedMax + Len(">") + kEscapedMax + Len("</font>") + Len("</body>\r\n");
static_assert(kPageMax < kHttpPageBytes, "the read page must fit its buffer whatever the URL holds");

int PortOf(const HttpServerObject* s) {
    for (int i = 0; i < kHttpInterfaces; ++i)
        if (s == &HttpServer[i]) return i;
    return -1;
}

// Copies the bytes [from, to) of a parameter into a value field.
void Take(char* out, const char* from, const char* to) {
    u32 n = static_cast<u32>(to - from);
    if (n >= kHttpParamBytes) n = kHttpParamBytes - 1;
    std::memcpy(out, from, n);
    out[n] = 0;
}

// Splits name-value1-value2-value3; false without a '-'.
bool SplitParam(const char* text, char* name, char* v1, char* v2, char* v3) {
    const char* end = text + std::strlen(text);
    const char* dash = std::strchr(text, '-');
    if (dash == nullptr) return false;
    Take(name, text, dash);
    const char* p = dash + 1;
    char* values[2] = {v1, v2};
    for (char* out : values) {
        const char* next = std::strchr(p, '-');
        Take(out, p, next != nullptr ? next : end);
        p = next != nullptr ? next + 1 : end;
    }
    Take(v3, p, end);
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Appends text to the page, escaped for an HTML attribute or text when asked.
void Append(char* page, u32* n, const char* text, bool escape) {
    for (const char* p = text; *p != 0; ++p) {
        const char* e = nullptr;
        if (escape) {
            switch (*p) {
                case '&': e = "&amp;"; break;
                case '"': e = "&quot;"; break;
                case '\'': e = "&#39;"; break;
                case '<': e = "&lt;"; break;
                case '>': e = "&gt;"; break;
                default: break;
            }
        }
        u32 len = e != nullptr ? static_cast<u32>(std::strlen(e)) : 1;
        if (*n + len >= kHttpPageBytes) return;  // cannot happen within the limits (see kPageMax)
        std::memcpy(page + *n, e != nullptr ? e : p, len);
        *n += len;
    }
    page[*n] = 0;
}

// Digits of a base, without sign or blanks; false when empty, not all used
// or above max.
bool ParseUnsigned(const char* text, u32 base, u64 max, u64* value) {
    if (base == 16 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && text[2] != 0) text += 2;
    if (*text == 0) return false;
    u64 v = 0;
    for (const char* p = text; *p != 0; ++p) {
        int d = HexDigit(*p);
        if (d < 0 || static_cast<u32>(d) >= base) return false;
        v = v * base + static_cast<u32>(d);
        if (v > max) return false;
    }
    *value = v;
    return true;
}

bool ParseSigned(const char* text, i64* value) {
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    u64 magnitude = 0;
    if (!ParseUnsigned(text, 10, negative ? 0x80000000ull : 0x7FFFFFFFull, &magnitude)) return false;
    *value = negative ? -static_cast<i64>(magnitude) : static_cast<i64>(magnitude);
    return true;
}

// Four numbers 0-255 separated by dots, the first the most significant.
bool ParseDotted(const char* text, u32* address) {
    u32 v = 0;
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        u32 n = 0, digits = 0;
        while (*p >= '0' && *p <= '9' && digits < 4) {
            n = n * 10 + static_cast<u32>(*p - '0');
            ++p;
            ++digits;
        }
        if (digits == 0 || digits > 3 || n > 255) return false;
        v = (v << 8) | n;
        if (part < 3) {
            if (*p != '.') return false;
            ++p;
        }
    }
    if (*p != 0) return false;
    *address = v;
    return true;
}

u32 AsciiLength(const char* option) {
    if (option[0] == 0) return kAsciiMax;
    u64 n = 0;
    if (!ParseUnsigned(option, 10, 1000, &n) || n < 1 || n > kAsciiMax) return 0;
    return static_cast<u32>(n);
}

void SetTokenBases() {
    RegTokenTable[kTokenT].base = RegTokLen_16b ? 0x3000 : 0x10008000;
    RegTokenTable[kTokenM].base = RegTokLen_16b ? 0x3800 : 0x1001C000;
    RegTokenTable[kTokenT].highest = RegTokLen_16b ? 2048 : 16384;
    RegTokenTable[kTokenM].highest = RegTokLen_16b ? 2048 : 16384;
}

// Register and format of a page request checked: the address, width and
// format index; false when any is refused.
bool Target(const HttpPageParams& p, u32* address, u32* bits, int* format) {
    *format = Http_FindFormat(p.fmt);
    if (*format < 0) return false;
    MakeRegBlock(p.reg, p.fmt, p.fmtOption2, address, bits);
    DprRequest q{*address, *bits};
    return *bits != 0 && EtnValidateReq(&q) == 0;
}

u32 ReadPage(HttpServerObject* s, NxPacket* request) {
    HttpPageParams p{};
    u32 address = 0, bits = 0;
    int format = -1;
    if (UrlParamGet(request, &p) != kHttpSuccess || !Target(p, &address, &bits, &format)) return kHttpError;
    u8 data[32] = {};
    if (!Dpr_Data_Block(address, static_cast<u16>(bits), data, 0, 0)) return kHttpError;
    char value[kHttpParamBytes];
    if (!Http_FormatValue(format, p, address, bits, data, value)) return kHttpError;
    char* page = g.page;
    u32 length = Http_BuildPage(p, value, page);
    char head[96];
    int n = std::snprintf(head, sizeof head, "HTTP/1.0 200 \r\nContent-Length: %u\r\nContent-Type: text/html\r\n\r\n",
                          length);
    if (Http_SendAll(s, head, static_cast<u32>(n)) == kHttpSuccess) Http_SendAll(s, page, length);
    return kHttpCallbackCompleted;
}

u32 WritePage(HttpServerObject* s, NxPacket* request) {
    char body[kBodyBytes + 1];
    u32 got = 0;
    while (got < kBodyBytes) {
        u32 n = 0;
        u32 r = _nxe_http_server_content_get(s, request, got, body + got, kBodyBytes - got, &n);
        if (r == kHttpNoMoreContent) break;
        if (r != kHttpSuccess) return kHttpError;
        if (n == 0) break;
        got += n;
    }
    body[got] = 0;
    const char* v = std::strstr(body, "reg=");
    if (v != nullptr) {
        v += 4;
    } else if ((v = std::strstr(body, "value=")) != nullptr) {
        v += 6;
    } else {
        return kHttpError;
    }
    char value[kHttpParamBytes];
    HttpUrlDecode(v, value);
    HttpPageParams p{};
    u32 address = 0, bits = 0;
    int format = -1;
    if (UrlParamGet(request, &p) != kHttpSuccess || !Target(p, &address, &bits, &format)) return kHttpError;
    u8 data[32] = {};
    if (!Http_ConvertValue(format, p, value, data)) return kHttpError;
    if (!Dpr_Data_Block(address, static_cast<u16>(bits), data, 1, 0)) return kHttpError;
    const char answer[] = "HTTP/1.0 204 \r\n\r\n";
    if (Http_SendAll(s, answer, sizeof answer - 1) != kHttpSuccess) return kHttpError;
    return kHttpCallbackCompleted;
}

}  // namespace

RegToken RegTokenTable[kRegTokens] = {kTokens[0], kTokens[1], kTokens[2], kTokens[3],
                                      kTokens[4], kTokens[5], kTokens[6], kTokens[7]};

const HttpFormat FormatTable[kHttpFormats] = {
    {"BOOL", 1},   {"BIN", 16},  {"HEX", 16},   {"INT", 16},    {"UINT", 16},
    {"DINT", 32},  {"UDINT", 32}, {"REAL", 32}, {"ASCII", 248}, {"IPADR", 32},
};

int Http_FindFormat(const char* name) {
    for (u32 i = 0; i < kHttpFormats; ++i)
        if (std::strcmp(FormatTable[i].name, name) == 0) return static_cast<int>(i);
    return -1;
}

u32 UrlParamGet(NxPacket* request, HttpPageParams* params) {
    char text[kHttpParamBytes];
    for (u32 index = 0;; ++index) {
        u32 r = _nxe_http_server_param_get(request, index, text, sizeof text);
        if (r == kHttpNotFound) return kHttpSuccess;
        if (r != kHttpSuccess) return kHttpError;
        char name[kHttpParamBytes], v1[kHttpParamBytes], v2[kHttpParamBytes], v3[kHttpParamBytes];
        if (!SplitParam(text, name, v1, v2, v3)) return kHttpError;
        if (std::strcmp(name, "reg") == 0) {
            std::memcpy(params->reg, v1, sizeof v1);
        } else if (std::strcmp(name, "fmt") == 0) {
            std::memcpy(params->fmt, v1, sizeof v1);
            std::memcpy(params->fmtOption2, v2, sizeof v2);
            std::memcpy(params->fmtOption3, v3, sizeof v3);
        } else if (std::strcmp(name, "rfs") == 0) {
            std::memcpy(params->refresh, v1, sizeof v1);
        } else if (std::strcmp(name, "fnt") == 0) {
            std::memcpy(params->fontSize, v1, sizeof v1);
            HttpUrlDecode(v2, params->fontFace);
            HttpUrlDecode(v3, params->fontColor);
        }
    }
}

u32 HttpUrlDecode(const char* text, char* out) {
    u32 n = 0;
    for (const char* p = text; *p != 0 && *p != '&' && n < kHttpParamBytes - 1; ++p) {
        int c = static_cast<u8>(*p);
        if (c == '+') {
            c = ' ';
        } else if (c == '%' && HexDigit(p[1]) >= 0 && HexDigit(p[2]) >= 0) {
            c = HexDigit(p[1]) * 16 + HexDigit(p[2]);
            p += 2;
            if (c == 0) break;
        }
        out[n++] = (c < 32 || c > 126) ? ' ' : static_cast<char>(c);
    }
    while (n > 0 && out[n - 1] == ' ') --n;
    out[n] = 0;
    return n;
}

void MakeRegBlock(const char* reg, const char* format, const char* option2, u32* address, u32* bits) {
    *address = 0;
    *bits = 0;
    const char* p = reg;
    char name[8];
    u32 n = 0;
    while (*p >= 'A' && *p <= 'Z') {
        if (n == 7) return;
        name[n++] = *p++;
    }
    name[n] = 0;
    const RegToken* token = nullptr;
    for (const RegToken& t : RegTokenTable)
        if (std::strcmp(t.name, name) == 0) token = &t;
    if (token == nullptr) return;
    u32 number = 0, digits = 0;
    while (*p >= '0' && *p <= '9') {
        if (++digits > 7) return;
        number = number * 10 + static_cast<u32>(*p++ - '0');
    }
    if (number < 1 || number > token->highest) return;
    u32 offset = (number - 1) * token->unitBits;
    u32 bit = 0;
    if (*p == '.') {
        if (token->unitBits != 16) return;
        ++p;
        u32 b = 0;
        digits = 0;
        while (*p >= '0' && *p <= '9') {
            if (++digits > 7) return;
            b = b * 10 + static_cast<u32>(*p++ - '0');
        }
        if (b < 1 || b > 16) return;
        bit = b - 1;
    }
    if (*p != 0) return;
    u32 width = 16;
    if (format != nullptr && format[0] != 0) {
        int f = Http_FindFormat(format);
        if (f < 0) return;
        width = f == kAscii ? 8 * AsciiLength(option2) : FormatTable[f].bits;
    }
    if (width == 0) return;
    if (width > 1 && ((offset + bit) % 16 != 0 || width % 8 != 0)) return;
    *address = token->base + offset + bit;
    *bits = width;
}

bool Http_FormatValue(int format, const HttpPageParams& params, u32 address, u32 bits, const u8* data, char* out) {
    const u32 word = GetLe16(data);
    const u32 dword = GetLe32(data);
    out[0] = 0;
    switch (format) {
        case kBool: {
            if (bits != 1) return false;
            bool on = (data[0] >> (address & 7)) & 1;
            const char* text = on ? (params.fmtOption2[0] ? params.fmtOption2 : "TRUE")
                                  : (params.fmtOption3[0] ? params.fmtOption3 : "FALSE");
            std::snprintf(out, kHttpParamBytes, "%s", text);
            return true;
        }
        case kBin: {
            u32 n = bits < kHttpParamBytes ? bits : kHttpParamBytes - 1;
            for (u32 i = 0; i < n; ++i) out[i] = ((data[(n - 1 - i) / 8] >> ((n - 1 - i) % 8)) & 1) ? '1' : '0';
            out[n] = 0;
            return true;
        }
        case kHex: std::snprintf(out, kHttpParamBytes, "%04X", word); return true;
        case kInt: std::snprintf(out, kHttpParamBytes, "%d", static_cast<int>(static_cast<i16>(word))); return true;
        case kUint: std::snprintf(out, kHttpParamBytes, "%u", word); return true;
        // 32-bit values print as 32-bit values whatever the host's long is.
        case kDint: std::snprintf(out, kHttpParamBytes, "%d", static_cast<i32>(dword)); return true;
        case kUdint: std::snprintf(out, kHttpParamBytes, "%u", dword); return true;
        case kReal: {
            u32 raw = dword;
            // Denormal numbers show as 0.
            if (((raw >> 23) & 0xFF) == 0) raw = 0;
            float f;
            std::memcpy(&f, &raw, sizeof f);
            std::snprintf(out, kHttpParamBytes, std::strcmp(params.fmtOption2, "E") == 0 ? "%E" : "%f",
                          static_cast<double>(f));
            return true;
        }
        case kAscii: {
            if (bits < 8 || bits > 248) return false;
            u32 n = 0;
            while (n < bits / 8 && data[n] >= 32 && data[n] < 127) {
                out[n] = static_cast<char>(data[n]);
                ++n;
            }
            out[n] = 0;
            return true;
        }
        case kIpadr:
            if (bits != 32) return false;
            std::snprintf(out, kHttpParamBytes, "%u.%u.%u.%u", dword >> 24, (dword >> 16) & 255, (dword >> 8) & 255,
                          dword & 255);
            return true;
        default: return false;
    }
}

bool Http_ConvertValue(int format, const HttpPageParams& params, const char* text, u8* data) {
    u64 u = 0;
    i64 s = 0;
    switch (format) {
        case kBool: {
            const char* on = params.fmtOption2[0] ? params.fmtOption2 : "TRUE";
            const char* off = params.fmtOption3[0] ? params.fmtOption3 : "FALSE";
            if (std::strcmp(text, on) == 0) data[0] = 255;
            else if (std::strcmp(text, off) == 0) data[0] = 0;
            else return false;
            return true;
        }
        case kBin:
        case kHex:
        case kUint:
            if (!ParseUnsigned(text, format == kBin ? 2 : format == kHex ? 16 : 10, 0xFFFF, &u)) return false;
            PutLe16(data, static_cast<u16>(u));
            return true;
        case kInt:
            if (!ParseSigned(text, &s)) return false;
            PutLe16(data, static_cast<u16>(s));
            return true;
        case kDint:
            if (!ParseSigned(text, &s)) return false;
            PutLe32(data, static_cast<u32>(s));
            return true;
        case kUdint:
            if (!ParseUnsigned(text, 10, 0xFFFFFFFFull, &u)) return false;
            PutLe32(data, static_cast<u32>(u));
            return true;
        case kReal: {
            if (text[0] == 0 || std::strspn(text, "0123456789+-.eE") != std::strlen(text)) return false;
            char* end = nullptr;
            errno = 0;
            float f = std::strtof(text, &end);
            if (end == nullptr || *end != 0 || errno == ERANGE || !std::isfinite(f)) return false;
            u32 raw;
            std::memcpy(&raw, &f, sizeof raw);
            PutLe32(data, raw);
            return true;
        }
        case kAscii: {
            u32 length = AsciiLength(params.fmtOption2);
            if (length == 0) length = kAsciiMax;
            u32 n = static_cast<u32>(std::strlen(text));
            for (u32 i = 0; i < length; ++i) data[i] = i < n ? static_cast<u8>(text[i]) : ' ';
            return true;
        }
        case kIpadr: {
            u32 address = 0;
            if (!ParseDotted(text, &address)) return false;
            PutLe32(data, address);
            return true;
        }
        default: return false;
    }
}

u32 Http_BuildPage(const HttpPageParams& p, const char* value, char* page) {
    u32 n = 0;
    page[0] = 0;
    if (p.refresh[0] != 0) {
        Append(page, &n, "<head><meta http-equiv=\"refresh\" content=\"", false);
        Append(page, &n, p.refresh, true);
        Append(page, &n, "\"></head>\r\n\r\n", false);
    }
    Append(page, &n, "<body>", false);
    const bool font = p.fontSize[0] != 0 || p.fontFace[0] != 0 || p.fontColor[0] != 0;
    if (font) {
        Append(page, &n, "<font", false);
        const struct {
            const char* attribute;
            const char* value;
        } attributes[] = {{" size=\"", p.fontSize}, {" face=\"", p.fontFace}, {" color=\"", p.fontColor}};
        for (const auto& a : attributes) {
            if (a.value[0] == 0) continue;
            Append(page, &n, a.attribute, false);
            Append(page, &n, a.value, true);
            Append(page, &n, "\"", false);
        }
        Append(page, &n, ">", false);
    }
    Append(page, &n, value, true);
    if (font) Append(page, &n, "</font>", false);
    Append(page, &n, "</body>\r\n", false);
    return n;
}

u32 Http_Init(NxIp* ip, NxPacketPool* pool) {
    if (ip != nullptr) HttpIpPtr[ip->index & 3] = ip;
    HttpPacketPoolPtr = pool;
    return 0;
}

void Http_Scan(int port) {
    if (port < 0 || port >= kHttpInterfaces) return;
    HttpServerObject& s = HttpServer[port];
    if (!(Dpr_Configuration[port].flags.service & kSvcWeb) || DartuHttp != 0) {
        if (s.id == kHttpServerId) _nxe_http_server_delete(&s);
        return;
    }
    SetTokenBases();
    if (HttpIpPtr[port] == nullptr || HttpPacketPoolPtr == nullptr) return;
    if (s.id == kHttpServerId) {
        _nx_http_server_thread_entry(&s);
        return;
    }
    u32 now = _tx_time_get();
    if (g.retryStamp[port] != 0 && now - g.retryStamp[port] < kRetryMs) return;
    if (_nxe_http_server_create(&s, kHttpRealm, HttpIpPtr[port], &Cf_Media, HttpStack, sizeof HttpStack,
                                HttpPacketPoolPtr, Http_AuthenticationCheck, Http_RequestNotify) == kHttpSuccess &&
        _nxe_http_server_start(&s) == kHttpSuccess) {
        g.retryStamp[port] = 0;
        return;
    }
    // The port may be taken: tried again a second later, not on every pass.
    if (s.id == kHttpServerId) _nxe_http_server_delete(&s);
    g.retryStamp[port] = now != 0 ? now : 1;
}

void Http_DeInit(NxIp* ip) {
    if (ip == nullptr) return;
    HttpServerObject& s = HttpServer[ip->index & 3];
    if (s.id == kHttpServerId) _nxe_http_server_delete(&s);
}

u32 Http_ConnCnt(int port) {
    if (port < 0 || port >= kHttpInterfaces) return 0;
    const HttpServerObject& s = HttpServer[port];
    return s.id == kHttpServerId && s.socket.state == NX_TCP_ESTABLISHED ? 1 : 0;
}

u32 Http_AuthenticationCheck(HttpServerObject* server, u32 type, const char* resource, const char** name,
                             const char** password, const char** realm) {
    int port = PortOf(server);
    if (port < 0) return kHttpError;
    const EnetPortConfigTail& t = Dpr_Configuration[port].tail;
    *name = t.webUser;
    *password = t.webPassword;
    *realm = kHttpRealm;
    if ((type == kHttpGet && std::strcmp(resource, "/readreg.htm") == 0) ||
        (type == kHttpPost && std::strcmp(resource, "/writereg.htm") == 0))
        return kHttpNoAuthentication;
    return t.webUser[0] != 0 ? kHttpDigestAuthentication : kHttpNoAuthentication;
}

u32 Http_RequestNotify(HttpServerObject* server, u32 type, const char* resource, NxPacket* request) {
    if (type == kHttpGet && std::strcmp(resource, "/readreg.htm") == 0) return ReadPage(server, request);
    if (type == kHttpPost && std::strcmp(resource, "/writereg.htm") == 0) return WritePage(server, request);
    return kHttpSuccess;
}

bool Http_HasWork() {
    for (const HttpServerObject& s : HttpServer)
        if (Http_ServerBusy(&s)) return true;
    return false;
}

void Http_Reset() {
    for (HttpServerObject& s : HttpServer)
        if (s.id == kHttpServerId) _nxe_http_server_delete(&s);
    for (NxIp*& ip : HttpIpPtr) ip = nullptr;
    HttpPacketPoolPtr = nullptr;
    for (u32 i = 0; i < kRegTokens; ++i) RegTokenTable[i] = kTokens[i];
    g = State{};
}
