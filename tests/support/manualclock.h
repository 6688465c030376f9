#pragma once

// A step clock that never ticks by itself: a test raises each tick, on its own thread, as
// the timer's thread would.

#include "core/stepclock.h"

class ManualClock final : public StepClock {
public:
    bool Enabled() const override { return m_enabled; }
    void setEnabled(bool enabled) override {
        if (enabled == m_enabled)
            return;
        m_enabled = enabled;
        ++m_run;
    }
    int Interval() const override { return m_interval; }
    void setInterval(int ms) override { m_interval = ms; }
    int32_t TickCount() const override { return m_count; }
    void setLeadTime(std::chrono::nanoseconds lead) override { m_lead = lead; }
    std::chrono::nanoseconds leadTime() const override { return m_lead; }
    bool isCurrent(uint64_t run) const override { return m_enabled && run == m_run; }
    void setTickHandler(TickHandler* handler) override { m_handler = handler; }

    /// Raises one tick of the current run, due at `dueNs`, whether or not the clock is on.
    void tick(int64_t dueNs) { tickOf(m_run, dueNs); }
    /// Raises a tick of `run` (an earlier one: a tick that was on its way at a stop).
    void tickOf(uint64_t run, int64_t dueNs) {
        ++m_count;
        if (m_handler)
            m_handler->onTick({run, dueNs});
    }
    uint64_t run() const { return m_run; }

private:
    bool m_enabled = false;
    int m_interval = 100;
    int32_t m_count = 0;
    uint64_t m_run = 0;
    std::chrono::nanoseconds m_lead{0};
    TickHandler* m_handler = nullptr;
};
