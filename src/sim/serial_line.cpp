#include "sim/serial_line.h"

namespace ktal::sim {

std::int64_t CharacterMicros(const LineSettings& line) {
  if (line.baud == 0) return 0;
  const std::int64_t bits = 1 + line.wordLength + (line.parity != 0 ? 1 : 0) +
                            (line.stopBits == 2 ? 2 : 1);
  return (bits * 1'000'000 + line.baud - 1) / line.baud;
}

}  // namespace ktal::sim
