// Register values in message texts, shared by the SMS service and the e-mail
// client. A message or template text marks each value field with a run of
// "x" (and "." for the point); the entry's field-list text names, per field,
// its character position and its field item (register, bits, value type,
// width, justification, decimals). Sending writes each value into its field;
// receiving reads values out of a text that matches a template and writes
// them to the registers.
//
// Texts, field lists and items come from a downloaded block, and received
// texts from anyone with a phone: every position, width and count is checked
// against the buffer it addresses.
#pragma once

#include "platform/bytes.h"
#include "remote/msgcfg.h"

// A MessageFieldItem as read from the section.
struct MsgFieldItem {
    u32 address = 0;
    u8 bits = 0;
    u8 type = 0;    // 0-9
    u8 width = 0;
    u8 flags = 0;   // bit 0 left-justify; bit 1 zero fill
    u8 before = 0;  // characters before the decimals (0: no point)
};
// False when the index lies outside the section's item table.
bool MsgFmt_Item(const MsgBody& body, const MsgSection& s, u32 index, MsgFieldItem* item);

// Only the first 140 characters of a field list are read.
constexpr u32 kFieldListRead = 140;

struct FieldPair {
    u32 position = 0;
    u32 item = 0;
};
// Reads the next "position:item:" pair from *pos on and moves *pos past it;
// false (and the pair (0, 0)) when no whole pair remains. Characters other
// than digits and colons are skipped; a colon at position 0 does not count.
bool FieldExtractor(const u8* list, u32 length, u32* pos, FieldPair* pair);

// The value text of an item read from its register; false when the read
// failed or the type is above 9 (the field keeps its placeholder).
constexpr u32 kValueTextMax = 64;
bool GetDataFromReg(const MsgFieldItem& item, char* text /* kValueTextMax */);

// Writes the value text into the field at `position` of `text` (length
// `length`): fixed point, justification, fill, or a run of ">" over the
// placeholder when it does not fit. Nothing is written past `length`.
// Answers the value text's length.
u32 DataFormat(char* text, u32 length, u32 position, const char* value, const MsgFieldItem& item);

// Fills every field of a text from the registers (the field list of its
// entry): what a message looks like when sent.
void MsgFmt_Fill(char* text, u32 length, const u8* list, u32 listLength, const MsgBody& body,
                 const MsgSection& s);

// Checks a received text against a template; on a match writes the values
// it carries into the registers and answers 1. When the sender asked for an
// answer ("RV" after the text) the received text is replaced by the filled
// template (at most capacity - 1 characters, terminated) and *answer set.
// `list` is the template's field list.
int ParseSMS(const char* tmpl, u32 tmplLength, const u8* list, u32 listLength, char* received, u32 capacity,
             const MsgBody& body, const MsgSection& s, u8* answer);
