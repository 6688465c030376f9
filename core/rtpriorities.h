#pragma once

/// Real-time (SCHED_FIFO) priorities of the program's own threads. A thread asks for its
/// priority when it starts; without the right to real-time scheduling it runs at normal
/// priority instead.
namespace RtPriority {
/// The step clock's thread, which plays each step ahead of its due time.
constexpr int kStepClock = 40;
}  // namespace RtPriority
