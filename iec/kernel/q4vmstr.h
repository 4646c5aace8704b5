// VM strings: the one string layout of the runtime and every operation on it.
//
// A VM string is a buffer of capacity + 3 bytes:
//   [0] capacity (0-255)  [1] current length  [2..] text  [2 + length] NUL
// Every write sets the length, copies at most capacity characters (longer
// results are cut, never refused) and writes the NUL; only the raw copies from
// arrays write no NUL. Nothing here allocates or writes past a buffer, and a
// length byte above the capacity (a damaged buffer) is read as the capacity.
//
// The Q4Str_ functions work on buffers given by address, so that other users
// of the same layout (the ladder's counted strings) share them. The Q4VMStr_
// functions of the runtime take the VM database and string indexes and are
// thin wrappers over these. Results of editing operations are built in a
// temporary buffer, so the destination may be one of the sources.
#pragma once

#include "platform/bytes.h"

constexpr u32 kQ4StrMaxCap = 255;
constexpr u32 kQ4StrOverhead = 3;  // capacity byte, length byte, NUL

// Prepares a buffer of capacity + 3 bytes as an empty string of that capacity.
void Q4Str_Init(u8* s, u8 capacity);

inline u8 Q4Str_GetMaxLength(const u8* s) { return s[0]; }
inline u8 Q4Str_GetLength(const u8* s) { return s[1] <= s[0] ? s[1] : s[0]; }
inline const char* Q4Str_GetText(const u8* s) { return reinterpret_cast<const char*>(s + 2); }
inline int Q4Str_IsEmpty(const u8* s) { return Q4Str_GetLength(s) == 0; }
void Q4Str_Empty(u8* dst);
// dst becomes the one character (nothing when its capacity is 0).
void Q4Str_Char(u8* dst, u8 c);
// Code of the character at a 0-based position; 0 outside 0..length-1.
u8 Q4Str_Ascii(const u8* s, i32 pos);

// The basic write: text of len bytes, cut at dst's capacity.
void Q4Str_AscForce(u8* dst, const void* text, u32 len);
// NUL-terminated text; a null text gives the empty string.
void Q4Str_AscForceC(u8* dst, const char* text);
// Length-prefixed text: one length byte, then the characters.
void Q4Str_Force(u8* dst, const u8* lpText);
void Q4Str_Copy(u8* dst, const u8* src);
// The workbench's forcing form: little-endian 16-bit units, the first giving
// the length in its low byte, each following unit one character in its low
// byte. unitCount bounds what is read (a short frame gives a short string).
void Q4Str_DBForce(u8* dst, const u8* units, u32 unitCount);

void Q4Str_Cat(u8* dst, const u8* a, const u8* b);
void Q4Str_Left(u8* dst, const u8* src, i32 n);
void Q4Str_Right(u8* dst, const u8* src, i32 n);
void Q4Str_Mid(u8* dst, const u8* src, i32 pos, i32 n);
void Q4Str_Delete(u8* dst, const u8* src, i32 pos, i32 n);
void Q4Str_Insert(u8* dst, const u8* src, const u8* ins, i32 pos);
// 1-based position of b in a; 0 when b is empty, longer than a, or absent.
i32 Q4Str_Find(const u8* a, const u8* b);
// 0 equal; first difference of unsigned codes (a - b); prefix: 1 a longer, -1 b longer.
i32 Q4Str_Compare(const u8* a, const u8* b);
// Case-folding ('a'-'z') compares of NUL-terminated texts; the result is the
// difference of the first differing folded characters modulo 256.
int Q4Str_ICmp(const char* a, const char* b);
int Q4Str_NICmp(const char* a, const char* b, u32 n);

void Q4Str_BootoA(u8* dst, int value);
void Q4Str_ItoA(u8* dst, i32 value);
inline void Q4Str_TmrtoA(u8* dst, i32 ms) { Q4Str_ItoA(dst, ms); }
void Q4Str_UtoA(u8* dst, u32 value);
void Q4Str_LINTtoA(u8* dst, i64 value);
void Q4Str_FtoA(u8* dst, float value);
void Q4Str_DtoA(u8* dst, double value);

// Plain NUL-terminated decimal text; buffers of 11 and 21 bytes suffice.
void Q4Str_UtoSZ(char* buf, u32 value);
void Q4Str_LINTtoSZ(char* buf, i64 value);
void Q4Str_ULINTtoSZ(char* buf, u64 value);

// Parses of the string's text (not its capacity); they stop at the first
// character that does not belong to the number.
i32 Q4Str_AtoI(const u8* s);
double Q4Str_AtoD(const u8* s);
float Q4Str_AtoF(const u8* s);
u32 Q4Str_AtoUL(const u8* s);
i64 Q4Str_AtoLINT(const u8* s);
i64 Q4Str_SZtoLINT(const char* text);
u32 Q4Str_AtoH(const u8* s);
void Q4Str_HtoA(u8* dst, u32 value);
u16 Q4Str_Crc16(const u8* s);

