#pragma once

#include <cstdint>

/// Where the step engine sends its notes: the MIDI output port component, written as the
/// port is (Status, Data1, Data2, then Action 7 sends the three bytes).
///
/// The engine plays each step ahead of time, so the messages of a step carry a due time: the
/// output hands them over now and they leave at that time. Several threads write to one
/// output (the engine's for the steps, the UI thread's for a panic), so a run of writes that
/// makes up messages is made holding the output's lock (it is BasicLockable); the lock is
/// only ever held for a few writes, never while a device opens or closes.
class NoteOutput {
public:
    virtual ~NoteOutput() = default;

    virtual void setStatus(int16_t v) = 0;
    virtual void setData1(int16_t v) = 0;
    virtual void setData2(int16_t v) = 0;
    virtual void setAction(int16_t code) = 0;

    /// Due time of the messages sent from now on, in CLOCK_MONOTONIC nanoseconds; 0 sends at
    /// once.
    virtual void setDueTimeNs(int64_t dueNs) = 0;
    /// Withdraws every message handed over that is due after `timeNs`; those due earlier
    /// still leave.
    virtual void withdrawAfter(int64_t timeNs) = 0;
    /// How long before its due time a message must be handed over to leave on time; 0 for an
    /// output that sends at once (which then gets each message at its due time).
    virtual int64_t leadNs() const = 0;

    virtual void lock() = 0;
    virtual void unlock() = 0;
};
