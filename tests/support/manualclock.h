#pragma once

// A step clock that never ticks by itself: a test raises each tick, on its own thread, as
// the timer's thread would, and sets the time the sequencer sees.

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
    void takeBack(int32_t ticks) override { m_count -= ticks; }
    void setLeadTime(std::chrono::nanoseconds lead) override { m_lead = lead; }
    std::chrono::nanoseconds leadTime() const override { return m_lead; }
    bool isCurrent(uint64_t run) const override { return m_enabled && run == m_run; }
    void setTickHandler(TickHandler* handler) override { m_handler = handler; }
    int64_t nowNs() const override { return m_nowNs; }
    int64_t nextDueNs() const override {
        return m_enabled ? m_lastDueNs + int64_t(m_interval < 1 ? 1 : m_interval) * 1'000'000 : 0;
    }

    /// Raises a tick of the current run due at `dueNs`, one lead ahead of it: the time is
    /// then its due time less the lead.
    void raise(int64_t dueNs) { raiseOf(m_run, dueNs); }
    /// Raises a tick of `run` (an earlier one: a tick that was on its way at a stop).
    void raiseOf(uint64_t run, int64_t dueNs) {
        m_nowNs = dueNs - m_lead.count();
        ++m_count;
        if (m_handler)
            m_handler->onTick({run, dueNs, int64_t(m_interval < 1 ? 1 : m_interval) * 1'000'000});
    }
    /// Raises the next tick, one Interval after the last, and lets its due time pass.
    void tick() {
        m_lastDueNs += int64_t(m_interval < 1 ? 1 : m_interval) * 1'000'000;
        raise(m_lastDueNs);
        m_nowNs = m_lastDueNs;
    }
    void setNow(int64_t nowNs) { m_nowNs = nowNs; }
    uint64_t run() const { return m_run; }
    int64_t lastDueNs() const { return m_lastDueNs; }

private:
    bool m_enabled = false;
    int m_interval = 100;
    int32_t m_count = 0;
    uint64_t m_run = 0;
    int64_t m_nowNs = 0;
    int64_t m_lastDueNs = 0;
    std::chrono::nanoseconds m_lead{0};
    TickHandler* m_handler = nullptr;
};
