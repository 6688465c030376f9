// The timing benchmark. Run it through bench/run-timing.sh, which builds it, starts the JACK
// server it needs and stops everything afterwards.
//
// For each step period and each form of the output (this program's scheduled JACK output,
// and the naive form: RtMidi's JACK output sending at once, no lead time), it starts the
// program (seq_timing_player: the real window, the real ports), lets it play the
// rock preset into a receiving JACK client of its own that stamps every event with its
// frame, and fits a straight step grid to what arrived: drift, and distances from the grid.
// A run during which the server reported an xrun is repeated, not counted. Then the same
// with the UI thread busy, with the UI thread blocked for 20, 100 and 500 ms once per bar,
// and with a user opening and closing the file dialog and the About box while it plays,
// and with the tempo bar moved between its slowest end and its fastest every 2 s (the most
// notes that arrive within 0.9 ms, and the shortest gap between two steps).
// Playing costs are set beside those of a bare JACK MIDI client, jack_midiseq, playing on
// the same server all along, its CPU taken over the same time as the program's in each row
// (a wake-up's cost on a virtual machine swings with what else runs, so a figure of its own
// taken at another time would not compare), and beside the X server's when the window is on one. It
// also checks its audio onset detector (for the built-in synth's part) on synthetic clicks and on a
// real JACK click source, jack_metro. The MIDI clock: the program's clock port, connected to the
// receiver as a user would in a patchbay, playing with the window idle; beside it Debian's
// jack_midi_clock at the same tempo while JACK's transport rolls, measured the same way.
//
// Usage: seq_timing_bench --player PATH [--seconds 20] [--steps 125,20,5,1]
//                         [--stall-steps 125,20] [--clock-steps 125,20] [--attempts 3]
//                         [--jackd-pid PID] [--xserver-pid PID] [--csv FILE] [--clock-csv FILE]
//                         [--only SCENARIO,FORM] [--dump DIR] [--no-synth]
//   SCENARIO is idle, busy, stall20, stall100, stall500, user or tempo; FORM scheduled or
//   naive. tempo: the tempo bar moved from 200 to 0 and back every 2 s while playing.
//   SCENARIO clock: FORM scheduled (this program) or jack_midi_clock.
//   --only may be given more than once.
//   --dump writes each run's received events (frame and bytes) to DIR.
//   --csv appends to FILE (its header only when the file is new).

#include <QCoreApplication>
#include <QProcess>
#include <QThread>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/livepattern.h"
#include "core/monotonicclock.h"
#include "core/pattern.h"
#include "editing/editing.h"
#include "support/jackreceiver.h"
#include "synthonsets.h"
#include "timingstats.h"

namespace {
// Events this close to a reported xrun are left out of the figures.
constexpr double kXrunGuardMs = 20.0;

// The tempo bar at 0 plays 1 ms steps: the timer's shortest period.
constexpr int kShortestPeriodMs = 1;
// The tempo row: the bar moved between kMaxTempo and 0 this often.
constexpr int kTempoSweepEveryMs = 2000;

// Targets the figures are held to (printed with PASS or FAIL after the table).
// Distance from the step grid by JACK's clock, p99 and max, in every scheduled row.
constexpr double kGridTargetMs = 0.05;
// CPU beside a bare jack_midiseq on the same server, the window idle: at 125 and 20 ms steps,
// and at 5 ms steps.
constexpr double kCpuRatioTarget = 1.3;
constexpr double kCpuRatioTarget5Ms = 2.0;
// Share of one CPU at 1 ms steps.
constexpr double kCpuShareTarget1Ms = 0.05;
// Two steps each up to kGridTargetMs off their grid may lie this much closer together.
constexpr double kGapToleranceMs = 2 * kGridTargetMs;
// No burst: no window this long holds more than one step's notes. Steps on their frames at
// the shortest period may lie a frame closer than it (frames are whole, due times are not),
// so the window is the shortest period less that tolerance.
constexpr double kBurstWindowMs = kShortestPeriodMs - kGapToleranceMs;

// CPU time (ns) of a process's threads, all of them and the real-time ones.
struct ProcessCpu {
    int64_t all = 0;
    int64_t realtime = 0;
};
ProcessCpu processCpu(long pid) {
    ProcessCpu out;
    if (pid <= 0)
        return out;
    const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(taskDir.c_str());
    if (!dir)
        return out;
    while (dirent* d = readdir(dir)) {
        if (d->d_name[0] == '.')
            continue;
        const std::string base = taskDir + "/" + d->d_name;
        std::ifstream sched(base + "/schedstat");
        int64_t ns = 0;
        sched >> ns;
        std::ifstream statFile(base + "/stat");
        std::string stat((std::istreambuf_iterator<char>(statFile)), {});
        const auto close = stat.rfind(')');
        std::istringstream rest(close == std::string::npos ? std::string()
                                                           : stat.substr(close + 2));
        std::string field;
        int rt = 0;
        for (int i = 3; i <= 40 && rest >> field; ++i)
            if (i == 40)
                rt = std::atoi(field.c_str());
        out.all += ns;
        if (rt > 0)
            out.realtime += ns;
    }
    closedir(dir);
    return out;
}

// The live pattern as plain fields, to read the rock preset from the editing command itself.
class PlainPattern : public LivePattern {
public:
    std::array<int16_t, kCells> cells{};
    int16_t cell(int i) const override { return cells[size_t(i)]; }
    void setCell(int i, int16_t s) override { cells[size_t(i)] = s; }
    int16_t note(int v) const override { return kDefaultNotes[size_t(v)]; }
    void setNote(int, int16_t) override {}
};

// Notes each step of the rock bar sends, voices in order, with the default voice notes.
std::vector<std::vector<uint8_t>> rockBar() {
    PlainPattern p;
    rockPreset(p);
    std::vector<std::vector<uint8_t>> bar(kSteps);
    for (int s = 0; s < kSteps; ++s)
        for (int v = 0; v < kVoices; ++v)
            if (p.cell(kSteps * v + s) == kOn)
                bar[size_t(s)].push_back(uint8_t(kDefaultNotes[size_t(v)]));
    return bar;
}

struct Row {
    std::string scenario, form;
    int stepMs = 0;
    unsigned periodFrames = 0;
    int attempts = 0;
    int xruns = 0;
    GridFigures grid;    // by frames
    GridFigures clock;   // by the times JACK's clock gives those frames
    bool sweep = false;  // the tempo row: grids of its stretches at one tempo, nothing lost
    TempoFigures tempo;  // most notes within kBurstWindowMs, the shortest step gap, by frames
    int lossyTries = 0;  // tries of this row that lost steps without an xrun
    std::map<std::string, std::string> player;
    double jackdSPerMin = 0, jackdRtSPerMin = 0;
    double xserverSPerMin = std::nan("");  // the X server the window is on, when there is one
    double receiverSPerMin = 0;            // the benchmark's own JACK thread: what any client costs
    double midiseqSPerMin = std::nan("");  // a bare jack_midiseq on the same server, same time
    std::string window;                    // where the window was: "offscreen" or the X display
    std::string problem;
    double num(const std::string& key) const {
        const auto it = player.find(key);
        return it == player.end() ? std::nan("") : std::atof(it->second.c_str());
    }
};

std::map<std::string, std::string> parseKeyValues(const QByteArray& text) {
    std::map<std::string, std::string> out;
    for (const QByteArray& line : text.split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0)
            out[line.left(eq).toStdString()] = line.mid(eq + 1).trimmed().toStdString();
    }
    return out;
}

