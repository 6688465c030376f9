#pragma once

// The receiving JACK client of the tests and the timing benchmark: one MIDI input port
// whose events are stamped with their frame and with the times JACK's clock gives that
// frame, and (when asked for) one audio input port that records what reaches it.
//
// Its process callback takes no lock and allocates nothing: the room for events and audio
// is made when the client opens and published through atomic counters, so the receiver
// never disturbs what it measures and can be used from a test while a sender plays into it.

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ReceivedEvent {
    /// Longest message kept; the program sends nothing longer.
    static constexpr std::size_t kMaxBytes = 3;

    uint32_t frame = 0;  // absolute frame time of the event
    // When JACK's clock of the period it arrived in puts that frame, on CLOCK_MONOTONIC (ns):
    // the same reading a sample-accurate sender maps its due times with.
    int64_t clockNs = 0;
    uint8_t size = 0;  // bytes kept in `bytes` (a longer message is cut)
    std::array<uint8_t, kMaxBytes> bytes{};
    // The period it arrived in, as JACK's clock saw it: the frame offset within the period,
    // the period's length and first frame, its start and end on JACK's clock (µs), and JACK's
    // clock minus CLOCK_MONOTONIC (ns) read in that period.
    uint32_t offset = 0;
    uint32_t periodFrames = 0;
    uint32_t periodStartFrame = 0;
    uint64_t periodStartUs = 0;
    uint64_t periodEndUs = 0;
    int64_t jackMinusMonotonicNs = 0;
};

/// A process cycle that did not follow on from the one before: it did not start on the frame
/// where that one ended (the server skipped time), or it is of another length (the period
/// changed), or its process call came off its time (see offTimeCycles()). Times are
/// CLOCK_MONOTONIC (ns), 0 when the server gave no clock.
struct CycleBreak {
    uint32_t frame = 0;  // first frame of the cycle after the break
    uint32_t framesBefore = 0;
    uint32_t framesAfter = 0;
    // Skipped or resized: where the cycle before ended and where this one began, by JACK's
    // clock. Off time: the earlier and the later of this one's start by JACK's clock and
    // its process call.
    int64_t fromNs = 0;
    int64_t toNs = 0;
    bool offTime = false;
};

/// True when the JACK library this process runs on is PipeWire's (as `pw-jack` loads it),
/// not jackd2's.
bool jackIsPipeWire();

class JackReceiver {
public:
    /// Opens the client `clientName` on the running server (never starts one) with the MIDI
    /// input "in", room for `maxEvents` events and, when `maxAudioFrames` > 0, the audio
    /// input "audio_in" with room for that many frames. ok() tells whether it worked;
    /// error() why not.
    explicit JackReceiver(const std::string& clientName, std::size_t maxEvents = 1u << 16,
                          std::size_t maxAudioFrames = 0);
    ~JackReceiver();
    JackReceiver(const JackReceiver&) = delete;
    JackReceiver& operator=(const JackReceiver&) = delete;

    bool ok() const { return m_client != nullptr; }
    const std::string& error() const { return m_error; }
    /// Full name of the MIDI input, as other clients see it ("client:in").
    std::string portName() const;
    /// Full name of the audio input; empty when none was asked for.
    std::string audioPortName() const;
    jack_nframes_t sampleRate() const;
    jack_nframes_t bufferSize() const;

    /// Events received since the client opened or clear() was last called, in arrival order.
    std::vector<ReceivedEvent> events() const;
    /// Waits until at least `count` events arrived since clear() or `timeoutMs` passed.
    bool waitForEvents(std::size_t count, int timeoutMs) const;
    /// Forgets what was received so far (events, xrun frames, cycle breaks, drops). Safe
    /// while a sender plays into the client: what arrives after the call is kept.
    void clear();
    /// Events that did not fit since clear().
    uint64_t dropped() const;

    /// Starts recording the audio input afresh (earlier audio is dropped), or stops it.
    void recordAudio(bool on);
    /// Audio recorded since recording started, and the frame time of its first sample.
    std::vector<float> audio(uint32_t& firstFrame) const;

    /// Xruns the server reported since the client opened.
    int xruns() const { return m_xruns.load(); }
    /// The frame times at which the xruns since clear() were reported (a little after they
    /// happened).
    std::vector<uint32_t> xrunFrames() const;

