// Type conversions between the elementary IEC types, and of a value to and
// from NUL-terminated text. One set of numeric rules serves the conversion
// instruction of the TIC code (Convert), raw buffers crossing between the
// database and outside images (ConvBin) and the text services.
//
// Integers convert by two's-complement truncation or extension of the source
// number. Floating-point values go to integers by truncation toward zero into
// a saturating 32-bit signed or unsigned number (or a 64-bit one for LINT and
// ULINT), NaN giving 0, so that no conversion ever depends on what the
// processor does with an out-of-range value. Unknown type codes leave the
// destination as it was; nothing here fails.
#pragma once

#include "platform/bytes.h"

// Longest text NumToSZ writes: 20 characters (a LINT) and the NUL.
constexpr u32 kQ4CnvTextMax = 21;

// ops: destination index, source index, destination type, source type.
void Q4VMCnv_Convert(u8* db, const u16* ops);
// Raw values in their representation (little-endian); no STRING.
void Q4VMCnv_ConvBin(void* dst, const void* src, u16 dstType, u16 srcType);
void Q4VMCnv_SZToNumPtr(void* dst, u16 type, const char* text);
void Q4VMCnv_SZToNum(u8* db, u16 type, u16 index, const char* text);
// text needs kQ4CnvTextMax bytes.
void Q4VMCnv_NumToSZPtr(const void* value, u16 type, char* text);
void Q4VMCnv_NumToSZ(u8* db, u16 type, u16 index, char* text);

// The numeric rules on their own, for the interpreter and the blocks.
i32 Q4VMCnv_RealToDint(double v);   // truncation, saturating, NaN 0
u32 Q4VMCnv_RealToUdint(double v);  // truncation, negative 0, saturating, NaN 0
i64 Q4VMCnv_RealToLint(double v);
u64 Q4VMCnv_RealToUlint(double v);
float Q4VMCnv_ToReal(double v);     // nearest; beyond the single range infinity
// Decimal floating-point text (white space, sign, digits, fraction,
// exponent); stops at the first character that does not fit; 0.0 when no
// number. len bounds what is read.
double Q4VMCnv_ParseReal(const char* text, u32 len);
