// SPDX-License-Identifier: GPL-3.0-or-later
#include "logtool.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>
#include <vector>

#include "guidelog/guide_log.h"
#include "guidelog/guided_periodogram.h"
#include "guidelog/guiding_summary.h"
#include "guidelog/output_folder.h"
#include "guidelog/periodic_error.h"
#include "guidelog/raw_copy.h"
#include "guidelog/report_settings.h"
#include "guidelog/stdio_file.h"

namespace ktal {
namespace {

namespace fs = std::filesystem;

constexpr char kFocalLengthError[] = "Wrong focal length entered, value must be positive!";
constexpr char kWormPeriodError[] = "Wrong gear period entered, value must be positive!";
constexpr char kDecError[] =
    "Wrong DEC coordinate entered, value must be between -90 and 90 degrees!";

std::string_view SkipBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  return text;
}

// A decimal integer at the start of the text, after blanks. Nothing when
// there is no number or it does not fit; `whole` turns false when anything
// but blanks follows it ("1000.9", "7x"), which the caller refuses rather
// than cut.
std::optional<int> LeadingInteger(std::string_view text, bool& whole) {
  text = SkipBlanks(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  whole = SkipBlanks(std::string_view(end, text.data() + text.size() - end)).empty();
  return value;
}

std::string NotWhole(const char* what, std::string_view field) {
  return std::string(what) + " must be a whole number, not \"" + std::string(SkipBlanks(field)) +
         "\"";
}

// A real number at the start of the text, after blanks, always with a
// decimal point.
std::optional<double> LeadingReal(std::string_view text) {
  text = SkipBlanks(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0.0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (end == text.data()) return std::nullopt;
  if (error == std::errc::result_out_of_range) return HUGE_VAL;  // caught by the range check
  return value;
}

struct ToolOptions {
  std::string csv = "excel";
  bool html = false;
  bool phd2 = false;
  std::string pe;
  std::string out;
  std::vector<std::string> files;
};

// The folder a log's outputs go to: "QD<id>.dat.content" under `out`, or
// beside the file unless the file already lies in its own such folder (as a
// download leaves it). A pipe or a FIFO has no folder of its own to be
// beside (`<(cat log)` is /dev/fd/63): its outputs go under the current
// folder.
fs::path OutputFolder(const fs::path& file, bool regular, std::uint32_t file_id,
                      const fs::path& out) {
  char name[32];
  std::snprintf(name, sizeof name, "QD%06x.dat.content", file_id);
  if (!out.empty()) return out / name;
  if (!regular) return fs::current_path() / name;
  const fs::path parent = file.parent_path();
  return parent.filename() == name ? parent : parent / name;
}

// The input as far as a log reaches (header, entry and 4096 pages), read
// once: a pipe or a FIFO cannot be read a second time, and the file id is
// needed before the log is processed.
struct Input {
  std::vector<std::uint8_t> bytes;
  bool regular = true;  // a regular file rather than a pipe or FIFO
};

// Nothing, with errno set, when a read fails.
std::optional<Input> ReadInput(std::FILE* file) {
  constexpr std::size_t kLargest =
      kRawHeaderSize + kDirectoryEntrySize + static_cast<std::size_t>(kMaxLogPages) * kDataPageSize;
  Input input;
  struct stat info {};
  input.regular = ::fstat(::fileno(file), &info) != 0 || S_ISREG(info.st_mode);
  // Room for all of it at once, so that the bytes never move (and an empty
  // input still has an address to read back from).
  input.bytes.resize(kLargest);
  std::size_t size = 0;
  while (size < kLargest) {
    const std::size_t got = std::fread(input.bytes.data() + size, 1, kLargest - size, file);
    if (got == 0) break;
    size += got;
  }
  if (std::ferror(file)) return std::nullopt;
  input.bytes.resize(size);
  return input;
}

// The bytes read as a stream of their own, for the readers of raw files.
StdioFile ReadBack(std::vector<std::uint8_t>& bytes) {
  return StdioFile(::fmemopen(bytes.data(), bytes.size(), "rb"));
}

// The file id from the raw file's directory entry; nothing, with the
// failure printed, when the header cannot be read.
std::optional<std::uint32_t> ReadFileId(const std::string& name, std::FILE* raw) {
  auto log = std::make_unique<GuideLog>();
  DirectoryEntry entry;
  const int code = log->ReadRawFile(raw, entry);
  std::rewind(raw);
  if (code != 0) {
    std::fprintf(stderr, "%s: failed, code %d: %s\n", name.c_str(), code, ProcessCodeMeaning(code));
    return std::nullopt;
  }
  return FileIdOf(entry.file_id);
}

// Processes one file into its own folder; prints its line, naming the file
// as the user gave it, and returns true when everything asked for was
// written. `used` holds the folders earlier files of this run wrote into.
// A PHD2 guide log, when asked for, is named in the line.
bool ProcessOne(const std::string& name, const fs::path& file, const fs::path& out,
                const ReportSettings& settings, std::set<fs::path>& used) {
  std::error_code error;
  if (fs::is_directory(file, error)) {
    std::fprintf(stderr, "%s: failed, this is a folder, not a raw log file\n", name.c_str());
    return false;
  }
  StdioFile opened = OpenStdioFile(file.string().c_str(), "rb");
  if (!opened) {
    const int failure = errno;
    std::fprintf(stderr, "%s: failed, the file cannot be opened for reading (%s)\n", name.c_str(),
                 std::strerror(failure));
    return false;
  }
  std::optional<Input> input = ReadInput(opened.get());
  StdioFile raw = input ? ReadBack(input->bytes) : nullptr;
  if (!raw) {
    const int failure = errno;
    std::fprintf(stderr, "%s: failed, the file cannot be read (%s)\n", name.c_str(),
                 std::strerror(failure));
    return false;
  }
  opened.reset();
  const std::optional<std::uint32_t> id = ReadFileId(name, raw.get());
  if (!id) return false;
  const fs::path folder = OutputFolder(file, input->regular, *id, out);
  // Two copies of one log (a backup beside it, the same name twice) must
  // not overwrite each other's outputs.
  if (!used.insert(fs::weakly_canonical(folder, error)).second) {
    std::fprintf(stderr, "%s: failed, QD%06x was already processed into %s by an earlier file\n",
                 name.c_str(), *id, folder.string().c_str());
    return false;
  }
  // The first call that fails is the one reported: a folder that cannot
  // be made is not then reported as missing.
  const bool created = fs::create_directories(folder, error);
  fs::path previous;
  if (!error) previous = fs::current_path(error);
  if (!error) fs::current_path(folder, error);
  if (error) {
    std::fprintf(stderr, "%s: failed, the output folder %s cannot be used (%s)\n", name.c_str(),
                 folder.string().c_str(), error.message().c_str());
    return false;
  }
  // Two runs writing into one folder would mix their outputs. Where no
  // lock can be made at all, the run goes on as it always did.
  OutputFolderLock lock;
  if (lock.Take(".") == OutputFolderLock::Result::kBusy) {
    fs::current_path(previous, error);
    std::fprintf(stderr,
                 "%s: failed, another run is writing into %s; try again when it has finished\n",
                 name.c_str(), folder.string().c_str());
    return false;
  }
  // One log of up to 4096 pages at a time: the model is made per file.
  auto log = std::make_unique<GuideLog>();
  DirectoryEntry entry;
  std::fflush(stdout);
  std::string phd2_name;
  const int code = ProcessRawFile(*log, raw.get(), entry, settings, {}, &phd2_name);
  std::fflush(stdout);
  lock.Release();
  fs::current_path(previous, error);
  if (code != 0) {
    std::fprintf(stderr, "%s: failed, code %d: %s\n", name.c_str(), code, ProcessCodeMeaning(code));
    // A folder made for this file alone and left empty goes again.
    if (created) fs::remove(folder, error);
    return false;
  }
  // The tables start at the first run of star positions; a log without
  // one gets none, and the user who asked for them is told.
  const char* note = "";
  if (settings.pe_tables) {
    log->scan_cursor = log->begin_pos();
    if (NextPositionRun(*log) != 0)
      note = "; no periodic-error table was written: the log holds no run of star positions";
  }
  const std::string phd2_note = settings.phd2_log ? "; PHD2 guide log " + phd2_name : std::string();
  std::printf("%s: done, QD%06x processed into %s%s%s\n", name.c_str(), *id,
              folder.string().c_str(), phd2_note.c_str(), note);
  return true;
}

// Time of day of a series time, "hh:mm:ss".
std::string ClockOf(const GuideSeries& series, double t) {
  const long long tenths = series.origin_tenths + std::llround(t * 10.0);
  const long long day_tenths = tenths % kTenthsPerDay;
  char text[16];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", day_tenths / 36000,
                day_tenths / 600 % 60, day_tenths / 10 % 60);
  return text;
}

// The drift figures of one row: arcseconds when the focal length is known,
// pixels otherwise; "-" without drift samples.
std::string FigureCells(const GuidingFigures& g) {
  const std::optional<ErrorFigures>& f = g.arcsec ? g.arcsec : g.px;
  char text[160];
  if (!f) {
    std::snprintf(text, sizeof text, "%7s %7s %7s %7s %7s %7s", "-", "-", "-", "-", "-", "-");
  } else {
    std::snprintf(text, sizeof text, "%7.3f %7.3f %7.3f %7.3f %7.3f %7.3f", f->ra_rms, f->dec_rms,
                  f->total_rms, f->ra_peak, f->dec_peak, f->total_peak);
  }
  char counts[64];
  std::snprintf(counts, sizeof counts, "%7d %5d %6d %6d", g.drift_samples, g.lost_stars,
                g.ra_corrections, g.dec_corrections);
  return std::string(counts) + "  " + text;
}

std::string PeakText(const SpectrumPeak& p, const char* unit) {
  char text[160];
  const double amplitude = p.amplitude_arcsec ? *p.amplitude_arcsec : p.amplitude_px;
  std::snprintf(text, sizeof text, "%.1f s (power %.2f, amplitude %.3f%s", p.period_s, p.power,
                amplitude, unit);
  std::string out = text;
  if (p.harmonic == 1)
    out += ", the worm period";
  else if (p.harmonic > 1)
    out += ", worm harmonic " + std::to_string(p.harmonic);
  return out + ")";
}

// The summary of one log as text, one block per log.
std::string SummaryText(const std::string& name, std::uint32_t id, const GuideSeries& series,
                        const GuidingSummary& s) {
  const bool arcsec = s.arcsec_per_px_ra.has_value();
  std::string out;
  char line[512];
  std::snprintf(line, sizeof line,
                "%s: QD%06x, %zu guided exposures, %zu unguided runs, figures in %s\n",
                name.c_str(), id, series.exposures.size(), series.runs.size(),
                arcsec ? "arcseconds" : "pixels (no focal length given)");
  out += line;
  if (arcsec) {
    std::snprintf(line, sizeof line, "  scale: %.4f\"/px in RA, %.4f\"/px in DEC\n",
                  *s.arcsec_per_px_ra, *s.arcsec_per_px_dec);
    out += line;
  }
  out +=
      "  exposure  start     length  samples  lost RA cor DEC cor   RA rms DEC rms tot rms RA peak "
      "DECpeak totpeak\n";
  for (const ExposureSummary& e : s.exposures) {
    const ExposureSpan& span = series.exposures[e.exposure];
    std::snprintf(line, sizeof line, "  %cE%03d     %s %7.1f s %s\n", span.kind, span.number,
                  ClockOf(series, span.begin_s).c_str(), span.end_s - span.begin_s,
                  FigureCells(e.guiding).c_str());
    out += line;
  }
  std::snprintf(line, sizeof line, "  night     %s %7.1f s %s\n", ClockOf(series, 0.0).c_str(),
                series.end_s, FigureCells(s.night).c_str());
  out += line;
  for (const UnguidedRunSummary& u : s.runs) {
    const RunSpan& span = series.runs[u.run];
    std::snprintf(line, sizeof line, "  unguided run %d: %s, %.1f s, %d positions\n", u.run + 1,
                  ClockOf(series, span.begin_s).c_str(), u.span_s, u.samples);
    out += line;
    if (!u.has_figures) {
      out += "    too few positions for figures\n";
      continue;
    }
    if (u.ra_rate_arcsec_per_min) {
      std::snprintf(
          line, sizeof line,
          "    drift: RA %+.3f\"/min, DEC %+.3f\"/min; polar-alignment error at least %.2f'\n",
          *u.ra_rate_arcsec_per_min, *u.dec_rate_arcsec_per_min, *u.polar_error_arcmin);
    } else {
      std::snprintf(line, sizeof line, "    drift: RA %+.5f px/s, DEC %+.5f px/s\n",
                    u.ra_rate_px_per_s, u.dec_rate_px_per_s);
    }
    out += line;
    const bool pe_arcsec = u.pe_peak_to_peak_arcsec.has_value();
    const double p2p = pe_arcsec ? *u.pe_peak_to_peak_arcsec : u.pe_peak_to_peak_px;
    const std::optional<double> slope =
        pe_arcsec ? u.pe_max_slope_arcsec_per_s : u.pe_max_slope_px_per_s;
    const char* pe_unit = pe_arcsec ? "\"" : " px";
    std::snprintf(line, sizeof line, "    periodic error: %.3f%s peak to peak", p2p, pe_unit);
    out += line;
    if (slope) {
      std::snprintf(line, sizeof line, ", steepest %.4f%s/s", *slope, pe_unit);
      out += line;
    }
    if (u.smoothing_s > 0.0) {
      std::snprintf(line, sizeof line, " (smoothed over %.1f s)", u.smoothing_s);
      out += line;
    }
    out += "\n";
    const Periodogram& g = u.periodogram;
    for (std::size_t k = 0; k < g.peaks.size(); ++k) {
      out += k == 0 ? "    strongest periods: " : "                       ";
      out += PeakText(g.peaks[k], pe_unit) + "\n";
    }
    for (std::size_t k = 0; k < g.worm_harmonics.size(); ++k) {
      out += k == 0 ? "    worm harmonics:    " : "                       ";
      out += PeakText(g.worm_harmonics[k], pe_unit) + "\n";
    }
  }
  return out;
}

// The guided RA drift's periodogram as text: the night's strongest periods
// and worm harmonics, and each exposure's strongest period.
std::string GuidedText(const GuideSeries& series, const GuidedRaSummary& g, bool arcsec) {
  const char* unit = arcsec ? "\"" : " px";
  std::string out = "  guided RA drift (residual periodic error):\n";
  const Periodogram& night = g.night.periodogram;
  if (night.power.empty()) return out + "    too few guided drift samples for a periodogram\n";
  for (std::size_t k = 0; k < night.peaks.size(); ++k) {
    out += k == 0 ? "    strongest periods: " : "                       ";
    out += PeakText(night.peaks[k], unit) + "\n";
  }
  for (std::size_t k = 0; k < night.worm_harmonics.size(); ++k) {
    out += k == 0 ? "    worm harmonics:    " : "                       ";
    out += PeakText(night.worm_harmonics[k], unit) + "\n";
  }
  for (std::size_t k = 0; k < g.exposures.size(); ++k) {
    const std::vector<SpectrumPeak>& peaks = g.exposures[k].periodogram.peaks;
    if (peaks.empty()) continue;
    char line[64];
    std::snprintf(line, sizeof line, "    %cE%03d strongest: ", series.exposures[k].kind,
                  series.exposures[k].number);
    out += line + PeakText(peaks.front(), unit) + "\n";
  }
  return out;
}

// Bytes of the UTF-8 character at the start of `text`; 0 when it does not
// start with a well-formed one (a stray or cut byte, an overlong form, a
// surrogate, a code point above U+10FFFF).
std::size_t Utf8CharacterLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;  // range of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return length;
}

// A file name as a JSON string. Names are bytes, not always UTF-8: each
// byte that is not part of a well-formed UTF-8 character becomes U+FFFD,
// so that the line stays valid JSON.
std::string JsonString(std::string_view text) {
  std::string out = "\"";
  while (!text.empty()) {
    const std::size_t length = Utf8CharacterLength(text);
    const unsigned char c = static_cast<unsigned char>(text.front());
    if (length == 0) {
      out += "\xEF\xBF\xBD";
    } else if (c == '"' || c == '\\') {
      (out += '\\') += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length == 0 ? 1 : length);
  }
  return out + '"';
}

// Reads and decodes one log, summarises it and prints it; the failure line
// goes to standard error.
bool SummarizeOne(const std::string& name, const SummaryOptions& options, bool json) {
  std::error_code error;
  if (fs::is_directory(name, error)) {
    std::fprintf(stderr, "%s: failed, this is a folder, not a raw log file\n", name.c_str());
    return false;
  }
  StdioFile raw = OpenStdioFile(name.c_str(), "rb");
  if (!raw) {
    const int failure = errno;
    std::fprintf(stderr, "%s: failed, the file cannot be opened for reading (%s)\n", name.c_str(),
                 std::strerror(failure));
    return false;
  }
  auto log = std::make_unique<GuideLog>();
  DirectoryEntry entry;
  // A log that processing refuses (a stream error leaves part of the night
  // out) has no figures that could pass for the whole night's.
  if (const int code = ReadLogForSummary(*log, raw.get(), entry); code != 0) {
    std::fprintf(stderr, "%s: failed, code %d: %s\n", name.c_str(), code, ProcessCodeMeaning(code));
    return false;
  }
  const std::uint32_t id = FileIdOf(entry.file_id);
  const GuideSeries series = ExtractGuideSeries(*log);
  const GuidingSummary summary = SummarizeGuiding(series, options);
  const GuidedRaSummary guided = SummarizeGuidedRa(series, options);
  if (json) {
    std::string text = GuidingSummaryJson(series, summary);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    std::printf("{\"file\":%s,\"log\":\"QD%06x\",\"summary\":%s,\"guided_ra\":%s}\n",
                JsonString(name).c_str(), id, text.c_str(), GuidedRaJson(series, guided).c_str());
  } else {
    std::fputs(SummaryText(name, id, series, summary).c_str(), stdout);
    std::fputs(GuidedText(series, guided, summary.arcsec_per_px_ra.has_value()).c_str(), stdout);
  }
  return true;
}

}  // namespace

