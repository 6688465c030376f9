#include "midi/ports/portroutines.h"

#include <mutex>

#include "core/portaction.h"
#include "midi/ports/midiinput.h"
#include "midi/ports/midioutput.h"

using namespace PortAction;

void OpenMidiOut(MIDIOutput& out, const DeviceList& comboMidiOut) {
    const int16_t state = out.PortState();
    const int16_t id = out.DeviceID();
    if (state >= 1 || id == -1)
        out.setAction(kClose);
    out.setDeviceID(static_cast<int16_t>(comboMidiOut.selectedIndex() - 1));
    out.setAction(kOpen);
}

void OpenMidiIn(MIDIInput& in, const DeviceList& comboMidiIn) {
    if (in.PortState() >= 1)
        in.setAction(kClose);
    in.setDeviceID(static_cast<int16_t>(comboMidiIn.selectedIndex()));
    in.setAction(kOpen);
}

void loadDeviceLists(MIDIOutput& out, DeviceList& comboMidiOut, MIDIInput& in,
                     DeviceList& comboMidiIn) {
    const int16_t n = out.DeviceCount();
    for (int i = -1; i < n; ++i) {
        out.setDeviceID(static_cast<int16_t>(i));
        comboMidiOut.addEntry(out.DeviceName());
    }
    comboMidiOut.select(0);
    out.setDeviceID(-1);
    OpenMidiOut(out, comboMidiOut);

    const int16_t m = in.DeviceCount();
    for (int i = 0; i < m; ++i) {
        in.setDeviceID(static_cast<int16_t>(i));
        comboMidiIn.addEntry(in.DeviceName());
    }
    // No input device: there is no entry 0, so nothing is selected or opened.
    if (comboMidiIn.count() == 0)
        return;
    comboMidiIn.select(0);
    in.setDeviceID(0);
    OpenMidiIn(in, comboMidiIn);
}

void applyDeviceLists(MIDIOutput& out, const DeviceList& comboMidiOut, MIDIInput& in,
                      const DeviceList& comboMidiIn) {
    if (comboMidiIn.selectedIndex() >= 0)
        OpenMidiIn(in, comboMidiIn);
    OpenMidiOut(out, comboMidiOut);
}

void sendPanic(MIDIOutput& out) {
    // The panic leaves at once, ahead of notes already handed over for later steps; those
    // still play at their steps, as they would have had they been sent at their ticks.
    // Control Change on channel 10 (B9), controller 123: All Notes Off.
    out.setStatus(185);
    out.setData1(123);
    out.setData2(0);
    out.setAction(kSend);
}

void closePortsOnUnload(MIDIInput& in, MIDIOutput& out) {
    const int16_t state = in.PortState();
    if (state != 0 && state != 1)
        in.setAction(kStop);
    if (in.PortState() != 0)
        in.setAction(kClose);
    out.setAction(kClose);
}

void closePortsOnExit(MIDIInput& in, MIDIOutput& out) {
    in.setAction(kStop);
    in.setAction(kClose);
    out.setAction(kClose);
}

bool isShownError(int16_t code) {
    return code != MidiError::kNone && code != MidiError::kPortNotOpen;
}
