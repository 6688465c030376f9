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
    if (!m_port || jack_activate(m_client) != 0) {
        m_error = "cannot register or activate the receiving port";
        jack_client_close(m_client);
        m_client = nullptr;
    }
}

JackReceiver::~JackReceiver() {
    if (m_client) {
        jack_deactivate(m_client);
        jack_client_close(m_client);
    }
}

std::string JackReceiver::portName() const { return m_port ? jack_port_name(m_port) : std::string(); }

jack_nframes_t JackReceiver::sampleRate() const { return m_client ? jack_get_sample_rate(m_client) : 0; }

int JackReceiver::process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackReceiver*>(arg);
    void* buffer = jack_port_get_buffer(self->m_port, frames);
    const jack_nframes_t start = jack_last_frame_time(self->m_client);
    const uint32_t n = jack_midi_get_event_count(buffer);
    if (n == 0) return 0;
    // A test receiver may take a lock here; a real-time client would not.
    std::lock_guard<std::mutex> lock(self->m_mutex);
    for (uint32_t i = 0; i < n; ++i) {
        jack_midi_event_t ev;
        if (jack_midi_event_get(&ev, buffer, i) != 0) continue;
        self->m_events.push_back({start + ev.time, std::vector<unsigned char>(ev.buffer, ev.buffer + ev.size)});
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

std::vector<std::string> JackReceiver::portsMatching(const std::string& pattern) const {
    std::vector<std::string> names;
    if (!m_client) return names;
    const char** ports = jack_get_ports(m_client, pattern.c_str(), nullptr, 0);
    if (!ports) return names;
    for (const char** p = ports; *p; ++p) names.emplace_back(*p);
    jack_free(ports);
    return names;
}
