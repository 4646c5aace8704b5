// The text-buffer blocks (TXB...): the program's side of the text buffers of
// q4xs, with files and TCP sockets of the application; and the family's rows
// of the block table. Also the STRING operand helpers that the XML blocks
// share.
#pragma once

#include <string>

#include "iec/kernel/q4vmfb.h"

// The text of a STRING operand (empty when the operand is none).
std::string Q4Txb_StringIn(u8* db, u16 index);
// Capacity of a STRING operand (0 when none).
u32 Q4Txb_StringCap(u8* db, u16 index);
// Writes a STRING output, cut to its capacity, unless it is locked.
void Q4Txb_StringOut(u8* db, u16 index, const char* text, u32 length);
inline void Q4Txb_StringOut(u8* db, u16 index, const std::string& s) {
    Q4Txb_StringOut(db, index, s.data(), static_cast<u32>(s.size()));
}

// Most bytes TXBRCVTCP takes from its socket in one execution, so that a
// sender that never pauses cannot hold the cycle.
constexpr u32 kQ4TxbRcvMax = 65536;

int Q4Txb_Manager(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_LastError(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_New(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_NewString(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_Free(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_Clear(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_SetString(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_SetData(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_Append(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_AppendLine(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_AppendEol(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_AppendTxb(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_Copy(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_GetString(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_GetData(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_GetLine(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_GetLength(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_Rewind(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_ReadFile(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_WriteFile(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_SendTcp(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_RcvTcp(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_Utf8ToAnsi(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Txb_AnsiToUtf8(int command, u8* db, u8* cd, u8* inst, const u16* ops);

inline constexpr Q4BlockEntry kQ4TxbRows[] = {
    {"TXBMANAGER", Q4Txb_Manager},       {"TXBLASTERROR", Q4Txb_LastError}, {"TXBNEW", Q4Txb_New},
    {"TXBNEWSTRING", Q4Txb_NewString},   {"TXBFREE", Q4Txb_Free},           {"TXBCLEAR", Q4Txb_Clear},
    {"TXBSETSTRING", Q4Txb_SetString},   {"TXBSETDATA", Q4Txb_SetData},     {"TXBAPPEND", Q4Txb_Append},
    {"TXBAPPENDLINE", Q4Txb_AppendLine}, {"TXBAPPENDEOL", Q4Txb_AppendEol}, {"TXBAPPENDTXB", Q4Txb_AppendTxb},
    {"TXBCOPY", Q4Txb_Copy},             {"TXBGETSTRING", Q4Txb_GetString}, {"TXBGETDATA", Q4Txb_GetData},
    {"TXBGETLINE", Q4Txb_GetLine},       {"TXBGETLENGTH", Q4Txb_GetLength}, {"TXBREWIND", Q4Txb_Rewind},
    {"TXBREADFILE", Q4Txb_ReadFile},     {"TXBWRITEFILE", Q4Txb_WriteFile}, {"TXBSENDTCP", Q4Txb_SendTcp},
    {"TXBRCVTCP", Q4Txb_RcvTcp},         {"TXBUTF8TOANSI", Q4Txb_Utf8ToAnsi}, {"TXBANSITOUTF8", Q4Txb_AnsiToUtf8},
};
