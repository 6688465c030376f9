#pragma once

#include <memory>

#include "midi/ports/midisystem.h"

class JackServerLink;

/// MIDI output to JACK through this program's own JACK client, sample-accurate.
///
/// Each message is written in the JACK period that covers its due time, at the frame offset
/// of that time, so a message leaves on its frame whatever the period size; a message due
/// at once (or already past) goes at the earliest frame of the next period processed, unless
/// it is more than half a second late (held up by a server that stopped), when it is
/// dropped. The thread that sends hands messages to the JACK process thread through the
/// due-time queue.
///
/// Ports listed are the MIDI input ports of the other JACK clients ("client:port"); a
/// server that is not running lists none and is never started. When the server shuts down
/// or the connected port goes away, one kDeviceLost error is reported and further
/// messages are dropped until the port is opened again.
///
/// A server that stops answering never holds up the caller for more than about
/// JackServerLink::kAnswerNs per call: a listing it does not answer lists nothing and is
/// reported (kNotAnswering), an open fails, a close goes on without waiting. An open port
/// whose process cycles stop for a second reports kNotAnswering once, drops what is sent
/// until the cycles come again, and stays open.
///
/// The client also has the clock port ("clock"), from the open to the close, connected to
/// nothing by the program; its messages go through a due-time queue of their own and are
/// written in the same process callback, each at the frame of its due time. Opened with an
/// empty port name, the client has the clock port only: the clock of an output whose own
/// JACK client cannot carry it (the built-in synth's belongs to FluidSynth's JACK driver).
///
/// `link` is shared with the other systems on the same server; null makes one of its own.
std::unique_ptr<MidiOutSystem> makeJackMidiOutSystem(std::shared_ptr<JackServerLink> link = {});
