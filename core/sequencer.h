#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "livegrid.h"
#include "messageoutput.h"
#include "pattern.h"
#include "pimutex.h"
#include "stepclock.h"

/// What the main window shows of the sequencer, and the controls the handlers read. The
/// window implements it over its widgets; tests over plain fields.
///
/// Every call but stepPlayed() comes on the UI thread, never with the sequencer's lock
/// held, so an implementation may read the sequencer (which takes the lock).
class SequencerView {
public:
    virtual ~SequencerView() = default;
    /// Caption of the `songmode` button.
    virtual void setSongModeCaption(const std::string& caption) = 0;
    /// Value of the pattern selector `patno`, and the caption of `labelpatno`.
    virtual int16_t patnoValue() const = 0;
    virtual void setPatnoCaption(const std::string& caption) = 0;
    /// Caption of the voice label `Label1(voice)`.
    virtual void setVoiceCaption(int voice, const std::string& caption) = 0;
    /// Value of the tempo bar `HScroll1`.
    virtual int16_t tempoValue() const = 0;
    /// Text of the `ticks` box.
    virtual void setTicksText(const std::string& text) = 0;
    /// Caption of `labelsongstep`.
    virtual void setSongStepCaption(const std::string& caption) = 0;
    /// Shows the live grid and voice notes as they are now (after an edit, a pattern
    /// recalled, a song bar). A voice bar that takes a new value raises its change event,
    /// so its label follows.
    virtual void showPattern() = 0;
    /// Called on the engine's thread after a step changed something the window shows: the
    /// view arranges for catchUp() to run on the UI thread soon. It must return at once,
    /// touching no widget.
    virtual void stepPlayed() = 0;
};

/// The sequencer: the live pattern, the bank, the song and the sequencer state in one
/// model, the step engine that plays it, and the handlers that start and stop it, select
/// patterns and follow the voice notes.
///
/// Threads. The step engine runs on the step clock's own thread, never on the UI thread,
/// so a UI thread held up by a dialog or a slow disk moves no note. Everything the engine
/// reads or writes is guarded by one lock (mutex()), held only
///  - by the engine while it plays one step: it reads the grid, recalls a song bar's
///    pattern, hands the step's notes to the output's queue (no device I/O) and advances;
///  - by the UI thread while it writes one edit into the model (a click, a bar, a whole
///    preset, a loaded file, a pattern switch) or reads a copy of it;
/// never around file or device I/O, never while a widget is touched, and never by a JACK
/// or audio thread. So a step sees each edit whole or not at all: the 21 cells of the rock
/// preset, both halves of a pattern switch, all 64 cells of a loaded file.
/// What the engine changes (a song bar's pattern, the tick count, the song position, the
/// timer switched off at the end of a song) reaches the window by catchUp(), which the view
/// has run on the UI thread after stepPlayed().
///
/// Fields that only the UI thread uses (SetupPending, CurrentPattern, the file names) need
/// no lock; the others are read or written under mutex() while the clock runs.
class Sequencer final : private TickHandler {
public:
    Sequencer(SequencerView& view, StepClock& clock, MessageOutput& output);
    ~Sequencer() override;
    Sequencer(const Sequencer&) = delete;
    Sequencer& operator=(const Sequencer&) = delete;

    // The model.
    LiveGrid grid;
    PatternBank bank{};
    SongStepTable SongSteps{};
    /// The `Tag` of the `songmode` button: "1" while song mode is on.
    std::string songModeTag = "0";
    /// The text of the `songlist` box; the engine reads its length at each bar.
    std::u16string songList;
    // State fields. SetupPending is a 16-bit flag: only -1 is true.
    int16_t SetupPending = 0;
    int16_t CurrentStep = 0;
    int16_t SongPosition = 0;
    int16_t CurrentPattern = 0;
    std::string SaveFileName;
    std::string LoadFileName;

    /// The lock of the model (see the class comment).
    PiMutex& mutex() const { return m_mutex; }

    // Handlers, on the UI thread.
    /// Start-up: CurrentStep 0, the reset command, the bank's voice notes, SetupPending,
    /// CurrentPattern 0. The window centres itself afterwards.
    void Form_Load(const std::function<void()>& reset_Click);
    /// Start/stop; `Command1_Click` is the open command, run first while setup is pending.
    /// A stop withdraws the notes handed over for steps not yet due.
    void Command2_Click(const std::function<void()>& Command1_Click);
    void HScroll1_Change();
    void songmode_Click();
    void patno_Change();
    /// Shows the voice's note in its label.
    void VScroll1_Change(int voice);

    /// Plays one step on the calling thread, its messages due at `dueNs` (0: at once). The
    /// clock's ticks play theirs on its thread, each handed to the output with the tick's
    /// due time.
    void Pulsor2_Tick(int64_t dueNs = 0);

    // Edits from the window, each taken whole under the lock.
    /// Runs `change` on the live pattern, then shows it.
    void edit(const std::function<void(LivePattern&)>& change);
    /// A cell the user clicked (its check box shows it already).
    void setCell(int i, int16_t state);
    /// A note the user set with the voice's bar.
    void setNote(int voice, int16_t note);
    /// The song list as the user typed it.
    void setSongList(const std::u16string& text);
    /// A copy of the live pattern, taken whole.
    LiveGrid pattern() const;

    /// On the UI thread: shows what the engine changed since the last call.
    void catchUp();
    /// The output was opened or closed: ticks are raised its lead ahead from now on.
    void outputChanged();
    /// Stops the clock and waits for a step being played to end; no step is played after.
    /// For the window's end, before the view goes.
    void detach();

    /// How long before its due time a step is played for an output of `outputLeadNs`: the
    /// output's lead and kEngineCover for the engine's own wake-up and work. An output that
    /// sends at once gets its messages at their due time.
    static std::chrono::nanoseconds leadFor(int64_t outputLeadNs);
    /// The engine wakes on a real-time thread and plays a step in a few microseconds; a
    /// millisecond leaves room for a wake-up that comes late on a loaded machine. An edit
    /// made more than the output's lead and this before a step is heard at that step.
    static constexpr std::chrono::nanoseconds kEngineCover = std::chrono::milliseconds(1);

    bool songModeOn() const;
    bool setupPending() const { return SetupPending == -1; }

private:
    void onTick(const StepTick& tick) override;
    /// One step; needs the lock. With a due time, the step's messages carry it and the
    /// clock's lead follows the output's. Returns whether something shown changed.
    bool playStep(const int64_t* dueNs);
    void applyLead();

    SequencerView& m_view;
    StepClock& m_clock;
    MessageOutput& m_output;
    mutable PiMutex m_mutex;
    bool m_attached = false;

    // What the engine changed that the window has not shown yet; under m_mutex.
    bool m_patternChanged = false;
    int32_t m_ticksToShow = 0;
    bool m_songStepChanged = false;
    int16_t m_songStepBar = 0;
    int16_t m_songStepPattern = 0;
};
