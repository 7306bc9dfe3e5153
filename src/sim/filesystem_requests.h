// SPDX-License-Identifier: GPL-3.0-or-later
// The hand controller's file-system mode, served from a FlashStore.
//
// Normal and file-system mode:
//   0xD3 -> echo 0xD3, then
//           0x80 (enter) -> 0xAA and file-system mode; 0x00 while busy
//           0x00 (leave) -> 0x55 and normal mode; 0x00 while busy
// File-system mode only:
//   0xDD lo hi arg -> page (hi << 8 | lo) & 0x0FFF in chunks of 120, 120,
//           120, 120 and 48 bytes; each chunk after the first is asked for
//           with another 0xDD; the last is followed by the trailer 0xFF
//   0xDF   -> echo 0xDF, then 0x10 + entry index (0..15) -> 0x00 and bit 0
//           of the entry's flags set; any other index -> 0x01
#pragma once

#include <cstdint>
#include <optional>

#include "sim/flash_store.h"

namespace ktal::sim {

class HandController;

// What a test or the interactive simulator can make go wrong.
struct FileSystemFaults {
  // A firmware without file-system support does not echo 0xD3.
  bool supported = true;
  // Busy answers (0x00) to the next enter requests before one succeeds;
  // and to leave requests before one leaves.
  int enterBusyAnswers = 0;
  int leaveBusyAnswers = 0;
  // The next read of this page ends with the trailer 0x00.
  std::optional<std::uint16_t> badTrailerPage;
  // The next read of `page` sends only `bytes` bytes of chunk `chunk`
  // (0..4) and nothing more: the request ends there.
  struct ShortChunk {
    std::uint16_t page = 0;
    int chunk = 0;
    int bytes = 0;
  };
  std::optional<ShortChunk> shortChunk;
  // The next n mark requests are refused (0x01).
  int refusedMarks = 0;
  // Page reads served so far (complete or not), for tests.
  int pageReads = 0;
};

void InstallFileSystemRequests(HandController& controller, FlashStore& flash,
                               FileSystemFaults& faults);

}  // namespace ktal::sim
