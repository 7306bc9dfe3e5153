// SPDX-License-Identifier: GPL-3.0-or-later
// The guider's file-system records as they lie in a raw guiding log file,
// and the decoded entity of a log's page stream.
//
// A raw file is a 32-byte header text, the file's 32-byte directory entry
// and its 528-byte data pages in chain order. Every multi-byte field on disk
// is little-endian; the Encode/Decode functions below do the byte order
// explicitly, so the structs may be laid out however the compiler likes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace ktal {

inline constexpr std::size_t kRawHeaderSize = 32;
inline constexpr std::size_t kDirectoryEntrySize = 32;
inline constexpr std::size_t kDataPageSize = 528;
inline constexpr std::size_t kPageDataBytes = 512;
// The guider's whole file system has this many pages, so no log is longer.
inline constexpr int kMaxLogPages = 4096;
// The header text; the raw file pads it with zero bytes to 32 bytes.
inline constexpr char kRawHeaderText[] = "ORVELIA K-Tal raw file";

// first_page values of 0x0FFE and above mean the entry holds no reachable
// file; 0xFFFF marks a deleted or never-used entry.
inline constexpr std::uint16_t kFirstUnreachablePage = 0x0FFE;
inline constexpr std::uint16_t kUnusedEntry = 0xFFFF;
// A modified date of 0xFFFF means "never modified"; any unset stamp passes
// the stamp check.
inline constexpr std::uint16_t kUnsetDate = 0xFFFF;

// next_page of a data page: below 0x0FFF the next page of the chain,
// 0x1000..0x1FFF the EOF page (bits 8..0 end byte, bits 11..9 end bit),
// 0x2000 and above an empty (erased) page.
inline constexpr std::uint16_t kEofPageFlag = 0x1000;
inline constexpr std::uint16_t kEmptyPageMin = 0x2000;

struct DirectoryEntry {
  std::uint16_t first_page = kUnusedEntry;
  std::uint8_t file_id[3] = {0, 0, 0};  // least significant byte first
  std::uint8_t flags = 0;               // bit 0: downloaded
  std::uint16_t created_date = 0;
  std::uint16_t created_time = 0;
  std::uint16_t modified_date = kUnsetDate;
  std::uint16_t modified_time = 0;
  std::uint8_t reserved[16] = {};  // carried unchanged
  std::uint16_t saved_first_page = kUnusedEntry;
};

struct DataPage {
  std::uint16_t next_page = 0xFFFF;
  std::uint8_t file_id[3] = {0, 0, 0};
  std::uint8_t reserved5 = 0;
  std::uint16_t data_size = 0;
  std::uint8_t reserved8[8] = {};
  std::uint8_t data[kPageDataBytes] = {};
};

inline constexpr std::uint8_t kDownloadedFlag = 0x01;

// 24-bit file numbers, stored least significant byte first.
inline std::uint32_t FileIdOf(const std::uint8_t id[3]) {
  return id[0] | (std::uint32_t{id[1]} << 8) | (std::uint32_t{id[2]} << 16);
}
inline void SetFileId(std::uint8_t id[3], std::uint32_t file_id) {
  id[0] = static_cast<std::uint8_t>(file_id);
  id[1] = static_cast<std::uint8_t>(file_id >> 8);
  id[2] = static_cast<std::uint8_t>(file_id >> 16);
}
// "QD%06x" of the file number: the guider's name for the file.
std::string GuiderFileName(std::uint32_t file_id);

// Packed date: bits 15..9 year - 2000, bits 8..5 month, bits 4..0 day.
constexpr std::uint16_t PackDate(int year, int month, int day) {
  return static_cast<std::uint16_t>(((year - 2000) << 9) | (month << 5) | day);
}
constexpr int DateYear(std::uint16_t date) { return 2000 + (date >> 9); }
constexpr int DateMonth(std::uint16_t date) { return (date >> 5) & 0x0F; }
constexpr int DateDay(std::uint16_t date) { return date & 0x1F; }
// Packed time: hour in the high byte, minute in the low byte.
constexpr std::uint16_t PackTime(int hour, int minute) {
  return static_cast<std::uint16_t>((hour << 8) | minute);
}
constexpr int TimeHour(std::uint16_t time) { return time >> 8; }
constexpr int TimeMinute(std::uint16_t time) { return time & 0xFF; }
// True when the stamp is unset (date 0xFFFF) or a valid date and time of day.
bool IsValidStamp(std::uint16_t date, std::uint16_t time);

