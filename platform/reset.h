// Exit codes by which the process tells its run script what the board would
// have done: a warm reset is a reboot (the script starts the firmware again),
// a power-off stops it.
#pragma once

constexpr int kExitNormal = 0;
constexpr int kExitWarmReset = 10;
constexpr int kExitPowerOff = 11;
