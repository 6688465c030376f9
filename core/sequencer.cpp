#include "sequencer.h"

#include "midi/midiport.h"
#include "patternbank.h"
#include "pulsor.h"

namespace {
// Note On, channel 10: status nibble 9, channel nibble 9 (channels count from 0 on the wire).
constexpr int16_t kNoteOnChannel10 = 153;
constexpr int16_t kVelocity = 102;
constexpr int16_t kActionSend = 7;

std::string decimal(long v) { return std::to_string(v); }

// Numeric value of a text as a leading integer, 0 when there is none ("1" -> 1, "" -> 0).
long leadingNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && value < 1000000; ++i)
        value = value * 10 + (text[i] - '0');
    return negative ? -value : value;
}
}  // namespace

Sequencer::Sequencer(SequencerControls& controls, Pulsor& timer, MIDIOutput& output)
    : m_controls(controls), m_timer(timer), m_output(output) {}

bool Sequencer::songModeOn() const { return leadingNumber(m_controls.songModeTag()) == 1; }

void Sequencer::Form_Load(const std::function<void()>& reset_Click) {
    CurrentStep = 0;
    // The bars still stand at 0 here, so all four notes change and their labels follow.
    reset_Click();
    InitVoiceNotes(bank);
    SetupPending = -1;
    CurrentPattern = 0;
}

void Sequencer::Pulsor2_Tick() {
    // 1. Counter display.
    if (m_timer.TickCount() > 0) m_controls.setTicksText(decimal(m_timer.TickCount()));

    // 2. Song mode: at the start of a bar load the bar's pattern, or end the song.
    if (songModeOn() && CurrentStep == 0) {
        const size_t length = m_controls.songListText().size();
        // A song cannot run past the song table: bar 101 ends it like the end of the list.
        if (SongPosition < 0 || static_cast<size_t>(SongPosition) >= length ||
            SongPosition >= kSongLength) {
            m_timer.setEnabled(false);
            return;
        }
        const int16_t pattern = SongSteps[static_cast<size_t>(SongPosition)];
        RecallPattern(bank, m_controls, pattern);
        m_controls.setSongStepCaption(decimal(SongPosition) + ":" + decimal(pattern));
        ++SongPosition;
    }

    // 3. Notes, voices in order 0..3; only state 1 plays.
    for (int v = 0; v < kVoices; ++v) {
        if (m_controls.cell(CurrentStep + kSteps * v) != kOn) continue;
        m_output.setStatus(kNoteOnChannel10);
        m_output.setData1(m_controls.note(v));
        m_output.setData2(kVelocity);
        m_output.setAction(kActionSend);
    }

    // 4. Advance; a bar is exactly 16 ticks.
    CurrentStep = CurrentStep < kSteps - 1 ? static_cast<int16_t>(CurrentStep + 1) : 0;
}

void Sequencer::Command2_Click(const std::function<void()>& Command1_Click) {
    if (setupPending()) Command1_Click();
    if (m_timer.Enabled()) {
        m_timer.setEnabled(false);
        return;
    }
    CurrentStep = 0;
    if (songModeOn()) {
        StorePattern(bank, m_controls, m_controls.patnoValue());
        ParseSongList(m_controls.songListText(), SongSteps);
        SongPosition = 0;
    }
    m_timer.setEnabled(true);
}

void Sequencer::HScroll1_Change() { m_timer.setInterval(m_controls.tempoValue()); }

void Sequencer::songmode_Click() {
    if (!songModeOn()) {
        m_controls.setSongModeTag("1");
        m_controls.setSongModeCaption("S");
    } else {
        m_controls.setSongModeTag("0");
        m_controls.setSongModeCaption("");
    }
}

void Sequencer::patno_Change() {
    const int16_t selected = m_controls.patnoValue();
    m_controls.setPatnoCaption(decimal(selected));
    StorePattern(bank, m_controls, CurrentPattern);
    RecallPattern(bank, m_controls, selected);
    CurrentPattern = selected;
}

void Sequencer::VScroll1_Change(int voice) {
    m_controls.setVoiceCaption(voice, decimal(m_controls.note(voice)));
}
