#include "midi/synth/synthjackwiring.h"

#include <jack/jack.h>

#include <algorithm>

#include "midi/jack/jackclient.h"

namespace {

// Calls `each(probe, fullName, shortName)` for every audio output of the client
// `clientName`, through `probe`, a short-lived client of our own; false when no server can
// be reached.
template <typename Each>
bool forEachAudioOutput(const std::string& clientName, Each each) {
    jack_client_t* probe = jackclient::open(jackclient::kProbe);
    if (!probe)
        return false;
    const std::string prefix = clientName + ":";
    if (const char** ports =
            jack_get_ports(probe, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput)) {
        for (const char** p = ports; *p; ++p) {
            const std::string full = *p;
            if (full.compare(0, prefix.size(), prefix) == 0)
                each(probe, full, full.substr(prefix.size()));
        }
        jack_free(ports);
    }
    jack_client_close(probe);
    return true;
}

std::vector<std::string> connectionsOf(jack_client_t* probe, const std::string& port) {
    std::vector<std::string> to;
    const jack_port_t* p = jack_port_by_name(probe, port.c_str());
    if (!p)
        return to;  // gone since it was listed
    if (const char** names = jack_port_get_all_connections(probe, p)) {
        for (const char** n = names; *n; ++n)
            to.emplace_back(*n);
        jack_free(names);
    }
    return to;
}

}  // namespace

void SynthJackWiring::keep(const std::string& client) {
    auto wiring = std::make_shared<Connections>();
    auto reached = std::make_shared<bool>(false);
    const auto result = m_link->run([client, wiring, reached] {
        *reached = forEachAudioOutput(
            client, [&](jack_client_t* probe, const std::string& full, const std::string& port) {
                for (std::string& to : connectionsOf(probe, full))
                    wiring->emplace_back(port, std::move(to));
            });
    });
    if (result == JackServerLink::Result::Done && *reached)
        m_kept = std::move(*wiring);
}

void SynthJackWiring::restore(const std::string& client) {
    if (!m_kept)
        return;
    m_link->run([client, kept = *m_kept] {
        forEachAudioOutput(
            client, [&](jack_client_t* probe, const std::string& full, const std::string& port) {
                const std::vector<std::string> now = connectionsOf(probe, full);
                for (const std::string& to : now)
                    if (std::find(kept.begin(), kept.end(), std::make_pair(port, to)) == kept.end())
                        jack_disconnect(probe, full.c_str(), to.c_str());
                for (const auto& [from, to] : kept)
                    if (from == port && std::find(now.begin(), now.end(), to) == now.end())
                        jack_connect(probe, full.c_str(), to.c_str());  // gone meanwhile: skipped
            });
    });
}
