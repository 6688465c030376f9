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

}  // namespace

bool checkShortMessage(const unsigned char* bytes, std::size_t size, ShortMessage& out,
                       std::string& error) {
    if (size == 0 || !bytes) {
        error = "the message is empty";
        return false;
    }
    const unsigned char status = bytes[0];
    if (status < 0x80) {
        error = "the message " + hex(bytes, size) + " does not start with a status byte";
        return false;
    }
    const std::size_t length = lengthOf(status);
    if (length == 0) {
        error = "the message " + hex(bytes, size) +
                " is system exclusive, which this output does not send";
        return false;
    }
    if (size < length) {
        error = "the message " + hex(bytes, size) + " is too short: it needs " +
                std::to_string(length) + " bytes";
        return false;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (bytes[i] > 0x7F) {
            error = "the message " + hex(bytes, size) + " has a data byte above 7F";
            return false;
        }
    }
    out.size = static_cast<uint8_t>(length);
    out.bytes = {};
    for (std::size_t i = 0; i < length; ++i)
        out.bytes[i] = bytes[i];
    return true;
}