// Raw copies between a string's text and an array of elemSize-byte elements.
// From: min(count, arraySize, capacity / elemSize) elements, length set, no NUL.
i32 Q4Str_FromArray(u8* dst, const void* array, i32 arraySize, i32 count, u32 elemSize);
// To: min(length / elemSize, count) elements.
i32 Q4Str_ToArray(const u8* src, void* array, i32 count, u32 elemSize);

// Date formatting: %Y %y %m %d %H %M %S from a date stamp (year << 16 |
// month << 8 | day) and a time stamp (ms since midnight).
void Q4Str_DateFmt(u8* dst, const u8* format, u32 date, u32 time);

// Fixed-width number text of a value of the given type at data (null: unknown
// variable). Width < 0 aligns left, 0 means no padding. 1, or 0 after filling
// the field with "*".
int Q4Str_NumToStr(u8* dst, u16 type, const void* data, i32 width, i32 decimals);

// --- The same operations on the strings of a VM database, by string index ---
// An index without a string (0, beyond the table) reads as the empty string
// and is never written.
u8 Q4VMStr_GetLength(u8* db, u16 s);
u8 Q4VMStr_GetMaxLength(u8* db, u16 s);
const char* Q4VMStr_GetText(u8* db, u16 s);
int Q4VMStr_IsEmpty(u8* db, u16 s);
void Q4VMStr_Empty(u8* db, u16 dst);
void Q4VMStr_Char(u8* db, u16 dst, u8 c);
u8 Q4VMStr_Ascii(u8* db, u16 s, i32 pos);
void Q4VMStr_Force(u8* db, u16 dst, const u8* lpText);
void Q4VMStr_Copy(u8* db, u16 dst, u16 src);
inline void Q4VMStr_CopyPtr(u8* dst, const u8* src) { Q4Str_Copy(dst, src); }
void Q4VMStr_AscForce(u8* db, u16 dst, const void* text, u32 len);
void Q4VMStr_AscForceC(u8* db, u16 dst, const char* text);
void Q4VMStr_DBForce(u8* db, u16 dst, const u8* units, u32 unitCount);
inline void Q4VMStr_DBForcePtr(u8* dst, const u8* units, u32 unitCount) { Q4Str_DBForce(dst, units, unitCount); }
void Q4VMStr_Cat(u8* db, u16 dst, u16 a, u16 b);
void Q4VMStr_Left(u8* db, u16 dst, u16 src, i32 n);
void Q4VMStr_Right(u8* db, u16 dst, u16 src, i32 n);
void Q4VMStr_Mid(u8* db, u16 dst, u16 src, i32 pos, i32 n);
void Q4VMStr_Delete(u8* db, u16 dst, u16 src, i32 pos, i32 n);
void Q4VMStr_Insert(u8* db, u16 dst, u16 src, u16 ins, i32 pos);
i32 Q4VMStr_Find(u8* db, u16 a, u16 b);
i32 Q4VMStr_Compare(u8* db, u16 a, u16 b);
void Q4VMStr_BootoA(u8* db, u16 dst, int value);
void Q4VMStr_ItoA(u8* db, u16 dst, i32 value);
void Q4VMStr_TmrtoA(u8* db, u16 dst, i32 ms);
void Q4VMStr_UtoA(u8* db, u16 dst, u32 value);
void Q4VMStr_LINTtoA(u8* db, u16 dst, i64 value);
void Q4VMStr_FtoA(u8* db, u16 dst, float value);
void Q4VMStr_DtoA(u8* db, u16 dst, double value);
i32 Q4VMStr_AtoI(u8* db, u16 s);
double Q4VMStr_AtoD(u8* db, u16 s);
float Q4VMStr_AtoF(u8* db, u16 s);
u32 Q4VMStr_AtoUL(u8* db, u16 s);
i64 Q4VMStr_AtoLINT(u8* db, u16 s);
u32 Q4VMStr_AtoH(u8* db, u16 s);
void Q4VMStr_HtoA(u8* db, u16 dst, u32 value);
u16 Q4VMStr_Crc16(u8* db, u16 s);
i32 Q4VMStr_FromD8(u8* db, u16 dst, const void* array, i32 size, i32 count);
i32 Q4VMStr_FromD16(u8* db, u16 dst, const void* array, i32 size, i32 count);
i32 Q4VMStr_FromD32(u8* db, u16 dst, const void* array, i32 size, i32 count);
i32 Q4VMStr_ToD8(u8* db, u16 src, void* array, i32 count);
i32 Q4VMStr_ToD16(u8* db, u16 src, void* array, i32 count);
i32 Q4VMStr_ToD32(u8* db, u16 src, void* array, i32 count);
void Q4VMStr_DateFmt(u8* db, u16 dst, u16 format, u32 date, u32 time);
// Formats variable (type, index) of the database into dst.
int Q4VMStr_NumToStr(u8* db, u16 dst, u16 type, u16 index, i32 width, i32 decimals);
