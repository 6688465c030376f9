#include "sequencer.h"

#include <mutex>

#include "monotonicclock.h"
#include "patternbank.h"

namespace {
// Note On, channel 10: status nibble 9, channel nibble 9 (channels count from 0 on the wire).
constexpr uint8_t kNoteOnChannel10 = 0x99;
constexpr uint8_t kVelocity = 102;

std::string decimal(long v) {
    return std::to_string(v);
}

// Numeric value of a text as a leading integer, 0 when there is none ("1" -> 1, "" -> 0).
long leadingNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && value < 1000000; ++i)
        value = value * 10 + (text[i] - '0');
    return negative ? -value : value;
}

using Lock = std::lock_guard<PiMutex>;
}  // namespace

Sequencer::Sequencer(SequencerView& view, StepClock& clock, MessageOutput& output)
    : m_view(view), m_clock(clock), m_output(output) {
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

bool Sequencer::songModeOn() const {
    return leadingNumber(songModeTag) == 1;
}

void Sequencer::Form_Load(const std::function<void()>& reset_Click) {
    {
        Lock lock(m_mutex);
        CurrentStep = 0;
    }
    // The bars still stand at 0 here, so all four notes change and their labels follow.
    reset_Click();
    Lock lock(m_mutex);
    InitVoiceNotes(bank);
    SetupPending = -1;
    CurrentPattern = 0;
}

void Sequencer::onTick(const StepTick& tick) {
    bool changed = false;
    {
        Lock lock(m_mutex);
        // A tick of a run that has been stopped is not played: the stop may already have
        // withdrawn what the run handed over, and nothing may follow it.
        if (!m_clock.isCurrent(tick.run))
            return;
        changed = playStep(&tick.dueNs);
    }
    if (changed)
        m_view.stepPlayed();
}

void Sequencer::Pulsor2_Tick(int64_t dueNs) {
    bool changed = false;
    {
        Lock lock(m_mutex);
        changed = playStep(dueNs ? &dueNs : nullptr);
    }
    if (changed)
        m_view.stepPlayed();
}

bool Sequencer::playStep(const int64_t* dueNs) {
    bool changed = false;
    // 1. Counter display.
    const int32_t count = m_clock.TickCount();
    if (count > 0) {
        m_ticksToShow = count;
        changed = true;
    }

    // 2. Song mode: at the start of a bar load the bar's pattern, or end the song.
    if (songModeOn() && CurrentStep == 0) {
        // A song cannot run past the song table: bar 101 ends it like the end of the list.
        if (SongPosition < 0 || static_cast<size_t>(SongPosition) >= songList.size() ||
            SongPosition >= kSongLength) {
            m_clock.setEnabled(false);
            return changed;
        }
        const int16_t pattern = SongSteps[static_cast<size_t>(SongPosition)];
        RecallPattern(bank, grid, pattern);
        m_patternChanged = true;
        m_songStepChanged = true;
        m_songStepBar = SongPosition;
        m_songStepPattern = pattern;
        changed = true;
        ++SongPosition;
    }

    // 3. Notes, voices in order 0..3; only state 1 plays. They leave at the step's due time.
    for (int v = 0; v < kVoices; ++v) {
        if (grid.cell(CurrentStep + kSteps * v) != kOn)
            continue;
        const uint8_t noteOn[3] = {kNoteOnChannel10, static_cast<uint8_t>(grid.note(v)), kVelocity};
        m_output.send(noteOn, sizeof noteOn, dueNs ? *dueNs : 0);
    }

    // 4. Advance; a bar is exactly 16 ticks.
    CurrentStep = CurrentStep < kSteps - 1 ? static_cast<int16_t>(CurrentStep + 1) : 0;

    // The output's lead can change while it plays (a JACK server given a new period): the
    // next tick follows it.
    if (dueNs)
        applyLead();
    return changed;
}

void Sequencer::Command2_Click(const std::function<void()>& Command1_Click) {
    if (setupPending())
        Command1_Click();
    const int16_t selected = m_view.patnoValue();
    Lock lock(m_mutex);
    if (m_clock.Enabled()) {
        m_clock.setEnabled(false);
        // The coming step's notes may already be handed over, ahead of their time. Stopped
        // before that time, the step is not played: they are withdrawn.
        m_output.withdrawAfter(monotonicNowNs());
        return;
    }
    CurrentStep = 0;
    if (songModeOn()) {
        StorePattern(bank, grid, selected);
        ParseSongList(songList, SongSteps);
        SongPosition = 0;
    }
    applyLead();
    m_clock.setEnabled(true);
}

void Sequencer::HScroll1_Change() {
    m_clock.setInterval(m_view.tempoValue());
}

void Sequencer::songmode_Click() {
    bool on = false;
    {
        Lock lock(m_mutex);
        on = !songModeOn();
        songModeTag = on ? "1" : "0";
    }
    m_view.setSongModeCaption(on ? "S" : "");
}

void Sequencer::patno_Change() {
    const int16_t selected = m_view.patnoValue();
    m_view.setPatnoCaption(decimal(selected));
    {
        Lock lock(m_mutex);
        StorePattern(bank, grid, CurrentPattern);
        RecallPattern(bank, grid, selected);
        CurrentPattern = selected;
    }
    m_view.showPattern();
}

void Sequencer::VScroll1_Change(int voice) {
    int16_t note = 0;
    {
        Lock lock(m_mutex);
        note = grid.note(voice);
    }
    m_view.setVoiceCaption(voice, decimal(note));
}

void Sequencer::edit(const std::function<void(LivePattern&)>& change) {
    {
        Lock lock(m_mutex);
        change(grid);
    }
    m_view.showPattern();
}

void Sequencer::setCell(int i, int16_t state) {
    Lock lock(m_mutex);
    grid.setCell(i, state);
}

void Sequencer::setNote(int voice, int16_t note) {
    Lock lock(m_mutex);
    grid.setNote(voice, note);
}

void Sequencer::setSongList(const std::u16string& text) {
    Lock lock(m_mutex);
    songList = text;
}

LiveGrid Sequencer::pattern() const {
    Lock lock(m_mutex);
    return grid;
}

void Sequencer::catchUp() {
    int32_t ticks = 0;
    bool songStep = false, pattern = false;
    int16_t bar = 0, shownPattern = 0;
    {
        Lock lock(m_mutex);
        ticks = m_ticksToShow;
        songStep = m_songStepChanged;
        pattern = m_patternChanged;
        bar = m_songStepBar;
        shownPattern = m_songStepPattern;
        m_ticksToShow = 0;
        m_songStepChanged = m_patternChanged = false;
    }
    if (ticks > 0)
        m_view.setTicksText(decimal(ticks));
    if (songStep)
        m_view.setSongStepCaption(decimal(bar) + ":" + decimal(shownPattern));
    if (pattern)
        m_view.showPattern();
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
    applyLead();
}
