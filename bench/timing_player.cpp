// The program under measurement, as the timing benchmark starts it: the real main window
// (on the X display it is given, or offscreen when QT_QPA_PLATFORM says so), the real ports,
// driven as a user would (rock preset, tempo, start; the MIDI setup dialog answered by
// choosing the benchmark's receiver), playing for a set time, then ended by Exit. It prints
// what it measured about itself as key=value lines.
//
// Usage: seq_timing_player --port NAME --step-ms N --seconds S --form scheduled|naive
//                          [--busy | --stall-ms M | --user | --sweep-ms M] [--spawned-ns T]
//                          [--clock-to PORT]
//   naive: the output over RtMidi's JACK client, which sends at once (so no lead time).
//   busy:  3 ms of widget work every 5 ms on the UI thread while playing.
//   stall-ms: the UI thread blocked for M ms once per bar, as by a slow disk or a dialog
//          being built.
//   user:  as a user would, File > Load Pattern opened and cancelled and the About box
//          opened and closed, again and again while playing.
//   sweep-ms: the tempo bar moved to 0 (the shortest steps) after M ms and half a step of
//          playing, back to --step-ms after M more, and so on, as a user moving it from one
//          end to the other would.
//   spawned-ns: CLOCK_MONOTONIC time at which the benchmark started this process.
//   clock-to: the output's clock port connected to the JACK port PORT once the output is
//          open and before playback starts, as a user would in a patchbay.

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>

#include <dirent.h>
#include <jack/jack.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/pulsor.h"
#include "core/rtpriorities.h"
#include "midi/alsa/alsaoutput.h"
#include "midi/jack/jackoutput.h"
#include "midi/machineports.h"
#include "midi/ports/midiinput.h"
#include "midi/ports/midioutput.h"
#include "midi/synth/builtinsynth.h"
#include "rtmidijackoutput.h"
#include "ui/frmmain.h"
#include "ui/gridcell.h"
#include "ui/midisetupform.h"

namespace {
int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// How early (positive) or late each step's messages were handed to the output: the output
// systems, each wrapped, note the time of every message that carries a due time. The step
// engine hands them over on its own thread.
struct HandOvers {
    std::mutex mutex;
    std::vector<int64_t> aheadNs;
    std::function<void()> onFirst;  // called on the engine's thread
    void add(int64_t dueNs) {
        const int64_t ahead = dueNs - nowNs();
        bool first = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            first = aheadNs.empty();
            aheadNs.push_back(ahead);
        }
        if (first && onFirst)
            onFirst();
    }
    std::vector<int64_t> taken() {
        std::lock_guard<std::mutex> lock(mutex);
        return aheadNs;
    }
};

class TimedSystem final : public MidiOutSystem {
public:
    TimedSystem(std::unique_ptr<MidiOutSystem> inner, HandOvers& log)
        : m_inner(std::move(inner)), m_log(log) {}
    std::string systemName() const override { return m_inner->systemName(); }
    std::vector<std::string> listPorts() override { return m_inner->listPorts(); }
    bool open(const std::string& port, std::string& error) override {
        return m_inner->open(port, error);
    }
    void close() override { m_inner->close(); }
    bool send(const ShortMessage& message, int64_t dueNs) override {
        if (dueNs != 0)
            m_log.add(dueNs);
        return m_inner->send(message, dueNs);
    }
    std::string sendFailure() const override { return m_inner->sendFailure(); }
    void withdrawAfter(int64_t nowNs) override { m_inner->withdrawAfter(nowNs); }
    // The clock is passed on untimed: the hand-overs counted are the notes'.
    bool sendClock(const ShortMessage& message, int64_t dueNs) override {
        return m_inner->sendClock(message, dueNs);
    }
    void withdrawClockAfter(int64_t nowNs) override { m_inner->withdrawClockAfter(nowNs); }
    std::string clockSendFailure() const override { return m_inner->clockSendFailure(); }
    int64_t schedulingLeadNs() const override { return m_inner->schedulingLeadNs(); }
    void poll() override { m_inner->poll(); }
    std::string describe(int16_t code) const override { return m_inner->describe(code); }
    void setFaultWatcher(FaultWatcher* faults) override { m_inner->setFaultWatcher(faults); }

private:
    std::unique_ptr<MidiOutSystem> m_inner;
    HandOvers& m_log;
};

