#pragma once

#include <memory>

class JackServerLink;
class MIDIInput;
class MIDIOutput;

/// The output port over the real MIDI systems: device -1 is the built-in synth, then the
/// ALSA sequencer's ports, then JACK's. `jackLink` is the JACK server link its JACK output
/// and the synth's JACK driver share; null makes one.
std::unique_ptr<MIDIOutput> makeSystemMidiOutput(std::shared_ptr<JackServerLink> jackLink = {});
/// The input port over the ALSA sequencer's ports, then JACK's.
std::unique_ptr<MIDIInput> makeSystemMidiInput(std::shared_ptr<JackServerLink> jackLink = {});

/// Both ports, sharing one JACK server link: once a call has found the server not
/// answering, every further one, on either port, is refused at once instead of waiting
/// its own time. What the program should use.
struct SystemMidiPorts {
    std::unique_ptr<MIDIOutput> output;
    std::unique_ptr<MIDIInput> input;
};
SystemMidiPorts makeSystemMidiPorts();
