// The library's one kind of lock: constant-initialised, so that a Windows DLL holds no state it
// could not give back when a viewer unloads it, and sleeping when contended, so that a preempted
// holder does not leave other threads spinning through whole time slices. Windows: a slim
// reader/writer lock, which needs no cleanup; elsewhere a statically initialised pthread mutex.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace vek {

class Lock {
public:
    constexpr Lock() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
#ifdef _WIN32
    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
#else
    void lock() { pthread_mutex_lock(&lock_); }
    void unlock() { pthread_mutex_unlock(&lock_); }

private:
    pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
#endif
};

} // namespace vek
