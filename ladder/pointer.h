// Indexed access through index registers, byte pointers into the register memory and the bit array.
#pragma once

#include "core/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_vm.h"

// Executes opcode `op` of the family; see ladder_vm.h.
template <bool kTok16>
bool LadderPointer_Exec(u16 op, LadderVm& vm);
