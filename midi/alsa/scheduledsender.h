#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

#include "midi/duequeue.h"

/// Sends messages at their due times from a thread of its own, for MIDI systems that
/// deliver a message the moment it is handed over (the ALSA sequencer without a queue).
///
/// post() and withdrawAfter() are called from one thread at a time (the thread that sends);
/// the sink is called on the sender thread, in due order (equal due times in posting
/// order), never before the due time. A message the sink refuses only sets a flag
/// (sinkFailed()): the sender thread never locks, allocates or formats text. The messages wait in a
/// DueQueue, so stop and panic mean here what they mean on every output. The sender sleeps to each
/// absolute due time on CLOCK_MONOTONIC and asks for real-time priority (without the right to it,
/// it runs at normal priority).
class ScheduledSender {
public:
    /// Delivers one message, on the sender thread; false when it could not.
    using Sink = std::function<bool(const ShortMessage& message)>;

    /// How long before its due time a message should be posted: the sender's wake-up
    /// latency, with room to spare.
    static constexpr int64_t kLeadNs = 500'000;
    static constexpr std::size_t kCapacity = 1024;

    explicit ScheduledSender(Sink sink);
    /// Stops the thread; messages still waiting are dropped.
    ~ScheduledSender();
    ScheduledSender(const ScheduledSender&) = delete;
    ScheduledSender& operator=(const ScheduledSender&) = delete;

    /// Queues one message due at `dueNs` (CLOCK_MONOTONIC ns; 0 or past = at once). False
    /// when kCapacity - 1 wait already.
    bool post(const ShortMessage& message, int64_t dueNs) {
        if (!m_queue.post(message, dueNs))
            return false;
        wake();
        return true;
    }
    /// Withdraws the messages posted so far that are due after `nowNs`.
    void withdrawAfter(int64_t nowNs);
    /// Number of messages still waiting, as the posting side sees it (for tests).
    std::size_t pending() const { return m_queue.waiting(); }
    /// Whether the sink has refused a message since the sender started.
    bool sinkFailed() const { return m_sinkFailed.load(std::memory_order_acquire); }

private:
    void run();
    void wake();

    Sink m_sink;
    std::atomic<bool> m_sinkFailed{false};
    DueQueue<kCapacity> m_queue;
    // Posted when something new is queued; `m_woken` keeps it from counting up one post per
    // message while the sender sleeps.
    sem_t m_wakeUp{};
    std::atomic<bool> m_woken{false};
    std::atomic<bool> m_quit{false};
    std::thread m_thread;
};
