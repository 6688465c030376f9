#include "midi/machineports.h"

#include "midi/alsa/alsaoutput.h"
#include "midi/jack/jackclient.h"
#include "midi/jack/jackoutput.h"
#include "midi/ports/midiport.h"
#include "midi/synth/builtinsynth.h"

std::unique_ptr<MIDIOutput> makeSystemMidiOutput(std::shared_ptr<JackServerLink> jackLink) {
    if (!jackLink)
        jackLink = std::make_shared<JackServerLink>();
    std::vector<std::unique_ptr<MidiOutSystem>> systems;
    systems.push_back(makeRtMidiOutSystem(RtMidiSystem::Alsa));
    systems.push_back(makeJackMidiOutSystem(jackLink));
    return std::make_unique<MIDIOutput>(
        std::make_unique<FluidSynthBackend>(FluidSynthOptions{}, jackLink), std::move(systems));
}

std::unique_ptr<MIDIInput> makeSystemMidiInput(std::shared_ptr<JackServerLink> jackLink) {
    std::vector<std::unique_ptr<MidiInSystem>> systems;
    systems.push_back(makeRtMidiInSystem(RtMidiSystem::Alsa));
    systems.push_back(makeJackMidiInSystem(std::move(jackLink)));
    return std::make_unique<MIDIInput>(std::move(systems));
}

SystemMidiPorts makeSystemMidiPorts() {
    auto jackLink = std::make_shared<JackServerLink>();
    return {makeSystemMidiOutput(jackLink), makeSystemMidiInput(jackLink)};
}
