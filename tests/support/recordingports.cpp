#include "recordingports.h"

#include "core/portaction.h"

void PortLog::add(const QString& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines << line;
}

QStringList PortLog::lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

void PortLog::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
}

QStringList PortLog::filtered(const QString& prefix) const {
    QStringList out;
    for (const QString& l : lines())
        if (l.startsWith(prefix))
            out << l;
    return out;
}

QStringList PortLog::sends() const {
    QStringList out;
    for (const QString& l : lines()) {
        const qsizetype at = l.indexOf(QStringLiteral(" send "));
        if (at >= 0)
            out << l.mid(at + 6);
    }
    return out;
}

QString hexBytes(const unsigned char* bytes, std::size_t size) {
    QStringList parts;
    for (std::size_t i = 0; i < size; ++i)
        parts << QStringLiteral("%1").arg(bytes[i], 2, 16, QLatin1Char('0'));
    return parts.join(QLatin1Char(' '));
}

void sendMessage(MIDIOutput& out, int status, int data1, int data2, int64_t dueNs) {
    if (dueNs != 0) {
        const uint8_t bytes[3] = {static_cast<uint8_t>(status), static_cast<uint8_t>(data1),
                                  static_cast<uint8_t>(data2)};
        out.send(bytes, sizeof bytes, dueNs);
        return;
    }
    out.setStatus(static_cast<int16_t>(status));
    out.setData1(static_cast<int16_t>(data1));
    out.setData2(static_cast<int16_t>(data2));
    out.setAction(PortAction::kSend);
}

int16_t findDevice(MIDIOutput& out, const QString& name) {
    const int16_t n = out.DeviceCount();
    for (int16_t i = 0; i < n; ++i) {
        out.setDeviceID(i);
        if (out.DeviceName() == name)
            return i;
    }
    return -2;
}

bool RecordingOutSystem::open(const std::string& port, std::string& error) {
    m_flagged.store(0);
    {
        std::lock_guard<std::mutex> lock(m_textMutex);
        m_text.clear();
    }
    m_log.add(QStringLiteral("%1 open %2")
                  .arg(QString::fromStdString(m_name), QString::fromStdString(port)));
    if (whileOpening)
        whileOpening();
    if (failOpen) {
        error = "refused by the test";
        return false;
    }
    openPort = port;
    return true;
}

void RecordingOutSystem::close() {
    m_log.add(QStringLiteral("%1 close").arg(QString::fromStdString(m_name)));
    openPort.clear();
}

void RecordingOutSystem::withdrawAfter(int64_t) {
    m_log.add(QStringLiteral("%1 withdraw").arg(QString::fromStdString(m_name)));
}

bool RecordingOutSystem::send(const ShortMessage& message, int64_t dueNs) {
    lastDueNs = dueNs;
    m_log.add(
        QStringLiteral("%1 send %2")
            .arg(QString::fromStdString(m_name), hexBytes(message.bytes.data(), message.size)));
    return !failSend;
}

bool RecordingOutSystem::sendClock(const ShortMessage& message, int64_t dueNs) {
    m_log.add(QStringLiteral("%1 clock %2 at %3")
                  .arg(QString::fromStdString(m_name), hexBytes(message.bytes.data(), message.size))
                  .arg(dueNs));
    return !failClock;
}

void RecordingOutSystem::withdrawClockAfter(int64_t nowNs) {
    m_log.add(QStringLiteral("%1 clock withdraw after %2")
                  .arg(QString::fromStdString(m_name))
                  .arg(nowNs));
}

void RecordingOutSystem::raiseAsync(int16_t code, const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(m_textMutex);
        if (m_text.empty())
            m_text = text;  // the first text stands
    }
    m_flagged.fetch_or(1u << code);
}

void RecordingOutSystem::poll() {
    const uint32_t flagged = m_flagged.load();
    for (int16_t code = 0; code < 32; ++code)
        if (flagged & (1u << code))
            raise(code);
}

std::string RecordingOutSystem::describe(int16_t) const {
    std::lock_guard<std::mutex> lock(m_textMutex);
    return m_text;
}

