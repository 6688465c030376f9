#include "midi/alsa/scheduledsender.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <cerrno>

#include "core/monotonicclock.h"
#include "core/rtpriorities.h"

ScheduledSender::ScheduledSender(Sink sink) : m_sink(std::move(sink)) {
    sem_init(&m_wakeUp, 0, 0);
    m_thread = std::thread([this] { run(); });
}

ScheduledSender::~ScheduledSender() {
    m_quit.store(true);
    sem_post(&m_wakeUp);
    m_thread.join();
    sem_destroy(&m_wakeUp);
}

void ScheduledSender::withdrawAfter(int64_t nowNs) {
    m_queue.withdrawAfter(nowNs);
    wake();
}

void ScheduledSender::wake() {
    // The sender clears the flag before it looks at the queue, so a post it may have missed
    // always finds the flag clear and wakes it.
    if (!m_woken.exchange(true, std::memory_order_acq_rel))
        sem_post(&m_wakeUp);
}

void ScheduledSender::run() {
    // A real-time thread has no timer slack, so it wakes on time. Without the right to
    // real-time scheduling the slack is made as small as it goes instead.
    sched_param param{};
    param.sched_priority = rtpriority::kScheduledSender;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0)
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

    while (!m_quit.load()) {
        m_woken.exchange(false, std::memory_order_acq_rel);
        m_queue.takeDue(monotonicNowNs(), [this](const TimedMessage& m) {
            if (!m_sink(m.message))
                m_sinkFailed.store(true, std::memory_order_release);
            return true;
        });
        int64_t nextNs = 0;
        if (!m_queue.nextDue(nextNs)) {
            // Nothing waits: sleep until something is posted.
            while (sem_wait(&m_wakeUp) != 0 && errno == EINTR) {
            }
            continue;
        }
        if (nextNs <= monotonicNowNs())
            continue;
        // Asleep to the next due time; a post, a withdraw or the end wakes it earlier.
        timespec until{};
        until.tv_sec = static_cast<time_t>(nextNs / 1'000'000'000);
        until.tv_nsec = static_cast<long>(nextNs % 1'000'000'000);
        while (sem_clockwait(&m_wakeUp, CLOCK_MONOTONIC, &until) != 0 && errno == EINTR) {
        }
    }
}
