// Manager of the loadable protocol drivers. At the controller's leaving stop
// mode it walks the downloaded protocol-driver section (memory area 20),
// writes each driver's image under the root's /dev/shm, loads it, checks its
// header record, builds the control blocks of the driver, its stations and
// its messages, and opens the driver on its port (a serial port taken from
// the program-controlled ports, or an Ethernet virtual serial channel).
// Each main-loop pass walks every started driver's scan list
// (PMGR_TheLoop, the transactions); each controller scan steps the driver,
// station and message states and moves data between the registers and the
// messages' buffers (PMGR_Scan). At stop the drivers give their ports back.
//
// The section is hostile input: every record must lie inside it and be at
// least its fixed size, every count and index must fit its table and every
// driver's message buffers its 32 KB area; a driver that fails a check is
// not started, the others start. The interface a driver sees is
// link/promgr_driver.h.
#pragma once

#include "link/promgr_driver.h"
#include "platform/bytes.h"
#include "platform/neighbour.h"

// What the manager reaches above its floor.
struct PromgrPeers {
    // One nested pass of the main loop (the drivers' wait service).
    void (*pass)() = nullptr;
};
extern PromgrPeers promgrPeers;  // filled by core/wiring.cpp
void PromgrPeers_Check(NeighbourCheck& check);

void PMGR_Start();
void PMGR_Stop();
void PMGR_Scan();
void PMGR_TheLoop(int driver);
// Writes driver n's image to /dev/shm/drvN.so (mode 0600) and hands it to the
// dynamic loader: 1 when the file was written, 0 when it could not be.
int PMGR_Config(u32 n);
// Number of drivers named by the protocol-driver section (u32 at its byte 8),
// 0 when the section is too short to hold it.
u32 PMGR_DriverCount();

// The version of the first driver whose port key (byte 1 of its
// configuration) equals key; false when no driver of the section has it.
bool PMGR_DriverVersion(u32 key, u16* version);

// Fills `entries` records of 50 bytes: name at +0 (NUL at +20), version text
// at +25, indexed by each loadable driver's port byte; "(None Loaded)" else.
void PMGR_GetDrvInfo(u8* list, u32 entries);
// Link hooks without effect.
void PMGR_ResetLinks();
int PMGR_LinkReg();
void PMGR_LoadLinks();

// The put wrapper of the Ethernet operations.
int EtnPutTx(u32 port, u8 byte);

// --- The control blocks (drivers, tests) ------------------------------------
PromgrDriverBlock& PMGR_Driver(u32 i);
PromgrStationBlock* PMGR_Stations(u32 i);
PromgrMessageBlock* PMGR_Messages(u32 i);
PromgrTimerBlock* PMGR_Timers();
const PromgrDeviceEntry* PMGR_DeviceTable();
// True when driver i took part in the last start.
bool PMGR_Started(u32 i);
// 1 for serial port 0 or 1 once it was handed back to the programming link.
u8 PMGR_PortSwitch(u32 port);

// Timer services of the callback table.
u32 CreateTimer();
void WriteTimer(u32 timer, u32 milliseconds);
u32 ReadTimer(u32 timer);
void CloseTimer(u32 timer);

// Replaces the image file and the dynamic loader (fuzzing, unit tests): the
// function gets the driver index and its image and answers its header
// record, or null when it cannot be loaded. Null restores the loader.
using PmgrLoadHook = const DriverHeaderRecord* (*)(u32 driver, const u8* image, u32 length);
void PMGR_SetLoadHook(PmgrLoadHook hook);

// Forgets every driver, handle, timer and port hand-over (tests).
void PMGR_Reset();
