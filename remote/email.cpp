#include "remote/email.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/plc_regs.h"
#include "platform/fpga.h"
#include "platform/root.h"
#include "platform/ssl_lib.h"
#include "remote/dnsClient.h"
#include "remote/gsmgprs.h"
#include "remote/msgcfg.h"
#include "remote/cellport.h"
#include "remote/modemsock.h"
#include "remote/msgfmt.h"
#include "storage/cfmgr.h"

namespace {

// Header fields of the e-mail section.
constexpr u32 kStatusReg = 48, kDomain = 52, kSender = 56, kUser = 60, kPassword = 64, kServer = 72, kDns = 76,
              kPort = 84, kDomainLen = 88, kSenderLen = 89, kUserLen = 90, kPasswordLen = 91, kHostLen = 93,
              kFlags = 94, kLogin = 96;
constexpr u8 kFlagModem = 0x01, kFlagHostName = 0x02, kFlagRegisters = 0x04, kFlagOtherTransport = 0x10;
constexpr u32 kMinSection = 153;
constexpr u32 kSegment = 1380;
constexpr u32 kRegText = 256;
constexpr u32 kBodyMax = 65536;         // characters of a body taken
constexpr u32 kReplyMax = 4096;         // bytes of a reply kept (a longer one is no SMTP reply)
constexpr u32 kBackoffFirst = 100000;   // 10 s after the first failure ...
constexpr u32 kBackoffLast = 3000000;   // ... doubling up to 5 min
constexpr u16 kTlsPort = 587;
constexpr const char* kBoundary = "QbLoVTXa__KP_aXTVoLbQ";

// SMTP states.
enum : u8 {
    kTakeServer = 7, kDnsQuery = 8, kDnsWait = 9, kConnect = 10, kTlsCreate = 11, kTlsDone = 13, kTlsHandshake = 15,
    kEhlo = 16, kAuth = 17, kAuthUser = 18, kAuthPass = 19, kMailFrom = 20, kRcpt = 21, kData = 22, kContent = 23,
    kAttach = 24, kEndData = 25, kQuit = 26, kReply = 27, kDisconnect = 28, kClosed = 29, kStartTls = 30
};

// The TLS functions, looked up by name in this order.
enum { kSslFree, kSslConnect, kSslRead, kSslWrite, kSslGetError, kSslSetFd, kSslNew, kSslCtxNew, kTls12Method,
       kOpensslInit, kSslCtxFree, kSslCount };
SslLibEntry openssl_sw[kSslCount] = {
    {"SSL_free", nullptr},      {"SSL_connect", nullptr},           {"SSL_read", nullptr},
    {"SSL_write", nullptr},     {"SSL_get_error", nullptr},         {"SSL_set_fd", nullptr},
    {"SSL_new", nullptr},       {"SSL_CTX_new", nullptr},           {"TLSv1_2_client_method", nullptr},
    {"OPENSSL_init_ssl", nullptr}, {"SSL_CTX_free", nullptr},
};
constexpr int kSslErrorWantRead = 2, kSslErrorWantWrite = 3;

template <class F>
F Fn(int i) {
    return reinterpret_cast<F>(openssl_sw[i].function);
}

struct EtnEmailConn {
    bool initialised = false;
    bool tlsAvailable = false;
    u8 modeFlags = 0;       // bit 0 connecting/connected, bit 4 run mode
    u8 connState = 4;       // 1 sending, 3 disconnecting, 4 idle
    u8 smtpState = kClosed;
    u8 nextState = 0;
    u8 lastSendState = 0;
    u8 scanMode = 5;
    bool wasRun = false;
    bool discntArmed = true;
    u16 messageIndex = 0, addressIndex = 0, addressCount = 0, messageCount = 0;
    bool anyRecipient = false;
    u16 port = 0;           // as configured (587 selects STARTTLS)
    u32 serverAddress = 0, dnsServer = 0;
    char hostName[kRegText + 1] = {};
    u32 status = 0, lastNonZero = 0;
    u32 timerStart = 0, timerTicks = 0;
    u32 backoffTicks = 0, backoffStart = 0;
    int fd = -1, udp = -1;
    u16 dnsId = 0;
    u8 dnsQuery[512] = {};
    u32 dnsQueryLength = 0;
    void* ctx = nullptr;
    void* ssl = nullptr;
    bool tlsUp = false;
    std::string out;        // bytes waiting to be sent
    std::string in;         // reply bytes received
    MsgBody body;
    MsgSection sec;
    u16 crc = 0;
    // Attachments.
    u8 attachState = 0;
    u32 paceStart = 0, paceTicks = 0;  // the module path's pause
    u16 fileIndex = 0;
    i32 attachResult = 0;
    char path[512] = {};
    u32 folderLength = 0;   // characters of the folder part of the path
    char fileName[300] = {};
    FxFile file{};
    u32 readCount = 0;
    u8 readBuffer[912] = {};
    CfmListRequest list{};
    CfmFileArgs args{};
};
EtnEmailConn e;

// The e-mail file mailbox: one request at a time.
constexpr u8 kMbStatus = 0, kMbOpen = 3, kMbClose = 5, kMbRead = 6, kMbList = 7;
constexpr u32 kAttachRead = 912;       // a multiple of 3: the pieces encode without padding
constexpr u32 kAttachReadModem = 342;  // through the module: smaller pieces, paced
// Pauses of the module's path, so the module's socket is not flooded: before
// the first attachment, after each part header or piece, and between posting
// a read and taking its bytes.
constexpr u32 kPaceFirst = 20000, kPacePiece = 8000, kPaceRead = 10000;
constexpr u32 kOutHighWater = 16384;   // queued bytes before the next read waits
constexpr i32 kAttachOpenFailed = 1000;

u8* Mailbox() { return dpram + kDpramEmail; }
bool MailboxFree() { return (Mailbox()[0] != 0) == (Mailbox()[1] != 0); }
i32 MailboxResult() { return static_cast<i32>(GetLe32(Mailbox() + 4)); }
// Posts a request; false (nothing posted) while one is pending.
template <class Args>
bool Post(u8 operation, u8 drive, const Args& args) {
    static_assert(sizeof(Args) <= 32, "four native argument words");
    u8* mb = Mailbox();
    if (!MailboxFree()) return false;
    std::memset(mb + 8, 0, 32);
    std::memcpy(mb + 8, &args, sizeof args);
    mb[2] = operation;
    mb[3] = drive;
    mb[0] = mb[1] ? 0 : 1;
    return true;
}

bool RunMode() { return SR_Get(5) == 2; }
// Sending through the internal cellular module (its socket 2).
bool ViaModem() { return (e.modeFlags & 0x02) != 0; }
constexpr int kModemSocket = 2;
bool Open() { return e.fd >= 0 || (ViaModem() && (e.modeFlags & 0x01)); }

// Starts a pause of the module's path (nothing on Ethernet).
void Pace(u32 ticks) {
    if (!ViaModem()) return;
    e.paceStart = FPGA_GetFrt();
    e.paceTicks = ticks;
}
bool Pausing() { return e.paceTicks != 0 && FPGA_GetFrt() - e.paceStart < e.paceTicks; }

void StartTimer(u32 ticks) {
    e.timerStart = FPGA_GetFrt();
    e.timerTicks = ticks;
}
bool TimerOut() { return e.timerTicks != 0 && FPGA_GetFrt() - e.timerStart >= e.timerTicks; }

void Fail(u32 bits) { e.status |= bits; }
void FailStep(u32 bits) {
    e.status = (e.status & ~(0xFFu << kMailStepShift)) | bits |
               (static_cast<u32>(e.lastSendState - kTakeServer) << kMailStepShift);
}

u32 Header(u32 field) { return e.body.U32(e.sec.start + field); }
u8 Header8(u32 field) { return e.body.U8(e.sec.start + field); }
u8 Flags() { return Header8(kFlags); }

// A text held in registers: up to 256 characters, ending at a NUL or at two
// consecutive spaces.
std::string RegText(u32 address) {
    u8 raw[kRegText] = {};
    if (!GSMPlcReg_Get(raw, address, kRegText * 8)) return {};
    std::string s;
    for (u32 i = 0; i < kRegText && raw[i] != 0; ++i) {
        if (raw[i] == ' ' && i + 1 < kRegText && raw[i + 1] == ' ') break;
        s += static_cast<char>(raw[i]);
    }
    return s;
}

std::string PoolText(u32 offset, u32 length) {
    const u8* t = nullptr;
    if (length == 0 || !MsgCfg_PoolText(e.body, e.sec, offset, length, &t)) return {};
    return std::string(reinterpret_cast<const char*>(t), length);
}

// A header text: from the pool (offset field, length field) or, with the
// register flag, from the register the offset field names.
std::string ConfigText(u32 field, u32 lengthField) {
    if (Flags() & kFlagRegisters) return RegText(Header(field));
    return PoolText(Header(field), Header8(lengthField));
}

// Keeps the characters an address may have; the first other one ends it.
std::string CleanAddress(const std::string& t) {
    std::string out;
    for (char c : t) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '@' ||
                  c == '_' || c == '+' || c == ',' || c == '-' || c == '.';
        if (!ok) break;
        out += c;
    }
    return out;
}

