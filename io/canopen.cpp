#include "io/canopen.h"

u8 NodeId_Flag = 0;

void CANOpenInit(const CanOpenNetStart*) {}
void CANOpenRxMsg() {}
void CANOpenTxMsg() {}
