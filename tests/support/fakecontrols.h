#pragma once

// The main window's controls as plain fields, for driving the sequencer without a display.
// Like the real scroll bars, setting a voice bar to a new value raises its change event.

#include <array>
#include <functional>
#include <string>

#include "core/sequencer.h"

class FakeControls : public SequencerControls {
public:
    std::array<int16_t, 64> cells{};
    std::array<int16_t, 4> notes{};
    std::array<std::string, 4> voiceCaptions;
    std::string ticksText, songModeTagText = "0", songModeCaptionText, songStepCaption;
    std::string patnoCaption = "0";
    std::u16string songList;
    int16_t patno = 0;
    int16_t tempo = 100;
    int noteChangeEvents = 0;
    /// Raised when a voice bar changes value (wired to Sequencer::VScroll1_Change).
    std::function<void(int)> onNoteChanged;

    int16_t cell(int i) const override { return cells[static_cast<size_t>(i)]; }
    void setCell(int i, int16_t state) override {
        // Like the grid check boxes, a value that is no cell state is not taken.
        if (state >= 0 && state <= 2) cells[static_cast<size_t>(i)] = state;
    }
    int16_t note(int voice) const override { return notes[static_cast<size_t>(voice)]; }
    void setNote(int voice, int16_t n) override {
        if (notes[static_cast<size_t>(voice)] == n) return;
        notes[static_cast<size_t>(voice)] = n;
        ++noteChangeEvents;
        if (onNoteChanged) onNoteChanged(voice);
    }
    void setTicksText(const std::string& t) override { ticksText = t; }
    std::string songModeTag() const override { return songModeTagText; }
    void setSongModeTag(const std::string& t) override { songModeTagText = t; }
    void setSongModeCaption(const std::string& c) override { songModeCaptionText = c; }
    std::u16string songListText() const override { return songList; }
    void setSongStepCaption(const std::string& c) override { songStepCaption = c; }
    int16_t patnoValue() const override { return patno; }
    void setPatnoCaption(const std::string& c) override { patnoCaption = c; }
    void setVoiceCaption(int voice, const std::string& c) override {
        voiceCaptions[static_cast<size_t>(voice)] = c;
    }
    int16_t tempoValue() const override { return tempo; }
};