u32 MessageEntry() { return e.sec.transmit + e.messageIndex * kEntryBytes; }
u8 MessageGroup() { return e.body.U8(MessageEntry() + 8); }

// The address of address-book entry i, or "" when it is not in the group.
std::string AddressOf(u32 i) {
    u32 a = e.sec.contacts + i * kContactBytes;
    if (e.body.U8(a + 16) != MessageGroup()) return {};
    u32 length = e.body.U32(a + 4);
    std::string t = length == 0 ? RegText(e.body.U32(a)) : PoolText(e.body.U32(a), length);
    return CleanAddress(t);
}

void CloseDns() {
    if (e.udp >= 0) close(e.udp);
    e.udp = -1;
}

void FreeTls() {
    if (e.ssl != nullptr) Fn<void (*)(void*)>(kSslFree)(e.ssl);
    if (e.ctx != nullptr) Fn<void (*)(void*)>(kSslCtxFree)(e.ctx);
    e.ssl = e.ctx = nullptr;
    e.tlsUp = false;
}

// Gives the module's socket back; true once it is free.
bool ModemSocketFree() { return ModemDataDisConnRequest(kModemSocket) == 0; }

void CloseAll() {
    if (ViaModem() && (e.modeFlags & 0x01)) ModemSocketFree();
    FreeTls();
    if (e.fd >= 0) close(e.fd);
    e.fd = -1;
    e.modeFlags &= ~0x01;
    CloseDns();
    e.out.clear();
    e.in.clear();
}

