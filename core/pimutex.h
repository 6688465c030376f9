#pragma once

#include <pthread.h>
#include <time.h>

#include <cstdint>

/// A mutex with priority inheritance: a real-time thread that waits for it lends its
/// priority to the holder, so a lower-priority holder (the UI thread in the middle of an
/// edit) cannot be kept from finishing by other work. BasicLockable.
class PiMutex {
public:
    PiMutex() {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        // Where the system has no priority inheritance this stays an ordinary mutex.
        pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&m_mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    ~PiMutex() { pthread_mutex_destroy(&m_mutex); }
    PiMutex(const PiMutex&) = delete;
    PiMutex& operator=(const PiMutex&) = delete;

    void lock() { pthread_mutex_lock(&m_mutex); }
    void unlock() { pthread_mutex_unlock(&m_mutex); }
    pthread_mutex_t* native() { return &m_mutex; }

private:
    pthread_mutex_t m_mutex;
};

/// A condition to wait on with a PiMutex held, with deadlines on CLOCK_MONOTONIC.
class PiCondition {
public:
    PiCondition() { pthread_cond_init(&m_cond, nullptr); }
    ~PiCondition() { pthread_cond_destroy(&m_cond); }
    PiCondition(const PiCondition&) = delete;
    PiCondition& operator=(const PiCondition&) = delete;

    /// Waits with `mutex` held until notified (or woken spuriously).
    void wait(PiMutex& mutex) { pthread_cond_wait(&m_cond, mutex.native()); }
    /// The same, or until CLOCK_MONOTONIC reaches `untilNs`.
    void waitUntil(PiMutex& mutex, int64_t untilNs) {
        const timespec until{static_cast<time_t>(untilNs / 1'000'000'000),
                             static_cast<long>(untilNs % 1'000'000'000)};
        pthread_cond_clockwait(&m_cond, mutex.native(), CLOCK_MONOTONIC, &until);
    }
    void notifyAll() { pthread_cond_broadcast(&m_cond); }

private:
    pthread_cond_t m_cond;
};
