// SPDX-License-Identifier: GPL-3.0-or-later
// The log writer: the exact inverse of the reader. It codes a sequence of
// entities into the bits and bytes of a page stream, the way the guider
// records them, and hands back the data pages of the file (and, if wanted,
// the whole raw file image).
//
// Clocks: every entity carries its absolute clock. Before a star, variable,
// AE change or debug entity whose clock bytes 1..4 differ from the running
// clock the writer inserts an ENTITY_CLOCK (the short form when only bytes 1
// and 2 change, the long form when the date changes), so the caller never
// has to. Clock byte 0 of an ENTITY_CLOCK and the whole clock of a marker or
// of an unnamed type are not in the stream: they are always the running
// clock's. An open record with reopened = 1 gets the marker of value 1 in
// front of it when none is pending.
//
// entities() lists what the reader will decode from the pages, inserted
// clock entities and markers included, so a test can compare the two.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "guidelog/log_format.h"

namespace ktal {

class LogWriter {
 public:
  // Result codes of Append.
  static constexpr int kOk = 0;
  static constexpr int kLogFull = 1;       // no room left in 4096 pages
  static constexpr int kNotEncodable = 2;  // ENTITY_EOF, an unknown type, or
                                           // a debug text the stream can't
                                           // hold (first byte not 32..127)

  LogWriter();

  // Appends one entity (see the clock rules above); `text` is the text of a
  // debug entity of kind 0. On kLogFull or kNotEncodable nothing is written.
  int Append(const LogEntity& entity, std::string_view text = {});
  // The entities of a list with their texts; stops at a failure.
  int Append(const EntityList& entities);

  // The data pages of the stream so far: full pages chained one to the next
  // (page i is numbered (first_page + i) mod 4094, so every number is a
  // valid page of the guider), the last one an EOF page whose
  // next_page and data_size are the end mark the reader expects. There is
  // always at least one page. May be called at any time.
  std::vector<DataPage> Pages(std::uint32_t file_id = 0, std::uint16_t first_page = 0) const;
  // The whole raw file: header, the entry (first_page and file_id taken
  // from it) and Pages().
  std::vector<std::uint8_t> RawFile(const DirectoryEntry& entry) const;

  // What the reader will decode, in order (without the final ENTITY_EOF).
  const EntityList& entities() const { return written_; }
  // Pages in use, the one being filled included.
  int page_count() const { return static_cast<int>(data_.size()); }

  // --- Low-level stream access, for building damaged or odd streams. ---
  void WriteBit(int bit);
  void WriteBits(int count, std::uint32_t value);  // most significant first
  void WriteByte(std::uint8_t value);
  void WriteTypeCode(std::uint32_t type);  // also records it as last type

 private:
  struct Cursor {
    int page_index = 0;
    int byte_pos = 1;
    int bit_byte_pos = 0;
    int bit_index = 7;
  };
  using PageData = std::array<std::uint8_t, kPageDataBytes>;
  struct Saved;

  void NextPage();
  void WriteEntity(const LogEntity& entity, std::string_view text);
  // Brings clock bytes 1..4 to those of `tenths` and `date` with one
  // inserted clock entity, when they differ.
  void SyncClock(std::uint32_t tenths, std::uint16_t date);
  void WriteClock(std::uint32_t tenths, std::uint16_t date, bool is_open, std::uint8_t fw_minor,
                  std::uint8_t fw_major);
  void WriteMarker(std::uint8_t value);
  LogEntity& Record(std::uint32_t type);

  std::vector<PageData> data_;
  Cursor cursor_;
  // Where the last entity's type code began.
  Cursor entity_start_{-1, 0, 0, 0};
  std::uint32_t last_type_ = kInitialEntityType;
  std::uint32_t clock_tenths_ = 0;
  std::uint16_t clock_date_ = 0;
  std::uint8_t reopen_pending_ = 0;
  EntityList written_;
};

}  // namespace ktal
