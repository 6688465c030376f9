#include "sequencer.h"

#include <mutex>

#include "patternbank.h"

namespace {
// Note On, channel 10: status nibble 9, channel nibble 9 (channels count from 0 on the wire).
constexpr uint8_t kNoteOnChannel10 = 0x99;
constexpr uint8_t kVelocity = 102;
// MIDI real-time messages.
constexpr uint8_t kTimingClock = 0xF8;
constexpr uint8_t kStart = 0xFA;
constexpr uint8_t kStop = 0xFC;

using Lock = std::lock_guard<PiMutex>;
}  // namespace

Sequencer::Sequencer(StepClock& clock, MessageOutput& output, MessageOutput* clockOutput)
    : m_clock(clock), m_output(output), m_clockOutput(clockOutput) {
    m_clock.setTickHandler(this);
    m_attached = true;
}

Sequencer::~Sequencer() {
    detach();
}

void Sequencer::detach() {
    if (!m_attached)
        return;
    m_attached = false;
    m_clock.setEnabled(false);
    m_clock.setTickHandler(nullptr);
}

void Sequencer::initVoiceNotes() {
    Lock lock(m_mutex);
    InitVoiceNotes(m_bank);
}

// ---------------------------------------------------------------- the engine

void Sequencer::onTick(const StepTick& tick) {
    Lock lock(m_mutex);
    // A tick of a run that has been stopped is not played: the stop may already have
    // withdrawn what the run handed over, and nothing may follow it. Nor is it counted.
    if (!m_clock.isCurrent(tick.run)) {
        m_clock.takeBack(1);
        return;
    }
    settle(m_clock.nowNs());
    if (m_aheadCount == kMaxAhead) {
        apply(m_ahead[m_aheadFirst]);
        m_aheadFirst = (m_aheadFirst + 1) % kMaxAhead;
        --m_aheadCount;
    }
    const size_t slot = (m_aheadFirst + m_aheadCount) % kMaxAhead;
    StepEffect& e = m_ahead[slot];
    e.dueNs = tick.dueNs;
    e.tickCount = m_clock.TickCount();
    e.endsSong = false;
    e.startsBar = false;
    ++m_aheadCount;

    int16_t step = m_stepAhead;
    int16_t position = m_songPositionAhead;
    // Song mode: at the start of a bar load the bar's pattern, or end the song.
    if (m_songMode && step == 0) {
        // A song cannot run past the song table: bar 101 ends it like the end of the list.
        if (position < 0 || static_cast<size_t>(position) >= m_songList.size() ||
            position >= kSongLength) {
            e.endsSong = true;
            e.stepAfter = step;
            e.songPositionAfter = position;
            clockStep(tick, true);
            m_clock.setEnabled(false);
            return;
        }
        e.startsBar = true;
        e.bar = position;
        e.barPattern = m_songSteps[static_cast<size_t>(position)];
        RecallPattern(m_bank, e.barGrid, e.barPattern);
        ++m_barsAhead;
        m_lastBarSlot = slot;
        ++position;
    }

    clockStep(tick, false);

    // Notes, voices in order 0..3; only state 1 plays. They leave at the step's due time.
    const LiveGrid& grid = gridAhead();
    for (int v = 0; v < kVoices; ++v) {
        if (grid.cell(step + kSteps * v) != kOn)
            continue;
        const uint8_t noteOn[3] = {kNoteOnChannel10, static_cast<uint8_t>(grid.note(v)), kVelocity};
        m_output.send(noteOn, sizeof noteOn, tick.dueNs);
    }

    // Advance; a bar is exactly 16 steps.
    step = step < kSteps - 1 ? static_cast<int16_t>(step + 1) : int16_t(0);
    e.stepAfter = m_stepAhead = step;
    e.songPositionAfter = m_songPositionAhead = position;

    // The output's lead can change while it plays (a JACK server given a new period): the
    // next step follows it.
    applyLead();
}

void Sequencer::clockStep(const StepTick& tick, bool endsSong) {
    if (!m_clockOutput)
        return;
    // A step's clocks fill the time until the next step. When that comes sooner than the
    // last step's period (the tempo bar moved to a faster tempo), the last step's clocks
    // still waiting from its due time on are dropped: the follower counts on from here.
    m_clockOutput->withdrawAfter(tick.dueNs - 1);
    if (endsSong) {
        // A song that ends at its first bar (an empty song list) never started the follower.
        const uint8_t stop = kStop;
        if (m_clockStarted)
            m_clockOutput->send(&stop, 1, tick.dueNs);
        return;
    }
    if (!m_clockStarted) {
        const uint8_t start = kStart;
        m_clockOutput->send(&start, 1, tick.dueNs);
        m_clockStarted = true;
    }
    if (tick.periodNs < kShortestClockedStepNs)
        return;
    const uint8_t clock = kTimingClock;
    for (int i = 0; i < kClocksPerStep; ++i)
        m_clockOutput->send(&clock, 1, tick.dueNs + tick.periodNs * i / kClocksPerStep);
}

const LiveGrid& Sequencer::gridAhead() const {
    return m_barsAhead > 0 ? m_ahead[m_lastBarSlot].barGrid : m_grid;
}

void Sequencer::settle(int64_t nowNs) {
    while (m_aheadCount > 0 && m_ahead[m_aheadFirst].dueNs <= nowNs) {
        apply(m_ahead[m_aheadFirst]);
        m_aheadFirst = (m_aheadFirst + 1) % kMaxAhead;
        --m_aheadCount;
    }
}