std::optional<PeSettings> ParsePeSettings(const std::string& text, std::string& error) {
  std::vector<std::string_view> fields;
  std::string_view rest(text);
  for (std::size_t comma; (comma = rest.find(',')) != std::string_view::npos;) {
    fields.push_back(rest.substr(0, comma));
    rest.remove_prefix(comma + 1);
  }
  fields.push_back(rest);
  if (fields.size() != 3) {
    error = "--pe takes three numbers: FOCAL_MM,WORM_S,DEC_DEG";
    return std::nullopt;
  }
  PeSettings settings;
  bool whole = true;
  const std::optional<int> focal = LeadingInteger(fields[0], whole);
  if (focal && !whole) {
    error = NotWhole("The focal length", fields[0]);
    return std::nullopt;
  }
  if (!focal || *focal < 1) {
    error = kFocalLengthError;
    return std::nullopt;
  }
  settings.focal_length_mm = *focal;
  const std::optional<int> worm = LeadingInteger(fields[1], whole);
  if (worm && !whole) {
    error = NotWhole("The worm gear period", fields[1]);
    return std::nullopt;
  }
  if (!worm || *worm < 1) {
    error = kWormPeriodError;
    return std::nullopt;
  }
  settings.worm_period_s = *worm;
  // An empty or unreadable declination counts as 0, as in the window; one
  // that is not a finite number is refused with the range message.
  const double dec = LeadingReal(fields[2]).value_or(0.0);
  if (!std::isfinite(dec) || std::fabs(dec) > 90.0) {
    error = kDecError;
    return std::nullopt;
  }
  settings.star_dec_deg = static_cast<float>(dec);
  return settings;
}

