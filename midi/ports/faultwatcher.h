#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// The one place where a port's faults become reports, and the one place that decides which
/// are told. Each port component owns one; everything that goes wrong on any thread, in the
/// port or in the MIDI system it has open, comes here.
///
/// A condition is an Error code. A real-time thread (the step engine handing a message over,
/// a JACK process callback, the synth's audio callback, the ALSA sender) only raises it: one
/// atomic OR, no lock, no allocation, no system call, no text. The watcher's thread looks
/// every kPollNs: it runs the poll (which collects what the open system's own threads
/// flagged, and makes the checks that take time to show, such as an audio thread that
/// stopped calling back), asks for the text of each raised condition and reports it. A thread
/// that has the text at hand and may format it (the UI thread opening a device or listing
/// the devices) tells the condition at once instead.
///
/// The rule: each condition is told once, until the port is opened again (rearm()). A
/// lasting condition is told once until forget() says its cause went away, whatever opens in
/// between. A condition may silence others when it is told (a port closed by a loss is met
/// again and again afterwards: that is the loss, told already).
class FaultWatcher {
public:
    /// Reports a condition: its code and text. Called on the watcher's thread or on the
    /// thread that tells or looks.
    using Report = std::function<void(int16_t code, const std::string& text)>;
    /// The text of a raised condition, asked where it is reported.
    using Describe = std::function<std::string(int16_t code)>;
    /// Runs at each look, before the raised conditions are read.
    using Poll = std::function<void()>;

    struct Condition {
        int16_t code = 0;  // 0..31
        bool lasting = false;
        std::vector<int16_t> silences = {};
    };

    /// How often the watcher looks: a fault is told within a tenth of a second, and an open
    /// port costs ten wake-ups a second, whether it plays or not.
    static constexpr int64_t kPollNs = 100'000'000;

    FaultWatcher(std::vector<Condition> conditions, Describe describe, Poll poll, Report report);
    ~FaultWatcher();
    FaultWatcher(const FaultWatcher&) = delete;
    FaultWatcher& operator=(const FaultWatcher&) = delete;

    /// Starts the watcher's thread. Until then only what is told, or found by look(), is
    /// reported.
    void start();
    /// Ends the watcher's thread; waits for a look in progress.
    void stop();

    /// Any thread, real-time safe: marks `code` raised. It is told within kPollNs.
    void raise(int16_t code) noexcept { m_raised.fetch_or(bit(code), std::memory_order_release); }
    /// Tells `code` with `text` now, unless it is told already. Not on a real-time thread.
    void tell(int16_t code, const std::string& text);
    /// Looks once now, on the calling thread, as the watcher does: for what has been raised
    /// and not told yet when what the poll looks at is about to go (a device being closed).
    /// Not on a real-time thread.
    void look();
    /// Runs `change` while no look is in progress: for what the describe and poll functions
    /// read (the device the port has open).
    void betweenLooks(const std::function<void()>& change);

    /// At open: raised conditions are dropped, and those told may be told again, but for
    /// lasting ones.
    void rearm();
    /// The cause of lasting condition `code` went away: when it comes back it is told again.
    void forget(int16_t code);

private:
    static constexpr uint32_t bit(int16_t code) { return 1u << static_cast<unsigned>(code); }
    void run();
    // Marks `c` told, with what it silences; false when it was told already.
    bool markTold(const Condition& c);
    const Condition* find(int16_t code) const;

    const std::vector<Condition> m_conditions;
    const Describe m_describe;
    const Poll m_poll;
    const Report m_report;

    std::atomic<uint32_t> m_raised{0};
    std::mutex m_toldMutex;  // never taken on a real-time thread
    uint32_t m_told = 0;
    std::mutex m_lookMutex;  // held for a whole look
    std::mutex m_quitMutex;
    std::condition_variable m_quitChanged;
    bool m_quit = false;
    std::thread m_thread;
};
