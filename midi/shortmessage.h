#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

/// One short MIDI message: a status byte and up to two data bytes. Everything the program
/// sends is one of these; system exclusive messages are not.
struct ShortMessage {
    static constexpr std::size_t kMaxBytes = 3;
    uint8_t size = 0;
    std::array<uint8_t, kMaxBytes> bytes{};

    uint8_t status() const { return bytes[0]; }
    /// A system message (status F0 and up) rather than a channel message.
    bool isSystem() const { return bytes[0] >= 0xF0; }
};

/// Checks `size` bytes as one short MIDI message and copies it into `out` with the length
/// its status byte gives: the port component always writes three bytes, so the third of a
/// two-byte message (program change, channel pressure) or the second and third of a one-byte
/// one (clock, start, stop, reset) are left off. False with a reason, which quotes the bytes
/// in hex, when the bytes are no such message.
bool checkShortMessage(const unsigned char* bytes, std::size_t size, ShortMessage& out,
                       std::string& error);
