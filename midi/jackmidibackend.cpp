#include "jackmidibackend.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <semaphore.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/monotonicclock.h"
#include "rtmidibackend.h"
#include "spscqueue.h"

namespace {

// Short messages only; the program never sends anything longer than three bytes.
constexpr std::size_t kMaxEventBytes = 8;
// Room for far more than the messages of one lead time, even at 1 ms steps with all four
// voices on (about 40 in flight).
constexpr std::size_t kQueueSize = 1024;
// Beyond one period, how early a message must be queued so that the process callback of
// the period that covers its due time has it: the callback may run a little before the
// cycle start that JACK's clock filter reports.
constexpr int64_t kQueueMarginNs = 300'000;

struct Event {
    int64_t dueNs = 0;        // CLOCK_MONOTONIC; 0 = at once
    uint32_t generation = 0;  // cancelPending() bumps it; older events may be dropped
    uint8_t size = 0;
    unsigned char bytes[kMaxEventBytes] = {};
};

// True when generation `g` is older than `current` (the counter may wrap).
bool olderThan(uint32_t g, uint32_t current) {
    return int32_t(g - current) < 0;
}

// libjack prints every failure (no server, a refused connection) to stderr. The program
// reports its trouble through the port's Error event instead, so JACK's texts are dropped.
void quiet(const char*) {}
void silenceJack() {
    static std::once_flag once;
    std::call_once(once, [] {
        jack_set_error_function(&quiet);
        jack_set_info_function(&quiet);
    });
}

bool isOurs(const char* portName) {
    return std::strncmp(portName, kMidiClientName, std::strlen(kMidiClientName)) == 0;
}

class JackMidiOutSystem final : public MidiOutSystem {
public:
    JackMidiOutSystem() {
        silenceJack();
        sem_init(&m_wake, 0, 0);
        sem_init(&m_live, 0, 0);
    }
    ~JackMidiOutSystem() override {
        close();
        sem_destroy(&m_wake);
        sem_destroy(&m_live);
    }

    std::string systemName() const override { return "JACK"; }

    std::vector<std::string> listPorts() override {
        std::vector<std::string> ports;
        jack_client_t* client = m_client;
        if (!client || m_lost.load()) {
            client = jack_client_open(kMidiClientName, JackNoStartServer, nullptr);
            if (!client)
                return ports;  // no server running: nothing to list
        }
        if (const char** names =
                jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput)) {
            for (const char** n = names; *n; ++n)
                if (!isOurs(*n))
                    ports.emplace_back(*n);
            jack_free(names);
        }
        if (client != m_client)
            jack_client_close(client);
        return ports;
    }

