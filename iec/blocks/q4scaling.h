// Scaling and angle blocks of the controller's library: linear scaling of
// INT and REAL values from one range into another, and the conversion of
// degrees into radians and back.
#pragma once

#include "platform/bytes.h"

int Q4Ctl_ScaleInt(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_ScaleReal(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_DegToRad(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_RadToDeg(int command, u8* db, u8* classData, u8* inst, const u16* ops);
