#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "livegrid.h"
#include "messageoutput.h"
#include "pattern.h"
#include "pimutex.h"
#include "stepclock.h"

/// What the sequencer is at one moment, as the user hears it and the window shows it.
struct SequencerSnapshot {
    /// The live pattern: the grid and the voice notes.
    LiveGrid pattern;
    /// Changes whenever the live pattern changes (an edit, a pattern switch, a song bar).
    uint64_t patternVersion = 0;
    /// The timer's count at the last step played; 0 until the timer has counted a step.
    int32_t tickCount = 0;
    /// The last song bar started: its index in the song and the pattern it plays. Valid
    /// once songBarsStarted is above 0.
    int16_t songBar = 0;
    int16_t songBarPattern = 0;
    uint64_t songBarsStarted = 0;
    bool playing = false;
    /// When the next step is due, by which the above may change; 0 when none is coming.
    int64_t nextStepDueNs = 0;
    bool songMode = false;
    int16_t currentStep = 0;
    int16_t songPosition = 0;
    int16_t currentPattern = 0;
};

/// The sequencer: the live pattern, the pattern bank, the song and the transport in one
/// model, and the step engine that plays it.
///
/// Engine time and the user's time. The step engine runs on the step clock's own thread
/// and plays each step one lead ahead of its due time: it decides the step (a song bar's
/// pattern, the end of a song, the notes) and hands the notes to the output with their due
/// time. What the step changes (the step and song position, the pattern a song bar loads,
/// the end of the song, the tick count) is kept aside with that due time and becomes the
/// model's state only once the due time has passed: every reader (the window, a click, a
/// stop) first takes in the steps that are due by then. So a stop at time t leaves exactly
/// the state of a sequencer that played every step due by t and none after; the notes of
/// later steps are withdrawn from the output.
///
/// Edits. Each operation below is taken whole, under one short lock (with priority
/// inheritance) that the engine also holds while it plays one step: a step hears an edit
/// whole or not at all, and an edit made more than the lead before a step is heard at that
/// step. The lock is never held around file or device I/O.
///
/// Threads: every operation may be called from any thread but the clock's; the engine
/// plays on the clock's thread.
class Sequencer final : private TickHandler {
public:
    /// `clockOutput`, when given, gets MIDI clock: Start at the first step of a run, six
    /// clocks spread over each step (a step is a sixteenth note: 24 clocks a quarter note),
    /// Stop at a stop and at the end of a song. It is told nothing while stopped.
    Sequencer(StepClock& clock, MessageOutput& output, MessageOutput* clockOutput = nullptr);
    ~Sequencer() override;
    Sequencer(const Sequencer&) = delete;
    Sequencer& operator=(const Sequencer&) = delete;

    /// Gives patterns 0..63 of the bank the default voice notes.
    void initVoiceNotes();

    /// Starts playback from step 0 (in song mode storing the live pattern into the selected
    /// pattern and reading the song list anew), or stops it. A stop withdraws the notes
    /// handed over for steps not yet due. Returns whether it is playing now.
    bool startOrStop();
    bool playing();
    /// The length of a step, in the timer's unit (ms); a larger value is slower.
    void setTempo(int interval);
    /// Switches the live pattern to pattern `n` (0..63), keeping it in the one it leaves.
    void selectPattern(int16_t n);
    /// Switches song mode on or off; returns whether it is on now. Playing picks the new
    /// mode up at the next bar.
    bool toggleSongMode();
    bool songMode();
    /// The song list, one pattern digit per bar; read at the start of playback and, for its
    /// length, at every bar.
    void setSongList(const std::u16string& text);

    /// Runs `change` on the live pattern, whole.
    void edit(const std::function<void(LivePattern&)>& change);
    /// Turns a cell on, or off when it is on; returns its new state.
    int16_t toggleCell(int i);
    /// Sets a voice's note (0..127).
    void setNote(int voice, int16_t note);

    /// The live pattern now, whole.
    LiveGrid pattern();
    /// Everything the window shows, as it is now.
    SequencerSnapshot snapshot();
    /// Pattern `n` (0..64) of the bank.
    Pattern storedPattern(int16_t n);
    /// The song table as last read from the song list.
    SongStepTable songSteps();

    /// The output was opened or closed: the steps are played its lead ahead from now on.
    void outputChanged();
    /// Stops the clock and waits for a step being played to end; no step is played after.
    void detach();

    /// How long before its due time a step is played for an output of `outputLeadNs`: the
    /// output's lead and kEngineCover for the engine's own wake-up and work. An output that
    /// sends at once gets its messages at their due time.
    static std::chrono::nanoseconds leadFor(int64_t outputLeadNs);
    /// The engine wakes on a real-time thread and plays a step in a few microseconds; a
    /// millisecond leaves room for a wake-up that comes late on a loaded machine.
    static constexpr std::chrono::nanoseconds kEngineCover = std::chrono::milliseconds(1);
    /// MIDI clock per step, and the shortest step it is sent at: at 6 bytes a step, shorter
    /// steps would need more than a MIDI cable carries (3,125 bytes a second).
    static constexpr int kClocksPerStep = 6;
    static constexpr int64_t kShortestClockedStepNs = 2'000'000;

private:
    /// What one step played ahead changes once it is due.
    struct StepEffect {
        int64_t dueNs = 0;
        int32_t tickCount = 0;
        int16_t stepAfter = 0;
        int16_t songPositionAfter = 0;
        bool endsSong = false;
        bool startsBar = false;
        int16_t bar = 0;
        int16_t barPattern = 0;
        /// The pattern the bar loads, as it was played.
        LiveGrid barGrid;
    };
    /// Steps played ahead and not yet due: at most a lead's worth. Should a lead ever span
    /// more steps than this, the oldest is taken in early.
    static constexpr size_t kMaxAhead = 512;

    void onTick(const StepTick& tick) override;
    /// Hands the step's MIDI clock to the clock output.
    void clockStep(const StepTick& tick, bool endsSong);
    /// Takes in the steps due by `nowNs`. Needs the lock.
    void settle(int64_t nowNs);
    void apply(const StepEffect& e);
    /// Drops the steps played ahead: the engine goes on from the state as heard.
    void dropAhead();
    /// The live pattern the next step plays: the last bar loaded ahead, or the model's.
    const LiveGrid& gridAhead() const;
    void applyLead();

    StepClock& m_clock;
    MessageOutput& m_output;
    MessageOutput* m_clockOutput = nullptr;
    // Start has gone to the clock output for this run.
    bool m_clockStarted = false;
    mutable PiMutex m_mutex;
    bool m_attached = false;

    // The model, as heard; under m_mutex.
    LiveGrid m_grid;
    PatternBank m_bank{};
    SongStepTable m_songSteps{};
    std::u16string m_songList;
    bool m_songMode = false;
    bool m_playing = false;
    int16_t m_currentStep = 0;
    int16_t m_songPosition = 0;
    int16_t m_currentPattern = 0;
    uint64_t m_patternVersion = 0;
    int32_t m_tickCount = 0;
    int16_t m_songBar = 0;
    int16_t m_songBarPattern = 0;
    uint64_t m_songBarsStarted = 0;

    // The engine's side: where it has played to, and what the steps played ahead change.
    int16_t m_stepAhead = 0;
    int16_t m_songPositionAhead = 0;
    std::array<StepEffect, kMaxAhead> m_ahead{};
    size_t m_aheadFirst = 0;
    size_t m_aheadCount = 0;
    // How many of the steps ahead start a song bar, and the slot of the last of them.
    size_t m_barsAhead = 0;
    size_t m_lastBarSlot = 0;
};
