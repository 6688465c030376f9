#pragma once

// A separate JACK client with one MIDI input port that keeps every event it receives,
// stamped with its frame time. Used by tests and benchmarks as the receiving synth.

#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct ReceivedEvent {
    uint32_t frame = 0;  // absolute frame time of the event
    std::vector<unsigned char> bytes;
    // The period it arrived in, as JACK's clock saw it: the frame offset within the period,
    // the period's first frame and its start and end on JACK's clock (µs), and JACK's clock
    // minus CLOCK_MONOTONIC (ns) read in that period.
    uint32_t offset = 0;
    uint32_t periodFrames = 0;
    uint32_t periodStartFrame = 0;
    uint64_t periodStartUs = 0;
    uint64_t periodEndUs = 0;
    int64_t jackMinusMonotonicNs = 0;
};

class JackReceiver {
public:
    /// Opens the client `clientName` on the running server (never starts one) and
    /// registers the input port "in". ok() tells whether it worked; error() why not.
    explicit JackReceiver(const std::string& clientName);
    ~JackReceiver();
    JackReceiver(const JackReceiver&) = delete;
    JackReceiver& operator=(const JackReceiver&) = delete;

    bool ok() const { return m_client != nullptr; }
    const std::string& error() const { return m_error; }
    /// Full port name, as other clients see it ("client:in").
    std::string portName() const;
    jack_nframes_t sampleRate() const;
    std::vector<ReceivedEvent> events() const;
    /// Waits until at least `count` events arrived or `timeoutMs` passed.
    bool waitForEvents(size_t count, int timeoutMs) const;
    void clear();
    /// Names of the ports on the server whose full name matches the regular expression.
    std::vector<std::string> portsMatching(const std::string& pattern) const;
    int xruns() const { return m_xruns.load(); }
    /// Removes or makes the connection from `source` to this client's port, as a patchbay
    /// would; true when JACK did it.
    bool disconnectFrom(const std::string& source) const;
    bool connectFrom(const std::string& source) const;
    /// The server's current frame time (estimated between periods).
    uint32_t frameTime() const;
    jack_nframes_t bufferSize() const;
    /// The CLOCK_MONOTONIC time (ns) at which JACK expects frame `frame`.
    int64_t monotonicNsOfFrame(uint32_t frame) const;
    /// Whether a client of that name is on the server.
    bool clientExists(const std::string& name) const;
    /// True once the server shut the client down.
    bool shutDown() const { return m_shutDown.load(); }

private:
    static int process(jack_nframes_t frames, void* arg);
    static int xrun(void* arg);
    static void shutdown(void* arg);

    jack_client_t* m_client = nullptr;
    jack_port_t* m_port = nullptr;
    std::string m_error;
    mutable std::mutex m_mutex;
    std::vector<ReceivedEvent> m_events;
    std::atomic<int> m_xruns{0};
    std::atomic<bool> m_shutDown{false};
};
