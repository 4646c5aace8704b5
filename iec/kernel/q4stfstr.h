// Standard functions of the strings and text family, and the family's rows
// of the standard-function table.
//
// Most map onto the VM string operations, with the IEC's 1-based positions
// turned into their 0-based ones; the lock test of the result is made here,
// before the operation runs. The rest copy between strings and byte or
// numeric arrays, pack strings into telegram buffers and back, and read the
// texts of the code image's string tables.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmstd.h"

int Q4Stf_Mlen(u8* db, const u16* ops, u16 number);
int Q4Stf_FLen(u8* db, const u16* ops, u16 number);
int Q4Stf_Left(u8* db, const u16* ops, u16 number);
int Q4Stf_Right(u8* db, const u16* ops, u16 number);
int Q4Stf_Mid(u8* db, const u16* ops, u16 number);
int Q4Stf_Delete(u8* db, const u16* ops, u16 number);
int Q4Stf_Insert(u8* db, const u16* ops, u16 number);
int Q4Stf_Replace(u8* db, const u16* ops, u16 number);
int Q4Stf_Find(u8* db, const u16* ops, u16 number);
int Q4Stf_Ascii(u8* db, const u16* ops, u16 number);
int Q4Stf_Char(u8* db, const u16* ops, u16 number);
int Q4Stf_AtoH(u8* db, const u16* ops, u16 number);
int Q4Stf_HtoA(u8* db, const u16* ops, u16 number);
int Q4Stf_Crc16(u8* db, const u16* ops, u16 number);
int Q4Stf_NumToString(u8* db, const u16* ops, u16 number);
int Q4Stf_StringToArray(u8* db, const u16* ops, u16 number);
int Q4Stf_StringToArray16(u8* db, const u16* ops, u16 number);
int Q4Stf_StringToArray32(u8* db, const u16* ops, u16 number);
int Q4Stf_ArrayToString(u8* db, const u16* ops, u16 number);
int Q4Stf_ArrayToString16(u8* db, const u16* ops, u16 number);
int Q4Stf_ArrayToString32(u8* db, const u16* ops, u16 number);
int Q4Stf_SerPutString(u8* db, const u16* ops, u16 number);
int Q4Stf_SerGetString(u8* db, const u16* ops, u16 number);
int Q4Stf_StringTable(u8* db, const u16* ops, u16 number);
int Q4Stf_LoadString(u8* db, const u16* ops, u16 number);

inline constexpr Q4StfRow kQ4StfStrRows[] = {
    {40, Q4Stf_Ascii},         {41, Q4Stf_Char},           {42, Q4Stf_Delete},        {43, Q4Stf_Find},
    {44, Q4Stf_Insert},        {45, Q4Stf_Left},           {46, Q4Stf_Mid},           {47, Q4Stf_Mlen},
    {48, Q4Stf_Replace},       {49, Q4Stf_Right},          {89, Q4Stf_AtoH},          {90, Q4Stf_HtoA},
    {93, Q4Stf_Crc16},         {137, Q4Stf_StringToArray}, {138, Q4Stf_ArrayToString}, {139, Q4Stf_StringToArray32},
    {140, Q4Stf_ArrayToString32}, {141, Q4Stf_StringToArray16}, {142, Q4Stf_ArrayToString16},
    {159, Q4Stf_SerGetString}, {160, Q4Stf_SerPutString},  {175, Q4Stf_StringTable},  {176, Q4Stf_LoadString},
    {196, Q4Stf_NumToString},  {205, Q4Stf_FLen},
};
