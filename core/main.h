// Process entry of the firmware: start-up in its fixed order, then the main
// loop. One pass (The_Loop) steps every service of the list the wiring built
// (platform/service.h) once, in order; after it the loop waits in one poll
// until the earliest time a service asked for or until a descriptor of one
// is ready. A driver that waits for input runs a nested pass
// (ExecuteSubLoop_Wait).
#pragma once

#include <sys/types.h>

#include "platform/bytes.h"
#include "platform/masterscript.h"
#include "platform/neighbour.h"

// Argument count of the process; 2 (exactly one argument) is install mode.
extern int BIS;
extern u8 BootMode;
extern pid_t WDmainPid;
// Passes counted towards the web-HMI start (up to 101).
extern u8 Main_CountedPasses;

// Wires the controller (core/wiring.h) and starts it.
int PlcMain(int argc, char** argv);
// Starts the controller as it is wired: returns 1 at once, naming each
// neighbour entry left empty, when the wiring is not whole.
int PlcStart(int argc, char** argv);

int The_Loop(int unused);
int ExecuteSubLoop_Wait(int unused);
void ExecutePMGR_Loop();
// The watchdog supervision thread's body (never returns).
void* WatchdogScan(void* unused);
// One step of the watchdog supervision: true when the register image was
// saved because the watchdog is about to reset the controller.
bool WatchdogScanStep();
// The web-HMI step after a pass.
void Main_WebStep();
// One main-loop iteration: the pass, the MQTT step, the web-HMI step or the
// pass count, then the idle wait.
void Main_Iteration();

// The loadable protocol drivers as the loop's driver pass reaches them.
struct DriverPassPeers {
    u32 (*count)() = nullptr;           // drivers named by the protocol-driver section
    void (*pass)(int driver) = nullptr; // one pass of one driver; it may run nested passes
};
extern DriverPassPeers driverPassPeers;  // filled by core/wiring.cpp
void DriverPassPeers_Check(NeighbourCheck& check);

// Steps of the pass that belong to the loop itself; the wiring lists them
// with the other services. Each answers the time it next needs to run.
u32 Main_StepProtocolDrivers(u32 now);
u32 Main_StepStatusBits(u32 now);
// The scan, unless an automatic load is running: about once a millisecond
// while the controller runs or loads, once a tick in stop.
u32 Main_StepScan(u32 now);
u32 Main_StepBatteryTest(u32 now);
u32 Main_StepFaultMirror(u32 now);
u32 Main_StepPowerDown(u32 now);

void DebugMsg(const char* text);
void Enable_Interrupt(int on);
void Delay(u32 milliseconds);

// Ends the children of the main process (by pid) and closes the master
// script's pipe.
void Main_EndChildren();

// Forgets the loop state (tests).
void Main_Reset();
