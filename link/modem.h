// Hayes modem engine of the program-controlled serial ports: the three
// modem functions 0 (send an initialisation string), 1 (dial) and 2
// (answer) on a plain Hayes modem on the port, an external GSM modem shared
// with SMS and e-mail, or the internal cellular module (whose data call is a
// socket connection). Each execution of a modem instruction steps it once;
// nothing waits.
//
// Status word: 0xFFFF idle, 0xFFFE pending, 0xFFFD time-out, else the last
// result code (0 OK, 1 CONNECT, 2 RING, 3 NO CARRIER, 4 ERROR, 6 LISTEN).
#pragma once

#include "platform/bytes.h"

constexpr u16 kModemIdle = 0xFFFF, kModemPending = 0xFFFE, kModemTimeout = 0xFFFD;
constexpr u16 kModemOk = 0, kModemConnect = 1, kModemRing = 2, kModemNoCarrier = 3, kModemError = 4,
              kModemListen = 6;

// What a modem instruction hands the engine when it starts a function: the
// status word (little-endian, in register memory or the IEC record), the
// parameter block and its bytes, and the room after the status word that a
// GSM modem's OK line may fill.
struct ModemSlot {
    u16 function = 0;
    u8* status = nullptr;
    const u8* params = nullptr;
    u32 paramBytes = 0;
    u8* after = nullptr;  // the bytes after the status word
    u32 afterBytes = 0;
    bool iec = false;     // IEC form: destinations only inline
};

// Drops the control line; all functions idle, nobody holds the modem.
void ModemInit(int port);
// 0 while another function holds the modem; else starts the function.
int ModemStart(int port, const ModemSlot& slot);
// 1 once the function is stopped; 0 while the stop goes on or is refused.
int ModemStop(int port, int function);
// One step; the instruction's power flow.
int ModemExecute(int port, int function);
int Q4ModemExecute(int port, int function);

// Reads the modem's answer: a result code, kModemPending (no complete
// result yet) or kModemTimeout (nothing left and the timer ran out).
int GetResult(int port);
// The result code a GSM modem's accumulated line holds, -1 when none.
int ResultToBin(const char* line);
// Three decimal digits with leading zeros.
void BinToDec(u8 value, char out[3]);

// A destination text as the engine sends or connects to it: the text itself,
// or the dotted form of a binary "IPBN" destination (bytes 4-7 the address,
// last octet first, bytes 8-9 a little-endian port). `binaryAllowed` says
// whether this text may carry the binary form. At most `max` characters.
void Modem_DestinationText(const u8* text, u32 length, bool binaryAllowed, char* out, u32 max);
// The socket request the cellular module connects with for a destination:
// a destination with a port dials out to it; without one the socket listens
// on port 1001 for the peer to call.
struct ModemConnRequest;
void Modem_ParseDestination(const char* text, bool udp, ModemConnRequest* out);
// True while the port's modem call is up over the internal module's data
// socket (the port's bytes then go through that socket).
bool Modem_OnDataSocket(int port);

// The function state of a port's function (tests).
int Modem_State(int port, int function);
// Forgets the engine state (tests).
void Modem_Reset();
