// SPDX-License-Identifier: GPL-3.0-or-later
// The hand controller's file-system mode: entering and leaving it, reading
// one 528-byte page of its flash, and marking a directory entry as
// downloaded. All four talk through the link they are given, which must be
// open with the hand controller in normal mode (EnterDeviceMode(3)) before
// entering; the forms without one work on g_device.
#pragma once

#include <cstdint>

#include "link/ftdi_device.h"

namespace ktal {

// Flash geometry: pages 0..4093 hold file data, 4094 is reserved, 4095 is
// the directory page with 16 entries of 32 bytes.
inline constexpr int kFlashPages = 4096;
inline constexpr std::uint16_t kDirectoryPage = 4095;
inline constexpr std::uint16_t kReservedPage = 4094;
inline constexpr int kDirectoryEntries = 16;

// 0 in file-system mode; 1 on any failure, with the text in
// g_protocolMessage and the link closed. Takes up to five attempts while
// the hand controller answers busy.
int EnterFileSystemMode(CFtdiDevice& device);
// Sends the leave request five times, as the hand controller needs. 0, or
// 1 with the text in g_protocolMessage and the link closed.
int LeaveFileSystemMode(CFtdiDevice& device);

// Why a page read failed. kLinkFailed and kNoAnswer mean the link is gone
// (the driver failed, or nothing came back within the read time-out);
// the other two mean the guider answered, but not with a whole page.
enum class PageReadFault {
  kNone,
  kLinkFailed,  // a driver call failed
  kNoAnswer,    // a read brought no byte within the read time-out
  kShortChunk,  // part of a chunk came, then nothing more
  kBadTrailer,  // all 528 bytes came, the trailer was not 0xFF
};

// Reads page `page` (0..4095) into `buffer` (528 bytes). 0, or 1 on any
// failure; no message is composed and the link stays open, so the link's
// own error text tells what failed. `fault`, when given, says why.
int ReadPage(CFtdiDevice& device, std::uint16_t page, std::uint8_t* buffer,
             PageReadFault* fault = nullptr);

// Sets the downloaded flag of directory entry `index`. 0 set; 1 the link
// failed or the hand controller refused; 2 the index is above 16 and
// nothing was sent. No message; the link stays open.
int MarkDownloaded(CFtdiDevice& device, unsigned index);

// On g_device.
inline int EnterFileSystemMode() { return EnterFileSystemMode(g_device); }
inline int LeaveFileSystemMode() { return LeaveFileSystemMode(g_device); }
inline int ReadPage(std::uint16_t page, std::uint8_t* buffer, PageReadFault* fault = nullptr) {
  return ReadPage(g_device, page, buffer, fault);
}
inline int MarkDownloaded(unsigned index) { return MarkDownloaded(g_device, index); }

}  // namespace ktal
