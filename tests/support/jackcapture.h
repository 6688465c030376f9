#pragma once

// A separate JACK client with two audio input ports that records what reaches them, with
// the CLOCK_MONOTONIC time of each process cycle. Used by tests and benchmarks to hear the
// built-in synth on a JACK server.

#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class JackCapture {
public:
    /// Opens the client `clientName` on the running server (never starts one) and registers
    /// the inputs "in_l" and "in_r". ok() tells whether it worked; error() why not.
    explicit JackCapture(const std::string& clientName);
    ~JackCapture();
    JackCapture(const JackCapture&) = delete;
    JackCapture& operator=(const JackCapture&) = delete;

    bool ok() const { return m_client != nullptr; }
    const std::string& error() const { return m_error; }
    jack_nframes_t sampleRate() const;
    /// Connects the output port `source` ("client:port") to input `channel` (0 left, 1 right).
    bool connectFrom(const std::string& source, int channel);
    /// Full names of the server's audio output ports whose names match the regular
    /// expression `pattern`.
    std::vector<std::string> audioOutputs(const std::string& pattern) const;
    /// What the port `port` ("client:port") is connected to, sorted.
    std::vector<std::string> connectionsOf(const std::string& port) const;
    /// Removes the connection from `source` to `destination`, as a patchbay would.
    bool disconnect(const std::string& source, const std::string& destination) const;

    /// Starts recording `frames` frames from the next cycle on; earlier recordings are
    /// dropped. Call only while no recording runs (before or after waitFull).
    void start(std::size_t frames);
    /// Waits until the recording is complete or `timeoutMs` passed.
    bool waitFull(int timeoutMs) const;

    /// The recorded channels.
    const std::vector<float>& left() const { return m_left; }
    const std::vector<float>& right() const { return m_right; }
    /// CLOCK_MONOTONIC time (ns) at which recorded frame `frame` was produced. Process
    /// cycles start late by a varying scheduling delay, never early, so each frame is timed
    /// by the earliest of the cycles around it.
    int64_t frameTimeNs(std::size_t frame) const;
    /// The recorded frame produced at `ns` (the inverse of frameTimeNs).
    long frameAt(int64_t ns) const;
    int xruns() const { return m_xruns.load(); }
    /// Xruns reported plus cycles that did not start where the one before ended (PipeWire's
    /// JACK skips time that way without an xrun report): anything that cost the server time.
    int missedCycles() const { return m_xruns.load() + m_skipped.load(); }

private:
    static int process(jack_nframes_t frames, void* arg);
    void record(jack_nframes_t frames);
    static int xrun(void* arg);
    double nsPerFrame() const;
    double originNear(std::size_t cycle) const;

    struct Cycle {
        std::size_t firstFrame;
        int64_t timeNs;
    };

    jack_client_t* m_client = nullptr;
    jack_port_t* m_ports[2] = {nullptr, nullptr};
    std::string m_error;
    std::vector<float> m_left, m_right;
    std::vector<Cycle> m_cycles;
    std::size_t m_wanted = 0;
    std::atomic<std::size_t> m_written{0};
    std::atomic<std::size_t> m_cycleCount{0};
    std::atomic<bool> m_recording{false};
    std::atomic<bool> m_inProcess{false};
    std::atomic<int> m_xruns{0};
    std::atomic<int> m_skipped{0};
    // Owned by the process thread: the frame the last cycle ended on (0: none yet).
    jack_nframes_t m_nextFrame = 0;
};
