#include "jackcapture.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {
int64_t monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

JackCapture::JackCapture(const std::string& clientName) {
    jack_status_t status{};
    m_client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    if (!m_client) {
        m_error = "cannot open a JACK client (status " + std::to_string(status) +
                  "): is a server running?";
        return;
    }
    m_ports[0] = jack_port_register(m_client, "in_l", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    m_ports[1] = jack_port_register(m_client, "in_r", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(m_client, &JackCapture::process, this);
    jack_set_xrun_callback(m_client, &JackCapture::xrun, this);
    if (!m_ports[0] || !m_ports[1] || jack_activate(m_client) != 0) {
        m_error = "cannot register or activate the capture ports";
        jack_client_close(m_client);
        m_client = nullptr;
    }
}

JackCapture::~JackCapture() {
    if (m_client) {
        jack_deactivate(m_client);
        jack_client_close(m_client);
    }
}

jack_nframes_t JackCapture::sampleRate() const {
    return m_client ? jack_get_sample_rate(m_client) : 0;
}

bool JackCapture::connectFrom(const std::string& source, int channel) {
    if (!m_client || channel < 0 || channel > 1)
        return false;
    return jack_connect(m_client, source.c_str(), jack_port_name(m_ports[channel])) == 0;
}

std::vector<std::string> JackCapture::audioOutputs(const std::string& pattern) const {
    std::vector<std::string> names;
    if (!m_client)
        return names;
    const char** ports =
        jack_get_ports(m_client, pattern.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
    for (const char** p = ports; p && *p; ++p)
        names.emplace_back(*p);
    jack_free(ports);
    return names;
}

std::vector<std::string> JackCapture::connectionsOf(const std::string& port) const {
    std::vector<std::string> names;
    const jack_port_t* p = m_client ? jack_port_by_name(m_client, port.c_str()) : nullptr;
    if (!p)
        return names;
    const char** to = jack_port_get_all_connections(m_client, p);
    for (const char** n = to; n && *n; ++n)
        names.emplace_back(*n);
    jack_free(to);
    std::sort(names.begin(), names.end());
    return names;
}

bool JackCapture::disconnect(const std::string& source, const std::string& destination) const {
    return m_client && jack_disconnect(m_client, source.c_str(), destination.c_str()) == 0;
}

void JackCapture::start(std::size_t frames) {
    // Once recording is off and no process call is under way, the buffers are ours.
    m_recording.store(false);
    while (m_inProcess.load())
        std::this_thread::yield();
    // Allocated here, on the test's thread, so the process callback never allocates.
    m_left.assign(frames, 0.0f);
    m_right.assign(frames, 0.0f);
    m_cycles.assign(frames / 16 + 2, Cycle{0, 0});
    m_wanted = frames;
    m_written.store(0);
    m_cycleCount.store(0);
    m_recording.store(true);
}

bool JackCapture::waitFull(int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_written.load() < m_wanted) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

double JackCapture::nsPerFrame() const {
    return 1e9 / (sampleRate() ? double(sampleRate()) : 48000.0);
}

double JackCapture::originNear(std::size_t cycle) const {
    // Frame 0's time as the cycles around this one saw it; the earliest is the least
    // delayed. Only neighbours count, so a lasting shift (an xrun) is followed.
    const std::size_t n = std::min(m_cycleCount.load(), m_cycles.size());
    const std::size_t from = cycle > 8 ? cycle - 8 : 0;
    const std::size_t to = std::min(n, cycle + 9);
    double earliest = 0;
    for (std::size_t i = from; i < to; ++i) {
        const double origin =
            double(m_cycles[i].timeNs) - double(m_cycles[i].firstFrame) * nsPerFrame();
        if (i == from || origin < earliest)
            earliest = origin;
    }
    return earliest;
}

int64_t JackCapture::frameTimeNs(std::size_t frame) const {
    const std::size_t n = std::min(m_cycleCount.load(), m_cycles.size());
    std::size_t cycle = 0;
    while (cycle + 1 < n && m_cycles[cycle + 1].firstFrame <= frame)
        ++cycle;
    return static_cast<int64_t>(originNear(cycle) + double(frame) * nsPerFrame());
}

long JackCapture::frameAt(int64_t ns) const {
    const std::size_t n = std::min(m_cycleCount.load(), m_cycles.size());
    double origin = originNear(0);
    for (std::size_t i = 1; i < n; ++i) {
        const double o = originNear(i);
        if (o + double(m_cycles[i].firstFrame) * nsPerFrame() > double(ns))
            break;
        origin = o;
    }
    return static_cast<long>((double(ns) - origin) / nsPerFrame());
}

int JackCapture::process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackCapture*>(arg);
    const jack_nframes_t start = jack_last_frame_time(self->m_client);
    if (self->m_nextFrame != 0 && start != self->m_nextFrame)
        self->m_skipped.fetch_add(1);
    self->m_nextFrame = start + frames;
    self->m_inProcess.store(true);
    if (self->m_recording.load())
        self->record(frames);
    self->m_inProcess.store(false);
    return 0;
}

void JackCapture::record(jack_nframes_t frames) {
    const int64_t now = monotonicNs();
    const std::size_t written = m_written.load(std::memory_order_relaxed);
    if (written >= m_wanted)
        return;
    const std::size_t cycle = m_cycleCount.load(std::memory_order_relaxed);
    if (cycle < m_cycles.size()) {
        m_cycles[cycle] = Cycle{written, now};
        m_cycleCount.store(cycle + 1, std::memory_order_release);
    }
    const std::size_t n = std::min<std::size_t>(frames, m_wanted - written);
    const auto* l = static_cast<const float*>(jack_port_get_buffer(m_ports[0], frames));
    const auto* r = static_cast<const float*>(jack_port_get_buffer(m_ports[1], frames));
    std::copy(l, l + n, m_left.begin() + static_cast<std::ptrdiff_t>(written));
    std::copy(r, r + n, m_right.begin() + static_cast<std::ptrdiff_t>(written));
    m_written.store(written + n, std::memory_order_release);
}

int JackCapture::xrun(void* arg) {
    static_cast<JackCapture*>(arg)->m_xruns.fetch_add(1);
    return 0;
}
