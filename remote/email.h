// E-mail client: when the control program sets a message's trigger bit, the
// message of the downloaded e-mail section goes to every address of its
// address-book group over SMTP, with register values written into its body.
// One TCP connection per message; on port 587 the client switches to TLS
// with STARTTLS (the system's TLS library, opened at run time) and greets
// the server again; it can log in with AUTH LOGIN and finds a server named
// by host name with a DNS query of its own. Progress and failures are
// reported in EmailStatusWord, whose last non-zero value goes to the status
// register named in the configuration.
//
// The server's certificate is not checked: the controller holds no trust
// store, and TLS here keeps the account and the mail from passive readers
// on the way, as the configuration asks of the server on port 587.
//
// Everything runs in the main loop as a non-blocking state machine stepped
// by the Ethernet main step or the controller scan (EtnEmailScan).
#pragma once

#include <poll.h>

#include <string>
#include <vector>

#include "platform/bytes.h"

// EmailStatusWord bits.
constexpr u32 kMailNoSection = 1u << 0, kMailNoServer = 1u << 1, kMailNoSocket = 1u << 2,
              kMailConnectFailed = 1u << 3, kMailConnectTimeout = 1u << 4, kMailSendFailed = 1u << 6,
              kMailDnsSocket = 1u << 7, kMailDnsNoAddress = 1u << 8, kMailDnsTimeout = 1u << 9,
              kMailReplyTimeout = 1u << 10, kMailErrorReply = 1u << 11;
constexpr u32 kMailStepShift = 12, kMailCodeShift = 20;
constexpr u32 kMailNoRecipient = 20;  // step field: no address of the group was taken

constexpr u32 kMailTimeoutTicks = 600000;  // 60 s for a connect, a reply, a DNS answer, a handshake

// Source 1: the Ethernet main step, which steps messages sent over Ethernet;
// 0: the controller scan (while a modem option module is fitted), which
// steps messages sent through socket 2 of the internal cellular module.
// Through the module there is no TLS (the library works on an operating-
// system socket): a server on port 587 is greeted without STARTTLS. A
// configuration of the other transport (flag bit 4) reports a connection
// failure (bit 3, step 3) each time its trigger is found.
void EtnEmailScan(int source);
// Ends the client's connection; 1 once it is closed.
int EtnEmailDiscnt();
// 1 while the client's TCP connection is established.
unsigned EtnEmailConnCnt();
// The client's sockets for the main loop's idle wait.
void EtnEmail_Descriptors(std::vector<pollfd>& fds);

// Base64 (RFC 4648, "=" padding); with line breaks a CR LF follows every 76
// output characters. Answers the output length.
u32 EtnEmailBase64Encd(const u8* input, u32 length, char* output, bool lineBreaks);

// Reads one whole SMTP reply (RFC 5321: lines "ddd-text", the last
// "ddd text") from the front of `buffer`: its code (100-599) and the bytes
// it took; 0 when no whole reply is there yet, -1 when the bytes are no
// reply (the connection is then given up).
int Smtp_ReadReply(const char* buffer, u32 length, u32* used);

// Body lines that begin with "." get a second one (RFC 5321 4.5.2), bare
// line feeds become CR LF; appended to out.
void Smtp_DotStuff(const char* text, u32 length, bool lineStart, std::string& out);

// State for tests: the status word and the SMTP state.
u32 EtnEmail_Status();
u32 EtnEmail_LastStatus();
u8 EtnEmail_SmtpState();
// Forgets everything, closes the sockets (tests).
void EtnEmail_Reset();
