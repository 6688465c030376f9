#include "midi/ports/midiport.h"

#include <QMetaObject>

#include "midi/ports/midisystem.h"

namespace {

// The conditions a port tells the user about, and how often: each once until the port
// opens again, but the built-in synth's trouble, whose causes (no soundfont, no audio
// output) outlast a reopen: the setup dialog opens device -1 when it loads and again at OK,
// and the user is to be told once. A port closed by a loss is met by every step after it:
// that is the loss, told already.
std::vector<FaultWatcher::Condition> portConditions() {
    using namespace MidiError;
    return {{kNoSuchDevice}, {kOpenFailed},
            {kSendFailed},   {kDeviceLost, false, {kPortNotOpen}},
            {kNotAnswering}, {kSynthUnavailable, true},
            {kPortNotOpen}};
}

}  // namespace

MidiPort::MidiPort(QObject* parent)
    : QObject(parent),
      m_faults(
          portConditions(), [this](int16_t code) { return describeFault(code); },
          [this] { pollFaults(); },
          [this](int16_t code, const std::string& text) { told(code, text); }) {}

int16_t MidiPort::DeviceCount() {
    listDevices();
    return static_cast<int16_t>(std::min<size_t>(m_devices.size(), INT16_MAX));
}

QString MidiPort::DeviceName() {
    const Device* d = selectedDevice();
    return d ? d->displayName : QString();
}

const MidiPort::Device* MidiPort::selectedDevice() {
    if (!m_listed)
        listDevices();
    if (m_deviceId < 0 || static_cast<size_t>(m_deviceId) >= m_devices.size())
        return nullptr;
    return &m_devices[static_cast<size_t>(m_deviceId)];
}

QString MidiPort::displayName(const std::string& system, const std::string& port) {
    // Each name says which MIDI system the device comes from.
    QString name = QString::fromStdString(port);
    return system.empty() ? name : QString::fromStdString(system) + QStringLiteral(": ") + name;
}

void MidiPort::told(int16_t code, const std::string& cause) {
    // Every message reads as a sentence, whatever text a system's cause ended with.
    QString text = QString::fromStdString(cause);
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('.')) && !text.endsWith(QLatin1Char('?')))
        text += QLatin1Char('.');
    // Posted, so a handler that shows a message box never runs inside the operation (or the
    // tick) that met the trouble, and never on another thread.
    QMetaObject::invokeMethod(
        this,
        [this, code, text] {
            int16_t c = code;
            QString t = text;
            emit Error(c, t);
        },
        Qt::QueuedConnection);
}
