#include "jackmidibackend.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <limits>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

#include "audioclock.h"
#include "core/monotonicclock.h"
#include "duequeue.h"
#include "faultwatcher.h"
#include "jackclient.h"

namespace {

// Room for far more than the messages of one lead time, even at 1 ms steps with all four
// voices on (about 40 in flight).
constexpr std::size_t kQueueSize = 1024;
// Beyond one period, how early a message must be queued so that the process callback of
// the period that covers its due time has it: the callback may run a little before the
// cycle start that JACK's clock filter reports.
constexpr int64_t kQueueMarginNs = 300'000;

// What goes wrong outside a call, raised where it is met (JACK's threads) and told by the
// port's watcher. Shutdown: the server went away; Dropped: it threw this client out (too
// slow in its process callback) and runs on; either way the client is dead. TargetGone:
// the port sent to was unregistered. To the user these are one loss.
enum Fault : uint32_t {
    kServerShutDown = 1u << 0,
    kDropped = 1u << 1,
    kTargetGone = 1u << 2,
};
constexpr uint32_t kLost = kServerShutDown | kDropped | kTargetGone;

class JackMidiOutSystem final : public MidiOutSystem {
public:
    JackMidiOutSystem()
        : m_faults({{kServerShutDown, MidiError::kDeviceLost, false, kLost},
                    {kDropped, MidiError::kDeviceLost, false, kLost},
                    {kTargetGone, MidiError::kDeviceLost, false, kLost}},
                   [this](int16_t code, const std::string& text) { reportAsync(code, text); }) {}
    ~JackMidiOutSystem() override { close(); }

    std::string systemName() const override { return "JACK"; }

    std::vector<std::string> listPorts() override {
        std::vector<std::string> ports;
        jack_client_t* client = m_client;
        if (!client || m_faults.raised(kLost)) {
            client = jackclient::open(jackclient::kProbe);
            if (!client)
                return ports;  // no server running: nothing to list
        }
        if (const char** names =
                jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput)) {
            for (const char** n = names; *n; ++n)
                if (!jackclient::isOurs(*n))
                    ports.emplace_back(*n);
            jack_free(names);
        }
        if (client != m_client)
            jack_client_close(client);
        return ports;
    }

