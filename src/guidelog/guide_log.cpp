// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/guide_log.h"

#include <cstring>

namespace ktal {

namespace {

constexpr int kLastDataByte = static_cast<int>(kPageDataBytes) - 1;

// The page-stream reader over the stored pages. A read past the last stored
// page yields zero bytes and zero bits, so a log cut off in the middle of an
// entity still decodes up to its end (and is then called broken).
class StreamReader {
 public:
  StreamReader(const DataPage* pages, int last_page_index, StreamCursor& cursor)
      : pages_(pages), last_(last_page_index), c_(cursor) {}

  bool PastStoredPages() const { return c_.page_index > last_; }

  int ReadBit() {
    if (PastStoredPages()) return 0;
    const int bit = (pages_[c_.page_index].data[c_.bit_byte_pos] >> c_.bit_index) & 1;
    if (c_.bit_index > 0) {
      --c_.bit_index;
    } else if (c_.byte_pos == kLastDataByte) {
      // Byte 511 is never a bit byte: the stream goes on at the next page.
      NextPage();
    } else {
      c_.bit_byte_pos = c_.byte_pos++;
      c_.bit_index = 7;
    }
    return bit;
  }

  std::uint32_t ReadBits(int count) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 1) | ReadBit();
    return value;
  }

  std::uint8_t ReadByte() {
    if (PastStoredPages()) return 0;
    const std::uint8_t value = pages_[c_.page_index].data[c_.byte_pos];
    if (++c_.byte_pos > kLastDataByte) NextPage();
    return value;
  }

  std::uint32_t ReadU16() {
    const std::uint32_t lo = ReadByte();
    return lo | (std::uint32_t{ReadByte()} << 8);
  }

  std::uint32_t ReadU24() {
    const std::uint32_t lo = ReadU16();
    return lo | (std::uint32_t{ReadByte()} << 16);
  }

 private:
  void NextPage() {
    ++c_.page_index;
    c_.bit_byte_pos = 0;
    c_.bit_index = 7;
    c_.byte_pos = 1;
  }

  const DataPage* pages_;
  int last_;
  StreamCursor& c_;
};

void SetClockByte(std::uint32_t& tenths, int byte, std::uint8_t value) {
  const int shift = byte * 8;
  tenths = (tenths & ~(0xFFu << shift)) | (std::uint32_t{value} << shift);
}

void SetDateByte(std::uint16_t& date, int byte, std::uint8_t value) {
  const int shift = byte * 8;
  date = static_cast<std::uint16_t>((date & ~(0xFF << shift)) | (value << shift));
}

}  // namespace

GuideLog::GuideLog() { pages.reserve(kMaxLogPages); }

int GuideLog::BeginLog(std::uint16_t created_date, std::uint16_t created_time,
                       std::uint16_t modified_date, std::uint16_t modified_time) {
  page_count = 0;
  pages.clear();
  last_page_index = -1;
  last_data_size = 0;
  end_byte_index = 0;
  end_bit_index = -1;
  entities.clear();
  scan_cursor = 0;
  positions.clear();
  positions.shrink_to_fit();
  if (!IsValidStamp(created_date, created_time)) return 1;
  if (!IsValidStamp(modified_date, modified_time)) return 1;
  return 0;
}

int GuideLog::AddPage(const DataPage& page) {
  if (page_count >= kMaxLogPages) return 1;
  pages.push_back(page);
  last_page_index = page_count;
  ++page_count;
  last_data_size = page.data_size;
  if (page.next_page >= kEmptyPageMin) {
    last_data_size = 0;
    end_byte_index = 0;
    end_bit_index = -1;
  } else if (page.next_page >= kEofPageFlag) {
    end_byte_index = page.next_page & 0x1FF;
    end_bit_index = (page.next_page >> 9) & 0x7;
  } else {
    // A chain link as the last page: the log was cut off. The end byte
    // stays as it was.
    end_bit_index = -1;
  }
  return 0;
}

