#pragma once

#include <string_view>

#include "livepattern.h"
#include "pattern.h"

/// Copies the live grid and voice notes into bank[n]; n is 0..64.
void StorePattern(PatternBank& bank, const LivePattern& live, int16_t n);
/// Copies bank[n] into the live grid and voice notes; n is 0..64.
void RecallPattern(const PatternBank& bank, LivePattern& live, int16_t n);
/// Gives patterns 0..63 the default voice notes; pattern 64 and the grids are left alone.
void InitVoiceNotes(PatternBank& bank);

/// Parses a song list, one pattern digit per character, into songSteps[0..n-1]; the rest of
/// the table keeps its values and an empty text changes nothing.
/// A text that holds anything but the ASCII digits 0-9, or more characters than the table
/// has entries, is refused whole: the table is left unchanged and false is returned, so a
/// song can never name a pattern outside 0..9 nor write past the table.
bool ParseSongList(std::u16string_view text, SongStepTable& songSteps);

/// True when `text` is a song list the parser accepts (only 0-9, at most 101 characters).
bool isValidSongList(std::u16string_view text);
