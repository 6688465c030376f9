#include "midi/jack/jackoutput.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/monotonicclock.h"
#include "midi/audioclock.h"
#include "midi/duequeue.h"
#include "midi/jack/jackclient.h"
#include "midi/jack/periodframes.h"

namespace {

// Room for far more than the messages of one lead time, even at 1 ms steps with all four
// voices on (about 40 in flight).
constexpr std::size_t kQueueSize = 1024;
// The clock at its shortest steps (2 ms) is 3,000 messages a second: room for the second a
// server that stopped takes to be noticed (kStallNs), after which nothing more is queued.
constexpr std::size_t kClockQueueSize = 4096;
// Beyond one period, how early a message must be queued so that the process callback of
// the period that covers its due time has it: the callback may run a little before the
// cycle start that JACK's clock filter reports.
constexpr int64_t kQueueMarginNs = 300'000;
// A server whose process cycles have not come for this long is not answering.
constexpr int64_t kStallNs = 1'000'000'000;

// The ways the output is lost, flagged where they are met (JACK's threads) and raised as
// one loss by the port's fault watcher. Shutdown: the server went away; Dropped: it threw
// this client out (too slow in its process callback) and runs on; either way the client is
// dead. TargetGone: the port sent to was unregistered.
enum Loss : uint32_t {
    kServerShutDown = 1u << 0,
    kDropped = 1u << 1,
    kTargetGone = 1u << 2,
};
constexpr uint32_t kLost = kServerShutDown | kDropped | kTargetGone;

// One open output: its client and what the client's callbacks use. Held by the output
// while it is open, and by a call on the link until libjack has let go of it, so that a
// close the server does not answer leaves nothing the callbacks use freed behind them.
struct OutClient {
    jack_client_t* client = nullptr;
    jack_port_t* port = nullptr;  // null on a client with the clock port only
    jack_port_t* clockPort = nullptr;
    std::string target;  // full name of the port sent to

    std::atomic<bool> closing{false};
    std::atomic<bool> live{false};    // a period has run with the connection made
    std::atomic<uint32_t> faults{0};  // Loss bits, set by JACK's threads
    std::atomic<int64_t> lastCycleNs{0};
    std::atomic<bool> answering{true};  // kept by poll()
    std::atomic<int64_t> periodNs{0};
    // Producer: the thread that sends (one at a time); consumer: the process callback.
    DueQueue<kQueueSize> queue;
    DueQueue<kClockQueueSize> clockQueue;

