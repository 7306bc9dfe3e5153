// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/events_table.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "guidelog/csv_text.h"
#include "guidelog/replacing_file.h"
#include "guidelog/report_settings.h"

namespace ktal {

namespace {

constexpr long kPowersOfTen[] = {1, 10, 100, 1000, 10000};

std::int32_t LittleEndian(const std::uint8_t* bytes, int count) {
  std::uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return static_cast<std::int32_t>(value);
}

std::int32_t SignExtend(std::uint32_t value, int bits) {
  const std::uint32_t sign = 1u << (bits - 1);
  value &= (sign << 1) - 1;
  return static_cast<std::int32_t>(value ^ sign) - static_cast<std::int32_t>(sign);
}

}  // namespace

char* WriteCsvNumber(char* out, int csv_format, int decimals, double value) {
  if (decimals < 0) decimals = 0;
  if (decimals > 4) decimals = 4;
  if (csv_format != 0 || !std::isfinite(value) || std::fabs(value) >= 1e18) {
    // printf's "%.nf"; also the fallback where the comma form has no
    // integer part to show.
    return std::to_chars(out, out + kCsvNumberMax, value, std::chars_format::fixed, decimals).ptr;
  }
  const double magnitude = std::fabs(value);
  // Below 1e18 the conversion is exact and truncates, as floor would.
  const auto whole = static_cast<std::uint64_t>(magnitude);
  const long scale = kPowersOfTen[decimals];
  // Truncated after adding a half, and never carried into the whole part.
  long fraction = static_cast<long>((magnitude - static_cast<double>(whole)) * scale + 0.5);
  if (fraction > scale - 1) fraction = scale - 1;
  *out++ = value < 0 ? '-' : ' ';
  out = WriteUnsigned(out, whole);
  if (decimals == 0) return out;
  *out++ = ',';
  // The fraction's digits, zero-padded to `decimals`.
  for (int k = decimals; k-- > 0; fraction /= 10) out[k] = static_cast<char>('0' + fraction % 10);
  return out + decimals;
}

namespace {

void AppendNumber(std::string& out, int csv_format, int decimals, double value) {
  char buf[kCsvNumberMax];
  out.append(buf, WriteCsvNumber(buf, csv_format, decimals, value));
}

void AppendDate(std::string& out, std::uint16_t date) {
  char buf[16];
  const int year = DateYear(date);
  auto r = std::to_chars(buf, buf + sizeof buf, year);
  for (long n = r.ptr - buf; n < 4; ++n) out.push_back(' ');
  out.append(buf, r.ptr);
  for (int part : {DateMonth(date), DateDay(date)}) {
    out.push_back('.');
    if (part < 10) out.push_back('0');
    r = std::to_chars(buf, buf + sizeof buf, part);
    out.append(buf, r.ptr);
  }
  out.push_back('.');
}

void AppendDateTime(std::string& out, const LogEntity& e, int csv_format) {
  const std::string_view sep = CsvSeparator(csv_format);
  AppendDate(out, e.clock_date);
  out.append(sep);
  AppendTenths(out, csv_format, e.clock_tenths);
  out.append(sep);
}

// The date and time cells of every row, with the date text kept from the
// row before: the date changes once a night.
class DateTimeCells {
 public:
  DateTimeCells(char sep, int csv_format) : sep_(sep), format_(csv_format) {}
  // Room Write needs.
  static constexpr std::size_t kDateRoom = 16;
  static constexpr std::size_t kRoom = kDateRoom + kTenthsMax + 1;

  // Writes the cells at `out`, which has kRoom bytes; returns their end.
  char* Write(char* out, const LogEntity& e) {
    if (e.clock_date != date_ || date_length_ == 0) {
      date_ = e.clock_date;
      std::string text;
      AppendDate(text, date_);
      text += sep_;
      date_length_ = std::min(text.size(), sizeof date_text_);
      std::memcpy(date_text_, text.data(), date_length_);
    }
    // A whole copy of fixed size is one move; the length then cuts it.
    std::memcpy(out, date_text_, sizeof date_text_);
    out = WriteTenths(out + date_length_, format_, e.clock_tenths);
    *out++ = sep_;
    return out;
  }
  void Append(CsvText& out, const LogEntity& e) { out.Commit(Write(out.Reserve(kRoom), e)); }

