#include "pulsor.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>

using Clock = std::chrono::steady_clock;

Pulsor::Pulsor(QObject* parent) : QObject(parent) { m_worker = std::thread([this] { run(); }); }

Pulsor::~Pulsor() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    m_worker.join();
}

std::chrono::nanoseconds Pulsor::periodFor(int ms) {
    // A period of 0 (or a negative one) ticks at the shortest period there is, 1 ms,
    // rather than spinning.
    return std::chrono::milliseconds(ms < 1 ? 1 : ms);
}

void Pulsor::setEnabled(bool enabled) {
    if (enabled == m_enabled) return;
    m_enabled = enabled;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_generation;
        m_running = enabled;
        // The first tick of a run comes one period after the start.
        if (enabled) m_lastDue = Clock::now();
    }
    m_wake.notify_all();
}

int Pulsor::Interval() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_intervalMs;
}

void Pulsor::setInterval(int ms) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_intervalMs = ms;
    }
    // The worker recomputes its wake-up from the last deadline and the new period.
    m_wake.notify_all();
}

void Pulsor::setLeadTime(std::chrono::nanoseconds lead) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lead = lead;
    }
    m_wake.notify_all();
}

std::chrono::nanoseconds Pulsor::leadFor(int64_t outputLeadNs) {
    if (outputLeadNs <= 0) return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(outputLeadNs) + kUiStallCover;
}

std::chrono::nanoseconds Pulsor::leadTime() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lead;
}

void Pulsor::run() {
    // Ask for real-time scheduling so the wake-ups are punctual; without the right to it
    // the thread simply runs at normal priority.
    sched_param param{};
    param.sched_priority = 40;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);

    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_quit || m_running; });
        if (m_quit) return;
        const uint64_t generation = m_generation;
        const Clock::time_point due = m_lastDue + periodFor(m_intervalMs);
        const Clock::time_point wakeAt = due - m_lead;
        // Wake early on any change (stop, new period, new lead) and recompute.
        const bool changed = m_wake.wait_until(lock, wakeAt, [&] {
            return m_quit || m_generation != generation || due != m_lastDue + periodFor(m_intervalMs) ||
                   wakeAt != due - m_lead;
        });
        if (m_quit) return;
        if (changed) continue;
        m_lastDue = due;
        // Like a classic timer's, a tick that comes due while the UI thread is far behind is
        // dropped, so a stalled UI thread never builds up a backlog that grows without bound
        // and then plays in a burst. A stall shorter than the lead time, or than
        // kBacklogCover, loses nothing: that many ticks may wait.
        if (m_pending >= maxPending()) {
            ++m_dropped;
            continue;
        }
        ++m_pending;
        const int64_t dueNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
        QMetaObject::invokeMethod(
            this, [this, generation, dueNs] { deliver(generation, dueNs); }, Qt::QueuedConnection);
    }
}

int Pulsor::maxPending() const {
    const auto period = periodFor(m_intervalMs);
    return static_cast<int>(std::max<std::chrono::nanoseconds>(m_lead, kBacklogCover) / period) + 2;
}

int Pulsor::droppedTicks() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}

void Pulsor::deliver(uint64_t generation, int64_t dueNs) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_pending;
        // A tick posted before a stop (or before a stop and restart) is not raised.
        if (generation != m_generation) return;
    }
    if (!m_enabled) return;
    // The count stops at its largest value (after 24 days of 1 ms ticks) rather than
    // overflowing.
    if (m_tickCount < INT32_MAX) ++m_tickCount;
    m_dueNs = dueNs;
    emit Tick();
    m_dueNs = 0;
}
