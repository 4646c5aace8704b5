// REAL arithmetic and functions, integer functions, compares, range tests and the conversion loads.
//
// All of them work on the interpreter's word stack (a REAL or a 32-bit
// integer takes two entries, low word first) and report a failure only by
// making the rung value FALSE; none of them ends the scan.
//
// - REAL arithmetic and functions: an operand that is not finite (exponent
//   bits all ones), a failed domain test or a result that is not finite sets
//   the rung FALSE; the result is stored all the same, except that a
//   division by 0.0 leaves the dividend and the square root of a value with
//   its sign bit set stores +infinity.
// - Compares of the replace kind write 1 or 0 into the rung value whatever
//   it held; those of the AND kind only ever write 0. Range tests replace.
// - Conversion loads read one register operand, convert it and push the
//   result; out of range, the rung goes FALSE and 0 is pushed (the
//   conversions from REAL push the converted value).
#pragma once

#include "platform/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_vm.h"

// Executes opcode `op` of the family; see ladder_vm.h.
template <bool kTok16>
bool LadderReal_Exec(u16 op, LadderVm& vm);
