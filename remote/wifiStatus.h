// Link quality and level of the Wi-Fi station (mlan0), refreshed by the
// watchdog thread every 500 ms and read by the main loop.
//
// On the board they come from the wireless extensions of the driver; here
// the statistics are read from the root's /proc/net/wireless (the same
// figures in the kernel's text form: "mlan0: status link. level. noise."),
// which a test writes.
#pragma once

#include <atomic>

#include "platform/bytes.h"

// Written by the watchdog thread, read by the main loop.
extern std::atomic<u8> Link;
extern std::atomic<i16> Level;

// Refreshes Link and Level: 1, or 0 when the statistics cannot be read
// (Link 0, Level -256 then).
int watchdogStModeStatus();
// Copies Link and Level; 1.
int getStModeStatus(u8* link, i16* level);
// Opens the query socket (non-blocking); 0 with a message on failure.
int initSocket();
