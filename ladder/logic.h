// The scan's call of the control program: one pass of the ladder
// interpreter over the stored program (or, while an IEC application is
// loaded, its cycle instead).
#pragma once

#include "platform/bytes.h"

// Normal end of a scan; any other result is the program fault offset.
constexpr i32 kLogicEnd = -1;

i32 LogicUpdate(const u8* code);
