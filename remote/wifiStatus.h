// Wi-Fi station statistics for the status registers (not built yet: there
// is no station interface, so the statistics cannot be read).
#pragma once

// 1 when the link quality and level of "mlan0" were read, 0 otherwise.
int watchdogStModeStatus();
