// SPDX-License-Identifier: GPL-3.0-or-later
#include "guidelog/html_report.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <utility>
#include <variant>

#include "guidelog/exposure_analysis.h"
#include "guidelog/exposure_plots.h"
#include "guidelog/plot_image.h"
#include "guidelog/replacing_file.h"

namespace ktal {
namespace {

// The report's templates, printf style. Every "\n" goes out as CR LF.
constexpr char kHead[] =
    "<HTML><HEAD><META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; "
    "charset=iso-8859-1\"><style "
    "type=\"text/css\"><!--body,pre,p,td,th,ol,ul,li{font-family:Helvetica,Arial,Sans Serif; "
    "font-size:9pt;}input,select,option{font-family:Helvetica,Arial,Sans Serif; "
    "font-size:8pt;}A{text-decoration:none;}--></style></HEAD>\n<BODY BGCOLOR=#909090 TEXT=#0 "
    "leftmargin=0 topmargin=0 marginwidth=0 marginheight=0>\n<center><font size=6><b>ORVELIA K-Tal "
    "Stand-Alone AutoGuider file content of<br><font "
    "color=#f0e050>QD%06x</font></b></font><table><tr><td align=right>HTML generated at</td><td "
    "align=left>%s</td></tr></table>\n</center>\n\n<hr>\n\n";
constexpr char kAeHeading[] =
    "<hr>\n<font size=5 color=#502010><b>Guided exposure "
    "#%d</b></font>&nbsp&nbsp\n<b>%s</b><br>\n<br>\n";
constexpr char kAeInfo[] =
    "<table><tr><td valign=top><table>\n<tr><td><font size=4><b>AutoExposure "
    "info</b></font></td></tr>\n</table>\n<table><th><th width=100>\n<tr><td><i>Start</i></td><td "
    "align=right>%s</td></tr>\n";
constexpr char kWaitRow[] = "<tr><td><b>WAIT</b></td><td align=right>%.1f</td></tr>\n";
constexpr char kMlRow[] = "<tr><td><b>M.L.</b></td><td align=right>%.1f</td></tr>\n";
constexpr char kExpRow[] = "<tr><td><b>EXP</b></td><td align=right><b>%.1f</b></td></tr>\n";
constexpr char kExternalHeading[] =
    "<hr>\n<font size=5 color=#502010><b>Guided external exposure "
    "#%d</b></font>&nbsp&nbsp\n<b>%s</b><br>\n<br>\n";
constexpr char kExternalInfo[] =
    "<table><tr><td valign=top><table>\n<tr><td><font size=4><b>Exposure "
    "info</b></font></td></tr>\n</table>\n<table><th><th width=100>\n<tr><td><i>Start</i></td><td "
    "align=right>%s</td></tr>\n";
constexpr char kTimeRow[] = "<tr><td><b>Time</b></td><td align=right><b>%.1f</b></td></tr>\n";
constexpr char kEndRow[] = "<tr><td><i>End</i></td><td align=right>%s</td></tr>\n";
constexpr char kInfoClose[] = "</table>\n</td>";
constexpr char kSpreadCell[] =
    "<td><table>\n<tr><td><font size=4><b>Point spread</b></font></td></tr><tr><td><img "
    "src=\"%s\"/></td></tr></table>\n</td><td valign=top><b>%d</b> star positions, <b>%.2f</b> "
    "guiding frames/sec.<br>RA correction signal sent <b>%d</b> times.<br>DEC correction signal "
    "sent <b>%d</b> times.<br></td>";
constexpr char kRowClose[] = "</tr></table>\n";
constexpr char kDriftCell[] =
    "<table><tr><td width=180 valign=top><font size=4><b>Guide star "
    "drifts</b></font>\n<table><tr><td valign=top "
    "align=right><b>RA</b></td><td>mean<br>std.</td><td valign=top align=right>%.2f px<br>%.2f "
    "px</td></tr><tr><td valign=top align=right><b>DEC</b></td><td>mean<br>std.</td><td valign=top "
    "align=right>%.2f px<br>%.2f px</td></tr></table><br>\n</td>";
constexpr char kDriftImage[] = "<td><img src=\"%s\"/></td>\n";
constexpr char kErrorCell[] =
    "<table><tr><td width=180 valign=top><font size=4><b>Approx. tracking error of the "
    "mount</b></font><br>(corrections required)\n<table><tr><td valign=top align=right><b>RA "
    "scale</b></td><td valign=top align=right>%.2f sec</td></tr><tr><td valign=top "
    "align=right><b>DEC scale</b></td><td valign=top align=right>%.2f "
    "sec</td></tr></table><br>\n</td>";
constexpr char kErrorImage[] = "<td><img src=\"%s\"/></td>\n</tr></table>";
constexpr char kTail[] = "\n</BODY></HTML>";

using Arg = std::variant<long long, double, const char*>;

// printf of one template into `out`, with "\n" as CR LF. Real numbers are
// formatted by to_chars, which always writes a decimal point: the report
// must read the same whatever locale the program runs in.
void AppendTemplate(std::string& out, const char* tmpl, std::initializer_list<Arg> args) {
  auto next = args.begin();
  for (const char* c = tmpl; *c != '\0'; ++c) {
    if (*c == '\n') {
      out += "\r\n";
      continue;
    }
    if (*c != '%') {
      out += *c;
      continue;
    }
    const char* conversion_begin = c++;
    while (*c == '0' || *c == '-' || (*c >= '1' && *c <= '9') || *c == '.') ++c;
    const std::string conversion(conversion_begin,
                                 static_cast<std::size_t>(c - conversion_begin + 1));
    if (*c == '\0' || next == args.end()) break;
    const Arg& arg = *next++;
    char buffer[64];
    if (*c == 'f') {
      const int precision = conversion.find('.') != std::string::npos
                                ? std::atoi(conversion.c_str() + conversion.find('.') + 1)
                                : 6;
      const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::get<double>(arg),
                                        std::chars_format::fixed, precision);
      out.append(buffer, result.ptr);
    } else if (*c == 's') {
      out += std::get<const char*>(arg);
    } else {
      std::string int_conversion = conversion;
      int_conversion.insert(int_conversion.size() - 1, "ll");
      std::snprintf(buffer, sizeof buffer, int_conversion.c_str(), std::get<long long>(arg));
      out += buffer;
    }
  }
}

// Where the report's text goes: index.html, as far as the budget reaches.
class ReportFile {
 public:
  ReportFile(const char* name, OutputBudget* budget) : file_(name), budget_(budget) {}
  bool created() { return file_.stream() != nullptr; }
  // False once a write fell short or did not fit; nothing is written then.
  bool Write(const std::string& text) {
    if (!ok_) return false;
    if (budget_ != nullptr && !budget_->TakeBytes(text.size())) {
      over_budget_ = true;
      ok_ = false;
    } else if (std::fwrite(text.data(), 1, text.size(), file_.stream()) != text.size()) {
      ok_ = false;
    }
    return ok_;
  }
  // The report takes its name only when every write succeeded.
  ReplacingFile::CommitResult Commit() { return file_.Commit(ok_); }
  void Discard() { file_.Discard(); }
  bool over_budget() const { return over_budget_; }

