#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/messageoutput.h"
#include "core/pimutex.h"
#include "midi/ports/midiport.h"
#include "midi/ports/midisystem.h"

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
/// A message that cannot be sent (a closed port, bytes that are no short MIDI message, a
/// device that does not take it) only raises its condition on the sending thread, which may
/// be the step engine's real-time thread: the port's fault watcher tells it, with its text.
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

    /// The open system's clock port (MidiOutSystem::sendClock), for the step engine's MIDI
    /// clock: sent like the notes, from the same threads and under the same rules, with the
    /// same lead. While the port is closed what is sent there goes nowhere.
    MessageOutput& clockOutput() { return m_clockOutput; }

    QString DeviceName() override;

protected:
    void listDevices() override;
    const Device* selectedDevice() override;

private:
    class ClockOutput final : public MessageOutput {
    public:
        explicit ClockOutput(MIDIOutput& port) : m_port(port) {}
        void send(const uint8_t* bytes, std::size_t size, int64_t dueNs) override {
            m_port.hand(bytes, size, dueNs, true);
        }
        void withdrawAfter(int64_t timeNs) override;
        int64_t leadNs() const override { return m_port.leadNs(); }

    private:
        MIDIOutput& m_port;
    };

    void open();
    void close();
    // Hands one message to the open system's note port, or to its clock port.
    void hand(const uint8_t* bytes, std::size_t size, int64_t dueNs, bool clock);
    MidiOutSystem* system(int index) const;
    std::string describeFault(int16_t code) override;
    void pollFaults() override;
    void told(int16_t code, const std::string& text) override;

    std::unique_ptr<MidiOutSystem> m_builtin;
    std::vector<std::unique_ptr<MidiOutSystem>> m_systems;
    // Held while a message is handed over, and while m_open changes.
    mutable PiMutex m_sendMutex;
    MidiOutSystem* m_open = nullptr;
    // The first message since the open that was no short MIDI message, kept for the text
    // that tells it (under m_sendMutex).
    std::array<uint8_t, 8> m_refused{};
    std::size_t m_refusedSize = 0;
    bool m_refusedKept = false;
    // The clock port refused a message since the open (under m_sendMutex).
    bool m_clockRefused = false;
    ClockOutput m_clockOutput{*this};
    // The open system as the fault watcher sees it: set before the senders get it, cleared
    // after the last look at it (changed between looks only).
    MidiOutSystem* m_watched = nullptr;
    Device m_builtinDevice;
    int16_t m_status = 0, m_data1 = 0, m_data2 = 0;
    // Counts the opens, so that a loss posted for an earlier open closes nothing.
    std::atomic<uint64_t> m_openSerial{0};
};
