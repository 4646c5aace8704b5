// PID blocks of the controller's library: the controller's fixed-point PID
// loops (fbk_pid, the routine the ladder PID instructions run) in the
// independent-gain (IND) or ISA form, with INT values or REAL values scaled
// to INT, with or without relay auto-tuning, and the blocks that set or read
// a loop's parameters. The loop works on a 16-word INT parameter block held
// in an array of the application.
//
// Each loop instance takes a loop number when the application starts (block
// command 6), from a counter that every cold start of an application resets,
// and so selects one of fbk_pid's 64 per-loop states. An instance beyond the
// 64th gets none and does nothing. A loop whose limits fbk_pid refuses is
// latched and does nothing until the next cold start. Values converted from
// REAL to INT saturate at the limits of INT (a NaN gives 0), and a parameter
// array shorter than the words a block uses is not touched.
#pragma once

#include "iec/kernel/q4vmfb.h"

// The loop-number counter (0 at every application load).
extern u8 pid_Instance;
void Q4Pid_Reset();

int Q4Ctl_PidInd(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_PidIsa(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_PidIndR(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_PidIsaR(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_PidIndAuto(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_PidIsaAuto(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_PidIndAutoR(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_PidIsaAutoR(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_SetPid(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_SetPidR(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_SetPidMan(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_SetPidManR(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_GetPidMan(int command, u8* db, u8* classData, u8* inst, const u16* ops);

// Instance of the loop blocks: error latch, loop number, the working copy of
// the parameter block.
constexpr u32 kPidInstLatch = 0, kPidInstLoop = 1, kPidInstBlock = 2;
// Loop number of an instance that got none.
constexpr u8 kPidNoLoop = 0xFF;

inline constexpr Q4BlockEntry kQ4CtlPidRows[] = {
    {"PID_IND", Q4Ctl_PidInd},           {"PID_ISA", Q4Ctl_PidIsa},
    {"PID_IND_R", Q4Ctl_PidIndR},        {"PID_ISA_R", Q4Ctl_PidIsaR},
    {"PID_IND_AUTO", Q4Ctl_PidIndAuto},  {"PID_ISA_AUTO", Q4Ctl_PidIsaAuto},
    {"PID_IND_AUTO_R", Q4Ctl_PidIndAutoR}, {"PID_ISA_AUTO_R", Q4Ctl_PidIsaAutoR},
    {"SETPID", Q4Ctl_SetPid},            {"SETPID_R", Q4Ctl_SetPidR},
    {"SETPIDMAN", Q4Ctl_SetPidMan},      {"SETPIDMAN_R", Q4Ctl_SetPidManR},
    {"GETPIDMAN", Q4Ctl_GetPidMan},
};
