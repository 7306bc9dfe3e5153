#include "guidelog/guiding_summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "guidelog/exposure_analysis.h"

namespace ktal {
namespace {

constexpr double kPixelPitchMm = 0.00485;
constexpr double kYScale = 0.9587629437446594;
constexpr double kDegreesPerRadian = 57.29577951309679;

// Whole tenths between two entities, as SecondsBetween counts them.
long long TenthsBetween(const LogEntity& a, const LogEntity& b)
{
    return std::llround(SecondsBetween(a, b) * 10.0);
}

bool Excluded(double t, const std::vector<TimeRange>& ranges)
{
    for (const TimeRange& r : ranges) {
        const double lo = std::min(r.begin_s, r.end_s);
        const double hi = std::max(r.begin_s, r.end_s);
        if (t >= lo && t <= hi)
            return true;
    }
    return false;
}

struct Scale {
    double ra = 1.0;
    double dec = 1.0;
};

ErrorFigures ErrorsOf(const std::vector<const GuideSample*>& drift, double mean_ra, double mean_dec, Scale s)
{
    ErrorFigures f;
    const double n = static_cast<double>(drift.size());
    double sum_ra = 0.0;
    double sum_dec = 0.0;
    for (const GuideSample* p : drift) {
        const double dx = (p->ra_px - mean_ra) * s.ra;
        const double dy = (p->dec_px - mean_dec) * s.dec;
        sum_ra += dx * dx;
        sum_dec += dy * dy;
        f.ra_peak = std::max(f.ra_peak, std::fabs(dx));
        f.dec_peak = std::max(f.dec_peak, std::fabs(dy));
        f.total_peak = std::max(f.total_peak, std::sqrt(dx * dx + dy * dy));
    }
    f.ra_rms = std::sqrt(sum_ra / n);
    f.dec_rms = std::sqrt(sum_dec / n);
    f.total_rms = std::sqrt(f.ra_rms * f.ra_rms + f.dec_rms * f.dec_rms);
    return f;
}

// The guiding figures of samples[first, end) without the excluded ones.
GuidingFigures FiguresOf(const GuideSeries& series, std::size_t first, std::size_t end,
                         const SummaryOptions& options, const std::optional<Scale>& arcsec)
{
    GuidingFigures g;
    std::vector<const GuideSample*> drift;
    double sum_ra = 0.0;
    double sum_dec = 0.0;
    for (std::size_t i = first; i < end; ++i) {
        const GuideSample& s = series.samples[i];
        if (Excluded(s.t, options.excluded))
            continue;
        if (s.ra_correction_s != 0.0)
            ++g.ra_corrections;
        if (s.dec_correction_s != 0.0)
            ++g.dec_corrections;
        if (s.lost) {
            ++g.lost_stars;
            continue;
        }
        if (s.position)
            continue;
        drift.push_back(&s);
        sum_ra += s.ra_px;
        sum_dec += s.dec_px;
    }
    g.drift_samples = static_cast<int>(drift.size());
    if (drift.empty())
        return g;
    g.mean_ra_px = sum_ra / g.drift_samples;
    g.mean_dec_px = sum_dec / g.drift_samples;
    g.px = ErrorsOf(drift, g.mean_ra_px, g.mean_dec_px, Scale{});
    if (arcsec)
        g.arcsec = ErrorsOf(drift, g.mean_ra_px, g.mean_dec_px, *arcsec);
    return g;
}

} // namespace

GuideSeries ExtractGuideSeries(const GuideLog& log)
{
    GuideSeries series;
    const EntityList& entities = log.entities;
    if (entities.empty())
        return series;
    series.origin_date = entities.front().clock_date;
    series.origin_tenths = entities.front().clock_tenths;

    // Times of every entity, counted step by step so that each change of
    // date is one day, as between neighbours it really is.
    std::vector<double> times(entities.size());
    std::vector<long> sample_of(entities.size(), -1);
    long long tenths = 0;
    int run = -1;
    bool in_run = false;
    for (std::size_t i = 0; i < entities.size(); ++i) {
        const LogEntity& e = entities[i];
        if (i > 0)
            tenths += TenthsBetween(e, entities[i - 1]);
        times[i] = static_cast<double>(tenths) / 10.0;
        if (e.type == ENTITY_CLOCK)
            continue;  // does not end a run of positions
        if (e.type != ENTITY_STAR) {
            in_run = false;
            continue;
        }
        GuideSample s;
        s.t = times[i];
        s.lost = e.star.no_star != 0;
        s.position = !s.lost && e.star.is_position != 0;
        s.ra_px = e.star.x / 256.0;
        s.dec_px = e.star.y / 256.0;
        if (e.star.ra_correction_flag)
            s.ra_correction_s = e.star.ra_correction / 32.0;
        if (e.star.dec_correction_flag)
            s.dec_correction_s = e.star.dec_correction / 32.0;
        if (s.position) {
            if (!in_run) {
                series.runs.push_back(RunSpan{s.t, s.t, series.samples.size(), series.samples.size()});
                run = static_cast<int>(series.runs.size()) - 1;
                in_run = true;
            }
            s.run = run;
            series.runs.back().end_s = s.t;
            series.runs.back().end_sample = series.samples.size() + 1;
        } else {
            in_run = false;
        }
        sample_of[i] = static_cast<long>(series.samples.size());
        series.samples.push_back(s);
    }
    series.end_s = times.back();

    int ae_number = 0;
    int external_number = 0;
    for (EntityPos from = log.begin_pos(); from < log.sentinel();) {
        const ExposureBounds b = FindGuidedExposure(log, from);
        if (b.start == log.sentinel())
            break;
        ExposureSpan span;
        span.kind = b.ae_flag == 1 ? 'A' : 'X';
        span.begin_s = times[b.start];
        span.end_s = b.end < log.sentinel() ? times[b.end] : series.end_s;
        span.first_sample = series.samples.size();
        span.end_sample = 0;
        for (EntityPos pos = from; pos < b.scan_end; ++pos) {
            if (sample_of[pos] < 0)
                continue;
            const auto index = static_cast<std::size_t>(sample_of[pos]);
            span.first_sample = std::min(span.first_sample, index);
            span.end_sample = index + 1;
        }
        // An exposure without star entities is skipped, as the report
        // skips it.
        if (span.end_sample > 0) {
            span.number = b.ae_flag == 1 ? ++ae_number : ++external_number;
            const int index = static_cast<int>(series.exposures.size());
            for (std::size_t i = span.first_sample; i < span.end_sample; ++i)
                series.samples[i].exposure = index;
            series.exposures.push_back(span);
        }
        if (b.scan_end == from || b.scan_end >= log.sentinel())
            break;
        from = b.scan_end;
    }
    return series;
}

GuidingSummary SummarizeGuiding(const GuideSeries& series, const SummaryOptions& options)
{
    GuidingSummary summary;
    std::optional<Scale> arcsec;
    if (options.focal_length_mm && *options.focal_length_mm > 0.0) {
        const double sx = kPixelPitchMm / *options.focal_length_mm * 3600.0 * kDegreesPerRadian;
        arcsec = Scale{sx, sx * kYScale};
        summary.arcsec_per_px_ra = arcsec->ra;
        summary.arcsec_per_px_dec = arcsec->dec;
    }
    for (std::size_t k = 0; k < series.exposures.size(); ++k) {
        const ExposureSpan& e = series.exposures[k];
        summary.exposures.push_back(
            ExposureSummary{static_cast<int>(k), FiguresOf(series, e.first_sample, e.end_sample, options, arcsec)});
    }
    summary.night = FiguresOf(series, 0, series.samples.size(), options, arcsec);
    for (std::size_t k = 0; k < series.runs.size(); ++k) {
        UnguidedRunSummary run;
        run.run = static_cast<int>(k);
        summary.runs.push_back(run);
    }
    return summary;
}

std::string GuidingSummaryJson(const GuideSeries&, const GuidingSummary&)
{
    return "{}";
}

} // namespace ktal
