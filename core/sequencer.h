#pragma once

#include <functional>
#include <string>

#include "livepattern.h"
#include "pattern.h"

class Pulsor;
class MIDIOutput;

/// The main window's controls that the sequencer handlers read and write, besides the live
/// pattern. The window implements it over its widgets; tests over plain fields.
class SequencerControls : public LivePattern {
public:
    /// Text of the `ticks` box.
    virtual void setTicksText(const std::string& text) = 0;
    /// Tag and caption of the `songmode` button; the tag is "1" when song mode is on.
    virtual std::string songModeTag() const = 0;
    virtual void setSongModeTag(const std::string& tag) = 0;
    virtual void setSongModeCaption(const std::string& caption) = 0;
    /// Text of the `songlist` box.
    virtual std::u16string songListText() const = 0;
    /// Caption of `labelsongstep`.
    virtual void setSongStepCaption(const std::string& caption) = 0;
    /// Value of the pattern selector `patno`, and the caption of `labelpatno`.
    virtual int16_t patnoValue() const = 0;
    virtual void setPatnoCaption(const std::string& caption) = 0;
    /// Caption of the voice label `Label1(voice)`.
    virtual void setVoiceCaption(int voice, const std::string& caption) = 0;
    /// Value of the tempo bar `HScroll1`.
    virtual int16_t tempoValue() const = 0;
};

/// The sequencer state the main window owns, and the handlers that play, start and stop,
/// select patterns and follow the voice notes. Every method runs on the UI thread.
class Sequencer {
public:
    Sequencer(SequencerControls& controls, Pulsor& timer, MIDIOutput& output);

    // State fields of the main window. SetupPending is a 16-bit flag: only -1 is true.
    int16_t SetupPending = 0;
    int16_t CurrentStep = 0;
    int16_t SongPosition = 0;
    int16_t CurrentPattern = 0;
    std::string SaveFileName;
    std::string LoadFileName;
    SongStepTable SongSteps{};
    PatternBank bank{};

    /// Start-up: CurrentStep 0, the reset command, the bank's voice notes, SetupPending,
    /// CurrentPattern 0. The window centres itself afterwards.
    void Form_Load(const std::function<void()>& reset_Click);
    /// One step of playback.
    void Pulsor2_Tick();
    /// Start/stop; `Command1_Click` is the open command, run first while setup is pending.
    void Command2_Click(const std::function<void()>& Command1_Click);
    void HScroll1_Change();
    void songmode_Click();
    void patno_Change();
    void VScroll1_Change(int voice);

    bool songModeOn() const;
    bool setupPending() const { return SetupPending == -1; }

private:
    SequencerControls& m_controls;
    Pulsor& m_timer;
    MIDIOutput& m_output;
};