// Explicit little-endian conversion of the on-disk records.
void EncodeDirectoryEntry(const DirectoryEntry& entry, std::uint8_t out[kDirectoryEntrySize]);
DirectoryEntry DecodeDirectoryEntry(const std::uint8_t in[kDirectoryEntrySize]);
void EncodeDataPage(const DataPage& page, std::uint8_t out[kDataPageSize]);
void DecodeDataPage(const std::uint8_t in[kDataPageSize], DataPage& page);
// The 32 header bytes: the header text followed by zero bytes.
void EncodeRawHeader(std::uint8_t out[kRawHeaderSize]);

// Entity type codes as the page stream codes them.
inline constexpr std::uint32_t ENTITY_EOF = 0x00;  // appended by the reader
inline constexpr std::uint32_t ENTITY_STAR = 0x8F;
inline constexpr std::uint32_t ENTITY_VARIABLE = 0x9F;
inline constexpr std::uint32_t ENTITY_AE_CHANGE = 0xAF;
inline constexpr std::uint32_t ENTITY_UNNAMED_BF = 0xBF;  // no payload
inline constexpr std::uint32_t ENTITY_CLOCK = 0xCF;
inline constexpr std::uint32_t ENTITY_MARKER = 0xDF;
inline constexpr std::uint32_t ENTITY_UNNAMED_EF = 0xEF;  // no payload
inline constexpr std::uint32_t ENTITY_DEBUG = 0xF7;
inline constexpr std::uint32_t ENTITY_UNNAMED_FF = 0xFF;  // no payload
// The type the reader assumes before the first entity of a stream.
inline constexpr std::uint32_t kInitialEntityType = 0xFF;

// Variable ids with a known meaning.
inline constexpr std::uint8_t kVariableGain = 10;
inline constexpr std::uint8_t kVariableExpo = 11;
inline constexpr std::uint8_t kVariableThreshold = 12;
inline constexpr std::uint8_t kVariableRaAxis = 20;
inline constexpr std::uint8_t kVariableDecAxis = 30;
inline constexpr int kVariableValueBytes = 16;

// AutoExposure states; 4 to 7 are unnamed, 8 and above external.
inline constexpr std::uint8_t kAeIdle = 0;
inline constexpr std::uint8_t kAeWait = 1;
inline constexpr std::uint8_t kAeMl = 2;
inline constexpr std::uint8_t kAeExp = 3;
inline constexpr std::uint8_t kAeExternal = 8;

// Debug value kinds: 0 text, the named numeric kinds, 0xFF invalid.
inline constexpr std::uint8_t kDebugText = 0;
inline constexpr std::uint8_t kDebugI8 = 1;
inline constexpr std::uint8_t kDebugI16 = 2;
inline constexpr std::uint8_t kDebugI32 = 4;
inline constexpr std::uint8_t kDebugF1p7 = 9;
inline constexpr std::uint8_t kDebugF8p8 = 10;
inline constexpr std::uint8_t kDebugF16p8 = 11;
inline constexpr std::uint8_t kDebugF16p16 = 12;
inline constexpr std::uint8_t kDebugInvalid = 0xFF;

// One tenth of a second less than this is the last time of day.
inline constexpr std::uint32_t kTenthsPerDay = 864000;

inline constexpr char kFileBrokenMessage[] = "file broken";

struct StarPayload {
  std::uint8_t no_star;
  std::uint8_t is_position;
  std::int32_t x;  // 1/256 pixel
  std::int32_t y;  // 1/256 pixel
  std::uint8_t ra_correction_flag;
  std::uint8_t dec_correction_flag;
  std::int8_t ra_correction;   // 1/32 s; 0 when its flag is 0
  std::int8_t dec_correction;  // 1/32 s; 0 when its flag is 0
};

struct VariablePayload {
  std::uint8_t variable_id;
  // The number of value bytes the stream announced (it may exceed the 16
  // that are kept). The writer writes at least this many.
  std::uint8_t length;
  std::uint8_t value[kVariableValueBytes];  // zero beyond the stored bytes
};

struct AeChangePayload {
  std::uint8_t foc_flag;
  std::uint8_t exp_flag;
  std::uint8_t ae_state;
};

struct ClockPayload {
  std::uint8_t fw_minor;
  std::uint8_t fw_major;
  std::uint8_t is_open;   // 1 for the open record
  std::uint8_t reopened;  // 1 when a marker of value 1 came before it
};

struct MarkerPayload {
  std::uint8_t value;
};

struct DebugPayload {
  std::uint8_t debug_kind;
  std::uint8_t value[7];  // little-endian, debug_kind & 7 of them in use
  // A text (kind 0) lies in the text store of the EntityList that holds the
  // entity: text_size characters from text_offset. has_text is 0 for a
  // kind-0 entity built without one.
  std::uint32_t text_offset;
  std::uint32_t text_size;
  std::uint8_t has_text;
};

