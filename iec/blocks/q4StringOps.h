// String blocks of the controller's library: editing of IEC STRING variables
// over the runtime's string primitives (every result cut to the output's
// capacity), conversions between numbers and text, and the bridge between
// STRING variables and byte arrays that hold NUL-terminated text, the form in
// which text travels through serial ports and files.
//
// A byte-array operand comes with its element count: text is read up to a
// NUL or that count, whichever comes first, and nothing is written past it.
// The formatting blocks build their text in a work buffer of 40 characters;
// a call whose text would not fit it (a width outside 0-39, negative
// decimals, a value printed longer than 39 characters), or whose text and
// NUL would not fit the array, is refused: fits (done) := 0 and the array is
// left untouched.
#pragma once

#include "iec/kernel/q4vmfb.h"

int Q4Ctl_StringConcat(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_StringLeft(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_StringRight(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_StringMid(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_DeleteChars(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_InsertChars(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_StringReplace(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_StringFind(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_CharAsciiCode(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_HexToAscii(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_AsciiToHex(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_Crc16(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_StringLen(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_StringLenA(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_SetString(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_CmpStringVar(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_CmpStringConst(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_AsciiToInt(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_AsciiToDint(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_AsciiToReal(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_IntToAscii(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_DintToAscii(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_RealToAscii(int command, u8* db, u8* classData, u8* inst, const u16* ops);

// Formats value as the formatting blocks do into text (at most 39
// characters and a NUL); answers the number of characters to copy, or -1
// when the text does not fit the work buffer. *fits receives the block's
// fits / done output.
int Q4Ctl_FormatInteger(char* text, i32 value, i32 decimals, i32 width, bool zeroFill, bool* fits);
int Q4Ctl_FormatReal(char* text, float value, i32 decimals, i32 width, bool zeroFill, bool* done);

inline constexpr Q4BlockEntry kQ4CtlStringRows[] = {
    {"STRINGCONCAT", Q4Ctl_StringConcat},  {"STRINGLEFT", Q4Ctl_StringLeft},
    {"STRINGRIGHT", Q4Ctl_StringRight},    {"STRINGMID", Q4Ctl_StringMid},
    {"DELETECHARS", Q4Ctl_DeleteChars},    {"INSERTCHARS", Q4Ctl_InsertChars},
    {"STRINGREPLACE", Q4Ctl_StringReplace}, {"STRINGFIND", Q4Ctl_StringFind},
    {"CHARASCIICODE", Q4Ctl_CharAsciiCode}, {"HEXTOASCII", Q4Ctl_HexToAscii},
    {"ASCIITOHEX", Q4Ctl_AsciiToHex},      {"CRC16", Q4Ctl_Crc16},
    {"STRINGLEN", Q4Ctl_StringLen},        {"STRINGLENA", Q4Ctl_StringLenA},
    {"SETSTRING", Q4Ctl_SetString},        {"CMPSTRINGVAR", Q4Ctl_CmpStringVar},
    {"CMPSTRINGCONST", Q4Ctl_CmpStringConst}, {"ASCIITOINT", Q4Ctl_AsciiToInt},
    {"ASCIITODINT", Q4Ctl_AsciiToDint},    {"ASCIITOREAL", Q4Ctl_AsciiToReal},
    {"INTTOASCII", Q4Ctl_IntToAscii},      {"DINTTOASCII", Q4Ctl_DintToAscii},
    {"REALTOASCII", Q4Ctl_RealToAscii},
};