void Sequencer::apply(const StepEffect& e) {
    if (e.tickCount > 0)
        m_tickCount = e.tickCount;
    m_currentStep = e.stepAfter;
    m_songPosition = e.songPositionAfter;
    if (e.startsBar) {
        m_grid.cells = e.barGrid.cells;
        m_grid.notes = e.barGrid.notes;
        ++m_patternVersion;
        m_songBar = e.bar;
        m_songBarPattern = e.barPattern;
        ++m_songBarsStarted;
        --m_barsAhead;
    }
    if (e.endsSong)
        m_playing = false;
}

void Sequencer::dropAhead() {
    m_clock.takeBack(static_cast<int32_t>(m_aheadCount));
    m_aheadCount = 0;
    m_barsAhead = 0;
    m_stepAhead = m_currentStep;
    m_songPositionAhead = m_songPosition;
}

std::chrono::nanoseconds Sequencer::leadFor(int64_t outputLeadNs) {
    // Raised early for an output that sends at once, a step would sound early.
    if (outputLeadNs <= 0)
        return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(outputLeadNs) + kEngineCover;
}

void Sequencer::applyLead() {
    const std::chrono::nanoseconds lead = leadFor(m_output.leadNs());
    if (lead != m_clock.leadTime())
        m_clock.setLeadTime(lead);
}

void Sequencer::outputChanged() {
    Lock lock(m_mutex);
    applyLead();
}

// ---------------------------------------------------------------- the user's operations

bool Sequencer::startOrStop() {
    Lock lock(m_mutex);
    const int64_t now = m_clock.nowNs();
    settle(now);
    if (m_playing) {
        m_clock.setEnabled(false);
        m_playing = false;
        dropAhead();
        // The steps played ahead of their time are not heard: their notes are withdrawn, and
        // their clocks, and the follower is told to stop now.
        m_output.withdrawAfter(now);
        if (m_clockOutput) {
            m_clockOutput->withdrawAfter(now);
            // Due now, not "at once": after any clock due by now that has yet to leave.
            const uint8_t stop = kStop;
            m_clockOutput->send(&stop, 1, now);
        }
        return false;
    }
    m_currentStep = 0;
    if (m_songMode) {
        StorePattern(m_bank, m_grid, m_currentPattern);
        ParseSongList(m_songList, m_songSteps);
        m_songPosition = 0;
    }
    dropAhead();
    m_playing = true;
    m_clockStarted = false;
    applyLead();
    m_clock.setEnabled(true);
    return true;
}

bool Sequencer::playing() {
    Lock lock(m_mutex);
    settle(m_clock.nowNs());
    return m_playing;
}

void Sequencer::setTempo(int interval) {
    m_clock.setInterval(interval);
}

void Sequencer::selectPattern(int16_t n) {
    Lock lock(m_mutex);
    settle(m_clock.nowNs());
    StorePattern(m_bank, m_grid, m_currentPattern);
    RecallPattern(m_bank, m_grid, n);
    m_currentPattern = n;
    ++m_patternVersion;
}

bool Sequencer::toggleSongMode() {
    Lock lock(m_mutex);
    m_songMode = !m_songMode;
    return m_songMode;
}

bool Sequencer::songMode() {
    Lock lock(m_mutex);
    return m_songMode;
}

void Sequencer::setSongList(const std::u16string& text) {
    Lock lock(m_mutex);
    m_songList = text;
}

void Sequencer::edit(const std::function<void(LivePattern&)>& change) {
    Lock lock(m_mutex);
    settle(m_clock.nowNs());
    change(m_grid);
    ++m_patternVersion;
}

int16_t Sequencer::toggleCell(int i) {
    Lock lock(m_mutex);
    settle(m_clock.nowNs());
    // A click only ever turns a cell on or off; a dimmed cell goes on.
    m_grid.setCell(i, m_grid.cell(i) == kOn ? kOff : kOn);
    ++m_patternVersion;
    return m_grid.cell(i);
}

void Sequencer::setNote(int voice, int16_t note) {
    Lock lock(m_mutex);
    settle(m_clock.nowNs());
    m_grid.setNote(voice, note);
    ++m_patternVersion;
}

LiveGrid Sequencer::pattern() {
    Lock lock(m_mutex);
    settle(m_clock.nowNs());
    return m_grid;
}

SequencerSnapshot Sequencer::snapshot() {
    Lock lock(m_mutex);
    settle(m_clock.nowNs());
    SequencerSnapshot s;
    s.pattern.cells = m_grid.cells;
    s.pattern.notes = m_grid.notes;
    s.patternVersion = m_patternVersion;
    s.tickCount = m_tickCount;
    s.songBar = m_songBar;
    s.songBarPattern = m_songBarPattern;
    s.songBarsStarted = m_songBarsStarted;
    s.playing = m_playing;
    s.nextStepDueNs = m_aheadCount > 0 ? m_ahead[m_aheadFirst].dueNs : m_clock.nextDueNs();
    s.songMode = m_songMode;
    s.currentStep = m_currentStep;
    s.songPosition = m_songPosition;
    s.currentPattern = m_currentPattern;
    return s;
}

Pattern Sequencer::storedPattern(int16_t n) {
    Lock lock(m_mutex);
    return m_bank[static_cast<size_t>(n)];
}

SongStepTable Sequencer::songSteps() {
    Lock lock(m_mutex);
    return m_songSteps;
}
