#pragma once

#include <memory>

#include "midi/ports/midisystem.h"

/// Output ports on the ALSA sequencer, through RtMidi. The ports are listed with a fresh
/// client each time, so nothing of ours lingers; without an ALSA sequencer device the system
/// lists no ports. The sequencer delivers a message the moment it gets it, so each message
/// is held by a sender thread of the port's own until its due time (ScheduledSender).
std::unique_ptr<MidiOutSystem> makeAlsaMidiOutSystem();
