#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// Sends messages at their due times from a thread of its own, for MIDI systems that
/// deliver a message the moment it is handed over (the ALSA sequencer without a queue).
///
/// post() is called on one thread (the UI thread); the sink is called on the sender thread,
/// in due order (equal due times in posting order), never before the due time. The sender
/// sleeps to each absolute due time on CLOCK_MONOTONIC and asks for real-time priority
/// (without the right to it, it runs at normal priority).
class ScheduledSender {
public:
    /// Delivers one message; false with a reason when it could not.
    using Sink =
        std::function<bool(const unsigned char* bytes, std::size_t size, std::string& error)>;
    /// Told about a sink failure, on the sender thread.
    using FailureHandler = std::function<void(const std::string& error)>;

    /// How long before its due time a message should be posted: the sender's wake-up
    /// latency, with room to spare.
    static constexpr int64_t kLeadNs = 500'000;

    ScheduledSender(Sink sink, FailureHandler onFailure);
    /// Stops the thread; messages still waiting are dropped.
    ~ScheduledSender();
    ScheduledSender(const ScheduledSender&) = delete;
    ScheduledSender& operator=(const ScheduledSender&) = delete;

    /// Queues one message due at `dueNs` (CLOCK_MONOTONIC ns; 0 or past = at once).
    void post(const unsigned char* bytes, std::size_t size, int64_t dueNs);
    /// Drops every message still waiting for a due time after now; messages already due
    /// still leave.
    void cancelPending();
    /// Number of messages still waiting (for tests).
    std::size_t pending() const;

private:
    struct Message {
        int64_t dueNs;
        std::vector<unsigned char> bytes;
    };
    void run();

    Sink m_sink;
    FailureHandler m_onFailure;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Message> m_queue;  // in due order
    bool m_quit = false;
    std::thread m_thread;
};
