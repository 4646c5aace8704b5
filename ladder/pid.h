// Fixed-point PID loop with deadband, two forms, anti-windup, slew limit,
// manual ramping, time-proportioned output and a relay auto-tuner.
//
// fbk_pid performs one step of one of 64 loops on a 16-word parameter block
// (native u16 values; the caller copies the block out of and back into the
// register memory). The ladder PID instructions and the IEC PID blocks both
// call it.
#pragma once

#include "platform/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_routines.h"

constexpr int kPidLoops = 64;

// Words of the parameter block.
enum PidWord : int {
    kPidSampleTime = 0,   // 10 ms units
    kPidDeadbandHigh = 1,
    kPidDeadbandLow = 2,
    kPidGain = 3,         // 0.01 units
    kPidDerivative = 4,   // 0.01 s (0.0001 s with kPidFlagDerivFine)
    kPidIntegral = 5,     // 0.001 per second
    kPidBias = 6,
    kPidOutHigh = 7,
    kPidOutLow = 8,
    kPidSlewTime = 9,     // seconds for 32,000 counts; 0 = none
    kPidFlags = 10,
    kPidOutput = 11,
    kPidSetpoint = 12,
    kPidProcess = 13,
    kPidFinalOutput = 14,
    kPidCycleTime = 15,   // seconds; 0 or less = on/off
    kPidBlockWords = 16,
};

// Flags (word 10).
constexpr u16 kPidFlagOwnSetpoint = 0x0001;
constexpr u16 kPidFlagManual = 0x0002;
constexpr u16 kPidFlagEnabled = 0x0004;
constexpr u16 kPidFlagRampUp = 0x0008;
constexpr u16 kPidFlagRampDown = 0x0010;
constexpr u16 kPidFlagIsa = 0x0080;
constexpr u16 kPidFlagReverse = 0x0100;
constexpr u16 kPidFlagNegate = 0x0200;
constexpr u16 kPidFlagDerivOnPv = 0x0400;
constexpr u16 kPidFlagDeadbandOffset = 0x0800;
constexpr u16 kPidFlagIntegralHold = 0x1000;
constexpr u16 kPidFlagDerivFine = 0x2000;
constexpr u16 kPidFlagTimeProp = 0x4000;
constexpr u16 kPidFlagFirstScan = 0x8000;

// Tuning flags of the call context.
constexpr u8 kPidTuneDone = 0x01;       // written by fbk_pid
constexpr u8 kPidTuneRequest = 0x02;    // input
constexpr u8 kPidTuneTwoThirds = 0x04;  // input: tune around 2/3 of the setpoint

// Built by the caller for every call.
struct PidContext {
    u32 stamp;      // 100-microsecond ticks
    u16 loop;       // 0-63
    u8 tuneFlags;   // kPidTune*
    u8 tuneOptions; // bits 1-2 controller type, 3-4 rule level, 5-7 hysteresis shift
};

// Results of fbk_pid other than the off-phase bit.
constexpr int kPidFirstScan = 1;
constexpr int kPidBadDeadband = 2;
constexpr int kPidBadLimits = 3;
constexpr int kPidBadLoop = 4;  // loop number outside 0-63: nothing is touched

// One step. Returns 1 on the first-scan call, 2 or 3 for inverted deadband or
// output limits (1 with time-proportioning), 4 for a loop number outside the
// tables; otherwise 0, or with time-proportioning the off-phase bit (inverted
// with the negate flag).
int fbk_pid(PidContext* context, u16* block);

// Clears every loop's state (start-up, tests).
void Pid_Reset();

// Tuning state 0-7 of a loop (0 for a loop number outside the tables).
u16 Pid_TuneState(u16 loop);

// The gains a finished relay cycle gives (the last tuning step), exposed so
// that the rule arithmetic can be checked on its own. period: ticks from the
// start to the end of the measured cycle; amplitude: largest minus smallest
// error. Reads flags, limits and the ISA bit from the block and writes words
// 3, 4 and 5. Returns false, changing nothing, when the period or the
// amplitude is not positive.
bool PidTuneCompute(u32 period, i32 amplitude, u8 options, u16* block);

// The ladder PID instructions: 240-243 (ladder operands, form 0) and
// 523-526 (IEC operands, form 1); 241, 243, 524 and 526 use the ISA form,
// 242, 243, 525 and 526 carry the auto-tune operands. ip (a word index into
// code) stands on the word after the opcode; the result is the index after
// the operands. Operands: loop number (literal word), parameter block
// (register word; IEC form: a register pair holding the block's byte offset
// in the register memory), setpoint and process-value registers, manual,
// ramp-up and ramp-down bits, [tune bit, option word], output register,
// [tune-done bit]. stamp is the scan time stamp. *top is the rung value: it
// is left as it is when FALSE (nothing is computed or written) and set FALSE
// when the step reports an error or an operand lies outside the register
// memory.
u32 IEC_NON_IEC_PidParser(const u16* code, u32 ip, u16 opcode, u32 stamp, u8* top, int form, bool tok16);

// The same in the interpreter's routine form: the opcode is the word before
// ip, the stamp the scan time stamp in SR149-150.
u8 Pid_Instruction(const u16* code, u32& ip, u8 rung, bool tok16);


// The family's block-routine rows.
extern const std::span<const LadderRoutineRow> kPidRoutines;

// The family's rows of the ladder opcode table.
namespace lrow {
inline constexpr Row kPidOps[] = {
    Rt(240, 243, "PID"),
    Rt(523, 526, "PIDX"),
};
}  // namespace lrow
