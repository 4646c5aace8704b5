// System services: board identity, menu options, product text.
#pragma once

#include "core/bytes.h"

constexpr u32 kTinyImageBytes = 124;
// Board identity image (content of /mnt/cfg/TINYIMGE.BIN).
extern u8 tinyImage[kTinyImageBytes];
// Firmware version text; digits 1, 2, 4 and 5 give SR38.
extern const char version[];

void SYS_MenuOption(int option, int on);
