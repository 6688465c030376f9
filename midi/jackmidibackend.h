#pragma once

#include <memory>

#include "backend.h"

/// MIDI output to JACK through this program's own JACK client, sample-accurate.
///
/// Each message is written in the JACK period that covers its due time, at the frame offset
/// of that time, so a message leaves on its frame whatever the period size; a message due
/// at once (or already past) goes at the earliest frame of the next period processed.
/// The UI thread hands messages to the JACK process thread through a lock-free queue.
///
/// Ports listed are the MIDI input ports of the other JACK clients ("client:port"); a
/// server that is not running lists none and is never started. When the server shuts down
/// or the connected port goes away, one kDeviceLost error is reported and further
/// messages are dropped until the port is opened again.
std::unique_ptr<MidiOutSystem> makeJackMidiOutSystem();

/// MIDI input from JACK through this program's own client. Ports listed are the MIDI
/// outputs of the other JACK clients; a server that is not running lists none and is never
/// started. What comes in is dropped: nothing in the program reads it.
std::unique_ptr<MidiInSystem> makeJackMidiInSystem();
