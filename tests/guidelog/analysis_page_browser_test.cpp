// analysis.html in a real browser: a generated night is processed as the
// program processes it, headless Chromium loads the page, and every figure
// the page's script computed and wrote into its table is compared with the
// program's own guiding summary, with and without ranges excluded in the
// page's address. Without Chromium the test reports itself skipped (exit
// code 77); set KTAL_CHROMIUM to use another browser binary.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "guidelog/analysis_page.h"
#include "guidelog/guide_log.h"
#include "guidelog/guiding_summary.h"
#include "guidelog/raw_copy.h"
#include "guidelog/report_settings.h"
#include "guidelog/stdio_file.h"
#include "sim/log_writer.h"
#include "sim/session_generator.h"
#include "tests/guidelog/guidelog_test_util.h"
#include "tests/guidelog/headless_chromium.h"

namespace ktal {
namespace {

namespace fs = std::filesystem;

std::string g_chromium;

constexpr std::uint32_t kFileId = 0x00C0DE;
constexpr int kFocalMm = 1000;
constexpr int kWormS = 480;
constexpr float kDecDeg = 21.5f;

// A night with everything the page shows: an unguided run of three worm
// periods, AutoExposure exposures with lost stars, and an external one.
std::vector<std::uint8_t> NightRawFile() {
  SessionOptions options;
  options.seed = 14;
  options.star_dec_deg = kDecDeg;
  options.position_run_s = 1500.0;
  options.exposures = 3;
  options.exposure_s = 240.0;
  options.external_exposures = 1;
  options.lost_star_probability = 0.04;
  LogWriter writer;
  EXPECT_EQ(WriteSession(options, writer), 0);
  DirectoryEntry entry;
  SetFileId(entry.file_id, kFileId);
  entry.created_date = options.start_date;
  entry.created_time = PackTime(21, 0);
  return writer.RawFile(entry);
}

class AnalysisPageInBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    g_focalLength = kFocalMm;
    g_wormPeriod = kWormS;
    g_starDec = kDecDeg;
    const std::vector<std::uint8_t> raw = NightRawFile();
    {
      std::FILE* file = std::fopen("QD00c0de.dat", "wb");
      ASSERT_NE(file, nullptr);
      ASSERT_EQ(std::fwrite(raw.data(), 1, raw.size(), file), raw.size());
      ASSERT_EQ(std::fclose(file), 0);
    }
    // The page as the processing entry writes it beside the report.
    StdioFile file = OpenStdioFile("QD00c0de.dat", "rb");
    auto processed = std::make_unique<GuideLog>();
    DirectoryEntry entry;
    ASSERT_EQ(ProcessRawFile(*processed, file.get(), entry, false, true, true, "2026 Dec  9 21:00"),
              0);
    ASSERT_TRUE(logtest::Exists(kAnalysisPageName));
    series_ = ExtractGuideSeries(*processed);
    ASSERT_GT(series_.exposures.size(), 3u);
    ASSERT_EQ(series_.runs.size(), 1u);
  }
  void TearDown() override {
    g_focalLength = g_wormPeriod = 0;
    g_starDec = 0;
  }

  SummaryOptions Options(std::vector<TimeRange> excluded) const {
    SummaryOptions o;
    o.focal_length_mm = kFocalMm;
    o.worm_period_s = kWormS;
    o.declination_deg = kDecDeg;
    o.excluded = std::move(excluded);
    return o;
  }

  // The page's DOM with `fragment` in its address.
  std::string Dom(const std::string& fragment) {
    const std::string dom = browser::DumpDom(g_chromium, kAnalysisPageName, fragment, dir_.path());
    EXPECT_NE(dom.find("data-ready=\"1\""), std::string::npos)
        << "the page's script did not finish; its console:\n"
        << browser::ConsoleLog(dir_.path());
    return dom;
  }

  logtest::TempDir dir_;
  GuideSeries series_;
};

// The figure with id `id` holds `expected`: in data-value at full precision
// (the page's arithmetic is the program's, so only the last bits of the
// trigonometry may differ) and shown rounded to `decimals`.
void ExpectFigure(const std::string& dom, const std::string& id,
                  const std::optional<double>& expected, int decimals) {
  SCOPED_TRACE(id);
  const std::optional<std::string> value = browser::Attribute(dom, id, "data-value");
  ASSERT_TRUE(value) << "no figure in the page";
  if (!expected) {
    EXPECT_EQ(*value, "null");
    return;
  }
  ASSERT_NE(*value, "null");
  const double shown = std::strtod(value->c_str(), nullptr);
  EXPECT_NEAR(shown, *expected, 1e-9 * std::max(1.0, std::fabs(*expected)));
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, shown);
  EXPECT_EQ(browser::Text(dom, id).value_or(""), text);
}

