#pragma once

#include <memory>
#include <string>

#include "midi/ports/midisystem.h"

/// Which MIDI system an RtMidi-based backend talks to.
enum class RtMidiSystem { Alsa, Jack };

/// Output ports through RtMidi. The system's ports are listed with a fresh client each
/// time, so nothing of ours lingers in a server that goes away; a system that is not
/// there (no ALSA sequencer device, no JACK server) simply lists no ports. The program
/// uses it for the ALSA sequencer; its own JACK ports are makeJackMidiOutSystem and
/// makeJackMidiInSystem.
/// On ALSA each message is held by a sender thread until its due time. On JACK, RtMidi
/// writes every message at the start of the next period and cannot honour a due time: it
/// sends at once (the program's JACK output is makeJackMidiOutSystem; this one remains as
/// the plain form the timing benchmark compares against).
std::unique_ptr<MidiOutSystem> makeRtMidiOutSystem(RtMidiSystem system);
/// Input ports through RtMidi; incoming messages are taken off the port and dropped.
std::unique_ptr<MidiInSystem> makeRtMidiInSystem(RtMidiSystem system);

/// True when the ALSA sequencer device exists and can be opened.
bool alsaSequencerPresent();