bool RecordingInSystem::open(const std::string& port, std::string&) {
    m_log.add(QStringLiteral("%1 open %2")
                  .arg(QString::fromStdString(m_name), QString::fromStdString(port)));
    openPort = port;
    return true;
}

void RecordingInSystem::close() {
    m_log.add(QStringLiteral("%1 close").arg(QString::fromStdString(m_name)));
    openPort.clear();
}

void RecordingInSystem::setReceiving(bool on) {
    receiving = on;
}

int16_t RecordingMIDIOutput::DeviceCount() {
    const int16_t n = MIDIOutput::DeviceCount();
    m_log.add(QStringLiteral("out.DeviceCount?"));
    return n;
}
void RecordingMIDIOutput::setDeviceID(int16_t id) {
    m_log.add(QStringLiteral("out.DeviceID=%1").arg(id));
    MIDIOutput::setDeviceID(id);
}
int16_t RecordingMIDIOutput::DeviceID() const {
    m_log.add(QStringLiteral("out.DeviceID?"));
    return MIDIOutput::DeviceID();
}
int16_t RecordingMIDIOutput::PortState() const {
    m_log.add(QStringLiteral("out.PortState?"));
    return MIDIOutput::PortState();
}
void RecordingMIDIOutput::setStatus(int16_t v) {
    m_log.add(QStringLiteral("out.Status=%1").arg(v));
    MIDIOutput::setStatus(v);
}
void RecordingMIDIOutput::setData1(int16_t v) {
    m_log.add(QStringLiteral("out.Data1=%1").arg(v));
    MIDIOutput::setData1(v);
}
void RecordingMIDIOutput::setData2(int16_t v) {
    m_log.add(QStringLiteral("out.Data2=%1").arg(v));
    MIDIOutput::setData2(v);
}
void RecordingMIDIOutput::setAction(int16_t code) {
    m_log.add(QStringLiteral("out.Action=%1").arg(code));
    MIDIOutput::setAction(code);
}

int16_t RecordingMIDIInput::DeviceCount() {
    const int16_t n = MIDIInput::DeviceCount();
    m_log.add(QStringLiteral("in.DeviceCount?"));
    return n;
}
void RecordingMIDIInput::setDeviceID(int16_t id) {
    m_log.add(QStringLiteral("in.DeviceID=%1").arg(id));
    MIDIInput::setDeviceID(id);
}
int16_t RecordingMIDIInput::PortState() const {
    m_log.add(QStringLiteral("in.PortState?"));
    return MIDIInput::PortState();
}
void RecordingMIDIInput::setAction(int16_t code) {
    m_log.add(QStringLiteral("in.Action=%1").arg(code));
    MIDIInput::setAction(code);
}

RecordingPorts::RecordingPorts(std::vector<std::string> outPorts, std::vector<std::string> inPorts,
                               bool withBuiltin) {
    std::unique_ptr<RecordingOutSystem> b;
    if (withBuiltin) {
        b = std::make_unique<RecordingOutSystem>(log, "BUILTIN",
                                                 std::vector<std::string>{"Built-in synth"});
        builtin = b.get();
    }
    auto o = std::make_unique<RecordingOutSystem>(log, "TEST", std::move(outPorts));
    outSystem = o.get();
    std::vector<std::unique_ptr<MidiOutSystem>> outs;
    outs.push_back(std::move(o));
    output = std::make_unique<RecordingMIDIOutput>(log, std::move(b), std::move(outs));

    auto i = std::make_unique<RecordingInSystem>(log, "TESTIN", std::move(inPorts));
    inSystem = i.get();
    std::vector<std::unique_ptr<MidiInSystem>> ins;
    ins.push_back(std::move(i));
    input = std::make_unique<RecordingMIDIInput>(log, std::move(ins));
}

ErrorRecorder::ErrorRecorder(MidiPort& port) {
    QObject::connect(&port, &MidiPort::Error, &port, [this](int16_t& code, QString& text) {
        codes << code;
        texts << text;
    });
}
