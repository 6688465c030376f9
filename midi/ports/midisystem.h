#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
/// The built-in synth cannot make sound (no soundfont, no audio output).
constexpr int16_t kSynthUnavailable = 6;
/// A message was written to a port that is not open. The window ignores this code: the
/// failure that left the port closed has been reported already.
constexpr int16_t kPortNotOpen = 8;
}  // namespace MidiError

/// Called by a backend when something goes wrong outside a call made on it (a JACK
/// server that shuts down, an audio thread that fails). It may run on any thread.
using AsyncErrorHandler = std::function<void(int16_t code, const std::string& text)>;

/// One MIDI system that output ports can be opened on: the ALSA sequencer, JACK, or the
/// built-in synth. At most one port of a system instance is open at a time.
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
    /// Sends one short message. dueNs is the CLOCK_MONOTONIC time (ns) at which it is to
    /// leave; 0 or a time already past means at once. False with a reason on failure.
    virtual bool send(const unsigned char* bytes, std::size_t size, int64_t dueNs,
                      std::string& error) = 0;
    /// Withdraws every message sent before this call that is due after `nowNs`
    /// (CLOCK_MONOTONIC ns): playback stopped, and the steps not yet due are not to sound.
    /// Messages due by then still leave, and so do messages sent after this call. A system
    /// that sends at once has nothing waiting and does nothing.
    virtual void withdrawAfter(int64_t nowNs) { (void)nowNs; }
    /// How far ahead of its due time a message may be handed over and still leave on time.
    /// 0 for a system that sends at once.
    virtual int64_t schedulingLeadNs() const { return 0; }
    /// Installed by the owning port before any other call.
    virtual void setAsyncErrorHandler(AsyncErrorHandler handler) {
        m_asyncError = std::move(handler);
    }

protected:
    void reportAsync(int16_t code, const std::string& text) const {
        if (m_asyncError)
            m_asyncError(code, text);
    }

private:
    AsyncErrorHandler m_asyncError;
};

/// One MIDI system that input ports can be opened on.
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
    virtual void setAsyncErrorHandler(AsyncErrorHandler handler) {
        m_asyncError = std::move(handler);
    }

protected:
    void reportAsync(int16_t code, const std::string& text) const {
        if (m_asyncError)
            m_asyncError(code, text);
    }

private:
    AsyncErrorHandler m_asyncError;
};
