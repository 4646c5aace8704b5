// File instructions of the control program: the background copy and delete
// jobs. Until the instructions are built only the job records exist. A job
// is a child process of ours, recorded by pid; a stop ends it by that pid,
// never by a command name, so no other process on the machine is touched.
#pragma once

#include <sys/types.h>

#include "core/bytes.h"

// Results of the last copy and delete job (-2 running, -4 ended by a stop).
extern i16 CopyRet;
extern i16 DeleteRet;

enum class FileJob { kCopy, kDelete };
// Records the child process that runs a job (0 forgets it). The recorded
// child is reaped only here, so its pid cannot be reused while it is recorded.
void File_RecordJob(FileJob job, pid_t child);
pid_t File_JobPid(FileJob job);
// Reaps recorded jobs that have ended and gives their result (0 on exit
// status 0, else 5); returns without waiting.
void File_PollJobs();
// A mode change to stop: ends every recorded job by its pid, reaps it,
// sets its result to -4 and forgets it.
void File_StopJobs();
void File_Reset();
