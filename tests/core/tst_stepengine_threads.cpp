// The step engine on the timer's own thread, at 1 ms steps, while another thread edits the
// live pattern as fast as it can: whole grids, presets, random fills, pattern switches,
// starts and stops. Every step's notes must be the notes of one whole grid that existed:
// no step may see half an edit. Built twice: as it is, and under ThreadSanitizer, which
// also checks that every access the two threads share is ordered by the lock.

#include <QTest>

#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "core/monotonicclock.h"
#include "core/pattern.h"
#include "core/pulsor.h"
#include "core/sequencer.h"
#include "editing/editing.h"

namespace {

using Grid = LiveGrid;

// The grids the editor writes, each with notes of its own so that a mix of two shows.
std::vector<Grid> family() {
    std::vector<Grid> grids;
    Grid start;  // what the program starts with: an empty grid, the default notes
    for (int v = 0; v < kVoices; ++v)
        start.notes[size_t(v)] = kDefaultNotes[size_t(v)];
    grids.push_back(start);
    for (int k = 1; k <= 6; ++k) {
        Grid g;
        randomFill(g, uint64_t(k) * 7919u);
        for (int v = 0; v < kVoices; ++v)
            g.notes[size_t(v)] = int16_t(10 * k + v);
        grids.push_back(g);
    }
    Grid rock;
    rockPreset(rock);
    for (int v = 0; v < kVoices; ++v)
        rock.notes[size_t(v)] = int16_t(100 + v);
    grids.push_back(rock);
    Grid full;
    for (auto& c : full.cells)
        c = kOn;
    for (int v = 0; v < kVoices; ++v)
        full.notes[size_t(v)] = int16_t(120 + v);
    grids.push_back(full);
    return grids;
}

// The notes a grid plays at a step, in voice order.
std::vector<int> notesOf(const Grid& g, int step) {
    std::vector<int> out;
    for (int v = 0; v < kVoices; ++v)
        if (g.cell(cellIndex(v, step)) == kOn)
            out.push_back(g.note(v));
    return out;
}

struct Step {
    int step = 0;
    int64_t dueNs = 0;
    std::vector<int> notes;
    bool wellFormed = true;  // every message was Note On, channel 10, velocity 102
};

// The timer, with the step each tick plays: the n-th tick of a run plays step n mod 16 (a
// run starts at step 0, and a song ends its run at a bar start).
class StepCountingClock final : public StepClock, private TickHandler {
public:
    explicit StepCountingClock(Pulsor& timer) : m_timer(timer) {}
    ~StepCountingClock() override { m_timer.setTickHandler(nullptr); }
    bool Enabled() const override { return m_timer.Enabled(); }
    void setEnabled(bool enabled) override { m_timer.setEnabled(enabled); }
    int Interval() const override { return m_timer.Interval(); }
    void setInterval(int ms) override { m_timer.setInterval(ms); }
    int32_t TickCount() const override { return m_timer.TickCount(); }
    void takeBack(int32_t ticks) override { m_timer.takeBack(ticks); }
    void setLeadTime(std::chrono::nanoseconds lead) override { m_timer.setLeadTime(lead); }
    std::chrono::nanoseconds leadTime() const override { return m_timer.leadTime(); }
    bool isCurrent(uint64_t run) const override { return m_timer.isCurrent(run); }
    void setTickHandler(TickHandler* handler) override {
        m_handler = handler;
        m_timer.setTickHandler(handler ? this : nullptr);
    }
    int64_t nowNs() const override { return m_timer.nowNs(); }
    int64_t nextDueNs() const override { return m_timer.nextDueNs(); }
    /// The step of the tick being handled; on the timer's thread.
    int16_t step = 0;

private:
    void onTick(const StepTick& tick) override {
        m_ticksOfRun = tick.run == m_run ? m_ticksOfRun + 1 : 0;
        m_run = tick.run;
        step = int16_t(m_ticksOfRun % kSteps);
        m_handler->onTick(tick);
    }
    Pulsor& m_timer;
    TickHandler* m_handler = nullptr;
    uint64_t m_run = ~uint64_t(0);
    long m_ticksOfRun = 0;
};

// An output that groups what the engine sends into steps by their due times.
class StepRecorder final : public MessageOutput {
public:
    const StepCountingClock* clock = nullptr;
    void send(const uint8_t* bytes, std::size_t size, int64_t dueNs) override {
        if (dueNs == 0)
            return;
        if (steps.empty() || steps.back().dueNs != dueNs)
            steps.push_back({clock->step, dueNs, {}, true});
        steps.back().notes.push_back(bytes[1]);
        if (size != 3 || bytes[0] != 0x99 || bytes[2] != 102)
            steps.back().wellFormed = false;
    }
    void withdrawAfter(int64_t) override { ++withdrawals; }
    int64_t leadNs() const override { return 0; }

