#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "pattern.h"
#include "stepclock.h"

/// The periodic timer component. While Enabled it raises a tick once per Interval
/// milliseconds, on its own thread: the tick handler (the step engine) runs there, so no
/// step waits for the UI thread.
///
/// Ticks keep to absolute deadlines: tick k of a run is due k periods after Enabled was set
/// (a period change applies from the last deadline on), so periods never add up error; when
/// the lead is longer than a period the whole run starts that much later, so that its first
/// tick too can be raised a lead ahead. The
/// thread sleeps to each deadline less the lead time and then calls the handler with the
/// tick's due time, so an output that schedules can send the step's messages exactly on
/// time although they are handed over earlier. A tick that comes more than kBacklogCover
/// after its due time (the thread was held up: a machine stalled, a handler that took far
/// too long) is not raised: like a classic timer's, missed ticks are dropped rather than
/// played in a burst.
class Pulsor final : public StepClock {
public:
    /// Period before Interval is first written: the tempo bar's starting value, in ms.
    static constexpr int kInitialIntervalMs = kStartTempo;
    /// How late a tick may still be raised.
    static constexpr std::chrono::nanoseconds kBacklogCover = std::chrono::milliseconds(50);

    Pulsor();
    ~Pulsor() override;
    Pulsor(const Pulsor&) = delete;
    Pulsor& operator=(const Pulsor&) = delete;

    bool Enabled() const override { return m_enabled.load(); }
    void setEnabled(bool enabled) override;

    /// Period in milliseconds. 0 or less ticks at the shortest period, 1 ms.
    int Interval() const override;
    void setInterval(int ms) override;

    /// Ticks raised since the timer was made, up to INT32_MAX.
    int32_t TickCount() const override { return m_tickCount.load(); }

    /// How long before its due time each tick is raised (0 by default).
    void setLeadTime(std::chrono::nanoseconds lead) override;
    std::chrono::nanoseconds leadTime() const override;

    bool isCurrent(uint64_t run) const override;
    void setTickHandler(TickHandler* handler) override;

    /// Ticks not raised because they came too late (see the class comment).
    int droppedTicks() const;

private:
    void run();
    static std::chrono::nanoseconds periodFor(int ms);

    std::atomic<bool> m_enabled{false};
    std::atomic<int32_t> m_tickCount{0};
    // The run the clock is in; bumped at every start and stop.
    std::atomic<uint64_t> m_run{0};

    // Shared with the worker, under m_mutex.
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_handlerDone;
    bool m_quit = false;
    int m_intervalMs = kInitialIntervalMs;
    std::chrono::nanoseconds m_lead{0};
    std::chrono::steady_clock::time_point m_lastDue;
    TickHandler* m_handler = nullptr;
    bool m_inHandler = false;
    int m_dropped = 0;
    std::thread m_worker;
};
