#pragma once

#include <memory>

#include "midi/ports/midisystem.h"

/// Input ports on the ALSA sequencer, through RtMidi; incoming messages are taken off the
/// port and dropped.
std::unique_ptr<MidiInSystem> makeAlsaMidiInSystem();
