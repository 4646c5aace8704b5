// AT-command script engine of the cellular modems.
//
// The modems are driven by scripts held as two constant tables of records:
// `at_cmd` for the internal cellular module and `at_cmd_ext` for an external
// modem on a serial port. A record says what to send, how long to wait for
// the answer, what text the answer must contain, how to take fields out of it
// and where the script continues. `AT_Cmd_Handler` does one piece of one
// script step per call and never waits: it sends a group of records, or reads
// what the modem has sent so far and decides. Its callers (the modem cycle,
// the data sockets, the SMS functions) take the engine in turn through the
// state letter of `at_status` ('z' idle) and call it once per pass until the
// engine state is 3 (step done).
//
// Everything the modem sends is hostile input: every field copy is bounded by
// the space it goes to, and every search stays within the bytes received.
#pragma once

#include "link/vcomm.h"
#include "platform/bytes.h"

// --- Script records ----------------------------------------------------------

constexpr u16 kAtParse = 0x01;      // walk the directive records at the jump target
constexpr u16 kAtContinue = 0x02;   // on the expected text, return the jump without waiting
constexpr u16 kAtLastOfGroup = 0x10;

struct AtCmdRecord {
    u8 length;          // command text length; 0 data or directive; 255 marker row
    const char* text;   // command text, data reference or directive
    u8 replyLength;     // 0: no expected text
    const char* reply;  // expected text (nullptr when none)
    u32 wait;           // reply time-out in 100-us ticks; 0: no wait starts here
    u16 flags;          // see above; bits 5-8 the error class
    u16 delimiter;      // field delimiter of field directives (0 none)
    u16 terminator;     // byte(s) sent after the text; Max of kind-C field directives
    u16 parameter;      // 1-8: data from parameter entry n
    i16 jump;           // records to move on success
    u32 pause;          // ticks to pause after the step while initialising
};

constexpr u32 kAtCmdRows = 119, kAtCmdExtRows = 20;
extern const AtCmdRecord at_cmd[kAtCmdRows];
extern const AtCmdRecord at_cmd_ext[kAtCmdExtRows];

// Entry rows of the scripts.
constexpr u32 kRowInit = 0, kRowInitCount = 34, kRowCsca = 30, kRowSendSms = 34, kRowListSms = 37,
              kRowDeleteSms = 39, kRowActivate = 42, kRowActivateCount = 24, kRowListen = 66, kRowDial = 74,
              kRowRing = 84, kRowReceive = 88, kRowAccept = 93, kRowStatusList = 96, kRowSend = 98,
              kRowSendData = 101, kRowClose = 102, kRowCsq = 104, kRowMoni = 106, kRowIdent = 108,
              kRowIdentCount = 10;
constexpr u32 kExtRowInit = 0, kExtRowInitCount = 12, kExtRowCsca = 8, kExtRowSendSms = 12, kExtRowListSms = 15;

// --- Parameters and argument slots -----------------------------------------

constexpr u32 kAtParamMax = 1024;
struct AtParam {
    u16 length = 0;
    char text[kAtParamMax + 1] = {};
};
// Parameter n (1-8) is entry n-1: SIM PIN, SIM PUK, SMS centre number,
// operator name for manual selection, APN, PDP address, user name, password.
constexpr u32 kAtParams = 8;
extern AtParam ConfigDataInStr[kAtParams];
// Sets parameter n (1-8) from a text, cut to what the entry holds.
void AtParam_Set(u32 n, const char* text, u32 length);

// A data item: a length and its text.
constexpr u32 kAtItemMax = 1600;
struct AtItem {
    u16 length = 0;
    char text[kAtItemMax + 1] = {};
    void Set(const char* t);
};

