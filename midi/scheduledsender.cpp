#include "scheduledsender.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <chrono>
#include <iterator>

#include "core/monotonicclock.h"

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC on Linux

ScheduledSender::ScheduledSender(Sink sink, FailureHandler onFailure)
    : m_sink(std::move(sink)), m_onFailure(std::move(onFailure)) {
    m_thread = std::thread([this] { run(); });
}

ScheduledSender::~ScheduledSender() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    m_thread.join();
}

void ScheduledSender::post(const unsigned char* bytes, std::size_t size, int64_t dueNs) {
    Message m{dueNs < 0 ? 0 : dueNs, std::vector<unsigned char>(bytes, bytes + size)};
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Messages arrive almost always in due order, so the place is found from the back.
        auto at = m_queue.end();
        while (at != m_queue.begin() && std::prev(at)->dueNs > m.dueNs)
            --at;
        first = at == m_queue.begin();
        m_queue.insert(at, std::move(m));
    }
    // Only a new head changes when the sender must wake.
    if (first)
        m_wake.notify_one();
}

void ScheduledSender::cancelPending() {
    const int64_t nowNs = monotonicNowNs();
    std::lock_guard<std::mutex> lock(m_mutex);
    // Messages already due are about to leave and stay; the ones still waiting go.
    while (!m_queue.empty() && m_queue.back().dueNs > nowNs)
        m_queue.pop_back();
}

std::size_t ScheduledSender::pending() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
}

void ScheduledSender::run() {
    // A real-time thread has no timer slack, so it wakes on time; SCHED_FIFO 45 sits above
    // the step timer (40), which only has to hand the step over ahead of time.
    sched_param param{};
    param.sched_priority = 45;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0)
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_quit || !m_queue.empty(); });
        if (m_quit)
            return;
        const Clock::time_point due{std::chrono::nanoseconds(m_queue.front().dueNs)};
        if (Clock::now() < due) {
            // Woken early by a new head, a cancel or the end: look again.
            m_wake.wait_until(lock, due);
            continue;
        }
        Message m = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        std::string error;
        if (!m_sink(m.bytes.data(), m.bytes.size(), error) && m_onFailure)
            m_onFailure(error);
        lock.lock();
    }
}
