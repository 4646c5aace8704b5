// File instructions of the control program (opcodes 248-254): read a block
// of registers from a CSV file and write one to it, record reads and
// writes, rename, copy, delete and format.
//
// Every instruction carries a fixed-layout record beginning with its opcode
// (register addresses as 32-bit register bit addresses, low word first).
// Reads, writes, renames and formats go through the file request mailbox;
// copies and deletes run as background jobs. A job is a child process of
// ours, recorded by pid; disabling its instruction or a stop ends it by that
// pid, never by a command name, so no other process on the machine is
// touched. The child hands mkdir, cp and rm to the command runner as
// argument lists (never a shell), and every name stays inside its drive.
//
// Status block named by each instruction: word 0 status, word 1 elements
// transferred, word 2 record index (record reads).
#pragma once

#include <sys/types.h>

#include "platform/bytes.h"

struct LadderRoutineRow;

// Opcodes.
constexpr u16 kFileOpRecord = 248, kFileOpCopy = 249, kFileOpRead = 250, kFileOpWrite = 251, kFileOpRename = 252,
              kFileOpDelete = 253, kFileOpFormat = 254;
// Record write form code at offset 2 of a record instruction (any other
// value is a record read).
constexpr u16 kFileRecordWriteForm = 77;

// Status codes besides the drive-letter file API's results.
constexpr i16 kFileRunning = -2, kFileBusy = -3, kFileDisabled = -4, kFileNoMedium = 2, kFileJobFailed = 5,
              kFileNotFound = 66, kFileInvalid = 86, kFileReadOnly = 92, kFileTextBusy = 94;

// Results of the last copy and delete job (-2 running, -4 ended).
extern i16 CopyRet;
extern i16 DeleteRet;

// Clears the channel owner table (first scan). Returns its argument.
int File_Init(int value);

// Executes the file instruction whose record begins at ip (its opcode) and
// moves ip past the record. Returns 1 when the status word is 0 afterwards,
// else 0. Records are trusted to lie inside the code: a stored program's
// records are checked with File_Words before it runs.
u8 File_Access(const u16*& ip, u8 power);

// The same in the interpreter's block-routine form: ip (a word index into
// code) stands on the word after the opcode; the result replaces the rung
// value. Records use 32-bit addresses with either token width.
u8 File_Instruction(const u16* code, u32& ip, u8 rung, bool tok16);

// Words of the file instruction at code[0] (opcode included); 0 when it is
// not a file instruction or its record is malformed or runs past avail.
u32 File_Words(const u16* code, u32 avail);

// Opcode rows of the file instructions for the interpreter's routine table;
// null for any other opcode.
const LadderRoutineRow* File_FindRow(u16 opcode);

// "*" matches any run of characters (none included), "?" any one; other
// characters must be equal. 1 on a match.
int TestForMatchingFilename(const char* pattern, const char* name);
// 1 when an entry of the firmware-path directory other than "." and ".."
// matches the pattern, the entry name compared in upper case.
int AnyFilePresentWithSuchPattern(const char* directory, const char* pattern);
// 1 when the directory cannot be opened or has no entry besides "." and "..".
int isDirectoryEmpty(const char* directory);

// Background jobs.
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
// Ends the jobs and forgets all state (tests).
void File_Reset();
