#pragma once

#include <chrono>
#include <cstdint>

/// One tick of the step clock: which run of the clock it belongs to (a new run starts at
/// every start and stop) and when the step it plays is due, in CLOCK_MONOTONIC nanoseconds.
struct StepTick {
    uint64_t run = 0;
    int64_t dueNs = 0;
};

/// Receives the step clock's ticks, on the clock's own thread.
class TickHandler {
public:
    virtual ~TickHandler() = default;
    virtual void onTick(const StepTick& tick) = 0;
};

/// The periodic timer as the step engine uses it: Enabled, Interval, TickCount, and ticks
/// raised on the clock's own thread ahead of each due time by the lead time.
class StepClock {
public:
    virtual ~StepClock() = default;
    virtual bool Enabled() const = 0;
    /// Any thread. Switching off ends the current run: a tick of it that has not been
    /// handled yet finds isCurrent() false.
    virtual void setEnabled(bool enabled) = 0;
    virtual int Interval() const = 0;
    virtual void setInterval(int ms) = 0;
    /// Ticks raised since the clock was made.
    virtual int32_t TickCount() const = 0;
    /// How long before its due time each tick is raised.
    virtual void setLeadTime(std::chrono::nanoseconds lead) = 0;
    virtual std::chrono::nanoseconds leadTime() const = 0;
    /// Whether a tick of `run` should still be played: the clock is on and has not been
    /// stopped (or stopped and started) since.
    virtual bool isCurrent(uint64_t run) const = 0;
    /// Installs the handler of the ticks; null removes it. Removing waits for a tick being
    /// handled to end, so afterwards the handler is never called again.
    virtual void setTickHandler(TickHandler* handler) = 0;
};
