#include "midi/machineports.h"

#include "midi/alsa/alsainput.h"
#include "midi/alsa/alsaoutput.h"
#include "midi/jack/jackinput.h"
#include "midi/jack/jackoutput.h"
#include "midi/jack/serverlink.h"
#include "midi/ports/midiinput.h"
#include "midi/ports/midioutput.h"
#include "midi/synth/builtinsynth.h"

std::unique_ptr<MIDIOutput> makeSystemMidiOutput(std::shared_ptr<JackServerLink> jackLink) {
    if (!jackLink)
        jackLink = std::make_shared<JackServerLink>();
    std::vector<std::unique_ptr<MidiOutSystem>> systems;
    systems.push_back(makeAlsaMidiOutSystem());
    systems.push_back(makeJackMidiOutSystem(jackLink));
    return std::make_unique<MIDIOutput>(
        std::make_unique<BuiltinSynth>(FluidSynthOptions{}, jackLink), std::move(systems));
}

std::unique_ptr<MIDIInput> makeSystemMidiInput(std::shared_ptr<JackServerLink> jackLink) {
    std::vector<std::unique_ptr<MidiInSystem>> systems;
    systems.push_back(makeAlsaMidiInSystem());
    systems.push_back(makeJackMidiInSystem(std::move(jackLink)));
    return std::make_unique<MIDIInput>(std::move(systems));
}

SystemMidiPorts makeSystemMidiPorts() {
    auto jackLink = std::make_shared<JackServerLink>();
    return {makeSystemMidiOutput(jackLink), makeSystemMidiInput(jackLink)};
}
