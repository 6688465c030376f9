#pragma once

#include <cstdint>

/// The codes written to a MIDI port component's Action property. One list for both kinds of
/// port; each says what it does on an input and on an output.
namespace PortAction {
/// Open the device DeviceID selects.
constexpr int16_t kOpen = 1;
/// Close the port; nothing on a closed port.
constexpr int16_t kClose = 2;
/// Input: start taking in messages. Output: nothing (an output is ready once open).
constexpr int16_t kStart = 4;
/// Input: stop taking in messages.
constexpr int16_t kStop = 5;
/// Output: send the three bytes Status, Data1, Data2.
constexpr int16_t kSend = 7;
}  // namespace PortAction
