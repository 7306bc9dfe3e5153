// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/serial_line.h"

#include <cstdio>

namespace ktal::sim {

std::int64_t CharacterMicros(const LineSettings& line) {
  if (line.baud == 0) return 0;
  const std::int64_t bits =
      1 + line.wordLength + (line.parity != 0 ? 1 : 0) + (line.stopBits == 2 ? 2 : 1);
  return (bits * 1'000'000 + line.baud - 1) / line.baud;
}

bool SpeedsMatch(std::uint32_t sender, std::uint32_t receiver) {
  if (sender == 0 || receiver == 0) return false;
  const std::uint64_t diff = sender > receiver ? sender - receiver : receiver - sender;
  return diff * 100 <= std::uint64_t{3} * receiver;
}

bool SameFormat(const LineSettings& a, const LineSettings& b) {
  return a.wordLength == b.wordLength && a.stopBits == b.stopBits && a.parity == b.parity;
}

std::string FormatLineTrace(const std::vector<LineTraceEntry>& trace) {
  std::string text;
  char line[96];
  for (const LineTraceEntry& e : trace) {
    const char* fate = "";
    switch (e.fate) {
      case LineFate::kDelivered:
        fate = "";
        break;
      case LineFate::kNotListening:
        fate = "  (not listening)";
        break;
      case LineFate::kBaudMismatch:
        fate = "  (baud mismatch)";
        break;
      case LineFate::kFormatMismatch:
        fate = "  (format mismatch)";
        break;
      case LineFate::kDropped:
        fate = "  (dropped)";
        break;
    }
    std::snprintf(line, sizeof line, "%8lld.%03lld ms  %s  %02X  %u%s\n",
                  static_cast<long long>(e.atMicros / 1000),
                  static_cast<long long>(e.atMicros % 1000),
                  e.direction == LineDirection::kHostToGuider ? "host>guider" : "guider>host",
                  e.byte, static_cast<unsigned>(e.baud), fate);
    text += line;
  }
  return text;
}

}  // namespace ktal::sim
