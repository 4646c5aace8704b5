// Ladder interpreter. Until it is built, one scan of any program ends at
// once with the normal end result and does the end-of-scan housekeeping
// (first-scan bits cleared).
#pragma once

#include "core/bytes.h"

// Normal end of a scan; any other result is the program fault offset.
constexpr i32 kLogicEnd = -1;

i32 LogicUpdate(const u8* code);

// Replaces the scan's result (tests make a program fault this way); nullptr
// restores the normal end.
using LogicTestHook = i32 (*)(const u8* code);
void LogicUpdate_SetTestHook(LogicTestHook hook);
// Scans run since the last reset (tests).
extern u32 logicUpdateCalls;
