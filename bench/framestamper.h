#pragma once

// The benchmark's receiving JACK client: one MIDI input port whose events are stamped with
// their absolute frame time, and one audio input port that can record what reaches it.
// Its process callback takes no lock and allocates nothing: everything is preallocated and
// published through atomic counters, so the receiver does not disturb what it measures.

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct StampedEvent {
    uint32_t frame = 0;
    // When JACK's clock puts that frame, on CLOCK_MONOTONIC (ns): read from the times of the
    // period it arrived in, the same reading a sample-accurate sender maps its due times with.
    int64_t clockNs = 0;
    uint8_t size = 0;
    std::array<uint8_t, 3> bytes{};
};

class FrameStamper {
public:
    /// Opens `clientName` on the running server (never starts one), with the ports "in"
    /// (MIDI) and "audio_in". ok() tells whether it worked, error() why not.
    FrameStamper(const std::string& clientName, std::size_t maxEvents, std::size_t maxAudioFrames);
    ~FrameStamper();
    FrameStamper(const FrameStamper&) = delete;
    FrameStamper& operator=(const FrameStamper&) = delete;

    bool ok() const { return m_client != nullptr; }
    const std::string& error() const { return m_error; }
    std::string midiPortName() const;
    std::string audioPortName() const;
    jack_client_t* client() const { return m_client; }
    uint32_t sampleRate() const;
    uint32_t bufferSize() const;

    /// Forgets what was received and starts keeping MIDI events (and audio, if asked).
    /// Only while nothing is being sent to it.
    void arm(bool recordAudio);
    /// Stops keeping anything.
    void disarm();
    /// Events received since arm(), in arrival order.
    std::vector<StampedEvent> events() const;
    /// Audio recorded since arm(), and the frame time of its first sample.
    std::vector<float> audio(uint32_t& firstFrame) const;
    /// MIDI events that did not fit.
    uint64_t dropped() const { return m_dropped.load(); }
    /// Xruns the server reported since the client opened.
    int xruns() const { return m_xruns.load(); }
    /// The frame times at which the xruns since arm() were reported (a little after they
    /// happened).
    std::vector<uint32_t> xrunFrames() const;

private:
    static int process(jack_nframes_t frames, void* arg);
    static int xrun(void* arg);

    jack_client_t* m_client = nullptr;
    jack_port_t* m_midi = nullptr;
    jack_port_t* m_audioIn = nullptr;
    std::string m_error;

    std::vector<StampedEvent> m_events;
    std::atomic<std::size_t> m_eventCount{0};
    std::vector<float> m_audio;
    std::atomic<std::size_t> m_audioCount{0};
    std::atomic<uint32_t> m_audioFirstFrame{0};
    std::atomic<bool> m_armed{false};
    std::atomic<bool> m_recordAudio{false};
    std::atomic<uint64_t> m_dropped{0};
    std::atomic<int> m_xruns{0};
    std::array<uint32_t, 4096> m_xrunFrames{};
    std::atomic<std::size_t> m_xrunCount{0};
};
