#pragma once

#include <pthread.h>

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

private:
    pthread_mutex_t m_mutex;
};
