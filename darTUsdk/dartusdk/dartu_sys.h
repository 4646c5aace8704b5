// System utilities of the web-HMI toolkit: worker threads, sleeping, file
// tests and random data.
#pragma once

#include <cstddef>

#include "platform/bytes.h"
#include "darTUsdk/dartusdk/dartu_context.h"

// Starts a worker in the first free (or finished, then joined) of the four
// slots; the entry is called with its slot. None when every slot is busy or
// the thread could not be created (the slot stays free). SIGPIPE and SIGALRM
// are blocked in the calling thread first, so the worker starts with both
// blocked. Called by the server thread only.
dartu_thread_slot* dartu_sys_thread_start(dartu_thread_entry entry, void* argument);
// Joins and frees the workers that have finished.
void dartu_sys_thread_tick();
// Asks every running worker to stop and waits until all have finished,
// sweeping every 200 ms.
void dartu_sys_thread_shutdown_threads();

void dartu_sys_sleep(u32 milliseconds);

// 1 for an existing regular file / directory (symbolic links followed), else 0.
int dartu_sys_is_file(const char* path);
int dartu_sys_is_directory(const char* path);

// Fills the destination with count random bytes from the random device.
// With nonzero set, no byte of the result is 0. With hex set, the bytes are
// then replaced in place by their lowercase hexadecimal text and a NUL, so
// the destination must hold 2 * count + 1 bytes.
// 0 success; -1 when the device could not be read in full: the destination
// is then zero-filled and must not be used (these bytes become nonces,
// session ids, key primes and secrets).
int dartu_sys_get_random_data(u8* destination, size_t count, int hex, int nonzero);

// Test seam: read random bytes from another path (null: "/dev/urandom").
void dartu_sys_set_random_device(const char* path);