const char* ProcessCodeMeaning(int code) {
  switch (code) {
    case 0:
      return "all asked-for outputs written";
    case 1:
      return "raw file shorter than its header, or a page cut off";
    case 2:
      return "header text is not \"ORVELIA K-Tal raw file\"";
    case 3:
      return "invalid created or modified stamp";
    case 101:
      return "stream error in the log";
    case 298:
      return "\"events.csv\" cannot be created";
    case 297:
      return "a write of \"events.csv\" fell short";
    case 296:
      return "\"events.csv\" would exceed the budget of files and bytes for the log's outputs";
    case 301:
      return "an entity of a type without a table row was met";
    case 399:
      return "a periodic-error table cannot be created";
    case 398:
      return "a write of a periodic-error table fell short";
    case 397:
      return "a periodic-error table would exceed the budget of files and bytes for the log's "
             "outputs";
    case 199:
      return "\"index.html\" cannot be created";
    case 198:
      return "a write of \"index.html\" fell short";
    case 197:
      return "an image file of the report cannot be created";
    case 196:
      return "a write of an image file of the report fell short";
    case 195:
      return "the report or an image would exceed the budget of files and bytes for the log's "
             "outputs";
    case 499:
      return "\"analysis.html\" cannot be created";
    case 498:
      return "a write of \"analysis.html\" fell short";
    case 497:
      return "\"analysis.html\" would exceed the budget of files and bytes for the log's outputs";
    case 599:
      return "the PHD2 guide log cannot be created";
    case 598:
      return "a write of the PHD2 guide log fell short";
    case 597:
      return "the PHD2 guide log would exceed the budget of files and bytes for the log's outputs";
    case 699:
      return "\"exposures.csv\" cannot be created";
    case 698:
      return "a write of \"exposures.csv\" fell short";
    case 697:
      return "\"exposures.csv\" would exceed the budget of files and bytes for the log's outputs";
    default:
      return "unknown failure";
  }
}

