// Array blocks: sort, minimum, maximum, fill, find and count over whole arrays
// of any elementary type, called by IEC programs as ARSORT, ARMIN, ARMAX,
// ARFILL, ARFIND and ARCOUNT. They keep no class or instance data and write
// their results straight into the variables their operands name.
//
// Operands (u16 words): the element type code, the array variable, the
// number of elements, then per block: ARSORT the BOOL result; ARMIN/ARMAX the
// result variable of the element type; ARFILL the value variable and the BOOL
// result; ARFIND/ARCOUNT the value variable, the DINT start index and the
// DINT result. An array that does not lie whole in its table (or the CT
// segment) counts as not found.
#pragma once

#include "iec/kernel/q4vmfb.h"

int Q4BArray_Sort(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4BArray_Min(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4BArray_Max(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4BArray_Fill(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4BArray_Find(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4BArray_Count(int command, u8* db, u8* classData, u8* inst, const u16* ops);

inline constexpr Q4BlockEntry kQ4BArrayRows[] = {
    {"ARSORT", Q4BArray_Sort}, {"ARMIN", Q4BArray_Min},   {"ARMAX", Q4BArray_Max},
    {"ARFILL", Q4BArray_Fill}, {"ARFIND", Q4BArray_Find}, {"ARCOUNT", Q4BArray_Count},
};
