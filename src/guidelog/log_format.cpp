// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/log_format.h"

#include <cstdio>
#include <cstring>

namespace ktal {

namespace {

std::uint16_t GetU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void PutU16(std::uint8_t* p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace

std::string GuiderFileName(std::uint32_t file_id) {
  char name[16];
  std::snprintf(name, sizeof name, "QD%06x", file_id & 0xFFFFFFu);
  return name;
}

bool IsValidStamp(std::uint16_t date, std::uint16_t time) {
  if (date == kUnsetDate) return true;
  const int month = DateMonth(date);
  if (month < 1 || month > 12) return false;
  if (DateDay(date) == 0) return false;
  if (TimeHour(time) >= 24) return false;
  if (TimeMinute(time) >= 60) return false;
  return true;
}

void EncodeDirectoryEntry(const DirectoryEntry& entry, std::uint8_t out[kDirectoryEntrySize]) {
  PutU16(out + 0, entry.first_page);
  std::memcpy(out + 2, entry.file_id, 3);
  out[5] = entry.flags;
  PutU16(out + 6, entry.created_date);
  PutU16(out + 8, entry.created_time);
  PutU16(out + 10, entry.modified_date);
  PutU16(out + 12, entry.modified_time);
  std::memcpy(out + 14, entry.reserved, sizeof entry.reserved);
  PutU16(out + 30, entry.saved_first_page);
}

DirectoryEntry DecodeDirectoryEntry(const std::uint8_t in[kDirectoryEntrySize]) {
  DirectoryEntry entry;
  entry.first_page = GetU16(in + 0);
  std::memcpy(entry.file_id, in + 2, 3);
  entry.flags = in[5];
  entry.created_date = GetU16(in + 6);
  entry.created_time = GetU16(in + 8);
  entry.modified_date = GetU16(in + 10);
  entry.modified_time = GetU16(in + 12);
  std::memcpy(entry.reserved, in + 14, sizeof entry.reserved);
  entry.saved_first_page = GetU16(in + 30);
  return entry;
}

void EncodeDataPage(const DataPage& page, std::uint8_t out[kDataPageSize]) {
  PutU16(out + 0, page.next_page);
  std::memcpy(out + 2, page.file_id, 3);
  out[5] = page.reserved5;
  PutU16(out + 6, page.data_size);
  std::memcpy(out + 8, page.reserved8, sizeof page.reserved8);
  std::memcpy(out + 16, page.data, kPageDataBytes);
}

void DecodeDataPage(const std::uint8_t in[kDataPageSize], DataPage& page) {
  page.next_page = GetU16(in + 0);
  std::memcpy(page.file_id, in + 2, 3);
  page.reserved5 = in[5];
  page.data_size = GetU16(in + 6);
  std::memcpy(page.reserved8, in + 8, sizeof page.reserved8);
  std::memcpy(page.data, in + 16, kPageDataBytes);
}

void EncodeRawHeader(std::uint8_t out[kRawHeaderSize]) {
  std::memset(out, 0, kRawHeaderSize);
  std::memcpy(out, kRawHeaderText, sizeof kRawHeaderText - 1);
}

}  // namespace ktal