void Init() {
    e.initialised = true;
    e.tlsAvailable = SslLib_Resolve(openssl_sw, kSslCount) == 0;
    if (e.tlsAvailable) Fn<int (*)(u64, const void*)>(kOpensslInit)(0, nullptr);
    e.connState = 4;
}

// Loads the section; false (status bit 0) when there is none.
bool LoadSection() {
    MsgBody body = MsgCfg_StoredBody();
    e.body = body;
    e.crc = MsgCfg_StoredCrc();
    u32 start = body.U32(0);
    e.sec = MsgCfg_Section(body, start, true);
    if (!e.sec.headerOk || e.sec.magic != kMagicEmal || e.sec.size < kMinSection || !e.sec.tablesOk ||
        !body.Has(start, kMinSection)) {
        Fail(kMailNoSection);
        return false;
    }
    e.addressCount = static_cast<u16>(std::min<u32>(e.sec.contactCount, kMsgMaxEntries));
    e.messageCount = static_cast<u16>(std::min<u32>(e.sec.transmitCount, kMsgMaxEntries));
    e.modeFlags = static_cast<u8>((e.modeFlags & ~0x06) | ((Flags() & kFlagModem) ? 0x02 : 0) |
                                  ((Flags() & kFlagOtherTransport) ? 0x04 : 0));
    return true;
}

bool FindTrigger() {
    for (; e.messageIndex < e.messageCount; ++e.messageIndex) {
        u8 bit = 0;
        if (GSMPlcReg_Get(&bit, e.body.U32(MessageEntry() + 12), 1) && bit) return true;
    }
    e.messageIndex = 0;
    return false;
}

// --- Output --------------------------------------------------------------------

void Queue(const std::string& text) { e.out += text; }

