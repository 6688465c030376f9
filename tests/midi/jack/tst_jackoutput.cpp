// The program's JACK output on a real JACK server (dummy driver, started by the test
// fixture), with a separate JACK client stamping what it receives with frame times: the
// steps' bytes, messages on the frames of their due times, the lead following the server's
// period, the clock port keeping time with the steps, and a device, a receiver or a server
// that goes away giving one Error.

#include <QProcess>
#include <QTest>

#include <jack/jack.h>
#include <semaphore.h>
#include <signal.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <thread>

#include "core/monotonicclock.h"
#include "core/portaction.h"
#include "core/pulsor.h"
#include "core/sequencer.h"
#include "editing/editing.h"
#include "midi/machineports.h"
#include "midi/ports/midioutput.h"
#include "midi/ports/portroutines.h"
#include "support/fakecontrols.h"
#include "support/jackreceiver.h"
#include "support/manualclock.h"
#include "support/ownjackserver.h"
#include "support/playback.h"
#include "support/recordingports.h"

namespace {
// A server that misses periods (xruns, or time PipeWire's JACK skips without reporting it)
// says nothing about the output's timing: an attempt that saw any is made again.
constexpr int kAttempts = 8;

QString hex(const ReceivedEvent& e) {
    return hexBytes(e.bytes.data(), e.size);
}

bool openOn(MIDIOutput& out, const JackReceiver& receiver) {
    const int16_t id =
        findDevice(out, QStringLiteral("JACK: ") + QString::fromStdString(receiver.portName()));
    if (id < 0)
        return false;
    out.setDeviceID(id);
    out.setAction(1);
    return out.PortState() == 1;
}

// Sends Note On `note` due at `dueNs` the way a tick does.
void noteAt(MIDIOutput& out, int16_t note, int64_t dueNs) {
    sendMessage(out, 0x99, note, 0x66, dueNs);
}

// Opens the output on the receiver and waits until a message gets through: a new JACK
// client and connection take a few periods to join the server's graph.
QString openAndWarmUp(MIDIOutput& out, JackReceiver& receiver) {
    if (!openOn(out, receiver))
        return QStringLiteral("the output did not open");
    noteAt(out, 127, 0);
    const bool through = receiver.waitForEvents(1, 5000);
    receiver.clear();
    return through ? QString() : QStringLiteral("nothing came through the open output");
}

// The frame on which JACK places CLOCK_MONOTONIC time `dueNs`, by the clock readings of the
// period the event arrived in.
double expectedFrame(const ReceivedEvent& e, int64_t dueNs) {
    const double intoPeriodNs =
        double(dueNs + e.jackMinusMonotonicNs - int64_t(e.periodStartUs) * 1000);
    return double(e.periodStartFrame) +
           intoPeriodNs * e.periodFrames / (double(e.periodEndUs - e.periodStartUs) * 1000.0);
}

struct Errors {
    explicit Errors(MidiPort& port) {
        QObject::connect(&port, &MidiPort::Error, [this](int16_t& code, QString& text) {
            codes << code;
            texts << text;
        });
    }
    QList<int16_t> codes;
    QStringList texts;
};

// Passes what the step engine writes on to the real output, and keeps each note it hands
// over with its due time and the time it was handed over. The engine sends on its own
// thread; the notes are kept in room made beforehand and
// published through an atomic count.
class HandOverTap final : public MessageOutput {
public:
    struct Note {
        int64_t dueNs = 0;
        int64_t handedNs = 0;
        std::array<unsigned char, 3> bytes{};
    };
    explicit HandOverTap(MIDIOutput& out) : m_out(out), m_notes(1u << 14) {}

    void send(const uint8_t* bytes, std::size_t size, int64_t dueNs) override {
        const std::size_t n = m_count.load(std::memory_order_relaxed);
        if (dueNs != 0 && size == 3 && n < m_notes.size()) {
            m_notes[n] = Note{dueNs, monotonicNowNs(), {bytes[0], bytes[1], bytes[2]}};
            m_count.store(n + 1, std::memory_order_release);
        }
        m_out.send(bytes, size, dueNs);
    }
    void withdrawAfter(int64_t timeNs) override { m_out.withdrawAfter(timeNs); }
    int64_t leadNs() const override { return m_out.leadNs(); }

