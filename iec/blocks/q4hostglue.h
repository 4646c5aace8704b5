// What the stored-program and register-image code hands over to the IEC
// runtime (start, stop, stored files, retained values) and to the programming
// link (least stand-ins until the link layer replaces them). Every call is
// counted so that the hand-over can be checked.
#pragma once

#include "platform/bytes.h"

// IEC runtime life cycle.
void Quillet_init();            // start the runtime with the stored code image
void Quillet_Exit();            // stop the runtime
int DeleteQuilletProgram();     // delete the stored code image (q4.cod); 1 when gone
int DelQuilletRetentiveFile();  // delete the retained-variable file; 1 when gone
// Retained variables to / from a file (firmware path); 1 on success.
int Q4VMWarm_SaveToFile(const char* firmwarePath);
int Q4VMWarm_LoadFromFile(const char* firmwarePath);

// Network and I/O configuration of the programming link.
extern u8 CmdNetIoConfigUpdated;
extern u8 J1939_init_start;
void NetIoConfig();

// Call counters of the stand-ins (tests).
struct Q4HostGlueCalls {
    int init, exit, deleteProgram, deleteRetentive, saveRet, loadRet, netIoConfig;
    u8 netIoUpdatedSeen, j1939Seen;  // the two flags as NetIoConfig saw them
};
extern Q4HostGlueCalls q4HostGlueCalls;
void Q4HostGlue_Reset();
