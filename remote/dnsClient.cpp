#include "remote/dnsClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/fpga.h"
#include "platform/root.h"

namespace {

constexpr u16 kDnsPort = 53;
constexpr u32 kHeaderBytes = 12;
constexpr int kReadsPerStep = 8;  // stray datagrams looked at in one step

struct Module {
    DnsFlowCtrl lookups[kDnsLookups];
    u16 transId = 1;          // the next query's identifier
    u8 questionLength = 0;    // of the last query
    u32 useCount = 0;
    bool initialised = false;
};
Module g;

void Clear(DnsFlowCtrl& l) {
    std::memset(&l, 0, sizeof l);
    l.socket = -1;
}

void EnsureInitialised() {
    if (g.initialised) return;
    for (DnsFlowCtrl& l : g.lookups) Clear(l);
    g.initialised = true;
}

// Ends a lookup: its socket closed, its slot free.
int Finish(DnsFlowCtrl& l, int result) {
    if (l.socket >= 0) ::close(l.socket);
    Clear(l);
    return result;
}

DnsFlowCtrl* Find(const char* host) {
    for (DnsFlowCtrl& l : g.lookups)
        if (l.name[0] != 0 && std::strcmp(l.name, host) == 0) return &l;
    return nullptr;
}

// The lookup of host, or a new one in a free slot (the one used longest ago
// when none is free: its caller has gone).
DnsFlowCtrl& Take(const char* host) {
    DnsFlowCtrl* l = Find(host);
    if (l == nullptr) {
        for (DnsFlowCtrl& k : g.lookups)
            if (k.name[0] == 0) {
                l = &k;
                break;
            }
        if (l == nullptr) {
            l = &g.lookups[0];
            for (DnsFlowCtrl& k : g.lookups)
                if (static_cast<i32>(k.lastUse - l->lastUse) < 0) l = &k;
            Finish(*l, 0);
        }
        std::snprintf(l->name, sizeof l->name, "%s", host);
    }
    l->lastUse = ++g.useCount;
    return *l;
}

// Skips a name in a message (labels, ended by a zero byte or a pointer);
// the offset after it, or 0 when it runs past the end or is malformed.
u32 SkipName(const u8* m, u32 n, u32 at) {
    for (int labels = 0; labels < 128 && at < n; ++labels) {
        const u8 len = m[at];
        if (len == 0) return at + 1;
        if ((len & 0xC0) == 0xC0) return at + 2 <= n ? at + 2 : 0;
        if ((len & 0xC0) != 0) return 0;
        at += 1u + len;
    }
    return 0;
}

}  // namespace

u32 Dns_BuildQuery(u8* out, u32 capacity, u16 id, const char* name) {
    if (out == nullptr || name == nullptr) return 0;
    const size_t nameLength = std::strlen(name);
    if (nameLength == 0 || nameLength > kDnsNameMax) return 0;
    const u32 total = kHeaderBytes + static_cast<u32>(nameLength) + 2 + 4;
    if (total > capacity) return 0;
    std::memset(out, 0, kHeaderBytes);
    out[0] = static_cast<u8>(id);
    out[1] = static_cast<u8>(id >> 8);
    out[2] = 0x01;  // recursion desired
    out[3] = 0x80;
    out[5] = 1;  // one question
    u32 at = kHeaderBytes;
    const char* label = name;
    for (;;) {
        const char* dot = std::strchr(label, '.');
        const size_t length = dot != nullptr ? static_cast<size_t>(dot - label) : std::strlen(label);
        if (length == 0) {
            // Only a final dot may close the name.
            if (dot == nullptr && label != name) break;
            return 0;
        }
        if (length > kDnsLabelMax) return 0;
        out[at++] = static_cast<u8>(length);
        std::memcpy(out + at, label, length);
        at += static_cast<u32>(length);
        if (dot == nullptr) break;
        label = dot + 1;
    }
    out[at++] = 0;
    PutBe16(out + at, 1);      // type A
    PutBe16(out + at + 2, 1);  // class IN
    return at + 4;
}

bool Dns_ParseAnswer(const u8* a, u32 n, const u8* q, u32 queryLength, u8 address[4]) {
    if (a == nullptr || q == nullptr || queryLength < kHeaderBytes || n < queryLength) return false;
    if (a[0] != q[0] || a[1] != q[1] || (a[2] & 0x80) == 0) return false;
    const u16 answers = GetBe16(a + 6);
    if (answers == 0 || GetBe16(a + 4) != 1) return false;
    // The answer repeats the question asked.
    if (std::memcmp(a + kHeaderBytes, q + kHeaderBytes, queryLength - kHeaderBytes) != 0) return false;
    u32 at = queryLength;
    for (u16 k = 0; k < answers; ++k) {
        at = SkipName(a, n, at);
        if (at == 0 || at + 10 > n) return false;
        const u16 type = GetBe16(a + at), cls = GetBe16(a + at + 2), length = GetBe16(a + at + 8);
        at += 10;
        if (at + length > n) return false;
        if (type == 1 && cls == 1 && length == 4) {
            std::memcpy(address, a + at, 4);
            return true;
        }
        at += length;
    }
    return false;
}

