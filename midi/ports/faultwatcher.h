#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// How a backend's faults reach the user, and the one place that decides which are told.
///
/// A fault is one bit of a word. A real-time thread (a JACK process callback, the synth's
/// audio callback) only sets its bit: one atomic OR, no lock, no allocation, no system call,
/// no text. A watcher thread of the port's own looks at the word every kPollNs, asks the
/// backend for the fault's text and hands it to the report function. Callbacks that may make
/// a system call (JACK's notification thread) also wake the watcher at once.
///
/// What is told: each condition once, until the port is opened again (start()); a
/// condition declared once per run is told once for the life of the watcher, until the
/// backend forgets it (a cause that went away and may come back). A condition may silence
/// others when told (the ways a device can be lost are one loss to the user).
class FaultWatcher {
public:
    /// Reports a condition: its error code and text. Called on the watcher thread, or on the
    /// thread that calls tell().
    using Report = std::function<void(int16_t code, const std::string& text)>;
    /// The text of a raised fault, asked on the watcher thread.
    using Describe = std::function<std::string(uint32_t fault)>;
    /// Runs on the watcher thread at each look, before the fault word is read: for checks
    /// made over time (an audio thread that stopped calling back).
    using Poll = std::function<void()>;

    struct Condition {
        uint32_t fault = 0;  // one bit
        int16_t code = 0;    // the MidiError code it is reported with
        bool oncePerRun = false;
        uint32_t silences = 0;  // faults not told any more once this one is
    };

    /// How often the watcher looks at the fault word.
    static constexpr int64_t kPollNs = 50'000'000;

    FaultWatcher(std::vector<Condition> conditions, Report report);
    ~FaultWatcher();
    FaultWatcher(const FaultWatcher&) = delete;
    FaultWatcher& operator=(const FaultWatcher&) = delete;

    /// Any thread, real-time safe: marks `faults` raised. The watcher tells them within
    /// kPollNs.
    void raise(uint32_t faults) noexcept { m_raised.fetch_or(faults, std::memory_order_release); }
    /// Like raise(), and wakes the watcher at once (sem_post: async-signal-safe, but a system
    /// call). Not for real-time threads.
    void raiseAndWake(uint32_t faults) noexcept;
    /// Lowers `faults` again (a condition found over time that has ended): what depends on
    /// them goes on, and a condition already told is not told again until the next open.
    void clear(uint32_t faults) noexcept { m_raised.fetch_and(~faults, std::memory_order_release); }
    /// Whether any of `faults` is raised.
    bool raised(uint32_t faults) const noexcept {
        return (m_raised.load(std::memory_order_acquire) & faults) != 0;
    }

    /// At open (the thread that opens): the faults of the last open are forgotten, and so are
    /// the conditions told since, but for those told once per run; then the watcher starts.
    void start(Describe describe, Poll poll = {});
    /// At close: the watcher ends; faults raised from now on are not told. Waits for the
    /// watcher, which never blocks on anything but its own wake-up.
    void stop();
    /// Tells `fault`'s condition with `text` now, from a thread that may format text and
    /// report (never a real-time one), unless it has been told already.
    void tell(uint32_t fault, const std::string& text);
    /// Forgets that the once-per-run conditions among `faults` were told.
    void forget(uint32_t faults);

private:
    void run();
    // Marks `fault` told (with what it silences); false when it had been already.
    bool markTold(uint32_t fault, int16_t& code);

    const std::vector<Condition> m_conditions;
    const Report m_report;
    Describe m_describe;
    Poll m_poll;

    std::atomic<uint32_t> m_raised{0};
    std::mutex m_toldMutex;  // never taken on a real-time thread
    uint32_t m_told = 0;
    sem_t m_wake{};
    std::atomic<bool> m_quit{false};
    std::thread m_thread;
};