Row runOnce(JackReceiver& receiver, const std::string& player, const std::string& scenario,
            const std::string& form, int stepMs, double seconds, long jackdPid, long xserverPid,
            long midiseqPid, const std::vector<std::vector<uint8_t>>& bar) {
    Row row;
    row.scenario = scenario;
    row.form = form;
    row.stepMs = stepMs;
    row.sweep = scenario == "tempo";
    row.window = qEnvironmentVariable("QT_QPA_PLATFORM") == QLatin1String("offscreen")
                     ? std::string("offscreen")
                     : "x11 " + qEnvironmentVariable("DISPLAY").toStdString();
    receiver.clear();
    const int xrunsBefore = receiver.xruns();
    const ProcessCpu jackdBefore = processCpu(jackdPid);
    const ProcessCpu xserverBefore = processCpu(xserverPid);
    const ProcessCpu selfBefore = processCpu(long(getpid()));
    QStringList args{QStringLiteral("--port"),    QString::fromStdString(receiver.portName()),
                     QStringLiteral("--step-ms"), QString::number(stepMs),
                     QStringLiteral("--seconds"), QString::number(seconds),
                     QStringLiteral("--form"),    QString::fromStdString(form)};
    if (scenario == "busy")
        args << QStringLiteral("--busy");
    else if (scenario.rfind("stall", 0) == 0)
        args << QStringLiteral("--stall-ms") << QString::fromStdString(scenario.substr(5));
    else if (scenario == "user")
        args << QStringLiteral("--user");
    else if (row.sweep)
        args << QStringLiteral("--sweep-ms") << QString::number(kTempoSweepEveryMs);
    else if (scenario == "clock")
        args << QStringLiteral("--clock-to") << QString::fromStdString(receiver.portName());
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    const int64_t spawned = monotonicNowNs();
    args << QStringLiteral("--spawned-ns") << QString::number(spawned);
    if (midiseqPid > 0)
        args << QStringLiteral("--beside-pid") << QString::number(midiseqPid);
    p.start(QString::fromStdString(player), args);
    if (!p.waitForFinished(int(seconds * 1000) + 30000)) {
        p.kill();
        p.waitForFinished();
        row.problem = "the player did not finish";
    }
    const int64_t wallNs = monotonicNowNs() - spawned;
    const ProcessCpu jackdAfter = processCpu(jackdPid);
    const ProcessCpu xserverAfter = processCpu(xserverPid);
    const ProcessCpu selfAfter = processCpu(long(getpid()));
    row.receiverSPerMin = double(selfAfter.realtime - selfBefore.realtime) / double(wallNs) * 60.0;
    row.jackdSPerMin = double(jackdAfter.all - jackdBefore.all) / double(wallNs) * 60.0;
    row.jackdRtSPerMin = double(jackdAfter.realtime - jackdBefore.realtime) / double(wallNs) * 60.0;
    if (xserverPid > 0)
        row.xserverSPerMin = double(xserverAfter.all - xserverBefore.all) / double(wallNs) * 60.0;
    row.xruns = receiver.xruns() - xrunsBefore;
    row.periodFrames = receiver.bufferSize();
    row.player = parseKeyValues(p.readAllStandardOutput());
    row.midiseqSPerMin = row.num("beside_cpu_s_per_min");
    if (row.problem.empty() && (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0))
        row.problem = "the player failed: " + p.readAllStandardError().right(400).toStdString();
    if (row.problem.empty() && row.num("found") != 1)
        row.problem = "the receiver was not in the output list";
    const auto events = receiver.events();
    const std::vector<double> periodsMs =
        row.sweep ? std::vector<double>{double(stepMs), double(kShortestPeriodMs)}
                  : std::vector<double>{double(std::max(stepMs, kShortestPeriodMs))};
    row.tempo = tempoChangeFigures(events, periodsMs, kBurstWindowMs, receiver.sampleRate(),
                                   receiver.xrunFrames(), kXrunGuardMs);
    if (row.sweep) {
        row.grid = row.tempo.grid;
        row.clock = tempoChangeFigures(events, periodsMs, kBurstWindowMs, receiver.sampleRate(),
                                       receiver.xrunFrames(), kXrunGuardMs, /*byJackClock=*/true)
                        .grid;
        return row;
    }
    row.grid = fitEventsToGrid(events, bar, stepMs, receiver.sampleRate(), receiver.xrunFrames(),
                               kXrunGuardMs);
    row.clock = fitEventsToGrid(events, bar, stepMs, receiver.sampleRate(), receiver.xrunFrames(),
                                kXrunGuardMs, /*byJackClock=*/true);
    if (row.problem.empty() && row.grid.mismatched > 0)
        row.problem = std::to_string(row.grid.mismatched) + " events out of sequence";
    // A server that misses periods may drop what was written in them: only a loss in a run
    // without xruns is the program's.
    if (row.problem.empty() && row.grid.lost > 0 && row.xruns == 0)
        row.problem = std::to_string(row.grid.lost) + " notes lost";
    return row;
}

