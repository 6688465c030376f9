#include "midi/ports/midioutput.h"

#include <QMetaObject>

#include <algorithm>

#include "core/monotonicclock.h"
#include "core/portaction.h"

MIDIOutput::MIDIOutput(std::unique_ptr<MidiOutSystem> builtin,
                       std::vector<std::unique_ptr<MidiOutSystem>> systems, QObject* parent)
    : MidiPort(parent), m_builtin(std::move(builtin)), m_systems(std::move(systems)) {
    if (m_builtin) {
        m_builtin->setFaultWatcher(&m_faults);
        const std::vector<std::string> ports = m_builtin->listPorts();
        m_builtinDevice.system = -1;
        m_builtinDevice.port = ports.empty() ? std::string() : ports.front();
        m_builtinDevice.displayName = QString::fromStdString(m_builtinDevice.port);
    } else {
        m_builtinDevice.displayName = QStringLiteral("No built-in synth");
    }
    for (auto& s : m_systems)
        s->setFaultWatcher(&m_faults);
    m_faults.start();
}

MIDIOutput::~MIDIOutput() {
    close();
    // Before the members the watcher's look reads go.
    m_faults.stop();
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
    m_faults.rearm();
    {
        std::lock_guard<PiMutex> lock(m_sendMutex);
        m_refusedKept = false;
        m_clockRefused = false;
    }
    const Device* d = selectedDevice();
    if (!d) {
        m_faults.tell(
            MidiError::kNoSuchDevice,
            QStringLiteral("MIDI output device %1 does not exist.").arg(m_deviceId).toStdString());
        return;
    }
    MidiOutSystem* sys = system(d->system);
    if (!sys) {
        m_faults.tell(MidiError::kSynthUnavailable,
                      "This program was built without its synth: MIDI output device -1 plays "
                      "nothing. Choose another output in MIDI Setup.");
        return;
    }
    std::string error;
    // A new serial before the system opens: a loss it met while still opening belongs to
    // this open and closes it.
    m_openSerial.fetch_add(1);
    if (!sys->open(d->port, error)) {
        m_faults.tell(MidiError::kOpenFailed,
                      QStringLiteral("Cannot open the MIDI output \"%1\": %2")
                          .arg(d->displayName, QString::fromStdString(error))
                          .toStdString());
        return;
    }
    m_faults.betweenLooks([&] { m_watched = sys; });
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
    if (!closing)
        return;
    // What the device met up to now is told, not lost with it.
    m_faults.look();
    m_faults.betweenLooks([&] { m_watched = nullptr; });
    closing->close();
}

void MIDIOutput::send(const uint8_t* bytes, std::size_t size, int64_t dueNs) {
    hand(bytes, size, dueNs, false);
}

void MIDIOutput::hand(const uint8_t* bytes, std::size_t size, int64_t dueNs, bool clock) {
    // On the step engine's real-time thread too: a failure only raises its condition.
    ShortMessage message;
    const bool wellFormed = readShortMessage(bytes, size, message);
    std::lock_guard<PiMutex> lock(m_sendMutex);
    if (!m_open) {
        m_faults.raise(MidiError::kPortNotOpen);
        return;
    }
    if (!wellFormed) {
        if (!m_refusedKept) {
            m_refusedSize = std::min(size, m_refused.size());
            std::copy(bytes, bytes + m_refusedSize, m_refused.begin());
            m_refusedKept = true;
        }
        m_faults.raise(MidiError::kSendFailed);
        return;
    }
    if (clock ? m_open->sendClock(message, dueNs) : m_open->send(message, dueNs))
        return;
    m_clockRefused = m_clockRefused || clock;
    m_faults.raise(MidiError::kSendFailed);
}

std::string MIDIOutput::describeFault(int16_t code) {
    if (code == MidiError::kPortNotOpen)
        return "The MIDI output is not open.";
    if (code != MidiError::kSendFailed)
        return m_watched ? m_watched->describe(code) : std::string();
    std::array<uint8_t, 8> refused{};
    std::size_t refusedSize = 0;
    bool refusedKept = false, clockRefused = false;
    {
        std::lock_guard<PiMutex> lock(m_sendMutex);
        refused = m_refused;
        refusedSize = m_refusedSize;
        refusedKept = m_refusedKept;
        clockRefused = m_clockRefused;
    }
    if (refusedKept)
        return "Cannot send to the MIDI output: " + shortMessageError(refused.data(), refusedSize);
    // The system was watched when it refused: the port's last look at it is made before it
    // stops being watched.
    if (clockRefused)
        return "Cannot send MIDI clock on the clock port: " +
               (m_watched ? m_watched->clockSendFailure() : "");
    return "Cannot send to the MIDI output: " + (m_watched ? m_watched->sendFailure() : "");
}

void MIDIOutput::pollFaults() {
    if (m_watched)
        m_watched->poll();
}

void MIDIOutput::told(int16_t code, const std::string& text) {
    if (code == MidiError::kDeviceLost) {
        // Closed on the UI thread, before the report is delivered, unless the port has
        // been reopened meanwhile. The system's own threads are done once it is closed.
        MidiOutSystem* lost = m_watched;
        const uint64_t serial = m_openSerial.load();
        QMetaObject::invokeMethod(
            this,
            [this, lost, serial] {
                if (m_open == lost && m_openSerial.load() == serial)
                    close();
            },
            Qt::QueuedConnection);
    }
    MidiPort::told(code, text);
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

void MIDIOutput::ClockOutput::withdrawAfter(int64_t timeNs) {
    std::lock_guard<PiMutex> lock(m_port.m_sendMutex);
    if (m_port.m_open)
        m_port.m_open->withdrawClockAfter(timeNs);
}

void MIDIOutput::cancelPending() {
    withdrawAfter(monotonicNowNs());
}
