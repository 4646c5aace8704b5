// The AS-i master services. No AS-i master is attached to this controller:
// every service answers 0. The application's AS-i functions reach them only
// through the AS-i context of its database, which exists only when the
// application carries an AS-i configuration and the runtime's AS-i layer has
// given it its area.
#pragma once

#include "platform/bytes.h"

// The AS-i context of a database, or none.
void* Q4Asi_Context(u8* db);

int Q4Asi_StorePI(void* context, u16 master);
int Q4Asi_ReadPI(void* context, u16 master, u16 slave);
int Q4Asi_SendParameter(void* context, u16 master, u16 slave, u8 value);
int Q4Asi_WritePP(void* context, u16 master, u16 slave, u8 value);
int Q4Asi_ReadPP(void* context, u16 master, u16 slave);