    /// Cycles that did not start where the one before ended, since the client opened.
    /// PipeWire's JACK skips time this way when its driver falls behind or the quantum
    /// changes, and reports no xrun for it.
    int skippedCycles() const { return m_skipped.load(); }
    /// Cycles whose process call came more than a period after their start by JACK's clock
    /// (the graph stalled: PipeWire may then lose or repeat what a sender wrote in the cycles
    /// around) or more than 0.3 ms before it (JACK's clock filter had not caught up with the
    /// wake-ups: a sender that trusts it may miss the cycle), or that had no time at all,
    /// since the client opened.
    int offTimeCycles() const { return m_offTime.load(); }
    /// Time the server lost since the client opened: xruns reported plus cycles skipped. A
    /// measurement during which this changed is made again.
    int missedCycles() const { return xruns() + skippedCycles(); }
    /// The breaks in the run of cycles since clear(): skipped time, period changes, stalls.
    std::vector<CycleBreak> cycleBreaks() const;

    /// Process cycles this client has run so far.
    uint64_t cycles() const { return m_cycles.load(std::memory_order_relaxed); }
    /// Waits until a process cycle has started after CLOCK_MONOTONIC time `monotonicNs`
    /// ended (so everything a sender wrote for frames up to that time has arrived), or
    /// `timeoutMs` passed.
    bool waitForPeriodAfter(int64_t monotonicNs, int timeoutMs) const;

    /// Names of the ports on the server whose full name matches the regular expression.
    std::vector<std::string> portsMatching(const std::string& pattern) const;
    /// Removes or makes the connection from `source` to the MIDI input, as a patchbay
    /// would; true when JACK did it.
    bool disconnectFrom(const std::string& source) const;
    bool connectFrom(const std::string& source) const;
    /// Connects the audio output `source` to the audio input.
    bool connectAudioFrom(const std::string& source) const;
    /// Asks the server for periods of `frames` frames, as jack_bufsize does; true when it
    /// took the request (the change follows at a cycle boundary).
    bool setBufferSize(jack_nframes_t frames) const;
    /// The server's current frame time (estimated between periods).
    uint32_t frameTime() const;
    /// The CLOCK_MONOTONIC time (ns) at which JACK expects frame `frame`.
    int64_t monotonicNsOfFrame(uint32_t frame) const;
    /// Whether a client of that name is on the server, as a client opened now sees it.
    bool clientExists(const std::string& name) const;
    /// True once the server shut the client down.
    bool shutDown() const { return m_shutDown.load(); }

private:
    static int process(jack_nframes_t frames, void* arg);
    void receive(jack_nframes_t frames);
    void recordPeriod(jack_nframes_t frames, jack_nframes_t start);
    void addBreak(jack_nframes_t start, jack_nframes_t frames, int64_t fromNs, int64_t toNs,
                  bool offTime);
    static int xrun(void* arg);
    static void shutdown(void* arg);

    jack_client_t* m_client = nullptr;
    jack_port_t* m_midi = nullptr;
    jack_port_t* m_audioIn = nullptr;
    std::string m_error;

    // Written by the process thread only; `m_eventCount` publishes them.
    std::vector<ReceivedEvent> m_events;
    std::atomic<std::size_t> m_eventCount{0};
    std::atomic<uint64_t> m_dropped{0};
    // Where the reader's view starts (clear() moves them up instead of touching the writer's).
    std::atomic<std::size_t> m_eventsFrom{0};
    std::atomic<uint64_t> m_droppedBefore{0};
    std::atomic<std::size_t> m_xrunsFrom{0};

    // Audio: recordAudio() asks for a new recording by bumping m_audioWanted; the process
    // thread starts it (count 0) and answers by setting m_audioStarted to the same value.
    std::vector<float> m_audio;
    std::atomic<std::size_t> m_audioCount{0};
    std::atomic<uint32_t> m_audioFirstFrame{0};
    std::atomic<uint32_t> m_audioWanted{0};
    std::atomic<uint32_t> m_audioStarted{0};
    std::atomic<bool> m_recordAudio{false};

    std::atomic<uint64_t> m_cycles{0};
    std::atomic<int64_t> m_lastCycleStartNs{0};  // CLOCK_MONOTONIC, when the last cycle began
    std::atomic<int> m_xruns{0};
    std::array<uint32_t, 4096> m_xrunFrames{};
    std::atomic<std::size_t> m_xrunCount{0};
    std::atomic<bool> m_shutDown{false};

    // Owned by the process thread: where the last cycle ended.
    bool m_hadCycle = false;
    uint32_t m_lastEndFrame = 0;
    uint32_t m_lastFrames = 0;
    uint64_t m_lastEndUs = 0;
    std::atomic<int> m_skipped{0};
    std::atomic<int> m_offTime{0};
    std::vector<CycleBreak> m_breaks;
    std::atomic<std::size_t> m_breakCount{0};
    std::atomic<std::size_t> m_breaksFrom{0};
};