void ExpectCount(const std::string& dom, const std::string& id, int expected) {
  EXPECT_EQ(browser::Text(dom, id).value_or("(none)"), std::to_string(expected)) << id;
}

void ExpectGuiding(const std::string& dom, const std::string& scope, const GuidingFigures& g) {
  ExpectCount(dom, scope + "-samples", g.drift_samples);
  ExpectCount(dom, scope + "-ra_corrections", g.ra_corrections);
  ExpectCount(dom, scope + "-dec_corrections", g.dec_corrections);
  ExpectCount(dom, scope + "-lost_stars", g.lost_stars);
  struct Figure {
    const char* name;
    double ErrorFigures::*field;
  };
  const Figure figures[] = {
      {"ra_rms", &ErrorFigures::ra_rms},       {"dec_rms", &ErrorFigures::dec_rms},
      {"total_rms", &ErrorFigures::total_rms}, {"ra_peak", &ErrorFigures::ra_peak},
      {"dec_peak", &ErrorFigures::dec_peak},   {"total_peak", &ErrorFigures::total_peak}};
  for (const Figure& f : figures) {
    ExpectFigure(dom, scope + "-" + f.name + "-px",
                 g.px ? std::optional<double>((*g.px).*f.field) : std::nullopt, 3);
    ExpectFigure(dom, scope + "-" + f.name + "-as",
                 g.arcsec ? std::optional<double>((*g.arcsec).*f.field) : std::nullopt, 2);
  }
}

std::string ExposureName(const ExposureSpan& e) {
  char name[16];
  std::snprintf(name, sizeof name, "%cE%03d", e.kind, e.number);
  return name;
}

// The figures of an unguided run; the strongest periods are shown with
// their harmonic of the worm period after the number.
void ExpectRun(const std::string& dom, const std::string& scope, const UnguidedRunSummary& u) {
  ExpectCount(dom, scope + "-samples", u.samples);
  ExpectFigure(dom, scope + "-span_s", u.span_s, 1);
  auto figure = [&](const std::optional<double>& v) { return u.has_figures ? v : std::nullopt; };
  ExpectFigure(dom, scope + "-ra_rate_arcsec_per_min", figure(u.ra_rate_arcsec_per_min), 3);
  ExpectFigure(dom, scope + "-dec_rate_arcsec_per_min", figure(u.dec_rate_arcsec_per_min), 3);
  ExpectFigure(dom, scope + "-polar_error_arcmin", figure(u.polar_error_arcmin), 2);
  ExpectFigure(dom, scope + "-pe_peak_to_peak_arcsec", figure(u.pe_peak_to_peak_arcsec), 2);
  ExpectFigure(dom, scope + "-pe_max_slope_arcsec_per_s", figure(u.pe_max_slope_arcsec_per_s), 4);
  const std::vector<SpectrumPeak>& peaks = u.periodogram.peaks;
  for (std::size_t k = 0; k < 3; ++k) {
    const std::string id = scope + "-peak" + std::to_string(k + 1);
    SCOPED_TRACE(id);
    const std::optional<std::string> value = browser::Attribute(dom, id, "data-value");
    ASSERT_TRUE(value);
    if (!u.has_figures || k >= peaks.size()) {
      EXPECT_EQ(*value, "null");
      continue;
    }
    EXPECT_NEAR(std::strtod(value->c_str(), nullptr), peaks[k].period_s, 1e-9 * peaks[k].period_s);
    const char* tag = peaks[k].harmonic == 1 ? " (worm)" : "";
    char text[64];
    if (peaks[k].harmonic > 1)
      std::snprintf(text, sizeof text, "%.1f (P/%d)", peaks[k].period_s, peaks[k].harmonic);
    else
      std::snprintf(text, sizeof text, "%.1f%s", peaks[k].period_s, tag);
    EXPECT_EQ(browser::Text(dom, id).value_or(""), text);
  }
}

void ExpectSummary(const std::string& dom, const GuideSeries& series,
                   const GuidingSummary& summary) {
  ExpectGuiding(dom, "night", summary.night);
  for (const ExposureSummary& e : summary.exposures) {
    ExpectGuiding(dom, ExposureName(series.exposures[e.exposure]), e.guiding);
  }
  for (std::size_t r = 0; r < summary.runs.size(); ++r)
    ExpectRun(dom, "run" + std::to_string(r + 1), summary.runs[r]);
}

