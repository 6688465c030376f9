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

/// Reads `size` bytes as one short MIDI message into `out`, with the length its status byte
/// gives: the port component always writes three bytes, so the third of a two-byte message
/// (program change, channel pressure) or the second and third of a one-byte one (clock,
/// start, stop, reset) are left off. False when the bytes are no such message. Makes no
/// allocation and formats no text, so real-time threads may use it.
bool readShortMessage(const unsigned char* bytes, std::size_t size, ShortMessage& out);
/// Why readShortMessage() refuses `bytes`, quoting them in hex ("the message 99 C8 66 has a
/// data byte above 7F"); empty when it takes them.
std::string shortMessageError(const unsigned char* bytes, std::size_t size);
