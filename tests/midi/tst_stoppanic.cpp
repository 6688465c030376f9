// Stop and panic mean the same on the three outputs, played one script each:
//  - the panic (All Notes Off, at once: on JACK within the next two periods) overtakes
//    notes handed over before it, which still play at their steps, and silences what
//    rings;
//  - a stop withdraws the notes handed over for later; a note already late stays, and a
//    note handed over after the stop plays.
// The JACK output is heard through a receiving JACK client on a real server, the built-in
// synth by its rendered sound, the ALSA output's sender through the sink it delivers to.

#include <QTest>

#include <memory>
#include <mutex>

#include "core/monotonicclock.h"
#include "midi/alsa/scheduledsender.h"
#include "midi/jack/jackoutput.h"
#include "midi/synth/builtinsynth.h"
#include "support/audioanalysis.h"
#include "support/jackreceiver.h"

namespace {

constexpr int64_t kMs = 1'000'000;

// The notes of the script (channel 10), each its own drum sound.
constexpr int kCrash = 49;     // at once, rings until the panic
constexpr int kBefore1 = 42;   // handed over before the panic
constexpr int kBefore2 = 38;   // likewise
constexpr int kLate = 40;      // already late when the stop comes
constexpr int kStopped1 = 35;  // handed over before the stop, due after it
constexpr int kStopped2 = 37;
constexpr int kAfter = 39;  // handed over after the stop

QString label(int noteOrPanic) {
    switch (noteOrPanic) {
        case kCrash:
            return QStringLiteral("crash");
        case kBefore1:
            return QStringLiteral("before-1");
        case kBefore2:
            return QStringLiteral("before-2");
        case kLate:
            return QStringLiteral("late");
        case kStopped1:
            return QStringLiteral("stopped-1");
        case kStopped2:
            return QStringLiteral("stopped-2");
        case kAfter:
            return QStringLiteral("after");
        case -1:
            return QStringLiteral("panic");
        default:
            return QStringLiteral("note %1").arg(noteOrPanic);
    }
}

// Labels what a message-level output delivered.
QString labelOf(const unsigned char* bytes, std::size_t size) {
    if (size == 3 && bytes[0] == 0xB9 && bytes[1] == 123)
        return label(-1);
    if (size == 3 && bytes[0] == 0x99)
        return label(bytes[1]);
    return QStringLiteral("other");
}

// One output under the script, on its own clock.
class Output {
public:
    virtual ~Output() = default;
    virtual QString ready() = 0;
    virtual int64_t now() = 0;
    virtual void send(int status, int data1, int data2, int64_t dueNs) = 0;
    virtual void withdraw(int64_t nowNs) = 0;
    /// Lets the output's clock run to `ns`, and what was due by then leave.
    virtual bool runTo(int64_t ns) = 0;
    /// What was heard, in order; `times` are the due times of the script's notes.
    virtual QStringList heard(const std::map<int, int64_t>& times) = 0;
};

// The script; `times` gets the due time of each timed note. False when the output's clock
// did not get to the end.
bool play(Output& out, std::map<int, int64_t>& times) {
    const int64_t start = out.now();
    out.send(0x99, kCrash, 110, 0);
    if (!out.runTo(start + 60 * kMs))
        return false;

    times[kBefore1] = start + 200 * kMs;
    times[kBefore2] = start + 300 * kMs;
    out.send(0x99, kBefore1, 100, times[kBefore1]);
    out.send(0x99, kBefore2, 100, times[kBefore2]);
    out.send(0xB9, 123, 0, 0);  // the panic
    if (!out.runTo(start + 500 * kMs))
        return false;

    const int64_t stopAt = out.now();
    times[kLate] = stopAt - 5 * kMs;
    times[kStopped1] = stopAt + 150 * kMs;
    times[kStopped2] = stopAt + 250 * kMs;
    times[kAfter] = stopAt + 350 * kMs;
    out.send(0x99, kStopped1, 100, times[kStopped1]);
    out.send(0x99, kLate, 100, times[kLate]);
    out.send(0x99, kStopped2, 100, times[kStopped2]);
    out.withdraw(stopAt);
    out.send(0x99, kAfter, 100, times[kAfter]);
    return out.runTo(stopAt + 600 * kMs);
}

const QStringList kExpected{QStringLiteral("crash"),    QStringLiteral("panic"),
                            QStringLiteral("before-1"), QStringLiteral("before-2"),
                            QStringLiteral("late"),     QStringLiteral("after")};

// ---- the JACK output, through a receiving client

class JackOutput final : public Output {
public:
    JackOutput() : m_receiver("seq-test-stoppanic"), m_system(makeJackMidiOutSystem()) {}
    QString ready() override {
        if (!m_receiver.ok())
            return QString::fromStdString(m_receiver.error());
        std::string error;
        if (!m_system->open(m_receiver.portName(), error))
            return QString::fromStdString(error);
        return {};
    }
    int64_t now() override { return monotonicNowNs(); }
    void send(int status, int data1, int data2, int64_t dueNs) override {
        if (status == 0xB9)
            m_panicSentAt = m_receiver.frameTime();
        QVERIFY(m_system->send(ShortMessage{3, {uint8_t(status), uint8_t(data1), uint8_t(data2)}},
                               dueNs));
    }
    void withdraw(int64_t nowNs) override { m_system->withdrawAfter(nowNs); }
    bool runTo(int64_t ns) override { return m_receiver.waitForPeriodAfter(ns, 5000); }
    QStringList heard(const std::map<int, int64_t>&) override {
        QStringList got;
        for (const ReceivedEvent& e : m_receiver.events()) {
            got << labelOf(e.bytes.data(), e.size);
            // At once: in the next period processed, or the one after it at the latest.
            if (got.last() == label(-1) && e.frame > m_panicSentAt + 2 * m_receiver.bufferSize())
                got.last() = QStringLiteral("late panic");
        }
        return got;
    }
    int xruns() const { return m_receiver.xruns(); }

private:
    JackReceiver m_receiver;
    std::unique_ptr<MidiOutSystem> m_system;
    uint32_t m_panicSentAt = 0;
};

// ---- the ALSA output's sender, through a recording sink

class AlsaSenderOutput final : public Output {
public:
    AlsaSenderOutput()
        : m_sender([this](const ShortMessage& m) {
              std::lock_guard<std::mutex> lock(m_mutex);
              m_delivered << labelOf(m.bytes.data(), m.size);
              return true;
          }) {}
    QString ready() override { return {}; }
    int64_t now() override { return monotonicNowNs(); }
    void send(int status, int data1, int data2, int64_t dueNs) override {
        QVERIFY(m_sender.post(ShortMessage{3, {uint8_t(status), uint8_t(data1), uint8_t(data2)}},
                              dueNs));
    }
    void withdraw(int64_t nowNs) override { m_sender.withdrawAfter(nowNs); }
    bool runTo(int64_t ns) override {
        // A marker due at `ns`, posted last: once the sink has it, everything due by then
        // has left (the sender keeps due order).
        if (!m_sender.post(ShortMessage{3, {0x99, kMarker, 1}}, ns))
            return false;
        const int markers = ++m_markersPosted;
        return QTest::qWaitFor([&] { return markersDelivered() == markers; }, 5000);
    }
    QStringList heard(const std::map<int, int64_t>&) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        QStringList got = m_delivered;
        got.removeAll(label(kMarker));
        return got;
    }

private:
    static constexpr int kMarker = 127;
    int markersDelivered() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return int(m_delivered.count(label(kMarker)));
    }
    int m_markersPosted = 0;
    std::mutex m_mutex;
    QStringList m_delivered;
    ScheduledSender m_sender;
};

