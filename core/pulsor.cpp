#include "pulsor.h"

#include <pthread.h>
#include <sched.h>

#include "rtpriorities.h"

using Clock = std::chrono::steady_clock;

Pulsor::Pulsor() {
    m_worker = std::thread([this] { run(); });
}

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
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (enabled == m_enabled.load())
            return;
        // A new run: ticks of the old one still on their way are not played.
        m_run.fetch_add(1);
        m_enabled.store(enabled);
        // The first tick of a run is due one period after the start, or one lead after it
        // when the lead is longer (a short step on a JACK server with long periods): a tick
        // due sooner could not be raised its lead ahead, and its notes would come late.
        if (enabled) {
            const std::chrono::nanoseconds period = periodFor(m_intervalMs);
            m_lastDue =
                Clock::now() + (m_lead > period ? m_lead - period : std::chrono::nanoseconds(0));
        }
    }
    m_wake.notify_all();
}

bool Pulsor::isCurrent(uint64_t run) const {
    return m_enabled.load() && m_run.load() == run;
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

std::chrono::nanoseconds Pulsor::leadTime() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lead;
}

void Pulsor::setTickHandler(TickHandler* handler) {
    std::unique_lock<std::mutex> lock(m_mutex);
    // The handler may be in a tick right now (unless this is that tick's own thread).
    if (std::this_thread::get_id() != m_worker.get_id())
        m_handlerDone.wait(lock, [this] { return !m_inHandler; });
    m_handler = handler;
}

int Pulsor::droppedTicks() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}

void Pulsor::run() {
    // Ask for real-time scheduling so the wake-ups are punctual; without the right to it
    // the thread simply runs at normal priority.
    sched_param param{};
    param.sched_priority = rtpriority::kStepTimer;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);

    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_quit || m_enabled.load(); });
        if (m_quit)
            return;
        const uint64_t run = m_run.load();
        const Clock::time_point due = m_lastDue + periodFor(m_intervalMs);
        const Clock::time_point wakeAt = due - m_lead;
        // Wake early on any change (stop, new period, new lead) and recompute.
        const bool changed = m_wake.wait_until(lock, wakeAt, [&] {
            return m_quit || m_run.load() != run || due != m_lastDue + periodFor(m_intervalMs) ||
                   wakeAt != due - m_lead;
        });
        if (m_quit)
            return;
        if (changed)
            continue;
        m_lastDue = due;
        if (Clock::now() - due > kBacklogCover) {
            ++m_dropped;
            continue;
        }
        // The count stops at its largest value (after 24 days of 1 ms ticks) rather than
        // overflowing.
        if (m_tickCount.load() < INT32_MAX)
            m_tickCount.fetch_add(1);
        TickHandler* handler = m_handler;
        if (!handler)
            continue;
        m_inHandler = true;
        lock.unlock();
        handler->onTick(
            {run,
             std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count()});
        lock.lock();
        m_inHandler = false;
        m_handlerDone.notify_all();
    }
}
