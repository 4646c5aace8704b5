// Serial-driver timers: their callbacks end a character gap or a message wait.
#pragma once

#include "core/bytes.h"

using RctCallback = void (*)();

void RCT_Init();
int RCT_Allocate(RctCallback callback);
void RCT_Release(int id);
void RCT_Stop(int id);
void RCT_Set(int id, u32 value, int type);
void RCT_Start(int id);
void RctISR();
void RCT_RegCaptureCallback(RctCallback callback);
