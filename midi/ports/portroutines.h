#pragma once

#include <QString>

#include <cstdint>

class MIDIInput;
class MIDIOutput;

/// A drop-down list of the setup dialog, as the port routines see it.
class DeviceList {
public:
    virtual ~DeviceList() = default;
    virtual void addEntry(const QString& text) = 0;
    virtual int count() const = 0;
    /// Index of the selected entry, -1 when none is selected.
    virtual int selectedIndex() const = 0;
    virtual void select(int index) = 0;
};

// The port-opening routines. All port opening in the program goes through them; they run
// on the UI thread.

/// Reopens the output on the device of the selected output entry (entry k is device k-1).
void OpenMidiOut(MIDIOutput& out, const DeviceList& comboMidiOut);
/// Reopens the input on the device of the selected input entry (entry k is device k).
void OpenMidiIn(MIDIInput& in, const DeviceList& comboMidiIn);

/// The setup dialog's load steps: lists the output devices from -1 on and opens the output
/// on entry 0, then lists the input devices and opens the input on entry 0.
/// With no input device the input list stays empty and the input port is left closed:
/// there is no entry 0 to open.
void loadDeviceLists(MIDIOutput& out, DeviceList& comboMidiOut, MIDIInput& in,
                     DeviceList& comboMidiIn);
/// The setup dialog's OK: input first, then output. An empty input list opens nothing.
void applyDeviceLists(MIDIOutput& out, const DeviceList& comboMidiOut, MIDIInput& in,
                      const DeviceList& comboMidiIn);

/// All Notes Off on channel 10 (B9 7B 00), sent once and at once, ahead of notes still
/// waiting for their due time, which are left to play.
void sendPanic(MIDIOutput& out);
/// Closing the main window: the input is stopped and closed as its state asks, then the
/// output is closed.
void closePortsOnUnload(MIDIInput& in, MIDIOutput& out);
/// The Exit command: codes 5 and 2 to the input and 2 to the output, reading no state.
void closePortsOnExit(MIDIInput& in, MIDIOutput& out);
/// Whether a port error of this code is shown to the user (0 and 8 are not).
bool isShownError(int16_t code);