std::string fixed(double v, int decimals) {
    if (std::isnan(v))
        return "-";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// The step length, or both for the tempo row ("200/1").
std::string stepLabel(const Row& r) {
    return std::to_string(r.stepMs) +
           (r.sweep ? "/" + std::to_string(kShortestPeriodMs) : std::string());
}

// The columns of the table and the CSV: header, unit, CSV name, and the value of a row.
struct Column {
    const char* head;
    const char* unit;
    const char* csv;
    int width;
    std::function<std::string(const Row&)> value;
};

std::vector<Column> columns() {
    auto player = [](const char* key, int decimals, double scale = 1.0) {
        return [key, decimals, scale](const Row& r) { return fixed(r.num(key) * scale, decimals); };
    };
    return {
        {"period", "frames", "period_frames", 6,
         [](const Row& r) { return std::to_string(r.periodFrames); }},
        {"ui", "", "ui", 8, [](const Row& r) { return r.scenario; }},
        {"output", "", "output", 9, [](const Row& r) { return r.form; }},
        {"step", "ms", "step_ms", 5, stepLabel},
        {"events", "", "events", 6, [](const Row& r) { return std::to_string(r.grid.events); }},
        {"lost", "notes", "lost", 5,
         [](const Row& r) { return r.sweep ? "-" : std::to_string(r.grid.lost); }},
        {"lost", "steps", "lost_steps", 5,
         [](const Row& r) { return r.sweep ? "-" : std::to_string(r.grid.lostSteps); }},
        // The most notes within kBurstWindowMs.
        {"burst", "notes", "most_notes_in_burst_window", 5,
         [](const Row& r) { return std::to_string(r.tempo.mostNotesInWindow); }},
        {"gap", "ms", "shortest_step_gap_ms", 6,
         [](const Row& r) { return fixed(r.tempo.shortestGapMs, 3); }},
        {"drift", "ppm", "drift_ppm", 8, [](const Row& r) { return fixed(r.grid.driftPpm, 3); }},
        {"p50", "ms", "jitter_p50_ms", 7, [](const Row& r) { return fixed(r.grid.p50Ms, 4); }},
        {"p99", "ms", "jitter_p99_ms", 7, [](const Row& r) { return fixed(r.grid.p99Ms, 4); }},
        {"max", "ms", "jitter_max_ms", 7, [](const Row& r) { return fixed(r.grid.maxMs, 4); }},
        {"clk p99", "ms", "clock_jitter_p99_ms", 7,
         [](const Row& r) { return fixed(r.clock.p99Ms, 4); }},
        {"clk max", "ms", "clock_jitter_max_ms", 7,
         [](const Row& r) { return fixed(r.clock.maxMs, 4); }},
        {"clk dr", "ppm", "clock_drift_ppm", 7,
         [](const Row& r) { return fixed(r.clock.driftPpm, 3); }},
        {"xrun", "", "xruns", 4, [](const Row& r) { return std::to_string(r.xruns); }},
        // Grids the timer restarted with a late tick (by JACK's clock), each fitted apart.
        {"rst", "", "grid_restarts", 3,
         [](const Row& r) { return std::to_string(r.clock.restarts); }},
        {"tries", "", "attempts", 5, [](const Row& r) { return std::to_string(r.attempts); }},
        {"left", "out", "left_out_near_xruns", 4,
         [](const Row& r) { return std::to_string(r.grid.excluded); }},
        {"cpu", "s/min", "cpu_s_per_min", 6, player("cpu_s_per_min", 3)},
        {"seq", "s/min", "jack_midiseq_s_per_min", 6,
         [](const Row& r) { return fixed(r.midiseqSPerMin, 3); }},
        {"/seq", "x", "cpu_vs_jack_midiseq", 5,
         [](const Row& r) { return fixed(r.num("cpu_s_per_min") / r.midiseqSPerMin, 2); }},
        {"jackthr", "s/min", "jack_thread_s_per_min", 7, player("jack_thread_s_per_min", 3)},
        {"recvthr", "s/min", "receiver_thread_s_per_min", 7,
         [](const Row& r) { return fixed(r.receiverSPerMin, 3); }},
        {"jackd", "s/min", "jackd_s_per_min", 6,
         [](const Row& r) { return fixed(r.jackdSPerMin, 3); }},
        {"xsrv", "s/min", "xserver_s_per_min", 6,
         [](const Row& r) { return fixed(r.xserverSPerMin, 3); }},
        {"late", "ticks", "handed_late", 5, player("handed_late", 0)},
        {"lead", "ms", "lead_ms", 5, player("lead_ms", 2)},
        {"hwm", "MB", "vmhwm_mb", 5, player("vmhwm_kb", 1, 1.0 / 1024)},
        {"own", "MB", "vmhwm_without_jack_shm_mb", 5,
         [](const Row& r) { return fixed((r.num("vmhwm_kb") - r.num("rss_shmem_kb")) / 1024, 1); }},
        {"shown", "ms", "window_shown_ms", 5, player("shown_ms", 0)},
    };
}

void printTable(const std::vector<Row>& rows) {
    const auto cols = columns();
    std::string head = "\n", unit;
    for (const Column& c : cols) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%*s ", c.width, c.head);
        head += buf;
        std::snprintf(buf, sizeof buf, "%*s ", c.width, c.unit);
        unit += buf;
    }
    std::printf("%s\n%s\n", head.c_str(), unit.c_str());
    for (const Row& r : rows) {
        std::string line;
        for (const Column& c : cols) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%*s ", c.width, c.value(r).c_str());
            line += buf;
        }
        if (!r.problem.empty())
            line += " ! " + r.problem;
        std::printf("%s\n", line.c_str());
    }
}

