#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "midi/ports/faultwatcher.h"
#include "midi/shortmessage.h"

/// Error codes that the port components report through their Error event.
/// The window ignores codes 0 and 8 and shows every other one.
namespace MidiError {
constexpr int16_t kNone = 0;
/// DeviceID names no device of the last listing.
constexpr int16_t kNoSuchDevice = 1;
/// The device exists but could not be opened.
constexpr int16_t kOpenFailed = 2;
/// A message could not be sent on an open port.
constexpr int16_t kSendFailed = 3;
/// The device, its client or the whole MIDI system went away while the port was open.
constexpr int16_t kDeviceLost = 4;
/// The MIDI system does not answer (a JACK server that stopped): its ports are not
/// listed, or an open port plays nothing until it answers again. The port stays as it is.
constexpr int16_t kNotAnswering = 5;
/// The built-in synth cannot make sound (no soundfont, no audio output, a failed render).
constexpr int16_t kSynthUnavailable = 6;
/// A message was written to a port that is not open. The window ignores this code: the
/// failure that left the port closed has been told already, or the user closed it.
constexpr int16_t kPortNotOpen = 8;
}  // namespace MidiError

/// One MIDI system that output ports can be opened on: the ALSA sequencer, JACK, or the
/// built-in synth. At most one port of a system instance is open at a time.
///
/// Faults: what goes wrong in a call made on the UI thread (a listing, an open) is told to
/// the port's fault watcher with its text; what goes wrong on the system's own threads is
/// flagged there and raised by poll(), and its text given by describe(). The watcher decides
/// what the user is told.
class MidiOutSystem {
public:
    virtual ~MidiOutSystem() = default;
    /// Shown before each device name ("ALSA", "JACK"); empty for the built-in synth.
    virtual std::string systemName() const = 0;
    /// The ports that can be opened now. A system that is not available lists none.
    virtual std::vector<std::string> listPorts() = 0;
    /// Opens one of the names that listPorts gave. False with a reason on failure.
    virtual bool open(const std::string& port, std::string& error) = 0;
    /// Closes the port; does nothing when none is open.
    virtual void close() = 0;
    /// Hands over one message, to leave at `dueNs` (CLOCK_MONOTONIC ns; 0 or a time already
    /// past means at once). False when the system cannot take it (too many wait, the device
    /// refused it): the port then reports kSendFailed with sendFailure() as the cause. Called
    /// on the step engine's real-time thread: never allocates, formats text or waits on a lock
    /// that does not lend the waiter's priority.
    virtual bool send(const ShortMessage& message, int64_t dueNs) = 0;
    /// Why messages were not sent since the open ("JACK is not taking the messages: ..."),
    /// asked off the real-time threads.
    virtual std::string sendFailure() const { return "the device did not take the message"; }
    /// Withdraws every message sent before this call that is due after `nowNs`
    /// (CLOCK_MONOTONIC ns): playback stopped, and the steps not yet due are not to sound.
    /// Messages due by then still leave, and so do messages sent after this call. A system
    /// that sends at once has nothing waiting and does nothing.
    virtual void withdrawAfter(int64_t nowNs) { (void)nowNs; }
    /// How far ahead of its due time a message may be handed over and still leave on time.
    /// 0 for a system that sends at once.
    virtual int64_t schedulingLeadNs() const { return 0; }

    /// The clock port: a second output of the program's own client on this system, named
    /// "clock", which carries MIDI clock, Start and Stop and nothing else. It is there from
    /// open() to close(), whichever port was opened, and the program connects it to nothing.
    /// sendClock() and withdrawClockAfter() are send() and withdrawAfter() for it, called
    /// the same way and as exact: each message leaves at its due time, within the same lead.
    /// False when it cannot take a message: the port then reports kSendFailed, with
    /// clockSendFailure() as the cause. A system that has no clock port takes the messages
    /// and drops them.
    virtual bool sendClock(const ShortMessage& message, int64_t dueNs) {
        (void)message;
        (void)dueNs;
        return true;
    }
    virtual void withdrawClockAfter(int64_t nowNs) { (void)nowNs; }
    virtual std::string clockSendFailure() const { return sendFailure(); }

    /// While open, at each look of the port's fault watcher, on its thread: raises what the
    /// system's own threads have flagged since, and what the checks over time find.
    virtual void poll() {}
    /// The text of a condition the system raised, asked while it is open.
    virtual std::string describe(int16_t code) const {
        (void)code;
        return {};
    }
    /// Installed by the owning port before any other call; a system no port owns (tested
    /// alone) reports nothing.
    virtual void setFaultWatcher(FaultWatcher* faults) { m_faults = faults; }

protected:
    void raise(int16_t code) const noexcept {
        if (m_faults)
            m_faults->raise(code);
    }
    void tell(int16_t code, const std::string& text) const {
        if (m_faults)
            m_faults->tell(code, text);
    }
    void forget(int16_t code) const {
        if (m_faults)
            m_faults->forget(code);
    }

private:
    FaultWatcher* m_faults = nullptr;
};

/// One MIDI system that input ports can be opened on. Its trouble is what an open returns.
class MidiInSystem {
public:
    virtual ~MidiInSystem() = default;
    virtual std::string systemName() const = 0;
    virtual std::vector<std::string> listPorts() = 0;
    virtual bool open(const std::string& port, std::string& error) = 0;
    virtual void close() = 0;
    /// Whether incoming messages are taken in. Nothing in the program reads them: they are
    /// taken off the port and dropped, so they never pile up.
    virtual void setReceiving(bool on) = 0;
};
