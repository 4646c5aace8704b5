// The board's supply: the power-fail driver's supply words, the power-fail
// signal it sends the registered controller, and the power controller that
// cuts the supply when the controller asks for power-off.
#pragma once

#include "platform/bytes.h"

// The five supply words the power-fail driver reports (ESR2-ESR6), also kept
// as the 10 little-endian bytes of the root's "/proc/powerdown".
constexpr int kSupplyWords = 5;
void Board_SupplyWords(u16 out[kSupplyWords]);
void Board_SetSupplyWords(const u16 in[kSupplyWords]);

// The process the power-fail driver signals (registered by writing its pid
// into /proc/powerdown); 0 when none.
constexpr int kPowerFailSignal = 44;
i32 Board_ControllerPid();
void Board_SetControllerPid(i32 pid);
// Sends the power-fail signal to the registered controller and counts it.
// False when no controller is registered, it has ended (a pid given to
// another process since is never signalled) or the signal cannot be sent.
bool Board_SignalPowerFail();
u32 Board_PowerFailCount();

// Asks the power controller to cut the supply. The board counts the
// requests (the caller then ends the process with the power-off code).
void Supply_RequestPowerOff();
u32 Supply_PowerOffRequests();
