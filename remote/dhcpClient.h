// DHCP client of the wired interfaces eth0 and eth1: takes address, netmask,
// router and DNS server from a DHCP server, renews the lease after T1 and
// releases it when DHCP is switched off.
//
// The client builds the DHCP message, the UDP and the IPv4 headers itself
// and sends the frames on a link-layer packet socket bound to the
// interface; replies are read from the same socket. It sends only when the
// process runs in a network namespace of its own: in the host's namespace
// no socket is opened and the client stays acquiring, so the host's
// interfaces never see a frame.
//
// Lease end: at T1 (300 s when the server names none) a renewing REQUEST
// goes to the server while the lease stays in force. An unanswered renewal
// is tried again every 60 s; a NAK, or the lease time running out without
// an ACK, ends the lease: the client reports acquiring again (the Ethernet
// main step then takes the address off the interface once, see
// dhcpLeaseLost) and starts over with a DISCOVER.
#pragma once

#include <poll.h>

#include <vector>

#include "platform/bytes.h"

constexpr int kDhcpPorts = 4;
constexpr u32 kDhcpMessageBytes = 1536;
constexpr u32 kDhcpFrameBytes = 576;            // IPv4 + UDP + message, as sent and as read at most
constexpr u32 kDhcpHeaderBytes = 28;            // IPv4 (20) and UDP (8)
constexpr u32 kDhcpSentMessageBytes = kDhcpFrameBytes - kDhcpHeaderBytes;  // 548
constexpr u32 kDhcpOptionsOffset = 240;         // after the magic cookie
constexpr u32 kDhcpReplyTicks = 60000;          // 6 s for a reply
constexpr u32 kDhcpDefaultRenewalS = 300;       // when the server gives no T1
constexpr u32 kDhcpRenewalRetryS = 60;          // an unanswered renewal is tried again

// Message kinds: the DHCP message types, 9 a REQUEST while renewing.
constexpr u8 kDhcpDiscover = 1, kDhcpOffer = 2, kDhcpRequest = 3, kDhcpAck = 5, kDhcpNak = 6, kDhcpRelease = 7,
             kDhcpInform = 8, kDhcpRenew = 9;
// States of dhcpScan.
constexpr u32 kDhcpIdle = 0, kDhcpStart = 1, kDhcpSend = 2, kDhcpWait = 3, kDhcpReleasing = 5;
// Acquisition values of getFromDhcp.
constexpr u8 kDhcpHeld = 0, kDhcpAcquiring = 1, kDhcpReleased = 2;

// One lease; IPv4 addresses with the first octet in the top byte, times in
// seconds.
struct DhcpLease {
    u32 server;     // option 54
    u32 address;    // yiaddr
    u32 mask;       // option 1
    u32 router;     // option 3, first address
    u32 dns;        // option 6, first address
    u32 dns2;       // not used
    u32 leaseTime;  // option 51
    u32 t1;         // option 58
    u32 t2;         // option 59
};

struct DhcpPortState {
    u32 state;
    u8 kind;           // next or last message kind
    u8 addressKnown;   // an offer or ACK gave an address: it is asked for again
    u8 bound;          // a lease is held
    u8 acquisition;    // kDhcpHeld, kDhcpAcquiring, kDhcpReleased
    u8 renewalTiming;  // the renewal timer runs
    u8 enable;         // the DHCP setting of the last call
    u8 leaseLost;      // the lease ended unrenewed; cleared by dhcpLeaseLost
    int socket;        // packet socket, -1 when none
    int ifIndex;
    u8 request[kDhcpMessageBytes];
    u8 received[kDhcpFrameBytes];  // UDP payload of the last accepted reply
    u32 receivedLength;
    u8 frame[kDhcpFrameBytes];
    u32 replyTimer;       // start tick of the reply wait
    u64 renewalStartS;    // monotonic seconds when the renewal timer started
    u32 renewalAfterS;    // seconds it runs
    u64 leaseStartS;      // monotonic seconds of the ACK that gave the lease
    u32 xid;              // transaction ID of the exchange in progress
    u32 requestedAddress;
};

extern DhcpPortState dhcpProcCtrl[kDhcpPorts];
extern DhcpLease dhcpOffered[kDhcpPorts];

// Sets the client of eth0 (port 0) or eth1 (1) up: acquiring, no lease, and
// in a namespace of the process's own the packet socket bound to the
// interface. 0, or 67 when the interface or the socket cannot be had.
u32 dhcpInit(int port, u8 dhcpOn);
// One step with the interface's DHCP setting (link up with DHCP).
void dhcpScan(int enable, int port);
// While a lease is held writes the address (what 0), netmask (1), router (2)
// or DNS server (3) to *value; always writes the acquisition byte.
void getFromDhcp(u32* value, u8* acquisition, int what, int port);
// True while the client is acquiring (the main step leaves the interface
// alone then).
bool dhcpBusy(int port);
// True once after a lease ended unrenewed: the address must come off.
bool dhcpLeaseLost(int port);

// The steps of an exchange, for tests.
int setQryPacket(DhcpPortState& s, u8 kind, const DhcpLease& lease, int port);
int sendUdpPacket(DhcpPortState& s, u32 destination);
int readUdpPacket(DhcpPortState& s);
void procOfferAckPacket(DhcpPortState& s, DhcpLease& lease);
// With ticks 0 starts the timer; 1 once at least ticks have passed.
int dhcpTimer(u32* timer, u32 ticks);

// Parsers of received bytes. Dhcp_AcceptFrame: the length of the UDP payload
// of an IPv4 frame that is a reply to the client port with right checksums
// (the UDP checksum only when checkUdpSum), -1 otherwise. Dhcp_MessageType: option 53 of the message, 0 when absent.
// Dhcp_ReadOptions: the lease values the message carries.
int Dhcp_AcceptFrame(const u8* frame, u32 length, bool checkUdpSum = true);
u8 Dhcp_MessageType(const u8* message, u32 length);
void Dhcp_ReadOptions(const u8* message, u32 length, DhcpLease& lease);
// Internet checksum of the bytes (an odd length padded with a zero byte),
// continuing from sum.
u16 Dhcp_Checksum(const u8* data, u32 length, u32 sum = 0);

// The packet sockets, for the main loop's idle wait.
void Dhcp_PollSet(std::vector<pollfd>& fds);
// Closes the sockets and forgets every lease (tests).
void Dhcp_Reset();
