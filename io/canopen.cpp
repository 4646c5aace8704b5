#include "io/canopen.h"

u8 NodeId_Flag = 0;
CanOpenCalls canOpenCalls;

void CanOpen_Reset() {
    NodeId_Flag = 0;
    canOpenCalls = CanOpenCalls{};
}

void CANOpenInit(const CanOpenNetStart* start) {
    canOpenCalls.init++;
    if (start != nullptr) canOpenCalls.last = *start;
}
void CANOpenRxMsg() { canOpenCalls.rx++; }
void CANOpenTxMsg() { canOpenCalls.tx++; }
