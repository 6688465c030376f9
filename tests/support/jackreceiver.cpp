#include "jackreceiver.h"

#include <jack/midiport.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

namespace {

int64_t monotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// JACK's clock minus CLOCK_MONOTONIC, in ns: JACK's clock is not CLOCK_MONOTONIC (jack2 on
// Linux reads CLOCK_MONOTONIC_RAW), so the offset is read between two readings of it. A
// thread preempted between the readings would be off by half the time it lost, so of three
// tries the closest pair counts.
int64_t jackMinusMonotonicNs() {
    int64_t best = 0;
    jack_time_t bestSpan = ~jack_time_t(0);
    for (int i = 0; i < 3; ++i) {
        const jack_time_t j1 = jack_get_time();
        const int64_t mono = monotonicNs();
        const jack_time_t j2 = jack_get_time();
        if (j2 - j1 < bestSpan) {
            bestSpan = j2 - j1;
            best = int64_t(j1 + j2) * 500 - mono;
        }
    }
    return best;
}

// Polls `done` every 2 ms until it holds or `timeoutMs` passed.
template <typename Done>
bool waitUntil(Done done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace

JackReceiver::JackReceiver(const std::string& clientName, std::size_t maxEvents,
                           std::size_t maxAudioFrames)
    : m_events(maxEvents), m_audio(maxAudioFrames), m_breaks(1u << 14) {
    jack_status_t status{};
    m_client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    if (!m_client) {
        m_error = "cannot open a JACK client (status " + std::to_string(status) +
                  "): is a server running?";
        return;
    }
    m_midi = jack_port_register(m_client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (maxAudioFrames > 0)
        m_audioIn =
            jack_port_register(m_client, "audio_in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(m_client, &JackReceiver::process, this);
    jack_set_xrun_callback(m_client, &JackReceiver::xrun, this);
    jack_on_shutdown(m_client, &JackReceiver::shutdown, this);
    if (!m_midi || (maxAudioFrames > 0 && !m_audioIn) || jack_activate(m_client) != 0) {
        m_error = "cannot register or activate the receiving ports";
        jack_client_close(m_client);
        m_client = nullptr;
    }
}

JackReceiver::~JackReceiver() {
    if (!m_client)
        return;
    // A client the server has shut down is only closed (its resources freed).
    if (!m_shutDown.load())
        jack_deactivate(m_client);
    jack_client_close(m_client);
}

std::string JackReceiver::portName() const {
    return m_midi ? jack_port_name(m_midi) : std::string();
}

std::string JackReceiver::audioPortName() const {
    return m_audioIn ? jack_port_name(m_audioIn) : std::string();
}

jack_nframes_t JackReceiver::sampleRate() const {
    return m_client ? jack_get_sample_rate(m_client) : 0;
}

jack_nframes_t JackReceiver::bufferSize() const {
    return m_client ? jack_get_buffer_size(m_client) : 0;
}

// ---------------------------------------------------------------- process thread

int JackReceiver::process(jack_nframes_t frames, void* arg) {
    static_cast<JackReceiver*>(arg)->receive(frames);
    return 0;
}

void JackReceiver::receive(jack_nframes_t frames) {
    const int64_t startedNs = monotonicNs();
    const jack_nframes_t start = jack_last_frame_time(m_client);
    void* midi = jack_port_get_buffer(m_midi, frames);
    const uint32_t n = jack_midi_get_event_count(midi);

    jack_nframes_t cycleFrames = 0;
    jack_time_t cycleUs = 0, nextUs = 0;
    float periodUs = 0;
    int64_t offsetNs = 0;
    double nsPerFrame = 0, cycleStartMonoNs = 0;
    // A server in trouble may report a period that ends before it starts: no clock then.
    const bool timed =
        jack_get_cycle_times(m_client, &cycleFrames, &cycleUs, &nextUs, &periodUs) == 0 &&
        nextUs > cycleUs;
    if (timed) {
        offsetNs = jackMinusMonotonicNs();
        nsPerFrame = double(nextUs - cycleUs) * 1000.0 / double(frames);
        cycleStartMonoNs = double(cycleUs) * 1000.0 - double(offsetNs);
        const double wokeAfterNs = double(startedNs) - cycleStartMonoNs;
        if (wokeAfterNs > nsPerFrame * double(frames) || wokeAfterNs < -300'000.0) {
            m_offTime.fetch_add(1, std::memory_order_relaxed);
            addBreak(start, frames, std::min(startedNs, int64_t(cycleStartMonoNs)),
                     std::max(startedNs, int64_t(cycleStartMonoNs)), true);
        }
    } else {
        // No time for the cycle at all: a sender cannot place anything in it either.
        m_offTime.fetch_add(1, std::memory_order_relaxed);
        addBreak(start, frames, startedNs, startedNs, true);
    }
    if (m_hadCycle && (start != m_lastEndFrame || frames != m_lastFrames)) {
        if (start != m_lastEndFrame)
            m_skipped.fetch_add(1, std::memory_order_relaxed);
        addBreak(start, frames, timed && m_lastEndUs ? int64_t(m_lastEndUs) * 1000 - offsetNs : 0,
                 timed ? int64_t(cycleStartMonoNs) : 0, false);
    }
    m_hadCycle = true;
    m_lastEndFrame = start + frames;
    m_lastFrames = frames;
    m_lastEndUs = timed ? nextUs : 0;
    std::size_t count = m_eventCount.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < n; ++i) {
        jack_midi_event_t ev;
        if (jack_midi_event_get(&ev, midi, i) != 0)
            continue;
        if (count >= m_events.size()) {
            m_dropped.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        ReceivedEvent& e = m_events[count++];
        e.frame = start + ev.time;
        e.clockNs = int64_t(cycleStartMonoNs + double(ev.time) * nsPerFrame);
        e.size = static_cast<uint8_t>(std::min(ev.size, ReceivedEvent::kMaxBytes));
        std::memcpy(e.bytes.data(), ev.buffer, e.size);
        e.offset = ev.time;
        e.periodFrames = frames;
        e.periodStartFrame = cycleFrames;
        e.periodStartUs = cycleUs;
        e.periodEndUs = nextUs;
        e.jackMinusMonotonicNs = offsetNs;
    }
    m_eventCount.store(count, std::memory_order_release);

    if (m_audioIn)
        recordPeriod(frames, start);
    m_cycles.fetch_add(1, std::memory_order_relaxed);
    // Last: a reader that sees this cycle's start sees what it received.
    m_lastCycleStartNs.store(startedNs, std::memory_order_release);
}

void JackReceiver::addBreak(jack_nframes_t start, jack_nframes_t frames, int64_t fromNs,
                            int64_t toNs, bool offTime) {
    const std::size_t b = m_breakCount.load(std::memory_order_relaxed);
    if (b >= m_breaks.size())
        return;
    m_breaks[b] = CycleBreak{start, m_lastFrames, frames, fromNs, toNs, offTime};
    m_breakCount.store(b + 1, std::memory_order_release);
}

void JackReceiver::recordPeriod(jack_nframes_t frames, jack_nframes_t start) {
    const uint32_t wanted = m_audioWanted.load(std::memory_order_acquire);
    if (wanted != m_audioStarted.load(std::memory_order_relaxed)) {
        m_audioCount.store(0, std::memory_order_relaxed);
        m_audioFirstFrame.store(start, std::memory_order_relaxed);
        m_audioStarted.store(wanted, std::memory_order_release);
    }
    if (!m_recordAudio.load(std::memory_order_relaxed))
        return;
    const auto* in = static_cast<const float*>(jack_port_get_buffer(m_audioIn, frames));
    const std::size_t have = m_audioCount.load(std::memory_order_relaxed);
    const std::size_t take = std::min<std::size_t>(frames, m_audio.size() - have);
    std::memcpy(m_audio.data() + have, in, take * sizeof(float));
    m_audioCount.store(have + take, std::memory_order_release);
}

int JackReceiver::xrun(void* arg) {
    auto* self = static_cast<JackReceiver*>(arg);
    self->m_xruns.fetch_add(1);
    // Called on JACK's notification thread, one at a time.
    const std::size_t n = self->m_xrunCount.load();
    if (n < self->m_xrunFrames.size()) {
        self->m_xrunFrames[n] = jack_frame_time(self->m_client);
        self->m_xrunCount.store(n + 1, std::memory_order_release);
    }
    return 0;
}

void JackReceiver::shutdown(void* arg) {
    static_cast<JackReceiver*>(arg)->m_shutDown.store(true);
}

// ---------------------------------------------------------------- reader's side

std::vector<ReceivedEvent> JackReceiver::events() const {
    const std::size_t n = m_eventCount.load(std::memory_order_acquire);
    const std::size_t from = std::min(m_eventsFrom.load(), n);
    return std::vector<ReceivedEvent>(m_events.begin() + long(from), m_events.begin() + long(n));
}

bool JackReceiver::waitForEvents(std::size_t count, int timeoutMs) const {
    return waitUntil(
        [&] { return m_eventCount.load(std::memory_order_acquire) - m_eventsFrom.load() >= count; },
        timeoutMs);
}

void JackReceiver::clear() {
    m_eventsFrom.store(m_eventCount.load(std::memory_order_acquire));
    m_breaksFrom.store(m_breakCount.load(std::memory_order_acquire));
    m_droppedBefore.store(m_dropped.load());
    m_xrunsFrom.store(m_xrunCount.load(std::memory_order_acquire));
}

uint64_t JackReceiver::dropped() const {
    return m_dropped.load() - m_droppedBefore.load();
}

void JackReceiver::recordAudio(bool on) {
    if (on)
        m_audioWanted.fetch_add(1, std::memory_order_release);
    m_recordAudio.store(on);
}

std::vector<float> JackReceiver::audio(uint32_t& firstFrame) const {
    firstFrame = 0;
    if (m_audioStarted.load(std::memory_order_acquire) != m_audioWanted.load())
        return {};  // the recording asked for has not begun yet
    const std::size_t n = m_audioCount.load(std::memory_order_acquire);
    firstFrame = m_audioFirstFrame.load(std::memory_order_relaxed);
    return std::vector<float>(m_audio.begin(), m_audio.begin() + long(n));
}

std::vector<uint32_t> JackReceiver::xrunFrames() const {
    const std::size_t n = m_xrunCount.load(std::memory_order_acquire);
    const std::size_t from = std::min(m_xrunsFrom.load(), n);
    return std::vector<uint32_t>(m_xrunFrames.begin() + long(from), m_xrunFrames.begin() + long(n));
}

std::vector<CycleBreak> JackReceiver::cycleBreaks() const {
    const std::size_t n = m_breakCount.load(std::memory_order_acquire);
    const std::size_t from = std::min(m_breaksFrom.load(), n);
    return std::vector<CycleBreak>(m_breaks.begin() + long(from), m_breaks.begin() + long(n));
}

bool JackReceiver::waitForPeriodAfter(int64_t monotonicNs, int timeoutMs) const {
    return waitUntil(
        [&] { return m_lastCycleStartNs.load(std::memory_order_acquire) > monotonicNs; },
        timeoutMs);
}

// ---------------------------------------------------------------- the server

bool JackReceiver::setBufferSize(jack_nframes_t frames) const {
    return m_client && jack_set_buffer_size(m_client, frames) == 0;
}

uint32_t JackReceiver::frameTime() const {
    return m_client ? jack_frame_time(m_client) : 0;
}

int64_t JackReceiver::monotonicNsOfFrame(uint32_t frame) const {
    if (!m_client)
        return 0;
    return int64_t(jack_frames_to_time(m_client, frame)) * 1000 - jackMinusMonotonicNs();
}

bool JackReceiver::clientExists(const std::string& name) const {
    if (!m_client)
        return false;
    // Asked of a client opened for the question: PipeWire's JACK goes on naming a client
    // that has left to every client that saw it there (its ports do go).
    jack_client_t* look = jack_client_open("seq-test-look", JackNoStartServer, nullptr);
    if (!look)
        return false;
    char* uuid = jack_get_uuid_for_client_name(look, name.c_str());
    const bool there = uuid != nullptr;
    jack_free(uuid);
    jack_client_close(look);
    return there;
}

bool jackIsPipeWire() {
    return std::strstr(jack_get_version_string(), "PipeWire") != nullptr;
}

std::vector<std::string> JackReceiver::portsMatching(const std::string& pattern) const {
    std::vector<std::string> names;
    if (!m_client)
        return names;
    const char** ports = jack_get_ports(m_client, pattern.c_str(), nullptr, 0);
    if (!ports)
        return names;
    for (const char** p = ports; *p; ++p)
        names.emplace_back(*p);
    jack_free(ports);
    return names;
}

bool JackReceiver::disconnectFrom(const std::string& source) const {
    return m_client && jack_disconnect(m_client, source.c_str(), portName().c_str()) == 0;
}

bool JackReceiver::connectFrom(const std::string& source) const {
    return m_client && jack_connect(m_client, source.c_str(), portName().c_str()) == 0;
}

bool JackReceiver::connectAudioFrom(const std::string& source) const {
    return m_audioIn && jack_connect(m_client, source.c_str(), audioPortName().c_str()) == 0;
}
