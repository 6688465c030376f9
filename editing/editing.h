#pragma once

#include <cstdint>

#include "core/livepattern.h"

/// The one-stroke editing commands. They work on the pattern on screen only; the bank
/// gets the result when the grid is next stored.

/// Every cell off, dimmed ones included; the voice notes stay.
void clearGrid(LivePattern& live);
/// Every cell on or off at random, each with probability one half, from a generator seeded
/// with `seed`; no cell becomes dimmed. The voice notes stay.
void randomFill(LivePattern& live, uint64_t seed);
/// A seed from the time of day, fine to the nanosecond, so that two presses within the
/// same second still give different grids.
uint64_t seedFromClock();
/// The rock beat: bass drum on steps 0, 6, 8, snare on 4 and 12, hi-hat on even steps, the
/// fourth voice on odd steps (21 cells), after clearing the grid.
void rockPreset(LivePattern& live);
/// Voice notes back to 35, 40, 42, 82, in voice order.
void resetVoiceNotes(LivePattern& live);