    // On the link's thread: opens the client and connects it to `port`; with no port, opens
    // it with the clock port only, connected to nothing. False with the reason, and nothing
    // left open, when it cannot.
    bool open(const std::string& to, std::string& error) {
        client = jackclient::open(jackclient::kMidiOut, &error);
        if (!client)
            return false;
        if (!to.empty())
            port = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        clockPort =
            jack_port_register(client, "clock", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if ((!port && !to.empty()) || !clockPort) {
            error = "JACK refused to register an output port";
            close();
            return false;
        }
        target = to;
        periodNs.store(framesToNs(jack_get_buffer_size(client), jack_get_sample_rate(client)));
        lastCycleNs.store(monotonicNowNs());
        jack_set_process_callback(client, &OutClient::process, this);
        jack_set_buffer_size_callback(client, &OutClient::bufferSizeChanged, this);
        jack_set_port_registration_callback(client, &OutClient::portRegistered, this);
        jack_on_info_shutdown(client, &OutClient::serverShutDown, this);
        // PipeWire's JACK calls only the plain shutdown callback when its daemon goes away;
        // jackd2 calls only the one above when both are set. Whichever comes is the loss.
        jack_on_shutdown(client, &OutClient::serverGone, this);
        if (to.empty() ? jack_activate(client) == 0
                       : jackclient::activateAndConnect(client, to, jack_port_name(port),
                                                        to.c_str(), error))
            return true;
        if (to.empty())
            error = "JACK refused to activate the client";
        close();
        return false;
    }

    // On the link's thread: closes the client; no callback runs after it.
    void close() {
        if (!client)
            return;
        // Callbacks that come from our own teardown (the connection and the port going
        // away) are not a lost device.
        closing.store(true);
        if (!(faults.load() & (kServerShutDown | kDropped)))
            jack_deactivate(client);
        jack_client_close(client);
        client = nullptr;
    }

    // ---- JACK's threads

    // The process callback: no lock, no allocation, no system call but clock reads, no
    // text. What it meets leaves it as a flag.
    static int process(jack_nframes_t frames, void* arg) {
        static_cast<OutClient*>(arg)->writePeriod(frames);
        return 0;
    }

    void writePeriod(jack_nframes_t frames) {
        void* buffer = port ? jack_port_get_buffer(port, frames) : nullptr;
        if (buffer)
            jack_midi_clear_buffer(buffer);
        void* clockBuffer = jack_port_get_buffer(clockPort, frames);
        jack_midi_clear_buffer(clockBuffer);
        lastCycleNs.store(monotonicNowNs(), std::memory_order_relaxed);
        if (!live.load(std::memory_order_relaxed) && port && jack_port_connected(port) > 0)
            live.store(true, std::memory_order_release);

        int64_t firstDueNs = 0;
        if (!queue.nextDue(firstDueNs) && !clockQueue.nextDue(firstDueNs))
            return;

        // Map CLOCK_MONOTONIC due times onto this period's frames. JACK's own clock is not
        // CLOCK_MONOTONIC (jack2 on Linux reads CLOCK_MONOTONIC_RAW, which runs at a slightly
        // different rate under NTP), so the offset between the two is read afresh each period,
        // between two readings of JACK's. A thread preempted between the readings would move
        // the period's messages by half the time it lost, so of three tries the closest pair
        // counts.
        jack_nframes_t cycleFrames = 0;
        jack_time_t cycleUs = 0, nextUs = 0;
        float periodUs = 0;
        const bool timed =
            jack_get_cycle_times(client, &cycleFrames, &cycleUs, &nextUs, &periodUs) == 0 &&
            nextUs > cycleUs;
        int64_t jackMinusMonoNs = 0, mono = 0;
        jack_time_t closest = ~jack_time_t(0);
        for (int i = 0; i < 3; ++i) {
            const jack_time_t j1 = jack_get_time();
            const int64_t now = monotonicNowNs();
            const jack_time_t j2 = jack_get_time();
            if (j2 - j1 < closest) {
                closest = j2 - j1;
                mono = now;
                jackMinusMonoNs = int64_t(j1 + j2) * 500 - now;
            }
        }
        // Without the cycle's times every waiting message goes now.
        const PeriodFrames period(frames, timed ? int64_t(cycleUs) * 1000 - jackMinusMonoNs : 0,
                                  timed ? int64_t(nextUs) * 1000 - jackMinusMonoNs : 0);

        // The clock port's messages go by the same mapping as the notes: both land on the
        // frames of their due times, so a follower's clock and the notes stay together.
        if (buffer)
            writeDue(queue, buffer, period, mono);
        writeDue(clockQueue, clockBuffer, period, mono);
    }

    template <typename Queue>
    static void writeDue(Queue& from, void* buffer, const PeriodFrames& period, int64_t nowNs) {
        jack_nframes_t earliest = 0;
        from.takeDue(period.endNs(), [&](const TimedMessage& m) {
            if (isStale(m.dueNs, nowNs))
                return true;  // held up by a stopped server: dropped
            const uint32_t at = period.frameOf(m.dueNs, earliest);
            if (at == PeriodFrames::kLater)
                return false;  // due in a later period; so are the rest
            if (jack_midi_event_write(buffer, at, m.message.bytes.data(), m.message.size) != 0)
                return false;  // buffer full: the rest waits for the next period
            earliest = at;
            return true;
        });
    }

    static int bufferSizeChanged(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<OutClient*>(arg);
        self->periodNs.store(framesToNs(frames, jack_get_sample_rate(self->client)));
        return 0;
    }

    // JACK's notification thread; the shutdown callback may even run where only
    // async-signal-safe calls are allowed. They only raise the fault.
    void lose(Loss why) {
        if (!closing.load())
            faults.fetch_or(why);
    }

    static void serverShutDown(jack_status_t code, const char*, void* arg) {
        static_cast<OutClient*>(arg)->lose((code & JackClientZombie) ? kDropped : kServerShutDown);
    }

    static void serverGone(void* arg) { static_cast<OutClient*>(arg)->lose(kServerShutDown); }

    // Only the receiving port going away is a loss. A connection changed in a patchbay
    // (ours removed, others added) is the user's own doing: the output stays open and
    // sends to whatever it is connected to.
    static void portRegistered(jack_port_id_t id, int registered, void* arg) {
        auto* self = static_cast<OutClient*>(arg);
        if (registered || self->closing.load())
            return;
        jack_port_t* port = jack_port_by_id(self->client, id);
        if (port && self->target == jack_port_name(port))
            self->lose(kTargetGone);
    }
};

class JackMidiOutSystem final : public MidiOutSystem {
public:
    explicit JackMidiOutSystem(std::shared_ptr<JackServerLink> link)
        : m_link(link ? std::move(link) : std::make_shared<JackServerLink>()) {}
    ~JackMidiOutSystem() override { close(); }

    std::string systemName() const override { return "JACK"; }

