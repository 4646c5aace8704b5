// The web-HMI server's side of the main loop: its state byte, its thread and
// the mutex that keeps its passes apart from the main loop's passes. Until
// the server is built its thread only follows the state byte.
//
// Locking: demoMutex is held by the main loop while a pass runs and is
// released between passes; the server thread takes it with a try-lock
// around each of its own passes. Each side unlocks only what it locked
// (the mutex checks its owner), so the two never run a pass at once.
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
extern u8 dartuFtpStates;
extern u8 dartu_error_page;

extern pthread_mutex_t demoMutex;
extern pthread_mutex_t DartuQueryFilterMutex;

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
// Passes the server thread has run (tests).
extern std::atomic<u32> dartuThreadPasses;
// Asks a running server thread to end and waits for it, at most the given time.
bool Dartu_StopThread(int timeoutMs);
void Dartu_Reset();