 private:
  ReplacingFile file_;
  OutputBudget* budget_;
  bool ok_ = true;
  bool over_budget_ = false;
};

std::string FormatExposureDate(std::uint16_t date) {
  char text[32];
  std::snprintf(text, sizeof text, "%4d. %02d. %02d.", DateYear(date), DateMonth(date),
                DateDay(date));
  return text;
}

std::string ImageName(char letter, int number, const char* suffix) {
  char name[64];
  std::snprintf(name, sizeof name, "%cE%03d_%s.bmp", letter, number, suffix);
  return name;
}

// Saves one plot: 0 saved (or an image that could not be drawn for want
// of memory, which is left out); otherwise the report's failure code, with
// the file named on standard output.
int SaveImage(const PlotImage& image, const std::string& name, OutputBudget* budget) {
  const std::size_t size = BmpFileSize(image);
  if (budget != nullptr && size > 0 && !(budget->TakeFile() && budget->TakeBytes(size))) {
    PrintBudgetExceeded(*budget, name.c_str());
    return kReportOverBudget;
  }
  switch (SaveBmp(image, name)) {
    case 1:
      std::printf("ERROR: can't create image file '%s'\n", name.c_str());
      return kReportImageNotCreated;
    case 2:
      std::printf("ERROR: can't write image file '%s'\n", name.c_str());
      return kReportImageWriteShort;
    default:
      return 0;
  }
}

// Appends the section of the exposure just found, after saving its images:
// 0, or the code of the first image that failed (the section is not
// appended then).
int AppendSection(std::string& out, GuideLog& log, int number, OutputBudget* budget) {
  const ExposureFields& f = log.exposure;
  const bool ae = f.ae_flag == 1;
  const char letter = ae ? 'A' : 'X';
  const std::string spread_name = ImageName(letter, number, "spread");
  const std::string drift_name = ImageName(letter, number, "RAdrift");
  const std::string error_name = ImageName(letter, number, "err");

  RenderExposurePlots(log);
  // A disk that takes no image would take no other either: the report
  // stops at the first one rather than go on filling it.
  for (const auto& [image, name] :
       {std::pair{&log.drift_image, &drift_name}, std::pair{&log.spread_image, &spread_name},
        std::pair{&log.error_image, &error_name}}) {
    if (const int saved = SaveImage(*image, *name, budget); saved != 0) return saved;
  }

  const std::vector<LogEntity>& p = log.positions;
  const std::string date = FormatExposureDate(p.front().clock_date);
  const std::string start = f.start < log.sentinel() ? FormatClockTime(log.entities[f.start])
                                                     : FormatClockTime(p.front());
  AppendTemplate(out, ae ? kAeHeading : kExternalHeading,
                 {Arg(static_cast<long long>(number)), Arg(date.c_str())});
  AppendTemplate(out, ae ? kAeInfo : kExternalInfo, {Arg(start.c_str())});
  if (ae) {
    if (f.wait >= 0) AppendTemplate(out, kWaitRow, {Arg(f.wait)});
    if (f.ml >= 0) AppendTemplate(out, kMlRow, {Arg(f.ml)});
    if (f.exp >= 0) AppendTemplate(out, kExpRow, {Arg(f.exp)});
  } else if (f.exp >= 0) {
    AppendTemplate(out, kTimeRow, {Arg(f.exp)});
  }
  if (f.end < log.sentinel()) {
    const std::string end = FormatClockTime(log.entities[f.end]);
    AppendTemplate(out, kEndRow, {Arg(end.c_str())});
  }
  AppendTemplate(out, kInfoClose, {});

  // A single measurement, or frames all within one tenth of a second, have
  // no measurable rate; the report shows 0.00 then.
  const double span = SecondsBetween(p.back(), p.front());
  const double frame_rate = span > 0.0 ? static_cast<double>(p.size() - 1) / span : 0.0;
  AppendTemplate(
      out, kSpreadCell,
      {Arg(spread_name.c_str()), Arg(static_cast<long long>(f.valid_count)), Arg(frame_rate),
       Arg(static_cast<long long>(f.ra_count)), Arg(static_cast<long long>(f.dec_count))});
  AppendTemplate(out, kRowClose, {});
  AppendTemplate(out, kDriftCell, {Arg(f.mean_ra), Arg(f.std_ra), Arg(f.mean_dec), Arg(f.std_dec)});
  AppendTemplate(out, kDriftImage, {Arg(drift_name.c_str())});
  AppendTemplate(out, kErrorCell, {Arg(f.ra_scale), Arg(f.dec_scale)});
  AppendTemplate(out, kErrorImage, {Arg(error_name.c_str())});
  return 0;
}

}  // namespace

