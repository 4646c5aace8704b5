// Modem cycle: the last service of every main-loop pass. It decides whether a
// cellular modem is there and which (the internal module in I/O slot 1, or an
// external modem on a serial port), opens its port, initialises it with the
// initialisation script, reads its identification, keeps its signal quality
// up to date, watches for incoming data on the module's sockets and steps the
// data sockets. Everything shares the script engine through the state letter
// of at_status.
//
// The internal module is powered through the option module's power line; it
// counts as ready (TelitPowerON) once it answers "AT" with "OK".
#pragma once

#include <poll.h>

#include <vector>

#include "platform/bytes.h"

extern u8 ExternalModem;  // 1 while the external modem is the selected modem
extern u8 TelitPowerON;   // the modem is powered and may be initialised
extern u16 SigStCSQ;      // the external modem's "+CSQ" value

// Model texts; index 0 "UNKNOWN".
extern const char* const Modm_model[7];

void ModemCycle();
// 1 when the modem is initialised.
int CheckInit();
// Signal quality: the external modem's SigStCSQ, else 0-31 (99 unknown).
int CheckSigSt();
// Back to the uninitialised state; 0.
int ModemReset();
// Signal poll and identification steps: 0 once the script has ended.
int ModemCyclicStatus();
int ModemOnetimeStatus();

// True when a slot-1 module code is the internal cellular module.
bool Modem_InternalModule(u16 code);
// Signal quality of a received level in dBm.
u8 Modem_SignalFromDbm(int dbm);
// The modem port's descriptor for the main loop's idle wait.
void Modem_Descriptors(std::vector<pollfd>& fds);
// Forgets the cycle, the engine, the sockets and the settings (tests).
void Modem_ResetAll();
