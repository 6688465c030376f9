#include "midi/alsa/alsaoutput.h"

#include <RtMidi.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <type_traits>
#include <vector>

#include "midi/alsa/scheduledsender.h"
#include "midi/jack/jackclient.h"

bool alsaSequencerPresent() {
    return ::access("/dev/snd/seq", R_OK | W_OK) == 0;
}

namespace {

// The names this program's clients take: on JACK those of the JACK client module, and the
// same on ALSA (where the input's client has a name of its own for the same reason).
const char* clientName(RtMidiSystem system, bool input) {
    if (system == RtMidiSystem::Jack)
        return input ? jackclient::kMidiIn : jackclient::kMidiOut;
    return input ? "midi pattern sequencer in" : "midi pattern sequencer";
}

RtMidi::Api apiOf(RtMidiSystem s) {
    return s == RtMidiSystem::Alsa ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
}

const char* nameOf(RtMidiSystem s) {
    return s == RtMidiSystem::Alsa ? "ALSA" : "JACK";
}

// RtMidi reports trouble through this callback instead of printing and throwing; the last
// message is kept for the caller's error text.
void keepError(RtMidiError::Type type, const std::string& text, void* userData) {
    if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING)
        return;
    *static_cast<std::string*>(userData) = text;
}

// Constructs an RtMidi object of the given kind, or returns null when the system is not
// there. RtMidi throws from its constructor when it cannot reach the system at all.
template <typename T>
std::unique_ptr<T> construct(RtMidiSystem system, std::string& error, std::string* errorSink) {
    if (system == RtMidiSystem::Alsa && !alsaSequencerPresent()) {
        // Checked first: without the device, ALSA prints to stderr before RtMidi throws.
        error = "there is no ALSA sequencer on this machine (/dev/snd/seq)";
        return nullptr;
    }
    if (system == RtMidiSystem::Jack && !jackclient::serverRunning()) {
        // Checked first too: RtMidi's JACK side prints a warning from its constructor,
        // before an error callback can be set.
        error = "no JACK server is running";
        return nullptr;
    }
    try {
        auto midi =
            std::make_unique<T>(apiOf(system), clientName(system, std::is_same_v<T, RtMidiIn>));
        midi->setErrorCallback(&keepError, errorSink);
        return midi;
    } catch (const RtMidiError& e) {
        error = e.getMessage();
    } catch (const std::exception& e) {
        error = e.what();
    }
    return nullptr;
}

// Lists the ports of `midi`, leaving out this program's own ports.
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

// Opens the port called `port` on `midi`; the port is looked up by name again, since the
// numbering may have changed since the list was shown.
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

class RtMidiOutSystem final : public MidiOutSystem {
public:
    explicit RtMidiOutSystem(RtMidiSystem system) : m_system(system) {}
    ~RtMidiOutSystem() override { close(); }

    std::string systemName() const override { return nameOf(m_system); }

    std::vector<std::string> listPorts() override {
        std::string error, sink;
        auto midi = construct<RtMidiOut>(m_system, error, &sink);
        return midi ? portsOf(*midi) : std::vector<std::string>{};
    }

    bool open(const std::string& port, std::string& error) override {
        close();
        auto midi = construct<RtMidiOut>(m_system, error, &m_lastError);
        if (!midi)
            return false;
        if (!openByName(*midi, port, "out", m_lastError, error))
            return false;
        m_midi = std::move(midi);
        if (m_system == RtMidiSystem::Alsa) {
            // The ALSA sequencer delivers a message the moment it gets it, so a thread of
            // our own holds each message until its due time.
            m_sender = std::make_unique<ScheduledSender>(
                [this](const unsigned char* bytes, std::size_t size, std::string& err) {
                    return sendNow(bytes, size, err);
                },
                [this](const std::string& err) {
                    reportAsync(MidiError::kSendFailed, "Cannot send to the MIDI output: " + err);
                });
        }
        return true;
    }

    void close() override {
        if (!m_midi)
            return;
        // The sender ends first: it is the only other user of the RtMidi object.
        m_sender.reset();
        try {
            m_midi->closePort();
        } catch (const std::exception&) {
        }
        m_midi.reset();
    }

    bool send(const unsigned char* bytes, std::size_t size, int64_t dueNs,
              std::string& error) override {
        if (!m_midi) {
            error = "the port is not open";
            return false;
        }
        if (m_sender)
            return m_sender->post(bytes, size, dueNs, error);
        // RtMidi's JACK output writes every message at the start of the next JACK period;
        // it cannot honour a due time, so it sends at once (schedulingLeadNs is 0).
        return sendNow(bytes, size, error);
    }

    void withdrawAfter(int64_t nowNs) override {
        if (m_sender)
            m_sender->withdrawAfter(nowNs);
    }

    int64_t schedulingLeadNs() const override { return m_sender ? ScheduledSender::kLeadNs : 0; }

private:
    bool sendNow(const unsigned char* bytes, std::size_t size, std::string& error) {
        m_lastError.clear();
        try {
            m_midi->sendMessage(bytes, size);
        } catch (const std::exception& e) {
            error = e.what();
            return false;
        }
        if (!m_lastError.empty()) {
            error = m_lastError;
            return false;
        }
        return true;
    }

    RtMidiSystem m_system;
    std::unique_ptr<RtMidiOut> m_midi;
    std::string m_lastError;
    std::unique_ptr<ScheduledSender> m_sender;
};

class RtMidiInSystem final : public MidiInSystem {
public:
    explicit RtMidiInSystem(RtMidiSystem system) : m_system(system) {}
    ~RtMidiInSystem() override { close(); }

    std::string systemName() const override { return nameOf(m_system); }

    std::vector<std::string> listPorts() override {
        std::string error, sink;
        auto midi = construct<RtMidiIn>(m_system, error, &sink);
        return midi ? portsOf(*midi) : std::vector<std::string>{};
    }

    bool open(const std::string& port, std::string& error) override {
        close();
        auto midi = construct<RtMidiIn>(m_system, error, &m_lastError);
        if (!midi)
            return false;
        // Incoming messages go to a callback that drops them, so RtMidi's queue never
        // fills up and complains.
        midi->setCallback(&dropMessage, nullptr);
        if (!openByName(*midi, port, "in", m_lastError, error))
            return false;
        m_midi = std::move(midi);
        return true;
    }

    void close() override {
        if (!m_midi)
            return;
        try {
            m_midi->closePort();
        } catch (const std::exception&) {
        }
        m_midi.reset();
    }

    void setReceiving(bool /*on*/) override {
        // Messages are dropped whether or not the port takes them in: nothing reads them.
    }

private:
    static void dropMessage(double, std::vector<unsigned char>*, void*) {}

    RtMidiSystem m_system;
    std::unique_ptr<RtMidiIn> m_midi;
    std::string m_lastError;
};

}  // namespace

std::unique_ptr<MidiOutSystem> makeRtMidiOutSystem(RtMidiSystem system) {
    return std::make_unique<RtMidiOutSystem>(system);
}

std::unique_ptr<MidiInSystem> makeRtMidiInSystem(RtMidiSystem system) {
    return std::make_unique<RtMidiInSystem>(system);
}
