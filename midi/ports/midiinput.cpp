#include "midi/ports/midiinput.h"

#include "core/portaction.h"

MIDIInput::MIDIInput(std::vector<std::unique_ptr<MidiInSystem>> systems, QObject* parent)
    : MidiPort(parent), m_systems(std::move(systems)) {
    // An input's trouble is only what its opens meet, told at once: its fault watcher needs
    // no thread.
}

MIDIInput::~MIDIInput() {
    close();
}

void MIDIInput::listDevices() {
    listFrom(m_systems);
}

void MIDIInput::setAction(int16_t code) {
    switch (code) {
        case PortAction::kOpen:
            open();
            break;
        case PortAction::kClose:
            close();
            break;
        case PortAction::kStart:
            if (m_open) {
                m_open->setReceiving(true);
                m_portState = 2;
            }
            break;
        case PortAction::kStop:
            if (m_open) {
                m_open->setReceiving(false);
                m_portState = 1;
            }
            break;
        default:
            break;
    }
}

void MIDIInput::open() {
    close();
    m_faults.rearm();
    const Device* d = selectedDevice();
    if (!d) {
        m_faults.tell(
            MidiError::kNoSuchDevice,
            QStringLiteral("MIDI input device %1 does not exist.").arg(m_deviceId).toStdString());
        return;
    }
    MidiInSystem* sys = m_systems[static_cast<size_t>(d->system)].get();
    std::string error;
    if (!sys->open(d->port, error)) {
        m_faults.tell(MidiError::kOpenFailed,
                      QStringLiteral("Cannot open the MIDI input \"%1\": %2")
                          .arg(d->displayName, QString::fromStdString(error))
                          .toStdString());
        return;
    }
    m_open = sys;
    m_portState = 1;
}

void MIDIInput::close() {
    if (!m_open)
        return;
    m_open->setReceiving(false);
    m_open->close();
    m_open = nullptr;
    m_portState = 0;
}
