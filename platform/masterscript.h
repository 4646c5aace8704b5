// The master script of the board's system: a shell script outside the
// firmware that restarts interfaces and services on request. On the PC it is
// stood in for by a reader child of ours that takes the command lines the
// firmware writes into its pipe and appends them, in order, to a log file
// under the root, so what the firmware asked of the system can be seen. The
// script is never run; only its DNS lines ("dnsSet_...") take effect: their
// name servers are written into the resolver file /etc/resolv.conf.
#pragma once

#include <sys/types.h>

// 0 when the master script exists and its pipe is open.
extern int MasterFilePresent;
// Write end of the master-script pipe (-1 when closed).
extern int MasterScriptPipefd;

// Firmware path of the script, and of the file that records its command lines.
constexpr const char* kMasterScriptPath = "/opt/varnok/MasterScript.sh";
constexpr const char* kMasterScriptLogPath = "/opt/varnok/MasterScript.log";

// Starts the reader with its pipe when the script exists (a reader left from
// an earlier start is ended first). The reader ends with this process.
void MasterScript_Start();
// Closes the pipe and ends the reader by its pid (it may first drain the
// pipe for a short while).
void MasterScript_End();
// Writes one newline-terminated command line; false when the pipe is closed
// or the line could not be written whole.
bool MasterScript_Write(const char* line);

// A child of ours ends with the process that forked it (the board would lose
// it with the reset); when that parent is already gone it ends at once.
// Called in the child right after the fork.
void MasterScript_BindChildToParent(pid_t parent);
// Ends one child by its pid: it may end by itself within graceMs, then it is
// killed; pid is 0 afterwards.
void MasterScript_EndChild(pid_t& pid, int graceMs);
