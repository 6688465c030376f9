#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/messageoutput.h"
#include "core/pimutex.h"
#include "midi/ports/midisystem.h"

/// What the two port components share: the device list over several MIDI systems,
/// DeviceCount / DeviceID / DeviceName / PortState, and the Error event.
///
/// The program drives a port by writing properties; a port operation is a code written to
/// Action, performed at once, with nothing read back. Trouble is reported only through
/// Error, which is always posted to the UI thread (never raised inside the call that met
/// the trouble, nor from a backend's thread), and once per condition: the same kind of
/// failure is not reported again until the port is opened anew.
///
/// The setters are virtual so that a test can record the exact order of the writes.
class MidiPort : public QObject {
    Q_OBJECT
public:
    /// Number of devices of this port's kind; reading it lists the devices afresh.
    virtual int16_t DeviceCount();
    virtual int16_t DeviceID() const { return m_deviceId; }
    virtual void setDeviceID(int16_t id) { m_deviceId = id; }
    /// Name of the device that DeviceID selects, from the last listing; empty for none.
    virtual QString DeviceName();
    /// 0 closed, 1 or more open.
    virtual int16_t PortState() const { return m_portState; }
    virtual void setAction(int16_t code) = 0;

signals:
    /// Code and text are passed by reference, as the handlers expect.
    void Error(int16_t& code, QString& text);

protected:
    struct Device {
        int system = -1;  // index into the port's systems; -1 for none
        std::string port;
        QString displayName;
    };
    explicit MidiPort(QObject* parent) : QObject(parent) {}

    /// Lists the devices of every system into m_devices (in system order).
    virtual void listDevices() = 0;
    /// The device DeviceID selects, or nullptr when it names none.
    virtual const Device* selectedDevice();
    static QString displayName(const std::string& system, const std::string& port);
    /// Lists the ports of `systems` (output or input systems), in order, into m_devices.
    template <typename Systems>
    void listFrom(const Systems& systems) {
        m_devices.clear();
        for (size_t s = 0; s < systems.size(); ++s) {
            for (const std::string& port : systems[s]->listPorts())
                m_devices.push_back(
                    {static_cast<int>(s), port, displayName(systems[s]->systemName(), port)});
        }
        m_listed = true;
    }

    /// Posts Error to the UI thread unless this condition was reported since the last
    /// open. Safe to call from any thread.
    void report(int16_t code, const QString& text);
    /// Forgets the reported conditions: the next failure is told again.
    void clearReported();
    /// Counts `code` as reported already, so that it is not told until the next open.
    void markReported(int16_t code);
    /// Handler given to backends; posts their errors.
    AsyncErrorHandler asyncHandler();

    std::vector<Device> m_devices;
    bool m_listed = false;
    int16_t m_deviceId = 0;
    int16_t m_portState = 0;

private:
    std::mutex m_reportMutex;
    std::set<int16_t> m_reported;
};

/// The MIDI output port component.
///
/// Devices: -1 is the built-in synth; 0..DeviceCount-1 are the ports of the output systems
/// (ALSA sequencer, JACK) in that order. Action codes:
///  1 open the device DeviceID selects (PortState 1); a failure leaves the port closed;
///  2 close (PortState 0); does nothing on a closed port;
///  4 nothing: an output is ready as soon as it is open, and this code sends no MIDI;
///  7 send the three bytes Status, Data1, Data2, at once.
/// Other codes are ignored.
///
/// A device that goes away while open (kDeviceLost from its system) is reported once and
/// the port closes itself: PortState reads 0, and messages written afterwards meet a closed
/// port without a further report, until the port is opened again.
///
/// Threads: the step engine sends its notes whole, with their due times (MessageOutput),
/// from its own real-time thread; the UI thread writes the properties (the panic) and opens
/// and closes the port. A short lock with priority inheritance keeps the open device while a
/// message is handed over; opening and closing take it only to swap the open device, never
/// while a device opens or closes, so a step never waits for a device.
class MIDIOutput : public MidiPort, public MessageOutput {
    Q_OBJECT
public:
    /// `builtin` is device -1 (may be null: then -1 opens nothing and says so);
    /// `systems` are listed in order.
    MIDIOutput(std::unique_ptr<MidiOutSystem> builtin,
               std::vector<std::unique_ptr<MidiOutSystem>> systems, QObject* parent = nullptr);
    ~MIDIOutput() override;

    // The component's properties, written on the UI thread: Action 7 sends the three bytes
    // at once.
    virtual void setStatus(int16_t v) { m_status = v; }
    virtual void setData1(int16_t v) { m_data1 = v; }
    virtual void setData2(int16_t v) { m_data2 = v; }
    void setAction(int16_t code) override;

    void send(const uint8_t* bytes, std::size_t size, int64_t dueNs) override;
    /// How long before its due time a message must be handed over for the open device to
    /// send it on time; 0 when none is open or it sends at once.
    int64_t leadNs() const override;
    void withdrawAfter(int64_t timeNs) override;
    /// Withdraws what is still waiting for a due time after now.
    void cancelPending();

    QString DeviceName() override;

protected:
    void listDevices() override;
    const Device* selectedDevice() override;

private:
    void open();
    void close();
    MidiOutSystem* system(int index) const;
    /// Error handler for one system: reports, and closes the port when its device is lost.
    AsyncErrorHandler systemErrorHandler(MidiOutSystem* sys);

    std::unique_ptr<MidiOutSystem> m_builtin;
    std::vector<std::unique_ptr<MidiOutSystem>> m_systems;
    // Held while a message is handed over, and while m_open changes.
    mutable PiMutex m_sendMutex;
    MidiOutSystem* m_open = nullptr;
    Device m_builtinDevice;
    int16_t m_status = 0, m_data1 = 0, m_data2 = 0;
    // Counts the opens, so that a loss posted for an earlier open closes nothing.
    std::atomic<uint64_t> m_openSerial{0};
};

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
