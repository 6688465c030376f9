#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "midi/shortmessage.h"
#include "midi/spscqueue.h"

/// A message and the CLOCK_MONOTONIC time (ns) at which it is to leave; 0 for at once.
struct TimedMessage {
    int64_t dueNs = 0;
    ShortMessage message;
};

/// The scheduler every output shares: messages wait here, in due order, until the thread
/// that sends them (a JACK process callback, the synth's audio callback, the ALSA sender)
/// takes the ones that are due.
///
/// Two sides, one thread each: the producer posts messages and withdraws them, the consumer
/// takes them. Which thread is which may change only while the other side is idle.
/// The consumer's side never locks, never allocates and never makes a system call; the room
/// for every message is made with the queue.
///
/// Order: by due time; messages due at once (0) come first; equal due times leave in the
/// order they were posted.
///
/// Withdraw: withdrawAfter(t) drops every message posted before it that is due after t;
/// messages due by t stay (they are late, not waiting), and so do messages posted after it.
/// It travels to the consumer between the posts, so it splits them exactly, and it always
/// takes effect, however full the queue is: posts leave room for it, and a withdraw that
/// follows another with nothing posted between would drop nothing more.
///
/// Room: at most kMaxWaiting messages wait at a time (posted and not yet taken or
/// withdrawn); a post beyond that is refused.
template <std::size_t Capacity>
class DueQueue {
    static_assert(Capacity >= 4 && (Capacity & (Capacity - 1)) == 0,
                  "the capacity must be a power of two");

public:
    static constexpr std::size_t kMaxWaiting = Capacity - 1;

    // ---- producer

    /// Queues `message`, due at `dueNs` (0 or less: at once). False when kMaxWaiting
    /// messages wait already; the message is then dropped.
    bool post(const ShortMessage& message, int64_t dueNs) {
        if (m_posted - m_finished.load(std::memory_order_acquire) >= kMaxWaiting)
            return false;
        Command c;
        c.withdraw = false;
        c.item.dueNs = dueNs > 0 ? dueNs : 0;
        c.item.message = message;
        // Cannot fail: the commands in flight are at most the waiting messages and one
        // withdraw between each two of them (see withdrawAfter), fewer than the ring holds.
        m_commands.push(c);
        ++m_posted;
        m_postedSinceWithdraw = true;
        return true;
    }

    /// Withdraws every message posted so far that is due after `nowNs`.
    void withdrawAfter(int64_t nowNs) {
        // With nothing posted since the last withdraw (or ever), this one would find only
        // messages that one already judged by an earlier, so stricter, time.
        if (!m_postedSinceWithdraw)
            return;
        Command c;
        c.withdraw = true;
        c.item.dueNs = nowNs;
        m_commands.push(c);
        m_postedSinceWithdraw = false;
    }

    /// Messages posted and not yet taken or withdrawn, as the producer sees it (a take or a
    /// withdraw the consumer has not reached yet still counts).
    std::size_t waiting() const {
        return static_cast<std::size_t>(m_posted - m_finished.load(std::memory_order_acquire));
    }

    // ---- consumer

    /// Hands the waiting messages due by `limitNs` (and those due at once) to `take`, in due
    /// order. `take(const TimedMessage&)` returns false to leave that message and the rest
    /// waiting (a full output buffer, a due frame beyond the period). Returns how many were
    /// taken.
    template <typename Take>
    std::size_t takeDue(int64_t limitNs, Take&& take) {
        collect();
        std::size_t taken = 0;
        while (m_count > 0) {
            const TimedMessage& m = at(0);
            if (m.dueNs > limitNs || !take(m))
                break;
            m_first = (m_first + 1) & (Capacity - 1);
            --m_count;
            ++taken;
        }
        finish(taken);
        return taken;
    }

    /// The due time of the earliest waiting message (0: at once); false when none waits.
    bool nextDue(int64_t& dueNs) {
        collect();
        if (m_count == 0)
            return false;
        dueNs = at(0).dueNs;
        return true;
    }

    // ---- either side, while the other is idle

    /// Drops everything: messages, withdraws, counts.
    void reset() {
        m_commands.clear();
        m_first = 0;
        m_count = 0;
        m_posted = 0;
        m_finished.store(0, std::memory_order_release);
        m_postedSinceWithdraw = false;
    }

private:
    struct Command {
        bool withdraw = false;
        TimedMessage item;  // withdraw: dueNs is the time after which messages go
    };

    TimedMessage& at(std::size_t i) { return m_pending[(m_first + i) & (Capacity - 1)]; }

    // Takes the posts and withdraws in the order the producer made them.
    void collect() {
        Command c;
        std::size_t dropped = 0;
        while (m_commands.pop(c)) {
            if (c.withdraw) {
                // The waiting messages are in due order, so the withdrawn ones are a tail.
                while (m_count > 0 && at(m_count - 1).dueNs > c.item.dueNs) {
                    --m_count;
                    ++dropped;
                }
                continue;
            }
            // Messages come almost always in due order, so the place is found from the back.
            std::size_t i = m_count;
            while (i > 0 && at(i - 1).dueNs > c.item.dueNs) {
                at(i) = at(i - 1);
                --i;
            }
            at(i) = c.item;
            ++m_count;
        }
        finish(dropped);
    }

    void finish(std::size_t n) {
        if (n > 0)
            m_finished.store(m_finished.load(std::memory_order_relaxed) + n,
                             std::memory_order_release);
    }

    // Twice the waiting messages: room for a withdraw between each two posts.
    SpscQueue<Command, 2 * Capacity> m_commands;

    // Producer's.
    uint64_t m_posted = 0;
    bool m_postedSinceWithdraw = false;
    // Consumer's: messages taken or withdrawn so far, read by the producer.
    alignas(64) std::atomic<uint64_t> m_finished{0};
    // Consumer's: the waiting messages in due order, a ring of m_count from m_first.
    std::array<TimedMessage, Capacity> m_pending{};
    std::size_t m_first = 0;
    std::size_t m_count = 0;
};