int GuideLog::ReadRawFile(std::FILE* file, DirectoryEntry& entry) {
  std::uint8_t header[kRawHeaderSize];
  std::uint8_t entry_bytes[kDirectoryEntrySize];
  if (std::fread(header, 1, sizeof header, file) != sizeof header) return 1;
  if (std::fread(entry_bytes, 1, sizeof entry_bytes, file) != sizeof entry_bytes) {
    return 1;
  }
  // The text and the zero after it must match; the bytes after that zero
  // are not looked at.
  if (std::memcmp(header, kRawHeaderText, sizeof kRawHeaderText) != 0) return 2;
  entry = DecodeDirectoryEntry(entry_bytes);
  if (BeginLog(entry.created_date, entry.created_time, entry.modified_date, entry.modified_time) !=
      0) {
    return 3;
  }
  std::uint8_t bytes[kDataPageSize];
  DataPage page;
  while (page_count < kMaxLogPages) {
    const std::size_t got = std::fread(bytes, 1, sizeof bytes, file);
    if (got == 0) break;
    if (got != sizeof bytes) return 1;
    DecodeDataPage(bytes, page);
    AddPage(page);
  }
  return 0;
}

int GuideLog::BuildEntities(UnnamedRepeats repeats) {
  entities.clear();
  scan_cursor = 0;
  cursor = StreamCursor{};
  last_type = kInitialEntityType;
  clock = RunningClock{};
  reopen_pending = 0;
  // Room for one entity per four bytes is more than guiding logs hold (a
  // star measurement takes about eight), and small enough for the
  // allocator to reuse from one log to the next rather than fault in anew.
  // A list that grows briefly holds its old and new buffers at once; with
  // repeats dropped it grows once, straight to the most the stream can
  // hold: every kept entity takes at least a byte of it (a marker of the
  // same type takes 9 bits; an unnamed one kept follows another type and
  // takes at least 4 bits of type code). Room that is never written costs
  // no memory.
  const std::size_t stream_bytes = static_cast<std::size_t>(page_count) * (kPageDataBytes - 1);
  const std::size_t most_kept = stream_bytes + 2;
  entities.reserve(stream_bytes / 4 + 2);
  const bool drop_repeats = repeats == UnnamedRepeats::kDrop;
  bool last_kept_unnamed = false;
  std::string& texts = entities.text_store();

  StreamReader in(pages.data(), last_page_index, cursor);
  auto more = [this, &in] {
    if (in.PastStoredPages()) return false;
    if (cursor.page_index < last_page_index) return true;
    return cursor.byte_pos < last_data_size &&
           (cursor.bit_byte_pos < end_byte_index || cursor.bit_index > end_bit_index);
  };

  int result = 0;
  while (more()) {
    std::uint32_t type = last_type;
    if (in.ReadBit()) {
      const std::uint32_t a = in.ReadBits(3);
      if (a < 7) {
        type = 0x8F + 16 * a;
      } else if (!in.ReadBit()) {
        type = ENTITY_DEBUG;
      } else if (in.ReadBits(2) == 3) {
        type = ENTITY_UNNAMED_FF;
      } else {
        result = 1;
        break;
      }
    }

    if (drop_repeats && entities.size() == entities.capacity()) entities.reserve(most_kept);
    LogEntity& e = entities.emplace_back();
    e.type = type;
    std::uint32_t tenths = clock.tenths;
    std::uint16_t date = clock.date;
    bool error = false;
    switch (type) {
      case ENTITY_STAR: {
        SetClockByte(tenths, 0, in.ReadByte());
        const std::uint8_t flags = in.ReadByte();
        StarPayload& s = e.star;
        if (flags & 0x80) {
          s.no_star = 1;
          s.ra_correction_flag = 1;
          s.dec_correction_flag = 1;
          break;
        }
        s.is_position = flags & 0x01;
        s.ra_correction_flag = (flags >> 1) & 0x01;
        s.dec_correction_flag = (flags >> 2) & 0x01;
        if (s.is_position) {
          s.x = static_cast<std::int32_t>(in.ReadU24());
          s.y = static_cast<std::int32_t>(in.ReadU24());
        } else {
          s.x = static_cast<std::int16_t>(in.ReadU16());
          s.y = static_cast<std::int16_t>(in.ReadU16());
        }
        if (s.ra_correction_flag) s.ra_correction = static_cast<std::int8_t>(in.ReadByte());
        if (s.dec_correction_flag) s.dec_correction = static_cast<std::int8_t>(in.ReadByte());
        break;
      }
      case ENTITY_VARIABLE: {
        SetClockByte(tenths, 0, in.ReadByte());
        VariablePayload& v = e.variable;
        v.variable_id = in.ReadByte();
        v.length = in.ReadByte();
        for (int i = 0; i < v.length; ++i) {
          // Bytes beyond the 16 kept are consumed and dropped.
          const std::uint8_t b = in.ReadByte();
          if (i < kVariableValueBytes) v.value[i] = b;
        }
        break;
      }
      case ENTITY_AE_CHANGE: {
        SetClockByte(tenths, 0, in.ReadByte());
        const std::uint8_t state = in.ReadByte();
        e.ae.ae_state = state & 0x3F;
        e.ae.foc_flag = (state >> 6) & 0x01;
        e.ae.exp_flag = (state >> 7) & 0x01;
        if (in.ReadByte() != 0) error = true;
        break;
      }
      case ENTITY_CLOCK: {
        const std::uint8_t b = in.ReadByte();
        const std::uint8_t c = in.ReadByte();
        if (b < 0xF0) {
          SetClockByte(tenths, 2, b);
          SetClockByte(tenths, 1, c);
        } else {
          SetDateByte(date, 1, c);
          SetDateByte(date, 0, in.ReadByte());
          SetClockByte(tenths, 2, in.ReadByte());
          SetClockByte(tenths, 1, in.ReadByte());
          if (b == 0xFF) {
            e.clock.fw_minor = in.ReadByte();
            e.clock.fw_major = in.ReadByte();
            e.clock.is_open = 1;
            e.clock.reopened = reopen_pending;
            reopen_pending = 0;
          }
        }
        break;
      }
      case ENTITY_MARKER:
        e.marker.value = in.ReadByte();
        if (e.marker.value == 1) reopen_pending = 1;
        break;
      case ENTITY_DEBUG: {
        SetClockByte(tenths, 0, in.ReadByte());
        const std::uint8_t k = in.ReadByte();
        DebugPayload& d = e.debug;
        if (k == 0 || (k >= 32 && k <= 127)) {
          d.debug_kind = kDebugText;
          d.has_text = 1;
          d.text_offset = static_cast<std::uint32_t>(texts.size());
          if (k != 0) {
            texts.push_back(static_cast<char>(k));
            // A text cut off by the end of the stored pages ends there: past
            // them every byte reads as zero.
            for (std::uint8_t ch; (ch = in.ReadByte()) != 0;) {
              texts.push_back(static_cast<char>(ch));
            }
          }
          d.text_size = static_cast<std::uint32_t>(texts.size() - d.text_offset);
        } else if (k <= 15) {
          d.debug_kind = k;
          for (int i = 0; i < (k & 7); ++i) d.value[i] = in.ReadByte();
        } else {
          d.debug_kind = kDebugInvalid;
        }
        break;
      }
      default:
        // The unnamed types carry nothing but their type.
        break;
    }
    if (error) {
      entities.pop_back();
      result = 1;
      break;
    }
    const bool unnamed =
        type == ENTITY_UNNAMED_BF || type == ENTITY_UNNAMED_EF || type == ENTITY_UNNAMED_FF;
    if (drop_repeats && unnamed && last_kept_unnamed) {
      // Decoded for its bits and type, not kept. It has no clock of its own.
      entities.pop_back();
      last_type = type;
      continue;
    }
    last_kept_unnamed = unnamed;
    e.clock_tenths = tenths;
    e.clock_date = date;
    clock.tenths = tenths;
    clock.date = date;
    last_type = type;
  }

  LogEntity& eof = entities.emplace_back();
  eof.type = ENTITY_EOF;
  eof.clock_tenths = clock.tenths;
  eof.clock_date = clock.date;
  // A log with no stored page is an empty stream, not a broken one.
  const bool at_end_mark = page_count == 0 || (cursor.page_index == last_page_index &&
                                               cursor.bit_byte_pos == end_byte_index &&
                                               cursor.bit_index == end_bit_index);
  eof.eof.broken = at_end_mark ? 0 : 1;
  return result;
}

const char* FormatClockTime(const LogEntity& entity) {
  static char buffer[32];
  const std::uint32_t t = entity.clock_tenths;
  std::snprintf(buffer, sizeof buffer, "%2d:%02d:%02d.%d", static_cast<int>(t / 36000),
                static_cast<int>((t / 600) % 60), static_cast<int>((t % 600) / 10),
                static_cast<int>(t % 10));
  return buffer;
}

}  // namespace ktal
