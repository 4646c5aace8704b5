// Process entry of the firmware: start-up in its fixed order, then the main
// loop. One pass (The_Loop) calls every service once; a driver that waits
// for input runs a nested pass (ExecuteSubLoop_Wait).
#pragma once

#include <sys/types.h>

#include "platform/bytes.h"

// Argument count of the process; 2 (exactly one argument) is install mode.
extern int BIS;
extern u8 BootMode;
extern pid_t WDmainPid;
// 0 when the master script exists and its pipe is open.
extern int MasterFilePresent;
// Write end of the master-script pipe (-1 when closed).
extern int MasterScriptPipefd;
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
// One main-loop iteration: the pass, the MQTT step and the web-HMI step or
// the pass count.
void Main_Iteration();

void DebugMsg(const char* text);
void Enable_Interrupt(int on);
void Delay(u32 milliseconds);

// Kernel build number from the kernel release text in ESR9-ESR13
// (characters 4, 5, 7 and 8 as decimal digits); 0 when they are not digits.
int Main_KernelBuild();
// Writes one newline-terminated command line to the master script; false
// when the pipe is closed or the line could not be written whole.
bool MasterScript_Write(const char* line);
// Firmware path of the file that records the master script's command lines.
constexpr const char* kMasterScriptPath = "/opt/varnok/MasterScript.sh";
constexpr const char* kMasterScriptLogPath = "/opt/varnok/MasterScript.log";

// Starts the master script's reader with the pipe when the script exists.
void Main_StartMasterScript();
// Ends the children of the main process (by pid) and closes the pipe.
void Main_EndChildren();

// Forgets the loop state (tests).
void Main_Reset();
