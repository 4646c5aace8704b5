// GSM/GPRS settings and the external modem: loads the GSM record of the
// messaging configuration, keeps the state record the modem users share,
// arbitrates which user owns the external modem, sets it up for a data call
// step by step, reads and classifies its answer lines and hangs it up.
//
// Modem users: 1 the data calls of the programming link and the serial
// ports' modem blocks, 2 a data connection to the programming software, 3 the
// SMS service, 4 the e-mail client.
#pragma once

#include "platform/bytes.h"

// The state record the modem users share.
struct GsmGprsInfo {
    // bit 0 settings loaded; 1 dial "ATDT" to the destination text; 2 server
    // mode; 3 set up before; 4 set-up running or failed; 5 data connection
    // up; 6-7 connection kind (0 answer, 1 dial out, 2 wait for a call)
    u8 status = 0;
    // bit 0 circuit-data call; 1 dial out; 2 external modem present; 3 hold
    // the connection (keep-connected); 4 first power-up done; 5 network
    // registration failed; 6 network list answer expected; 7 manual operator
    u8 options = 0;
    u8 idleTime = 0;  // seconds
    u8 step = 0;      // set-up step 0-35
    u8 port = 0;      // low nibble: logical serial port
    // bit 0 data call held in command mode; 1, 2, 7 the data-call users'
    // own; 3 user 1 asks for the modem; 4 hang-up requested; 5 modem reset
    // requested; 6 newer modem type
    u8 control = 0;
    u16 resultCode = 0;
    u8 owner = 0;
    u8 requester = 0;
    u8 errorCount = 0;
    u8 extraFlags = 0;  // bit 0 destination with port
    u32 idleTimerStart = 0;
    char addressText[28] = {};   // "$NETIP" address and "/53"
    char destination[101] = {};  // dial number or PAD destination
    const u8* operatorName = nullptr;  // operator name text (or its register address) in the record
    u32 operatorNameLength = 0;
    char operatorCode[20] = {};  // numeric code from the network list, with a closing quote
    u32 keepConnectedBit = 0;
    u32 holdTimeRegister = 0;
    u32 magic = 0;
    // Set-up bookkeeping.
    u8 retryCount = 0;
    u8 queryCount = 0;       // "$NETIP?" queries sent
    u8 addressQuery = 0;     // an address answer is expected
    u8 addressAllocated = 0;
    u8 signalExpected = 0;
    u8 nextStep = 0;         // step after a successful answer
    u8 connectionKind = 0;
    char lastOperator[24] = {};
};
extern GsmGprsInfo GSMGPRSInfo_St;

// Reloads the settings when the messaging block changed: 1 nothing changed
// (or the block is erased) or reloaded, 0 when no GSM settings apply.
int GSMGPRSParmInit();
// Takes only the debug-log register from a GSM record given as u16 words
// (words 28 and 29); a record too short leaves the debug log off.
void GSMGPRSParmInit(const u16* gsmRecord, u32 words);

// Fills script parameters 5 (APN), 7 (user) and 8 (password) from the GSM
// record (texts in the pool or in registers).
void string_init();
// Builds parameter 4 and NWOprtrName from the configured operator name.
void GSMGPRSOprtor();
extern char NWOprtrName[24];
extern u8 NumericOprtCode;

// Arbitration of the external modem (see the operations in the .cpp).
int GSMGPRSRsrcMngr(int user, int operation);
// One step of the data-call set-up of the external modem.
int GSMModemInit(int port);
// A data-call user placed its call itself once the set-up was complete and
// the call is on line: the record shows it as the set-up's connected step
// (step 32, data connection up, result CONNECT), as a resumed held call does,
// so that the other users and the hang-up see a live call.
void GSMDataCallUp();
// One step of ending the modem's current use: 1 done, 0 in progress.
int GSMSMSDisconnect(int port, int hangUp);
// Reads answer lines: a line classifier result (0 OK, 1 CONNECT, 2 RING,
// 3 NO CARRIER, 4 ERROR, 6 LISTEN, 0xFFFE nothing yet, 0xFFFD time-out).
u16 GSMGetResult(int port);
// Configuration texts of the set-up commands: 1 when a text was produced.
int GSMGPRSParm(char* buffer, u32 capacity, u8* flag, int item);

// Register access of the GSM and SMS code: only inside the register memory
// (or an enumerated IEC application); 0 otherwise.
int GSMPlcReg_Get(void* destination, u32 address, u32 bits);
int GSMPlcReg_Set(u32 address, const void* source, u32 bits);

// The countdown timers of the modem users, one per user (the external
// modem's set-up and the SMS service each keep their own): n other than 0
// starts a countdown of n ticks (negative: never runs out); 0 answers 1 once
// it has run out.
struct GsmTimer {
    u32 start = 0;
    i32 length = 0;
};
int GSMTimer(GsmTimer& timer, i32 ticks);

// Forgets every setting and the arbitration (tests).
void GsmGprs_Reset();