    bool open(const std::string& port, std::string& error) override {
        close();
        jack_status_t status{};
        m_client = jack_client_open(kMidiClientName, JackNoStartServer, &status);
        if (!m_client) {
            error = (status & JackServerFailed) ? "no JACK server is running"
                                                : "JACK refused a new client";
            return false;
        }
        m_port = jack_port_register(m_client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if (!m_port) {
            error = "JACK refused to register an output port";
            dropClient();
            return false;
        }
        m_target = port;
        m_closing.store(false);
        m_lost.store(false);
        m_loss.store(Loss::None);
        m_periodNs.store(periodNs(jack_get_buffer_size(m_client), jack_get_sample_rate(m_client)));
        jack_set_process_callback(m_client, &JackMidiOutSystem::process, this);
        jack_set_buffer_size_callback(m_client, &JackMidiOutSystem::bufferSizeChanged, this);
        jack_set_port_registration_callback(m_client, &JackMidiOutSystem::portRegistered, this);
        jack_on_info_shutdown(m_client, &JackMidiOutSystem::serverShutDown, this);
        // PipeWire's JACK calls only the plain shutdown callback when its daemon goes away;
        // jackd2 calls only the one above when both are set. Whichever comes is the loss.
        jack_on_shutdown(m_client, &JackMidiOutSystem::serverGone, this);
        m_watcher = std::thread([this] { watch(); });
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
        while (sem_trywait(&m_live) == 0) {
        }
        m_awaitingLive.store(true);
        if (jack_connect(m_client, jack_port_name(m_port), port.c_str()) != 0) {
            error = "JACK refused to connect to it";
            close();
            return false;
        }
        // A new client and connection join the server's graph a few periods later; until
        // then messages would wait. Playback may start the moment this returns, so wait
        // (briefly) for the first period that carries them.
        timespec until{};
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_sec += 1;
        while (sem_clockwait(&m_live, CLOCK_MONOTONIC, &until) != 0 && errno == EINTR) {
        }
        return true;
    }

    void close() override {
        if (!m_client)
            return;
        // Callbacks that come from our own teardown (the connection and the port going
        // away) are not a lost device.
        m_closing.store(true);
        const Loss loss = m_loss.load();
        if (loss != Loss::Shutdown && loss != Loss::Dropped)
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
        if (m_lost.load(std::memory_order_relaxed))
            return true;
        if (size == 0 || size > kMaxEventBytes) {
            error = "a message of " + std::to_string(size) + " bytes cannot be sent";
            return false;
        }
        Event e;
        e.dueNs = dueNs < 0 ? 0 : dueNs;
        e.generation = m_generation.load(std::memory_order_relaxed);
        e.size = static_cast<uint8_t>(size);
        std::memcpy(e.bytes, bytes, size);
        if (!m_queue.push(e)) {
            error = "JACK is not taking the messages (its queue is full)";
            return false;
        }
        return true;
    }

    void cancelPending() override {
        // Messages sent before now and due after now are dropped; those already due stay.
        m_cancelAtNs.store(monotonicNowNs(), std::memory_order_relaxed);
        m_generation.fetch_add(1, std::memory_order_release);
    }

    int64_t schedulingLeadNs() const override {
        // A message must be queued before the period that covers its due time starts.
        return m_periodNs.load(std::memory_order_relaxed) + kQueueMarginNs;
    }

private:
    // Shutdown: the server went away; Dropped: it threw this client out (too slow in its
    // process callback) and runs on; either way the client is dead. TargetGone: the port
    // sent to was unregistered.
    enum class Loss { None, Shutdown, Dropped, TargetGone };

    static int64_t periodNs(jack_nframes_t frames, jack_nframes_t rate) {
        return rate == 0 ? 0 : int64_t(frames) * 1'000'000'000 / int64_t(rate);
    }

    void dropClient() {
        jack_client_close(m_client);
        m_client = nullptr;
        m_port = nullptr;
        // The watcher is told to end once no callback can wake it any more.
        m_closing.store(true);
        sem_post(&m_wake);
        if (m_watcher.joinable())
            m_watcher.join();
        // With the client gone this thread is the only one touching the queue.
        m_queue.clear();
        m_pendingCount = 0;
        m_target.clear();
    }

    // ---- JACK's threads

    // The process callback: no locks, no allocation, no system calls besides clock reads.
    static int process(jack_nframes_t frames, void* arg) {
        static_cast<JackMidiOutSystem*>(arg)->writePeriod(frames);
        return 0;
    }

    void writePeriod(jack_nframes_t frames) {
        void* buffer = jack_port_get_buffer(m_port, frames);
        jack_midi_clear_buffer(buffer);
        if (m_awaitingLive.load(std::memory_order_relaxed) && jack_port_connected(m_port) > 0) {
            m_awaitingLive.store(false, std::memory_order_relaxed);
            sem_post(&m_live);
        }

        // Take in what the UI thread queued, keeping the pending list in due order (messages
        // due at once first, equal due times in the order they were sent).
        const uint32_t generation = m_generation.load(std::memory_order_acquire);
        const int64_t cancelAtNs = m_cancelAtNs.load(std::memory_order_relaxed);
        auto cancelled = [&](const Event& ev) {
            return olderThan(ev.generation, generation) && ev.dueNs > cancelAtNs;
        };
        if (generation != m_pendingGeneration) {
            std::size_t kept = 0;
            for (std::size_t i = 0; i < m_pendingCount; ++i)
                if (!cancelled(m_pending[i]))
                    m_pending[kept++] = m_pending[i];
            m_pendingCount = kept;
            m_pendingGeneration = generation;
        }
        Event e;
        while (m_pendingCount < m_pending.size() && m_queue.pop(e)) {
            if (cancelled(e))
                continue;
            std::size_t at = m_pendingCount;
            while (at > 0 && m_pending[at - 1].dueNs > e.dueNs) {
                m_pending[at] = m_pending[at - 1];
                --at;
            }
            m_pending[at] = e;
            ++m_pendingCount;
        }
        if (m_pendingCount == 0)
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

        jack_nframes_t earliest = 0;
        std::size_t written = 0;
        for (; written < m_pendingCount; ++written) {
            const Event& ev = m_pending[written];
            double offset = 0;
            if (ev.dueNs != 0 && timed) {
                const int64_t intoCycleNs = ev.dueNs + jackMinusMonoNs - int64_t(cycleUs) * 1000;
                offset = std::floor(double(intoCycleNs) * framesPerNs + 0.5);
            }
            if (offset >= double(frames))
                break;  // due in a later period; so are the rest
            // Past due (or due before an event already written): the earliest frame left.
            const jack_nframes_t at =
                offset > double(earliest) ? static_cast<jack_nframes_t>(offset) : earliest;
            if (jack_midi_event_write(buffer, at, ev.bytes, ev.size) != 0)
                break;  // buffer full
            earliest = at;
        }
        if (written > 0) {
            std::move(m_pending.begin() + written, m_pending.begin() + m_pendingCount,
                      m_pending.begin());
            m_pendingCount -= written;
        }
    }

    static int bufferSizeChanged(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackMidiOutSystem*>(arg);
        self->m_periodNs.store(periodNs(frames, jack_get_sample_rate(self->m_client)));
        return 0;
    }

    // The callbacks below only note what happened and wake the watcher thread: the shutdown
    // callback may run in a context where only async-signal-safe calls are allowed.
    void lose(Loss why) {
        if (m_closing.load())
            return;
        Loss none = Loss::None;
        if (m_loss.compare_exchange_strong(none, why)) {
            m_lost.store(true);
            sem_post(&m_wake);
            // An open still waiting for its connection to go live need wait no longer.
            sem_post(&m_live);
        }
    }

    static void serverShutDown(jack_status_t code, const char*, void* arg) {
        static_cast<JackMidiOutSystem*>(arg)->lose((code & JackClientZombie) ? Loss::Dropped
                                                                             : Loss::Shutdown);
    }

    static void serverGone(void* arg) {
        static_cast<JackMidiOutSystem*>(arg)->lose(Loss::Shutdown);
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
            self->lose(Loss::TargetGone);
    }

    // Turns a loss into one report, from a thread of our own.
    void watch() {
        for (;;) {
            while (sem_wait(&m_wake) != 0) {
            }
            if (m_closing.load())
                return;
            const Loss why = m_loss.load();
            if (why == Loss::Shutdown) {
                reportAsync(
                    MidiError::kDeviceLost,
                    "The JACK server has shut down, so the MIDI output to \"JACK: " + m_target +
                        "\" is closed. Start JACK again, then choose the output in "
                        "MIDI Setup.");
            } else if (why == Loss::Dropped) {
                reportAsync(MidiError::kDeviceLost,
                            "JACK stopped this program's MIDI output to \"JACK: " + m_target +
                                "\" (the system was too busy to keep up). Choose the output "
                                "again in MIDI Setup.");
            } else if (why == Loss::TargetGone) {
                reportAsync(MidiError::kDeviceLost,
                            "The JACK port \"" + m_target +
                                "\" is gone (its program left), so the MIDI output is "
                                "closed. Choose an output in MIDI Setup.");
            }
        }
    }

    jack_client_t* m_client = nullptr;
    jack_port_t* m_port = nullptr;
    std::string m_target;  // full name of the port we send to; fixed while the client runs

    std::atomic<bool> m_closing{false};
    std::atomic<bool> m_lost{false};
    std::atomic<Loss> m_loss{Loss::None};
    sem_t m_wake{};
    sem_t m_live{};  // posted by the first period that runs with the connection made
    std::atomic<bool> m_awaitingLive{false};
    std::thread m_watcher;

    std::atomic<uint32_t> m_generation{0};
    std::atomic<int64_t> m_cancelAtNs{0};
    std::atomic<int64_t> m_periodNs{0};
    SpscQueue<Event, kQueueSize> m_queue;

    // Owned by the process thread.
    std::array<Event, kQueueSize> m_pending{};
    std::size_t m_pendingCount = 0;
    uint32_t m_pendingGeneration = 0;
};

}  // namespace

std::unique_ptr<MidiOutSystem> makeJackMidiOutSystem() {
    return std::make_unique<JackMidiOutSystem>();
}

bool jackServerRunning() {
    silenceJack();
    jack_client_t* client =
        jack_client_open("midi pattern sequencer probe", JackNoStartServer, nullptr);
    if (!client)
        return false;
    jack_client_close(client);
    return true;
}