// Each target a row is held to, with its figure and PASS, FAIL or "n/a" when the run could
// not show it; then how many were met.
void printTargets(const std::vector<Row>& rows, std::size_t notesPerStep) {
    struct Check {
        const char* mark;
        std::string row, figure, target;
    };
    std::vector<Check> checks;
    auto mark = [](bool pass) { return pass ? "PASS" : "FAIL"; };
    for (const Row& r : rows) {
        if (r.form != "scheduled")
            continue;  // the naive form is the comparison, held to nothing
        // A server that missed periods may have moved notes near them (the guard around a
        // reported xrun does not always cover it): the row says so beside its marks.
        const std::string name = r.scenario + " " + r.form + " " + stepLabel(r) + " ms" +
                                 (r.xruns > 0 ? ", " + std::to_string(r.xruns) + " xruns" : "");
        checks.push_back({mark(r.clock.p99Ms <= kGridTargetMs && r.clock.maxMs <= kGridTargetMs),
                          name,
                          "by JACK's clock p99 " + fixed(r.clock.p99Ms, 4) + ", max " +
                              fixed(r.clock.maxMs, 4) + " ms from the grid",
                          "both <= " + fixed(kGridTargetMs, 2) + " ms"});
        const double cpu = r.num("cpu_s_per_min");
        if (r.scenario == "idle" && (r.stepMs == 125 || r.stepMs == 20 || r.stepMs == 5)) {
            const double limit = r.stepMs == 5 ? kCpuRatioTarget5Ms : kCpuRatioTarget;
            const double ratio = cpu / r.midiseqSPerMin;
            checks.push_back({std::isnan(ratio) ? "n/a" : mark(ratio <= limit), name,
                              "CPU " + fixed(cpu, 3) + " s/min, " + fixed(ratio, 2) +
                                  "x jack_midiseq's " + fixed(r.midiseqSPerMin, 3),
                              "<= " + fixed(limit, 1) + "x"});
        }
        if (r.scenario == "idle" && r.stepMs == kShortestPeriodMs) {
            const double share = cpu / 60.0;
            checks.push_back({std::isnan(share) ? "n/a" : mark(share < kCpuShareTarget1Ms), name,
                              "CPU " + fixed(100 * share, 1) + " % of one CPU",
                              "< " + fixed(100 * kCpuShareTarget1Ms, 0) + " %"});
            // Lost steps in a run with xruns may be the server's: only a run without counts.
            const bool measured = r.xruns == 0 || r.lossyTries > 0;
            checks.push_back(
                {measured ? mark(r.lossyTries == 0) : "n/a", name,
                 "steps lost " + std::to_string(r.grid.lostSteps) + " of " +
                     std::to_string(r.grid.steps) +
                     "; tries that lost some without xruns: " + std::to_string(r.lossyTries),
                 "0 in a run without xruns"});
        }
        if (r.sweep) {
            checks.push_back({mark(r.tempo.mostNotesInWindow <= notesPerStep), name,
                              "most notes within any " + fixed(kBurstWindowMs, 1) +
                                  " ms: " + std::to_string(r.tempo.mostNotesInWindow),
                              "<= " + std::to_string(notesPerStep) + ", one step's most"});
            const double least = kShortestPeriodMs - kGapToleranceMs;
            checks.push_back({mark(r.tempo.shortestGapMs >= least), name,
                              "shortest step gap " + fixed(r.tempo.shortestGapMs, 3) + " ms, " +
                                  fixed(r.tempo.shortestGapMs / kShortestPeriodMs, 2) +
                                  "x the shorter period",
                              ">= " + fixed(least, 2) + " ms"});
        }
    }
    if (checks.empty())
        return;
    std::printf("\nTargets (%u-frame periods):\n", rows.front().periodFrames);
    std::size_t nameWidth = 0, figureWidth = 0;
    for (const Check& c : checks) {
        nameWidth = std::max(nameWidth, c.row.size());
        figureWidth = std::max(figureWidth, c.figure.size());
    }
    int passed = 0, failed = 0;
    for (const Check& c : checks) {
        std::printf("  %-4s  %-*s  %-*s  target %s\n", c.mark, int(nameWidth), c.row.c_str(),
                    int(figureWidth), c.figure.c_str(), c.target.c_str());
        passed += std::string(c.mark) == "PASS" ? 1 : 0;
        failed += std::string(c.mark) == "FAIL" ? 1 : 0;
    }
    std::printf("  %d of %zu targets met, %d failed, %zu not measured\n", passed, checks.size(),
                failed, checks.size() - std::size_t(passed + failed));
}

void writeCsv(const std::vector<Row>& rows, FILE* f, bool header = true) {
    const auto cols = columns();
    if (header) {
        for (const Column& c : cols)
            std::fprintf(f, "%s,", c.csv);
        std::fprintf(f, "ticks,ahead_min_ms,busy_share,window,problem\n");
    }
    for (const Row& r : rows) {
        for (const Column& c : cols)
            std::fprintf(f, "%s,", c.value(r).c_str());
        std::fprintf(f, "%s,%s,%s,%s,%s\n", fixed(r.num("ticks"), 0).c_str(),
                     fixed(r.num("ahead_min_ms"), 3).c_str(), fixed(r.num("busy_share"), 3).c_str(),
                     r.window.c_str(), r.problem.c_str());
    }
}

// ---- the MIDI clock

// One row of the clock table: a clock source at one step length. This program's rows are
// held to every clock within kGridTargetMs of a straight grid by JACK's clock, none lost, and
// Start on the frame of step 0's first note; the reference to nothing.
struct ClockRow {
    std::string source;  // "scheduled" (this program's clock port) or "jack_midi_clock"
    int stepMs = 0;
    unsigned periodFrames = 0;
    int attempts = 0;
    int xruns = 0;
    ClockFigures clock;
    std::string problem;
};

