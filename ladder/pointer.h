// Indexed access through index registers, byte pointers into the register memory and the bit array.
//
// Index register: a u16 register selecting element i (1-based) of a run of
// registers; index 0 is never valid. Indexed stores go through PlcReg_Set,
// so the system-register limits apply and a refused write makes the rung
// FALSE.
//
// Pointer: a u32 in a register pair (low word first), a byte offset into
// the register memory. Loads and stores through it work byte by byte,
// little-endian, at any alignment.
//
// Everything computed at run time (base + index, pointer + offset, counts,
// the bit array's locations and length) is checked against the register
// memory as a whole access: a load outside pushes 0 (as many entries as it
// would have pushed) and makes the rung FALSE; a store, move or fill outside
// writes nothing and makes the rung FALSE; a coil outside writes nothing.
#pragma once

#include "platform/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_vm.h"

// Executes opcode `op` of the family; see ladder_vm.h.
template <bool kTok16>
bool LadderPointer_Exec(u16 op, LadderVm& vm);
