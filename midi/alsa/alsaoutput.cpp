#include "midi/alsa/alsaoutput.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "midi/alsa/rtmidiclient.h"
#include "midi/alsa/scheduledsender.h"

namespace {

// The output's client name; the input's has a name of its own.
const char* const kClientName = "midi pattern sequencer";

// One port of ours on the sequencer and the sender thread that feeds it. The sequencer
// delivers a message the moment it gets it, so the thread holds each message until its
// due time.
class SentPort {
public:
    ~SentPort() { close(); }

    // Takes over `midi`, whose port is open, and starts the sender.
    void start(std::unique_ptr<RtMidiOut> midi) {
        // From here on RtMidi is called on the sender thread: its errors are noted there
        // without allocating.
        m_sendErrors = 0;
        m_causeKept.store(false);
        midi->setErrorCallback(&noteSendError, this);
        m_midi = std::move(midi);
        m_sender = std::make_unique<ScheduledSender>(
            [this](const ShortMessage& message) { return sendNow(message); });
    }

    void close() {
        if (!m_midi)
            return;
        // The sender ends first: it is the only other user of the RtMidi object.
        m_sender.reset();
        rtmidiclient::closePort(*m_midi);
        m_midi.reset();
    }

    bool post(const ShortMessage& message, int64_t dueNs) {
        return m_sender && m_sender->post(message, dueNs);
    }
    void withdrawAfter(int64_t nowNs) {
        if (m_sender)
            m_sender->withdrawAfter(nowNs);
    }
    bool isOpen() const { return m_sender != nullptr; }
    bool failed() const { return m_sender && m_sender->sinkFailed(); }
    // The text of the first error RtMidi gave while sending; empty when none.
    std::string cause() const {
        return m_causeKept.load(std::memory_order_acquire) ? std::string(m_cause) : std::string();
    }

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
        auto* port = static_cast<SentPort*>(self);
        ++port->m_sendErrors;
        if (port->m_causeKept.load(std::memory_order_relaxed))
            return;
        const std::size_t n = std::min(text.size(), sizeof port->m_cause - 1);
        std::memcpy(port->m_cause, text.data(), n);
        port->m_cause[n] = '\0';
        port->m_causeKept.store(true, std::memory_order_release);
    }

    std::unique_ptr<RtMidiOut> m_midi;
    std::unique_ptr<ScheduledSender> m_sender;
    int m_sendErrors = 0;  // the sender thread's
    char m_cause[256] = {};
    std::atomic<bool> m_causeKept{false};
};

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
        m_notes.start(std::move(midi));
        openClock();
        return true;
    }

    void close() override {
        m_clock.close();
        m_notes.close();
    }

    bool send(const ShortMessage& message, int64_t dueNs) override {
        return m_notes.post(message, dueNs);
    }

    bool sendClock(const ShortMessage& message, int64_t dueNs) override {
        // Without its port (told at the open) the clock goes nowhere.
        return m_clock.isOpen() ? m_clock.post(message, dueNs) : m_notes.isOpen();
    }

    // A refusal on the sender thread is raised by poll() for either port: the cause says
    // which.
    std::string sendFailure() const override {
        if (m_notes.cause().empty() && !m_clock.cause().empty())
            return "the clock port: " + m_clock.cause();
        return failureOf(m_notes);
    }
    std::string clockSendFailure() const override { return failureOf(m_clock); }

    void poll() override {
        if (m_notes.failed() || m_clock.failed())
            raise(MidiError::kSendFailed);
    }

    void withdrawAfter(int64_t nowNs) override { m_notes.withdrawAfter(nowNs); }
    void withdrawClockAfter(int64_t nowNs) override { m_clock.withdrawAfter(nowNs); }

    int64_t schedulingLeadNs() const override {
        return m_notes.isOpen() ? ScheduledSender::kLeadNs : 0;
    }

private:
    static std::string failureOf(const SentPort& port) {
        const std::string cause = port.cause();
        if (!cause.empty())
            return cause;
        return "the ALSA output is not keeping up: " +
               std::to_string(ScheduledSender::kCapacity - 1) + " messages are waiting already";
    }

    // The clock port: a port others subscribe to, as RtMidi makes one (a virtual port), on a
    // client of the program's name; RtMidi gives each of its objects a client of its own. A
    // port the sequencer refuses is told, and the notes play without it.
    void openClock() {
        std::string error, lastError;
        auto midi = rtmidiclient::constructAlsa<RtMidiOut>(kClientName, error, &lastError);
        if (midi && rtmidiclient::openVirtual(*midi, "clock", lastError, error))
            m_clock.start(std::move(midi));
        else
            tell(MidiError::kOpenFailed, "Cannot open the MIDI clock port on the ALSA sequencer: " +
                                             error + ". The notes play without it.");
    }

    SentPort m_notes;
    SentPort m_clock;
};

}  // namespace

std::unique_ptr<MidiOutSystem> makeAlsaMidiOutSystem() {
    return std::make_unique<AlsaMidiOutSystem>();
}
