#pragma once

// RtMidi at this program's boundary. RtMidi throws, even from its constructors (no ALSA
// sequencer device), and prints to stderr unless an error callback is set: every call is
// wrapped here, and its failures become error texts.

#include <RtMidi.h>

#include <memory>
#include <string>
#include <vector>

/// True when the ALSA sequencer device exists and can be opened.
bool alsaSequencerPresent();

namespace rtmidiclient {

/// RtMidi reports trouble through this callback instead of printing and throwing; the last
/// message is kept in the std::string that `userData` points at, for the caller's error text.
void keepError(RtMidiError::Type type, const std::string& text, void* userData);

/// Constructs an RtMidiIn or RtMidiOut for `api` as the client `clientName`, with its errors
/// kept in `errorSink`; null with the reason when RtMidi cannot reach the system.
template <typename T>
std::unique_ptr<T> construct(RtMidi::Api api, const char* clientName, std::string& error,
                             std::string* errorSink) {
    try {
        auto midi = std::make_unique<T>(api, clientName);
        midi->setErrorCallback(&keepError, errorSink);
        return midi;
    } catch (const RtMidiError& e) {
        error = e.getMessage();
    } catch (const std::exception& e) {
        error = e.what();
    }
    return nullptr;
}

/// construct() on the ALSA sequencer, whose device is looked for first: without it, ALSA
/// prints to stderr before RtMidi throws.
template <typename T>
std::unique_ptr<T> constructAlsa(const char* clientName, std::string& error,
                                 std::string* errorSink) {
    if (!alsaSequencerPresent()) {
        error = "there is no ALSA sequencer on this machine (/dev/snd/seq)";
        return nullptr;
    }
    return construct<T>(RtMidi::LINUX_ALSA, clientName, error, errorSink);
}

/// Lists the ports of `midi`, leaving out this program's own ports.
std::vector<std::string> portsOf(RtMidi& midi);

/// Opens the port called `port` on `midi` as our port `ourPortName`; the port is looked up
/// by name again, since the numbering may have changed since the list was shown. `lastError`
/// is the sink given to construct(). False with the reason.
bool openByName(RtMidi& midi, const std::string& port, const char* ourPortName,
                std::string& lastError, std::string& error);

/// Opens a port of ours named `ourPortName` on `midi` that others connect to (RtMidi's
/// virtual port). False with the reason.
bool openVirtual(RtMidi& midi, const char* ourPortName, std::string& lastError, std::string& error);

/// Closes `midi`'s port, whatever RtMidi throws.
void closePort(RtMidi& midi);

}  // namespace rtmidiclient
