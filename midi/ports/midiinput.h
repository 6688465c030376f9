#pragma once

#include <memory>
#include <vector>

#include "midi/ports/midiport.h"
#include "midi/ports/midisystem.h"

/// The MIDI input port component. Devices are the ports of the input systems (ALSA
/// sequencer, JACK) in that order. Action codes: 1 open, 2 close, 4 start taking in messages
/// (PortState 2), 5 stop (PortState 1). Nothing reads what comes in.
class MIDIInput : public MidiPort {
    Q_OBJECT
public:
    explicit MIDIInput(std::vector<std::unique_ptr<MidiInSystem>> systems,
                       QObject* parent = nullptr);
    ~MIDIInput() override;
    void setAction(int16_t code) override;

protected:
    void listDevices() override;

private:
    void open();
    void close();
    std::vector<std::unique_ptr<MidiInSystem>> m_systems;
    MidiInSystem* m_open = nullptr;
};
