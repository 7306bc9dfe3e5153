// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/log_writer.h"

#include <cstring>
#include <optional>

namespace ktal {

namespace {

constexpr int kLastDataByte = static_cast<int>(kPageDataBytes) - 1;
// Page numbers 0x0FFE and above are not chain links.
constexpr int kChainPageNumbers = 0x0FFE;

bool IsWritableType(std::uint32_t type) {
  switch (type) {
    case ENTITY_STAR:
    case ENTITY_VARIABLE:
    case ENTITY_AE_CHANGE:
    case ENTITY_UNNAMED_BF:
    case ENTITY_CLOCK:
    case ENTITY_MARKER:
    case ENTITY_UNNAMED_EF:
    case ENTITY_DEBUG:
    case ENTITY_UNNAMED_FF:
      return true;
    default:
      return false;
  }
}

// An upper bound of the bytes an entity takes in the stream, clock and
// marker in front of it and type bits included.
std::size_t EncodedBound(const LogEntity& e, std::string_view text) {
  std::size_t payload = 0;
  switch (e.type) {
    case ENTITY_STAR:
      payload = 10;
      break;
    case ENTITY_VARIABLE:
      payload = 3 + e.variable.length + kVariableValueBytes;
      break;
    case ENTITY_AE_CHANGE:
      payload = 3;
      break;
    case ENTITY_CLOCK:
      payload = 8;
      break;
    case ENTITY_MARKER:
      payload = 1;
      break;
    case ENTITY_DEBUG:
      payload = 10 + text.size();
      break;
    default:
      break;
  }
  return payload + 16;
}

int ValueLength(const VariablePayload& v) {
  int needed = 0;
  for (int i = 0; i < kVariableValueBytes; ++i) {
    if (v.value[i] != 0) needed = i + 1;
  }
  return v.length > needed ? v.length : needed;
}

}  // namespace

struct LogWriter::Saved {
  Cursor cursor;
  Cursor entity_start;
  std::size_t pages;
  PageData page;
  std::uint32_t last_type;
  std::uint32_t clock_tenths;
  std::uint16_t clock_date;
  std::uint8_t reopen_pending;
  std::size_t written;
};

LogWriter::LogWriter() { data_.emplace_back(); }

void LogWriter::NextPage() {
  ++cursor_.page_index;
  cursor_.bit_byte_pos = 0;
  cursor_.bit_index = 7;
  cursor_.byte_pos = 1;
  data_.emplace_back();
  data_.back().fill(0);
}

void LogWriter::WriteBit(int bit) {
  std::uint8_t& b = data_[cursor_.page_index][cursor_.bit_byte_pos];
  const std::uint8_t mask = static_cast<std::uint8_t>(1u << cursor_.bit_index);
  b = bit ? (b | mask) : (b & ~mask);
  if (cursor_.bit_index > 0) {
    --cursor_.bit_index;
  } else if (cursor_.byte_pos == kLastDataByte) {
    NextPage();
  } else {
    cursor_.bit_byte_pos = cursor_.byte_pos++;
    cursor_.bit_index = 7;
  }
}

void LogWriter::WriteBits(int count, std::uint32_t value) {
  for (int i = count - 1; i >= 0; --i) WriteBit((value >> i) & 1);
}

void LogWriter::WriteByte(std::uint8_t value) {
  data_[cursor_.page_index][cursor_.byte_pos] = value;
  if (++cursor_.byte_pos > kLastDataByte) NextPage();
}

void LogWriter::WriteTypeCode(std::uint32_t type) {
  entity_start_ = cursor_;
  if (type == last_type_) {
    WriteBit(0);
  } else {
    WriteBit(1);
    if (type >= 0x8F && type <= 0xEF && (type & 0x0F) == 0x0F) {
      WriteBits(3, (type - 0x8F) / 16);
    } else if (type == ENTITY_DEBUG) {
      WriteBits(4, 0b1110);
    } else {
      WriteBits(6, 0b111111);
    }
  }
  last_type_ = type;
}

LogEntity& LogWriter::Record(std::uint32_t type) {
  LogEntity& e = written_.emplace_back();
  e.type = type;
  e.clock_tenths = clock_tenths_;
  e.clock_date = clock_date_;
  return e;
}

void LogWriter::WriteClock(std::uint32_t tenths, std::uint16_t date, bool is_open,
                           std::uint8_t fw_minor, std::uint8_t fw_major) {
  const std::uint8_t byte1 = static_cast<std::uint8_t>(tenths >> 8);
  const std::uint8_t byte2 = static_cast<std::uint8_t>(tenths >> 16);
  WriteTypeCode(ENTITY_CLOCK);
  if (!is_open && date == clock_date_ && byte2 < 0xF0) {
    WriteByte(byte2);
    WriteByte(byte1);
  } else {
    WriteByte(is_open ? 0xFF : 0xF0);
    WriteByte(static_cast<std::uint8_t>(date >> 8));
    WriteByte(static_cast<std::uint8_t>(date));
    WriteByte(byte2);
    WriteByte(byte1);
    if (is_open) {
      WriteByte(fw_minor);
      WriteByte(fw_major);
    }
  }
  // The low byte of the time stays; there is no carry between clock bytes.
  clock_tenths_ = (clock_tenths_ & 0xFF) | (tenths & 0xFFFF00);
  clock_date_ = date;
  LogEntity& e = Record(ENTITY_CLOCK);
  if (is_open) {
    e.clock.is_open = 1;
    e.clock.fw_minor = fw_minor;
    e.clock.fw_major = fw_major;
    e.clock.reopened = reopen_pending_;
    reopen_pending_ = 0;
  }
}

void LogWriter::SyncClock(std::uint32_t tenths, std::uint16_t date) {
  if (date != clock_date_ || (tenths & 0xFFFF00) != (clock_tenths_ & 0xFFFF00)) {
    WriteClock(tenths, date, false, 0, 0);
  }
}

void LogWriter::WriteMarker(std::uint8_t value) {
  WriteTypeCode(ENTITY_MARKER);
  WriteByte(value);
  if (value == 1) reopen_pending_ = 1;
  Record(ENTITY_MARKER).marker.value = value;
}

void LogWriter::WriteEntity(const LogEntity& in, std::string_view text) {
  const std::uint32_t tenths = in.clock_tenths & 0xFFFFFF;
  const std::uint8_t byte0 = static_cast<std::uint8_t>(tenths);
  switch (in.type) {
    case ENTITY_STAR: {
      SyncClock(tenths, in.clock_date);
      WriteTypeCode(ENTITY_STAR);
      WriteByte(byte0);
      clock_tenths_ = tenths;
      LogEntity& e = Record(ENTITY_STAR);
      StarPayload& s = e.star;
      if (in.star.no_star) {
        WriteByte(0x80);
        s.no_star = 1;
        s.ra_correction_flag = 1;
        s.dec_correction_flag = 1;
        break;
      }
      s.is_position = in.star.is_position ? 1 : 0;
      s.ra_correction_flag = in.star.ra_correction_flag ? 1 : 0;
      s.dec_correction_flag = in.star.dec_correction_flag ? 1 : 0;
      WriteByte(static_cast<std::uint8_t>(s.is_position | (s.ra_correction_flag << 1) |
                                          (s.dec_correction_flag << 2)));
      const int bytes = s.is_position ? 3 : 2;
      for (std::int32_t v : {in.star.x, in.star.y}) {
        for (int i = 0; i < bytes; ++i) WriteByte(static_cast<std::uint8_t>(v >> (8 * i)));
      }
      if (s.is_position) {
        s.x = in.star.x & 0xFFFFFF;
        s.y = in.star.y & 0xFFFFFF;
      } else {
        s.x = static_cast<std::int16_t>(in.star.x);
        s.y = static_cast<std::int16_t>(in.star.y);
      }
      if (s.ra_correction_flag) {
        WriteByte(static_cast<std::uint8_t>(in.star.ra_correction));
        s.ra_correction = in.star.ra_correction;
      }
      if (s.dec_correction_flag) {
        WriteByte(static_cast<std::uint8_t>(in.star.dec_correction));
        s.dec_correction = in.star.dec_correction;
      }
      break;
    }
    case ENTITY_VARIABLE: {
      SyncClock(tenths, in.clock_date);
      WriteTypeCode(ENTITY_VARIABLE);
      WriteByte(byte0);
      clock_tenths_ = tenths;
      const int length = ValueLength(in.variable);
      WriteByte(in.variable.variable_id);
      WriteByte(static_cast<std::uint8_t>(length));
      for (int i = 0; i < length; ++i) {
        WriteByte(i < kVariableValueBytes ? in.variable.value[i] : 0);
      }
      LogEntity& e = Record(ENTITY_VARIABLE);
      e.variable = in.variable;
      e.variable.length = static_cast<std::uint8_t>(length);
      break;
    }
    case ENTITY_AE_CHANGE: {
      SyncClock(tenths, in.clock_date);
      WriteTypeCode(ENTITY_AE_CHANGE);
      WriteByte(byte0);
      clock_tenths_ = tenths;
      LogEntity& e = Record(ENTITY_AE_CHANGE);
      e.ae.ae_state = in.ae.ae_state & 0x3F;
      e.ae.foc_flag = in.ae.foc_flag ? 1 : 0;
      e.ae.exp_flag = in.ae.exp_flag ? 1 : 0;
      WriteByte(
          static_cast<std::uint8_t>(e.ae.ae_state | (e.ae.foc_flag << 6) | (e.ae.exp_flag << 7)));
      WriteByte(0);  // reserved
      break;
    }
    case ENTITY_CLOCK:
      if (in.clock.is_open && in.clock.reopened && !reopen_pending_) WriteMarker(1);
      WriteClock(tenths, in.clock_date, in.clock.is_open != 0, in.clock.fw_minor,
                 in.clock.fw_major);
      break;
    case ENTITY_MARKER:
      WriteMarker(in.marker.value);
      break;
    case ENTITY_DEBUG: {
      SyncClock(tenths, in.clock_date);
      WriteTypeCode(ENTITY_DEBUG);
      WriteByte(byte0);
      clock_tenths_ = tenths;
      LogEntity& e = Record(ENTITY_DEBUG);
      const std::uint8_t kind = in.debug.debug_kind;
      e.debug.debug_kind = kind;
      if (kind == kDebugText) {
        // The first character doubles as the kind byte; a zero ends the text.
        // The empty text is the kind byte 0 alone.
        for (unsigned char ch : text) WriteByte(ch);
        WriteByte(0);
        written_.SetDebugText(e, text);
      } else if (kind == kDebugInvalid) {
        WriteByte(16);
      } else {
        WriteByte(kind);
        for (int i = 0; i < (kind & 7); ++i) {
          WriteByte(in.debug.value[i]);
          e.debug.value[i] = in.debug.value[i];
        }
      }
      break;
    }
    default:
      WriteTypeCode(in.type);
      Record(in.type);
      break;
  }
}

int LogWriter::Append(const LogEntity& entity, std::string_view text) {
  if (!IsWritableType(entity.type)) return kNotEncodable;
  if (entity.type == ENTITY_DEBUG) {
    const std::uint8_t kind = entity.debug.debug_kind;
    if (kind == kDebugText && !text.empty()) {
      const unsigned char first = static_cast<unsigned char>(text[0]);
      if (first < 32 || first > 127) return kNotEncodable;
      if (text.find('\0') != std::string_view::npos) return kNotEncodable;
    } else if (kind > 15 && kind != kDebugInvalid) {
      return kNotEncodable;
    }
  }

  // Near the end of the page store an entity may not fit; keep what is
  // needed to take it back. Elsewhere that copy is not worth making.
  const std::size_t bound_pages = EncodedBound(entity, text) / 128 + 2;
  const bool may_overflow = data_.size() + bound_pages >= kMaxLogPages;
  std::optional<Saved> saved;
  if (may_overflow) {
    saved = Saved{cursor_,       entity_start_, data_.size(),    data_.back(),   last_type_,
                  clock_tenths_, clock_date_,   reopen_pending_, written_.size()};
  }
  WriteEntity(entity, text);
  // The bound makes an overflow without a saved state impossible.
  if (cursor_.page_index >= kMaxLogPages && saved) {
    data_.resize(saved->pages);
    data_.back() = saved->page;
    cursor_ = saved->cursor;
    entity_start_ = saved->entity_start;
    last_type_ = saved->last_type;
    clock_tenths_ = saved->clock_tenths;
    clock_date_ = saved->clock_date;
    reopen_pending_ = saved->reopen_pending;
    while (written_.size() > saved->written) written_.pop_back();
    return kLogFull;
  }
  return kOk;
}

int LogWriter::Append(const EntityList& entities) {
  for (std::size_t i = 0; i < entities.size(); ++i) {
    const int result = Append(entities[i], entities.DebugText(i).value_or(std::string_view()));
    if (result != kOk) return result;
  }
  return kOk;
}

std::vector<DataPage> LogWriter::Pages(std::uint32_t file_id, std::uint16_t first_page) const {
  std::vector<DataPage> pages(data_.size());
  const int count = static_cast<int>(data_.size());
  for (int i = 0; i < count; ++i) {
    DataPage& p = pages[i];
    SetFileId(p.file_id, file_id);
    std::memcpy(p.data, data_[i].data(), kPageDataBytes);
    if (i + 1 < count) {
      p.next_page = static_cast<std::uint16_t>((first_page + i + 1) % kChainPageNumbers);
      p.data_size = kPageDataBytes;
    } else {
      // The end mark: the bit byte and bit where the next entity would
      // start, and the bytes in use.
      p.next_page = static_cast<std::uint16_t>(kEofPageFlag | (cursor_.bit_index << 9) |
                                               cursor_.bit_byte_pos);
      // The reader decodes an entity only while its first whole byte lies
      // below data_size; an entity made of type bits alone (the unnamed
      // types) at the very end needs one byte more to be read back.
      int data_size = cursor_.byte_pos;
      if (entity_start_.page_index == cursor_.page_index &&
          entity_start_.byte_pos >= cursor_.byte_pos && data_size < kLastDataByte) {
        ++data_size;
      }
      p.data_size = static_cast<std::uint16_t>(data_size);
    }
  }
  return pages;
}

std::vector<std::uint8_t> LogWriter::RawFile(const DirectoryEntry& entry) const {
  const std::vector<DataPage> pages = Pages(FileIdOf(entry.file_id), entry.first_page);
  std::vector<std::uint8_t> bytes(kRawHeaderSize + kDirectoryEntrySize +
                                  pages.size() * kDataPageSize);
  EncodeRawHeader(bytes.data());
  EncodeDirectoryEntry(entry, bytes.data() + kRawHeaderSize);
  std::uint8_t* out = bytes.data() + kRawHeaderSize + kDirectoryEntrySize;
  for (const DataPage& p : pages) {
    EncodeDataPage(p, out);
    out += kDataPageSize;
  }
  return bytes;
}

}  // namespace ktal
