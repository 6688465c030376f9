#pragma once

#include <cstddef>
#include <cstdint>

/// Where the step engine sends its messages: each one whole, with the time it is due.
///
/// The engine plays each step ahead of time, so a step's messages are handed over now and
/// leave at their due time. Several threads send to one output (the engine's for the steps,
/// the UI thread's for a panic); an implementation keeps each message whole and, on the
/// engine's real-time thread, never waits on a lock that does not lend the waiter's priority
/// to its holder.
class MessageOutput {
public:
    virtual ~MessageOutput() = default;

    /// Hands over one short MIDI message of `size` bytes (1..3) to leave at `dueNs`
    /// (CLOCK_MONOTONIC nanoseconds); 0, or a time already past, sends it at once.
    virtual void send(const uint8_t* bytes, std::size_t size, int64_t dueNs) = 0;
    /// Withdraws every message handed over that is due after `timeNs`; those due earlier
    /// still leave.
    virtual void withdrawAfter(int64_t timeNs) = 0;
    /// How long before its due time a message must be handed over to leave on time; 0 for an
    /// output that sends at once (which then gets each message at its due time).
    virtual int64_t leadNs() const = 0;
};
