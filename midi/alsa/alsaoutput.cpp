#include "midi/alsa/alsaoutput.h"

#include "midi/alsa/rtmidiclient.h"
#include "midi/alsa/scheduledsender.h"

namespace {

// The output's client name; the input's has a name of its own.
const char* const kClientName = "midi pattern sequencer";

class AlsaMidiOutSystem final : public MidiOutSystem {
public:
    ~AlsaMidiOutSystem() override { close(); }

    std::string systemName() const override { return "ALSA"; }

    std::vector<std::string> listPorts() override {
        std::string error, sink;
        auto midi = rtmidiclient::constructAlsa<RtMidiOut>(kClientName, error, &sink);
        return midi ? rtmidiclient::portsOf(*midi) : std::vector<std::string>{};
    }

    bool open(const std::string& port, std::string& error) override {
        close();
        auto midi = rtmidiclient::constructAlsa<RtMidiOut>(kClientName, error, &m_lastError);
        if (!midi)
            return false;
        if (!rtmidiclient::openByName(*midi, port, "out", m_lastError, error))
            return false;
        m_midi = std::move(midi);
        // The ALSA sequencer delivers a message the moment it gets it, so a thread of our
        // own holds each message until its due time.
        m_sender = std::make_unique<ScheduledSender>(
            [this](const unsigned char* bytes, std::size_t size, std::string& err) {
                return sendNow(bytes, size, err);
            },
            [this](const std::string& err) {
                reportAsync(MidiError::kSendFailed, "Cannot send to the MIDI output: " + err);
            });
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
        if (!m_sender) {
            error = "the port is not open";
            return false;
        }
        return m_sender->post(bytes, size, dueNs, error);
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

    std::unique_ptr<RtMidiOut> m_midi;
    std::string m_lastError;
    std::unique_ptr<ScheduledSender> m_sender;
};

}  // namespace

std::unique_ptr<MidiOutSystem> makeAlsaMidiOutSystem() {
    return std::make_unique<AlsaMidiOutSystem>();
}
