#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

/// The connections of the synth's JACK audio ports, kept over a close and put back at the
/// next open. The setup dialog closes and reopens the synth at every OK; without this,
/// wiring the user made in a patchbay would be lost and replaced by the automatic one to
/// the speakers. Each call looks at the server through a short-lived client of its own, on
/// the JACK server link: a server that does not answer changes nothing.
class JackServerLink;

class SynthJackWiring {
public:
    explicit SynthJackWiring(std::shared_ptr<JackServerLink> link) : m_link(std::move(link)) {}

    /// Notes where the audio outputs of the client `client` are connected now. A server
    /// that cannot be reached tells nothing: what was kept before still stands.
    void keep(const std::string& client);
    /// Makes the connections of `client`'s audio outputs what keep() noted: those added
    /// since go, those removed come back (unless their other end is gone). Nothing before
    /// the first keep(): the automatic connection stands.
    void restore(const std::string& client);

private:
    // (port's short name, destination)
    using Connections = std::vector<std::pair<std::string, std::string>>;
    std::shared_ptr<JackServerLink> m_link;
    std::optional<Connections> m_kept;
};
