// One application cycle: VM time, active timers, the start task, the cyclic
// programs and the workbench's execution buffer, heap compaction and the
// cycle time; the exchanges around it and the shutdown at stop.
//
// The VM time is milliseconds of the day (0 to 86,399,999). Whether the
// first cycle has run is an explicit flag of the database, not a VM time of 0,
// so that an application started at midnight still runs its start task once.
#pragma once

#include "platform/bytes.h"

// Private record: 1 once the first cycle ran.
constexpr u32 kVmPrivFirstDone = 92;

int Q4VM_Cycle(u8* db, u32 now);
int Q4VM_PerformTask(u8* db, u16 task, u32 now, int updateTimers);
void Q4VM_RegisterCycleTime(u8* db, u32 us);
void Q4VM_ShutDown(u8* db, const char* retainPath);

// Exchanges around the cycle. The I/O system, CAN, bus drivers, AS-i, the
// runtime's Modbus and the external-variable binding belong to services not
// in this build; their hooks here keep the guards and call what exists.
void Q4VM_FullIOExchangeEx(u8* db, u32 now);
void Q4VM_FullIOExchange(u8* db);
void Q4VM_UpdateExtData(u8* db, u32 now);
void Q4VM_ActivateModbus(u8* db, u32 now);
void Q4VM_ExchangeModbusData(u8* db);
// Serves a Modbus frame of n bytes that the workbench link received (code
// 17: Modbus/TCP; 16: RTU, its CRC included): the answer's length, 0 when
// there is none (a stopped application, no server, another unit).
u32 Q4VM_ServeModbus(u8* db, int code, const u8* frame, u32 n, u8* answer);
int Q4VM_OpenModbus(u8* db);
void Q4VM_CloseModbus(u8* db);
int Q4VM_OpenExtData(u8* db);
void Q4VM_CloseExtData(u8* db);
int Q4VM_OpenDynaLinks();
void Q4VM_CloseDynaLinks();
int Q4VM_LoadRetains(u8* db, const char* path);
int Q4VM_PrepareRetains(u8* db);
