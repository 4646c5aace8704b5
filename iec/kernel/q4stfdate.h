// Standard functions of the date, time, application control and diagnostics
// family, and the family's rows of the standard-function table.
//
// Date and time stamps come from the controller's clock at the moment of the
// call. CYCLESTOP pauses the application as the workbench's pause does,
// FATALSTOP stops it at once, PRINTF writes a line into the runtime's trace
// and GETSYSINFO reads the cycle statistics of the status record.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmstd.h"

// The trace line of PRINTF: the application's format with the four DINT
// values, interpreted here rather than by the C library, so that no format
// can read or write memory: integer conversions (d i u x X o) with flags,
// width, precision and length letters (ignored: every value is a DINT), and
// "%%"; any other conversion is copied literally. fmt holds fmtLen bytes (it
// ends early at a NUL). Writes at most cap - 1 characters and a NUL into out
// (cap >= 1) and answers the text length.
u32 Q4StfDate_FormatTrace(char* out, u32 cap, const char* fmt, u32 fmtLen, const i32 args[4]);

// Bytes of the runtime's trace buffer, the bound of one PRINTF line.
constexpr u32 kQ4TraceLineBytes = 512;

int Q4Stf_DtCurDate(u8* db, const u16* ops, u16 number);
int Q4Stf_DtCurTime(u8* db, const u16* ops, u16 number);
int Q4Stf_DtDay(u8* db, const u16* ops, u16 number);
int Q4Stf_DtMonth(u8* db, const u16* ops, u16 number);
int Q4Stf_DtYear(u8* db, const u16* ops, u16 number);
int Q4Stf_DtHour(u8* db, const u16* ops, u16 number);
int Q4Stf_DtMin(u8* db, const u16* ops, u16 number);
int Q4Stf_DtSec(u8* db, const u16* ops, u16 number);
int Q4Stf_DtMs(u8* db, const u16* ops, u16 number);
int Q4Stf_DayTime(u8* db, const u16* ops, u16 number);
int Q4Stf_DtFormat(u8* db, const u16* ops, u16 number);
int Q4Stf_CycleStop(u8* db, const u16* ops, u16 number);
int Q4Stf_FatalStop(u8* db, const u16* ops, u16 number);
int Q4Stf_EnableEvents(u8* db, const u16* ops, u16 number);
int Q4Stf_LogMessage(u8* db, const u16* ops, u16 number);
int Q4Stf_Printf(u8* db, const u16* ops, u16 number);
int Q4Stf_GetSysInfo(u8* db, const u16* ops, u16 number);
int Q4Stf_RegParGet(u8* db, const u16* ops, u16 number);
int Q4Stf_RegParPut(u8* db, const u16* ops, u16 number);

inline constexpr Q4StfRow kQ4StfDateRows[] = {
    {63, Q4Stf_DayTime},     {80, Q4Stf_Printf},     {94, Q4Stf_LogMessage},  {113, Q4Stf_GetSysInfo},
    {118, Q4Stf_DtCurTime},  {119, Q4Stf_DtCurDate}, {120, Q4Stf_DtDay},      {121, Q4Stf_DtMonth},
    {122, Q4Stf_DtYear},     {123, Q4Stf_DtSec},     {124, Q4Stf_DtMin},      {125, Q4Stf_DtHour},
    {126, Q4Stf_DtMs},       {135, Q4Stf_FatalStop}, {136, Q4Stf_CycleStop},  {156, Q4Stf_EnableEvents},
    {171, Q4Stf_DtFormat},   {194, Q4Stf_RegParGet}, {195, Q4Stf_RegParPut},
};
