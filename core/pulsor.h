#pragma once

#include <QObject>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

/// The periodic timer component. While Enabled it raises Tick once per Interval
/// milliseconds, on the thread that owns it (the UI thread).
///
/// Ticks keep to absolute deadlines: tick k of a run is due k periods after Enabled was set
/// (a period change applies from the next deadline on), so periods never add up error.
/// A worker thread sleeps to each deadline minus the lead time and posts the tick; the
/// worker never runs a handler itself. Each Tick carries its due time (dueTimeNs), so an
/// output that schedules can send the step's messages exactly on time even though the
/// handler runs a little earlier. A UI thread that falls further behind than the lead
/// time loses ticks instead of piling them up: like a classic timer's, a tick that comes
/// due while too many are still waiting is not raised.
class Pulsor : public QObject {
    Q_OBJECT
public:
    /// Period before Interval is first written: the tempo bar's starting value, in ms.
    static constexpr int kInitialIntervalMs = 100;
    /// How far behind the UI thread may fall before ticks are dropped (when the lead time
    /// is shorter).
    static constexpr std::chrono::nanoseconds kBacklogCover = std::chrono::milliseconds(50);

    explicit Pulsor(QObject* parent = nullptr);
    ~Pulsor() override;

    bool Enabled() const { return m_enabled; }
    void setEnabled(bool enabled);

    /// Period in milliseconds. 0 or less ticks at the shortest period, 1 ms.
    int Interval() const;
    void setInterval(int ms);

    /// Ticks raised since the program started, up to INT32_MAX.
    int32_t TickCount() const { return m_tickCount; }

    /// How long before its due time each Tick is raised (0 by default).
    void setLeadTime(std::chrono::nanoseconds lead);
    std::chrono::nanoseconds leadTime() const;

    /// How late the UI thread may come to a posted tick (busy with other handlers, a
    /// repaint) and still hand the step over in time. Measured with the window doing 3 ms of
    /// widget work every 5 ms, a tick waited up to about 7 ms (it can sit behind two slices
    /// of work); 8 ms covers that, and an edit made in those last milliseconds before a step
    /// is heard one step later, which nobody can tell.
    static constexpr std::chrono::nanoseconds kUiStallCover = std::chrono::milliseconds(8);
    /// The lead time for an output that must have a message `outputLeadNs` before its due
    /// time: that plus kUiStallCover. An output that sends at once (0) gets no lead, since
    /// a tick raised early would then sound early.
    static std::chrono::nanoseconds leadFor(int64_t outputLeadNs);

    /// Due time of the tick being handled, in CLOCK_MONOTONIC nanoseconds (the clock of
    /// std::chrono::steady_clock); 0 outside a Tick handler.
    int64_t dueTimeNs() const { return m_dueNs; }

    /// Ticks not raised because the UI thread was too far behind (see run()).
    int droppedTicks() const;

signals:
    void Tick();

private:
    void run();
    void deliver(uint64_t generation, int64_t dueNs);
    /// How many posted ticks may wait for the UI thread; needs m_mutex.
    int maxPending() const;
    static std::chrono::nanoseconds periodFor(int ms);

    // UI-thread state.
    bool m_enabled = false;
    int32_t m_tickCount = 0;
    int64_t m_dueNs = 0;

    // Shared with the worker, under m_mutex.
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_running = false;  // worker should produce ticks
    bool m_quit = false;
    uint64_t m_generation = 0;  // bumped at every start and stop; stale posted ticks are dropped
    int m_intervalMs = kInitialIntervalMs;
    std::chrono::nanoseconds m_lead{0};
    std::chrono::steady_clock::time_point m_lastDue;
    int m_pending = 0;  // ticks posted and not yet taken by the UI thread
    int m_dropped = 0;
    std::thread m_worker;
};