    std::vector<Step> steps;  // read once the engine has stopped
    int withdrawals = 0;
};
}  // namespace

class TestStepEngineThreads : public QObject {
    Q_OBJECT
private slots:
    void everyStepPlaysOneWholeGridWhileAnotherThreadEdits() {
        const std::vector<Grid> grids = family();
        StepRecorder out;
        Pulsor timer;
        StepCountingClock clock(timer);
        out.clock = &clock;
        Sequencer seq(clock, out);
        seq.initVoiceNotes();
        seq.edit(resetVoiceNotes);
        seq.setTempo(0);  // 1 ms steps
        // Song mode over patterns 0..3, so the engine recalls patterns at bar starts too.
        seq.toggleSongMode();
        std::u16string song;
        while (song.size() < 100)
            song += u"0123";
        seq.setSongList(song);
        QVERIFY(seq.startOrStop());

        std::atomic<bool> stop{false};
        std::atomic<long> edits{0};
        std::thread editor([&] {
            uint64_t k = 0;
            int64_t lastRestart = monotonicNowNs();
            while (!stop) {
                const Grid& g = grids[k % grids.size()];
                switch (k % 7) {
                    case 0:
                    case 1:
                        // A whole grid and its notes, as a loaded file and a bar would give.
                        seq.edit([&g](LivePattern& live) {
                            for (int i = 0; i < kCells; ++i)
                                live.setCell(i, g.cells[size_t(i)]);
                            for (int v = 0; v < kVoices; ++v)
                                live.setNote(v, g.notes[size_t(v)]);
                        });
                        break;
                    case 2:
                        // A pattern switch: the grid stored, another recalled.
                        seq.selectPattern(int16_t(k % 4));
                        break;
                    case 3:
                        // The rock preset over a grid that had the rock notes: clear, then
                        // 21 cells, in one edit.
                        seq.edit([&grids](LivePattern& live) {
                            const Grid& rock = grids[7];
                            for (int v = 0; v < kVoices; ++v)
                                live.setNote(v, rock.notes[size_t(v)]);
                            rockPreset(live);
                        });
                        break;
                    case 4: {
                        const Grid& r = grids[1 + k % 6];
                        const uint64_t seed = uint64_t(1 + k % 6) * 7919u;
                        seq.edit([&r, seed](LivePattern& live) {
                            randomFill(live, seed);
                            for (int v = 0; v < kVoices; ++v)
                                live.setNote(v, r.notes[size_t(v)]);
                        });
                        break;
                    }
                    case 5:
                        // Now and then a stop, and a start again from step 0.
                        if (monotonicNowNs() - lastRestart > 100'000'000) {
                            seq.startOrStop();
                            seq.startOrStop();
                            lastRestart = monotonicNowNs();
                        }
                        break;
                    default:
                        // The tempo bar: 0 and 1 both give 1 ms steps.
                        seq.setTempo(int(k % 2));
                        break;
                }
                ++k;
                ++edits;
            }
        });
        // A song of 100 bars lasts 1.6 s, and the editor starts it again now and then.
        const int64_t until = monotonicNowNs() + 1'500'000'000;
        while (monotonicNowNs() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stop = true;
        editor.join();
        seq.detach();

        // The random fills the editor made came from seeds 1..6, as in the family, so every
        // state the live grid was in is a member of the family.
        QVERIFY2(out.steps.size() >= 200, qPrintable(QString::number(out.steps.size())));
        QVERIFY(out.withdrawals >= 5);
        QVERIFY2(edits > 1000, qPrintable(QString::number(edits.load())));
        int mixed = 0;
        QString firstMixed;
        for (const Step& s : out.steps) {
            QVERIFY(s.wellFormed);
            bool whole = false;
            for (const Grid& g : grids)
                whole = whole || notesOf(g, s.step) == s.notes;
            if (!whole && ++mixed == 1) {
                QStringList n;
                for (int x : s.notes)
                    n << QString::number(x);
                firstMixed =
                    QStringLiteral("step %1: %2").arg(s.step).arg(n.join(QLatin1Char(' ')));
            }
        }
        QVERIFY2(mixed == 0, qPrintable(QStringLiteral("%1 of %2 steps mixed grids; first %3")
                                            .arg(mixed)
                                            .arg(out.steps.size())
                                            .arg(firstMixed)));
    }
};

QTEST_GUILESS_MAIN(TestStepEngineThreads)
#include "tst_stepengine_threads.moc"