    bool open(const std::string& port, std::string& error) override {
        close();
        m_client = jackclient::open(jackclient::kMidiOut, &error);
        if (!m_client)
            return false;
        m_port = jack_port_register(m_client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if (!m_port) {
            error = "JACK refused to register an output port";
            dropClient();
            return false;
        }
        m_target = port;
        m_closing.store(false);
        m_live.store(false);
        m_periodNs.store(framesToNs(jack_get_buffer_size(m_client), jack_get_sample_rate(m_client)));
        jack_set_process_callback(m_client, &JackMidiOutSystem::process, this);
        jack_set_buffer_size_callback(m_client, &JackMidiOutSystem::bufferSizeChanged, this);
        jack_set_port_registration_callback(m_client, &JackMidiOutSystem::portRegistered, this);
        jack_on_info_shutdown(m_client, &JackMidiOutSystem::serverShutDown, this);
        // PipeWire's JACK calls only the plain shutdown callback when its daemon goes away;
        // jackd2 calls only the one above when both are set. Whichever comes is the loss.
        jack_on_shutdown(m_client, &JackMidiOutSystem::serverGone, this);
        m_faults.start([this](uint32_t fault) { return describe(fault); });
        if (jack_activate(m_client) != 0) {
            error = "JACK refused to activate the client";
            close();
            return false;
        }
        // Looked up by name again: the list may be stale.
        if (!jack_port_by_name(m_client, port.c_str())) {
            error = "the device is no longer there";
            close();
            return false;
        }
        if (jack_connect(m_client, jack_port_name(m_port), port.c_str()) != 0) {
            error = "JACK refused to connect to it";
            close();
            return false;
        }
        // A new client and connection join the server's graph a few periods later; until
        // then messages would wait. Playback may start the moment this returns, so wait
        // (briefly) for the first period that carries them, or for the port to be lost.
        const int64_t until = monotonicNowNs() + 1'000'000'000;
        while (!m_live.load(std::memory_order_acquire) && !m_faults.raised(kLost) &&
               monotonicNowNs() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return true;
    }

    void close() override {
        if (!m_client)
            return;
        // Callbacks that come from our own teardown (the connection and the port going
        // away) are not a lost device.
        m_closing.store(true);
        if (!m_faults.raised(kServerShutDown | kDropped))
            jack_deactivate(m_client);
        dropClient();
    }

    bool send(const unsigned char* bytes, std::size_t size, int64_t dueNs,
              std::string& error) override {
        if (!m_client) {
            error = "the port is not open";
            return false;
        }
        // The loss has been reported once already, and the port component closes the port
        // on that report; messages sent until then go nowhere.
        if (m_faults.raised(kLost))
            return true;
        ShortMessage message;
        if (!checkShortMessage(bytes, size, message, error))
            return false;
        if (!m_queue.post(message, dueNs)) {
            error = "JACK is not taking the messages: " + std::to_string(m_queue.kMaxWaiting) +
                    " are waiting already";
            return false;
        }
        return true;
    }

    void withdrawAfter(int64_t nowNs) override {
        if (m_client)
            m_queue.withdrawAfter(nowNs);
    }

    int64_t schedulingLeadNs() const override {
        // A message must be queued before the period that covers its due time starts.
        return m_periodNs.load(std::memory_order_relaxed) + kQueueMarginNs;
    }

private:
    void dropClient() {
        jack_client_close(m_client);
        m_client = nullptr;
        m_port = nullptr;
        // No callback runs any more: what they raised from now on is not told.
        m_faults.stop();
        // With the client gone this thread is the only one touching the queue.
        m_queue.reset();
        m_target.clear();
    }

    std::string describe(uint32_t fault) const {
        switch (fault) {
            case kServerShutDown:
                return "The JACK server has shut down, so the MIDI output to \"JACK: " + m_target +
                       "\" is closed. Start JACK again, then choose the output in MIDI Setup.";
            case kDropped:
                return "JACK stopped this program's MIDI output to \"JACK: " + m_target +
                       "\" (the system was too busy to keep up). Choose the output again in "
                       "MIDI Setup.";
            case kTargetGone:
                return "The JACK port \"" + m_target +
                       "\" is gone (its program left), so the MIDI output is closed. Choose an "
                       "output in MIDI Setup.";
            default:
                return {};
        }
    }

    // ---- JACK's threads

    // The process callback: no lock, no allocation, no system call, no text. What it meets
    // leaves it as a flag.
    static int process(jack_nframes_t frames, void* arg) {
        static_cast<JackMidiOutSystem*>(arg)->writePeriod(frames);
        return 0;
    }

    void writePeriod(jack_nframes_t frames) {
        void* buffer = jack_port_get_buffer(m_port, frames);
        jack_midi_clear_buffer(buffer);
        if (!m_live.load(std::memory_order_relaxed) && jack_port_connected(m_port) > 0)
            m_live.store(true, std::memory_order_release);

        int64_t firstDueNs = 0;
        if (!m_queue.nextDue(firstDueNs))
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
            jack_get_cycle_times(m_client, &cycleFrames, &cycleUs, &nextUs, &periodUs) == 0 &&
            nextUs > cycleUs;
        int64_t jackMinusMonoNs = 0;
        jack_time_t closest = ~jack_time_t(0);
        for (int i = 0; i < 3; ++i) {
            const jack_time_t j1 = jack_get_time();
            const int64_t mono = monotonicNowNs();
            const jack_time_t j2 = jack_get_time();
            if (j2 - j1 < closest) {
                closest = j2 - j1;
                jackMinusMonoNs = int64_t(j1 + j2) * 500 - mono;
            }
        }
        const double framesPerNs = timed ? double(frames) / (double(nextUs - cycleUs) * 1000.0) : 0;
        // Due times from here on fall into a later period. Without the cycle's times every
        // waiting message goes now.
        const int64_t periodEndNs =
            timed ? int64_t(nextUs) * 1000 - jackMinusMonoNs : std::numeric_limits<int64_t>::max();

        jack_nframes_t earliest = 0;
        m_queue.takeDue(periodEndNs, [&](const TimedMessage& m) {
            double offset = 0;
            if (m.dueNs != 0 && timed) {
                const int64_t intoCycleNs = m.dueNs + jackMinusMonoNs - int64_t(cycleUs) * 1000;
                offset = std::floor(double(intoCycleNs) * framesPerNs + 0.5);
            }
            if (offset >= double(frames))
                return false;  // due in a later period; so are the rest
            // Past due (or due before a message already written): the earliest frame left.
            const jack_nframes_t at =
                offset > double(earliest) ? static_cast<jack_nframes_t>(offset) : earliest;
            if (jack_midi_event_write(buffer, at, m.message.bytes.data(), m.message.size) != 0)
                return false;  // buffer full: the rest waits for the next period
            earliest = at;
            return true;
        });
    }

    static int bufferSizeChanged(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackMidiOutSystem*>(arg);
        self->m_periodNs.store(framesToNs(frames, jack_get_sample_rate(self->m_client)));
        return 0;
    }

    // JACK's notification thread; the shutdown callback may even run where only
    // async-signal-safe calls are allowed. They only raise the fault and wake the watcher.
    void lose(Fault why) {
        if (!m_closing.load())
            m_faults.raiseAndWake(why);
    }

    static void serverShutDown(jack_status_t code, const char*, void* arg) {
        static_cast<JackMidiOutSystem*>(arg)->lose((code & JackClientZombie) ? kDropped
                                                                             : kServerShutDown);
    }

    static void serverGone(void* arg) {
        static_cast<JackMidiOutSystem*>(arg)->lose(kServerShutDown);
    }

    // Only the receiving port going away is a loss. A connection changed in a patchbay
    // (ours removed, others added) is the user's own doing: the output stays open and
    // sends to whatever it is connected to.
    static void portRegistered(jack_port_id_t id, int registered, void* arg) {
        auto* self = static_cast<JackMidiOutSystem*>(arg);
        if (registered || self->m_closing.load())
            return;
        jack_port_t* port = jack_port_by_id(self->m_client, id);
        if (port && self->m_target == jack_port_name(port))
            self->lose(kTargetGone);
    }

    jack_client_t* m_client = nullptr;
    jack_port_t* m_port = nullptr;
    std::string m_target;  // full name of the port we send to; fixed while the client runs

    std::atomic<bool> m_closing{false};
    std::atomic<bool> m_live{false};  // set by the first period that runs with the connection
    FaultWatcher m_faults;

    std::atomic<int64_t> m_periodNs{0};
    // Producer: the thread that sends (one at a time); consumer: the process callback.
    DueQueue<kQueueSize> m_queue;
};

// MIDI input from JACK through this program's own client: a port "in" connected from the
// chosen output port. Nothing in the program reads what comes in, and JACK keeps a period's
// messages only for that period, so the port has no process callback: they are dropped as
// they come and never pile up.
class JackMidiInSystem final : public MidiInSystem {
public:
    ~JackMidiInSystem() override { close(); }

    std::string systemName() const override { return "JACK"; }

    std::vector<std::string> listPorts() override {
        std::vector<std::string> ports;
        jack_client_t* client = jackclient::open(jackclient::kProbe);
        if (!client)
            return ports;
        if (const char** names =
                jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput)) {
            for (const char** n = names; *n; ++n)
                if (!jackclient::isOurs(*n))
                    ports.emplace_back(*n);
            jack_free(names);
        }
        jack_client_close(client);
        return ports;
    }

    bool open(const std::string& port, std::string& error) override {
        close();
        m_client = jackclient::open(jackclient::kMidiIn, &error);
        if (!m_client)
            return false;
        m_shutDown.store(false);
        jack_on_info_shutdown(m_client, &JackMidiInSystem::serverShutDown, this);
        jack_port_t* in =
            jack_port_register(m_client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        if (!in) {
            error = "JACK refused to register an input port";
        } else if (jack_activate(m_client) != 0) {
            error = "JACK refused to activate the client";
        } else if (!jack_port_by_name(m_client, port.c_str())) {
            // Looked up by name again: the list may be stale.
            error = "the device is no longer there";
        } else if (jack_connect(m_client, port.c_str(), jack_port_name(in)) != 0) {
            error = "JACK refused to connect to it";
        } else {
            return true;
        }
        close();
        return false;
    }

    void close() override {
        if (!m_client)
            return;
        if (!m_shutDown.load())
            jack_deactivate(m_client);
        jack_client_close(m_client);
        m_client = nullptr;
    }

    void setReceiving(bool /*on*/) override {
        // Messages are dropped whether or not the port takes them in: nothing reads them.
    }

private:
    // May run where only async-signal-safe calls are allowed: it only notes the loss.
    static void serverShutDown(jack_status_t, const char*, void* arg) {
        static_cast<JackMidiInSystem*>(arg)->m_shutDown.store(true);
    }

    jack_client_t* m_client = nullptr;
    std::atomic<bool> m_shutDown{false};
};

}  // namespace

std::unique_ptr<MidiOutSystem> makeJackMidiOutSystem() {
    return std::make_unique<JackMidiOutSystem>();
}

std::unique_ptr<MidiInSystem> makeJackMidiInSystem() {
    return std::make_unique<JackMidiInSystem>();
}
