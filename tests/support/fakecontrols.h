#pragma once

// The main window's controls as plain fields, for driving the sequencer without a display.
// Alone it is a plain live pattern (cells and notes). As a sequencer's view its cells and
// notes are what the window's check boxes and voice bars would show: showPattern() copies
// the model into them, and like the real bars a note that changes raises its change event.

#include <array>
#include <functional>
#include <mutex>
#include <string>

#include "core/sequencer.h"

class FakeControls : public LivePattern, public SequencerView {
public:
    std::array<int16_t, 64> cells{};
    std::array<int16_t, 4> notes{};
    std::array<std::string, 4> voiceCaptions;
    std::string ticksText, songModeCaptionText, songStepCaption;
    std::string patnoCaption = "0";
    int16_t patno = 0;
    int16_t tempo = 100;
    int noteChangeEvents = 0;
    /// Raised when a voice bar changes value (wired to Sequencer::VScroll1_Change).
    std::function<void(int)> onNoteChanged;
    /// The sequencer this view shows; set it to show the model and catch up at each step.
    Sequencer* sequencer = nullptr;
    /// How many times a step asked for a catch-up.
    int stepsPlayed = 0;

    int16_t cell(int i) const override { return cells[static_cast<size_t>(i)]; }
    void setCell(int i, int16_t state) override {
        // Like the grid check boxes, a value that is no cell state is not taken.
        if (state >= 0 && state <= 2)
            cells[static_cast<size_t>(i)] = state;
    }
    int16_t note(int voice) const override { return notes[static_cast<size_t>(voice)]; }
    void setNote(int voice, int16_t n) override {
        if (notes[static_cast<size_t>(voice)] == n)
            return;
        notes[static_cast<size_t>(voice)] = n;
        ++noteChangeEvents;
        if (onNoteChanged)
            onNoteChanged(voice);
    }

    void setTicksText(const std::string& t) override { ticksText = t; }
    void setSongModeCaption(const std::string& c) override { songModeCaptionText = c; }
    void setSongStepCaption(const std::string& c) override { songStepCaption = c; }
    int16_t patnoValue() const override { return patno; }
    void setPatnoCaption(const std::string& c) override { patnoCaption = c; }
    void setVoiceCaption(int voice, const std::string& c) override {
        voiceCaptions[static_cast<size_t>(voice)] = c;
    }
    int16_t tempoValue() const override { return tempo; }
    void showPattern() override {
        if (!sequencer)
            return;
        const LiveGrid shown = sequencer->pattern();
        cells = shown.cells;
        for (int v = 0; v < 4; ++v)
            setNote(v, shown.note(v));
    }
    /// Catches up at once, on the thread that played the step (tests play steps on theirs).
    void stepPlayed() override {
        ++stepsPlayed;
        if (sequencer)
            sequencer->catchUp();
    }
};
