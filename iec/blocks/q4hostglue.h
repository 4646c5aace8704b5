// What the stored-program and register-image code hands over to the IEC
// runtime (start, stop, stored files, retained values), and the apply of a
// network and I/O configuration that came in over the programming link or
// with an IEC application.
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

// Network and I/O configuration of the programming link. A download of either
// (or an IEC application) sets CmdNetIoConfigUpdated; NetIoConfig then applies
// it at once as start-up applies the stored one (NetConfig, then IoConfig)
// and clears the flag.
extern u8 CmdNetIoConfigUpdated;
extern u8 J1939_init_start;
void NetIoConfig();

// Clears both flags (tests and start-up).
void Q4HostGlue_Reset();