 private:
  char sep_;
  int format_;
  std::uint16_t date_ = 0;
  char date_text_[kDateRoom] = {};
  std::size_t date_length_ = 0;
};

// A text cell that would break its row (a separator, a quote, a line
// break) is quoted, its quotes doubled; any other text stays as it is.
void AppendTextCell(CsvText& out, std::string_view text, char sep) {
  if (text.find_first_of(std::string_view{"\"\r\n"}) == std::string_view::npos &&
      text.find(sep) == std::string_view::npos) {
    out << text;
    return;
  }
  out << '"';
  for (char c : text) {
    if (c == '"') out << '"';
    out << c;
  }
  out << '"';
}

const char* AeStateText(std::uint8_t state) {
  switch (state) {
    case kAeIdle:
      return "IDLE";
    case kAeWait:
      return "WAIT";
    case kAeMl:
      return "ML";
    case kAeExp:
      return "EXP";
    default:
      return state >= kAeExternal ? "(external)" : "?";
  }
}

const char* AeFlagText(const AeChangePayload& ae) {
  if (ae.foc_flag && ae.exp_flag) return "FOC+EXP";
  if (ae.foc_flag) return "FOC";
  if (ae.exp_flag) return "EXP";
  return "";
}

// The row of a star entity, nearly every row of a table: put together in
// place, with no step that checks for room of its own.
void WriteStarRow(CsvText& out, DateTimeCells& cells, const LogEntity& e, char sep, int format) {
  constexpr std::size_t kRoom = DateTimeCells::kRoom + 16 + 4 * (kPer256Max + 1) + 16;
  const StarPayload& s = e.star;
  char* p = cells.Write(out.Reserve(kRoom), e);
  if (s.is_position == 1) {
    std::memcpy(p, "position", 8);
    p += 8;
  } else {
    std::memcpy(p, "drift", 5);
    p += 5;
  }
  *p++ = sep;
  p = WritePer256(p, format, s.x);
  *p++ = sep;
  p = WritePer256(p, format, s.y);
  *p++ = sep;
  // Corrections are in 1/32 s: eight times as many 1/256.
  if (s.no_star || s.ra_correction_flag) p = WritePer256(p, format, s.ra_correction * 8);
  *p++ = sep;
  if (s.no_star || s.dec_correction_flag) {
    p = WritePer256(p, format, s.dec_correction * 8);
    if (s.no_star) {
      *p++ = sep;
      std::memcpy(p, "no star", 7);
      p += 7;
    }
  }
  out.Commit(p);
  out.EndLine();
}

void WriteVariable(CsvText& out, const LogEntity& e, std::string_view sep) {
  const std::uint8_t* v = e.variable.value;
  out << "Variable" << sep;
  switch (e.variable.variable_id) {
    case kVariableGain:
      out << "gain" << sep;
      out.Int(v[0]);
      break;
    case kVariableExpo:
      out << "expo" << sep;
      out.Int(v[0] | (v[1] << 8));
      break;
    case kVariableThreshold:
      out << "thr." << sep;
      out.Int(v[0]);
      break;
    case kVariableRaAxis:
    case kVariableDecAxis:
      out << (e.variable.variable_id == kVariableRaAxis ? "RA" : "DEC") << sep;
      out << "num" << sep;
      out.Int(v[1]);
      out << sep << "tol." << sep;
      out.Int(v[3]);
      out << '.';
      out.Padded(v[2], 2);
      out << sep << "aggr." << sep;
      out.Int(v[4]);
      out << sep << "mode" << sep;
      out.Int(v[5]);
      break;
    default:
      out << "???";
      break;
  }
  out.EndLine();
}

void WriteDebug(CsvText& out, const EntityList& list, const LogEntity& e, std::string_view sep) {
  const DebugPayload& d = e.debug;
  out << "DEBUG" << sep;
  switch (d.debug_kind) {
    case kDebugText:
      if (const std::optional<std::string_view> text = list.DebugText(e); !text) {
        out << "ERROR: debug string == NULL";
      } else {
        out << "str" << sep;
        AppendTextCell(out, *text, sep.front());
      }
      break;
    case kDebugI8:
      out << "i8" << sep << ' ';
      out.Int(static_cast<std::int8_t>(d.value[0]));
      out << sep << "(0x";
      out.Hex(d.value[0], 2);
      out << ')';
      break;
    case kDebugI16:
      out << "i16" << sep << ' ';
      out.Int(static_cast<std::int16_t>(LittleEndian(d.value, 2)));
      out << sep << "(0x";
      out.Hex(static_cast<std::uint32_t>(LittleEndian(d.value, 2)), 4);
      out << ')';
      break;
    case kDebugI32:
      out << "i32" << sep << ' ';
      out.Int(LittleEndian(d.value, 4));
      out << sep << "(0x";
      out.Hex(static_cast<std::uint32_t>(LittleEndian(d.value, 4)), 8);
      out << ')';
      break;
    case kDebugF1p7:
      out << "f1p7" << sep;
      out.Fixed(static_cast<std::int8_t>(d.value[0]) / 128.0, 3);
      out << sep << "(0x";
      out.Hex(d.value[0], 2);
      out << ')';
      break;
    case kDebugF8p8:
      out << "f8p8" << sep;
      out.Fixed(static_cast<std::int16_t>(LittleEndian(d.value, 2)) / 256.0, 3);
      out << sep << "(0x";
      out.Hex(static_cast<std::uint32_t>(LittleEndian(d.value, 2)), 4);
      out << ')';
      break;
    case kDebugF16p8: {
      const auto raw = static_cast<std::uint32_t>(LittleEndian(d.value, 3));
      out << "f16p8" << sep;
      out.Fixed(SignExtend(raw, 24) / 256.0, 3);
      out << sep << "(0x";
      out.Hex(raw, 6);
      out << ')';
      break;
    }
    case kDebugF16p16:
      out << "f16p16" << sep;
      out.Fixed(LittleEndian(d.value, 4) / 65536.0, 5);
      out << sep << "(0x";
      out.Hex(static_cast<std::uint32_t>(LittleEndian(d.value, 4)), 8);
      out << ')';
      break;
    default:
      out << "INVALID debug entry (0x";
      out.Hex(d.debug_kind, 2);
      out << ')';
      break;
  }
  out.EndLine();
}

}  // namespace

std::string FormatCsvNumber(int decimals, double value) {
  std::string text;
  AppendNumber(text, g_csvFormat, decimals, value);
  return text;
}

std::string FormatDateTimeCells(const LogEntity& entity) {
  std::string text;
  AppendDateTime(text, entity, g_csvFormat);
  return text;
}

void AppendDateTimeCells(std::string& out, const LogEntity& entity) {
  AppendDateTime(out, entity, g_csvFormat);
}

int WriteDateTimeCells(std::FILE* out, const LogEntity& entity) {
  const std::string text = FormatDateTimeCells(entity);
  return std::fwrite(text.data(), 1, text.size(), out) == text.size() ? 0 : 1;
}

bool HasEventRow(std::uint32_t type) {
  switch (type) {
    case ENTITY_EOF:
    case ENTITY_STAR:
    case ENTITY_VARIABLE:
    case ENTITY_AE_CHANGE:
    case ENTITY_CLOCK:
    case ENTITY_MARKER:
    case ENTITY_DEBUG:
      return true;
    default:
      return false;
  }
}

int WriteEventsTable(const GuideLog& log, int csv_format, OutputBudget* budget) {
  const std::string_view sep = CsvSeparator(csv_format);
  if (budget != nullptr && !budget->TakeFile()) {
    PrintBudgetExceeded(*budget, "events.csv");
    return -4;
  }
  ReplacingFile file("events.csv");
  if (file.stream() == nullptr) {
    std::printf("ERROR: can't create CSV file\n");
    return -2;
  }
  int result = 0;
  bool written = false;
  bool over_budget = false;
  {
    CsvText out(file.stream(), budget);
    DateTimeCells cells(sep.front(), csv_format);
    out << "Date" << sep << "Time" << sep << "event" << sep;
    out.EndLine();
    for (const LogEntity& e : log.entities) {
      switch (e.type) {
        case ENTITY_EOF:
          cells.Append(out, e);
          out << "<EOF>" << sep << "End Of File (msg = '" << e.eof_message() << "')";
          out.EndLine();
          continue;
        case ENTITY_STAR:
          WriteStarRow(out, cells, e, sep.front(), csv_format);
          continue;
        case ENTITY_VARIABLE:
          cells.Append(out, e);
          WriteVariable(out, e, sep);
          continue;
        case ENTITY_AE_CHANGE:
          cells.Append(out, e);
          out << "AE change" << sep << AeStateText(e.ae.ae_state) << sep << AeFlagText(e.ae);
          out.EndLine();
          continue;
        case ENTITY_CLOCK:
          // Only the open record of a freshly opened file has a row.
          if (e.clock.is_open == 1 && e.clock.reopened == 0) {
            cells.Append(out, e);
            out << "<OPEN>" << sep << "file has been opened by FW version ";
            out.Hex(e.clock.fw_major, 2);
            out << '.';
            out.Hex(e.clock.fw_minor, 2);
            out.EndLine();
          }
          continue;
        case ENTITY_MARKER:
          // A marker other than NOP has no event text; its row holds the
          // date and time alone and ends like every other row.
          cells.Append(out, e);
          if (e.marker.value == 0) out << "NOP";
          out.EndLine();
          continue;
        case ENTITY_DEBUG:
          cells.Append(out, e);
          WriteDebug(out, log.entities, e, sep);
          continue;
        default:
          break;
      }
      out << "ERROR: unkown entity type found ($";
      out.Hex(e.type, 2);
      out << ')';
      out.EndLine();
      result = 1;
      break;
    }
    written = out.Flush();
    over_budget = out.over_budget();
  }
  if (over_budget) {
    file.Discard();
    PrintBudgetExceeded(*budget, "events.csv");
    return -4;
  }
  // A table cut short by a full disk is no table: say so rather than
  // report it complete, or as never created.
  switch (file.Commit(written)) {
    case ReplacingFile::CommitResult::kDone:
      return result;
    case ReplacingFile::CommitResult::kNameNotTaken:
      std::printf("ERROR: can't create CSV file\n");
      return -2;
    case ReplacingFile::CommitResult::kWriteFailed:
      break;
  }
  std::printf("ERROR: can't write CSV file\n");
  return -3;
}

}  // namespace ktal