    std::vector<std::string> listPorts() override {
        // An open client lists from the server's shared memory, which answers at once.
        if (m_open && !(m_open->faults.load() & kLost))
            return jackclient::othersPorts(m_open->client, JackPortIsInput);
        bool answered = false;
        std::vector<std::string> ports =
            jackclient::listThroughLink(*m_link, JackPortIsInput, answered);
        if (!answered)
            tell(MidiError::kNotAnswering,
                 "The JACK server is not answering, so its MIDI ports are not listed. Once it "
                 "answers again, close MIDI Setup with Cancel and open it again to choose one.");
        return ports;
    }

    bool open(const std::string& port, std::string& error) override {
        close();
        auto c = jackclient::openThroughLink<OutClient>(*m_link, port, error);
        if (!c)
            return false;
        m_open = c;
        // A new client and connection join the server's graph a few periods later; until
        // then messages would wait. Playback may start the moment this returns, so wait
        // (briefly) for the first period that carries them, or for the port to be lost.
        // The clock port alone is connected to nothing: nothing to wait for.
        const int64_t until = monotonicNowNs() + JackServerLink::kAnswerNs;
        while (!port.empty() && !c->live.load(std::memory_order_acquire) &&
               !(c->faults.load() & kLost) && monotonicNowNs() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return true;
    }

    void close() override {
        if (!m_open)
            return;
        std::shared_ptr<OutClient> c = std::move(m_open);
        c->closing.store(true);
        jackclient::closeThroughLink(*m_link, std::move(c));
    }

    bool send(const ShortMessage& message, int64_t dueNs) override {
        return post(m_open ? &m_open->queue : nullptr, message, dueNs);
    }

    bool sendClock(const ShortMessage& message, int64_t dueNs) override {
        return post(m_open ? &m_open->clockQueue : nullptr, message, dueNs);
    }

    std::string sendFailure() const override { return notTaking(kQueueSize); }
    std::string clockSendFailure() const override { return notTaking(kClockQueueSize); }

    void withdrawAfter(int64_t nowNs) override {
        if (m_open)
            m_open->queue.withdrawAfter(nowNs);
    }

    void withdrawClockAfter(int64_t nowNs) override {
        if (m_open)
            m_open->clockQueue.withdrawAfter(nowNs);
    }

    int64_t schedulingLeadNs() const override {
        // A message must be queued before the period that covers its due time starts.
        return m_open ? m_open->periodNs.load(std::memory_order_relaxed) + kQueueMarginNs : 0;
    }

    // What JACK's threads flagged, and whether the process cycles still come.
    void poll() override {
        if (!m_open)
            return;
        const bool answering = monotonicNowNs() - m_open->lastCycleNs.load() < kStallNs;
        m_open->answering.store(answering);
        if (m_open->faults.load() & kLost)
            raise(MidiError::kDeviceLost);
        if (!answering)
            raise(MidiError::kNotAnswering);
    }

    std::string describe(int16_t code) const override {
        if (!m_open)
            return {};
        const std::string& target = m_open->target;
        const uint32_t lost = m_open->faults.load();
        if (code == MidiError::kNotAnswering)
            return "The JACK server is not answering, so the MIDI output to \"JACK: " + target +
                   "\" plays nothing until it answers again.";
        if (code != MidiError::kDeviceLost)
            return {};
        if (lost & kServerShutDown)
            return "The JACK server has shut down, so the MIDI output to \"JACK: " + target +
                   "\" is closed. Start JACK again, then choose the output in MIDI Setup.";
        if (lost & kDropped)
            return "JACK stopped this program's MIDI output to \"JACK: " + target +
                   "\" (the system was too busy to keep up). Choose the output again in MIDI "
                   "Setup.";
        return "The JACK port \"" + target +
               "\" is gone (its program left), so the MIDI output is closed. Choose an output "
               "in MIDI Setup.";
    }

private:
    static std::string notTaking(std::size_t queueSize) {
        return "JACK is not taking the messages: " + std::to_string(queueSize - 1) +
               " are waiting already";
    }

    template <typename Queue>
    bool post(Queue* queue, const ShortMessage& message, int64_t dueNs) {
        if (!queue)
            return false;
        // A loss is told once, and the port component closes the port when it is; messages
        // sent until then go nowhere. So do those sent while the server does not answer: it
        // is told, and they would pile up.
        if ((m_open->faults.load(std::memory_order_relaxed) & kLost) ||
            !m_open->answering.load(std::memory_order_relaxed))
            return true;
        return queue->post(message, dueNs);
    }

    std::shared_ptr<JackServerLink> m_link;
    std::shared_ptr<OutClient> m_open;
};

}  // namespace

std::unique_ptr<MidiOutSystem> makeJackMidiOutSystem(std::shared_ptr<JackServerLink> link) {
    return std::make_unique<JackMidiOutSystem>(std::move(link));
}
