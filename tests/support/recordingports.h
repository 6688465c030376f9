#pragma once

// Port components over recording MIDI systems, for tests: every property write and every
// call on a system lands in one shared log, in order, so a test sees the exact sequence of
// writes across both ports.

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "midi/ports/midiinput.h"
#include "midi/ports/midioutput.h"
#include "midi/ports/midisystem.h"

/// The shared log: one line per event ("out.Status=153", "out.send 99 23 66", ...). The step
/// engine writes to it from its own thread while a test reads it.
class PortLog {
public:
    void add(const QString& line);
    /// Every line so far.
    QStringList lines() const;
    /// The lines that start with `prefix`.
    QStringList filtered(const QString& prefix) const;
    /// Every "send" line's bytes, in hex ("99 23 66").
    QStringList sends() const;
    void clear();

private:
    mutable std::mutex m_mutex;
    QStringList m_lines;
};

QString hexBytes(const unsigned char* bytes, std::size_t size);

/// Writes one message to `out`: due at `dueNs`, whole, as the step engine does; with 0, at
/// once through Status, Data1, Data2 and Action 7, as the panic does.
void sendMessage(MIDIOutput& out, int status, int data1, int data2, int64_t dueNs = 0);

/// Finds the output device whose name is `name` and leaves it chosen; -2 when it is not
/// listed.
int16_t findDevice(MIDIOutput& out, const QString& name);

/// An output system whose ports are a list the test sets.
class RecordingOutSystem : public MidiOutSystem {
public:
    RecordingOutSystem(PortLog& log, std::string name, std::vector<std::string> portNames)
        : ports(std::move(portNames)), m_log(log), m_name(std::move(name)) {}
    std::string systemName() const override { return m_name; }
    std::vector<std::string> listPorts() override { return ports; }
    bool open(const std::string& port, std::string& error) override;
    void close() override;
    bool send(const ShortMessage& message, int64_t dueNs) override;
    std::string sendFailure() const override { return "device went away"; }
    void withdrawAfter(int64_t nowNs) override;
    /// Logged as "TEST clock fa at 7", "TEST clock withdraw after 8".
    bool sendClock(const ShortMessage& message, int64_t dueNs) override;
    void withdrawClockAfter(int64_t nowNs) override;
    int64_t schedulingLeadNs() const override { return leadNs; }
    /// Flags a fault, as a system's own thread would, with the text of the first one since
    /// the open; the port's watcher raises it at its next look while the system is open.
    void raiseAsync(int16_t code, const std::string& text);
    void poll() override;
    std::string describe(int16_t code) const override;

    std::vector<std::string> ports;
    std::string openPort;
    bool failOpen = false;
    /// Runs inside open(), as a system's thread might while the device is being opened.
    std::function<void()> whileOpening;
    bool failSend = false;
    bool failClock = false;
    int64_t lastDueNs = 0;
    /// The lead the system asks for (0: it sends at once).
    int64_t leadNs = 0;

private:
    PortLog& m_log;
    std::string m_name;
    std::atomic<uint32_t> m_flagged{0};
    mutable std::mutex m_textMutex;
    std::string m_text;
};

class RecordingInSystem : public MidiInSystem {
public:
    RecordingInSystem(PortLog& log, std::string name, std::vector<std::string> portNames)
        : ports(std::move(portNames)), m_log(log), m_name(std::move(name)) {}
    std::string systemName() const override { return m_name; }
    std::vector<std::string> listPorts() override { return ports; }
    bool open(const std::string& port, std::string& error) override;
    void close() override;
    void setReceiving(bool on) override;

    std::vector<std::string> ports;
    std::string openPort;
    bool receiving = false;

private:
    PortLog& m_log;
    std::string m_name;
};

/// The real output component, with its property writes and state reads logged.
class RecordingMIDIOutput : public MIDIOutput {
public:
    RecordingMIDIOutput(PortLog& log, std::unique_ptr<MidiOutSystem> builtin,
                        std::vector<std::unique_ptr<MidiOutSystem>> systems)
        : MIDIOutput(std::move(builtin), std::move(systems)), m_log(log) {}
    int16_t DeviceCount() override;
    void setDeviceID(int16_t id) override;
    int16_t DeviceID() const override;
    int16_t PortState() const override;
    void setStatus(int16_t v) override;
    void setData1(int16_t v) override;
    void setData2(int16_t v) override;
    void setAction(int16_t code) override;
    /// Looks for faults now, on the calling thread, as the port's watcher does every
    /// FaultWatcher::kPollNs: what it finds is posted before this returns.
    void lookForFaults() { m_faults.look(); }

private:
    PortLog& m_log;
};

class RecordingMIDIInput : public MIDIInput {
public:
    RecordingMIDIInput(PortLog& log, std::vector<std::unique_ptr<MidiInSystem>> systems)
        : MIDIInput(std::move(systems)), m_log(log) {}
    int16_t DeviceCount() override;
    void setDeviceID(int16_t id) override;
    int16_t PortState() const override;
    void setAction(int16_t code) override;
    /// Lets a test put the port in a state the program may meet (e.g. 3).
    void forcePortState(int16_t state) { m_portState = state; }

private:
    PortLog& m_log;
};

/// Records the Error events of a port (QSignalSpy cannot take their reference arguments).
struct ErrorRecorder {
    explicit ErrorRecorder(MidiPort& port);
    QList<int16_t> codes;
    QStringList texts;
    int count() const { return int(codes.size()); }
};

/// A pair of recording ports with one system each, and direct access to the systems.
struct RecordingPorts {
    explicit RecordingPorts(std::vector<std::string> outPorts = {"synth A", "synth B"},
                            std::vector<std::string> inPorts = {"keys A", "keys B"},
                            bool withBuiltin = true);
    PortLog log;
    RecordingOutSystem* builtin = nullptr;
    RecordingOutSystem* outSystem = nullptr;
    RecordingInSystem* inSystem = nullptr;
    std::unique_ptr<RecordingMIDIOutput> output;
    std::unique_ptr<RecordingMIDIInput> input;
};
