// Screen selection, the alarm list, setting the controller clock, the node
// number and the serial-port sub-operation of the ladder program.
//
// Screens: the forced-screen number (0xFFFF none) and the switch-screen
// number (0) are collected during a scan by SCRFORCE, SCRSWITCH and the
// alarm lists, and published at END: SR2 = forced + 1, and SR1 takes a
// switch screen that changed since the last END (0 is remembered but never
// written).
//
// Alarm lists (ALMLIST, ALMLISTX): an array of N alarm words, one per alarm
// (bits 0-7 occurrence count, 8 condition written by the program, 9 in the
// list, 10 acknowledged; the first word also carries 14 "one not
// acknowledged" and 15 "one in the list"), the screen S - 1 + i of alarm i
// forced while the list is shown, and four key inputs that act once per
// press. Each alarm-list instruction keeps its own status (display active,
// its current screen, the held keys), keyed by its place in the program, so
// several lists in one program do not steer each other. Programs whose lists
// would need screens above 510 (S - 1 + N of 511 or more) or that start at
// screen 0 are refused when loaded.
#pragma once

#include "platform/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_vm.h"

// Executes opcode `op` of the family; see ladder_vm.h.
template <bool kTok16>
bool LadderPanel_Exec(u16 op, LadderVm& vm);

// Layout of ALMLIST (41: K N, K S, K stamp mode, W alarm array, W stamp
// table, B next, B previous, B remove, B acknowledge; the word operands
// without far-bank escapes in 16-bit programs) and ALMLISTX (528: nine
// single words, see panel.cpp).
void LadderPanel_LayoutAlarm(const u16* code, u32 avail, bool tok16, LadderLayout& out);

// Layout of TALKIEC (394): K sub-operation. Sub-operations 0-3 hand the
// instruction to the serial-port send and receive routine (the TALK
// routine row, which gives their length; without it such an encoding ends
// the scan with a program fault). Any other sub-operation only consumes its
// word.
void LadderPanel_LayoutTalkIec(const u16* code, u32 avail, bool tok16, LadderLayout& out);

// The screen numbers of one scan: the forced screen starts every scan at
// 0xFFFF (none), the switch screen at 0.
void LadderPanel_ScanStart();
// END of a scan: SR2 = forced screen + 1; SR1 takes a switch screen that
// changed since the last END and is not 0.
void LadderPanel_End();
// Forgets the screen and alarm state (start-up and tests).
void LadderPanel_Reset();

// The family's rows of the ladder opcode table.
namespace lrow {
inline constexpr Row kPanelOps[] = {
    Op(39, "SCRFORCE", E::kPanel, F::kNext, 1, -1, {O::kLit}),
    Op(40, "SCRTEST", E::kPanel, F::kNext, 0, 1, {O::kLit}),
    Ly(41, "ALMLIST", E::kPanel, 0, 0, LadderPanel_LayoutAlarm),
    Op(48, "SCRSWITCH", E::kPanel, F::kNext, 1, -1, {O::kLit}),
    Op(230, "RTCSET", E::kPanel, F::kNext, 0, 0, {O::kWord}, 7),
    Ly(394, "TALKIEC", E::kPanel, 1, 0, LadderPanel_LayoutTalkIec),
    Op(520, "RTCSETP", E::kPanel, F::kNext, 0, 0, {O::kWord}, 2),
    Ly(528, "ALMLISTX", E::kPanel, 0, 0, LadderPanel_LayoutAlarm),
    Op(544, "NODEID", E::kPanel, F::kNext, 0, 0, {O::kLitOrReg}),
};
}  // namespace lrow