int RunLogTool(int argc, char** argv) {
  CLI::App app(
      "Processes raw guiding logs (QD*.dat) of the K-Tal guider into the events table\n"
      "events.csv and, on request, the HTML report index.html with its BMP plots, the\n"
      "exposures table exposures.csv and the interactive page analysis.html beside it,\n"
      "the periodic-error tables pe1.csv, pe2.csv, ... and the PHD2 guide log for PHD Log\n"
      "Viewer",
      "ktal-logtool");
  app.require_subcommand(1);
  app.set_version_flag("--version", "ktal-logtool " KTAL_VERSION);
  ToolOptions options;
  CLI::App* process = app.add_subcommand(
      "process",
      "Process each raw log FILE into a folder of its own, QD<id>.dat.content: beside the file\n"
      "(or the folder the file lies in, when it already is that folder), or under DIR.");
  process
      ->add_option("--csv", options.csv,
                   "CSV format: excel (';' and a decimal comma) or point (',' and a decimal point)")
      ->check(CLI::IsMember({"excel", "point"}))
      ->default_str("excel");
  process->add_flag("--html", options.html,
                    "Also write the HTML report index.html with its plot images, exposures.csv and "
                    "analysis.html");
  process
      ->add_option(
          "--pe", options.pe,
          "Also write the periodic-error tables, for this focal length (mm, at least 1),\n"
          "worm gear period (s, at least 1) and guide star declination (degrees, -90 to 90)")
      ->type_name("FOCAL_MM,WORM_S,DEC_DEG");
  process->add_flag(
      "--phd2", options.phd2,
      "Also write the night as a PHD2 guide log, PHD2_GuideLog_<date>_<time>.txt, for PHD Log\n"
      "Viewer: in arcseconds with the focal length of --pe, in pixels without it");
  process
      ->add_option(
          "--out", options.out,
          "Folder under which each file gets its QD<id>.dat.content folder (created when missing)")
      ->type_name("DIR");
  process->add_option("FILE", options.files, "Raw guiding log files")->required();
  std::string summary_pe;
  bool json = false;
  std::vector<std::string> summary_files;
  CLI::App* summary = app.add_subcommand(
      "summary",
      "Print the guiding summary of each raw log FILE: RMS and peak of the drift per guided\n"
      "exposure and for the night, and for each unguided run the drift rates, the polar-alignment\n"
      "error, the periodic error and its strongest periods; the strongest periods of the guided\n"
      "RA drift for the night and each exposure. Nothing is written to disk.");
  summary
      ->add_option(
          "--pe", summary_pe,
          "Figures in arcseconds for this focal length (mm, at least 1); the worm gear period\n"
          "(s, at least 1) and guide star declination (degrees, -90 to 90) for the periodic error")
      ->type_name("FOCAL_MM,WORM_S,DEC_DEG");
  summary->add_flag("--json", json, "One JSON object per file and line, for scripts");
  summary->add_option("FILE", summary_files, "Raw guiding log files")->required();
  app.footer(
      "Results go to standard output, failures to standard error.\n"
      "Exit status: 0 all files processed, 1 a file failed, 2 bad options.\n"
      "Example: ktal-logtool process --html --phd2 --pe 1000,480,12.5 QD00002a.dat\n"
      "         ktal-logtool summary --pe 1000,480,12.5 QD00002a.dat");

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& answered) {
    // --help and --version
    return app.exit(answered);
  } catch (const CLI::ParseError& failure) {
    std::fprintf(stderr, "ktal-logtool: %s; see 'ktal-logtool --help'.\n", failure.what());
    return kToolUsage;
  }

  if (summary->parsed()) {
    SummaryOptions settings;
    if (!summary_pe.empty()) {
      std::string error;
      const std::optional<PeSettings> pe = ParsePeSettings(summary_pe, error);
      if (!pe) {
        std::fprintf(stderr, "ktal-logtool: --pe %s: %s\n", summary_pe.c_str(), error.c_str());
        return kToolUsage;
      }
      settings.focal_length_mm = pe->focal_length_mm;
      settings.worm_period_s = pe->worm_period_s;
      settings.declination_deg = pe->star_dec_deg;
    }
    bool all_ok = true;
    for (const std::string& name : summary_files)
      all_ok = SummarizeOne(name, settings, json) && all_ok;
    std::fflush(stdout);
    return all_ok ? kToolOk : kToolFileFailed;
  }

  ReportSettings settings;
  settings.csv_format = options.csv == "point" ? 1 : 0;
  settings.html_report = options.html;
  settings.phd2_log = options.phd2;
  if (!options.pe.empty()) {
    std::string error;
    const std::optional<PeSettings> pe = ParsePeSettings(options.pe, error);
    if (!pe) {
      std::fprintf(stderr, "ktal-logtool: --pe %s: %s\n", options.pe.c_str(), error.c_str());
      return kToolUsage;
    }
    settings.pe_tables = true;
    settings.focal_length_mm = pe->focal_length_mm;
    settings.worm_period_s = pe->worm_period_s;
    settings.star_dec_deg = pe->star_dec_deg;
  }

  // Paths are taken before any change of folder, relative to where the
  // tool was started.
  std::error_code error;
  const fs::path out = options.out.empty() ? fs::path() : fs::absolute(options.out, error);
  std::set<fs::path> used;
  bool all_ok = true;
  for (const std::string& name : options.files) {
    const fs::path file = fs::absolute(name, error);
    all_ok = ProcessOne(name, file, out, settings, used) && all_ok;
  }
  std::fflush(stdout);
  return all_ok ? kToolOk : kToolFileFailed;
}

}  // namespace ktal
