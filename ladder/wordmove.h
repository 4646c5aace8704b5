// Loads and stores between the registers and the word stack, register moves and fills, block moves and table moves.
#pragma once

#include "core/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_vm.h"

// Executes opcode `op` of the family; see ladder_vm.h.
template <bool kTok16>
bool LadderMove_Exec(u16 op, LadderVm& vm);

// Layout decoder of the instructions with several encodings (opcode table).
void LadderMove_LayoutBlk(const u16* code, u32 avail, bool tok16, LadderLayout& out);

// Layout decoder of the instructions with several encodings (opcode table).
void LadderMove_LayoutTbl(const u16* code, u32 avail, bool tok16, LadderLayout& out);
