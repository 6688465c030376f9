#include "framestamper.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cstring>
#include <ctime>

FrameStamper::FrameStamper(const std::string& clientName, std::size_t maxEvents,
                           std::size_t maxAudioFrames)
    : m_events(maxEvents), m_audio(maxAudioFrames) {
    jack_status_t status{};
    m_client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    if (!m_client) {
        m_error = "cannot open a JACK client (status " + std::to_string(status) +
                  "): is the server running?";
        return;
    }
    m_midi = jack_port_register(m_client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    m_audioIn =
        jack_port_register(m_client, "audio_in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(m_client, &FrameStamper::process, this);
    jack_set_xrun_callback(m_client, &FrameStamper::xrun, this);
    if (!m_midi || !m_audioIn || jack_activate(m_client) != 0) {
        m_error = "cannot register or activate the receiving ports";
        jack_client_close(m_client);
        m_client = nullptr;
    }
}

FrameStamper::~FrameStamper() {
    if (!m_client)
        return;
    jack_deactivate(m_client);
    jack_client_close(m_client);
}

std::string FrameStamper::midiPortName() const {
    return m_midi ? jack_port_name(m_midi) : std::string();
}

std::string FrameStamper::audioPortName() const {
    return m_audioIn ? jack_port_name(m_audioIn) : std::string();
}

uint32_t FrameStamper::sampleRate() const {
    return m_client ? jack_get_sample_rate(m_client) : 0;
}

uint32_t FrameStamper::bufferSize() const {
    return m_client ? jack_get_buffer_size(m_client) : 0;
}

void FrameStamper::arm(bool recordAudio) {
    m_armed.store(false);
    m_eventCount.store(0);
    m_audioCount.store(0);
    m_dropped.store(0);
    m_xrunCount.store(0);
    m_recordAudio.store(recordAudio);
    m_armed.store(true);
}

void FrameStamper::disarm() {
    m_armed.store(false);
}

std::vector<StampedEvent> FrameStamper::events() const {
    const std::size_t n = m_eventCount.load(std::memory_order_acquire);
    return std::vector<StampedEvent>(m_events.begin(), m_events.begin() + long(n));
}

std::vector<float> FrameStamper::audio(uint32_t& firstFrame) const {
    const std::size_t n = m_audioCount.load(std::memory_order_acquire);
    firstFrame = m_audioFirstFrame.load();
    return std::vector<float>(m_audio.begin(), m_audio.begin() + long(n));
}

int FrameStamper::process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<FrameStamper*>(arg);
    void* midi = jack_port_get_buffer(self->m_midi, frames);
    if (!self->m_armed.load(std::memory_order_acquire))
        return 0;
    const jack_nframes_t start = jack_last_frame_time(self->m_client);

    const uint32_t n = jack_midi_get_event_count(midi);
    jack_nframes_t cycleFrames = 0;
    jack_time_t cycleUs = 0, nextUs = 0;
    float periodUs = 0;
    double nsPerFrame = 0, cycleStartMonoNs = 0;
    // A server in trouble may report a period that ends before it starts: no clock then.
    if (n > 0 &&
        jack_get_cycle_times(self->m_client, &cycleFrames, &cycleUs, &nextUs, &periodUs) == 0 &&
        nextUs > cycleUs) {
        // JACK's clock is not CLOCK_MONOTONIC (jack2 reads CLOCK_MONOTONIC_RAW): the offset
        // between the two is read here.
        const jack_time_t j1 = jack_get_time();
        timespec mono{};
        clock_gettime(CLOCK_MONOTONIC, &mono);
        const jack_time_t j2 = jack_get_time();
        const double jackMinusMonoNs =
            double(j1 + j2) * 500.0 - (double(mono.tv_sec) * 1e9 + double(mono.tv_nsec));
        nsPerFrame = double(nextUs - cycleUs) * 1000.0 / double(frames);
        cycleStartMonoNs = double(cycleUs) * 1000.0 - jackMinusMonoNs;
    }
    std::size_t count = self->m_eventCount.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < n; ++i) {
        jack_midi_event_t ev;
        if (jack_midi_event_get(&ev, midi, i) != 0)
            continue;
        if (count >= self->m_events.size()) {
            self->m_dropped.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        StampedEvent& e = self->m_events[count++];
        e.frame = start + ev.time;
        e.clockNs = int64_t(cycleStartMonoNs + double(ev.time) * nsPerFrame);
        e.size = static_cast<uint8_t>(std::min<std::size_t>(ev.size, e.bytes.size()));
        std::memcpy(e.bytes.data(), ev.buffer, e.size);
    }
    self->m_eventCount.store(count, std::memory_order_release);

    if (self->m_recordAudio.load(std::memory_order_relaxed)) {
        const auto* in = static_cast<const float*>(jack_port_get_buffer(self->m_audioIn, frames));
        std::size_t have = self->m_audioCount.load(std::memory_order_relaxed);
        if (have == 0)
            self->m_audioFirstFrame.store(start);
        const std::size_t take = std::min<std::size_t>(frames, self->m_audio.size() - have);
        std::memcpy(self->m_audio.data() + have, in, take * sizeof(float));
        self->m_audioCount.store(have + take, std::memory_order_release);
    }
    return 0;
}

int FrameStamper::xrun(void* arg) {
    auto* self = static_cast<FrameStamper*>(arg);
    self->m_xruns.fetch_add(1);
    // Called on JACK's notification thread, one at a time.
    if (self->m_armed.load()) {
        const std::size_t n = self->m_xrunCount.load();
        if (n < self->m_xrunFrames.size()) {
            self->m_xrunFrames[n] = jack_frame_time(self->m_client);
            self->m_xrunCount.store(n + 1, std::memory_order_release);
        }
    }
    return 0;
}

std::vector<uint32_t> FrameStamper::xrunFrames() const {
    const std::size_t n = m_xrunCount.load(std::memory_order_acquire);
    return std::vector<uint32_t>(m_xrunFrames.begin(), m_xrunFrames.begin() + long(n));
}
