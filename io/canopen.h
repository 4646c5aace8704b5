// CANopen layer. Until the CANopen stack is built this keeps the start
// record it was given and does nothing per scan.
#pragma once

#include "platform/bytes.h"

// Start record of the CANopen layer.
struct CanOpenNetStart {
    volatile u32* counter;  // free-running counter reading
    u32 ticksPerMs;
    u16 baudCode;           // SR30
    u8 a, b;                // 2, 3
    u16 settings;           // network settings word
    u16 nodeId;             // SR29
    u16 idCount;            // SR61
    u8 sr31Bit1;
};

// Set once SR29 and SR30 were taken from the downloaded CANopen table.
extern u8 NodeId_Flag;

void CANOpenInit(const CanOpenNetStart* start);
void CANOpenRxMsg();
void CANOpenTxMsg();

struct CanOpenCalls {
    int init, rx, tx;
    CanOpenNetStart last;
};
extern CanOpenCalls canOpenCalls;
void CanOpen_Reset();
