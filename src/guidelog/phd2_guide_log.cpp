// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/phd2_guide_log.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string_view>
#include <vector>

#include "guidelog/decimal_text.h"
#include "guidelog/exposure_analysis.h"
#include "guidelog/guiding_summary.h"
#include "guidelog/pixel_scale.h"
#include "guidelog/stdio_file.h"

namespace ktal {
namespace {

constexpr std::string_view kEol = "\r\n";
constexpr std::string_view kColumns =
    "Frame,Time,mount,dx,dy,RARawDistance,DECRawDistance,RAGuideDistance,DECGuideDistance,"
    "RADuration,RADirection,DECDuration,DECDirection,XStep,YStep,StarMass,SNR,ErrorCode";
// Milliseconds of one correction unit (1/32 s).
constexpr double kMsPerCorrection = 1000.0 / 32.0;
// Text is handed to the file in pieces of about this size: a full log
// gives a million rows.
constexpr std::size_t kSpillBytes = 64 * 1024;

// Every output file is created here, so that the way outputs are created
// changes in one place.
StdioFile CreateOutputFile(const std::string& path) { return OpenStdioFile(path.c_str(), "wb"); }

long long FloorDiv(long long a, long long b) {
  return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

// Series times are whole tenths; this takes them back exactly.
long long TenthsOf(double seconds) { return std::llround(seconds * 10.0); }

// Local date and time of instants given in tenths of a second since
// midnight of the log's first date.
class WallClock {
 public:
  explicit WallClock(std::uint16_t first_date) : first_day_(CalendarDay(first_date)) {}

  // "YYYY-MM-DD HH:MM:SS", or with `file_name` "YYYY-MM-DD_HHMMSS"; whole
  // seconds, rounded down.
  std::string Text(long long tenths, bool file_name = false) const {
    const long long seconds = FloorDiv(tenths, 10);
    const long long days = FloorDiv(seconds, 86400);
    const long long second_of_day = seconds - days * 86400;
    const std::chrono::year_month_day date{first_day_ + std::chrono::days{days}};
    char text[48];
    std::snprintf(
        text, sizeof text,
        file_name ? "%04d-%02u-%02u_%02lld%02lld%02lld" : "%04d-%02u-%02u %02lld:%02lld:%02lld",
        static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
        static_cast<unsigned>(date.day()), second_of_day / 3600, second_of_day / 60 % 60,
        second_of_day % 60);
    return text;
  }

 private:
  // A damaged log may hold a month or day that no calendar has; the
  // nearest real day keeps every later date in order.
  static std::chrono::sys_days CalendarDay(std::uint16_t date) {
    using namespace std::chrono;
    const year y{DateYear(date)};
    const month m{static_cast<unsigned>(std::clamp(DateMonth(date), 1, 12))};
    const unsigned last_day =
        static_cast<unsigned>(year_month_day_last{y, month_day_last{m}}.day());
    const day d{std::clamp(static_cast<unsigned>(DateDay(date)), 1u, last_day)};
    return sys_days{y / m / d};
  }

  std::chrono::sys_days first_day_;
};

void AppendFixed(std::string& out, double value, int decimals) {
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  if (result.ec == std::errc()) out.append(buffer, result.ptr);
}

void AppendInteger(std::string& out, long long value) {
  char buffer[kDecimalMax];
  out.append(buffer, WriteSigned(buffer, value));
}

// How the drift becomes dx and dy, and the "Pixel scale" that gives their
// arcseconds.
struct Figures {
  double x = 1.0;  // dx per x pixel
  double y = 1.0;  // dy per y pixel
  double pixel_scale = 1.0;
  // Arcseconds of the camera's pixels, when the focal length is known.
  std::optional<double> arcsec_x;
  std::optional<double> arcsec_y;
  std::optional<long long> focal_length_mm;
};

Figures FiguresFor(const Phd2LogSettings& settings) {
  Figures f;
  // The summary's own scales, which it gives only for a focal length above 0.
  if (!settings.focal_length_mm || !(*settings.focal_length_mm > 0.0)) return f;
  const PixelScale scale = ArcsecPerPixel(*settings.focal_length_mm);
  f.arcsec_x = scale.ra;
  f.arcsec_y = scale.dec;
  f.focal_length_mm = std::llround(*settings.focal_length_mm);
  // The header shows two decimals: the virtual pixel is exactly what it
  // shows, and never 0.00.
  f.pixel_scale = std::max(0.01, std::round(*f.arcsec_x * 100.0) / 100.0);
  f.x = *f.arcsec_x / f.pixel_scale;
  f.y = *f.arcsec_y / f.pixel_scale;
  return f;
}

// One section of the file: a guided exposure or an unguided run. Its
// entities [first, end) give its rows and INFO lines.
struct Section {
  EntityPos first = 0;
  EntityPos end = 0;
  std::size_t first_sample = 0;  // the sample of the first star entity in it
  double begin_s = 0.0;
  double end_s = 0.0;
  const ExposureSpan* exposure = nullptr;  // null for an unguided run
  double wait_s = -1.0;
  double ml_s = -1.0;
  double exp_s = -1.0;
  int run = -1;
  std::size_t positions = 0;
  // AutoExposure was in WAIT or M.L. just before the first entity.
  bool settling_at_start = false;
};

bool IsSettlingPhase(std::uint8_t state) { return state == kAeWait || state == kAeMl; }

// The sections in the order of their first entity.
std::vector<Section> FindSections(const GuideLog& log, const GuideSeries& series) {
  const EntityList& entities = log.entities;
  // Entity of every sample: series samples are the star entities in order.
  std::vector<EntityPos> star_entity;
  star_entity.reserve(series.samples.size());
  for (EntityPos pos = 0; pos < entities.size(); ++pos)
    if (entities[pos].type == ENTITY_STAR) star_entity.push_back(pos);
  const auto stars_before = [&](EntityPos pos) {
    return static_cast<std::size_t>(std::lower_bound(star_entity.begin(), star_entity.end(), pos) -
                                    star_entity.begin());
  };

  std::vector<Section> sections;
  // The exposures as ExtractGuideSeries finds and numbers them, with the
  // entities that bound them.
  std::size_t numbered = 0;
  for (EntityPos from = log.begin_pos(); from < log.sentinel();) {
    const ExposureBounds b = FindGuidedExposure(log, from);
    if (b.start == log.sentinel()) break;
    const std::size_t first_sample = stars_before(b.start);
    const std::size_t end_sample = stars_before(b.scan_end);
    if (stars_before(from) < end_sample && numbered < series.exposures.size()) {
      const ExposureSpan& span = series.exposures[numbered++];
      // An exposure of absolute positions only is an unguided run, and is
      // written as one.
      bool has_frames = false;
      for (std::size_t k = first_sample; k < end_sample && !has_frames; ++k)
        has_frames = !series.samples[k].position;
      if (has_frames) {
        Section s;
        s.first = b.start;
        s.end = b.scan_end;
        s.first_sample = first_sample;
        s.begin_s = span.begin_s;
        s.end_s = span.end_s;
        s.exposure = &span;
        s.wait_s = b.wait;
        s.ml_s = b.ml;
        s.exp_s = b.exp;
        sections.push_back(s);
      }
    }
    if (b.scan_end == from || b.scan_end >= log.sentinel()) break;
    from = b.scan_end;
  }
  for (std::size_t k = 0; k < series.runs.size(); ++k) {
    const RunSpan& run = series.runs[k];
    if (run.end_sample <= run.first_sample) continue;
    Section s;
    s.first = star_entity[run.first_sample];
    s.end = star_entity[run.end_sample - 1] + 1;
    s.first_sample = run.first_sample;
    s.begin_s = run.begin_s;
    s.end_s = run.end_s;
    s.run = static_cast<int>(k);
    s.positions = run.end_sample - run.first_sample;
    sections.push_back(s);
  }
  std::stable_sort(sections.begin(), sections.end(),
                   [](const Section& a, const Section& b) { return a.first < b.first; });

  std::uint8_t state = kAeIdle;
  EntityPos pos = 0;
  for (Section& s : sections) {
    for (; pos < s.first; ++pos)
      if (entities[pos].type == ENTITY_AE_CHANGE) state = entities[pos].ae.ae_state;
    s.settling_at_start = IsSettlingPhase(state);
  }
  return sections;
}

const char* AeStateText(std::uint8_t state) {
  switch (state) {
    case kAeIdle:
      return "IDLE";
    case kAeWait:
      return "WAIT";
    case kAeMl:
      return "M.L.";
    case kAeExp:
      return "EXP";
    default:
      return state >= kAeExternal ? "external" : "unnamed state";
  }
}

// Writes the file's text as it is put together, within the budget.
class Phd2Text {
 public:
  Phd2Text(std::FILE* file, OutputBudget* budget) : file_(file), budget_(budget) {
    text_.reserve(kSpillBytes + 4096);
  }

  std::string& text() { return text_; }
  void EndLine() {
    text_ += kEol;
    if (text_.size() >= kSpillBytes) Spill();
  }
  void Line(std::string_view line) {
    text_ += line;
    EndLine();
  }
  // Hands the rest to the file; false when anything did not reach it.
  bool Finish() {
    Spill();
    return ok_;
  }
  bool over_budget() const { return over_budget_; }

 private:
  void Spill() {
    if (ok_ && budget_ != nullptr && !budget_->TakeBytes(text_.size())) {
      over_budget_ = true;
      ok_ = false;
    }
    if (ok_) ok_ = std::fwrite(text_.data(), 1, text_.size(), file_) == text_.size();
    text_.clear();
  }

  std::FILE* file_;
  OutputBudget* budget_;
  std::string text_;
  bool ok_ = true;
  bool over_budget_ = false;
};

class SectionWriter {
 public:
  SectionWriter(Phd2Text& out, const GuideLog& log, const GuideSeries& series,
                const WallClock& clock, const Figures& figures, const Phd2LogSettings& settings,
                std::uint32_t file_id)
      : out_(out),
        log_(log),
        series_(series),
        clock_(clock),
        figures_(figures),
        settings_(settings),
        file_id_(file_id) {}

  void Write(const Section& s) {
    // The section starts at the whole second of its first entity, so
    // that the viewer's clock (start plus row time) is the guider's.
    const long long origin = series_.origin_tenths;
    const long long zero = FloorDiv(origin + TenthsOf(s.begin_s), 10) * 10;
    out_.EndLine();
    out_.Line("Guiding Begins at " + clock_.Text(zero));
    WriteHeader(s);
    out_.Line(kColumns);

    const bool guided = s.exposure != nullptr;
    bool settling = guided && s.settling_at_start;
    bool exp_begun = false;
    if (settling) Info("SETTLING STATE CHANGE, Settling started");
    std::size_t k = s.first_sample;
    int frame = 1;
    float x0 = 0.0f;
    float y0 = 0.0f;
    if (!guided && k < series_.samples.size()) {
      x0 = series_.samples[k].ra_px;
      y0 = series_.samples[k].dec_px;
    }
    for (EntityPos pos = s.first; pos < s.end; ++pos) {
      const LogEntity& e = log_.entities[pos];
      switch (e.type) {
        case ENTITY_STAR: {
          const GuideSample& sample = series_.samples[k++];
          const double time = static_cast<double>(origin + TenthsOf(sample.t) - zero) / 10.0;
          if (sample.lost) {
            DropRow(frame++, time);
          } else if (guided && sample.position) {
            PositionInfo(sample);
          } else {
            Row(frame++, time, sample, x0, y0);
          }
          break;
        }
        case ENTITY_AE_CHANGE: {
          const std::uint8_t state = e.ae.ae_state;
          Info(std::string("AutoExposure ") + AeStateText(state));
          // Once EXP has begun, the report counts the rest as exposure.
          if (!guided || exp_begun) break;
          if (state == kAeExp) {
            if (settling) Info("SETTLING STATE CHANGE, Settling complete");
            settling = false;
            exp_begun = true;
          } else if (IsSettlingPhase(state) && !settling) {
            Info("SETTLING STATE CHANGE, Settling started");
            settling = true;
          } else if (!IsSettlingPhase(state) && settling) {
            Info("SETTLING STATE CHANGE, Settling failed");
            settling = false;
          }
          break;
        }
        case ENTITY_VARIABLE:
          VariableInfo(e.variable);
          break;
        case ENTITY_CLOCK:
          if (e.clock.is_open == 1 && e.clock.reopened == 1) {
            char text[64];
            std::snprintf(text, sizeof text, "the guider reopened its log (firmware %02x.%02x)",
                          e.clock.fw_major, e.clock.fw_minor);
            Info(text);
          }
          break;
        case ENTITY_EOF:
          if (!e.eof_message().empty()) Info("the guider's log is damaged here (file broken)");
          break;
        default:
          break;
      }
    }
    out_.Line("Guiding Ends at " + clock_.Text(origin + TenthsOf(s.end_s)));
  }

 private:
  void WriteHeader(const Section& s) {
    char line[512];
    std::string& t = out_.text();
    if (s.exposure != nullptr) {
      const ExposureSpan& x = *s.exposure;
      std::snprintf(line, sizeof line, "K-Tal guiding log QD%06x, guided %sexposure %cE%03d",
                    file_id_ & 0xFFFFFF, x.kind == 'A' ? "" : "external ", x.kind, x.number);
      t += line;
      if (x.kind == 'A') {
        t += ", AutoExposure";
        const char* separator = ": ";
        for (const auto& [name, seconds] :
             {std::pair{"WAIT", s.wait_s}, std::pair{"M.L.", s.ml_s}, std::pair{"EXP", s.exp_s}}) {
          if (seconds < 0.0) continue;
          t += separator;
          separator = ", ";
          t += name;
          t += ' ';
          AppendFixed(t, seconds, 1);
          t += " s";
        }
        if (s.exp_s < 0.0) t += ", EXP still running when the log ends";
      } else {
        t += ", guided without AutoExposure for ";
        AppendFixed(t, s.exp_s >= 0.0 ? s.exp_s : s.end_s - s.begin_s, 1);
        t += " s";
      }
    } else {
      std::snprintf(line, sizeof line,
                    "K-Tal guiding log QD%06x, unguided run %d: %zu absolute star positions, the "
                    "mount not guided",
                    file_id_ & 0xFFFFFF, s.run + 1, s.positions);
      t += line;
    }
    out_.EndLine();

    t += "Settings given for this log:";
    bool any = false;
    if (figures_.focal_length_mm) {
      t += " focal length ";
      AppendInteger(t, *figures_.focal_length_mm);
      t += " mm";
      any = true;
    }
    if (settings_.worm_period_s) {
      t += any ? ", worm period " : " worm period ";
      AppendFixed(t, *settings_.worm_period_s, 0);
      t += " s";
      any = true;
    }
    if (settings_.declination_deg) {
      t += any ? ", guide star declination " : " guide star declination ";
      AppendFixed(t, *settings_.declination_deg, 1);
      t += " deg";
      any = true;
    }
    if (!any) t += " none";
    out_.EndLine();

    t += "Pixel scale = ";
    AppendFixed(t, figures_.pixel_scale, 2);
    t += " arc-sec/px, Binning = 1, Focal length = ";
    AppendInteger(t, figures_.focal_length_mm.value_or(0));
    t += " mm";
    out_.EndLine();

    t += s.exposure != nullptr
             ? "Figures: dx and dy are the star's drift in RA (x) and DEC (y)"
             : "Figures: dx and dy are the star's movement from its first position of the run in "
               "RA (x) and DEC (y)";
    if (figures_.arcsec_x) {
      t += ", both in pixels of exactly ";
      AppendFixed(t, figures_.pixel_scale, 2);
      t += " arc-sec (the camera's x pixel is ";
      AppendFixed(t, *figures_.arcsec_x, 4);
      t += " arc-sec, its y pixel ";
      AppendFixed(t, *figures_.arcsec_y, 4);
      t += " arc-sec; each axis is scaled so that Pixel scale gives its arcseconds)";
    } else {
      t += "; the figures are pixels, as no focal length was given: dx in the camera's x pixels (";
      AppendFixed(t, kPixelWidthUm, 2);
      t += " um), dy in its y pixels (";
      AppendFixed(t, kPixelHeightUm, 2);
      t += " um), and Pixel scale 1.00 stands for none";
    }
    t += "; RARawDistance and DECRawDistance are the same numbers";
    out_.EndLine();

    t += s.exposure != nullptr ? "Mount = K-Tal, connected, guiding enabled, "
                               : "Mount = K-Tal, connected, guiding disabled, ";
    t += "xAngle = 0.0, xRate = 1.000, yAngle = 90.0, yRate = 1.000, parity = Even";
    out_.EndLine();

    out_.Line(
        "Corrections: RADuration and DECDuration are the guider's corrections (1/32 s) in whole "
        "ms, a positive one E or S, a negative one W or N; RAGuideDistance and DECGuideDistance "
        "repeat the raw distance on frames with a correction on that axis; the guider logs no "
        "guide rates (xRate and yRate 1.000 are none)");
    if (settings_.declination_deg) {
      t += "RA = N/A hr, Dec = ";
      AppendFixed(t, *settings_.declination_deg, 1);
      t += " deg, Hour angle = N/A hr, Pier side = N/A (the guider logs no pointing; the "
           "declination is the one given)";
      out_.EndLine();
    }
    out_.Line(s.exposure != nullptr
                  ? "Events: AutoExposure's WAIT and M.L. phases are settling, a lost star is a "
                    "DROP row, an absolute position an INFO line; StarMass and SNR are not logged"
                  : "Events: the guider logged absolute positions while the mount was not "
                    "guided; StarMass and SNR are not logged");
  }

  void Info(std::string_view text) {
    out_.text() += "INFO: ";
    out_.Line(text);
  }

  void PositionInfo(const GuideSample& sample) {
    std::string& t = out_.text();
    t += "INFO: absolute star position x = ";
    AppendFixed(t, sample.ra_px, 3);
    t += ", y = ";
    AppendFixed(t, sample.dec_px, 3);
    t += " px, not a drift and not in the figures";
    out_.EndLine();
  }

  void VariableInfo(const VariablePayload& v) {
    char text[160];
    switch (v.variable_id) {
      case kVariableGain:
        std::snprintf(text, sizeof text, "gain = %u", v.value[0]);
        break;
      case kVariableExpo:
        std::snprintf(text, sizeof text, "expo = %u", v.value[0] | (v.value[1] << 8));
        break;
      case kVariableThreshold:
        std::snprintf(text, sizeof text, "thr. = %u", v.value[0]);
        break;
      case kVariableRaAxis:
      case kVariableDecAxis:
        std::snprintf(text, sizeof text, "%s num = %u, tol. = %u.%02u, aggr. = %u, mode = %u",
                      v.variable_id == kVariableRaAxis ? "RA" : "DEC", v.value[1], v.value[3],
                      v.value[2], v.value[4], v.value[5]);
        break;
      default:
        std::snprintf(text, sizeof text, "variable %u", v.variable_id);
        break;
    }
    Info(std::string("Guiding parameter change, ") + text);
  }

  void RowStart(int frame, double time, std::string_view mount) {
    std::string& t = out_.text();
    AppendInteger(t, frame);
    t += ',';
    AppendFixed(t, time, 3);
    t += ',';
    t += mount;
  }

  void DropRow(int frame, double time) {
    RowStart(frame, time, "\"DROP\"");
    // dx to SNR empty, error code 2.
    out_.text() += ",,,,,,,,,,,,,,,2,\"Star lost - low SNR\"";
    out_.EndLine();
  }

  // The duration cell and the direction cell of one axis.
  static void AppendPulse(std::string& t, float correction_s, char positive, char negative) {
    const double units = static_cast<double>(correction_s) * 32.0;
    AppendInteger(t, std::llround(std::fabs(units) * kMsPerCorrection));
    t += ',';
    if (units > 0.0) t += positive;
    if (units < 0.0) t += negative;
  }

  void Row(int frame, double time, const GuideSample& sample, float x0, float y0) {
    const double dx = (static_cast<double>(sample.ra_px) - x0) * figures_.x;
    const double dy = (static_cast<double>(sample.dec_px) - y0) * figures_.y;
    RowStart(frame, time, "\"Mount\"");
    std::string& t = out_.text();
    for (const double value : {dx, dy, dx, dy, sample.ra_correction_s != 0.0f ? dx : 0.0,
                               sample.dec_correction_s != 0.0f ? dy : 0.0}) {
      t += ',';
      AppendFixed(t, value, 3);
    }
    t += ',';
    AppendPulse(t, sample.ra_correction_s, 'E', 'W');
    t += ',';
    AppendPulse(t, sample.dec_correction_s, 'S', 'N');
    // XStep, YStep, StarMass and SNR empty, error code 0.
    t += ",,,,,0";
    out_.EndLine();
  }

  Phd2Text& out_;
  const GuideLog& log_;
  const GuideSeries& series_;
  const WallClock& clock_;
  const Figures& figures_;
  const Phd2LogSettings& settings_;
  std::uint32_t file_id_;
};

}  // namespace

std::string Phd2GuideLogName(const GuideLog& log) {
  const LogEntity first = log.entities.empty() ? LogEntity{} : log.entities.front();
  return "PHD2_GuideLog_" + WallClock(first.clock_date).Text(first.clock_tenths, true) + ".txt";
}

int WritePhd2GuideLog(const GuideLog& log, std::uint32_t file_id, const Phd2LogSettings& settings,
                      const std::string& folder, OutputBudget* budget, std::string* written_name) {
  const std::string name = Phd2GuideLogName(log);
  const std::string path = folder.empty() ? name : (std::filesystem::path(folder) / name).string();
  if (budget != nullptr && !budget->TakeFile()) {
    PrintBudgetExceeded(*budget, name.c_str());
    return kPhd2OverBudget;
  }
  StdioFile file = CreateOutputFile(path);
  if (!file) {
    std::printf("ERROR: can't create PHD2 guide log file '%s'\n", name.c_str());
    return kPhd2NotCreated;
  }

  const GuideSeries series = ExtractGuideSeries(log);
  const WallClock clock(series.origin_date);
  const Figures figures = FiguresFor(settings);
  Phd2Text out(file.get(), budget);
  out.text() += "PHD2 version " + settings.program_version + ", Log version 2.5. Log enabled at " +
                clock.Text(series.origin_tenths);
  out.EndLine();
  SectionWriter writer(out, log, series, clock, figures, settings, file_id);
  for (const Section& section : FindSections(log, series)) writer.Write(section);
  const bool written = out.Finish();
  const bool closed = CloseChecked(file);
  if (out.over_budget()) {
    std::remove(path.c_str());
    PrintBudgetExceeded(*budget, name.c_str());
    return kPhd2OverBudget;
  }
  if (!written || !closed) {
    std::remove(path.c_str());
    std::printf("ERROR: can't write PHD2 guide log file '%s'\n", name.c_str());
    return kPhd2WriteShort;
  }
  if (written_name != nullptr) *written_name = name;
  return 0;
}

}  // namespace ktal
