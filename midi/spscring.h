#pragma once

#include <array>
#include <atomic>
#include <cstddef>

/// A fixed-size queue between exactly one producer thread and one consumer thread, with no
/// locks and no allocation after construction, so a real-time thread (a JACK process
/// callback) can be either end. Capacity is a power of two; one slot stays unused to tell
/// full from empty, so it holds Capacity - 1 items.
template <typename T, std::size_t Capacity>
class SpscRing {
    static_assert(Capacity >= 2 && (Capacity & (Capacity - 1)) == 0,
                  "capacity must be a power of two");

public:
    /// Producer side. False when the ring is full (the item is not stored).
    bool push(const T& item) {
        const std::size_t head = m_head.load(std::memory_order_relaxed);
        const std::size_t next = (head + 1) & kMask;
        if (next == m_tail.load(std::memory_order_acquire))
            return false;
        m_items[head] = item;
        m_head.store(next, std::memory_order_release);
        return true;
    }

    /// Consumer side. False when the ring is empty.
    bool pop(T& item) {
        const std::size_t tail = m_tail.load(std::memory_order_relaxed);
        if (tail == m_head.load(std::memory_order_acquire))
            return false;
        item = m_items[tail];
        m_tail.store((tail + 1) & kMask, std::memory_order_release);
        return true;
    }

    /// Consumer side: drops everything queued now.
    void clear() {
        m_tail.store(m_head.load(std::memory_order_acquire), std::memory_order_release);
    }

private:
    static constexpr std::size_t kMask = Capacity - 1;
    std::array<T, Capacity> m_items{};
    // Apart, so the producer's and the consumer's index do not share a cache line.
    alignas(64) std::atomic<std::size_t> m_head{0};
    alignas(64) std::atomic<std::size_t> m_tail{0};
};
