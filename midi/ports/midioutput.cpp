#include "midi/ports/midioutput.h"

#include <QMetaObject>

#include "core/monotonicclock.h"
#include "core/portaction.h"

MIDIOutput::MIDIOutput(std::unique_ptr<MidiOutSystem> builtin,
                       std::vector<std::unique_ptr<MidiOutSystem>> systems, QObject* parent)
    : MidiPort(parent), m_builtin(std::move(builtin)), m_systems(std::move(systems)) {
    if (m_builtin) {
        m_builtin->setAsyncErrorHandler(systemErrorHandler(m_builtin.get()));
        const std::vector<std::string> ports = m_builtin->listPorts();
        m_builtinDevice.system = -1;
        m_builtinDevice.port = ports.empty() ? std::string() : ports.front();
        m_builtinDevice.displayName = QString::fromStdString(m_builtinDevice.port);
    } else {
        m_builtinDevice.displayName = QStringLiteral("No built-in synth");
    }
    for (auto& s : m_systems)
        s->setAsyncErrorHandler(systemErrorHandler(s.get()));
}

MIDIOutput::~MIDIOutput() {
    close();
}

AsyncErrorHandler MIDIOutput::systemErrorHandler(MidiOutSystem* sys) {
    return [this, sys](int16_t code, const std::string& text) {
        if (code == MidiError::kDeviceLost) {
            // Closed on the UI thread, before the report is delivered, unless the port has
            // been reopened meanwhile. The backend's own threads are done once it is closed.
            const uint64_t serial = m_openSerial.load();
            QMetaObject::invokeMethod(
                this,
                [this, sys, serial] {
                    if (m_open != sys || m_openSerial.load() != serial)
                        return;
                    // Messages written from now on (the step engine's, from its own thread,
                    // at once) meet a closed port: the same condition, told once already.
                    markReported(MidiError::kPortNotOpen);
                    close();
                },
                Qt::QueuedConnection);
        }
        report(code, QString::fromStdString(text));
    };
}

void MIDIOutput::listDevices() {
    listFrom(m_systems);
}

const MidiPort::Device* MIDIOutput::selectedDevice() {
    if (m_deviceId == -1)
        return &m_builtinDevice;
    return MidiPort::selectedDevice();
}

QString MIDIOutput::DeviceName() {
    const Device* d = selectedDevice();
    return d ? d->displayName : QString();
}

MidiOutSystem* MIDIOutput::system(int index) const {
    if (index == -1)
        return m_builtin.get();
    return m_systems[static_cast<size_t>(index)].get();
}

void MIDIOutput::setAction(int16_t code) {
    switch (code) {
        case PortAction::kOpen:
            open();
            break;
        case PortAction::kClose:
            close();
            break;
        case PortAction::kSend: {
            const uint8_t bytes[3] = {static_cast<uint8_t>(m_status), static_cast<uint8_t>(m_data1),
                                      static_cast<uint8_t>(m_data2)};
            send(bytes, sizeof bytes, 0);
            break;
        }
        default:
            break;  // kStart and unknown codes: nothing to do on an output
    }
}

void MIDIOutput::open() {
    close();
    clearReported();
    const Device* d = selectedDevice();
    if (!d) {
        report(MidiError::kNoSuchDevice,
               QStringLiteral("MIDI output device %1 does not exist.").arg(m_deviceId));
        return;
    }
    MidiOutSystem* sys = system(d->system);
    if (!sys) {
        report(MidiError::kSynthUnavailable,
               QStringLiteral("This program was built without its synth: MIDI output device -1 "
                              "plays nothing. Choose another output in MIDI Setup."));
        return;
    }
    std::string error;
    // A new serial before the backend opens: a loss it reports while still opening belongs
    // to this open and closes it.
    m_openSerial.fetch_add(1);
    if (!sys->open(d->port, error)) {
        report(MidiError::kOpenFailed, QStringLiteral("Cannot open the MIDI output \"%1\": %2")
                                           .arg(d->displayName, QString::fromStdString(error)));
        return;
    }
    std::lock_guard<PiMutex> lock(m_sendMutex);
    m_open = sys;
    m_portState = 1;
}

void MIDIOutput::close() {
    MidiOutSystem* closing = nullptr;
    {
        // Taken out of the writers' reach first; the device then closes without the lock.
        std::lock_guard<PiMutex> lock(m_sendMutex);
        closing = m_open;
        m_open = nullptr;
        m_portState = 0;
    }
    if (closing)
        closing->close();
}

void MIDIOutput::send(const uint8_t* bytes, std::size_t size, int64_t dueNs) {
    std::lock_guard<PiMutex> lock(m_sendMutex);
    if (!m_open) {
        report(MidiError::kPortNotOpen, QStringLiteral("The MIDI output is not open."));
        return;
    }
    std::string error;
    if (!m_open->send(bytes, size, dueNs, error)) {
        report(MidiError::kSendFailed, QStringLiteral("Cannot send to the MIDI output: %1")
                                           .arg(QString::fromStdString(error)));
    }
}

int64_t MIDIOutput::leadNs() const {
    std::lock_guard<PiMutex> lock(m_sendMutex);
    return m_open ? m_open->schedulingLeadNs() : 0;
}

void MIDIOutput::withdrawAfter(int64_t timeNs) {
    std::lock_guard<PiMutex> lock(m_sendMutex);
    if (m_open)
        m_open->withdrawAfter(timeNs);
}

void MIDIOutput::cancelPending() {
    withdrawAfter(monotonicNowNs());
}
