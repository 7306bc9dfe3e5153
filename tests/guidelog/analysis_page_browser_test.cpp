// SPDX-License-Identifier: GPL-3.0-or-later
// analysis.html in a real browser: a generated night is processed as the
// program processes it, headless Chromium loads the page, and every figure
// the page's script computed and wrote into its table is compared with the
// program's own guiding summary, with and without ranges excluded in the
// page's address. Without Chromium the test reports itself skipped (exit
// code 77); set KTAL_CHROMIUM to use another browser binary.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
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
#include "guidelog/guided_periodogram.h"
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
    ASSERT_EQ(ProcessRawFile(*processed, file.get(), entry, StoredReportSettings(false, true, true),
                             "2026 Dec  9 21:00"),
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

// The three strongest periods of a periodogram, each shown with its
// harmonic of the worm period after the number.
void ExpectPeaks(const std::string& dom, const std::string& scope,
                 const std::vector<SpectrumPeak>& peaks) {
  for (std::size_t k = 0; k < 3; ++k) {
    const std::string id = scope + "-peak" + std::to_string(k + 1);
    SCOPED_TRACE(id);
    const std::optional<std::string> value = browser::Attribute(dom, id, "data-value");
    ASSERT_TRUE(value);
    if (k >= peaks.size()) {
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

// The figures of an unguided run.
void ExpectRun(const std::string& dom, const std::string& scope, const UnguidedRunSummary& u) {
  ExpectCount(dom, scope + "-samples", u.samples);
  ExpectFigure(dom, scope + "-span_s", u.span_s, 1);
  auto figure = [&](const std::optional<double>& v) { return u.has_figures ? v : std::nullopt; };
  ExpectFigure(dom, scope + "-ra_rate_arcsec_per_min", figure(u.ra_rate_arcsec_per_min), 3);
  ExpectFigure(dom, scope + "-dec_rate_arcsec_per_min", figure(u.dec_rate_arcsec_per_min), 3);
  ExpectFigure(dom, scope + "-polar_error_arcmin", figure(u.polar_error_arcmin), 2);
  ExpectFigure(dom, scope + "-pe_peak_to_peak_arcsec", figure(u.pe_peak_to_peak_arcsec), 2);
  ExpectFigure(dom, scope + "-pe_max_slope_arcsec_per_s", figure(u.pe_max_slope_arcsec_per_s), 4);
  ExpectPeaks(dom, scope, u.has_figures ? u.periodogram.peaks : std::vector<SpectrumPeak>{});
}

// The periodogram of the guided RA drift of the night or an exposure: its
// samples, strongest periods and the amplitude at the worm period.
void ExpectGuided(const std::string& dom, const std::string& scope, const GuidedRaPeriodogram& g) {
  ExpectCount(dom, scope + "-samples", g.samples);
  ExpectPeaks(dom, scope, g.periodogram.peaks);
  std::optional<double> worm;
  for (const SpectrumPeak& h : g.periodogram.worm_harmonics)
    if (h.harmonic == 1) worm = h.amplitude_arcsec;
  ExpectFigure(dom, scope + "-worm", worm, 2);
}

void ExpectSummary(const std::string& dom, const GuideSeries& series, const GuidingSummary& summary,
                   const GuidedRaSummary& guided) {
  ExpectGuiding(dom, "night", summary.night);
  for (const ExposureSummary& e : summary.exposures) {
    ExpectGuiding(dom, ExposureName(series.exposures[e.exposure]), e.guiding);
  }
  for (std::size_t r = 0; r < summary.runs.size(); ++r)
    ExpectRun(dom, "run" + std::to_string(r + 1), summary.runs[r]);
  ExpectGuided(dom, "guided-night", guided.night);
  ASSERT_EQ(guided.exposures.size(), series.exposures.size());
  for (std::size_t k = 0; k < series.exposures.size(); ++k) {
    const std::string scope = "guided-" + ExposureName(series.exposures[k]);
    // Positions alone are an unguided run's, which the page leaves out here.
    if (!browser::Attribute(dom, scope + "-samples", "id")) {
      EXPECT_EQ(guided.exposures[k].samples, 0) << scope;
      continue;
    }
    ExpectGuided(dom, scope, guided.exposures[k]);
  }
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
    const GuidedRaSummary guided = SummarizeGuidedRa(series_, Options(c.excluded));
    EXPECT_FALSE(guided.night.periodogram.peaks.empty());
    ExpectSummary(dom, series_, summary, guided);
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
  ExpectSummary(dom, series_, without, SummarizeGuidedRa(series_, Options({{from, to}})));
}

// The page with `script` run after its own, as a user's clicks would run.
std::string WithScript(const std::string& script) {
  std::string page = logtest::ReadText(kAnalysisPageName);
  const std::size_t body_end = page.rfind("</body>");
  EXPECT_NE(body_end, std::string::npos);
  if (body_end != std::string::npos)
    page.replace(body_end, 7, "<script>" + script + "</script></body>");
  return page;
}

std::vector<std::string> Words(const std::string& text, char sep) {
  std::vector<std::string> words;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find(sep, start)) != std::string::npos; start = at + 1)
    words.push_back(text.substr(start, at - start));
  if (start < text.size()) words.push_back(text.substr(start));
  return words;
}

// The exposures table: sorted by a click on a column's title (twice:
// descending), the exposures over the threshold in the address marked,
// their list copied; a new threshold typed goes into the address. Part of
// an exposure is excluded, and the table follows.
TEST_F(AnalysisPageInBrowser, TheExposuresTableSortsMarksAndCopiesByTheThresholdInTheAddress) {
  const ExposureSpan& second = series_.exposures[1];
  const double mid = std::round((second.begin_s + second.end_s) / 2.0);
  char excluded[64];
  std::snprintf(excluded, sizeof excluded, "%.1f-%.1f", mid, mid + 60.0);
  const GuidingSummary summary = SummarizeGuiding(series_, Options({{mid, mid + 60.0}}));
  // Thresholds between the exposures' total RMS, so that some are over
  // each and some not.
  std::vector<std::pair<double, std::string>> rms;  // arcseconds, name
  for (const ExposureSummary& e : summary.exposures) {
    const ExposureSpan& span = series_.exposures[e.exposure];
    char name[8];
    std::snprintf(name, sizeof name, "%c%03d", span.kind, span.number);
    rms.emplace_back(e.guiding.arcsec ? e.guiding.arcsec->total_rms : -1.0, name);
  }
  std::vector<double> sorted;
  for (const auto& [value, name] : rms)
    if (value >= 0.0) sorted.push_back(value);
  std::sort(sorted.begin(), sorted.end());
  ASSERT_GE(sorted.size(), 4u);
  char first[32], second_thr[32];
  std::snprintf(first, sizeof first, "%.4f", (sorted[0] + sorted[1]) / 2.0);
  std::snprintf(second_thr, sizeof second_thr, "%.4f",
                (sorted[sorted.size() - 2] + sorted[sorted.size() - 1]) / 2.0);

  const std::string script = std::string(R"(
(function () {
  function rows(attr) {
    var out = [];
    document.querySelectorAll('#cull-table tr[data-name]').forEach(function (tr) {
      if (attr === 'all' || tr.classList.contains('marked')) out.push(tr.getAttribute('data-name'));
    });
    return out.join(' ');
  }
  var probe = document.createElement('p');
  probe.id = 'probe';
  var th = document.querySelector('#cull-table th[data-key="total_rms-as"]');
  th.click();
  th = document.querySelector('#cull-table th[data-key="total_rms-as"]');
  th.click();
  probe.setAttribute('data-order', rows('all'));
  probe.setAttribute('data-marked', rows('marked'));
  document.getElementById('cull-copy').click();
  probe.setAttribute('data-list', document.getElementById('cull-list').value.replace(/\n/g, '|'));
  var input = document.getElementById('cull-threshold');
  input.value = ')") + second_thr +
                             R"(';
  input.dispatchEvent(new Event('input'));
  probe.setAttribute('data-hash', location.hash);
  probe.setAttribute('data-marked-after', rows('marked'));
  document.body.appendChild(probe);
})();
)";
  {
    std::ofstream out("culled.html", std::ios::binary);
    out << WithScript(script);
  }
  const std::string fragment = std::string("exclude=") + excluded + "&thr=" + first;
  const std::string dom = browser::DumpDom(g_chromium, "culled.html", fragment, dir_.path());
  ASSERT_FALSE(dom.empty()) << "Chromium gave no page";
  ASSERT_TRUE(browser::Attribute(dom, "probe", "data-order"))
      << "the script did not run; the console:\n"
      << browser::ConsoleLog(dir_.path());

  // Descending by total RMS; exposures without one last, in log order.
  std::vector<std::pair<double, std::string>> order = rms;
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<std::string> expected_order, expected_marked, expected_after;
  for (const auto& [value, name] : order) {
    expected_order.push_back(name);
    if (value > std::strtod(first, nullptr)) expected_marked.push_back(name);
    if (value > std::strtod(second_thr, nullptr)) expected_after.push_back(name);
  }
  EXPECT_EQ(Words(*browser::Attribute(dom, "probe", "data-order"), ' '), expected_order);
  EXPECT_EQ(Words(*browser::Attribute(dom, "probe", "data-marked"), ' '), expected_marked);
  EXPECT_EQ(Words(*browser::Attribute(dom, "probe", "data-marked-after"), ' '), expected_after);
  EXPECT_GT(expected_marked.size(), expected_after.size());
  EXPECT_FALSE(expected_after.empty());

  // The copied list: a line per marked exposure in the table's order, its
  // name, date, start, end and total RMS.
  const std::vector<std::string> lines =
      Words(browser::Attribute(dom, "probe", "data-list").value_or(""), '|');
  ASSERT_EQ(lines.size(), expected_marked.size());
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const std::vector<std::string> fields = Words(lines[k], '\t');
    ASSERT_EQ(fields.size(), 5u) << lines[k];
    EXPECT_EQ(fields[0], expected_marked[k]);
    EXPECT_EQ(fields[1], "2014-03-21");
    double value = 0.0;
    for (const auto& [v, name] : rms)
      if (name == expected_marked[k]) value = v;
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    EXPECT_EQ(fields[4], text);
  }

  // The new threshold replaced the old one in the address, written as the
  // shortest text of its number; the exclusion stayed.
  const std::string hash = browser::Attribute(dom, "probe", "data-hash").value_or("");
  char shortest[32];
  *std::to_chars(shortest, shortest + sizeof shortest - 1, std::strtod(second_thr, nullptr)).ptr =
      '\0';
  EXPECT_NE(hash.find(std::string("thr=") + shortest), std::string::npos) << hash;
  EXPECT_EQ(Words(hash, '&').size(), 2u) << hash;
  EXPECT_NE(hash.find(std::string("exclude=") + excluded), std::string::npos) << hash;
}

// Night vision, turned on by "#night" in the address or by the page's
// switch, and switched twice: at night every colour the page's elements are
// given and every pixel of its plots red, and the switch changes "night" in
// the address alone. Then the units switch draws the guide graph anew in
// arcseconds over the same part of the night (it once left the graph empty:
// the new graph's rows asked the old one, already gone, for its width).
TEST_F(AnalysisPageInBrowser, NightThemeAndUnitsSwitchRedrawThePlotsAndKeepTheAddress) {
  const RunSpan& run = series_.runs[0];
  char rest[96];
  std::snprintf(rest, sizeof rest, "exclude=%.1f-%.1f&thr=0.5&view=3000.0-4000.0",
                run.begin_s + 300.0, run.begin_s + 420.0);
  // Each scan writes into #probe the page's class and address, its
  // elements' colours that are not red (how many, the first three), its
  // canvases, their bright pixels and those not red.
  {
    std::ofstream out("switched.html", std::ios::binary);
    out << WithScript(R"(
(function () {
  var probe = document.createElement('p');
  probe.id = 'probe';
  document.body.appendChild(probe);
  function notRed(r, g, b) { return g * 100 > r * 3 || b * 100 > r * 3; }
  function scan(name) {
    var wrong = [], canvases = document.querySelectorAll('canvas'), lit = 0, wrongPixels = 0;
    document.querySelectorAll('*').forEach(function (e) {
      var style = getComputedStyle(e);
      ['color', 'background-color', 'border-top-color', 'border-right-color', 'border-bottom-color',
       'border-left-color', 'outline-color', 'text-decoration-color'].forEach(function (p) {
        var v = style.getPropertyValue(p);
        var m = /^rgba?\(([\d.]+),? ([\d.]+),? ([\d.]+)(?:,? \/? ?([\d.]+))?\)$/.exec(v);
        if (m && m[4] !== undefined && parseFloat(m[4]) === 0) return;
        if (!m || notRed(+m[1], +m[2], +m[3])) wrong.push(e.tagName + (e.id ? '#' + e.id : '') + ' ' + p + ' ' + v);
      });
    });
    canvases.forEach(function (c) {
      if (!c.width || !c.height) return;
      var d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
      for (var i = 0; i < d.length; i += 4) {
        if (d[i + 3] === 0) continue;
        if (d[i] > 100) ++lit;
        if (notRed(d[i], d[i + 1], d[i + 2])) ++wrongPixels;
      }
    });
    probe.setAttribute('data-' + name, [document.documentElement.className, location.hash,
      wrong.length + ' ' + wrong.slice(0, 3).join(', '), canvases.length, lit, wrongPixels].join('|'));
  }
  scan('scan0');
  document.getElementById('night-toggle').click();
  scan('scan1');
  document.getElementById('night-toggle').click();
  scan('scan2');
  document.querySelector('#unit-switch input[value="arcsec"]').click();
  probe.setAttribute('data-units', [document.querySelector('#guide-graph .dygraph-ylabel').textContent,
    document.querySelectorAll('#guide-graph canvas').length, location.hash].join('|'));
})();
)");
  }
  const std::string on = std::string("#night&") + rest, off = std::string("#") + rest;
  const struct {
    const char* name;
    std::string fragment;
    std::string hashes[3];  // loaded, switched, switched again; at night with "night"
  } cases[] = {
      {"turned on by the address", on.substr(1), {on, off, off + "&night"}},
      {"turned on by the switch", off.substr(1), {off, off + "&night", off}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dom = browser::DumpDom(g_chromium, "switched.html", c.fragment, dir_.path());
    ASSERT_FALSE(dom.empty()) << "Chromium gave no page";
    auto probe = [&](const std::string& name) {
      std::string value = browser::Attribute(dom, "probe", "data-" + name).value_or("");
      // The DOM's text escapes '&'.
      for (std::size_t at; (at = value.find("&amp;")) != std::string::npos;) value.erase(at + 1, 4);
      return Words(value, '|');
    };
    for (int scan = 0; scan < 3; ++scan) {
      SCOPED_TRACE("scan " + std::to_string(scan));
      const std::vector<std::string> found = probe("scan" + std::to_string(scan));
      ASSERT_EQ(found.size(), 6u) << "the script stopped; the console:\n"
                                  << browser::ConsoleLog(dir_.path());
      EXPECT_EQ(found[1], c.hashes[scan]);
      const bool night = c.hashes[scan].find("night") != std::string::npos;
      EXPECT_EQ(found[0], night ? "night" : "");
      if (!night) continue;
      EXPECT_EQ(found[2], "0 ");
      // The guide graph, the guided periodogram and the run's two plots.
      EXPECT_GE(std::stoi(found[3]), 4);
      EXPECT_GT(std::stol(found[4]), 1000) << "plots with nothing bright in them";
      EXPECT_EQ(found[5], "0") << "pixels with green or blue";
    }
    const std::vector<std::string> units = probe("units");
    ASSERT_EQ(units.size(), 3u) << browser::ConsoleLog(dir_.path());
    EXPECT_EQ(units[0], "Drift (arcsec)");
    EXPECT_GE(std::stoi(units[1]), 1);
    EXPECT_EQ(units[2], c.hashes[2]);
  }
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
