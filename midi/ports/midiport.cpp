#include "midi/ports/midiport.h"

#include <QMetaObject>

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

void MidiPort::report(int16_t code, const QString& reportText) {
    // Every message reads as a sentence, whatever text a backend's cause ended with.
    QString text = reportText;
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('.')) && !text.endsWith(QLatin1Char('?')))
        text += QLatin1Char('.');
    {
        std::lock_guard<std::mutex> lock(m_reportMutex);
        if (!m_reported.insert(code).second)
            return;
    }
    // Posted, so a handler that shows a message box never runs inside the operation (or the
    // tick) that met the trouble, and never on a backend's thread.
    QMetaObject::invokeMethod(
        this,
        [this, code, text] {
            int16_t c = code;
            QString t = text;
            emit Error(c, t);
        },
        Qt::QueuedConnection);
}

void MidiPort::clearReported() {
    std::lock_guard<std::mutex> lock(m_reportMutex);
    m_reported.clear();
}

void MidiPort::markReported(int16_t code) {
    std::lock_guard<std::mutex> lock(m_reportMutex);
    m_reported.insert(code);
}

AsyncErrorHandler MidiPort::asyncHandler() {
    return [this](int16_t code, const std::string& text) {
        report(code, QString::fromStdString(text));
    };
}