// Sends what is queued, as far as the socket takes it; false on a failure.
bool Flush() {
    while (!e.out.empty()) {
        u32 n = static_cast<u32>(std::min<size_t>(e.out.size(), kSegment));
        if (e.tlsUp) {
            int r = Fn<int (*)(void*, const void*, int)>(kSslWrite)(e.ssl, e.out.data(), static_cast<int>(n));
            if (r <= 0) {
                int err = Fn<int (*)(const void*, int)>(kSslGetError)(e.ssl, r);
                return err == kSslErrorWantRead || err == kSslErrorWantWrite;
            }
            e.out.erase(0, static_cast<size_t>(r));
        } else if (ViaModem()) {
            if (IsModemSocketActive(static_cast<int>(kCellPort), kModemSocket) != 0) return false;
            // Refused while the socket's buffer is full: the rest goes later.
            if (ModemDataSend(kModemSocket, reinterpret_cast<const u8*>(e.out.data()), n, 1) != 0) return true;
            e.out.erase(0, n);
        } else {
            ssize_t r = send(e.fd, e.out.data(), n, MSG_NOSIGNAL);
            if (r < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            e.out.erase(0, static_cast<size_t>(r));
        }
    }
    return true;
}

// Sends a command and waits for its reply.
void Command(const std::string& text, u8 next) {
    Queue(text);
    e.lastSendState = e.smtpState;
    e.nextState = next;
    e.in.clear();
    StartTimer(kMailTimeoutTicks);
    e.smtpState = kReply;
}

std::string Base64(const std::string& s) {
    std::string out((s.size() + 2) / 3 * 4 + 1, '\0');
    u32 n = EtnEmailBase64Encd(reinterpret_cast<const u8*>(s.data()), static_cast<u32>(s.size()), out.data(), false);
    out.resize(n);
    return out;
}

// --- Replies -------------------------------------------------------------------

// Reads what has arrived; false when the connection is gone.
bool Receive() {
    char buf[1024];
    for (;;) {
        if (e.tlsUp) {
            int r = Fn<int (*)(void*, void*, int)>(kSslRead)(e.ssl, buf, sizeof buf);
            if (r <= 0) {
                int err = Fn<int (*)(const void*, int)>(kSslGetError)(e.ssl, r);
                return err == kSslErrorWantRead || err == kSslErrorWantWrite;
            }
            e.in.append(buf, static_cast<size_t>(r));
        } else if (ViaModem()) {
            if (IsModemSocketActive(static_cast<int>(kCellPort), kModemSocket) != 0) return false;
            u32 n = 0;
            while (n < sizeof buf && ModemCheckRecv(kModemSocket) == 1) buf[n++] = static_cast<char>(ModemDataRecv(kModemSocket));
            if (n == 0) return true;
            e.in.append(buf, n);
        } else {
            ssize_t r = recv(e.fd, buf, sizeof buf, 0);
            if (r == 0) return false;
            if (r < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            e.in.append(buf, static_cast<size_t>(r));
        }
        if (e.in.size() > kReplyMax) return false;
    }
}

u16 Expected(u8 state) {
    switch (state) {
        case kConnect: return 220;
        case kStartTls: return 220;
        case kAuth:
        case kAuthUser: return 334;
        case kAuthPass: return 235;
        case kData: return 354;
        default: return 250;
    }
}

void ReplyStep() {
    if (!Flush()) {
        FailStep(kMailSendFailed);
        e.smtpState = kDisconnect;
        return;
    }
    bool alive = Receive();
    u32 used = 0;
    int code = Smtp_ReadReply(e.in.data(), static_cast<u32>(e.in.size()), &used);
    if (code > 0) {
        e.in.erase(0, used);
        if (code >= 400) {
            FailStep(kMailErrorReply | (static_cast<u32>(code) << kMailCodeShift));
            e.smtpState = kDisconnect;
            return;
        }
        bool accepted = code == Expected(e.lastSendState) || (code == 251 && Expected(e.lastSendState) == 250);
        if (accepted) {
            e.smtpState = e.nextState;
            e.timerTicks = 0;
            return;
        }
        // Another positive reply than the one awaited: keep waiting.
    } else if (code < 0 || !alive) {
        FailStep(kMailConnectFailed);
        e.smtpState = kDisconnect;
        return;
    }
    if (TimerOut()) {
        FailStep(kMailReplyTimeout);
        e.smtpState = kDisconnect;
    }
}

// --- Steps -----------------------------------------------------------------------

void TakeServer() {
    u8 flags = Flags();
    if (flags & kFlagRegisters) {
        u16 port = 0;
        GSMPlcReg_Get(&port, Header(kPort), 16);
        e.port = port;
    } else {
        e.port = e.body.U16(e.sec.start + kPort);
    }
    if ((flags & kFlagHostName) && ViaModem()) {
        // The module resolves the name itself.
        std::string name = (flags & kFlagRegisters) ? RegText(Header(kServer)) : PoolText(Header(kServer), Header8(kHostLen));
        std::snprintf(e.hostName, sizeof e.hostName, "%s", name.c_str());
        e.serverAddress = name.empty() ? 0 : 1;
        e.smtpState = kConnect;
        return;
    }
    if (flags & kFlagHostName) {
        std::string name = (flags & kFlagRegisters) ? RegText(Header(kServer)) : PoolText(Header(kServer), Header8(kHostLen));
        std::snprintf(e.hostName, sizeof e.hostName, "%s", name.c_str());
        u32 dns = Header(kDns);
        if (flags & kFlagRegisters) GSMPlcReg_Get(&dns, Header(kDns), 32);
        e.dnsServer = dns;
        e.serverAddress = 0;
        e.smtpState = kDnsQuery;
        return;
    }
    u32 address = Header(kServer);
    if (flags & kFlagRegisters) GSMPlcReg_Get(&address, Header(kServer), 32);
    e.serverAddress = address;
    e.smtpState = kConnect;
}

void DnsQueryStep() {
    e.lastSendState = kDnsQuery;
    e.udp = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (e.udp < 0) {
        FailStep(kMailDnsSocket);
        return;
    }
    ++e.dnsId;
    e.dnsQueryLength = Dns_BuildQuery(e.dnsQuery, sizeof e.dnsQuery, e.dnsId, e.hostName);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u16>(53 + Root_PortOffset()));
    to.sin_addr.s_addr = htonl(e.dnsServer);
    if (e.dnsQueryLength == 0 || e.dnsServer == 0 ||
        sendto(e.udp, e.dnsQuery, e.dnsQueryLength, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
        FailStep(kMailDnsNoAddress);
        return;
    }
    StartTimer(kMailTimeoutTicks);
    e.smtpState = kDnsWait;
}

void DnsWaitStep() {
    u8 answer[kDnsMessageBytes];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    // Only the server asked answers, and only whole answers to this query count.
    for (int k = 0; k < 8; ++k) {
        ssize_t r = recvfrom(e.udp, answer, sizeof answer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (r <= 0) break;
        if (ntohl(from.sin_addr.s_addr) != e.dnsServer) continue;
        u8 a[4];
        if (Dns_ParseAnswer(answer, static_cast<u32>(r), e.dnsQuery, e.dnsQueryLength, a)) {
            e.serverAddress = (u32{a[0]} << 24) | (u32{a[1]} << 16) | (u32{a[2]} << 8) | a[3];
            CloseDns();
            e.timerTicks = 0;
            e.smtpState = kConnect;
            return;
        }
        if (r >= 2 && (answer[0] | (answer[1] << 8)) == e.dnsId) {
            FailStep(kMailDnsNoAddress);
            return;
        }
    }
    if (TimerOut()) FailStep(kMailDnsTimeout);
}

void ConnectStep() {
    e.lastSendState = kConnect;
    if (e.serverAddress == 0 || e.port == 0) {
        Fail(kMailNoServer);
        return;
    }
    if (ViaModem()) {
        ModemConnRequest q;
        q.address = e.serverAddress;
        q.port = static_cast<u16>(e.port + Root_PortOffset());
        q.socket = kModemSocket;
        q.flags = 0x02;
        if (Flags() & kFlagHostName) std::snprintf(q.host, sizeof q.host, "\"%s\"", e.hostName);
        if ((e.modeFlags & 0x01) == 0) {
            e.modeFlags |= 0x01;
            StartTimer(kMailTimeoutTicks);
        }
        // The module dials over many passes: waited for, within the connect time.
        if (ModemDataConnRequest(&q) == 0) {
            e.nextState = kEhlo;
            e.in.clear();
            StartTimer(kMailTimeoutTicks);
            e.smtpState = kReply;
        } else if (TimerOut()) {
            FailStep(kMailConnectTimeout);
        }
        return;
    }
    if ((e.modeFlags & 0x01) == 0) {
        e.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (e.fd < 0) {
            Fail(kMailNoSocket);
            return;
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<u16>(e.port + Root_PortOffset()));
        to.sin_addr.s_addr = htonl(e.serverAddress);
        if (connect(e.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0 && errno != EINPROGRESS) {
            FailStep(kMailConnectFailed);
            return;
        }
        e.modeFlags |= 0x01;
        StartTimer(kMailTimeoutTicks);
        return;
    }
    pollfd p{e.fd, POLLOUT, 0};
    if (poll(&p, 1, 0) > 0) {
        int err = 0;
        socklen_t l = sizeof err;
        getsockopt(e.fd, SOL_SOCKET, SO_ERROR, &err, &l);
        if (err != 0) {
            FailStep(kMailConnectFailed);
            return;
        }
        // Connected: the greeting follows.
        e.lastSendState = kConnect;
        e.nextState = kEhlo;
        e.in.clear();
        StartTimer(kMailTimeoutTicks);
        e.smtpState = kReply;
        return;
    }
    if (TimerOut()) FailStep(kMailConnectTimeout);
}

void TlsCreate() {
    e.lastSendState = kTlsCreate;
    void* method = Fn<void* (*)()>(kTls12Method)();
    e.ctx = method == nullptr ? nullptr : Fn<void* (*)(void*)>(kSslCtxNew)(method);
    e.ssl = e.ctx == nullptr ? nullptr : Fn<void* (*)(void*)>(kSslNew)(e.ctx);
    if (e.ssl == nullptr || Fn<int (*)(void*, int)>(kSslSetFd)(e.ssl, e.fd) != 1) {
        // No TLS objects: the handshake is never tried on nothing.
        FailStep(kMailConnectFailed);
        e.smtpState = kDisconnect;
        return;
    }
    StartTimer(kMailTimeoutTicks);
    e.smtpState = kTlsHandshake;
}

void TlsHandshake() {
    e.lastSendState = kTlsHandshake;
    int r = Fn<int (*)(void*)>(kSslConnect)(e.ssl);
    if (r == 1) {
        e.tlsUp = true;
        e.timerTicks = 0;
        e.smtpState = kTlsDone;
        return;
    }
    int err = Fn<int (*)(const void*, int)>(kSslGetError)(e.ssl, r);
    if ((err != kSslErrorWantRead && err != kSslErrorWantWrite) || TimerOut()) {
        FailStep(err != kSslErrorWantRead && err != kSslErrorWantWrite ? kMailConnectFailed : kMailReplyTimeout);
        e.smtpState = kDisconnect;
    }
}

bool LoginWanted() {
    if (Header8(kLogin) != 1) return false;
    if (Flags() & kFlagRegisters) return !RegText(Header(kPassword)).empty();
    return true;
}

void Ehlo() {
    std::string domain = PoolText(Header(kDomain), Header8(kDomainLen));
    if (domain.empty()) domain = "controller";
    u8 next = kMailFrom;
    if (e.port == kTlsPort && e.tlsAvailable && !e.tlsUp && !ViaModem()) {
        next = kStartTls;
    } else if (LoginWanted()) {
        next = kAuth;
    }
    Command("EHLO " + domain + "\r\n", next);
}

void RcptStep() {
    while (e.addressIndex < e.addressCount) {
        std::string a = AddressOf(e.addressIndex++);
        if (a.empty()) continue;
        e.anyRecipient = true;
        e.status &= ~(0xFFu << kMailStepShift);
        Command("RCPT TO:<" + a + ">\r\n", kRcpt);
        return;
    }
    if (!e.anyRecipient) e.status = (e.status & ~(0xFFu << kMailStepShift)) | (kMailNoRecipient << kMailStepShift);
    e.smtpState = kData;
}

void Date(std::string& out) {
    static const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    u16 sec = ESR_Get(20), min = ESR_Get(21), hour = ESR_Get(22), day = ESR_Get(23), month = ESR_Get(24),
        year = ESR_Get(25);
    char line[64];
    std::snprintf(line, sizeof line, "Date: %02u %s %04u %02u:%02u:%02u +0000\r\n", day,
                  kMonths[(month >= 1 && month <= 12) ? month - 1 : 0], year, hour, min, sec);
    out += line;
}

void Content() {
    u32 m = MessageEntry();
    u32 textOffset = e.body.U32(m);
    u32 bodyLength = std::min(e.body.U32(m + 4), kBodyMax);
    u8 subjectLength = e.body.U8(m + 9);
    u8 mode = e.body.U8(m + 11);
    std::string sender = CleanAddress(ConfigText(kSender, kSenderLen));

    std::string h;
    Date(h);
    h += "From: " + sender + "\r\n";
    // Every address of the group, folded one per line.
    std::string to;
    for (u32 i = 0; i < e.addressCount; ++i) {
        std::string a = AddressOf(i);
        if (a.empty()) continue;
        to += to.empty() ? "To: " : ",\r\n ";
        to += a;
    }
    if (!to.empty()) h += to + "\r\n";
    std::string subject = PoolText(textOffset + bodyLength, subjectLength);
    for (char& c : subject)
        if (c == '\r' || c == '\n') c = ' ';
    h += "Subject: " + subject + "\r\n";
    h += "MIME-Version: 1.0\r\n";
    if (mode != 0) {
        h += "Content-Type: multipart/mixed;\r\n\tboundary=\"";
        h += kBoundary;
        h += "\"\r\n\r\nThis is a message with multiple parts in MIME format.\r\n\r\n--";
        h += kBoundary;
        h += "\r\n";
    }
    h += "Content-Type:text/plain; charset=US-ASCII \r\n\r\n";
    Queue(h);

    std::string text = PoolText(textOffset, bodyLength);
    u32 l = e.sec.transmitLists + e.messageIndex * kFieldListBytes;
    const u8* list = nullptr;
    u32 listLength = e.body.U32(l + 4);
    if (listLength != 0 && MsgCfg_PoolText(e.body, e.sec, e.body.U32(l), listLength, &list))
        MsgFmt_Fill(text.data(), static_cast<u32>(text.size()), list, listLength, e.body, e.sec);
    std::string stuffed;
    Smtp_DotStuff(text.data(), static_cast<u32>(text.size()), true, stuffed);
    Queue(stuffed);
    if (mode == 0) {
        Queue("\r\n");
        e.smtpState = kEndData;
    } else {
        e.attachState = 0;
        e.fileIndex = 0;
        e.attachResult = 0;
        e.paceTicks = 0;
        Pace(kPaceFirst);
        e.smtpState = kAttach;
    }
}

bool Newer(const CfmListRecord* a, const CfmListRecord* b) {
    return a->date != b->date ? a->date > b->date : a->time > b->time;
}

// The entry a folder attachment takes from the listing, from the file
// index on; -1 when no file is left.
int ChooseFile(u8 mode, u32 count) {
    u32 first = e.fileIndex;
    while (first < count && first < kCfmListMax && pEntryTbl[first] != nullptr && (pEntryTbl[first]->attr & 0x10))
        ++first;
    if (first >= count || first >= kCfmListMax || pEntryTbl[first] == nullptr) return -1;
    if (mode == 2) return static_cast<int>(first);
    u32 newest = first, oldest = first, runnerUp = first;
    for (u32 i = first + 1; i < count && i < kCfmListMax; ++i) {
        const CfmListRecord* x = pEntryTbl[i];
        if (x == nullptr || (x->attr & 0x10)) continue;
        const CfmListRecord *n = pEntryTbl[newest], *o = pEntryTbl[oldest], *r = pEntryTbl[runnerUp];
        if (x->date < o->date) {
            oldest = i;
        } else if (x->date > n->date) {
            runnerUp = newest;
            newest = i;
        } else if (x->date == o->date && x->time < o->time) {
            if (n->time == r->time) runnerUp = i;
            oldest = i;
        } else if (x->date == n->date && x->time > n->time) {
            runnerUp = newest;
            newest = i;
        } else if (Newer(x, r)) {
            runnerUp = i;
        }
    }
    return static_cast<int>(mode == 3 ? oldest : mode == 4 ? newest : runnerUp);
}

u32 ReadSize() { return ViaModem() ? kAttachReadModem : kAttachRead; }

void PostOpen() {
    e.file = FxFile{};
    e.args = CfmFileArgs{&e.file, e.path, 0, nullptr};
    if (Post(kMbOpen, 0, e.args)) e.attachState = 3;
}

void AttachStep() {
    u32 m = MessageEntry();
    u8 mode = e.body.U8(m + 11);
    if (Pausing()) return;
    switch (e.attachState) {
        case 0: {
            u32 at = e.body.U32(m) + std::min(e.body.U32(m + 4), kBodyMax) + e.body.U8(m + 9);
            std::string path = PoolText(at, e.body.U8(m + 10));
            if (path.empty()) {
                e.attachResult = kAttachOpenFailed;
                e.attachState = 9;
                break;
            }
            if (path.back() == '\\') path += "*.*";
            std::snprintf(e.path, sizeof e.path, "%s", path.c_str());
            size_t slash = path.rfind('\\');
            e.folderLength = slash == std::string::npos ? (path.size() >= 2 && path[1] == ':' ? 2 : 0)
                                                        : static_cast<u32>(slash + 1);
            std::snprintf(e.fileName, sizeof e.fileName, "%s", e.path + e.folderLength);
            if (mode == 1) {
                PostOpen();
            } else {
                e.list = CfmListRequest{0, e.path, 0};
                u8 drive = (e.path[0] == 'B' || e.path[0] == 'b') && e.path[1] == ':' ? 1 : 0;
                if (Post(kMbList, drive, e.list)) e.attachState = 1;
            }
            break;
        }
        case 1: {
            if (!MailboxFree()) break;
            if (MailboxResult() != 0) {
                e.attachResult = MailboxResult();
                e.attachState = 9;
                break;
            }
            // The number of entries comes back in the mailbox's first argument word.
            CfmListRequest listed;
            std::memcpy(&listed, Mailbox() + 8, sizeof listed);
            int chosen = ChooseFile(mode, listed.count);
            if (chosen < 0) {
                e.attachState = 9;
                break;
            }
            e.fileIndex = static_cast<u16>(chosen);
            const CfmListRecord* r = pEntryTbl[chosen];
            char name[300];
            if (r->ext[0] != 0)
                std::snprintf(name, sizeof name, "%.255s.%.14s", r->name, r->ext);
            else
                std::snprintf(name, sizeof name, "%.255s", r->name);
            std::snprintf(e.fileName, sizeof e.fileName, "%s", name);
            std::snprintf(e.path + e.folderLength, sizeof e.path - e.folderLength, "%s", name);
            e.attachState = 2;
            break;
        }
        case 2: PostOpen(); break;
        case 3:
            if (!MailboxFree()) break;
            if (MailboxResult() != 0) {
                e.attachResult = kAttachOpenFailed;
                e.attachState = 9;
                break;
            }
            {
                // No space after the header values: a reader takes "base64 " for an
                // unknown encoding and hands the attachment over still encoded.
                std::string name = e.fileName;
                for (char& c : name)
                    if (c == '"' || c == '\r' || c == '\n') c = '_';
                Queue(std::string("\r\n--") + kBoundary +
                      "\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
                      "Content-Disposition: attachment;\r\n\tfilename=\"" + name + "\"\r\n\r\n");
            }
            Pace(kPacePiece);
            e.attachState = 5;
            break;
        case 5:
            if (e.out.size() > kOutHighWater) break;
            e.readCount = 0;
            e.args = CfmFileArgs{&e.file, e.readBuffer, ReadSize(), &e.readCount};
            if (Post(kMbRead, 0, e.args)) {
                Pace(kPaceRead);
                e.attachState = 6;
            }
            break;
        case 6: {
            if (!MailboxFree()) break;
            i32 r = MailboxResult();
            u32 n = std::min(e.readCount, ReadSize());
            if ((r == 0 || r == -1) && n > 0) {
                char encoded[kAttachRead / 3 * 4 + kAttachRead / 57 * 2 + 8];
                u32 length = EtnEmailBase64Encd(e.readBuffer, n, encoded, true);
                Queue(std::string(encoded, length));
                e.attachState = n < ReadSize() ? 7 : 5;
                if (e.attachState == 5) Pace(kPacePiece);
            } else {
                e.attachState = 7;
            }
            break;
        }
        case 7:
            e.args = CfmFileArgs{&e.file, nullptr, 0, nullptr};
            if (Post(kMbClose, 0, e.args)) e.attachState = 8;
            break;
        case 8:
            if (!MailboxFree()) break;
            if (MailboxResult() != 0) {
                e.attachResult = MailboxResult();
                e.attachState = 9;
            } else if (mode == 2) {
                ++e.fileIndex;
                e.attachState = 0;
            } else {
                e.attachState = 9;
            }
            break;
        default: {
            std::string tail;
            if (e.attachResult != 0) {
                char line[64];
                std::snprintf(line, sizeof line, "\r\n\r\n\r\nAttachment Error: %02d\r\n", e.attachResult);
                tail += line;
            }
            tail += std::string("\r\n--") + kBoundary + "--\r\n";
            Queue(tail);
            e.smtpState = kEndData;
            break;
        }
    }
}

void ClearTrigger() {
    u8 zero = 0;
    GSMPlcReg_Set(e.body.U32(MessageEntry() + 12), &zero, 1);
}

void DisconnectStep() {
    if (Open() && !e.out.empty() && Flush() && !e.out.empty() && !TimerOut()) return;  // QUIT still going out
    if (ViaModem() && (e.modeFlags & 0x01) && !ModemSocketFree()) return;
    if (SR_Get(163) == 13) GSMGPRSInfo_St.extraFlags |= 0x01;
    CloseAll();
    e.smtpState = kClosed;
}

void SmtpStep() {
    switch (e.smtpState) {
        case kTakeServer: TakeServer(); break;
        case kDnsQuery: DnsQueryStep(); break;
        case kDnsWait: DnsWaitStep(); break;
        case kConnect: ConnectStep(); break;
        case kTlsCreate: TlsCreate(); break;
        case kTlsHandshake: TlsHandshake(); break;
        case kTlsDone:
            e.smtpState = kEhlo;  // greeted again over TLS (RFC 3207)
            break;
        case kEhlo: Ehlo(); break;
        case kStartTls: Command("STARTTLS\r\n", kTlsCreate); break;
        case kAuth: Command("AUTH LOGIN\r\n", kAuthUser); break;
        case kAuthUser: Command(Base64(ConfigText(kUser, kUserLen)) + "\r\n", kAuthPass); break;
        case kAuthPass: Command(Base64(ConfigText(kPassword, kPasswordLen)) + "\r\n", kMailFrom); break;
        case kMailFrom:
            e.anyRecipient = false;
            e.addressIndex = 0;
            Command("MAIL FROM:<" + CleanAddress(ConfigText(kSender, kSenderLen)) + ">\r\n", kRcpt);
            break;
        case kRcpt: RcptStep(); break;
        case kData: Command("DATA\r\n", kContent); break;
        case kContent: Content(); break;
        case kAttach: AttachStep(); break;
        case kEndData:
            // The end of the data is answered; a refused message is reported.
            Command("\r\n.\r\n", kQuit);
            break;
        case kQuit:
            Queue("QUIT\r\n");
            ClearTrigger();
            e.smtpState = kDisconnect;
            break;
        case kReply: ReplyStep(); break;
        case kDisconnect: DisconnectStep(); break;
        default: break;
    }
    if (Open() && e.smtpState != kReply && !e.out.empty() && !Flush()) {
        FailStep(kMailSendFailed);
        e.smtpState = kDisconnect;
    }
}

void WriteStatusRegister() {
    if (!RunMode() || (e.status & kMailNoSection)) return;
    if (e.status != 0 && e.status != e.lastNonZero) e.lastNonZero = e.status;
    u32 reg = Header(kStatusReg);
    if (reg != 0) GSMPlcReg_Set(reg, &e.lastNonZero, 32);
}

}  // namespace

int Smtp_ReadReply(const char* buffer, u32 length, u32* used) {
    u32 pos = 0;
    int code = 0;
    for (;;) {
        const void* nl = std::memchr(buffer + pos, '\n', length - pos);
        if (nl == nullptr) return length - pos > kReplyMax ? -1 : 0;
        u32 end = static_cast<u32>(static_cast<const char*>(nl) - buffer);
        u32 n = end - pos;
        const char* line = buffer + pos;
        if (n < 3 || line[0] < '1' || line[0] > '5' || line[1] < '0' || line[1] > '9' || line[2] < '0' ||
            line[2] > '9')
            return -1;
        int c = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
        if (code != 0 && c != code) return -1;
        code = c;
        pos = end + 1;
        char sep = n > 3 ? line[3] : ' ';
        if (sep == '\r') sep = ' ';
        if (sep == ' ') {
            *used = pos;
            return code;
        }
        if (sep != '-') return -1;
    }
}

void Smtp_DotStuff(const char* text, u32 length, bool lineStart, std::string& out) {
    for (u32 i = 0; i < length; ++i) {
        char c = text[i];
        if (lineStart && c == '.') out += '.';
        if (c == '\n' && (i == 0 ? true : text[i - 1] != '\r')) out += '\r';
        out += c;
        lineStart = c == '\n';
    }
}

u32 EtnEmailBase64Encd(const u8* input, u32 length, char* output, bool lineBreaks) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    u32 n = 0, line = 0;
    for (u32 i = 0; i < length; i += 3) {
        u32 v = static_cast<u32>(input[i]) << 16;
        if (i + 1 < length) v |= static_cast<u32>(input[i + 1]) << 8;
        if (i + 2 < length) v |= input[i + 2];
        char q[4] = {kAlphabet[(v >> 18) & 63], kAlphabet[(v >> 12) & 63],
                     i + 1 < length ? kAlphabet[(v >> 6) & 63] : '=', i + 2 < length ? kAlphabet[v & 63] : '='};
        for (char c : q) {
            output[n++] = c;
            if (lineBreaks && ++line == 76) {
                output[n++] = '\r';
                output[n++] = '\n';
                line = 0;
            }
        }
    }
    output[n] = 0;
    return n;
}

void EtnEmailScan(int source) {
    if (!e.initialised) Init();
    // The module's path is stepped by the controller scan, Ethernet by the
    // Ethernet main step; the scan also loads a block the other has not seen.
    if (source == 1 && (e.modeFlags & 0x06)) return;
    if (source == 0 && (e.modeFlags & 0x02) == 0 && e.crc == MsgCfg_StoredCrc() && e.body.size != 0) return;
    bool run = RunMode();
    e.modeFlags = static_cast<u8>(run ? (e.modeFlags | 0x10) : (e.modeFlags & ~0x10));
    switch (e.connState) {
        case 3:
            DisconnectStep();
            e.status = 0;
            e.connState = 4;
            break;
        case 1:
            if (e.status != 0 || !run) {
                if (e.status != 0) {
                    e.backoffTicks = e.backoffTicks == 0 ? kBackoffFirst : std::min(e.backoffTicks * 2, kBackoffLast);
                    e.backoffStart = FPGA_GetFrt();
                }
                WriteStatusRegister();
                e.connState = 3;
                break;
            }
            if (e.scanMode == 5) {
                if (e.backoffTicks != 0 && FPGA_GetFrt() - e.backoffStart < e.backoffTicks) break;
                if (FindTrigger()) {
                    if (e.modeFlags & 0x04) {
                        // A transport this client does not serve: reported as no connection.
                        e.lastSendState = kConnect;
                        FailStep(kMailConnectFailed);
                        break;
                    }
                    e.addressIndex = 0;
                    e.smtpState = kTakeServer;
                    e.scanMode = 6;
                }
            } else {
                SmtpStep();
                if (e.smtpState == kClosed && e.status == 0) {
                    e.lastNonZero = 0;
                    e.backoffTicks = 0;
                    e.scanMode = 5;
                    ++e.messageIndex;
                }
            }
            break;
        default:
            if (!run) break;
            if (!e.wasRun) {
                e.lastNonZero = 0;
                e.status = 0;
            }
            if (e.status == 0 && LoadSection()) {
                e.scanMode = 5;
                e.connState = 1;
            }
            break;
    }
    e.wasRun = run;
    WriteStatusRegister();
}

int EtnEmailDiscnt() {
    if (e.discntArmed) {
        e.discntArmed = false;
        if (e.smtpState != kClosed) e.smtpState = kDisconnect;
    }
    if (e.smtpState != kClosed) SmtpStep();
    if (e.smtpState == kClosed) {
        CloseAll();
        e.discntArmed = true;
        return 1;
    }
    return 0;
}

unsigned EtnEmailConnCnt() { return e.fd >= 0 && (e.modeFlags & 0x01) && e.smtpState != kConnect ? 1 : 0; }

void EtnEmail_Descriptors(std::vector<pollfd>& fds) {
    if (e.fd >= 0) fds.push_back({e.fd, static_cast<short>(POLLIN | (e.out.empty() ? 0 : POLLOUT)), 0});
    if (e.udp >= 0) fds.push_back({e.udp, POLLIN, 0});
}

u32 EtnEmail_Status() { return e.status; }
u32 EtnEmail_LastStatus() { return e.lastNonZero; }
u8 EtnEmail_SmtpState() { return e.smtpState; }

void EtnEmail_Reset() {
    CloseAll();
    e = EtnEmailConn{};
}
