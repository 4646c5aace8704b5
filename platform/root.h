// The one root folder that holds every path the firmware uses.
//
// On the board the firmware reads and writes /mnt/cfg, /mnt/USB0, /dev/shm,
// /proc/... directly. Here all of them live below one folder (environment
// variable PLC_ROOT, default "plcroot" in the working directory), so that the
// host is never touched. Root_HostPath is the only function that turns a
// firmware path into a host path; nothing else builds host paths.
#pragma once

#include <string>
#include <string_view>

// Reads PLC_ROOT and PLC_PORT_OFFSET, creates the root and the folders the
// firmware expects on its board. Returns false when the root cannot be made.
// Calling it again re-reads the environment (tests switch roots).
bool Root_Init();

// Absolute host path of the root folder (empty before Root_Init).
const std::string& Root_Dir();

// Maps a firmware path ("/mnt/cfg/ladder.pgm", "q4.hot") to its host path.
// Absolute firmware paths land below the root; relative ones below the
// firmware's working directory "<root>/run". "." and ".." are resolved
// lexically and can never climb above the root.
std::string Root_HostPath(std::string_view firmwarePath);

// Added to every port the firmware listens on or sends to (PLC_PORT_OFFSET).
int Root_PortOffset();