std::string FormatGenerationTime(const std::tm& time) {
  static constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int month = time.tm_mon >= 0 && time.tm_mon < 12 ? time.tm_mon : 0;
  char text[64];
  std::snprintf(text, sizeof text, "%4d %.3s%3d %.2d:%.2d", time.tm_year + 1900, kMonths[month],
                time.tm_mday, time.tm_hour, time.tm_min);
  return text;
}

std::string LocalGenerationTime() {
  const std::time_t now = std::time(nullptr);
  const std::tm* local = std::localtime(&now);
  return local != nullptr ? FormatGenerationTime(*local) : std::string();
}

int WriteHtmlReport(GuideLog& log, std::uint32_t file_id, OutputBudget* budget) {
  return WriteHtmlReport(log, file_id, LocalGenerationTime(), budget);
}

int WriteHtmlReport(GuideLog& log, std::uint32_t file_id, std::string_view generation_time,
                    OutputBudget* budget) {
  if (budget != nullptr && !budget->TakeFile()) {
    PrintBudgetExceeded(*budget, "index.html");
    return kReportOverBudget;
  }
  ReportFile file("index.html", budget);
  if (!file.created()) {
    std::printf("ERROR: can't create HTML file\n");
    return kReportNotCreated;
  }
  const std::string time_text(generation_time);
  std::string out;
  AppendTemplate(out, kHead, {Arg(static_cast<long long>(file_id)), Arg(time_text.c_str())});
  // Written section by section, so a long log never holds the whole
  // report in memory.
  file.Write(out);

  int ae_number = 1;
  int external_number = 1;
  log.scan_cursor = log.begin_pos();
  while (NextGuidedExposure(log) == 0) {
    if (log.positions.empty()) continue;
    int& number = log.exposure.ae_flag == 1 ? ae_number : external_number;
    out.clear();
    if (const int failed = AppendSection(out, log, number, budget); failed != 0) return failed;
    // No image of the next exposure is written once the report's own
    // text no longer fits or the disk is full.
    if (!file.Write(out)) break;
    ++number;
  }
  out.clear();
  AppendTemplate(out, kTail, {});
  file.Write(out);
  if (file.over_budget()) {
    file.Discard();
    PrintBudgetExceeded(*budget, "index.html");
    return kReportOverBudget;
  }
  // A report cut short by a full disk must not pass for a complete one,
  // nor for one that could not be created.
  switch (file.Commit()) {
    case ReplacingFile::CommitResult::kDone:
      return 0;
    case ReplacingFile::CommitResult::kNameNotTaken:
      std::printf("ERROR: can't create HTML file\n");
      return kReportNotCreated;
    case ReplacingFile::CommitResult::kWriteFailed:
      break;
  }
  std::printf("ERROR: can't write HTML file\n");
  return kReportWriteShort;
}

}  // namespace ktal
