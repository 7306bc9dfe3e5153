// SPDX-License-Identifier: GPL-3.0-or-later
// What travels between the USB chip and the hand controller: the serial
// line (bytes with the line settings they were sent with) and the four CBUS
// lines. These types are shared by every chip model that the hand
// controller can sit behind.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ktal::sim {

// Line settings of one end, in the vendor driver's terms: stopBits 0 is one
// stop bit, 2 is two; parity 0 is none.
struct LineSettings {
  std::uint32_t baud = 9600;
  std::uint8_t wordLength = 8;
  std::uint8_t stopBits = 0;
  std::uint8_t parity = 0;

  bool operator==(const LineSettings&) const = default;
};

// Time one character occupies the line: start bit, data bits, parity bit,
// stop bits, rounded up to whole microseconds (1042 at 9600 8N1, 40 at
// 250000, 5 at 2000000).
std::int64_t CharacterMicros(const LineSettings& line);

// Whether a UART reads characters sent at another speed: the sender's rate
// must be within 3 % of the receiver's, as the bit sampling allows.
bool SpeedsMatch(std::uint32_t sender, std::uint32_t receiver);
// Same word length, stop bits and parity.
bool SameFormat(const LineSettings& a, const LineSettings& b);

enum class LineDirection { kHostToGuider, kGuiderToHost };

// What became of one byte on the line.
enum class LineFate {
  kDelivered,       // the far end took it
  kNotListening,    // far end off, restarting, or its port closed
  kBaudMismatch,    // the two ends ran at different speeds: garbage, lost
  kFormatMismatch,  // same speed, different data format: framing error, lost
  kDropped,         // removed by an injected fault
};

// One byte on the line, as a trace entry. `baud` is the sender's speed.
struct LineTraceEntry {
  std::int64_t atMicros = 0;
  LineDirection direction = LineDirection::kHostToGuider;
  std::uint8_t byte = 0;
  std::uint32_t baud = 0;
  LineFate fate = LineFate::kDelivered;
};

// One line per byte, for failure messages:
// "   1.042 ms  host>guider  AA  9600"  and, when lost, "  (baud mismatch)".
std::string FormatLineTrace(const std::vector<LineTraceEntry>& trace);

// The CBUS lines as the chip drives them: bit n = CBUSn; a line is driven
// only when its direction bit is 1 (output).
struct CbusSample {
  std::int64_t atMicros = 0;
  std::uint8_t directions = 0;
  std::uint8_t levels = 0;
};

// Where the hand controller's outgoing bytes go (the chip's receive side).
// The sink decides whether the byte arrives and says so.
using ByteSink = std::function<LineFate(std::uint8_t byte, const LineSettings& sender)>;

}  // namespace ktal::sim
