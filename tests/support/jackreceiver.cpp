#include "jackreceiver.h"

#include <jack/midiport.h>

#include <chrono>
#include <thread>

JackReceiver::JackReceiver(const std::string& clientName) {
    jack_status_t status{};
    m_client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    if (!m_client) {
        m_error = "cannot open a JACK client (status " + std::to_string(status) + "): is a server running?";
        return;
    }
    m_port = jack_port_register(m_client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(m_client, &JackReceiver::process, this);
    jack_set_xrun_callback(m_client, &JackReceiver::xrun, this);
    jack_on_shutdown(m_client, &JackReceiver::shutdown, this);
    if (!m_port || jack_activate(m_client) != 0) {
        m_error = "cannot register or activate the receiving port";
        jack_client_close(m_client);
        m_client = nullptr;
    }
}

JackReceiver::~JackReceiver() {
    if (m_client) {
        // A client the server has shut down is only closed (its resources freed).
        if (!m_shutDown.load()) jack_deactivate(m_client);
        jack_client_close(m_client);
    }
}

void JackReceiver::shutdown(void* arg) { static_cast<JackReceiver*>(arg)->m_shutDown.store(true); }

bool JackReceiver::clientExists(const std::string& name) const {
    if (!m_client) return false;
    char* uuid = jack_get_uuid_for_client_name(m_client, name.c_str());
    if (!uuid) return false;
    jack_free(uuid);
    return true;
}

uint32_t JackReceiver::frameTime() const { return m_client ? jack_frame_time(m_client) : 0; }

jack_nframes_t JackReceiver::bufferSize() const { return m_client ? jack_get_buffer_size(m_client) : 0; }

int64_t JackReceiver::monotonicNsOfFrame(uint32_t frame) const {
    if (!m_client) return 0;
    const jack_time_t j1 = jack_get_time();
    const int64_t mono = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
    const jack_time_t j2 = jack_get_time();
    const int64_t jackMinusMonotonicNs = int64_t(j1 + j2) * 500 - mono;
    return int64_t(jack_frames_to_time(m_client, frame)) * 1000 - jackMinusMonotonicNs;
}

std::string JackReceiver::portName() const { return m_port ? jack_port_name(m_port) : std::string(); }

jack_nframes_t JackReceiver::sampleRate() const { return m_client ? jack_get_sample_rate(m_client) : 0; }

int JackReceiver::process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackReceiver*>(arg);
    void* buffer = jack_port_get_buffer(self->m_port, frames);
    const jack_nframes_t start = jack_last_frame_time(self->m_client);
    const uint32_t n = jack_midi_get_event_count(buffer);
    if (n == 0) return 0;
    jack_nframes_t cycleFrames = 0;
    jack_time_t cycleUs = 0, nextUs = 0;
    float periodUs = 0;
    jack_get_cycle_times(self->m_client, &cycleFrames, &cycleUs, &nextUs, &periodUs);
    const jack_time_t j1 = jack_get_time();
    const int64_t mono = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
    const jack_time_t j2 = jack_get_time();
    // A test receiver may take a lock here; a real-time client would not.
    std::lock_guard<std::mutex> lock(self->m_mutex);
    for (uint32_t i = 0; i < n; ++i) {
        jack_midi_event_t ev;
        if (jack_midi_event_get(&ev, buffer, i) != 0) continue;
        ReceivedEvent r;
        r.frame = start + ev.time;
        r.bytes.assign(ev.buffer, ev.buffer + ev.size);
        r.offset = ev.time;
        r.periodFrames = frames;
        r.periodStartFrame = cycleFrames;
        r.periodStartUs = cycleUs;
        r.periodEndUs = nextUs;
        r.jackMinusMonotonicNs = int64_t(j1 + j2) * 500 - mono;
        self->m_events.push_back(std::move(r));
    }
    return 0;
}

int JackReceiver::xrun(void* arg) {
    static_cast<JackReceiver*>(arg)->m_xruns.fetch_add(1);
    return 0;
}

std::vector<ReceivedEvent> JackReceiver::events() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

bool JackReceiver::waitForEvents(size_t count, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_events.size() >= count) return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void JackReceiver::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
}

bool JackReceiver::disconnectFrom(const std::string& source) const {
    return m_client && jack_disconnect(m_client, source.c_str(), portName().c_str()) == 0;
}

bool JackReceiver::connectFrom(const std::string& source) const {
    return m_client && jack_connect(m_client, source.c_str(), portName().c_str()) == 0;
}

std::vector<std::string> JackReceiver::portsMatching(const std::string& pattern) const {
    std::vector<std::string> names;
    if (!m_client) return names;
    const char** ports = jack_get_ports(m_client, pattern.c_str(), nullptr, 0);
    if (!ports) return names;
    for (const char** p = ports; *p; ++p) names.emplace_back(*p);
    jack_free(ports);
    return names;
}