    std::size_t count() const { return m_count.load(std::memory_order_acquire); }
    std::vector<Note> notes() const {
        return std::vector<Note>(m_notes.begin(), m_notes.begin() + long(count()));
    }

private:
    MIDIOutput& m_out;
    std::vector<Note> m_notes;
    std::atomic<std::size_t> m_count{0};
};

// Sets the server's period to `frames`: on PipeWire as its users do, through its settings
// (`pw-metadata -n settings 0 clock.force-quantum N`), on jackd2 through JACK. Empty when
// the server took it, else why not.
QString setPeriod(const JackReceiver& receiver, uint32_t frames) {
    if (!jackIsPipeWire())
        return receiver.setBufferSize(frames) ? QString()
                                              : QStringLiteral("JACK refused the period");
    QProcess metadata;
    metadata.start(QStringLiteral("pw-metadata"),
                   {QStringLiteral("-n"), QStringLiteral("settings"), QStringLiteral("0"),
                    QStringLiteral("clock.force-quantum"), QString::number(frames)});
    if (!metadata.waitForFinished(5000) || metadata.exitCode() != 0)
        return QStringLiteral("pw-metadata failed: ") +
               QString::fromLocal8Bit(metadata.readAllStandardError());
    return {};
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// How the notes of a run arrived.
struct Arrivals {
    std::vector<double> frameErrors;    // of the notes on their frames, |frames off|
    std::vector<double> clockErrorsMs;  // and by JACK's clock
    std::map<uint32_t, int> onTimeAt;   // notes on their frames, by period length
    int late = 0;                       // notes that went late for a reason
    double latestMs = 0;
    int lost = 0;      // in a stall of the graph
    int repeated = 0;  // likewise
};

// Checks the notes that arrived against those handed over, both in due order. Empty when
// every note due by `stopNs` arrived once, on the frame of its due time or else late for a
// reason; otherwise what was wrong. A note goes late, at the first frame of the next cycle,
// when its cycle had begun before it was handed over (it was handed over less than a period
// ahead: the first steps of a run shorter than the lead, or the period grew under it) or
// when the server skipped its time (PipeWire skips a cycle at each change of quantum). Near
// a stall of the graph (time skipped with no change of period, or a cycle off its time) a
// note may also go late, or PipeWire may lose or repeat it on its way between the clients:
// those are counted.
QString checkArrivals(const std::vector<HandOverTap::Note>& handed,
                      const std::vector<ReceivedEvent>& events,
                      const std::vector<CycleBreak>& breaks, int64_t stopNs, int64_t longestNs,
                      Arrivals& arrivals) {
    const auto near = [&](int64_t timeNs, bool stallsOnly) {
        return std::any_of(breaks.begin(), breaks.end(), [&](const CycleBreak& b) {
            const bool stall = b.offTime || b.framesBefore == b.framesAfter;
            return (stall || !stallsOnly) && b.toNs != 0 &&
                   timeNs >= b.fromNs - longestNs - 2'000'000 &&
                   timeNs <= b.toNs + 2 * longestNs + 2'000'000;
        });
    };
    const auto bytesOf = [](const HandOverTap::Note& n) {
        return hexBytes(n.bytes.data(), n.bytes.size());
    };
    // Whether event `e` is the arrival of note `n`, and where it landed.
    enum class Landing { No, OnFrame, Late };
    const auto landing = [&](const ReceivedEvent& e, const HandOverTap::Note& n) {
        if (hex(e) != bytesOf(n))
            return Landing::No;
        // A cycle the server gave no time for (it does, in trouble) places nothing.
        const bool clocked = e.periodEndUs > e.periodStartUs;
        const double error = double(e.frame) - expectedFrame(e, n.dueNs);
        if (clocked && std::abs(error) <= 1.0)
            return Landing::OnFrame;
        // The output takes a message in time for its cycle when it has it a period and
        // 0.3 ms ahead.
        const int64_t periodNs = int64_t(e.periodEndUs - e.periodStartUs) * 1000;
        if ((!clocked || error > 0) && e.offset == 0 &&
            (n.dueNs - n.handedNs < periodNs + 500'000 || near(n.dueNs, false)))
            return Landing::Late;
        return Landing::No;
    };

    std::size_t i = 0;
    for (const ReceivedEvent& e : events) {
        // The next note this is the arrival of; those skipped over were lost.
        std::size_t k = i;
        while (k < handed.size() && k < i + 64 && landing(e, handed[k]) == Landing::No)
            ++k;
        const bool found = k < handed.size() && k < i + 64;
        bool skippedLost = found;
        for (std::size_t l = i; found && l < k; ++l)
            skippedLost = skippedLost && near(handed[l].dueNs, true);
        if (!found || !skippedLost) {
            if (near(e.clockNs, true)) {
                ++arrivals.repeated;
                continue;
            }
            if (i >= handed.size())
                return QStringLiteral("%1 arrived, after every note handed over").arg(hex(e));
            const HandOverTap::Note& n = handed[i];
            return QStringLiteral(
                       "note %1 (%2) is %3 frames off (%4 arrived, in a period of "
                       "%5), handed over %6 ms ahead")
                .arg(i)
                .arg(bytesOf(n))
                .arg(double(e.frame) - expectedFrame(e, n.dueNs), 0, 'f', 1)
                .arg(hex(e))
                .arg(e.periodFrames)
                .arg(double(n.dueNs - n.handedNs) / 1e6, 0, 'f', 2);
        }
        arrivals.lost += int(k - i);
        const HandOverTap::Note& n = handed[k];
        const double clockMs = double(e.clockNs - n.dueNs) / 1e6;
        if (landing(e, n) == Landing::OnFrame) {
            arrivals.frameErrors.push_back(std::abs(double(e.frame) - expectedFrame(e, n.dueNs)));
            arrivals.clockErrorsMs.push_back(std::abs(clockMs));
            ++arrivals.onTimeAt[e.periodFrames];
        } else {
            ++arrivals.late;
            if (e.periodEndUs > e.periodStartUs)
                arrivals.latestMs = std::max(arrivals.latestMs, clockMs);
        }
        i = k + 1;
    }
    // Of those due after the stop, some may have gone before the stop withdrew the rest.
    for (; i < handed.size() && handed[i].dueNs <= stopNs; ++i) {
        if (!near(handed[i].dueNs, true))
            return QStringLiteral("note %1 (%2) never arrived").arg(i).arg(bytesOf(handed[i]));
        ++arrivals.lost;
    }
    return {};
}

// A run of the step engine with the MIDI clock: its steps, as runs of (first due time from
// the start in ms, step length in ms, count); then a stop at `stopMs` or, with none, the end
// of a one-bar song; and what the clock port is to carry, as runs of (byte, first due time
// in ms, step length in ms, count), a run's messages six to a step.
struct ClockScript {
    std::vector<std::array<double, 3>> steps;
    double stopMs = -1;
    std::vector<std::array<double, 4>> clock;
};

// Empty when `events` are `expected` (bytes, due time) in order, each on its frame; else what
// came, and how many frames off.
QString offTheirFrames(const std::vector<ReceivedEvent>& events,
                       const std::vector<std::pair<QString, int64_t>>& expected) {
    QStringList got;
    bool on = events.size() == expected.size();
    for (std::size_t i = 0; i < events.size(); ++i) {
        const double off = i < expected.size() ? double(events[i].frame) -
                                                     expectedFrame(events[i], expected[i].second)
                                               : 0;
        on = on && hex(events[i]) == expected[i].first && std::abs(off) <= 1.0;
        got << QStringLiteral("%1 %2").arg(hex(events[i])).arg(off, 0, 'f', 1);
    }
    return on ? QString() : got.join(QStringLiteral(", "));
}

}  // namespace

Q_DECLARE_METATYPE(ClockScript)

class TestJackOutput : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("JACK_NO_START_SERVER", "1"); }

    void receiverGetsTheStepsBytes() {
        JackReceiver receiver("seq-test-receiver");
        QVERIFY2(receiver.ok(), receiver.error().c_str());

        auto out = makeSystemMidiOutput();
        const QString name = QStringLiteral("JACK: ") + QString::fromStdString(receiver.portName());
        const int16_t id = findDevice(*out, name);
        QVERIFY2(id >= 0, qPrintable(QStringLiteral("%1 is not listed").arg(name)));

        out->setDeviceID(id);
        out->setAction(1);
        QCOMPARE(out->PortState(), int16_t(1));

        ManualClock timer;
        Sequencer seq(timer, *out);
        seq.edit(resetVoiceNotes);
        seq.edit([](LivePattern& live) {
            live.setCell(cellIndex(0, 0), 1);
            live.setCell(cellIndex(3, 1), 1);
        });
        seq.startOrStop();
        const int64_t now = monotonicNowNs();
        timer.raise(now + 20'000'000);
        timer.raise(now + 30'000'000);
        QVERIFY(receiver.waitForEvents(2, 5000));
        sendPanic(*out);

        QVERIFY2(receiver.waitForEvents(3, 5000),
                 qPrintable(QStringLiteral("received %1 events").arg(receiver.events().size())));
        const auto events = receiver.events();
        QCOMPARE(events.size(), size_t(3));
        QCOMPARE(hex(events[0]), QStringLiteral("99 23 66"));
        QCOMPARE(hex(events[1]), QStringLiteral("99 52 66"));
        QCOMPARE(hex(events[2]), QStringLiteral("b9 7b 00"));

        out->setAction(2);
        QCOMPARE(out->PortState(), int16_t(0));
    }

    void aVanishedDeviceIsReportedOnce() {
        auto out = makeSystemMidiOutput();
        QString name;
        int16_t id = -2;
        {
            JackReceiver receiver("seq-test-gone");
            QVERIFY2(receiver.ok(), receiver.error().c_str());
            name = QStringLiteral("JACK: ") + QString::fromStdString(receiver.portName());
            id = findDevice(*out, name);
            QVERIFY(id >= 0);
        }
        // The receiver left between the listing and the open.
        int errors = 0;
        QString text;
        connect(out.get(), &MidiPort::Error, [&](int16_t&, QString& t) {
            ++errors;
            text = t;
        });
        out->setDeviceID(id);
        out->setAction(1);
        QCOMPARE(out->PortState(), int16_t(0));
        QTRY_COMPARE(errors, 1);
        QVERIFY2(text.contains(name), qPrintable(text));
    }

    void messagesLandOnTheFramesOfTheirDueTimes() {
        JackReceiver receiver("seq-test-frames");
        QVERIFY2(receiver.ok(), receiver.error().c_str());
        auto out = makeSystemMidiOutput();
        QCOMPARE(openAndWarmUp(*out, receiver), QString());
        const uint32_t period = receiver.bufferSize();
        QVERIFY(period > 0);

        for (int attempt = 0;; ++attempt) {
            QVERIFY2(attempt < kAttempts, "the server missed cycles in every attempt");
            receiver.clear();
            const int missed = receiver.missedCycles();
            // Aimed at 8 frames into a period about 30 periods ahead, so that the first
            // messages (within 2 ms) share one period.
            const uint32_t start = (receiver.frameTime() / period + 30) * period + 8;
            const int64_t t0 = receiver.monotonicNsOfFrame(start);
            // 48 kHz: 62.5 ms is 3000 frames.
            const std::vector<int64_t> afterNs{
                0,          0,          62'500'000 / 3000, 500'000,
                1'000'000,  2'000'000,  5'500'000,         9'000'000,
                13'000'000, 13'010'000, 40'000'000,        40'000'000 + 62'500'000 / 30};
            // Sent out of due order on purpose: the output puts them in order.
            for (size_t i : {0, 1, 2, 3, 5, 4, 6, 7, 8, 9, 11, 10})
                noteAt(*out, int16_t(i + 1), t0 + afterNs[i]);
            noteAt(*out, 100, t0 + afterNs[5]);  // same due time as note 6, sent later

            const bool all = receiver.waitForEvents(afterNs.size() + 1, 5000);
            if (receiver.missedCycles() != missed)
                continue;
            QVERIFY2(all, qPrintable(QString::number(receiver.events().size())));
            const auto events = receiver.events();
            QCOMPARE(events.size(), afterNs.size() + 1);

            // In due order; equal due times in the order they were sent.
            QStringList got, want;
            for (const auto& e : events)
                got << hex(e);
            for (size_t i = 0; i < afterNs.size(); ++i) {
                want << QStringLiteral("99 %1 66").arg(i + 1, 2, 16, QLatin1Char('0'));
                if (i == 5)
                    want << QStringLiteral("99 64 66");
            }
            QCOMPARE(got, want);

            std::map<uint32_t, int> perPeriod;
            for (size_t k = 0; k < events.size(); ++k) {
                const auto& e = events[k];
                const size_t i = k <= 5 ? k : k == 6 ? 5 : k - 1;
                // Each lands, within the period that covers its due time, on the frame that
                // JACK's clock of that period gives the due time. (That clock, not the nominal
                // rate, is the truth: a dummy server that falls behind runs its frames slower
                // than the wall clock.)
                const double expected = expectedFrame(e, t0 + afterNs[i]);
                QVERIFY2(std::abs(double(e.frame) - expected) <= 1.0,
                         qPrintable(QStringLiteral("message %1: frame %2, expected %3")
                                        .arg(k)
                                        .arg(e.frame)
                                        .arg(expected, 0, 'f', 1)));
                ++perPeriod[e.periodStartFrame];
            }
            QCOMPARE(events[1].frame, events[0].frame);
            QCOMPARE(events[6].frame, events[5].frame);
            QVERIFY(events[2].frame > events[0].frame);
            int most = 0;
            for (const auto& p : perPeriod)
                most = std::max(most, p.second);
            QVERIFY2(most >= 5, qPrintable(QStringLiteral("at most %1 in one period").arg(most)));
            break;
        }
        out->setAction(2);
    }

    void theClockPortKeepsTimeWithTheSteps_data() {
        QTest::addColumn<ClockScript>("script");
        QTest::newRow("steady, then stopped") << ClockScript{
            {{0, 20, 2}}, 45, {{0xFA, 0, 0, 1}, {0xF8, 0, 20, 12}, {0xFC, 45, 0, 1}}};
        // The next step comes before the last one's clocks are done: those left are dropped.
        QTest::newRow("faster from the next step") << ClockScript{
            {{0, 20, 1}, {10, 10, 1}},
            30,
            {{0xFA, 0, 0, 1}, {0xF8, 0, 20, 3}, {0xF8, 10, 10, 6}, {0xFC, 30, 0, 1}}};
        QTest::newRow("a stop withdraws the clocks not yet due")
            << ClockScript{{{0, 20, 2}}, 25, {{0xFA, 0, 0, 1}, {0xF8, 0, 20, 8}, {0xFC, 25, 0, 1}}};
        QTest::newRow("a song's end")
            << ClockScript{{{0, 5, 17}}, -1, {{0xFA, 0, 0, 1}, {0xF8, 0, 5, 96}, {0xFC, 80, 0, 1}}};
    }

    void theClockPortKeepsTimeWithTheSteps() {
        // The step engine's MIDI clock through the output's clock port, heard by a receiver
        // of its own, and the notes by another: each message on the frame of its due time,
        // the notes as they are without a clock.
        QFETCH(ClockScript, script);
        JackReceiver notes("seq-test-notes");
        JackReceiver clock("seq-test-clock");
        QVERIFY2(notes.ok() && clock.ok(), (notes.error() + clock.error()).c_str());
        auto out = makeSystemMidiOutput();
        Errors errors(*out);
        QCOMPARE(openAndWarmUp(*out, notes), QString());
        const std::vector<std::string> ours = clock.portsMatching("^midi pattern sequencer:clock$");
        QCOMPARE(ours.size(), size_t(1));
        QVERIFY(clock.connectFrom(ours[0]));
        // The connection is live from a cycle after jack_connect returns: a probe sent
        // before then is lost, so one goes each 100 ms until one comes through. Every probe
        // is due at once, so none sent earlier can arrive after the one heard.
        const uint8_t probe = 0xF8;
        bool through = false;
        for (int i = 0; i < 50 && !through; ++i) {
            out->clockOutput().send(&probe, 1, 0);
            through = clock.waitForEvents(1, 100);
        }
        QVERIFY(through);

        for (int attempt = 0;; ++attempt) {
            QVERIFY2(attempt < kAttempts, "the server missed cycles in every attempt");
            notes.clear();
            clock.clear();
            const int missed = notes.missedCycles() + clock.missedCycles();
            ManualClock timer;
            Sequencer seq(timer, *out, &out->clockOutput());
            seq.edit(resetVoiceNotes);
            seq.edit([](LivePattern& live) {
                live.setCell(cellIndex(0, 0), 1);
                live.setCell(cellIndex(3, 1), 1);
            });
            if (script.stopMs < 0) {
                seq.toggleSongMode();
                seq.setSongList(u"0");
            }
            seq.startOrStop();
            // Far enough ahead that nothing has left when the stop comes.
            const int64_t t0 = monotonicNowNs() + 200'000'000;
            const auto at = [t0](double ms) { return t0 + int64_t(ms * 1e6); };
            std::vector<std::pair<QString, int64_t>> wantNotes, wantClock;
            int step = 0;
            for (const auto& [fromMs, stepMs, count] : script.steps)
                for (int k = 0; k < count; ++k, ++step) {
                    seq.setTempo(int(stepMs));
                    timer.raise(at(fromMs + stepMs * k));
                    if (step % 16 < 2 && (script.stopMs >= 0 || step < 16))
                        wantNotes.emplace_back(step % 16 == 0 ? QStringLiteral("99 23 66")
                                                              : QStringLiteral("99 52 66"),
                                               at(fromMs + stepMs * k));
                }
            if (script.stopMs >= 0) {
                timer.setNow(at(script.stopMs));
                QVERIFY(!seq.startOrStop());
            }
            for (const auto& [byte, fromMs, stepMs, count] : script.clock)
                for (int k = 0; k < count; ++k) {
                    const uint8_t b = uint8_t(byte);
                    wantClock.emplace_back(hexBytes(&b, 1), at(fromMs + stepMs * k / 6));
                }
            QVERIFY(clock.waitForPeriodAfter(wantClock.back().second + 50'000'000, 5000));
            if (notes.missedCycles() + clock.missedCycles() != missed)
                continue;
            QCOMPARE(offTheirFrames(clock.events(), wantClock), QString());
            QCOMPARE(offTheirFrames(notes.events(), wantNotes), QString());
            break;
        }
        QCoreApplication::processEvents();
        QCOMPARE(errors.codes.size(), 0);
        out->setAction(2);
        QTRY_VERIFY_WITH_TIMEOUT(clock.portsMatching("^midi pattern sequencer:").empty(), 2000);
    }

    void aMessageAlreadyDueGoesAtTheStartOfTheNextPeriod() {
        JackReceiver receiver("seq-test-late");
        QVERIFY2(receiver.ok(), receiver.error().c_str());
        auto out = makeSystemMidiOutput();
        const uint32_t period = receiver.bufferSize();
        for (int attempt = 0;; ++attempt) {
            QVERIFY2(attempt < kAttempts, "the server missed cycles in every attempt");
            receiver.clear();
            const int missed = receiver.missedCycles();
            // Sent the moment the port is open: opening returns once the connection is live.
            QVERIFY(openOn(*out, receiver));
            const uint32_t before = receiver.frameTime();
            noteAt(*out, 35, monotonicNowNs() - 50'000'000);
            noteAt(*out, 36, monotonicNowNs() - 40'000'000);
            const bool both = receiver.waitForEvents(2, 5000);
            out->setAction(2);
            if (receiver.missedCycles() != missed)
                continue;
            QVERIFY(both);
            const auto events = receiver.events();
            QCOMPARE(hex(events[0]), QStringLiteral("99 23 66"));
            QCOMPARE(hex(events[1]), QStringLiteral("99 24 66"));
            QCOMPARE(events[0].offset, 0u);
            QCOMPARE(events[1].offset, 0u);
            // Within the period after the one running at the send.
            QVERIFY2(events[0].frame <= before + 2 * period,
                     qPrintable(QStringLiteral("%1 frames late").arg(events[0].frame - before)));
            break;
        }
        // Closed, the output leaves no client behind (nor does listing the devices).
        QVERIFY(!receiver.clientExists("midi pattern sequencer"));
        QVERIFY(out->DeviceCount() > 0);
        QVERIFY(!receiver.clientExists("midi pattern sequencer"));
        // The check itself sees a client that is there.
        QVERIFY(receiver.clientExists("seq-test-late"));
    }

    void aPortThatLeavesWhileBeingOpenedEndsClosed() {
        // A receiving program that drops its port the moment the output connects to it:
        // the loss comes while the output is still opening. One report, the port ends up
        // closed, and opening does not wait out its whole grace time for the connection.
        struct Victim {
            jack_client_t* client = nullptr;
            jack_port_t* port = nullptr;
            sem_t connected{};
        } v;
        sem_init(&v.connected, 0, 0);
        v.client = jack_client_open("seq-test-victim", JackNoStartServer, nullptr);
        QVERIFY(v.client);
        v.port = jack_port_register(v.client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        QVERIFY(v.port);
        jack_set_port_connect_callback(
            v.client,
            [](jack_port_id_t, jack_port_id_t, int connect, void* arg) {
                if (connect)
                    sem_post(&static_cast<Victim*>(arg)->connected);
            },
            &v);
        QCOMPARE(jack_activate(v.client), 0);
        std::thread dropper([&v] {
            timespec until{};
            clock_gettime(CLOCK_REALTIME, &until);
            until.tv_sec += 10;
            if (sem_timedwait(&v.connected, &until) == 0)
                jack_port_unregister(v.client, v.port);
        });

        auto out = makeSystemMidiOutput();
        Errors errors(*out);
        const int16_t id = findDevice(*out, QStringLiteral("JACK: seq-test-victim:in"));
        QVERIFY(id >= 0);
        out->setDeviceID(id);
        const auto started = std::chrono::steady_clock::now();
        out->setAction(1);
        const auto openMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count();
        dropper.join();
        QTRY_COMPARE_WITH_TIMEOUT(errors.codes.size(), 1, 5000);
        QCOMPARE(errors.codes[0], MidiError::kDeviceLost);
        QTRY_COMPARE(out->PortState(), int16_t(0));
        QVERIFY2(openMs < 1000, qPrintable(QStringLiteral("open took %1 ms").arg(openMs)));
        // Closed, the output has no watcher left to report anything; what it posted before
        // is delivered now.
        QCoreApplication::processEvents();
        QCOMPARE(errors.codes.size(), 1);
        out.reset();
        jack_client_close(v.client);
        sem_destroy(&v.connected);
    }

    void aReceiverThatLeavesDuringPlaybackGivesOneError() {
        auto receiver = std::make_unique<JackReceiver>("seq-test-leaving");
        QVERIFY2(receiver->ok(), receiver->error().c_str());
        const QString portName = QString::fromStdString(receiver->portName());
        auto out = makeSystemMidiOutput();
        Errors errors(*out);
        QVERIFY(openOn(*out, *receiver));
        Playback play(*out);
        play.start(5);
        // Waited for in the event loop: the ticks come through it.
        QTRY_VERIFY_WITH_TIMEOUT(receiver->events().size() >= 20, 5000);
        receiver.reset();

        QTRY_COMPARE_WITH_TIMEOUT(errors.codes.size(), 1, 5000);
        QCOMPARE(errors.codes[0], MidiError::kDeviceLost);
        QVERIFY2(errors.texts[0].contains(portName), qPrintable(errors.texts[0]));
        // Playback goes on; the port reads as closed and says nothing more.
        const int32_t ticks = play.timer.TickCount();
        QTRY_VERIFY_WITH_TIMEOUT(play.timer.TickCount() > ticks + 40, 5000);
        QCOMPARE(out->PortState(), int16_t(0));
        QCOMPARE(errors.codes.size(), 1);
        play.timer.setEnabled(false);
    }

    void aConnectionChangedInAPatchbayIsNoLoss() {
        // While playing into one receiver the user connects a second one and removes the
        // first connection: the output stays open, says nothing, and plays to the second;
        // connected again, the first one hears it again.
        JackReceiver first("seq-test-patch-1");
        JackReceiver second("seq-test-patch-2");
        QVERIFY2(first.ok() && second.ok(), (first.error() + second.error()).c_str());
        auto out = makeSystemMidiOutput();
        Errors errors(*out);
        QVERIFY(openOn(*out, first));
        const std::vector<std::string> ours = first.portsMatching("^midi pattern sequencer:out$");
        QCOMPARE(ours.size(), size_t(1));
        Playback play(*out);
        play.start(5);
        QTRY_VERIFY_WITH_TIMEOUT(first.events().size() >= 8, 5000);

        QVERIFY(second.connectFrom(ours[0]));
        QVERIFY(first.disconnectFrom(ours[0]));
        second.clear();
        QTRY_VERIFY_WITH_TIMEOUT(second.events().size() >= 8, 5000);
        // Sixteen more notes reach the second receiver meanwhile, and none the first.
        first.clear();
        const size_t heard = second.events().size();
        QTRY_VERIFY_WITH_TIMEOUT(second.events().size() >= heard + 16, 5000);
        QVERIFY(first.events().empty());
        QCOMPARE(out->PortState(), int16_t(1));

        QVERIFY(first.connectFrom(ours[0]));
        QTRY_VERIFY_WITH_TIMEOUT(first.events().size() >= 8, 5000);
        QCOMPARE(errors.codes.size(), 0);
        play.timer.setEnabled(false);
    }

    void theLeadFollowsAPeriodChangeWhilePlaying() {
        // The rock beat at 10 ms steps while the server's period (PipeWire's quantum) goes
        // from the fixture's to the other of 256 and 1024 frames and back. At each period the
        // output's lead is one period and a little, the engine plays that far ahead, and the
        // notes land on their frames. Every note arrives, and nothing is taken for a lost
        // device.
        JackReceiver receiver("seq-test-period");
        QVERIFY2(receiver.ok(), receiver.error().c_str());
        auto out = makeSystemMidiOutput();
        Errors errors(*out);
        QCOMPARE(openAndWarmUp(*out, receiver), QString());
        const uint32_t home = receiver.bufferSize();
        const uint32_t other = home >= 1024 ? 256 : 1024;
        const double rate = receiver.sampleRate();
        const auto periodNs = [rate](uint32_t frames) { return int64_t(frames * 1e9 / rate); };
        // The tests after this one run on the fixture's period, whatever happens here.
        struct PutBack {
            const JackReceiver& receiver;
            uint32_t frames;
            ~PutBack() {
                if (setPeriod(receiver, frames).isEmpty() &&
                    !QTest::qWaitFor([this] { return receiver.bufferSize() == frames; }, 5000))
                    qWarning("the server's period was not put back to %u frames", frames);
            }
        } putBack{receiver, home};

        for (int attempt = 0;; ++attempt) {
            QVERIFY2(attempt < kAttempts, "the server missed cycles in every attempt");
            receiver.clear();
            const int xruns = receiver.xruns();
            HandOverTap tap(*out);
            Playback play(tap);
            play.start(10);
            const auto playFor = [&tap](std::size_t notes) {
                const std::size_t from = tap.count();
                return QTest::qWaitFor([&] { return tap.count() >= from + notes; }, 5000);
            };
            QStringList leads;
            for (const uint32_t frames : {other, home}) {
                QVERIFY(playFor(80));
                leads << QStringLiteral("%1 / %2 ms at %3")
                             .arg(double(out->leadNs()) / 1e6, 0, 'f', 2)
                             .arg(double(play.timer.leadTime().count()) / 1e6, 0, 'f', 2)
                             .arg(receiver.bufferSize());
                QCOMPARE(setPeriod(receiver, frames), QString());
                QTRY_COMPARE_WITH_TIMEOUT(receiver.bufferSize(), frames, 5000);
                QTRY_VERIFY2_WITH_TIMEOUT(
                    out->leadNs() > periodNs(frames) &&
                        out->leadNs() <= periodNs(frames) + 1'000'000,
                    qPrintable(
                        QStringLiteral("lead %1 ns at %2 frames").arg(out->leadNs()).arg(frames)),
                    2000);
                // The engine takes the output's new lead at its next step.
                QTRY_COMPARE_WITH_TIMEOUT(play.timer.leadTime().count(),
                                          Sequencer::leadFor(out->leadNs()).count(), 2000);
            }
            QVERIFY(playFor(80));
            const int64_t stopNs = monotonicNowNs();
            play.timer.setEnabled(false);

            const std::vector<HandOverTap::Note> handed = tap.notes();
            const auto dueByStop = std::size_t(
                std::count_if(handed.begin(), handed.end(),
                              [stopNs](const HandOverTap::Note& n) { return n.dueNs <= stopNs; }));
            // Waited for with a deadline; a note that never comes is told below.
            (void)receiver.waitForEvents(dueByStop, 3000);
            QVERIFY(receiver.waitForPeriodAfter(monotonicNowNs() + periodNs(1024), 5000));
            const std::vector<CycleBreak> breaks = receiver.cycleBreaks();
            Arrivals arrivals;
            QString fault = checkArrivals(handed, receiver.events(), breaks, stopNs,
                                          periodNs(std::max(home, other)), arrivals);
            if (fault.isEmpty() && (arrivals.onTimeAt[home] < 50 || arrivals.onTimeAt[other] < 50))
                fault = QStringLiteral("on their frames: %1 at %2 frames, %3 at %4")
                            .arg(arrivals.onTimeAt[home])
                            .arg(home)
                            .arg(arrivals.onTimeAt[other])
                            .arg(other);
            // Stalls of the graph: time skipped besides the two changes, cycles off their time.
            const auto stalls = std::count_if(
                breaks.begin(), breaks.end(),
                [](const CycleBreak& b) { return b.offTime || b.framesBefore == b.framesAfter; });
            if (!fault.isEmpty() && (stalls > 0 || receiver.xruns() != xruns)) {
                qInfo("attempt %d, in %d stalls: %s", attempt + 1, int(stalls), qPrintable(fault));
                continue;
            }
            QVERIFY2(fault.isEmpty(), qPrintable(fault));
            qInfo("%s",
                  qPrintable(QStringLiteral("periods %1 -> %2 -> %1 frames, attempt %3: %4 "
                                            "notes on their frames (off by p99 %5 / max %6 "
                                            "frames, by JACK's clock p99 %7 / max %8 ms), %9 "
                                            "late at the start or a break (at most %10 ms), %11 "
                                            "lost and %12 repeated in %13 stalls; lead output / "
                                            "engine: %14")
                                 .arg(home)
                                 .arg(other)
                                 .arg(attempt + 1)
                                 .arg(arrivals.frameErrors.size())
                                 .arg(percentile(arrivals.frameErrors, 0.99), 0, 'f', 2)
                                 .arg(percentile(arrivals.frameErrors, 1.0), 0, 'f', 2)
                                 .arg(percentile(arrivals.clockErrorsMs, 0.99), 0, 'f', 3)
                                 .arg(percentile(arrivals.clockErrorsMs, 1.0), 0, 'f', 3)
                                 .arg(arrivals.late)
                                 .arg(arrivals.latestMs, 0, 'f', 2)
                                 .arg(arrivals.lost)
                                 .arg(arrivals.repeated)
                                 .arg(stalls)
                                 .arg(leads.join(QStringLiteral(", ")))));
            break;
        }
        QCoreApplication::processEvents();
        QCOMPARE(errors.codes.size(), 0);
        out->setAction(2);
    }

    void aKilledServerGivesOneErrorAndANewServerCanBeUsed() {
        OwnJackServer server(QStringLiteral("seqtest-timing-kill"));
        QVERIFY2(server.start(), qPrintable(server.output()));
        auto out = makeSystemMidiOutput();
        Errors errors(*out);
        {
            JackReceiver receiver("seq-test-killed");
            QVERIFY2(receiver.ok(), receiver.error().c_str());
            QVERIFY(openOn(*out, receiver));
            Playback play(*out);
            play.start(5);
            QTRY_VERIFY_WITH_TIMEOUT(receiver.events().size() >= 20, 5000);

            server.kill();
            QTRY_COMPARE_WITH_TIMEOUT(errors.codes.size(), 1, 5000);
            QCOMPARE(errors.codes[0], MidiError::kDeviceLost);
            QVERIFY2(errors.texts[0].contains(QStringLiteral("JACK server")),
                     qPrintable(errors.texts[0]));
            const int32_t ticks = play.timer.TickCount();
            QTRY_VERIFY_WITH_TIMEOUT(play.timer.TickCount() > ticks + 40, 5000);
            QCOMPARE(out->PortState(), int16_t(0));
            QCOMPARE(errors.codes.size(), 1);
            play.timer.setEnabled(false);
            QTRY_VERIFY_WITH_TIMEOUT(receiver.shutDown(), 5000);
        }

        // With no server the output lists nothing from JACK.
        QCOMPARE(findDevice(*out, QStringLiteral("JACK: seq-test-killed:in")), int16_t(-2));

        QVERIFY2(server.start(), qPrintable(server.output()));
        {
            JackReceiver receiver("seq-test-reborn");
            QVERIFY2(receiver.ok(), receiver.error().c_str());
            QVERIFY(openOn(*out, receiver));
            noteAt(*out, 35, 0);
            QVERIFY(receiver.waitForEvents(1, 5000));
            QCOMPARE(hex(receiver.events()[0]), QStringLiteral("99 23 66"));
            out->setAction(2);
        }
        QCOMPARE(errors.codes.size(), 1);
        // Clients first, then the server.
        server.stop();
    }
};

QTEST_GUILESS_MAIN(TestJackOutput)
#include "tst_jackoutput.moc"
