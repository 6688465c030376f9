#include "rtmidijackoutput.h"

#include "midi/alsa/rtmidiclient.h"
#include "midi/jack/jackclient.h"

namespace {

class RtMidiJackOutSystem final : public MidiOutSystem {
public:
    ~RtMidiJackOutSystem() override { close(); }

    std::string systemName() const override { return "JACK"; }

    std::vector<std::string> listPorts() override {
        std::string error, sink;
        auto midi = construct(error, &sink);
        return midi ? rtmidiclient::portsOf(*midi) : std::vector<std::string>{};
    }

    bool open(const std::string& port, std::string& error) override {
        close();
        auto midi = construct(error, &m_lastError);
        if (!midi)
            return false;
        if (!rtmidiclient::openByName(*midi, port, "out", m_lastError, error))
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

    // Sends at once, on the thread that sends; only the benchmark uses this output.
    bool send(const ShortMessage& message, int64_t /*dueNs*/) override {
        if (!m_midi)
            return false;
        m_lastError.clear();
        try {
            m_midi->sendMessage(message.bytes.data(), message.size);
        } catch (const std::exception& e) {
            m_lastError = e.what();
        }
        return m_lastError.empty();
    }

    std::string sendFailure() const override { return m_lastError; }

private:
    static std::unique_ptr<RtMidiOut> construct(std::string& error, std::string* errorSink) {
        if (!jackclient::serverRunning()) {
            // Checked first: RtMidi's JACK side prints a warning from its constructor,
            // before an error callback can be set.
            error = "no JACK server is running";
            return nullptr;
        }
        return rtmidiclient::construct<RtMidiOut>(RtMidi::UNIX_JACK, jackclient::kMidiOut, error,
                                                  errorSink);
    }

    std::unique_ptr<RtMidiOut> m_midi;
    std::string m_lastError;
};

}  // namespace

std::unique_ptr<MidiOutSystem> makeRtMidiJackOutSystem() {
    return std::make_unique<RtMidiJackOutSystem>();
}
