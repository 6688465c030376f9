#pragma once

#include "midi/shortmessage.h"

typedef struct _fluid_synth_t fluid_synth_t;

/// Plays one MIDI message on `synth`: the FluidSynth call each message stands for. Channel
/// messages go to their channel; System Reset resets the synth; other system messages mean
/// nothing to it. All Sound Off and All Notes Off both silence the channel at once.
/// Real-time safe as far as FluidSynth's calls are (no lock with its thread-safe API off).
void playOnSynth(fluid_synth_t* synth, const ShortMessage& message);
