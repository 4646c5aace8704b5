// Lock wrappers of the web-HMI toolkit.
//
// Mutexes are recursive: a thread that already holds one may take it again.
// Read-write locks prefer readers: a waiting writer does not hold back new
// readers.
#pragma once

#include <pthread.h>

struct dartu_mutex {
    pthread_mutex_t m;
};

struct dartu_rwlock {
    pthread_rwlock_t l;
};

// Each returns the result of the system call (0 success).
int dartu_lock_mutex_initialize(dartu_mutex* mutex);
int dartu_lock_mutex_lock(dartu_mutex* mutex);
int dartu_lock_mutex_unlock(dartu_mutex* mutex);
int dartu_lock_mutex_destroy(dartu_mutex* mutex);

// A refused read-write lock operation (such as unlocking a lock that is not
// held, or a second write lock by its holder) is an internal fault: the
// process stops with "ret == 0".
void dartu_lock_rw_init(dartu_rwlock* lock);
int dartu_lock_rw_lock_read(dartu_rwlock* lock);
int dartu_lock_rw_lock_write(dartu_rwlock* lock);
int dartu_lock_rw_unlock_read(dartu_rwlock* lock);
int dartu_lock_rw_unlock_write(dartu_rwlock* lock);
void dartu_lock_rw_destroy(dartu_rwlock* lock);