struct EofPayload {
  std::uint8_t broken;  // 1: the stream did not end at its end mark
};

// One decoded entity: its type, its clock, and the payload of its type.
// A small fixed-size value record that copies with memcpy: a full log holds
// hundreds of thousands, and a hostile one millions, so the texts of debug
// entities are kept aside in the list's text store (EntityList below).
struct LogEntity {
  std::uint32_t type = ENTITY_EOF;
  std::uint32_t clock_tenths = 0;  // 24 bits: tenths of a second of the day
  std::uint16_t clock_date = 0;    // packed date
  union {
    StarPayload star;
    VariablePayload variable;
    AeChangePayload ae;
    ClockPayload clock;
    MarkerPayload marker;
    DebugPayload debug;
    EofPayload eof;
  };

  LogEntity() : debug{} {}
  // Zeroes the whole payload area; the union members are all plain bytes.
  void ClearPayload() { debug = DebugPayload{}; }
  // Of the EOF entity: empty, or "file broken".
  std::string_view eof_message() const {
    return type == ENTITY_EOF && eof.broken ? std::string_view(kFileBrokenMessage)
                                            : std::string_view();
  }
};

static_assert(std::is_trivially_copyable_v<LogEntity>);
static_assert(sizeof(LogEntity) <= 32);

// Entities in stream order with the texts of their debug entities. Behaves
// as a vector of LogEntity; a debug text is set and read through the list.
class EntityList {
 public:
  using const_iterator = std::vector<LogEntity>::const_iterator;

  EntityList() = default;
  EntityList(std::initializer_list<LogEntity> entities) : items_(entities) {}
  // Entities without texts: what a debug entity refers to lies in no store.
  EntityList(std::vector<LogEntity> entities) : items_(std::move(entities)) {
    for (LogEntity& e : items_) {
      if (e.type == ENTITY_DEBUG) e.debug.has_text = 0;
    }
  }

  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  std::size_t capacity() const { return items_.capacity(); }
  const LogEntity& operator[](std::size_t i) const { return items_[i]; }
  LogEntity& operator[](std::size_t i) { return items_[i]; }
  const LogEntity& front() const { return items_.front(); }
  const LogEntity& back() const { return items_.back(); }
  LogEntity& back() { return items_.back(); }
  const_iterator begin() const { return items_.begin(); }
  const_iterator end() const { return items_.end(); }

  void clear() {
    items_.clear();
    texts_.clear();
  }
  void reserve(std::size_t count) { items_.reserve(count); }
  LogEntity& emplace_back() { return items_.emplace_back(); }
  // Appends a copy; a debug text it refers to is read from this list.
  LogEntity& push_back(const LogEntity& entity) { return items_.emplace_back(entity); }
  void pop_back() { items_.pop_back(); }
  // Appends the entities of `other` with their texts.
  void Append(const EntityList& other) {
    for (std::size_t i = 0; i < other.size(); ++i) {
      LogEntity& e = push_back(other[i]);
      if (const auto text = other.DebugText(i)) SetDebugText(e, *text);
    }
  }

  // Gives `entity` (one of this list's, or about to be) the debug text.
  void SetDebugText(LogEntity& entity, std::string_view text) {
    entity.debug.text_offset = static_cast<std::uint32_t>(texts_.size());
    entity.debug.text_size = static_cast<std::uint32_t>(text.size());
    entity.debug.has_text = 1;
    texts_.append(text);
  }
  // The text of a debug entity of kind 0; nothing for every other entity.
  std::optional<std::string_view> DebugText(const LogEntity& e) const {
    if (e.type != ENTITY_DEBUG || e.debug.debug_kind != kDebugText || !e.debug.has_text) {
      return std::nullopt;
    }
    if (e.debug.text_offset > texts_.size() ||
        e.debug.text_size > texts_.size() - e.debug.text_offset) {
      return std::nullopt;  // refers to another list's store
    }
    return std::string_view(texts_).substr(e.debug.text_offset, e.debug.text_size);
  }
  std::optional<std::string_view> DebugText(std::size_t i) const { return DebugText(items_[i]); }

  // The store the decoder appends text characters to directly.
  std::string& text_store() { return texts_; }
  std::size_t text_bytes() const { return texts_.size(); }

 private:
  std::vector<LogEntity> items_;
  std::string texts_;
};

// Clearing the debug member must cover every member of the union.
static_assert(sizeof(DebugPayload) >= sizeof(StarPayload));
static_assert(sizeof(DebugPayload) >= sizeof(VariablePayload));
static_assert(sizeof(DebugPayload) >= sizeof(ClockPayload));

}  // namespace ktal
