#include "systemports.h"

#include "fluidsynthbackend.h"
#include "jackmidibackend.h"
#include "midiport.h"
#include "rtmidibackend.h"

std::unique_ptr<MIDIOutput> makeSystemMidiOutput() {
    std::vector<std::unique_ptr<MidiOutSystem>> systems;
    systems.push_back(makeRtMidiOutSystem(RtMidiSystem::Alsa));
    systems.push_back(makeJackMidiOutSystem());
    return std::make_unique<MIDIOutput>(std::make_unique<FluidSynthBackend>(), std::move(systems));
}

std::unique_ptr<MIDIInput> makeSystemMidiInput() {
    std::vector<std::unique_ptr<MidiInSystem>> systems;
    systems.push_back(makeRtMidiInSystem(RtMidiSystem::Alsa));
    systems.push_back(makeJackMidiInSystem());
    return std::make_unique<MIDIInput>(std::move(systems));
}
