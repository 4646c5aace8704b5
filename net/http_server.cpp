#include "net/http_server.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <random>

#include "darTUsdk/dartusdk/dartu_base64.h"
#include "platform/fpga.h"
#include "storage/cf_api.h"

namespace {

// What a connection does between steps.
enum Phase : u8 {
    kPhaseRequest = 0,  // listening, or gathering a request (the wait counter tells)
    kPhaseSending = 1,  // a GET answer: the file follows piece by piece
    kPhaseBody = 2,     // a PUT: body bytes go to the file as they arrive
    kPhaseFlushing = 3, // the answer is out; the kernel still holds some of it
};

// Receives per step: bounds the work of one pass.
constexpr u32 kReceivesPerStep = 64;
constexpr u32 kTicksPerSecond = 10000;
constexpr u32 kDigestValueBytes = 64;
constexpr u32 kDigestUriBytes = 256;
constexpr u32 kBasicValueMax = 101;

constexpr const char kUrlBad[] = "NetX HTTP URL Bad";
constexpr const char kAborted[] = "NetX HTTP Request Aborted";
constexpr const char kNoLength[] = "NetX HTTP No Content Length";

u32 Min(u32 a, u32 b) { return a < b ? a : b; }

// True once per 10-ms tick of the clock: waits count ticks, so that a
// controller whose passes follow each other at once (run mode) gives a peer
// as long as one that idles between them.
bool NextTick(HttpServerObject* s) {
    u32 tick = FPGA_GetFrt() / 100;
    if (tick == s->lastTick) return false;
    s->lastTick = tick;
    return true;
}

// Counts one more waiting tick; true when the wait has lasted its limit.
bool WaitedOut(HttpServerObject* s, u32* counter, u32 limit) {
    if (NextTick(s)) ++*counter;
    return *counter >= limit;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameNoCase(const u8* p, const char* text, u32 n) {
    for (u32 i = 0; i < n; ++i)
        if (Lower(static_cast<char>(p[i])) != Lower(text[i])) return false;
    return true;
}

bool StartsWith(const u8* p, u32 length, const char* text) {
    u32 n = static_cast<u32>(std::strlen(text));
    return length >= n && std::memcmp(p, text, n) == 0;
}

// Length of the request line (up to its CR or LF).
u32 LineLength(const u8* p, u32 length) {
    u32 i = 0;
    while (i < length && p[i] != '\r' && p[i] != '\n') ++i;
    return i;
}

// The value of a header (name with its colon, any letter case) in the head:
// start and length, without leading blanks. False when absent.
bool FindHeader(const u8* head, u32 length, const char* name, const u8** value, u32* valueLength) {
    u32 n = static_cast<u32>(std::strlen(name));
    u32 i = LineLength(head, length);
    while (i < length) {
        while (i < length && (head[i] == '\r' || head[i] == '\n')) ++i;
        u32 line = i + LineLength(head + i, length - i);
        if (line - i >= n && SameNoCase(head + i, name, n)) {
            u32 v = i + n;
            while (v < line && head[v] == ' ') ++v;
            *value = head + v;
            *valueLength = line - v;
            return true;
        }
        i = line;
    }
    return false;
}

// Copies text into a bounded buffer; false when it does not fit.
bool CopyBounded(char* out, u32 size, const void* text, u32 length) {
    if (length >= size) return false;
    std::memcpy(out, text, length);
    out[length] = 0;
    return true;
}

u8* Data(NxPacket* p) { return p->dataStart; }

u32 Room(const NxPacket* p) { return static_cast<u32>(p->payloadEnd - p->dataEnd); }

void Release(NxPacket*& p) {
    if (p != nullptr) _nx_packet_release(p);
    p = nullptr;
}

void ReleaseRequest(HttpServerObject* s) {
    Release(s->request);
    Release(s->spill);
    s->headLength = 0;
    s->contentLength = 0;
    s->bodyDone = 0;
}

// Body bytes of the request in hand: after the head in the request packet,
// then those of the spill packet.
u32 BodyInRequest(const HttpServerObject* s) {
    return s->request != nullptr && s->headLength != 0 ? s->request->length - s->headLength : 0;
}

u32 BodyInHand(const HttpServerObject* s) {
    return BodyInRequest(s) + (s->spill != nullptr ? s->spill->length : 0);
}

bool IsPost(const HttpServerObject* s) { return StartsWith(Data(s->request), s->headLength, "POST "); }

// A socket that no longer listens (deleted after a failure) listens again.
void EnsureListening(HttpServerObject* s) {
    if (s->socket.state == NX_TCP_CLOSED) _nx_tcp_server_socket_relisten(s->ip, kHttpPort, &s->socket);
}

// Reads and drops what the peer sent beyond the request, so that closing the
// connection does not reset it before the peer has read the answer.
void DrainInput(HttpServerObject* s) {
    NxPacket* p = nullptr;
    for (u32 k = 0; k < kReceivesPerStep && _nx_tcp_socket_receive(&s->socket, &p, 0) == NX_SUCCESS; ++k)
        _nx_packet_release(p);
}

void CloseConnection(HttpServerObject* s) {
    DrainInput(s);
    _nx_tcp_server_socket_unaccept(&s->socket);
    EnsureListening(s);
    s->phase = kPhaseRequest;
    s->stalls = 0;
}

// A PUT that does not complete leaves no partial file behind.
void AbandonFile(HttpServerObject* s) {
    if (s->file.open) CF_Close(&s->file);
    if (s->phase == kPhaseBody && s->fileName[0] != 0) _fxe_file_delete(s->media, s->fileName);
    s->sendRemaining = 0;
}

// The request is answered: the connection closes once the kernel took the
// answer.
void Finish(HttpServerObject* s) {
    ReleaseRequest(s);
    if (s->socket.backlog.empty() || s->socket.state != NX_TCP_ESTABLISHED) {
        CloseConnection(s);
    } else {
        s->phase = kPhaseFlushing;
        s->stalls = 0;
    }
}

// Drops the connection without an answer.
void Drop(HttpServerObject* s) {
    AbandonFile(s);
    ReleaseRequest(s);
    s->waitCounter = 0;
    CloseConnection(s);
}

u32 SendText(HttpServerObject* s, const char* text) { return Http_SendAll(s, text, static_cast<u32>(std::strlen(text))); }

// ---------------------------------------------------------------- request

enum Gathered { kIncomplete, kReady, kRefused };

bool ValidFirst(u8 c) {
    switch (Lower(static_cast<char>(c))) {
        case 'g': case 'd': case 'h': case 'p': case 't': return true;
        default: return false;
    }
}

// A POST is dispatched with its body, as far as the request packet holds it.
bool BodyComplete(HttpServerObject* s) {
    if (!IsPost(s)) return true;
    u32 length = 0;
    if (!Http_ContentLength(Data(s->request), s->headLength, &length)) return true;
    return BodyInRequest(s) >= length || s->spill != nullptr || Room(s->request) == 0;
}

Gathered GatherRequest(HttpServerObject* s) {
    if (s->request == nullptr) {
        if (_nx_packet_allocate(s->pool, &s->request, 0, 0) != NX_SUCCESS) {
            s->request = nullptr;
            return kIncomplete;
        }
        s->headLength = 0;
    }
    for (u32 k = 0; k < kReceivesPerStep; ++k) {
        if (s->headLength != 0 && BodyComplete(s)) return kReady;
        if (s->spill != nullptr || Room(s->request) == 0) break;
        NxPacket* p = nullptr;
        if (_nx_tcp_socket_receive(&s->socket, &p, 0) != NX_SUCCESS) break;
        if (s->request->length == 0 && !ValidFirst(p->dataStart[0])) {
            _nx_packet_release(p);
            continue;
        }
        u32 n = Min(Room(s->request), p->length);
        _nx_packet_data_append(s->request, p->dataStart, n, s->pool, 0);
        if (n < p->length) {
            p->dataStart += n;
            p->length -= n;
            s->spill = p;
        } else {
            _nx_packet_release(p);
        }
        if (s->headLength == 0) s->headLength = Http_HeadLength(Data(s->request), s->request->length);
    }
    if (s->headLength == 0) return (s->spill != nullptr || Room(s->request) == 0) ? kRefused : kIncomplete;
    return BodyComplete(s) ? kReady : kIncomplete;
}

// ---------------------------------------------------------------- authentication

void Unauthorized(HttpServerObject* s, const char* challenge) {
    char text[512];
    std::snprintf(text, sizeof text, "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: %s\r\n\r\n", challenge);
    SendText(s, text);
}

}  // namespace

bool Http_BasicPasses(const u8* head, u32 headLength, const char* name, const char* password) {
    const u8* v = nullptr;
    u32 n = 0;
    if (!FindHeader(head, headLength, "Authorization:", &v, &n)) return false;
    if (n < 6 || !SameNoCase(v, "basic ", 6)) return false;
    v += 6;
    n -= 6;
    while (n > 0 && v[n - 1] == ' ') --n;
    if (n > kBasicValueMax) return false;
    u8 decoded[kBasicValueMax];
    size_t length = sizeof decoded;
    if (dartu_base64_decode(reinterpret_cast<const char*>(v), n, decoded, &length) != 0) return false;
    char expected[2 * 41 + 2];
    int e = std::snprintf(expected, sizeof expected, "%s:%s", name, password);
    return e > 0 && static_cast<u32>(e) == length && std::memcmp(decoded, expected, length) == 0;
}

namespace {

// The values of a Digest header that the check takes.
struct DigestFields {
    char username[kDigestValueBytes], realm[kDigestValueBytes], nonce[kDigestValueBytes], uri[kDigestUriBytes],
        qop[kDigestValueBytes], nc[kDigestValueBytes], cnonce[kDigestValueBytes], response[kDigestValueBytes];
};

// Parses "key=value" or key="value" pairs separated by commas; false when a
// value of a taken key does not fit its field or the text is malformed.
bool ParseDigest(const u8* v, u32 n, DigestFields* f) {
    struct Key {
        const char* name;
        char* out;
        u32 size;
    } keys[] = {{"username", f->username, sizeof f->username}, {"realm", f->realm, sizeof f->realm},
                {"nonce", f->nonce, sizeof f->nonce},          {"uri", f->uri, sizeof f->uri},
                {"qop", f->qop, sizeof f->qop},                {"nc", f->nc, sizeof f->nc},
                {"cnonce", f->cnonce, sizeof f->cnonce},       {"response", f->response, sizeof f->response}};
    u32 i = 0;
    while (i < n) {
        while (i < n && (v[i] == ' ' || v[i] == ',')) ++i;
        if (i >= n) break;
        u32 k = i;
        while (i < n && v[i] != '=' && v[i] != ' ' && v[i] != ',') ++i;
        u32 keyLength = i - k;
        while (i < n && v[i] == ' ') ++i;
        if (i >= n || v[i] != '=') return false;
        ++i;
        while (i < n && v[i] == ' ') ++i;
        u32 start, length;
        if (i < n && v[i] == '"') {
            start = ++i;
            while (i < n && v[i] != '"') ++i;
            if (i >= n) return false;
            length = i - start;
            ++i;
        } else {
            start = i;
            while (i < n && v[i] != ',' && v[i] != ' ') ++i;
            length = i - start;
        }
        for (Key& key : keys) {
            if (std::strlen(key.name) == keyLength && SameNoCase(v + k, key.name, keyLength)) {
                if (!CopyBounded(key.out, key.size, v + start, length)) return false;
            }
        }
    }
    return true;
}

u32 HexValue(const char* p, u32 n, bool* ok) {
    u32 value = 0;
    *ok = true;
    for (u32 i = 0; i < n; ++i) {
        char c = Lower(p[i]);
        u32 d;
        if (c >= '0' && c <= '9') d = static_cast<u32>(c - '0');
        else if (c >= 'a' && c <= 'f') d = static_cast<u32>(c - 'a' + 10);
        else {
            *ok = false;
            return 0;
        }
        value = value * 16 + d;
    }
    return value;
}

enum NonceState { kNonceBad, kNonceStale, kNonceFresh };

NonceState CheckNonce(const HttpServerObject* s, const char* nonce) {
    if (std::strlen(nonce) != kHttpNonceChars) return kNonceBad;
    bool ok = false;
    u32 stamp = HexValue(nonce, 8, &ok);
    if (!ok) return kNonceBad;
    char expected[kHttpNonceChars + 1];
    Http_Nonce(s, stamp, expected);
    if (std::strcmp(expected, nonce) != 0) return kNonceBad;
    u32 age = FPGA_GetFrt() - stamp;
    return age < kHttpNonceLifetimeS * kTicksPerSecond ? kNonceFresh : kNonceStale;
}

// The request line's method word and target.
bool MethodAndTarget(const u8* p, u32 length, char* method, u32 methodSize, char* target, u32 targetSize) {
    u32 line = LineLength(p, length);
    u32 i = 0;
    while (i < line && p[i] != ' ') ++i;
    if (!CopyBounded(method, methodSize, p, i)) return false;
    u32 t = ++i;
    while (i < line && p[i] != ' ') ++i;
    return i > t && CopyBounded(target, targetSize, p + t, i - t);
}

}  // namespace

HttpDigestResult Http_DigestCheck(const HttpServerObject* s, const u8* head, u32 headLength, const char* name,
                                  const char* password, const char* realm) {
    const u8* v = nullptr;
    u32 n = 0;
    if (!FindHeader(head, headLength, "Authorization:", &v, &n) || n < 7 || !SameNoCase(v, "digest ", 7))
        return HttpDigestResult::kRefused;
    DigestFields f{};
    char method[16], target[kDigestUriBytes];
    if (!ParseDigest(v + 7, n - 7, &f) || !MethodAndTarget(head, headLength, method, sizeof method, target,
                                                           sizeof target))
        return HttpDigestResult::kRefused;
    char expected[kMd5HexChars + 1];
    Http_DigestResponse(name, realm, password, method, f.uri, f.nonce, f.nc, f.cnonce, expected);
    bool match = std::strcmp(f.username, name) == 0 && std::strcmp(f.realm, realm) == 0 &&
                 std::strcmp(f.uri, target) == 0 && std::strcmp(f.qop, "auth") == 0 && f.nc[0] != 0 &&
                 f.cnonce[0] != 0 && std::strlen(f.response) == kMd5HexChars && std::strcmp(f.response, expected) == 0;
    // A stale nonce counts as stale only when the rest was right.
    if (!match) return HttpDigestResult::kRefused;
    switch (CheckNonce(s, f.nonce)) {
        case kNonceFresh: return HttpDigestResult::kPass;
        case kNonceStale: return HttpDigestResult::kStale;
        default: return HttpDigestResult::kRefused;
    }
}

namespace {

// Checks the Digest response; answers 401 itself when it does not pass.
bool DigestPasses(HttpServerObject* s, const char* name, const char* password, const char* realm) {
    HttpDigestResult r = Http_DigestCheck(s, Data(s->request), s->headLength, name, password, realm);
    if (r == HttpDigestResult::kPass) return true;
    char nonce[kHttpNonceChars + 1];
    Http_Nonce(s, FPGA_GetFrt(), nonce);
    char challenge[256];
    std::snprintf(challenge, sizeof challenge, "Digest realm=\"%s\", algorithm=\"md5\", nonce=\"%s\", qop=\"auth\"%s",
                  realm, nonce, r == HttpDigestResult::kStale ? ", stale=true" : "");
    Unauthorized(s, challenge);
    return false;
}

// True when the request may go on; otherwise it has been answered or ends
// without an answer.
bool Authenticate(HttpServerObject* s, u32 type) {
    if (s->authenticate == nullptr) return true;
    const char* name = "";
    const char* password = "";
    const char* realm = "";
    u32 r = s->authenticate(s, type, s->resource, &name, &password, &realm);
    if (name == nullptr) name = "";
    if (password == nullptr) password = "";
    if (realm == nullptr) realm = "";
    if (r == kHttpSuccess || r == kHttpNoAuthentication) return true;
    if (r == kHttpBasicAuthentication) {
        if (Http_BasicPasses(Data(s->request), s->headLength, name, password)) return true;
        char challenge[128];
        std::snprintf(challenge, sizeof challenge, "Basic realm=\"%s\"", realm);
        Unauthorized(s, challenge);
        return false;
    }
    if (r == kHttpDigestAuthentication) return DigestPasses(s, name, password, realm);
    return false;
}

// ---------------------------------------------------------------- processes

// Resource of the request into the server; answers 400 when it is bad.
bool TakeResource(HttpServerObject* s) {
    if (Http_Resource(Data(s->request), s->headLength, s->resource) == kHttpSuccess) return true;
    _nx_http_server_response_send(s, "HTTP/1.0 400 ", kUrlBad, nullptr);
    return false;
}

// The file name of the resource; answers 400 when it could leave the drive.
bool TakeFileName(HttpServerObject* s) {
    if (Http_FileName(s->resource, s->media != nullptr ? s->media->drive : 0, s->fileName, sizeof s->fileName))
        return true;
    s->fileName[0] = 0;
    _nx_http_server_response_send(s, "HTTP/1.0 400 ", kUrlBad, nullptr);
    return false;
}

// Appends the next piece of the file to the packet (up to its room and the
// connection's segment size) and sends it; false on a read or send failure.
bool SendPiece(HttpServerObject* s, NxPacket* p) {
    u32 limit = Min(s->pool->payloadSize, s->socket.mss);
    u32 used = p->length;
    u32 want = used < limit ? Min(limit - used, s->sendRemaining) : 0;
    want = Min(want, Room(p));
    u32 got = 0;
    if (want > 0 && (CF_Read(&s->file, p->dataEnd, want, &got) != kCfOk || got == 0)) {
        _nx_packet_release(p);
        return false;
    }
    p->dataEnd += got;
    p->length += got;
    s->sendRemaining -= got;
    return _nx_tcp_socket_send(&s->socket, p, 0) == NX_SUCCESS;
}

void ReadProcess(HttpServerObject* s, u32 type) {
    if (!TakeResource(s)) return;
    if (type == kHttpPost && !Http_ContentLength(Data(s->request), s->headLength, &s->contentLength)) {
        _nx_http_server_response_send(s, "HTTP/1.0 411 ", kNoLength, nullptr);
        return;
    }
    if (!Authenticate(s, type)) return;
    if (s->requestNotify != nullptr) {
        u32 r = s->requestNotify(s, type, s->resource, s->request);
        if (r == kHttpCallbackCompleted) return;
        if (r != kHttpSuccess) {
            _nx_http_server_response_send(s, "HTTP/1.0 500 ", kAborted, nullptr);
            return;
        }
    }
    if (!TakeFileName(s)) return;
    u32 attributes = 0;
    u32 size = 0;
    if (_fxe_directory_information_get(s->media, s->fileName, &attributes, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, nullptr) != kFxSuccess ||
        (attributes & kFxDirectory) || CF_Open(&s->file, s->fileName, 0) != kCfOk) {
        _nx_http_server_response_send(s, "HTTP/1.0 404 ", "NetX HTTP Server unable to find file: ", s->resource);
        return;
    }
    CF_Size(&s->file, &size);
    NxPacket* p = nullptr;
    if (_nx_packet_allocate(s->pool, &p, 0, 0) != NX_SUCCESS) {
        CF_Close(&s->file);
        _nx_http_server_response_send(s, "HTTP/1.0 500 ", kAborted, nullptr);
        return;
    }
    char head[160];
    int n = std::snprintf(head, sizeof head, "HTTP/1.0 200 \r\nContent-Length: %u\r\nContent-Type: %s\r\n\r\n", size,
                          Http_ContentType(s->resource));
    _nx_packet_data_append(p, head, static_cast<u32>(n), s->pool, 0);
    s->sendRemaining = type == kHttpHead ? 0 : size;
    if (!SendPiece(s, p) || s->sendRemaining == 0) {
        CF_Close(&s->file);
        s->sendRemaining = 0;
        return;
    }
    s->phase = kPhaseSending;
    s->stalls = 0;
}

void WriteBody(HttpServerObject* s, const u8* data, u32 length, bool* failed) {
    u32 n = Min(length, s->contentLength - s->bodyDone);
    if (n == 0 || *failed) return;
    if (CF_Write(&s->file, data, n, nullptr) != kCfOk) {
        *failed = true;
        return;
    }
    s->bodyDone += n;
}

// Writes what has arrived of a PUT body; answers the request (and leaves the
// body phase) when it is all written, when the file cannot take it or when
// the body stalls.
void BodyStep(HttpServerObject* s) {
    bool failed = false;
    bool progress = false;
    for (u32 k = 0; k < kReceivesPerStep && s->bodyDone < s->contentLength && !failed; ++k) {
        NxPacket* p = nullptr;
        if (_nx_tcp_socket_receive(&s->socket, &p, 0) != NX_SUCCESS) break;
        WriteBody(s, p->dataStart, p->length, &failed);
        _nx_packet_release(p);
        progress = true;
    }
    const char* error = nullptr;
    if (failed) {
        error = "NetX HTTP File Write Failed";
    } else if (s->bodyDone == s->contentLength) {
        if (CF_Close(&s->file) != kCfOk) error = "NetX HTTP File Write Failed";
    } else if (progress) {
        s->stalls = 0;
        return;
    } else if (!WaitedOut(s, &s->stalls, kHttpWaitSteps)) {
        return;
    } else {
        error = "NetX HTTP Receive Timeout";
    }
    if (error != nullptr) {
        AbandonFile(s);
        _nx_http_server_response_send(s, "HTTP/1.0 500 ", error, nullptr);
    } else {
        _nx_http_server_response_send(s, "HTTP/1.0 200 ", nullptr, nullptr);
    }
    s->phase = kPhaseRequest;
}

// Runs the callbacks of a PUT or DELETE; false when the request is done.
bool ChangeAllowed(HttpServerObject* s, u32 type) {
    if (!Authenticate(s, type)) return false;
    if (s->requestNotify == nullptr) return true;
    u32 r = s->requestNotify(s, type, s->resource, s->request);
    if (r == kHttpSuccess) return true;
    if (r == kHttpCallbackCompleted) _nx_http_server_response_send(s, "HTTP/1.0 200 ", nullptr, nullptr);
    else _nx_http_server_response_send(s, "HTTP/1.0 500 ", kAborted, nullptr);
    return false;
}

void WriteProcess(HttpServerObject* s) {
    if (!TakeResource(s)) return;
    if (!Http_ContentLength(Data(s->request), s->headLength, &s->contentLength)) {
        _nx_http_server_response_send(s, "HTTP/1.0 411 ", kNoLength, nullptr);
        return;
    }
    if (!ChangeAllowed(s, kHttpPut) || !TakeFileName(s)) return;
    if (CF_Open(&s->file, s->fileName, 2) != kCfOk) {
        _nx_http_server_response_send(s, "HTTP/1.0 500 ", "NetX HTTP File Create/Open Failed", nullptr);
        return;
    }
    s->bodyDone = 0;
    s->phase = kPhaseBody;
    s->stalls = 0;
    bool failed = false;
    WriteBody(s, Data(s->request) + s->headLength, BodyInRequest(s), &failed);
    if (s->spill != nullptr) WriteBody(s, s->spill->dataStart, s->spill->length, &failed);
    Release(s->spill);
    if (failed) {
        AbandonFile(s);
        s->phase = kPhaseRequest;
        _nx_http_server_response_send(s, "HTTP/1.0 500 ", "NetX HTTP File Write Failed", nullptr);
        return;
    }
    BodyStep(s);
}

void DeleteProcess(HttpServerObject* s) {
    if (!TakeResource(s) || !ChangeAllowed(s, kHttpDelete) || !TakeFileName(s)) return;
    if (_fxe_file_delete(s->media, s->fileName) != kFxSuccess) {
        _nx_http_server_response_send(s, "HTTP/1.0 500 ", "NetX HTTP File Delete Failed", nullptr);
        return;
    }
    _nx_http_server_response_send(s, "HTTP/1.0 200 ", nullptr, nullptr);
}

void Dispatch(HttpServerObject* s) {
    const u8* p = Data(s->request);
    u32 n = s->headLength;
    s->fileName[0] = 0;
    if (StartsWith(p, n, "GET ")) {
        ReadProcess(s, kHttpGet);
    } else if (StartsWith(p, n, "PUT ")) {
        WriteProcess(s);
    } else if (StartsWith(p, n, "POST ")) {
        ReadProcess(s, kHttpPost);
    } else if (StartsWith(p, n, "DELETE ")) {
        DeleteProcess(s);
    } else if (StartsWith(p, n, "HEAD ")) {
        ReadProcess(s, kHttpHead);
    } else {
        _nx_http_server_response_send(s, "HTTP/1.0 501 ", "NetX HTTP Request Not Implemented", nullptr);
    }
    // A GET still sending keeps its connection; so does a PUT whose body is
    // still arriving (its packets are no longer needed).
    if (s->phase == kPhaseSending) ReleaseRequest(s);
    else if (s->phase == kPhaseBody) Release(s->request);
    else Finish(s);
}

void SendStep(HttpServerObject* s) {
    if (!s->socket.backlog.empty() || !s->socket.canSend) {
        if (WaitedOut(s, &s->stalls, kHttpWaitSteps)) Drop(s);
        return;
    }
    s->stalls = 0;
    NxPacket* p = nullptr;
    if (s->sendRemaining > 0 && _nx_packet_allocate(s->pool, &p, 0, 0) != NX_SUCCESS) return;
    if (s->sendRemaining == 0 || !SendPiece(s, p) || s->sendRemaining == 0) {
        CF_Close(&s->file);
        s->sendRemaining = 0;
        s->phase = kPhaseRequest;
        Finish(s);
    }
}

void FlushStep(HttpServerObject* s) {
    if (s->socket.backlog.empty() || WaitedOut(s, &s->stalls, kHttpWaitSteps)) CloseConnection(s);
}

}  // namespace

// ---------------------------------------------------------------- interface

u32 _nxe_http_server_create(HttpServerObject* s, const char* name, NxIp* ip, FxMedia* media, void* stack,
                            u32 stackSize, NxPacketPool* pool, HttpAuthenticationCallback authenticate,
                            HttpRequestNotifyCallback requestNotify) {
    if (s == nullptr || ip == nullptr || stack == nullptr || stackSize == 0 || pool == nullptr ||
        s->id == kHttpServerId)
        return kHttpBadArgument;
    if (pool->payloadSize < kHttpMinPacket) return kHttpPoolTooSmall;
    *s = HttpServerObject{};
    if (_nx_tcp_socket_create(ip, &s->socket, name, 0, 1, 128, 2048, nullptr, nullptr) != NX_SUCCESS)
        return kHttpError;
    s->socket.owner = s;
    s->id = kHttpServerId;
    s->pool = pool;
    s->authenticate = authenticate;
    s->requestNotify = requestNotify;
    s->name = name;
    s->ip = ip;
    s->media = media != nullptr ? media : &Cf_Media;
    std::random_device random;
    for (u32 i = 0; i < sizeof s->nonceKey; i += 4) PutLe32(s->nonceKey + i, random());
    return kHttpSuccess;
}

u32 _nxe_http_server_start(HttpServerObject* s) {
    if (s == nullptr || s->id != kHttpServerId) return kHttpBadArgument;
    if (_nx_tcp_server_socket_listen(s->ip, kHttpPort, &s->socket, 5, _nx_http_server_connection_present) !=
        NX_SUCCESS)
        return kHttpError;
    return kHttpSuccess;
}

u32 _nxe_http_server_delete(HttpServerObject* s) {
    if (s == nullptr || s->id != kHttpServerId) return kHttpBadArgument;
    s->id = 0;
    AbandonFile(s);
    ReleaseRequest(s);
    _nx_tcp_socket_disconnect(&s->socket, 0);
    _nx_tcp_server_socket_unaccept(&s->socket);
    _nx_tcp_socket_delete(&s->socket);
    _nx_tcp_server_socket_unlisten(s->ip, kHttpPort);
    s->waitCounter = 0;
    s->phase = kPhaseRequest;
    return kHttpSuccess;
}

void _nx_http_server_connection_present(NxTcpSocket* socket, u32) {
    auto* s = static_cast<HttpServerObject*>(socket != nullptr ? socket->owner : nullptr);
    if (s != nullptr && s->id == kHttpServerId && s->waitCounter == 0) s->waitCounter = 1;
}

void _nx_http_server_thread_entry(HttpServerObject* s) {
    if (s == nullptr || s->id != kHttpServerId) return;
    if (s->socket.state == NX_TCP_PEER_CLOSED) {
        Drop(s);
        return;
    }
    switch (s->phase) {
        case kPhaseSending: SendStep(s); return;
        case kPhaseBody:
            BodyStep(s);
            if (s->phase != kPhaseBody) Finish(s);
            return;
        case kPhaseFlushing: FlushStep(s); return;
        default: break;
    }
    if (s->waitCounter == 0) return;
    if (s->waitCounter == 1) {
        u32 r = _nx_tcp_server_socket_accept(&s->socket, 0);
        if (r != NX_SUCCESS && r != NX_IN_PROGRESS) {
            _nx_tcp_server_socket_unaccept(&s->socket);
            EnsureListening(s);
            s->waitCounter = 0;
            return;
        }
        ReleaseRequest(s);
        s->waitCounter = 2;
        NextTick(s);
    }
    Gathered g = GatherRequest(s);
    if (g == kIncomplete && !WaitedOut(s, &s->waitCounter, kHttpWaitSteps)) return;
    if (g != kReady) {
        Drop(s);
        return;
    }
    s->waitCounter = 0;
    Dispatch(s);
}

u32 _nxe_http_server_param_get(NxPacket* request, u32 index, char* buffer, u32 size) {
    if (request == nullptr || buffer == nullptr || size == 0) return kHttpBadArgument;
    const u8* p = request->dataStart;
    u32 line = LineLength(p, request->length);
    u32 i = 0;
    while (i < line && p[i] != '/') ++i;
    while (i < line && p[i] != ' ' && p[i] != ';' && p[i] != '?') ++i;
    for (u32 k = 0; i < line && p[i] == ';'; ++k) {
        u32 start = ++i;
        while (i < line && p[i] != ';' && p[i] != '?' && p[i] != '&' && p[i] != ' ') ++i;
        if (k == index) return CopyBounded(buffer, size, p + start, i - start) ? kHttpSuccess : kHttpMalformed;
    }
    return kHttpNotFound;
}

u32 _nxe_http_server_content_get(HttpServerObject* s, NxPacket* request, u32 offset, char* buffer, u32 size,
                                 u32* length) {
    if (s == nullptr || s->id != kHttpServerId || request == nullptr || request != s->request || buffer == nullptr ||
        length == nullptr)
        return kHttpBadArgument;
    *length = 0;
    u32 contentLength = 0;
    if (!Http_ContentLength(Data(request), s->headLength, &contentLength) || offset >= contentLength)
        return kHttpNoMoreContent;
    u32 inRequest = BodyInRequest(s);
    if (offset >= inRequest + (s->spill != nullptr ? s->spill->length : 0)) {
        // Beyond what has arrived: one more receive, kept with the spill.
        NxPacket* p = nullptr;
        if (_nx_tcp_socket_receive(&s->socket, &p, 0) != NX_SUCCESS) return kHttpTimeout;
        if (s->spill == nullptr) {
            s->spill = p;
        } else {
            u32 r = _nx_packet_data_append(s->spill, p->dataStart, p->length, s->pool, 0);
            _nx_packet_release(p);
            if (r != NX_SUCCESS) return kHttpError;
        }
        if (offset >= BodyInHand(s)) return kHttpTimeout;
    }
    const u8* from;
    u32 left;
    if (offset < inRequest) {
        from = Data(request) + s->headLength + offset;
        left = inRequest - offset;
    } else {
        from = s->spill->dataStart + (offset - inRequest);
        left = s->spill->length - (offset - inRequest);
    }
    u32 n = Min(Min(left, size), contentLength - offset);
    std::memcpy(buffer, from, n);
    *length = n;
    return kHttpSuccess;
}

u32 _nx_http_server_response_send(HttpServerObject* s, const char* status, const char* message,
                                  const char* secondText) {
    NxPacket* p = nullptr;
    if (_nx_packet_allocate(s->pool, &p, 0, 0) != NX_SUCCESS) return kHttpError;
    // The head always ends with its empty line, with or without a message.
    char head[96];
    u32 messageLength = message != nullptr ? static_cast<u32>(std::strlen(message)) : 0;
    u32 secondLength = message != nullptr && secondText != nullptr ? static_cast<u32>(std::strlen(secondText)) : 0;
    int n = message != nullptr
                ? std::snprintf(head, sizeof head, "%s\r\nContent-Length: %u\r\n\r\n", status,
                                messageLength + secondLength)
                : std::snprintf(head, sizeof head, "%s\r\n\r\n", status);
    if (n < 0 || static_cast<u32>(n) >= sizeof head ||
        _nx_packet_data_append(p, head, static_cast<u32>(n), s->pool, 0) != NX_SUCCESS ||
        _nx_packet_data_append(p, message, messageLength, s->pool, 0) != NX_SUCCESS ||
        _nx_packet_data_append(p, secondText, secondLength, s->pool, 0) != NX_SUCCESS) {
        _nx_packet_release(p);
        return kHttpError;
    }
    return _nx_tcp_socket_send(&s->socket, p, 0) == NX_SUCCESS ? kHttpSuccess : kHttpError;
}

u32 Http_SendAll(HttpServerObject* s, const void* data, u32 length) {
    const u8* d = static_cast<const u8*>(data);
    u32 done = 0;
    while (done < length) {
        NxPacket* p = nullptr;
        if (_nx_packet_allocate(s->pool, &p, 0, 0) != NX_SUCCESS) return kHttpError;
        u32 n = Min(Room(p), length - done);
        _nx_packet_data_append(p, d + done, n, s->pool, 0);
        if (_nx_tcp_socket_send(&s->socket, p, 0) != NX_SUCCESS) return kHttpError;
        done += n;
    }
    return kHttpSuccess;
}

bool Http_ServerBusy(const HttpServerObject* s) {
    if (s->id != kHttpServerId || !s->socket.backlog.empty()) return false;
    return (s->phase == kPhaseSending && s->socket.canSend) || s->phase == kPhaseFlushing;
}

u32 Http_HeadLength(const u8* data, u32 length) {
    for (u32 i = 0; i + 3 < length; ++i)
        if (data[i] == '\r' && data[i + 1] == '\n' && data[i + 2] == '\r' && data[i + 3] == '\n') return i + 4;
    return 0;
}

u32 Http_Resource(const u8* head, u32 length, char* out) {
    out[0] = 0;
    u32 line = LineLength(head, length);
    u32 i = 0;
    while (i < line && head[i] != '/') ++i;
    if (i >= line) return 400;
    u32 start = i;
    while (i < line && head[i] != ' ' && head[i] != ';' && head[i] != '?') ++i;
    if (i >= line || !CopyBounded(out, kHttpResourceBytes, head + start, i - start)) {
        out[0] = 0;
        return 400;
    }
    return kHttpSuccess;
}

bool Http_ContentLength(const u8* head, u32 length, u32* value) {
    const u8* v = nullptr;
    u32 n = 0;
    if (!FindHeader(head, length, "Content-Length:", &v, &n)) return false;
    u64 total = 0;
    u32 digits = 0;
    while (digits < n && v[digits] >= '0' && v[digits] <= '9') {
        total = total * 10 + (v[digits] - '0');
        if (total > 0xFFFFFFFFull) return false;
        ++digits;
    }
    if (digits == 0 || (digits < n && v[digits] != ' ')) return false;
    *value = static_cast<u32>(total);
    return true;
}

bool Http_FileName(const char* resource, u32 drive, char* out, u32 size) {
    static const char kLetters[] = "ABZ";
    if (resource == nullptr || resource[0] != '/' || size < 4) return false;
    u32 n = 0;
    out[n++] = kLetters[drive < 3 ? drive : 0];
    out[n++] = ':';
    u32 componentStart = n;
    for (const char* p = resource; *p != 0; ++p) {
        u8 c = static_cast<u8>(*p);
        if (c == '%') {
            bool ok = false;
            u32 v = p[1] != 0 ? HexValue(p + 1, 2, &ok) : 0;
            if (!ok) return false;
            c = static_cast<u8>(v);
            p += 2;
        }
        if (c < 32 || c >= 127 || std::strchr("\\:*?\"<>|", c) != nullptr) return false;
        if (c == '/') {
            // Every step of the path has a name, and none of them is "." or "..".
            const char* step = out + componentStart;
            u32 length = n - componentStart;
            if (n > 2 && (length == 0 || (length == 1 && step[0] == '.') ||
                          (length == 2 && step[0] == '.' && step[1] == '.')))
                return false;
            componentStart = n + 1;
        }
        if (n + 1 >= size) return false;
        out[n++] = static_cast<char>(c);
    }
    const char* step = out + componentStart;
    u32 length = n - componentStart;
    if (length == 0 || (length == 1 && step[0] == '.') || (length == 2 && step[0] == '.' && step[1] == '.'))
        return false;
    out[n] = 0;
    return true;
}

const char* Http_ContentType(const char* resource) {
    const char* dot = std::strrchr(resource, '.');
    if (dot != nullptr) {
        const u8* e = reinterpret_cast<const u8*>(dot + 1);
        u32 n = static_cast<u32>(std::strlen(dot + 1));
        if (n >= 3 && SameNoCase(e, "htm", 3)) return "text/html";
        if (n >= 3 && SameNoCase(e, "gif", 3)) return "image/gif";
        if (n >= 3 && SameNoCase(e, "xbm", 3)) return "image/x-xbitmap";
    }
    return "text/plain";
}

void Http_Nonce(const HttpServerObject* s, u32 stamp, char* out) {
    char text[2 * sizeof s->nonceKey + 10];
    u32 n = 0;
    for (u8 b : s->nonceKey) n += static_cast<u32>(std::snprintf(text + n, sizeof text - n, "%02x", b));
    n += static_cast<u32>(std::snprintf(text + n, sizeof text - n, ":%08x", stamp));
    std::snprintf(out, 9, "%08x", stamp);
    Md5_HexOf(text, n, out + 8);
}

void Http_DigestResponse(const char* name, const char* realm, const char* password, const char* method,
                         const char* uri, const char* nonce, const char* nc, const char* cnonce, char* out) {
    auto hash = [](char* hex, std::initializer_list<const char*> parts) {
        Md5Context c;
        u8 digest[kMd5DigestBytes];
        _nx_md5_initialize(&c);
        bool first = true;
        for (const char* part : parts) {
            if (!first) _nx_md5_update(&c, reinterpret_cast<const u8*>(":"), 1);
            first = false;
            _nx_md5_update(&c, reinterpret_cast<const u8*>(part), static_cast<u32>(std::strlen(part)));
        }
        _nx_md5_digest_calculate(&c, digest);
        Md5_Hex(digest, hex);
    };
    char ha1[kMd5HexChars + 1], ha2[kMd5HexChars + 1];
    hash(ha1, {name, realm, password});
    hash(ha2, {method, uri});
    hash(out, {ha1, nonce, nc, cnonce, "auth", ha2});
}
