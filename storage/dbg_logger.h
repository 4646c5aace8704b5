// Debug log: text lines of the modem, GPRS and SMS code, collected while the
// controller runs and appended by a writer advancing in every scan to one
// file per day on the card, "\DEBUG\dlog_YYMMDD.log", through the debug
// log's own file mailbox.
//
// The debug-log setting (from the GSM configuration) is the register bit
// address of the control word: a 16-bit category mask, 0 stopping the log
// and discarding what is buffered. The next register word receives the
// status word: 0, the last media status or error code, or -1 while the card
// is full (no free space left) and nothing else is wrong.
#pragma once

#include "platform/bytes.h"

constexpr u32 kDbgLogBuffer = 20480;

// Sets the debug-log setting; 0 turns the debug log off.
void DBG_SetLogRegister(u32 controlAddress);
u32 DBG_LogRegister();

// 0 appended; 1 empty text or the buffer would overflow (dropped); 2 the
// control word has no bit of the mask; 3 the debug log is off or the
// controller is not in run mode.
int DBG_WriteLog(u16 categoryMask, const char* text);

// Every scan outside stop mode, after the data logger.
void DLOG_Update();

// Bytes buffered, the writer state (tests).
u32 DLOG_Buffered();
bool DLOG_FileOpen();
int DLOG_WriterState();
void DLOG_Reset();
