#include "pulsor.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <mutex>

#include "rtpriorities.h"

using Lock = std::unique_lock<PiMutex>;

Pulsor::Pulsor() {
    m_worker = std::thread([this] { run(); });
}

Pulsor::~Pulsor() {
    {
        Lock lock(m_mutex);
        m_quit = true;
        m_wake.notifyAll();
    }
    m_worker.join();
}

int64_t Pulsor::periodNs(int ms) {
    // A period of 0 (or a negative one) ticks at the shortest period there is, 1 ms,
    // rather than spinning.
    return int64_t(ms < 1 ? 1 : ms) * 1'000'000;
}

void Pulsor::setEnabled(bool enabled) {
    Lock lock(m_mutex);
    if (enabled == m_enabled.load())
        return;
    // A new run: ticks of the old one still on their way are not played.
    m_run.fetch_add(1);
    m_enabled.store(enabled);
    ++m_changes;
    if (enabled) {
        // The first tick of a run is due one period after the start, or one lead after it
        // when the lead is longer (a short step on a JACK server with long periods): a tick
        // due sooner could not be raised its lead ahead, and its notes would come late.
        const int64_t period = periodNs(m_intervalMs);
        m_lastDueNs = monotonicNowNs() + std::max<int64_t>(m_leadNs - period, 0);
        m_lastPeriodNs = period;
        m_periodChanged = false;
    }
    m_wake.notifyAll();
}

bool Pulsor::isCurrent(uint64_t run) const {
    return m_enabled.load() && m_run.load() == run;
}

int Pulsor::Interval() const {
    Lock lock(m_mutex);
    return m_intervalMs;
}

void Pulsor::setInterval(int ms) {
    Lock lock(m_mutex);
    const bool newPeriod = periodNs(ms) != periodNs(m_intervalMs);
    m_intervalMs = ms;
    // The next tick counts from the first change since the last tick: a bar moved on and on
    // (a key held down) changes the tempo as it goes, and never holds the ticks back.
    if (newPeriod && m_enabled.load() && !m_periodChanged) {
        m_periodChanged = true;
        m_changedAtNs = monotonicNowNs();
    }
    ++m_changes;
    m_wake.notifyAll();
}

void Pulsor::takeBack(int32_t ticks) {
    int32_t count = m_tickCount.load();
    while (!m_tickCount.compare_exchange_weak(count, std::max(count - ticks, 0))) {
    }
}

void Pulsor::setLeadTime(std::chrono::nanoseconds lead) {
    Lock lock(m_mutex);
    m_leadNs = lead.count();
    ++m_changes;
    m_wake.notifyAll();
}

std::chrono::nanoseconds Pulsor::leadTime() const {
    Lock lock(m_mutex);
    return std::chrono::nanoseconds(m_leadNs);
}

void Pulsor::setTickHandler(TickHandler* handler) {
    Lock lock(m_mutex);
    m_handler = handler;
    // The old handler may be in a tick right now (unless this is that tick's own thread):
    // wait for that call to end. Later ticks find the new handler.
    if (std::this_thread::get_id() == m_worker.get_id())
        return;
    const uint64_t call = m_handlerCalls;
    while (m_inHandler && m_handlerCalls == call)
        m_handlerDone.wait(m_mutex);
}

int64_t Pulsor::nextDueNs() const {
    Lock lock(m_mutex);
    return m_enabled.load() ? nextDue() : 0;
}

int64_t Pulsor::nextDue() const {
    const int64_t period = periodNs(m_intervalMs);
    if (!m_periodChanged)
        return m_lastDueNs + period;
    // One new period after the change, and never closer to the last tick than the shorter
    // period: that tick may have been raised ahead, after the change.
    return std::max(m_changedAtNs + period, m_lastDueNs + std::min(m_lastPeriodNs, period));
}

int Pulsor::lateTicks() const {
    Lock lock(m_mutex);
    return m_late;
}

void Pulsor::run() {
    // Ask for real-time scheduling so the wake-ups are punctual; without the right to it
    // the thread simply runs at normal priority.
    sched_param param{};
    param.sched_priority = rtpriority::kStepTimer;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);

    Lock lock(m_mutex);
    for (;;) {
        while (!m_quit && !m_enabled.load())
            m_wake.wait(m_mutex);
        if (m_quit)
            return;
        const uint64_t run = m_run.load();
        const uint64_t changes = m_changes;
        const int64_t period = periodNs(m_intervalMs);
        int64_t due = nextDue();
        const int64_t wakeAt = due - m_leadNs;
        // Woken early by any change (stop, new period, new lead), the deadline is worked out
        // again.
        while (!m_quit && m_changes == changes && monotonicNowNs() < wakeAt)
            m_wake.waitUntil(m_mutex, wakeAt);
        if (m_quit)
            return;
        if (m_changes != changes)
            continue;
        // Late: raised once, now, due a lead from now; the next tick follows one period
        // from it.
        const int64_t now = monotonicNowNs();
        const int64_t allowed =
            m_leadNs > 0 ? std::min<int64_t>(m_leadNs, kLateAfterWakeNs) : kWakeSlackNs;
        if (now - wakeAt > allowed) {
            due = now + m_leadNs;
            ++m_late;
        }
        m_lastDueNs = due;
        m_lastPeriodNs = period;
        m_periodChanged = false;
        // The count stops at its largest value (after 24 days of 1 ms ticks) rather than
        // overflowing.
        if (m_tickCount.load() < INT32_MAX)
            m_tickCount.fetch_add(1);
        TickHandler* handler = m_handler;
        if (!handler)
            continue;
        m_inHandler = true;
        ++m_handlerCalls;
        lock.unlock();
        handler->onTick({run, due, period});
        lock.lock();
        m_inHandler = false;
        m_handlerDone.notifyAll();
    }
}
