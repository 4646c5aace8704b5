// Messaging configuration container: the body of the downloaded SMS, GSM and
// e-mail block (sms_table). It holds an SMS section, a GSM record at the end
// of the SMS section and an e-mail section right after it. The services read
// the body in place and never change it; every read goes through the checked
// readers below, so a block that lies about its sizes or offsets can make a
// table invalid but never makes a reader leave the body.
//
// Layout conventions: little-endian values at any alignment; texts stand in a
// string pool without terminators and are named by offset and length; the
// offset fields of a section designate (section start + 100 + value - base).
#pragma once

#include "platform/bytes.h"

// Section and record magics, compared as u32 numbers.
constexpr u32 kMagicSmv1 = 0x534D5631;  // SMS section, layout 1
constexpr u32 kMagicNosm = 0x4E4F534D;  // SMS switched off
constexpr u32 kMagicGsme = 0x47534D45;  // GSM record
constexpr u32 kMagicEmal = 0x454D414C;  // e-mail section

constexpr u32 kMsgHeaderBytes = 100;
constexpr u32 kContactBytes = 20, kEntryBytes = 16, kFieldItemBytes = 12, kFieldListBytes = 8;
constexpr u32 kMsgMaxEntries = 256;
constexpr u32 kGsmRecordSizes[3] = {96, 48, 36};

// A body (or any byte range) the readers may not leave.
struct MsgBody {
    const u8* data = nullptr;
    u32 size = 0;

    bool Has(u32 offset, u32 length) const { return offset <= size && length <= size - offset; }
    // 0 for a value outside the body.
    u8 U8(u32 offset) const { return Has(offset, 1) ? data[offset] : 0; }
    u16 U16(u32 offset) const { return Has(offset, 2) ? GetLe16(data + offset) : 0; }
    u32 U32(u32 offset) const { return Has(offset, 4) ? GetLe32(data + offset) : 0; }
};

// The stored block's body as it stands now (empty when the block holds none).
MsgBody MsgCfg_StoredBody();
// CRC-16 of the stored block (the u16 at its start).
u16 MsgCfg_StoredCrc();

// A section located from its 100-byte header. Table positions are body
// offsets; a table that does not lie within the body is marked absent
// (its `...Ok` false), so nothing is read from it.
struct MsgSection {
    u32 start = 0;  // body offset of the header
    u32 size = 0;   // section size (u32 at +0)
    u32 magic = 0;
    u32 base = 0;
    u32 contacts = 0, contactCount = 0;
    u32 receive = 0, receiveCount = 0;
    u32 transmit = 0, transmitCount = 0;
    u32 fieldItems = 0, fieldItemCount = 0;
    u32 receiveLists = 0, transmitLists = 0;
    u32 pool = 0, poolSize = 0;
    bool headerOk = false;  // the 100-byte header lies in the body
    bool tablesOk = false;  // every table lies in the body
};

// Locates the section whose header starts at `start`. Field items and field
// lists are located only for layout 1 (and the e-mail section, which shares
// that layout); with `withLists` false they are left out.
MsgSection MsgCfg_Section(const MsgBody& body, u32 start, bool withLists);

// A text of the section's pool: true and the text when offset + length lie
// within the pool (and so within the body).
bool MsgCfg_PoolText(const MsgBody& body, const MsgSection& s, u32 offset, u32 length, const u8** text);

// --- SMS side ---------------------------------------------------------------

// The table-pointer set of the SMS and modem code, and the settings taken
// from the SMS section's header.
struct CfgSetUp {
    MsgSection sms;
    u32 pollTicks = 0;        // receive poll interval in 100-us ticks
    u32 statusRegister = 0;   // bit address of the 12-byte status record
    u32 storageRegister = 0;  // bit address of the 160-byte message text
    char centre[17] = {};     // service-centre number ("" when none or too long)
    char pin[5] = {};         // SIM PIN ("" when none or too long)
    u8 atPort = 0;            // logical serial port of the external modem
    u8 comportCfg[6] = {};    // its open-mode record
    u8 initMode = 0;          // +70 as configured
    // Initialisation mode flags of the modem code.
    u8 initRequest = 0, makerInit = 0, scriptInit = 0, startDelay = 0;
    u32 startDelayTicks = 0;
};

// Locates and validates the SMS tables of the section at body offset 0 and
// fills `set`. Answers the magic the SMS side works with: kMagicSmv1 when the
// section is in force, kMagicNosm when SMS is off (no section, a section of
// 99 bytes or less, magic NOSM, invalid tables, or a GSM record whose option
// bit 2 is clear); an earlier layout's magic is answered as it stands (its
// contacts, receive and transmit tables located, the SMS service idle).
// When the modem port is the programming port the link is told to leave it.
u32 SmsStructInit(const MsgBody& body, CfgSetUp* set);

// 1 when the located tables are sound, 0 otherwise: at most 256 entries per
// table, every table within the body, every text and field list within the
// pool (offset + length, not each alone); contacts of length 0 take their
// text from registers and are not checked against the pool.
int SMSTableCheck(const MsgBody& body, const CfgSetUp& set);

// --- GSM record -------------------------------------------------------------

// The GSM record found at the end of the SMS section. Fields past the end of
// a short record are absent (read as 0), never taken from what follows.
struct GsmRecordView {
    bool found = false;
    u32 start = 0;     // body offset
    u32 size = 0;      // 96, 48 or 36
    u32 poolStart = 0; // body offset of the GSM pool
    u32 poolSize = 0;
    MsgBody body;

    bool Has(u32 offset, u32 width) const { return found && offset + width <= size; }
    u8 U8(u32 offset) const { return Has(offset, 1) ? body.U8(start + offset) : 0; }
    u32 U32(u32 offset) const { return Has(offset, 4) ? body.U32(start + offset) : 0; }
    // The {u16 offset, u16 length} text at `offset`: true and the text when it
    // lies within the GSM pool.
    bool Text(u32 offset, const u8** text, u32* length) const;
};
GsmRecordView MsgCfg_FindGsm(const MsgBody& body);

// --- Noticing a new block ----------------------------------------------------

// What a user remembers of the block it last read.
struct MsgCfgStamp {
    u16 crc = 0;
    u32 size = 0;
    bool seen = false;
};
// True when the stored block differs from the stamp (CRC or SMS section size).
bool MsgCfg_Changed(const MsgCfgStamp& stamp, u16 crc, u32 sectionSize);

// The stored block's SMS side as the modem code sees it: parsed again
// whenever the block's CRC or SMS section size changes. Answers the magic
// (kMagicSmv1 when the SMS section is in force) and fills *set.
u32 MsgCfg_Current(const CfgSetUp** set);
// Forgets the parse (tests).
void MsgCfg_Reset();
