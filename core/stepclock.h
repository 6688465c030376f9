#pragma once

#include <chrono>
#include <cstdint>

/// One tick of the step clock: which run of the clock it belongs to (a new run starts at
/// every start and stop), when the step it plays is due, in CLOCK_MONOTONIC nanoseconds,
/// and the period it was raised at: the next tick is due that much later unless the period
/// changes.
struct StepTick {
    uint64_t run = 0;
    int64_t dueNs = 0;
    int64_t periodNs = 0;
};

/// Receives the step clock's ticks, on the clock's own thread.
class TickHandler {
public:
    virtual ~TickHandler() = default;
    virtual void onTick(const StepTick& tick) = 0;
};

/// The periodic timer as the step engine uses it: Enabled, Interval, TickCount, and ticks
/// raised on the clock's own thread one lead ahead of each due time.
///
/// Any thread may call it, the clock's own real-time thread included: nothing here waits on
/// a lock that does not lend the waiter's priority to its holder.
class StepClock {
public:
    virtual ~StepClock() = default;
    virtual bool Enabled() const = 0;
    /// Switching on starts a new run; switching off ends it: a tick of it that has not been
    /// handled yet finds isCurrent() false.
    virtual void setEnabled(bool enabled) = 0;
    virtual int Interval() const = 0;
    /// The period in milliseconds, from now on: the next tick comes one new period after
    /// the change (never before), and never closer to the last one than the shorter of
    /// the two periods.
    virtual void setInterval(int ms) = 0;
    /// Ticks counted since the clock was made.
    virtual int32_t TickCount() const = 0;
    /// Takes back `ticks` ticks from the count: raised ahead of their due time, they were
    /// never heard (playback stopped before them).
    virtual void takeBack(int32_t ticks) = 0;
    /// How long before its due time each tick is raised.
    virtual void setLeadTime(std::chrono::nanoseconds lead) = 0;
    virtual std::chrono::nanoseconds leadTime() const = 0;
    /// Whether a tick of `run` should still be played: the clock is on and has not been
    /// stopped (or stopped and started) since.
    virtual bool isCurrent(uint64_t run) const = 0;
    /// Installs the handler of the ticks; null removes it. Removing waits for a tick being
    /// handled to end, so afterwards the handler is never called again.
    virtual void setTickHandler(TickHandler* handler) = 0;
    /// The time on the clock the due times are given on (CLOCK_MONOTONIC ns).
    virtual int64_t nowNs() const = 0;
    /// When the next tick is due; 0 while the clock is off.
    virtual int64_t nextDueNs() const = 0;
};
