#pragma once

#include <memory>

class MIDIInput;
class MIDIOutput;

/// The output port over the real MIDI systems: device -1 is the built-in synth, then the
/// ALSA sequencer's ports, then JACK's.
std::unique_ptr<MIDIOutput> makeSystemMidiOutput();
/// The input port over the ALSA sequencer's ports, then JACK's.
std::unique_ptr<MIDIInput> makeSystemMidiInput();
