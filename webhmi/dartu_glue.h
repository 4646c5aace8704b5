// The web-HMI server's side of the controller: its state byte, its thread
// and start-up, the mutex that keeps its passes apart from the main loop's
// passes, its settings file, its status bit and the watch on the card's web
// folder that stops it while the pages are replaced over FTP.
//
// Locking: demoMutex is held by the main loop while a pass runs and is
// released between passes; the server thread waits for network activity
// outside it and takes it (blocking) around each of its own passes, so web
// passes fall between scans and see no half-written value. Each side
// unlocks only what it locked (the mutex checks its owner).
#pragma once

#include <pthread.h>

#include <atomic>

#include "platform/bytes.h"

// 0 stop requested, 1 stopped, 2 start requested, 3 thread created, 4 running.
constexpr u8 kDartuStop = 0, kDartuStopped = 1, kDartuStart = 2, kDartuCreated = 3, kDartuRunning = 4;
extern std::atomic<u8> DartuServerState;
extern std::atomic<u8> DartuThreadCreated;
// 1 while the web pages on the card are being replaced.
extern std::atomic<u8> DartuFtping;
// 1 while the server listens (mirrored into %ESR17 bit 3).
extern std::atomic<u8> DartuServerStatus;
extern u8 dartuFtpStates;
extern u8 dartu_error_page;

// Settings of darTUGlobal.cfg; they keep their values across restarts of
// the server within one run of the program.
extern u16 ConnectionTimeOut;  // seconds
extern u16 SessionTimeOut;     // seconds
extern u8 dartu_authentication_method;  // 1 Basic, 2 Digest
extern u16 darTU_global_config_file_size;

extern pthread_mutex_t demoMutex;
extern pthread_mutex_t DartuQueryFilterMutex;

// Register bit address of %ESR17 bit 3.
constexpr u32 kDartuStatusBitAddress = 0x10030102;
// Bytes of darTUGlobal.cfg that are read (the rest of a longer file is ignored).
constexpr u32 kDartuGlobalConfigMax = 250;

// Start-up: initialises both mutexes.
void Dartu_InitMutexes();
// The main loop's side of demoMutex: take it before a pass, give it back
// after. Give does nothing when the main loop does not hold it.
void Dartu_MainLoopTake();
void Dartu_MainLoopGive();
bool Dartu_MainLoopHolds();

// Starts the detached server thread with SIGALRM and SIGPIPE blocked in it.
void dartu_thread_create();
// One step of the web-folder watch.
void dartu_check_ftp_state();
// Parses the settings text (NUL-terminated, changed in place); 0.
int dartu_update_global_config_parameters(char* text);
// Reads at most capacity - 1 bytes of the file; the size read is kept in
// darTU_global_config_file_size when it is not 0.
void dartu_read_file(char* buffer, u32 capacity, const char* path);
// The server's folder: "/mnt/USB0/darTU", or "/mnt/USB0/u5TAV" in the OEM variant.
const char* Dartu_Folder();
// Passes the server thread has run (tests).
extern std::atomic<u32> dartuThreadPasses;
// Asks a running server thread to end and waits for it, at most the given time.
bool Dartu_StopThread(int timeoutMs);
void Dartu_Reset();
