#include "midi/alsa/alsainput.h"

#include "midi/alsa/rtmidiclient.h"

namespace {

// A name of its own, so that the output's client keeps its name whichever opens first.
const char* const kClientName = "midi pattern sequencer in";

class AlsaMidiInSystem final : public MidiInSystem {
public:
    ~AlsaMidiInSystem() override { close(); }

    std::string systemName() const override { return "ALSA"; }

    std::vector<std::string> listPorts() override {
        std::string error, sink;
        auto midi = rtmidiclient::constructAlsa<RtMidiIn>(kClientName, error, &sink);
        return midi ? rtmidiclient::portsOf(*midi) : std::vector<std::string>{};
    }

    bool open(const std::string& port, std::string& error) override {
        close();
        auto midi = rtmidiclient::constructAlsa<RtMidiIn>(kClientName, error, &m_lastError);
        if (!midi)
            return false;
        // Incoming messages go to a callback that drops them, so RtMidi's queue never
        // fills up and complains.
        midi->setCallback(&dropMessage, nullptr);
        if (!rtmidiclient::openByName(*midi, port, "in", m_lastError, error))
            return false;
        m_midi = std::move(midi);
        return true;
    }

    void close() override {
        if (!m_midi)
            return;
        rtmidiclient::closePort(*m_midi);
        m_midi.reset();
    }

    void setReceiving(bool /*on*/) override {
        // Messages are dropped whether or not the port takes them in: nothing reads them.
    }

private:
    static void dropMessage(double, std::vector<unsigned char>*, void*) {}

    std::unique_ptr<RtMidiIn> m_midi;
    std::string m_lastError;
};

}  // namespace

std::unique_ptr<MidiInSystem> makeAlsaMidiInSystem() {
    return std::make_unique<AlsaMidiInSystem>();
}
