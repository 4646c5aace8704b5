// A recording and scripted module driver for the I/O interface's device side
// (io/ioapi.h IoDriverPeers).
//
// Installed, it passes every I/O message on to the controller's driver and
// counts them by kind and slot; a scripted slot stands for a module outside
// the module table: probing reports it (while any is scripted, only scripted
// slots), IoInit accepts it, and IoCfg gets its name, counts and result.
#pragma once

#include "platform/bytes.h"

// What the scan asked of the I/O: messages by kind (start: start messages
// that went through the interface).
struct IoDriverCalls {
    int start[3], stop, service[3], getIs[3], putQs[3], getAIs[3], putAQs[3], cfg[3], init;
    u32 lastStartBit[3];
    u32 lastPutStartBit[3];
};
extern IoDriverCalls ioDriverCalls;

// Resets the I/O layer (IoDriver_Reset), forgets the counts and the scripted
// slots and installs the recording driver. Wiring_Connect puts the
// controller's back.
void IoScript_Install();
// Scripts slot 0 or 1 (other slots are ignored).
void IoDriver_SetModule(int slot, u16 identity, const char* model, u16 di, u16 dq, u16 ai, u16 aq, int cfgResult);
