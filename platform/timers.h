// One-shot software timers on the free-running counter, polled by the
// programming protocol and the media commands.
#pragma once

#include "core/bytes.h"

void Timer_Init(volatile u32* counter, u32 tickMicroseconds);
u8 Timer_Allocate(u8 count);
u32 Timer_Start(u8 index, u32 milliseconds);
int Timer_Status(u8 index);
void Timer_Stop(u8 index);
void Timer_Release(u8 index);
