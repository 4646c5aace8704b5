// DNS resolver: turns a host name into an IPv4 address text for the clients
// of the main loop (MQTT brokers, the e-mail server), which call it again
// and again until it gives a result. It asks the first name server of the
// resolver file (/etc/resolv.conf under the root) for the A record over UDP,
// on a non-blocking socket, and waits at most 10 s for the answer.
//
// Each lookup is tied to its name: several callers may resolve different
// names at once (up to kDnsLookups), and a caller never receives the address
// of another's name. A lookup is closed by its result; one whose caller
// went away is reused by a later name.
//
// The query builder and the answer parser serve every DNS query of the
// firmware.
#pragma once

#include <poll.h>

#include <vector>

#include "platform/bytes.h"

constexpr u32 kDnsMessageBytes = 1024;
constexpr u32 kDnsNameMax = 249;        // the question fits in 255 bytes
constexpr u32 kDnsLabelMax = 63;
constexpr u32 kDnsServerText = 256;
constexpr u32 kDnsAnswerTicks = 100000;  // 10 s
constexpr int kDnsLookups = 8;

// Results of dnsResolve.
constexpr int kDnsStep = 2, kDnsPending = 1, kDnsResolved = 0, kDnsNoAddress = -1, kDnsNoResolvConf = -2,
              kDnsNoSocket = -3, kDnsSendFailed = -5, kDnsTimeout = -6, kDnsReceiveFailed = -7;
// States of one lookup.
constexpr u32 kDnsStart = 0, kDnsSend = 1, kDnsWait = 2, kDnsAnswered = 3;

struct DnsFlowCtrl {
    u32 state;
    char servers[2][kDnsServerText];  // name-server address texts from the resolver file
    u32 serverCount;
    int socket;                        // -1 when none
    u8 answer[kDnsMessageBytes];
    u8 query[kDnsMessageBytes];
    u16 queryLength;                   // 12 + question length
    u32 answerLength;
    u8 serverIndex;                    // the server asked: always the first
    // The lookup's own name, its server (host order) and its timer.
    char name[kDnsNameMax + 2];
    u32 serverAddress;
    u32 timerStart;
    u32 timerTicks;
    u32 lastUse;                       // order of use, to reuse the oldest slot
};

// One step of the lookup of host; address receives "%d.%d.%d.%d" (at least
// 16 bytes) on 0. Results as above; a name that is empty, longer than 249
// characters or has an empty label or one over 63 characters gives -5.
int dnsResolve(const char* host, char* address);
// Reads the name servers of the resolver file into the lookup; 1, or 0
// when the file cannot be opened.
int dnsReadResolvConf(DnsFlowCtrl& lookup);
// With ticks not 0 starts the lookup's timer and answers 0; with 0 answers 1
// when the time has run out.
int dnsTimer(DnsFlowCtrl& lookup, u32 ticks);

// The query for the A record of name with the identifier (its bytes in the
// order given: low byte first); the length, or 0 when the name is refused
// or does not fit capacity.
u32 Dns_BuildQuery(u8* out, u32 capacity, u16 id, const char* name);
// The first IPv4 address of an answer to the query (same identifier and
// question, QR set, at least one answer); false when it carries none. Every
// record is checked against the bytes received.
bool Dns_ParseAnswer(const u8* answer, u32 length, const u8* query, u32 queryLength, u8 address[4]);

// The sockets of lookups waiting for an answer, for the main loop's idle wait.
void Dns_PollSet(std::vector<pollfd>& fds);
// Closes every lookup and starts the identifiers at 1 again (tests).
void Dns_Reset();
// The lookup of a name, nullptr when none (tests).
const DnsFlowCtrl* Dns_Lookup(const char* host);
