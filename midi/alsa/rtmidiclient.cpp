#include "midi/alsa/rtmidiclient.h"

#include <unistd.h>

#include "midi/jack/jackclient.h"

bool alsaSequencerPresent() {
    return ::access("/dev/snd/seq", R_OK | W_OK) == 0;
}

namespace rtmidiclient {

void keepError(RtMidiError::Type type, const std::string& text, void* userData) {
    if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING)
        return;
    *static_cast<std::string*>(userData) = text;
}

std::vector<std::string> portsOf(RtMidi& midi) {
    std::vector<std::string> ports;
    try {
        const unsigned n = midi.getPortCount();
        for (unsigned i = 0; i < n; ++i) {
            std::string name = midi.getPortName(i);
            if (name.empty() || name.rfind(jackclient::kPrefix, 0) == 0)
                continue;
            ports.push_back(std::move(name));
        }
    } catch (const std::exception&) {
        // A system that fails while listing lists what it gave so far.
    }
    return ports;
}

bool openByName(RtMidi& midi, const std::string& port, const char* ourPortName,
                std::string& lastError, std::string& error) {
    try {
        const unsigned n = midi.getPortCount();
        for (unsigned i = 0; i < n; ++i) {
            if (midi.getPortName(i) != port)
                continue;
            lastError.clear();
            midi.openPort(i, ourPortName);
            if (!midi.isPortOpen() || !lastError.empty()) {
                error = lastError.empty() ? std::string("the port did not open") : lastError;
                return false;
            }
            return true;
        }
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    error = "the device is no longer there";
    return false;
}

bool openVirtual(RtMidi& midi, const char* ourPortName, std::string& lastError,
                 std::string& error) {
    try {
        lastError.clear();
        midi.openVirtualPort(ourPortName);
        if (lastError.empty())
            return true;
        error = lastError;
    } catch (const std::exception& e) {
        error = e.what();
    }
    return false;
}

void closePort(RtMidi& midi) {
    try {
        midi.closePort();
    } catch (const std::exception&) {
    }
}

}  // namespace rtmidiclient