// A step is a sixteenth note: a quarter note is four steps.
double bpmOf(int stepMs) {
    return 15000.0 / stepMs;
}

// Debian's jack_midi_clock at the tempo of `stepMs` steps, connected to the receiver, while
// JACK's transport rolls from frame 0 for `seconds`.
ClockRow runReferenceClock(JackReceiver& receiver, int stepMs, double seconds) {
    ClockRow row;
    row.source = "jack_midi_clock";
    row.stepMs = stepMs;
    row.periodFrames = receiver.bufferSize();
    jack_client_t* transport = jack_client_open("seqbench-transport", JackNoStartServer, nullptr);
    if (!transport) {
        row.problem = "no JACK client for the transport";
        return row;
    }
    // From frame 0, so that it sends Start (elsewhere it sends Continue); a locate takes
    // effect a cycle or two later.
    jack_transport_stop(transport);
    jack_transport_locate(transport, 0);
    jack_position_t position{};
    for (int i = 0;
         i < 100 && (jack_transport_query(transport, &position) != JackTransportStopped ||
                     position.frame != 0);
         ++i)
        QThread::msleep(10);
    QProcess clock;
    clock.setProcessChannelMode(QProcess::MergedChannels);
    clock.start(QStringLiteral("jack_midi_clock"),
                {QStringLiteral("-b"), QString::number(bpmOf(stepMs)), QStringLiteral("-B"),
                 QString::fromStdString(receiver.portName())});
    if (!clock.waitForStarted(3000)) {
        jack_client_close(transport);
        row.problem = "jack_midi_clock did not start (apt-get install jack-midi-clock)";
        return row;
    }
    for (int i = 0; i < 100 && receiver.portsMatching("^jack_midi_clock:").empty(); ++i)
        QThread::msleep(20);
    // Its connection to the receiver joins the graph a few periods later.
    QThread::msleep(200);
    receiver.clear();
    const int xrunsBefore = receiver.xruns();
    jack_transport_start(transport);
    QThread::msleep(static_cast<unsigned long>(seconds * 1000));
    jack_transport_stop(transport);
    QThread::msleep(200);
    row.xruns = receiver.xruns() - xrunsBefore;
    // It ends on SIGINT (or SIGHUP), closing its client.
    ::kill(pid_t(clock.processId()), SIGINT);
    if (!clock.waitForFinished(3000))
        clock.kill();
    jack_client_close(transport);
    row.clock = clockFigures(receiver.events(), stepMs, receiver.sampleRate(),
                             receiver.xrunFrames(), kXrunGuardMs);
    if (!row.clock.started)
        row.problem = "no Start: " + clock.readAll().right(300).toStdString();
    return row;
}

void printClockRows(const std::vector<ClockRow>& rows) {
    if (rows.empty())
        return;
    std::printf("\nMIDI clock (24 a quarter note; by JACK's clock):\n");
    std::printf("%6s %15s %5s %6s %6s %4s %7s %7s %8s %8s %7s %9s %9s %4s %3s %5s\n", "period",
                "source", "step", "tempo", "clocks", "lost", "p99", "max", "drift", "follower",
                "spread", "1st clock", "1st note", "xrun", "rst", "tries");
    std::printf("%6s %15s %5s %6s %6s %4s %7s %7s %8s %8s %7s %9s %9s %4s %3s %5s\n", "frames", "",
                "ms", "BPM", "", "", "ms", "ms", "ppm", "BPM", "BPM", "frames", "frames", "", "",
                "");
    for (const ClockRow& r : rows) {
        const ClockFigures& c = r.clock;
        std::printf("%6u %15s %5d %6s %6zu %4zu %7s %7s %8s %8s %7s %9ld %9s %4d %3zu %5d%s%s\n",
                    r.periodFrames, r.source.c_str(), r.stepMs, fixed(bpmOf(r.stepMs), 1).c_str(),
                    c.clocks, c.lost, fixed(c.p99Ms, 4).c_str(), fixed(c.maxMs, 4).c_str(),
                    fixed(c.driftPpm, 2).c_str(), fixed(c.bpmMean, 3).c_str(),
                    fixed(c.bpmSpread, 3).c_str(), c.firstClockFrames,
                    std::isnan(c.firstNoteMs) ? "-" : std::to_string(c.firstNoteFrames).c_str(),
                    r.xruns, c.restarts, r.attempts, r.problem.empty() ? "" : "  ! ",
                    r.problem.c_str());
    }
    std::printf("\nClock targets (%u-frame periods):\n", rows.front().periodFrames);
    int passed = 0, checks = 0;
    auto check = [&](bool pass, const std::string& row, const std::string& figure,
                     const std::string& target) {
        std::printf("  %-4s  %-28s  %-44s  target %s\n", pass ? "PASS" : "FAIL", row.c_str(),
                    figure.c_str(), target.c_str());
        passed += pass ? 1 : 0;
        ++checks;
    };
    for (const ClockRow& r : rows) {
        if (r.source != "scheduled")
            continue;  // the reference is held to nothing
        const ClockFigures& c = r.clock;
        const std::string name = "clock port " + std::to_string(r.stepMs) + " ms" +
                                 (r.xruns > 0 ? ", " + std::to_string(r.xruns) + " xruns" : "");
        check(c.clocks > 0 && c.p99Ms <= kGridTargetMs && c.maxMs <= kGridTargetMs, name,
              "p99 " + fixed(c.p99Ms, 4) + ", max " + fixed(c.maxMs, 4) + " ms from the grid",
              "both <= " + fixed(kGridTargetMs, 2) + " ms");
        check(c.lost == 0 && c.started && c.stopped, name,
              std::to_string(c.lost) + " of " + std::to_string(c.clocks + c.lost) +
                  " clocks lost; Start " + (c.started ? "came" : "missing") + ", Stop " +
                  (c.stopped ? "came" : "missing"),
              "none lost, Start and Stop");
        check(
            !std::isnan(c.firstNoteMs) && c.firstNoteFrames == 0, name,
            "Start to step 0's first note " +
                (std::isnan(c.firstNoteMs) ? std::string("-") : std::to_string(c.firstNoteFrames)) +
                " frames",
            "0 frames");
    }
    std::printf("  %d of %d clock targets met\n", passed, checks);
}

