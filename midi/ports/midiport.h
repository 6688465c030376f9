#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

#include "midi/ports/faultwatcher.h"

/// What the two port components share: the device list over several MIDI systems,
/// DeviceCount / DeviceID / DeviceName / PortState, and the Error event.
///
/// The program drives a port by writing properties; a port operation is a code written to
/// Action, performed at once, with nothing read back. Trouble is reported only through
/// Error, which is always posted to the UI thread (never raised inside the call that met
/// the trouble, nor from another thread), and once per condition: every fault, from every
/// thread, goes through the port's one FaultWatcher, which decides what is told.
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
    explicit MidiPort(QObject* parent);

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

    /// The text of a raised condition, on the thread that looks.
    virtual std::string describeFault(int16_t code) {
        (void)code;
        return {};
    }
    /// Runs at each look of the fault watcher: collects what the open device met.
    virtual void pollFaults() {}
    /// A condition is told: posts the Error event to the UI thread. Any thread but a
    /// real-time one.
    virtual void told(int16_t code, const std::string& text);

    FaultWatcher m_faults;
    std::vector<Device> m_devices;
    bool m_listed = false;
    int16_t m_deviceId = 0;
    int16_t m_portState = 0;
};
