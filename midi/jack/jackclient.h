#pragma once

#include <jack/jack.h>

#include <memory>
#include <string>
#include <vector>

#include "midi/jack/serverlink.h"

/// What this program's JACK clients share: their names, the muting of libjack's messages,
/// a look at the server, and the calls made on the server link (JackServerLink), which keeps
/// a server that stops answering from freezing the thread that calls it. Every client of the
/// program (the MIDI output and input, the built-in synth and its wiring, the probes) is opened
/// through jackclient::open.
namespace jackclient {

/// Every client of ours has a name that starts with this, so that listings can leave out
/// the program's own ports.
extern const char* const kPrefix;
/// The MIDI output's client, with its clock port; while the built-in synth plays to JACK, the
/// client that carries the clock port alone.
extern const char* const kMidiOut;
/// The MIDI input's client: a name of its own, so the output's client keeps its name
/// whichever opens first, and connections a patchbay remembers still find it.
extern const char* const kMidiIn;
/// The built-in synth's audio ports, when it plays to JACK.
extern const char* const kSynth;
/// Short-lived clients that look at the server (listings, probes, the synth's wiring).
extern const char* const kProbe;

/// Whether `portName` ("client:port") belongs to one of the program's clients.
bool isOurs(const char* portName);

/// libjack prints every failure (no server, a refused connection) to stderr. The program
/// reports its trouble through the port's Error event instead, so libjack's texts are
/// dropped, for the whole process (libjack's handlers are per process). Called by every
/// open below; idempotent.
void muteLibrary();

/// Opens a client named `name` on the running server, never starting one. Null when it
/// cannot; `reason` (when given) says why: no server runs, or it refused the client.
jack_client_t* open(const char* name, std::string* reason = nullptr);

/// Rate and period of the running server.
struct ServerInfo {
    int sampleRate = 0;
    int periodFrames = 0;
};
/// Whether a JACK server runs that a client can join; never starts one and prints nothing.
/// Fills `info` when given.
bool serverRunning(ServerInfo* info = nullptr);

/// The text that says a call found the server not answering.
extern const char* const kNotAnswering;

/// The MIDI ports of the other clients of the server `client` is on, of the given direction
/// (JackPortIsInput, JackPortIsOutput). Reads the server's shared memory: answers at once.
std::vector<std::string> othersPorts(jack_client_t* client, unsigned long flags);

/// Lists through a short-lived client of its own, on the link. Nothing when no server runs
/// or it does not answer in time (`answered` false then).
std::vector<std::string> listThroughLink(JackServerLink& link, unsigned long flags, bool& answered);

/// Activates `client` and connects `from` to `to`, one of them our port and the other the
/// device's port `device`, which is looked up by name again first: the list may be stale.
/// False with the reason.
bool activateAndConnect(jack_client_t* client, const std::string& device, const char* from,
                        const char* to, std::string& error);

/// Opens a client (an output's or an input's: `Client` has open(port, error) and close()) to
/// `port` on the link. Null with the reason when it cannot, or when the server does not
/// answer in time: the open is then left to finish by itself and closed again.
template <typename Client>
std::shared_ptr<Client> openThroughLink(JackServerLink& link, const std::string& port,
                                        std::string& error) {
    auto c = std::make_shared<Client>();
    auto why = std::make_shared<std::string>();
    auto opened = std::make_shared<bool>(false);
    const auto result =
        link.run([c, port, why, opened] { *opened = c->open(port, *why); }, [c] { c->close(); });
    if (result != JackServerLink::Result::Done) {
        error = kNotAnswering;
        return nullptr;
    }
    if (!*opened) {
        error = *why;
        return nullptr;
    }
    return c;
}

/// Closes a client opened by openThroughLink on the link. The call holds the client's state
/// until libjack lets go of it; a server that does not answer keeps it, and the caller goes
/// on without waiting.
template <typename Client>
void closeThroughLink(JackServerLink& link, std::shared_ptr<Client> c) {
    if (link.run([c] { c->close(); }) == JackServerLink::Result::Refused)
        link.runLater([c] { c->close(); });
}

}  // namespace jackclient
