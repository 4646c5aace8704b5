// The ladder interpreter: one scan of the stored program.
//
// Before a program runs for the first time (and whenever the program block's
// header or the token width changes) the interpreter copies it out of the
// program block and passes it through the program checker; a program that
// fails the check never runs: each scan ends with a program fault at the
// offset the checker names. The copy is what runs, so a block that is being
// rewritten cannot change the code under a running scan. A program that
// passes is translated at the same time into ops with their register
// operands decoded, and the scans run the translation.
//
// At run time two faults remain possible besides those the instructions
// report: a CALL nested deeper than 8 or a RET without a CALL, and a scan
// that exceeds its budget of executed code words (an endless backward jump).
#pragma once

#include "platform/bytes.h"
#include "ladder/ladder_check.h"
#include "ladder/ladder_routines.h"
#include "platform/neighbour.h"

// Normal end of a scan; any other result is the program fault offset in
// words from the start of the program.
constexpr i32 kLadderEnd = -1;

// Code words one scan may execute before it ends with a program fault.
constexpr u32 kLadderScanBudgetWords = 1u << 23;
// Largest program the interpreter runs (the program block's valid size).
constexpr u32 kLadderMaxProgramBytes = 0x200000;
constexpr int kLadderCallDepth = 8;

// Token width latched at the first scan from bit 15 of the editor-features
// word: 1 for 16-bit operand tokens, 0 for 32-bit addresses.
extern u8 RegTokLen_16b;

// One scan: the prologue (scan time, time stamp SR149-150, first-scan
// latches), then the ladder code from its first word to END, or, while an
// IEC application is loaded, one cycle of the application instead. `code`
// is the data of the program block (`ladder`); any other pointer is refused
// with a program fault at offset 0.
i32 Ladder_Scan(const u8* code);

// Values of the current scan for the instruction families.
u32 Ladder_ScanTimeMs();      // whole milliseconds since the previous scan start
u16 Ladder_TimerStamp();      // low 14 bits of this scan's time base

// The checker's verdict on the program the interpreter holds.
LadderCheckResult Ladder_LastCheck();

// Forgets the interpreter state (start-up and tests); the translated form
// runs again.
void Ladder_Reset();
// Whether scans run the translated form of the program (the default) or
// interpret it one instruction at a time; both leave the same registers,
// which the tests compare.
void Ladder_UseTranslation(bool on);

// What the interpreter reaches of the services above it. The file
// instructions belong to the file service, which uses the media.
struct LadderEnginePeers {
    // The routine row of a file instruction opcode (248-254), nullptr for
    // any other; read by the routine table (LadderRoutine_Find).
    const LadderRoutineRow* (*fileRow)(u16 opcode) = nullptr;
    // Called at the first scan after a (re)start, before any instruction
    // runs: no file instruction owns the file channel any more.
    int (*fileRestart)(int value) = nullptr;
    // The routine row of a program-controlled serial port instruction
    // (132-137, 394, 531), nullptr for any other.
    const LadderRoutineRow* (*talkRow)(u16 opcode) = nullptr;
    // Called at the first scan after a (re)start, before any instruction
    // runs: the serial port instructions start again from their edges.
    void (*talkRestart)() = nullptr;
    // The routine row of the CANopen instruction (367), nullptr for any
    // other.
    const LadderRoutineRow* (*canOpenRow)(u16 opcode) = nullptr;
};
extern LadderEnginePeers ladderEnginePeers;  // filled by core/wiring.cpp
void LadderEnginePeers_Check(NeighbourCheck& check);
