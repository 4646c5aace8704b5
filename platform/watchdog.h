// The hardware watchdog device (/dev/watchdog) of the simulated board.
//
// It behaves as the board's driver: opening it starts the count-down; every
// keep-alive write starts it again; not kept alive within its time-out, it
// resets the controller (the process ends with kExitWarmReset, so its run
// script starts it again as the board would reboot). Writing the magic
// character 'V' before closing stops it; a close without it leaves it
// counting. The device is a real file below the root, so an open gives a real
// descriptor and the calls take that descriptor like the driver's requests.
//
// Expiry is checked by Watchdog_Poll, which a monitor thread calls a few
// times a second on the platform clock; tests with the manual clock call it
// directly and install their own reset action instead of ending the process.
#pragma once

#include <cstddef>

#include "platform/bytes.h"

// Firmware path of the device.
constexpr const char* kWatchdogDevice = "/dev/watchdog";
// Time-out of a freshly opened device, before any set-time-out request.
constexpr int kWatchdogDefaultTimeoutS = 60;
// The driver accepts time-outs of 1 s up to this.
constexpr int kWatchdogMaxTimeoutS = 4194;

// Opens the device: returns a descriptor (>= 0) and starts the count-down, or
// -1 when it is already open or cannot be opened.
int Watchdog_Open();
// Keep-alive: every byte written restarts the count-down; a 'V' among them
// arms the magic close. Returns the count written, -1 for a bad descriptor.
long Watchdog_Write(int fd, const void* data, size_t count);
// Keep-alive request; 0 or -1 for a bad descriptor.
int Watchdog_KeepAlive(int fd);
// Set-time-out request: 0 and the count-down restarted, -1 for a bad
// descriptor or a time-out outside 1..kWatchdogMaxTimeoutS.
int Watchdog_SetTimeout(int fd, int seconds);
// Current time-out in seconds (-1 for a bad descriptor).
int Watchdog_GetTimeout(int fd);
// Seconds left before the reset, rounded down as the driver reports them
// (-1 for a bad descriptor).
int Watchdog_TimeLeft(int fd);
// Closes the descriptor. After a magic 'V' the watchdog stops; otherwise it
// keeps counting and resets the controller when its time runs out.
int Watchdog_Close(int fd);

// Checks for expiry on the platform clock; runs the reset action when the
// time-out has passed since the last keep-alive. Returns true when it fired.
bool Watchdog_Poll();

// Stops the count-down from a fault signal handler, as the magic close
// would: no lock, no allocation, no stdio. The monitor fires no more until
// Watchdog_Reset.
void Watchdog_StopFromSignal();

// What an expiry does. The default prints a line and ends the process with
// kExitWarmReset. Tests install their own; nullptr restores the default.
using WatchdogResetAction = void (*)();
void Watchdog_SetResetAction(WatchdogResetAction action);

// Whether the monitor thread runs while the device is open (default on).
// Tests that drive Watchdog_Poll themselves turn it off.
void Watchdog_SetMonitor(bool on);

// Forgets all state and stops the monitor thread (tests, start-up).
void Watchdog_Reset();