// CPU time of each thread of this process (ns), from /proc/self/task/*/schedstat, with
// its real-time priority (0 for a normal thread).
struct ThreadCpu {
    int64_t ns = 0;
    int rtPriority = 0;
};
std::map<int, ThreadCpu> threadCpu() {
    std::map<int, ThreadCpu> out;
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return out;
    while (dirent* d = readdir(dir)) {
        const int tid = std::atoi(d->d_name);
        if (tid <= 0)
            continue;
        const std::string base = std::string("/proc/self/task/") + d->d_name;
        std::ifstream sched(base + "/schedstat");
        int64_t runNs = 0;
        sched >> runNs;
        std::ifstream statFile(base + "/stat");
        std::string stat((std::istreambuf_iterator<char>(statFile)), {});
        // Fields after the command name (which may hold spaces) are plain: the 40th field
        // of the line is rt_priority, the 38th after the closing parenthesis.
        const auto close = stat.rfind(')');
        std::istringstream rest(close == std::string::npos ? std::string()
                                                           : stat.substr(close + 2));
        std::string field;
        int rt = 0;
        for (int i = 3; i <= 40 && rest >> field; ++i)
            if (i == 40)
                rt = std::atoi(field.c_str());
        out[tid] = {runNs, rt};
    }
    closedir(dir);
    return out;
}

// CPU time (ns) of all the threads of another process, 0 when it is not there.
int64_t otherProcessCpuNs(long pid) {
    if (pid <= 0)
        return 0;
    const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(taskDir.c_str());
    if (!dir)
        return 0;
    int64_t total = 0;
    while (dirent* d = readdir(dir)) {
        if (d->d_name[0] == '.')
            continue;
        std::ifstream sched(taskDir + "/" + d->d_name + "/schedstat");
        int64_t runNs = 0;
        sched >> runNs;
        total += runNs;
    }
    closedir(dir);
    return total;
}

int64_t processCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// A field of /proc/self/status, in kB.
long statusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(prefix, 0) == 0)
            return std::atol(line.c_str() + prefix.size());
    return -1;
}

// Shows when the window has been painted for the first time.
class FirstPaint : public QObject {
public:
    int64_t atNs = 0;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && atNs == 0)
            atNs = nowNs();
        return QObject::eventFilter(watched, event);
    }
};

// Connects the output's clock port to `to`, as a patchbay would; false when JACK did not.
bool connectClock(const std::string& to) {
    jack_client_t* patchbay = jack_client_open("seqbench-patchbay", JackNoStartServer, nullptr);
    if (!patchbay)
        return false;
    const bool made = jack_connect(patchbay, "midi pattern sequencer:clock", to.c_str()) == 0;
    jack_client_close(patchbay);
    return made;
}

// Answers the MIDI setup dialog by choosing `entry` as the output, then runs `opened`.
// Message boxes that come up on the way (until the built-in synth lands, opening device -1
// says it is missing) are acknowledged.
void answerSetup(QTimer& timer, const QString& entry, bool& found, std::function<void()> opened) {
    QObject::connect(&timer, &QTimer::timeout, [&timer, entry, &found, opened] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            box->accept();
            return;
        }
        auto* form = qobject_cast<MIDISetupForm*>(modal);
        if (!form)
            return;
        const int at = form->ComboMidiOut->findText(entry);
        found = at >= 0;
        if (found)
            form->ComboMidiOut->setCurrentIndex(at);
        form->CmdOk->click();
        opened();
        timer.stop();
    });
    timer.start(5);
}
}  // namespace

