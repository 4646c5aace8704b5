// The shell-command runner.
//
// The firmware runs shell command lines (mount, cp, rm, killall, reboot, the
// flash tools, echo into /proc, ...). None of them may reach the host, and no
// text is ever handed to /bin/sh or to another program: the runner splits the
// line into words itself and
//   - carries out inside the root the commands that act on files: mkdir, cp,
//     rm, mv, sync, unzip, echo (with > and >> redirection), mkfs.vfat of a
//     drive (its folder is emptied), mount and umount (the drive is marked
//     present or absent in the root's /proc/mounts);
//   - records every other command and answers it as success (killall,
//     reboot, flash and UBI tools, ip link, uname, ...);
//   - logs every command line, carried out or not, in the root's
//     "/sys/commands.log", one line each (a log past 512 KiB moves aside to
//     "/sys/commands.log.1").
// Every path goes through Root_HostPath, and a path that would lead out of
// the root through a symbolic link is refused, so nothing escapes the root.
// "nice [-n N]" in front of a command is dropped; ";", "&&", "||", "|" and a
// trailing "&" separate commands as in a shell (a pipe carries no data and
// "&" runs the command to its end before returning); $(...), backquotes and
// variables are never evaluated.
//
// The result is the exit status a shell would give: 0 success, non-zero
// failure (1 for a failed file command, 32 for a failed mount or umount, 2
// for a line that cannot be parsed, such as an unclosed quote).
#pragma once

#include <string>
#include <vector>

// Runs one command line.
int SysCmd_Run(const char* commandLine);
// Runs one command given as words (no redirection or separators).
int SysCmd_RunArgv(int argc, const char* const* argv);

// Firmware paths of the runner's files below the root.
constexpr const char* kSysCmdLogPath = "/sys/commands.log";
constexpr const char* kSysCmdFailPath = "/sys/commands.fail";  // first words, one a line
constexpr const char* kSysCmdMountsPath = "/proc/mounts";

// The logged command lines of the current log, oldest first; clearing
// empties it.
std::vector<std::string> SysCmd_Log();
void SysCmd_ClearLog();

// Makes every command with this first word fail (status 1, no effect) or
// succeed again. Kept in the root's fail list, so a test may prepare it
// before the controller starts.
void SysCmd_SetFailing(const char* firstWord, bool fail);

// What a recorded command prints (to its redirection target or stdout).
// nullptr goes back to the default answer: a kernel line for "uname",
// nothing for the others.
void SysCmd_SetOutput(const char* firstWord, const char* text);

// A later layer can take over a command by its first word. The handler gets
// the words (redirections removed), may append to *out what the command
// prints, and returns the exit status. nullptr removes it.
using SysCmdHandler = int (*)(int argc, const char* const* argv, std::string* out);
void SysCmd_SetHandler(const char* firstWord, SysCmdHandler handler);

// The mount table: which mount points hold a medium. mount/umount commands
// use these; the file layer calls them for its own mount system calls.
bool SysCmd_IsMounted(const char* mountPoint);
// Device recorded for a mounted mount point ("" when not mounted).
std::string SysCmd_MountedDevice(const char* mountPoint);
// False when the mount point is already mounted (the table is unchanged).
bool SysCmd_MarkMounted(const char* device, const char* mountPoint, const char* fsType);
// False when it was not mounted.
bool SysCmd_MarkUnmounted(const char* mountPoint);

// Forgets handlers and answers set in this process (tests).
void SysCmd_Reset();
