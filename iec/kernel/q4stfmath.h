// Standard functions of the arithmetic and mathematics family, and the
// family's rows of the standard-function table.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmstd.h"

// EXPT (IN REAL, N DINT) -> REAL, slot 6.
int Q4Stf_Expt(u8* db, const u16* operands, u16 number);

inline constexpr Q4StfRow kQ4StfMathRows[] = {
    {6, Q4Stf_Expt},
};