int main(int argc, char* argv[]) {
    setenv("JACK_NO_START_SERVER", "1", 1);
    std::string port, form = "scheduled";
    int stepMs = 125;
    double seconds = 20;
    bool busy = false;
    int stallMs = 0;
    bool user = false;
    int sweepMs = 0;
    int64_t spawnedNs = 0;
    std::string clockTo;
    long besidePid = 0;  // a bare JACK client on the same server, measured over the same time
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (a == "--port")
            port = next();
        else if (a == "--step-ms")
            stepMs = std::atoi(next().c_str());
        else if (a == "--seconds")
            seconds = std::atof(next().c_str());
        else if (a == "--form")
            form = next();
        else if (a == "--busy")
            busy = true;
        else if (a == "--stall-ms")
            stallMs = std::atoi(next().c_str());
        else if (a == "--user")
            user = true;
        else if (a == "--sweep-ms")
            sweepMs = std::atoi(next().c_str());
        else if (a == "--spawned-ns")
            spawnedNs = std::atoll(next().c_str());
        else if (a == "--clock-to")
            clockTo = next();
        else if (a == "--beside-pid")
            besidePid = std::atol(next().c_str());
    }

    QApplication app(argc, argv);
    HandOvers handOvers;
    FrmMainParts parts;
    {
        auto timed = [&](std::unique_ptr<MidiOutSystem> s) -> std::unique_ptr<MidiOutSystem> {
            return std::make_unique<TimedSystem>(std::move(s), handOvers);
        };
        std::vector<std::unique_ptr<MidiOutSystem>> systems;
        systems.push_back(timed(makeAlsaMidiOutSystem()));
        if (form == "naive") {
            systems.push_back(timed(makeRtMidiJackOutSystem()));
            parts.output = std::make_unique<MIDIOutput>(nullptr, std::move(systems));
        } else {
            systems.push_back(timed(makeJackMidiOutSystem()));
            parts.output = std::make_unique<MIDIOutput>(timed(std::make_unique<BuiltinSynth>()),
                                                        std::move(systems));
        }
    }
    parts.input = makeSystemMidiInput();
    frmMain window(std::move(parts));
    FirstPaint firstPaint;
    window.installEventFilter(&firstPaint);
    window.show();

    // Playback is measured from its first step handed over to the stop, `seconds` later.
    std::map<int, ThreadCpu> cpuThreadsAtStart;
    int64_t cpuAtStart = 0, besideAtStart = 0, playStartNs = 0;
    int32_t ticksAtStart = 0;
    QTimer stopTimer;
    stopTimer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early.
    stopTimer.setTimerType(Qt::PreciseTimer);

    // The tempo bar moved between its two values while playing, on the UI thread as a
    // user's drag or key press would.
    QTimer sweepTimer;
    sweepTimer.setTimerType(Qt::PreciseTimer);
    int tempoChanges = 0;
    QObject::connect(&sweepTimer, &QTimer::timeout, [&] {
        window.HScroll1->setValue(window.HScroll1->value() == stepMs ? 0 : stepMs);
        ++tempoChanges;
    });

    handOvers.onFirst = [&] {
        QMetaObject::invokeMethod(
            &stopTimer,
            [&] {
                cpuThreadsAtStart = threadCpu();
                cpuAtStart = processCpuNs();
                besideAtStart = otherProcessCpuNs(besidePid);
                playStartNs = nowNs();
                ticksAtStart = window.Pulsor2.TickCount();
                stopTimer.start(int(seconds * 1000));
                // A hand keeps no beat: started in step with the playing, every change
                // would come just as a slow step is raised. Half a slow step later, each move
                // to the fast end comes between two slow steps.
                if (sweepMs > 0)
                    QTimer::singleShot(stepMs / 2, &sweepTimer, [&] { sweepTimer.start(sweepMs); });
            },
            Qt::QueuedConnection);
    };

    // 3 ms of widget work every 5 ms: pattern switches (each stores the grid and recalls
    // another), grid cells written, repaints. The engine plays on its own thread and hears
    // every edit the moment it is made, so nothing here may change what plays: pattern 1
    // holds the rock beat too, and each cell is written with the state it has.
    QTimer busyTimer;
    busyTimer.setTimerType(Qt::PreciseTimer);
    int64_t busyNs = 0;
    int slices = 0;
    QObject::connect(&busyTimer, &QTimer::timeout, [&] {
        const int64_t start = nowNs();
        int k = 0;
        do {
            window.patno->setValue(1);
            window.patno->setValue(0);
            GridCell* cell = window.Check1[size_t(k++ % 64)];
            cell->setState(cell->state());
            window.repaint();
        } while (nowNs() - start < 3'000'000);
        busyNs += nowNs() - start;
        ++slices;
    });

    // The UI thread held up once per bar.
    QTimer stallTimer;
    int stalls = 0;
    QObject::connect(&stallTimer, &QTimer::timeout, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
        ++stalls;
    });

    // The user's round: the file dialog opened and cancelled, then the About box opened and
    // closed, each left open a moment; every two seconds.
    QTimer userTimer;
    int dialogs = 0;
    auto closeModalAfter = [&](int ms) {
        QTimer::singleShot(ms, [&] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                if (auto* dialog = qobject_cast<QDialog*>(modal))
                    dialog->reject();
                else
                    modal->close();
            }
        });
    };
    QObject::connect(&userTimer, &QTimer::timeout, [&] {
        closeModalAfter(400);
        window.mnuLoadPattern->trigger();
        closeModalAfter(300);
        window.mnuHelpAbout->trigger();
        dialogs += 2;
    });

    QTimer setupAnswer;
    bool found = false;
    int clockConnected = -1;
    QTimer::singleShot(200, [&] {
        window.HScroll1->setValue(stepMs);
        if (busy) {
            window.patno->setValue(1);
            window.rock->click();
            window.patno->setValue(0);
        }
        window.rock->click();
        answerSetup(setupAnswer, QStringLiteral("JACK: ") + QString::fromStdString(port), found,
                    [&] {
                        if (!clockTo.empty())
                            clockConnected = connectClock(clockTo) ? 1 : 0;
                    });
        // The open command's dialog comes up inside this click; playback starts as it closes.
        window.Command2->click();
        if (busy)
            busyTimer.start(5);
        if (stallMs > 0)
            stallTimer.start(16 * std::max(stepMs, 1));
        if (user)
            userTimer.start(2000);
    });

    QObject::connect(&stopTimer, &QTimer::timeout, [&] {
        const int32_t ticksPlayed = window.Pulsor2.TickCount() - ticksAtStart;
        window.Command2->click();  // stop
        sweepTimer.stop();
        busyTimer.stop();
        stallTimer.stop();
        userTimer.stop();
        const int64_t playedNs = nowNs() - playStartNs;
        const int64_t cpuNs = processCpuNs() - cpuAtStart;
        const int64_t besideNs = otherProcessCpuNs(besidePid) - besideAtStart;
        const auto threadsAtEnd = threadCpu();
        // The JACK client's process thread is the real-time thread that is not the timer's.
        int64_t jackThreadNs = 0;
        for (const auto& [tid, t] : threadsAtEnd) {
            if (t.rtPriority == 0 || t.rtPriority == rtpriority::kStepTimer ||
                t.rtPriority == rtpriority::kScheduledSender)
                continue;
            const auto before = cpuThreadsAtStart.find(tid);
            jackThreadNs += t.ns - (before == cpuThreadsAtStart.end() ? 0 : before->second.ns);
        }
        const double perMinute = 60e9 / double(playedNs);
        const std::vector<int64_t> aheadNs = handOvers.taken();
        std::vector<int64_t> sorted = aheadNs;
        std::sort(sorted.begin(), sorted.end());
        const int64_t outputLeadNs = window.MIDIOutput1->leadNs();
        int late = 0;
        for (int64_t a : aheadNs)
            late += a < outputLeadNs ? 1 : 0;
        std::printf("found=%d\n", found ? 1 : 0);
        std::printf("clock_connected=%d\n", clockConnected);
        std::printf("port_state=%d\n", window.MIDIOutput1->PortState());
        std::printf("lead_ms=%.3f\n", double(window.Pulsor2.leadTime().count()) / 1e6);
        std::printf("output_lead_ms=%.3f\n", double(outputLeadNs) / 1e6);
        std::printf("ticks=%d\n", ticksPlayed);
        std::printf("handed=%zu\n", aheadNs.size());
        std::printf("handed_late=%d\n", late);
        std::printf("ahead_min_ms=%.3f\n", sorted.empty() ? 0.0 : double(sorted.front()) / 1e6);
        std::printf("ahead_p01_ms=%.3f\n",
                    sorted.empty() ? 0.0 : double(sorted[sorted.size() / 100]) / 1e6);
        std::printf("cpu_s_per_min=%.4f\n", double(cpuNs) / 1e9 * perMinute);
        std::printf("jack_thread_s_per_min=%.4f\n", double(jackThreadNs) / 1e9 * perMinute);
        if (besidePid > 0)
            std::printf("beside_cpu_s_per_min=%.4f\n", double(besideNs) / 1e9 * perMinute);
        std::printf("busy_share=%.3f\n", double(busyNs) / double(playedNs));
        std::printf("busy_slices=%d\n", slices);
        std::printf("stalls=%d\n", stalls);
        std::printf("user_dialogs=%d\n", dialogs);
        std::printf("tempo_changes=%d\n", tempoChanges);
        std::printf("shown_ms=%.1f\n", spawnedNs > 0 && firstPaint.atNs > 0
                                           ? double(firstPaint.atNs - spawnedNs) / 1e6
                                           : -1.0);
        std::fflush(stdout);
        // Notes still waiting leave within the lead time; then Exit, as a user would.
        QTimer::singleShot(100, [&] {
            // A client of a real-time JACK server locks the server's whole shared segment
            // (about 100 MB with jackd's default port count) into memory; that is the
            // server's, mapped by every client, and is told apart here.
            std::printf("vmhwm_kb=%ld\n", statusKb("VmHWM"));
            std::printf("rss_shmem_kb=%ld\n", statusKb("RssShmem"));
            std::fflush(stdout);
            window.mnuFileExit->trigger();
        });
    });
    return app.exec();
}
