// Text in registers: byte strings, counted strings through pointers, text to number and number to text.
#pragma once

#include "core/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_vm.h"

// Executes opcode `op` of the family; see ladder_vm.h.
template <bool kTok16>
bool LadderText_Exec(u16 op, LadderVm& vm);

// Layout decoder of the instructions with several encodings (opcode table).
void LadderText_LayoutTextLit(const u16* code, u32 avail, bool tok16, LadderLayout& out);

// Layout decoder of the instructions with several encodings (opcode table).
void LadderText_LayoutFormat(const u16* code, u32 avail, bool tok16, LadderLayout& out);
