// Screen selection, the alarm list, setting the controller clock, the node number and the serial-port sub-operation.
#pragma once

#include "core/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_vm.h"

// Executes opcode `op` of the family; see ladder_vm.h.
template <bool kTok16>
bool LadderPanel_Exec(u16 op, LadderVm& vm);

// Layout decoder of the instructions with several encodings (opcode table).
void LadderPanel_LayoutAlarm(const u16* code, u32 avail, bool tok16, LadderLayout& out);

// Layout decoder of the instructions with several encodings (opcode table).
void LadderPanel_LayoutTalkIec(const u16* code, u32 avail, bool tok16, LadderLayout& out);

// The screen numbers of one scan: the forced screen starts every scan at
// 0xFFFF (none), the switch screen at 0.
void LadderPanel_ScanStart();
// END of a scan: SR2 = forced screen + 1; SR1 takes a switch screen that
// changed since the last END and is not 0.
void LadderPanel_End();
// Forgets the screen and alarm state (start-up and tests).
void LadderPanel_Reset();
