#pragma once

#include <array>
#include <atomic>
#include <cstddef>

/// A fixed-size queue between exactly one producer thread and one consumer thread that
/// never locks and never allocates, so a real-time audio thread can take from it while the
/// UI thread puts in. Which thread is the producer or the consumer may change only when the
/// other side is known to be idle (for example after the audio thread was joined).
template <typename T, std::size_t Capacity>
class SpscQueue {
    static_assert(Capacity >= 2 && (Capacity & (Capacity - 1)) == 0,
                  "the capacity must be a power of two");

public:
    /// Producer side. False when the queue is full; the item is then not taken.
    bool push(const T& item) {
        const std::size_t tail = m_tail.load(std::memory_order_relaxed);
        if (tail - m_head.load(std::memory_order_acquire) == Capacity)
            return false;
        m_items[tail & (Capacity - 1)] = item;
        m_tail.store(tail + 1, std::memory_order_release);
        return true;
    }

    /// Consumer side. False when the queue is empty.
    bool pop(T& item) {
        const std::size_t head = m_head.load(std::memory_order_relaxed);
        if (head == m_tail.load(std::memory_order_acquire))
            return false;
        item = m_items[head & (Capacity - 1)];
        m_head.store(head + 1, std::memory_order_release);
        return true;
    }

    /// Consumer side, or either side once the other is known to be idle: drops everything
    /// queued now.
    void clear() {
        m_head.store(m_tail.load(std::memory_order_acquire), std::memory_order_release);
    }

    static constexpr std::size_t capacity() { return Capacity; }

private:
    std::array<T, Capacity> m_items{};
    // Free-running counters; their difference is the fill level.
    alignas(64) std::atomic<std::size_t> m_head{0};
    alignas(64) std::atomic<std::size_t> m_tail{0};
};
