#pragma once

#include <array>
#include <cstdint>

/// Number of grid cells: four voices of sixteen steps.
constexpr int kCells = 64;
constexpr int kVoices = 4;
constexpr int kSteps = 16;
/// Patterns 0..64; the selector reaches 0..63, pattern 64 exists but is never shown.
constexpr int kPatterns = 65;
/// The highest pattern the pattern selector reaches (pattern 64 is never shown).
constexpr int kLastSelectablePattern = 63;
/// Entries of the song table; a song is at most this many bars.
constexpr int kSongLength = 101;
/// The range of a voice note: a MIDI note number.
constexpr int kMaxNote = 127;
/// The tempo bar's range and starting value: the length of a step in milliseconds.
constexpr int kMaxTempo = 200;
constexpr int kStartTempo = 100;

/// Cell states. Only kOn is played; kDimmed comes only from pattern files.
constexpr int16_t kOff = 0;
constexpr int16_t kOn = 1;
constexpr int16_t kDimmed = 2;

/// Index of the cell of `voice` (0..3) at `step` (0..15) in the grid, a pattern and a file.
constexpr int cellIndex(int voice, int step) {
    return voice * kSteps + step;
}

/// One stored pattern: a record of 70 signed 16-bit integers. steps[64] and notes[4] are
/// never read or written; they are kept so the record has its documented size.
struct Pattern {
    std::array<int16_t, 65> steps{};
    std::array<int16_t, 5> notes{};
};
static_assert(sizeof(Pattern) == 70 * sizeof(int16_t), "a pattern is 70 16-bit integers");

using PatternBank = std::array<Pattern, kPatterns>;
using SongStepTable = std::array<int16_t, kSongLength>;

/// The four default voice notes: on channel 10 acoustic bass drum, electric snare, closed
/// hi-hat, and the GM2 shaker.
constexpr std::array<int16_t, kVoices> kDefaultNotes{35, 40, 42, 82};