// ---- the built-in synth, rendered and listened to

class SynthOutput final : public Output {
public:
    SynthOutput() {
        FluidSynthOptions o;
        o.audioDrivers = {kOfflineAudio};
        m_synth = std::make_unique<BuiltinSynth>(o);
    }
    QString ready() override {
        std::string error;
        if (!m_synth->open(kBuiltinSynthName, error))
            return QString::fromStdString(error);
        m_startNs = monotonicNowNs();
        return {};
    }
    int64_t now() override { return timeOf(m_left.size()); }
    void send(int status, int data1, int data2, int64_t dueNs) override {
        QVERIFY(m_synth->send(ShortMessage{3, {uint8_t(status), uint8_t(data1), uint8_t(data2)}},
                              dueNs));
        if (status == 0xB9)
            m_panicFrame = m_left.size();
    }
    void withdraw(int64_t nowNs) override { m_synth->withdrawAfter(nowNs); }
    bool runTo(int64_t ns) override {
        while (timeOf(m_left.size()) < ns) {
            const std::size_t at = m_left.size();
            m_left.resize(at + kPeriod);
            m_right.resize(at + kPeriod);
            if (!m_synth->render(m_left.data() + at, m_right.data() + at, kPeriod, timeOf(at)))
                return false;
        }
        return true;
    }
    QStringList heard(const std::map<int, int64_t>& times) override {
        QStringList got;
        const std::size_t ms = std::size_t(m_synth->sampleRate() / 1000);
        // The crash starts at once and rings until the panic: loud before it, the reverb's
        // faint tail after the first period that follows it.
        if (peak(0, 50 * ms) > 0.01f)
            got << label(kCrash);
        if (m_panicFrame > 0 && peak(m_panicFrame + kPeriod, m_panicFrame + 60 * ms) <
                                    peak(m_panicFrame - 20 * ms, m_panicFrame) / 10)
            got << label(-1);
        std::vector<std::pair<int64_t, int>> byTime;
        for (const auto& [note, due] : times)
            byTime.emplace_back(due, note);
        std::sort(byTime.begin(), byTime.end());
        for (const auto& [due, note] : byTime) {
            // A hit starts near its due time: within 3 ms, well above what rang before.
            const std::size_t at = frameAt(due);
            const float before = peak(at - 12 * ms, at - 3 * ms);
            const float after = peak(at - 3 * ms, at + 12 * ms);
            if (after > 0.005f && after > 3 * before)
                got << label(note);
        }
        return got;
    }

private:
    static constexpr int kPeriod = 256;
    int64_t timeOf(std::size_t frame) const {
        return m_startNs + int64_t(std::llround(double(frame) * 1e9 / m_synth->sampleRate()));
    }
    std::size_t frameAt(int64_t ns) const {
        return std::size_t(std::llround(double(ns - m_startNs) * m_synth->sampleRate() / 1e9));
    }
    float peak(std::size_t from, std::size_t to) const { return peakOf(m_left, m_right, from, to); }