void writeClockCsv(const std::vector<ClockRow>& rows, FILE* f, bool header = true) {
    if (header)
        std::fprintf(f,
                     "period_frames,source,step_ms,bpm,clocks,lost,clock_p99_ms,clock_max_ms,"
                     "clock_drift_ppm,follower_bpm_mean,follower_bpm_spread,start_to_clock_"
                     "frames,start_to_note_frames,xruns,grid_restarts,attempts,problem\n");
    for (const ClockRow& r : rows) {
        const ClockFigures& c = r.clock;
        std::fprintf(f, "%u,%s,%d,%s,%zu,%zu,%s,%s,%s,%s,%s,%ld,%s,%d,%zu,%d,%s\n", r.periodFrames,
                     r.source.c_str(), r.stepMs, fixed(bpmOf(r.stepMs), 1).c_str(), c.clocks,
                     c.lost, fixed(c.p99Ms, 4).c_str(), fixed(c.maxMs, 4).c_str(),
                     fixed(c.driftPpm, 3).c_str(), fixed(c.bpmMean, 4).c_str(),
                     fixed(c.bpmSpread, 4).c_str(), c.firstClockFrames,
                     std::isnan(c.firstNoteMs) ? "" : std::to_string(c.firstNoteFrames).c_str(),
                     r.xruns, c.restarts, r.attempts, r.problem.c_str());
    }
}

// The onset detector against clicks at known places: how many it finds and how far off.
void checkDetectorOnSyntheticClicks(double rate) {
    std::printf("\nOnset detector on synthetic clicks (drum-like bursts, peaks 0.03-0.07):\n");
    for (double stepMs : {125.0, 20.0}) {
        std::vector<double> truth;
        const double stepFrames = stepMs * rate / 1000.0;
        // Off the sample grid on purpose (a third of a frame per step).
        for (double t = rate * 0.05; t < rate * 10; t += stepFrames + 1.0 / 3.0)
            truth.push_back(t);
        const auto audio = syntheticClicks(truth, size_t(rate * 10.2), rate, 0.03, 0.07, 7);
        const auto found = detectOnsets(audio, rate);
        std::vector<double> errorMs;
        size_t matched = 0;
        for (double t : truth) {
            auto it = std::lower_bound(found.begin(), found.end(), t - rate * 0.002);
            if (it != found.end() && std::abs(*it - t) < rate * 0.002) {
                ++matched;
                errorMs.push_back(std::abs(*it - t) * 1000.0 / rate);
            }
        }
        const GridFigures g = fitOnsetsToGrid(found, stepFrames + 1.0 / 3.0, rate);
        std::printf(
            "  step %5.1f ms: %zu of %zu found, %zu extra; error p99 %.4f ms, max %.4f ms; "
            "grid fit p99 %.4f ms\n",
            stepMs, matched, truth.size(), found.size() - matched, percentile(errorMs, 0.99),
            percentile(errorMs, 1.0), g.p99Ms);
    }
}

// The capture path and the detector on a real JACK client that clicks on a 125 ms grid.
void checkAudioPathWithMetro(JackReceiver& receiver) {
    QProcess metro;
    metro.setProcessChannelMode(QProcess::MergedChannels);
    metro.start(QStringLiteral("jack_metro"),
                {QStringLiteral("-n"), QStringLiteral("seqbench-metro"), QStringLiteral("-b"),
                 QStringLiteral("480"), QStringLiteral("-D"), QStringLiteral("10"),
                 QStringLiteral("-A"), QStringLiteral("0.05")});
    if (!metro.waitForStarted(3000)) {
        std::printf("  jack_metro did not start: audio path not checked\n");
        return;
    }
    std::vector<std::string> ports;
    for (int i = 0; i < 100 && ports.empty(); ++i) {
        ports = receiver.portsMatching("^seqbench-metro:");
        if (ports.empty())
            QThread::msleep(20);
    }
    if (!ports.empty()) {
        receiver.connectAudioFrom(ports[0]);
        QThread::msleep(200);
        // Like the MIDI runs: a recording during which the server missed periods is repeated.
        for (int attempt = 1; attempt <= 4; ++attempt) {
            receiver.recordAudio(true);
            const int xruns = receiver.xruns();
            QThread::msleep(5000);
            receiver.recordAudio(false);
            uint32_t first = 0;
            const auto audio = receiver.audio(first);
            const double rate = receiver.sampleRate();
            const auto onsets = detectOnsets(audio, rate);
            const GridFigures g = fitOnsetsToGrid(onsets, 0.125 * rate, rate);
            const int missed = receiver.xruns() - xruns;
            std::printf(
                "  jack_metro, 125 ms clicks through JACK (try %d): %zu onsets in 5 s, grid p50 "
                "%.4f ms, p99 %.4f ms, max %.4f ms, drift %.3f ppm, xruns %d\n",
                attempt, onsets.size(), g.p50Ms, g.p99Ms, g.maxMs, g.driftPpm, missed);
            if (missed == 0)
                break;
        }
    } else {
        std::printf("  jack_metro's port did not appear: audio path not checked\n");
    }
    metro.terminate();
    metro.waitForFinished(3000);
}
// The built-in synth, one voice of the rock preset at a time at 125 ms steps, rendered
// through its own audio path: each note's onset (the first the detector finds from 2 ms
// before its due time on) less its due time. A sound's attack delays its onset by a fixed
// amount, so the spread around each voice's own median is the timing error.
void printSynthOnsets(double seconds) {
    std::printf("\nBuilt-in synth onsets (rock preset, 125 ms steps, one voice at a time):\n");
    for (int note : {35, 40, 42, 82}) {
        const SynthCapture synth = captureBuiltinSynth(125, seconds, note);
        if (!synth.connected) {
            std::printf("  not measured (%s)\n", synth.note.c_str());
            return;
        }
        const std::vector<double> onsets = detectOnsets(synth.audio, synth.sampleRate);
        std::vector<double> offsetsMs;
        std::size_t missing = 0;
        for (double due : synth.dueFrames) {
            const auto it =
                std::lower_bound(onsets.begin(), onsets.end(), due - 0.002 * synth.sampleRate);
            if (it == onsets.end() || *it > due + 0.030 * synth.sampleRate) {
                ++missing;
                continue;
            }
            offsetsMs.push_back((*it - due) * 1000.0 / synth.sampleRate);
        }
        if (offsetsMs.empty()) {
            std::printf("  note %d: no onsets found\n", note);
            continue;
        }
        std::vector<double> sorted = offsetsMs;
        std::sort(sorted.begin(), sorted.end());
        const double median = sorted[sorted.size() / 2];
        std::vector<double> spread;
        for (double o : offsetsMs)
            spread.push_back(std::fabs(o - median));
        std::sort(spread.begin(), spread.end());
        const double p99 =
            spread[std::min(spread.size() - 1, std::size_t(0.99 * double(spread.size())))];
        std::printf(
            "  note %d: %zu of %zu onsets; onset - due: min %.3f, median %.3f, max %.3f ms; "
            "spread around the median: p99 %.3f ms, max %.3f ms\n",
            note, offsetsMs.size(), synth.dueFrames.size(), sorted.front(), median, sorted.back(),
            p99, spread.back());
        (void)missing;
    }
}