// Ranges as the page's address gives them and as SummarizeGuiding takes
// them: inside an exposure, across the end of one and the start of the
// next, over a whole exposure (whose figures then vanish), and one given
// backwards.
TEST_F(AnalysisPageInBrowser, FiguresEqualTheProgramsSummaryWithAndWithoutExclusions) {
  const ExposureSpan& second = series_.exposures[1];
  const ExposureSpan& third = series_.exposures[2];
  const RunSpan& run = series_.runs[0];
  const double mid = std::round((second.begin_s + second.end_s) / 2.0);
  struct Case {
    std::string name;
    std::vector<std::pair<double, double>> ranges;  // as a user gives them
    std::string fragment;
    std::vector<TimeRange> excluded;  // as the page reads them back
  };
  std::vector<Case> cases = {
      {"nothing excluded", {}},
      {"part of an exposure and a whole one", {{mid, mid + 60.0}, {third.end_s, third.begin_s}}},
      {"across two exposures, and a cloud in the unguided run",
       {{run.begin_s + 300.0, run.begin_s + 420.0}, {second.end_s - 30.0, third.begin_s + 40.0}}},
  };
  // The address holds tenths of a second; both sides read the same text.
  for (Case& c : cases) {
    for (const auto& [from, to] : c.ranges) {
      char text[64];
      std::snprintf(text, sizeof text, "%.1f-%.1f", from, to);
      c.fragment += (c.fragment.empty() ? "exclude=" : ",") + std::string(text);
      TimeRange range;
      ASSERT_EQ(std::sscanf(text, "%lf-%lf", &range.begin_s, &range.end_s), 2);
      c.excluded.push_back(range);
    }
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dom = Dom(c.fragment);
    ASSERT_FALSE(dom.empty()) << "Chromium gave no page";
    const GuidingSummary summary = SummarizeGuiding(series_, Options(c.excluded));
    if (c.name == "part of an exposure and a whole one") {
      // The whole exposure is out: the page must show no figure for it.
      EXPECT_FALSE(summary.exposures[2].guiding.px);
    }
    EXPECT_TRUE(summary.runs[0].has_figures);
    ExpectSummary(dom, series_, summary);
  }
}

// A Shift-drag across the graph, done with the mouse events a user's drag
// sends, excludes that range: the page puts it into its address and shows
// the figures of the program's summary without it.
TEST_F(AnalysisPageInBrowser, ShiftDragExcludesTheRangeAndKeepsItInTheAddress) {
  std::string page = logtest::ReadText(kAnalysisPageName);
  const std::string drag = R"(<script>
(function () {
  var div = document.getElementById('guide-graph');
  var canvases = div.querySelectorAll('canvas');
  var target = canvases[canvases.length - 1];
  var box = div.getBoundingClientRect();
  function send(type, x, on) {
    (on || target).dispatchEvent(new MouseEvent(type, { bubbles: true, clientX: box.left + x,
      clientY: box.top + 200, shiftKey: true, button: 0 }));
  }
  send('mousedown', 1000);
  send('mousemove', 1050, document);
  send('mouseup', 1100, document);
  var out = document.createElement('p');
  out.id = 'probe';
  out.setAttribute('data-hash', location.hash);
  document.body.appendChild(out);
})();
</script>
</body>)";
  const std::size_t body_end = page.rfind("</body>");
  ASSERT_NE(body_end, std::string::npos);
  page.replace(body_end, 7, drag);
  {
    std::ofstream out("dragged.html", std::ios::binary);
    out << page;
  }
  const std::string dom = browser::DumpDom(g_chromium, "dragged.html", "", dir_.path());
  ASSERT_FALSE(dom.empty()) << "Chromium gave no page";
  const std::string hash = browser::Attribute(dom, "probe", "data-hash").value_or("");
  double from = 0.0, to = 0.0;
  ASSERT_EQ(std::sscanf(hash.c_str(), "#exclude=%lf-%lf", &from, &to), 2) << hash;
  EXPECT_LT(from, to);
  const GuidingSummary all = SummarizeGuiding(series_, Options({}));
  const GuidingSummary without = SummarizeGuiding(series_, Options({{from, to}}));
  EXPECT_LT(without.night.drift_samples, all.night.drift_samples) << "the drag excluded nothing";
  ExpectSummary(dom, series_, without);
}

}  // namespace
}  // namespace ktal

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const std::optional<std::string> chromium = ktal::browser::FindChromium();
  if (!chromium) {
    std::printf(
        "Skipped: no Chromium found (install the chromium package, or set KTAL_CHROMIUM).\n");
    return 77;
  }
  ktal::g_chromium = *chromium;
  return RUN_ALL_TESTS();
}
