#include "darTUsdk/dartusdk/dartu_lock.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Not an assert(): release builds define NDEBUG, and a broken lock must
// stop the process there too.
void CheckLockResult(int ret) {
    if (ret == 0) return;
    std::fprintf(stderr, "dartu_lock: assertion failed: ret == 0 (%d)\n", ret);
    std::abort();
}

}  // namespace

int dartu_lock_mutex_initialize(dartu_mutex* mutex) {
    pthread_mutexattr_t attr;
    int ret = pthread_mutexattr_init(&attr);
    if (ret != 0) return ret;
    ret = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (ret == 0) ret = pthread_mutex_init(&mutex->m, &attr);
    pthread_mutexattr_destroy(&attr);
    return ret;
}

int dartu_lock_mutex_lock(dartu_mutex* mutex) { return pthread_mutex_lock(&mutex->m); }
int dartu_lock_mutex_unlock(dartu_mutex* mutex) { return pthread_mutex_unlock(&mutex->m); }
int dartu_lock_mutex_destroy(dartu_mutex* mutex) { return pthread_mutex_destroy(&mutex->m); }

void dartu_lock_rw_init(dartu_rwlock* lock) {
    pthread_rwlockattr_t attr;
    CheckLockResult(pthread_rwlockattr_init(&attr));
    CheckLockResult(pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_READER_NP));
    CheckLockResult(pthread_rwlock_init(&lock->l, &attr));
    pthread_rwlockattr_destroy(&attr);
}

int dartu_lock_rw_lock_read(dartu_rwlock* lock) {
    CheckLockResult(pthread_rwlock_rdlock(&lock->l));
    return 0;
}

int dartu_lock_rw_lock_write(dartu_rwlock* lock) {
    CheckLockResult(pthread_rwlock_wrlock(&lock->l));
    return 0;
}

int dartu_lock_rw_unlock_read(dartu_rwlock* lock) {
    CheckLockResult(pthread_rwlock_unlock(&lock->l));
    return 0;
}

int dartu_lock_rw_unlock_write(dartu_rwlock* lock) {
    CheckLockResult(pthread_rwlock_unlock(&lock->l));
    return 0;
}

void dartu_lock_rw_destroy(dartu_rwlock* lock) { CheckLockResult(pthread_rwlock_destroy(&lock->l)); }