    std::unique_ptr<BuiltinSynth> m_synth;
    std::vector<float> m_left, m_right;
    int64_t m_startNs = 0;
    std::size_t m_panicFrame = 0;
};

}  // namespace

class TestStopPanic : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("JACK_NO_START_SERVER", "1"); }

    void jackOutput() {
        // A server that misses periods may lose what was written in them: such a run is
        // played again.
        for (int attempt = 0;; ++attempt) {
            QVERIFY2(attempt < 8, "the server had xruns in every attempt");
            JackOutput out;
            QCOMPARE(out.ready(), QString());
            const int xruns = out.xruns();
            std::map<int, int64_t> times;
            QVERIFY(play(out, times));
            if (out.xruns() != xruns)
                continue;
            QCOMPARE(out.heard(times), kExpected);
            break;
        }
    }

    void builtinSynth() {
        SynthOutput out;
        QCOMPARE(out.ready(), QString());
        std::map<int, int64_t> times;
        QVERIFY(play(out, times));
        QCOMPARE(out.heard(times), kExpected);
    }

    void alsaSender() {
        AlsaSenderOutput out;
        QCOMPARE(out.ready(), QString());
        std::map<int, int64_t> times;
        QVERIFY(play(out, times));
        QCOMPARE(out.heard(times), kExpected);
    }
};

QTEST_GUILESS_MAIN(TestStopPanic)
#include "tst_stoppanic.moc"
