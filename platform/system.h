// System services: the start-up hardware check with the board identity and
// the kernel and ramdisk versions, the product text, the fault-signal
// handler, the hardware watchdog, warm reset, the panel option outputs, the
// battery test and the per-pass mailbox step.
#pragma once

#include "core/bytes.h"

constexpr u32 kTinyImageBytes = 124;
// Board identity image (content of /mnt/cfg/TINYIMGE.BIN).
extern u8 tinyImage[kTinyImageBytes];
// Firmware version text; digits 1, 2, 4 and 5 give SR38.
extern const char version[];

// Kernel release (ESR9-ESR13) and ramdisk version (ESR8).
constexpr u32 kKernelRevBytes = 10;
extern char KernelRev[kKernelRevBytes];
extern u16 InitRdVer;
// "Controller: " and the first five characters of the version text.
extern char productId[32];
constexpr u16 kModelCode = 567;

// Set when the process was started with two or more arguments: the hardware
// watchdog is then never opened.
extern u8 WatchDogDisable;

void SYS_HardwareCheck();
// Sets the product text, SR37 and the fault-signal handlers; returns 1 when a
// firmware load asked for defaults.
int SYS_Init(const char** productText);
void ExceptionISR(int signalNumber);

void StartWatchdog();
void StopWatchdog();
void TickleWatchdogReal();
void set_watchdog_time(int seconds);
// Descriptor of the open watchdog device, -1 when closed.
int SYS_WatchdogFd();

[[noreturn]] void SYS_WarmReset();
void SYS_MenuOption(int option, int on);
// 1 battery good, 0 low.
int SYS_BattTest();
// Set when the last register-image save failed.
extern u8 AutoregFailed;

void SYS_ResetRCBs(int mode);
void SYS_LoadRCBs();
void SYS_Update();

// Forgets the module state (tests).
void SYS_Reset();
