// SMS service: a transmit entry of the messaging configuration texts its
// message, with register values written into it, to every contact of its
// group when its trigger bit is set; a received message from a contact that
// matches a receive template of the contact's group writes the values it
// carries into registers, may be answered "ACK", and is deleted from the
// modem. Sending and receiving alternate: one whole receive pass, then one
// whole pass over the transmit table. The service keeps a 12-byte status
// record and the text of the last message in registers named in the
// configuration.
//
// The AT-command side (sending one text, listing, deleting) shares the script
// engine with the modem cycle through the state letter of at_status.
#pragma once

#include "platform/bytes.h"
#include "remote/at_cmd.h"
#include "remote/msgcfg.h"

// The status record as written to the status register (12 bytes).
struct SmsStatusRecord {
    u8 flags = 0;        // bit 6 the last send failed; bit 7 it timed out
    u16 signal = 0;      // modem signal quality
    u16 rejected = 0;    // received from no known contact
    u16 initCounters = 0;
    u16 sent = 0;
    u16 received = 0;

    static constexpr u32 kBytes = 12;
    void Encode(u8* out) const;
};

// The service's state, shared with the modem code through references.
struct SmsStruct {
    u32* magic = nullptr;
    u8* answerPending = nullptr;
    SmsStatusRecord* status = nullptr;
    u8* initDone = nullptr;
    u8* sendTurn = nullptr;
    u8* receiveTurn = nullptr;
    const CfgSetUp* setUp = nullptr;
    u8* startDelay = nullptr;
};
void ptr_init(SmsStruct* s);
int SmsConfig();

void SMS_Start();
void SMS_Stop();
void SMS_Scanner();

// Sends one text: 0 while busy (call again), 1 sent, 2 no answer in time,
// 3 refused. Two attempts are at least 5 s apart.
int SendSMSTelit(AtItem* number, AtItem* text);
// One step of the receive routine.
void ReceiveSMSTelit();
// Steps of the receive routine: 0 once the list (delete) command has ended.
int ReceiveSMS(char* list);
int DeleteSMS(AtItem* index);
// One step of the transmit side.
void PrepareSMS();

// Whether a sender's number belongs to a contact's number: both reduced to
// their digits without leading zeros, equal, or the shorter a tail of the
// longer of at least kSenderTailDigits (a country prefix on either side).
constexpr u32 kSenderTailDigits = 6;
bool Sms_SameNumber(const char* contact, u32 contactLength, const char* sender, u32 senderLength);
// Takes the first message of a list answer: its index, sender and text;
// false when the list holds no "+CMGL: " entry.
struct SmsListEntry {
    char index[8] = {};
    char sender[24] = {};
    char text[kAtReplyBytes + 1] = {};
};
bool Sms_FirstListed(const char* list, u32 length, SmsListEntry* entry);

// The status record (tests).
const SmsStatusRecord& Sms_Status();
// Forgets everything (tests).
void Sms_Reset();