// An argument slot: what a caller hands a script and where the script's
// field directives put what they take from the reply.
struct AtSlot {
    AtItem* item = nullptr;          // sent by "%k", filled by "#nSk"
    const u8* pairData = nullptr;    // sent by "%kP"
    u16 pairLength = 0;
    char* buffer = nullptr;          // filled by "#nCk" (at most capacity - 1 characters)
    u16 capacity = 0;
    const char* field = nullptr;     // set by "#nPk": the field's start in the reply
    u16 fieldRoom = 0;               // bytes of the reply from the field's start on
};
constexpr u32 kAtSlots = 6;
extern AtSlot at_stack_data[kAtSlots];

// --- Status record ------------------------------------------------------------

constexpr u32 kAtReplyBytes = 1024;
struct AtStatus {
    u32 letter = 0;          // owner of the engine: 0 not initialised, 'z' idle
    i32 engineState = 0;     // 0 send, 1 wait, 2 walk, 3 step done
    i32 result = 0;          // 1 success, 2 failure, 5 time-out, 6 prompt, 9 expected text found
    u16 capacity = 0;        // reply capacity
    u16 count = 0;           // reply bytes received
    char* reply = nullptr;   // reply buffer
    char replyBuffer[kAtReplyBytes] = {};
    struct {
        u16 length = 0;
        char text[14] = {};
    } netCode;               // operator code from a network list
    char ipText[17] = {};    // address given by the network
    AtParam* params = ConfigDataInStr;
    const AtCmdRecord* position = nullptr;
    u32 timerStart = 0;
    u32 timeout = 0;
    u32 statusTimer = 0;
    u8 linkFlags = 0;        // bit 0 prompt received, bit 1 prompt expected, bit 2 "NO CARRIER"
    u32 ipAddress = 0;       // first octet in the top byte
    u8 currentSocket = 0;    // connection id 1-6 of the running socket script
    u8 errorCount = 0;
    u8 modelIndex = 0;
    u8 recordsRemaining = 0;
    u8 secondsCount = 0;
    u8 port = 0;
    u8 pollFlags = 0;        // bit 0 socket status poll due, bit 1 signal poll due
    u8 modemFlags = 0;       // bit 0 initialised, bit 1 data context active
    u8 errorClassBits = 0;
    u8 signal = 99;
    char imei[18] = {};
    char ownNumber[21] = {};
    char networkName[17] = {};
    char swVersion[17] = {};
    u8 accessTech = 0;
};
extern AtStatus at_status;

// Engine states and results.
constexpr i32 kAtSend = 0, kAtWait = 1, kAtWalk = 2, kAtDone = 3;
constexpr i32 kAtOk = 1, kAtFail = 2, kAtTimeout = 5, kAtPrompt = 6, kAtFound = 9;

// --- Interfaces -----------------------------------------------------------------

// One piece of the step that starts at `script`; 0 while in progress,
// otherwise the distance (modulo 256) to the command record where the script
// continues. Engine state and result are read from at_status afterwards.
u8 AT_Cmd_Handler(const AtCmdRecord* script);

// Sends bytes to the modem port in pieces of at most 255, then RtuTx.
void Send_AT_Command(u32 length, const u8* data);

// Period 0 stores now in *start and answers 1; otherwise 1 once at least
// `period` ticks have passed since *start.
int ModemTimer(u32* start, u32 period);

struct AtDataRequest {
    u16 length = 0;              // out
    u16 parameter = 0;           // 1-8: parameter entry
    const char* text = nullptr;  // the record's text
    const u8* data = nullptr;    // out
    AtParam* table = ConfigDataInStr;
};
// Resolves a data record into the bytes to send (nothing for an empty slot or
// another text).
void AT_Cmd_GetData(AtDataRequest* request);

// Reads what the modem port holds into buffer (from at_status.count on, up
// to capacity): 0 nothing conclusive, 1 "OK", 2 "ERROR" or an extended error
// report, 6 the send prompt.
int AT_Cmd_ReadReply(char* buffer, u16 capacity);

// The serial operations of a logical port: ports 0 and 1 of the link, port 2
// the internal cellular module.
VcommDriver& AtPort(u32 port);

// Clears the engine, the reader and the slots (tests, and the modem reset).
void AtCmd_Reset();
// Clears only the reader's recogniser and log state.
void AtCmd_ResetReader();