// A bare JACK MIDI client on this server: jack_midiseq playing one note every 125 ms into
// nothing (its port left unconnected, so that its notes stay out of the receiver's), for
// the rows to set their CPU beside. Its process id, 0 when it did not start.
long startJackMidiseq(QProcess& seq, JackReceiver& receiver) {
    seq.setProcessChannelMode(QProcess::MergedChannels);
    const unsigned loop = receiver.sampleRate() / 8;
    seq.start(QStringLiteral("jack_midiseq"),
              {QStringLiteral("seqbench-midiseq"), QString::number(loop), QStringLiteral("0"),
               QStringLiteral("36"), QString::number(loop / 2)});
    if (!seq.waitForStarted(3000))
        return 0;
    for (int i = 0; i < 100; ++i) {
        if (!receiver.portsMatching("^seqbench-midiseq:").empty())
            return long(seq.processId());
        QThread::msleep(20);
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    std::string player, csvPath, dumpDir;
    std::vector<std::string> only;
    double seconds = 20;
    // 1 ms: the tempo bar at 0 (the timer treats 0 as its shortest period, 1 ms).
    std::vector<int> steps{125, 20, 5, 1};
    std::vector<int> stallSteps{125, 20};
    std::vector<int> clockSteps{125, 20};
    std::string clockCsvPath;
    bool synth = true;
    int attempts = 3;
    long jackdPid = 0, xserverPid = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (a == "--player")
            player = next();
        else if (a == "--seconds")
            seconds = std::atof(next().c_str());
        else if (a == "--attempts")
            attempts = std::atoi(next().c_str());
        else if (a == "--jackd-pid")
            jackdPid = std::atol(next().c_str());
        else if (a == "--xserver-pid")
            xserverPid = std::atol(next().c_str());
        else if (a == "--csv")
            csvPath = next();
        else if (a == "--clock-csv")
            clockCsvPath = next();
        else if (a == "--dump")
            dumpDir = next();
        else if (a == "--only")
            only.push_back(next());
        else if (a == "--no-synth")
            synth = false;
        else if (a == "--steps" || a == "--stall-steps" || a == "--clock-steps") {
            std::vector<int>& into = a == "--steps"         ? steps
                                     : a == "--stall-steps" ? stallSteps
                                                            : clockSteps;
            into.clear();
            std::stringstream list(next());
            std::string item;
            while (std::getline(list, item, ','))
                into.push_back(std::atoi(item.c_str()));
        }
    }
    if (player.empty()) {
        std::fprintf(stderr,
                     "usage: %s --player PATH [--seconds S] [--steps 125,20,5,1] "
                     "[--attempts N] [--jackd-pid PID] [--csv FILE]\n",
                     argv[0]);
        return 2;
    }

    JackReceiver receiver("seqbench-receiver", 1u << 20, 48000u * 30);
    if (!receiver.ok()) {
        std::fprintf(stderr, "%s\n", receiver.error().c_str());
        return 1;
    }
    std::printf("JACK: %u Hz, %u frames per period (%.3f ms)\n", receiver.sampleRate(),
                receiver.bufferSize(), 1000.0 * receiver.bufferSize() / receiver.sampleRate());

    checkDetectorOnSyntheticClicks(receiver.sampleRate());
    checkAudioPathWithMetro(receiver);

    QProcess midiseq;
    const long midiseqPid = startJackMidiseq(midiseq, receiver);
    std::printf("\nA bare JACK MIDI client, jack_midiseq, %s\n",
                midiseqPid > 0 ? "plays on this server beside every row (its CPU: seq)"
                               : "did not start: no CPU to compare with");

    const auto bar = rockBar();
    std::vector<Row> rows;
    for (const std::string scenario :
         {"idle", "busy", "stall20", "stall100", "stall500", "user", "tempo"}) {
        const bool held = scenario != "idle" && scenario != "busy";
        // The tempo row starts at the bar's slowest end.
        const std::vector<int> tempoSteps{kMaxTempo};
        for (int stepMs : scenario == "tempo" ? tempoSteps : held ? stallSteps : steps) {
            for (const std::string form : {"scheduled", "naive"}) {
                if (!only.empty() &&
                    std::find(only.begin(), only.end(), scenario + "," + form) == only.end())
                    continue;
                // The naive form is the comparison for the plain rows; a UI thread held up
                // makes it late by the length of the hold, nothing more to learn.
                if (held && form == "naive")
                    continue;
                // Nor at 1 ms steps, shorter than the periods: sent at once, every step of a
                // period lands on the next period's first frame.
                if (stepMs < 2 && form == "naive")
                    continue;
                // A run during which the server reported xruns is repeated. When every try
                // had some, the one with the fewest is kept, its stretches between xruns
                // fitted each with its own offset and the events near an xrun left out.
                Row row;
                int lossyTries = 0;
                for (int attempt = 1; attempt <= attempts; ++attempt) {
                    Row tried = runOnce(receiver, player, scenario, form, stepMs, seconds, jackdPid,
                                        xserverPid, midiseqPid, bar);
                    tried.attempts = attempt;
                    const bool better =
                        attempt == 1 || (tried.problem.empty() && !row.problem.empty()) ||
                        (tried.problem.empty() == row.problem.empty() && tried.xruns < row.xruns);
                    const Row& shown = tried;
                    if (!dumpDir.empty()) {
                        const std::string path = dumpDir + "/" + scenario + "-" + form + "-" +
                                                 std::to_string(stepMs) + "-" +
                                                 std::to_string(attempt) + ".txt";
                        if (FILE* f = std::fopen(path.c_str(), "w")) {
                            for (const ReceivedEvent& e : receiver.events())
                                std::fprintf(f, "%u %lld %02x %02x %02x\n", e.frame,
                                             static_cast<long long>(e.clockNs), e.bytes[0],
                                             e.bytes[1], e.bytes[2]);
                            for (uint32_t x : receiver.xrunFrames())
                                std::fprintf(f, "xrun %u\n", x);
                            std::fclose(f);
                        }
                    }
                    std::fprintf(
                        stderr,
                        "  %s %s %d ms, try %d: %zu events, %zu steps lost, p99 %.4f ms, max "
                        "%.4f ms at step %.0f, %d xruns, %zu left out, UI late %s, ahead min %s "
                        "ms, most notes "
                        "within %.1f ms %zu, shortest step gap %.3f ms at %.0f ms%s%s\n",
                        scenario.c_str(), form.c_str(), stepMs, attempt, shown.grid.events,
                        shown.grid.lostSteps, shown.grid.p99Ms, shown.grid.maxMs,
                        shown.grid.worstStep, shown.xruns, shown.grid.excluded,
                        shown.num("handed_late") >= 0 ? fixed(shown.num("handed_late"), 0).c_str()
                                                      : "-",
                        fixed(shown.num("ahead_min_ms"), 3).c_str(), kBurstWindowMs,
                        shown.tempo.mostNotesInWindow, shown.tempo.shortestGapMs,
                        shown.tempo.shortestGapAtMs, shown.problem.empty() ? "" : ", ",
                        shown.problem.c_str());
                    if (tried.grid.lostSteps > 0 && tried.xruns == 0)
                        ++lossyTries;
                    if (better)
                        row = tried;
                    if (row.xruns == 0 && row.problem.empty())
                        break;
                }
                // A try that lost steps is repeated like one with xruns; that it happened
                // still counts.
                row.lossyTries = lossyTries;
                rows.push_back(row);
            }
        }
    }

    // The clock rows: this program's clock port (the window idle), then jack_midi_clock at the
    // same tempo. A run with xruns is repeated, as above.
    std::vector<ClockRow> clockRows;
    for (int stepMs : clockSteps) {
        for (const std::string form : {"scheduled", "jack_midi_clock"}) {
            if (!only.empty() && std::find(only.begin(), only.end(), "clock," + form) == only.end())
                continue;
            ClockRow row;
            for (int attempt = 1; attempt <= attempts; ++attempt) {
                ClockRow tried;
                if (form == "scheduled") {
                    const Row notes = runOnce(receiver, player, "clock", form, stepMs, seconds,
                                              jackdPid, xserverPid, midiseqPid, bar);
                    tried.source = form;
                    tried.stepMs = stepMs;
                    tried.periodFrames = notes.periodFrames;
                    tried.xruns = notes.xruns;
                    tried.problem = notes.problem;
                    if (tried.problem.empty() && notes.num("clock_connected") != 1)
                        tried.problem = "the clock port was not connected";
                    tried.clock = clockFigures(receiver.events(), stepMs, receiver.sampleRate(),
                                               receiver.xrunFrames(), kXrunGuardMs);
                } else {
                    tried = runReferenceClock(receiver, stepMs, seconds);
                }
                tried.attempts = attempt;
                std::fprintf(stderr,
                             "  clock %s %d ms, try %d: %zu clocks, %zu lost, p99 %.4f ms, max "
                             "%.4f ms, %d xruns%s%s\n",
                             form.c_str(), stepMs, attempt, tried.clock.clocks, tried.clock.lost,
                             tried.clock.p99Ms, tried.clock.maxMs, tried.xruns,
                             tried.problem.empty() ? "" : ", ", tried.problem.c_str());
                if (attempt == 1 || tried.xruns < row.xruns)
                    row = tried;
                if (row.xruns == 0 && row.problem.empty())
                    break;
            }
            clockRows.push_back(row);
        }
    }

    if (synth)
        printSynthOnsets(seconds);

    printTable(rows);
    std::size_t notesPerStep = 0;
    for (const auto& notes : bar)
        notesPerStep = std::max(notesPerStep, notes.size());
    printTargets(rows, notesPerStep);
    printClockRows(clockRows);
    std::printf("\nCSV\n");
    writeCsv(rows, stdout);
    if (!csvPath.empty()) {
        const bool fresh = access(csvPath.c_str(), F_OK) != 0;
        if (FILE* f = std::fopen(csvPath.c_str(), "a")) {
            writeCsv(rows, f, fresh);
            std::fclose(f);
        }
    }
    if (!clockRows.empty()) {
        std::printf("\nCSV (clock)\n");
        writeClockCsv(clockRows, stdout);
    }
    if (!clockCsvPath.empty() && !clockRows.empty()) {
        const bool fresh = access(clockCsvPath.c_str(), F_OK) != 0;
        if (FILE* f = std::fopen(clockCsvPath.c_str(), "a")) {
            writeClockCsv(clockRows, f, fresh);
            std::fclose(f);
        }
    }
    return 0;
}
