#include "jackclient.h"

#include <cstring>
#include <mutex>

namespace jackclient {

const char* const kPrefix = "midi pattern sequencer";
const char* const kMidiOut = "midi pattern sequencer";
const char* const kMidiIn = "midi pattern sequencer in";
const char* const kSynth = "midi pattern sequencer synth";
const char* const kProbe = "midi pattern sequencer probe";

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

}  // namespace jackclient
