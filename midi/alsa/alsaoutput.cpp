#include "midi/alsa/alsaoutput.h"

#include <algorithm>
#include <atomic>
#include <cstring>

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
        std::string lastError;
        auto midi = rtmidiclient::constructAlsa<RtMidiOut>(kClientName, error, &lastError);
        if (!midi)
            return false;
        if (!rtmidiclient::openByName(*midi, port, "out", lastError, error))
            return false;
        // From here on RtMidi is called on the sender thread: its errors are noted there
        // without allocating.
        m_sendErrors = 0;
        m_causeKept.store(false);
        midi->setErrorCallback(&noteSendError, this);
        m_midi = std::move(midi);
        // The ALSA sequencer delivers a message the moment it gets it, so a thread of our
        // own holds each message until its due time.
        m_sender = std::make_unique<ScheduledSender>(
            [this](const ShortMessage& message) { return sendNow(message); });
        return true;
    }

    void close() override {
        if (!m_midi)
            return;
        // The sender ends first: it is the only other user of the RtMidi object.
        m_sender.reset();
        rtmidiclient::closePort(*m_midi);
        m_midi.reset();
    }

    bool send(const ShortMessage& message, int64_t dueNs) override {
        return m_sender && m_sender->post(message, dueNs);
    }

    std::string sendFailure() const override {
        if (m_causeKept.load(std::memory_order_acquire))
            return m_cause;
        return "the ALSA output is not keeping up: " +
               std::to_string(ScheduledSender::kCapacity - 1) + " messages are waiting already";
    }

    void poll() override {
        if (m_sender && m_sender->sinkFailed())
            raise(MidiError::kSendFailed);
    }

    void withdrawAfter(int64_t nowNs) override {
        if (m_sender)
            m_sender->withdrawAfter(nowNs);
    }

    int64_t schedulingLeadNs() const override { return m_sender ? ScheduledSender::kLeadNs : 0; }

private:
    // On the sender thread.
    bool sendNow(const ShortMessage& message) {
        const int errorsBefore = m_sendErrors;
        try {
            m_midi->sendMessage(message.bytes.data(), message.size);
        } catch (const std::exception&) {
            return false;  // RtMidi throws only without an error callback
        }
        return m_sendErrors == errorsBefore;
    }

    // RtMidi's error callback while the sender sends: counts the error, and keeps the text of
    // the first for the report, copied into room made beforehand.
    static void noteSendError(RtMidiError::Type type, const std::string& text, void* self) {
        if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING)
            return;
        auto* out = static_cast<AlsaMidiOutSystem*>(self);
        ++out->m_sendErrors;
        if (out->m_causeKept.load(std::memory_order_relaxed))
            return;
        const std::size_t n = std::min(text.size(), sizeof out->m_cause - 1);
        std::memcpy(out->m_cause, text.data(), n);
        out->m_cause[n] = '\0';
        out->m_causeKept.store(true, std::memory_order_release);
    }

    std::unique_ptr<RtMidiOut> m_midi;
    std::unique_ptr<ScheduledSender> m_sender;
    int m_sendErrors = 0;  // the sender thread's
    char m_cause[256] = {};
    std::atomic<bool> m_causeKept{false};
};

}  // namespace

std::unique_ptr<MidiOutSystem> makeAlsaMidiOutSystem() {
    return std::make_unique<AlsaMidiOutSystem>();
}
