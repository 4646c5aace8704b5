// REAL arithmetic and functions, integer functions, compares, range tests and the conversion loads.
#pragma once

#include "core/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_vm.h"

// Executes opcode `op` of the family; see ladder_vm.h.
template <bool kTok16>
bool LadderReal_Exec(u16 op, LadderVm& vm);