int dnsReadResolvConf(DnsFlowCtrl& l) {
    FILE* f = std::fopen(Root_HostPath("/etc/resolv.conf").c_str(), "r");
    if (f == nullptr) return 0;
    l.serverCount = 0;
    char line[257];
    while (l.serverCount < 2 && std::fgets(line, sizeof line, f) != nullptr) {
        if (line[0] == '#' || std::strncmp(line, "nameserver", 10) != 0) continue;
        char word[sizeof line], server[sizeof line];
        if (std::sscanf(line, "%256s %256s", word, server) != 2 || std::strcmp(word, "nameserver") != 0) continue;
        std::snprintf(l.servers[l.serverCount++], kDnsServerText, "%s", server);
    }
    std::fclose(f);
    return 1;
}

int dnsTimer(DnsFlowCtrl& l, u32 ticks) {
    const u32 now = FPGA_GetFrt();
    if (ticks != 0) {
        l.timerStart = now;
        l.timerTicks = ticks;
        return 0;
    }
    return l.timerTicks != 0 && static_cast<u32>(now - l.timerStart) >= l.timerTicks ? 1 : 0;
}

int dnsResolve(const char* host, char* address) {
    EnsureInitialised();
    if (host == nullptr || address == nullptr || host[0] == 0 || std::strlen(host) > kDnsNameMax)
        return kDnsSendFailed;
    DnsFlowCtrl& l = Take(host);
    const u16 port = static_cast<u16>(kDnsPort + Root_PortOffset());
    switch (l.state) {
        case kDnsStart: {
            if (!dnsReadResolvConf(l)) return Finish(l, kDnsNoResolvConf);
            int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) return Finish(l, kDnsNoSocket);
            l.socket = fd;
            l.state = kDnsSend;
            return kDnsStep;
        }
        case kDnsSend: {
            l.serverIndex = 0;
            in_addr server{};
            l.queryLength = static_cast<u16>(Dns_BuildQuery(l.query, sizeof l.query, g.transId, l.name));
            if (l.queryLength == 0 || l.serverCount == 0 || inet_pton(AF_INET, l.servers[0], &server) != 1)
                return Finish(l, kDnsSendFailed);
            ++g.transId;
            g.questionLength = static_cast<u8>(l.queryLength - kHeaderBytes);
            l.serverAddress = ntohl(server.s_addr);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr = server;
            to.sin_port = htons(port);
            ssize_t sent = sendto(l.socket, l.query, l.queryLength, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            if (sent != static_cast<ssize_t>(l.queryLength)) return Finish(l, kDnsSendFailed);
            dnsTimer(l, kDnsAnswerTicks);
            l.state = kDnsWait;
            return kDnsPending;
        }
        case kDnsWait:
            for (int k = 0; k < kReadsPerStep; ++k) {
                sockaddr_in from{};
                socklen_t fromLength = sizeof from;
                ssize_t n = recvfrom(l.socket, l.answer, sizeof l.answer, 0, reinterpret_cast<sockaddr*>(&from),
                                     &fromLength);
                if (n < 0) {
                    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
                    // An ICMP error of an earlier send shows up here too.
                    return Finish(l, kDnsReceiveFailed);
                }
                // Only the server asked, from its port, may answer.
                if (n == 0 || ntohl(from.sin_addr.s_addr) != l.serverAddress || ntohs(from.sin_port) != port)
                    continue;
                l.answerLength = static_cast<u32>(n);
                l.state = kDnsAnswered;
                return kDnsStep;
            }
            if (dnsTimer(l, 0)) return Finish(l, kDnsTimeout);
            return kDnsPending;
        case kDnsAnswered: {
            u8 a[4];
            if (!Dns_ParseAnswer(l.answer, l.answerLength, l.query, l.queryLength, a))
                return Finish(l, kDnsNoAddress);
            std::snprintf(address, 16, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
            return Finish(l, kDnsResolved);
        }
        default:
            return Finish(l, kDnsNoAddress);
    }
}

void Dns_PollSet(std::vector<pollfd>& fds) {
    if (!g.initialised) return;
    // A lookup whose caller went away never reads its socket again: after
    // its time-out it no longer wakes the loop.
    for (DnsFlowCtrl& l : g.lookups)
        if (l.socket >= 0 && l.state == kDnsWait && !dnsTimer(l, 0)) fds.push_back(pollfd{l.socket, POLLIN, 0});
}

void Dns_Reset() {
    if (g.initialised)
        for (DnsFlowCtrl& l : g.lookups)
            if (l.socket >= 0) ::close(l.socket);
    g = Module{};
    EnsureInitialised();
}

const DnsFlowCtrl* Dns_Lookup(const char* host) {
    EnsureInitialised();
    return host != nullptr ? Find(host) : nullptr;
}
