#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "monotonicclock.h"
#include "pattern.h"
#include "pimutex.h"
#include "stepclock.h"

/// The periodic timer component. While Enabled it raises a tick once per Interval
/// milliseconds, on its own thread: the tick handler (the step engine) runs there, so no
/// step waits for the UI thread.
///
/// Ticks keep to absolute deadlines: each is due one period after the one before, so
/// periods never add up error. The thread sleeps to each deadline less the lead time and
/// then calls the handler with the tick's due time, so an output that schedules can send the
/// step's messages exactly on time although they are handed over earlier. When the lead is
/// longer than a period the whole run starts that much later, so that its first tick too
/// can be raised a lead ahead.
///
/// A new Interval counts from the moment it is written: the next tick is due one new period
/// after the change (never earlier), and never less than the shorter of the old and new
/// periods after the last tick, which may already have been raised ahead. Ticks then follow
/// one period apart. Of several changes between two ticks the first gives the moment and
/// the last the period, so that a tempo bar moved on and on never holds the ticks back. A
/// value that leaves the period as it was (0 and 1 are both 1 ms) changes nothing.
///
/// A late tick: when the thread could not raise a tick its lead ahead (the machine stalled,
/// the process was suspended, a handler took far too long, or a new tempo or a longer lead
/// put its wake-up in the past), that tick is raised once, late, due one lead after the
/// moment it is raised (the soonest an output can still send it on time), and the ticks after
/// it follow one period from it. Ticks missed meanwhile are neither raised in a burst nor
/// dropped from a run that goes on: the run simply resumes, later. A tick raised a little
/// after its wake-up time keeps its due time, so that the step grid does not drift: up to
/// kLateAfterWakeNs (the part of a lead that covers the thread's wake-up), or kWakeSlackNs
/// with no lead (an output that sends at once, whose every tick wakes at its due time).
///
/// Threads: any thread may call it; the handler may switch the timer off or change the lead
/// from its own tick. The timer's state is guarded by a lock with priority inheritance, held
/// for a few instructions at a time and never while the handler runs.
class Pulsor final : public StepClock {
public:
    /// Period before Interval is first written: the tempo bar's starting value, in ms.
    static constexpr int kInitialIntervalMs = kStartTempo;
    static constexpr int64_t kLateAfterWakeNs = 1'000'000;
    static constexpr int64_t kWakeSlackNs = 250'000;

    Pulsor();
    ~Pulsor() override;
    Pulsor(const Pulsor&) = delete;
    Pulsor& operator=(const Pulsor&) = delete;

    bool Enabled() const override { return m_enabled.load(); }
    void setEnabled(bool enabled) override;

    /// Period in milliseconds. 0 or less ticks at the shortest period, 1 ms.
    int Interval() const override;
    void setInterval(int ms) override;

    /// Ticks raised since the timer was made, less those taken back, up to INT32_MAX.
    int32_t TickCount() const override { return m_tickCount.load(); }
    void takeBack(int32_t ticks) override;

    /// How long before its due time each tick is raised (0 by default).
    void setLeadTime(std::chrono::nanoseconds lead) override;
    std::chrono::nanoseconds leadTime() const override;

    bool isCurrent(uint64_t run) const override;
    void setTickHandler(TickHandler* handler) override;
    int64_t nowNs() const override { return monotonicNowNs(); }
    int64_t nextDueNs() const override;

    /// Ticks raised late since the timer was made (see the class comment).
    int lateTicks() const;

private:
    void run();
    static int64_t periodNs(int ms);
    /// The due time of the next tick, before any lateness. Needs m_mutex.
    int64_t nextDue() const;

    std::atomic<bool> m_enabled{false};
    std::atomic<int32_t> m_tickCount{0};
    // The run the clock is in; bumped at every start and stop.
    std::atomic<uint64_t> m_run{0};

    // Shared with the worker, under m_mutex.
    mutable PiMutex m_mutex;
    PiCondition m_wake;
    PiCondition m_handlerDone;
    bool m_quit = false;
    // Bumped by every write the worker has to see while it waits for a deadline.
    uint64_t m_changes = 0;
    int m_intervalMs = kInitialIntervalMs;
    int64_t m_leadNs = 0;
    // The last tick raised (or, before the first tick of a run, the start of the run) and
    // the period it was raised at.
    int64_t m_lastDueNs = 0;
    int64_t m_lastPeriodNs = 0;
    // Interval was written since the last tick, at m_changedAtNs.
    bool m_periodChanged = false;
    int64_t m_changedAtNs = 0;
    TickHandler* m_handler = nullptr;
    bool m_inHandler = false;
    uint64_t m_handlerCalls = 0;
    int m_late = 0;
    std::thread m_worker;
};
