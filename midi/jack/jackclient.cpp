#include "midi/jack/jackclient.h"

#include <cstring>
#include <mutex>

namespace jackclient {

const char* const kPrefix = "midi pattern sequencer";
const char* const kMidiOut = "midi pattern sequencer";
const char* const kMidiIn = "midi pattern sequencer in";
const char* const kSynth = "midi pattern sequencer synth";
const char* const kProbe = "midi pattern sequencer probe";
const char* const kNotAnswering = "the JACK server is not answering";

bool isOurs(const char* portName) {
    return std::strncmp(portName, kPrefix, std::strlen(kPrefix)) == 0;
}

namespace {
void quiet(const char*) {}
}  // namespace

void muteLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        jack_set_error_function(&quiet);
        jack_set_info_function(&quiet);
    });
}

jack_client_t* open(const char* name, std::string* reason) {
    muteLibrary();
    jack_status_t status{};
    jack_client_t* client = jack_client_open(name, JackNoStartServer, &status);
    if (!client && reason)
        *reason =
            (status & JackServerFailed) ? "no JACK server is running" : "JACK refused a new client";
    return client;
}

bool serverRunning(ServerInfo* info) {
    jack_client_t* client = open(kProbe);
    if (!client)
        return false;
    if (info) {
        info->sampleRate = static_cast<int>(jack_get_sample_rate(client));
        info->periodFrames = static_cast<int>(jack_get_buffer_size(client));
    }
    jack_client_close(client);
    return true;
}

std::vector<std::string> othersPorts(jack_client_t* client, unsigned long flags) {
    std::vector<std::string> ports;
    if (const char** names = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, flags)) {
        for (const char** n = names; *n; ++n)
            if (!isOurs(*n))
                ports.emplace_back(*n);
        jack_free(names);
    }
    return ports;
}

std::vector<std::string> listThroughLink(JackServerLink& link, unsigned long flags,
                                         bool& answered) {
    auto ports = std::make_shared<std::vector<std::string>>();
    const auto result = link.run([ports, flags] {
        if (jack_client_t* probe = open(kProbe)) {
            *ports = othersPorts(probe, flags);
            jack_client_close(probe);
        }
    });
    answered = result == JackServerLink::Result::Done;
    return answered ? *ports : std::vector<std::string>{};
}

bool activateAndConnect(jack_client_t* client, const std::string& device, const char* from,
                        const char* to, std::string& error) {
    if (jack_activate(client) != 0)
        error = "JACK refused to activate the client";
    else if (!jack_port_by_name(client, device.c_str()))
        error = "the device is no longer there";
    else if (jack_connect(client, from, to) != 0)
        error = "JACK refused to connect to it";
    else
        return true;
    return false;
}

}  // namespace jackclient
