#pragma once

#include <memory>

#include "midi/ports/midisystem.h"

/// The naive form the timing benchmark compares against: output to JACK through RtMidi's
/// own JACK client, which writes every message at the start of the next JACK period. It
/// cannot honour a due time, so it sends at once (its lead is 0: the engine hands each step
/// over at its due time). The program's own JACK output is makeJackMidiOutSystem.
std::unique_ptr<MidiOutSystem> makeRtMidiJackOutSystem();
