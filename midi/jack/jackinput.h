#pragma once

#include <memory>

#include "midi/ports/midisystem.h"

class JackServerLink;

/// MIDI input from JACK through this program's own client. Ports listed are the MIDI
/// outputs of the other JACK clients; a server that is not running lists none and is never
/// started. What comes in is dropped: nothing in the program reads it. Calls are bounded as
/// the output's are.
std::unique_ptr<MidiInSystem> makeJackMidiInSystem(std::shared_ptr<JackServerLink> link = {});
