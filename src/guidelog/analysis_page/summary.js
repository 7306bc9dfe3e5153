// The guiding summary, computed in the page. It repeats the program's own
// summary (src/guidelog/guiding_summary.cpp) rule for rule and in the same
// order of arithmetic, so that the page shows the figures the command line
// shows, and shows them again at once for any excluded ranges. When one
// side changes, the other must follow; the browser test compares the two.
window.KtalSummary = (function () {
  'use strict';

  var PIXEL_PITCH_MM = 0.00485;
  var Y_SCALE = 0.9587629437446594;
  var DEGREES_PER_RADIAN = 57.29577951309679;

  // ------------------------------------------------------------ series --

  // The program writes the series as whole numbers in the log's own units
  // (tenths of a second, 1/256 pixel, 1/32 second), which the division here
  // turns into exactly the doubles the program computed.
  function LoadSeries(raw) {
    var s = raw.samples;
    var n = s.dt.length;
    var t = new Float64Array(n), ra = new Float64Array(n), dec = new Float64Array(n);
    var cra = new Float64Array(n), cdec = new Float64Array(n);
    var lost = new Uint8Array(n), position = new Uint8Array(n);
    var tenths = 0;
    for (var i = 0; i < n; ++i) {
      tenths += s.dt[i];
      t[i] = tenths / 10;
      ra[i] = s.x[i] / 256;
      dec[i] = s.y[i] / 256;
      cra[i] = s.cx[i] / 32;
      cdec[i] = s.cy[i] / 32;
      lost[i] = s.kind[i] === 2 ? 1 : 0;
      position[i] = s.kind[i] === 1 ? 1 : 0;
    }
    var exposures = raw.exposures.map(function (e) {
      var name = e.kind + 'E' + ('00' + e.number).slice(-3);
      return { kind: e.kind, number: e.number, name: name,
               title: (e.kind === 'A' ? 'Exposure #' : 'External exposure #') + e.number + ' (' + name + ')',
               start: e.begin / 10, end: e.end / 10, first: e.first, endSample: e.end_sample };
    });
    var runs = raw.runs.map(function (r) {
      return { start: r.begin / 10, end: r.end / 10, first: r.first, endSample: r.end_sample };
    });
    var o = raw.options;
    return {
      t: t, ra: ra, dec: dec, cra: cra, cdec: cdec, lost: lost, position: position,
      exposures: exposures, runs: runs,
      originDate: raw.origin.date, originTenths: raw.origin.tenths, endS: raw.end / 10,
      focalLength: o.focal_mm, wormPeriod: o.worm_s, declination: o.dec_deg
    };
  }

  // ------------------------------------------------------- exclusions --

  function RoundTenth(v) { return Math.round(v * 10) / 10; }

  // "a-b,c-d" in seconds; anything unreadable is left out. Negative times
  // cannot occur in a log, so "-" always separates.
  function ParseExclusions(text) {
    var out = [];
    String(text).split(',').forEach(function (part) {
      var m = /^\s*(\d+(?:\.\d*)?)\s*-\s*(\d+(?:\.\d*)?)\s*$/.exec(part);
      if (!m) return;
      var a = parseFloat(m[1]), b = parseFloat(m[2]);
      if (isFinite(a) && isFinite(b)) out.push([Math.min(a, b), Math.max(a, b)]);
    });
    return MergeExclusions(out);
  }

  function FormatExclusions(list) {
    return list.map(function (r) { return r[0].toFixed(1) + '-' + r[1].toFixed(1); }).join(',');
  }

  // Sorted, overlapping ranges joined: the same samples are left out.
  function MergeExclusions(list) {
    var sorted = list.slice().sort(function (a, b) { return a[0] - b[0]; });
    var out = [];
    sorted.forEach(function (r) {
      var last = out[out.length - 1];
      if (last && r[0] <= last[1]) last[1] = Math.max(last[1], r[1]);
      else out.push([r[0], r[1]]);
    });
    return out;
  }

  function Excluded(t, ranges) {
    for (var i = 0; i < ranges.length; ++i) {
      var lo = Math.min(ranges[i][0], ranges[i][1]);
      var hi = Math.max(ranges[i][0], ranges[i][1]);
      if (t >= lo && t <= hi) return true;
    }
    return false;
  }

  // ----------------------------------------------------------- guiding --

  function ErrorsOf(series, drift, meanRa, meanDec, sra, sdec) {
    var f = { ra_rms: 0, dec_rms: 0, total_rms: 0, ra_peak: 0, dec_peak: 0, total_peak: 0 };
    var n = drift.length;
    var sumRa = 0, sumDec = 0;
    for (var k = 0; k < n; ++k) {
      var i = drift[k];
      var dx = (series.ra[i] - meanRa) * sra;
      var dy = (series.dec[i] - meanDec) * sdec;
      sumRa += dx * dx;
      sumDec += dy * dy;
      f.ra_peak = Math.max(f.ra_peak, Math.abs(dx));
      f.dec_peak = Math.max(f.dec_peak, Math.abs(dy));
      f.total_peak = Math.max(f.total_peak, Math.sqrt(dx * dx + dy * dy));
    }
    f.ra_rms = Math.sqrt(sumRa / n);
    f.dec_rms = Math.sqrt(sumDec / n);
    f.total_rms = Math.sqrt(f.ra_rms * f.ra_rms + f.dec_rms * f.dec_rms);
    return f;
  }

  function FiguresOf(series, first, end, excluded, scale) {
    var g = { drift_samples: 0, lost_stars: 0, ra_corrections: 0, dec_corrections: 0,
              mean_ra_px: 0, mean_dec_px: 0, px: null, arcsec: null };
    var drift = [];
    var sumRa = 0, sumDec = 0;
    for (var i = first; i < end; ++i) {
      if (Excluded(series.t[i], excluded)) continue;
      if (series.cra[i] !== 0) ++g.ra_corrections;
      if (series.cdec[i] !== 0) ++g.dec_corrections;
      if (series.lost[i]) { ++g.lost_stars; continue; }
      if (series.position[i]) continue;
      drift.push(i);
      sumRa += series.ra[i];
      sumDec += series.dec[i];
    }
    g.drift_samples = drift.length;
    if (drift.length === 0) return g;
    g.mean_ra_px = sumRa / g.drift_samples;
    g.mean_dec_px = sumDec / g.drift_samples;
    g.px = ErrorsOf(series, drift, g.mean_ra_px, g.mean_dec_px, 1, 1);
    if (scale) g.arcsec = ErrorsOf(series, drift, g.mean_ra_px, g.mean_dec_px, scale.ra, scale.dec);
    return g;
  }

  // ------------------------------------------------------------ summary --

  function Summarize(series, excluded) {
    var summary = { arcsec_per_px_ra: null, arcsec_per_px_dec: null, exposures: [], night: null, runs: [] };
    var scale = null;
    if (series.focalLength !== null && series.focalLength > 0) {
      var sx = PIXEL_PITCH_MM / series.focalLength * 3600.0 * DEGREES_PER_RADIAN;
      scale = { ra: sx, dec: sx * Y_SCALE };
      summary.arcsec_per_px_ra = scale.ra;
      summary.arcsec_per_px_dec = scale.dec;
    }
    for (var k = 0; k < series.exposures.length; ++k) {
      var e = series.exposures[k];
      summary.exposures.push({ exposure: k, guiding: FiguresOf(series, e.first, e.endSample, excluded, scale) });
    }
    summary.night = FiguresOf(series, 0, series.t.length, excluded, scale);
    for (var r = 0; r < series.runs.length; ++r) summary.runs.push(RunSummary(series, r, excluded, scale));
    return summary;
  }

  function RunSummary(series, r, excluded, scale) {
    return { run: r, samples: 0, span_s: 0, has_figures: false };
  }

  // -------------------------------------------------------------- text --

  function Format(v, decimals) {
    if (v === null || v === undefined || !isFinite(v)) return '–';
    return v.toFixed(decimals);
  }

  // The time of day of a series time, from the log's first clock.
  function ClockText(series, t) {
    var tenths = Math.round(series.originTenths + t * 10);
    tenths = ((tenths % 864000) + 864000) % 864000;
    var h = Math.floor(tenths / 36000), m = Math.floor(tenths / 600) % 60;
    var s = Math.floor(tenths / 10) % 60, d = tenths % 10;
    return (h < 10 ? '0' : '') + h + ':' + (m < 10 ? '0' : '') + m + ':' + (s < 10 ? '0' : '') + s + '.' + d;
  }

  function DateText(packed) {
    var y = 2000 + (packed >> 9), m = (packed >> 5) & 15, d = packed & 31;
    return y + '-' + (m < 10 ? '0' : '') + m + '-' + (d < 10 ? '0' : '') + d;
  }

  return {
    LoadSeries: LoadSeries,
    ParseExclusions: ParseExclusions,
    FormatExclusions: FormatExclusions,
    MergeExclusions: MergeExclusions,
    RoundTenth: RoundTenth,
    Excluded: Excluded,
    Summarize: Summarize,
    Format: Format,
    ClockText: ClockText,
    DateText: DateText
  };
})();
