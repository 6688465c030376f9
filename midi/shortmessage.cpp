#include "midi/shortmessage.h"

#include <cstdio>

namespace {

std::string hex(const unsigned char* bytes, std::size_t size) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < size && i < 8; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        out += buf;
    }
    if (size > 8)
        out += " ...";
    return out;
}

// Length of the message that `status` starts, as MIDI 1.0 defines it; 0 for
// the status bytes that start no short message (system exclusive and its end, F0 and F7).
std::size_t lengthOf(unsigned char status) {
    if (status < 0xF0) {
        const unsigned char kind = status & 0xF0;
        // Program change and channel pressure have one data byte; the others two.
        return kind == 0xC0 || kind == 0xD0 ? 2 : 3;
    }
    switch (status) {
        case 0xF1:  // time code quarter frame
        case 0xF3:  // song select
            return 2;
        case 0xF2:  // song position
            return 3;
        case 0xF0:
        case 0xF7:
            return 0;
        default:  // tune request, the real-time messages (clock, start, stop ...) and reset
            return 1;
    }
}

// What keeps bytes from being a short message.
enum class Flaw { None, Empty, NoStatus, SystemExclusive, TooShort, DataAbove7F };

Flaw flawOf(const unsigned char* bytes, std::size_t size) {
    if (size == 0 || !bytes)
        return Flaw::Empty;
    if (bytes[0] < 0x80)
        return Flaw::NoStatus;
    const std::size_t length = lengthOf(bytes[0]);
    if (length == 0)
        return Flaw::SystemExclusive;
    if (size < length)
        return Flaw::TooShort;
    for (std::size_t i = 1; i < length; ++i)
        if (bytes[i] > 0x7F)
            return Flaw::DataAbove7F;
    return Flaw::None;
}

}  // namespace

bool readShortMessage(const unsigned char* bytes, std::size_t size, ShortMessage& out) {
    if (flawOf(bytes, size) != Flaw::None)
        return false;
    const std::size_t length = lengthOf(bytes[0]);
    out.size = static_cast<uint8_t>(length);
    out.bytes = {};
    for (std::size_t i = 0; i < length; ++i)
        out.bytes[i] = bytes[i];
    return true;
}

std::string shortMessageError(const unsigned char* bytes, std::size_t size) {
    switch (flawOf(bytes, size)) {
        case Flaw::None:
            return {};
        case Flaw::Empty:
            return "the message is empty";
        case Flaw::NoStatus:
            return "the message " + hex(bytes, size) + " does not start with a status byte";
        case Flaw::SystemExclusive:
            return "the message " + hex(bytes, size) +
                   " is system exclusive, which this output does not send";
        case Flaw::TooShort:
            return "the message " + hex(bytes, size) + " is too short: it needs " +
                   std::to_string(lengthOf(bytes[0])) + " bytes";
        case Flaw::DataAbove7F:
            return "the message " + hex(bytes, size) + " has a data byte above 7F";
    }
    return {};
}
