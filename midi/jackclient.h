#pragma once

#include <jack/jack.h>

#include <string>

/// What this program's JACK clients share: their names, the muting of libjack's messages,
/// and a look at the server. Every client of the program (the MIDI output and input, the
/// built-in synth and its wiring, the probes) is opened through openJackClient().
namespace jackclient {

/// Every client of ours has a name that starts with this, so that listings can leave out
/// the program's own ports.
extern const char* const kPrefix;
/// The MIDI output's client.
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

}  // namespace jackclient
