// SPDX-License-Identifier: GPL-3.0-or-later
// The guiding summary, computed in the page. It repeats the program's own
// summary (src/guidelog/guiding_summary.cpp) rule for rule and in the same
// order of arithmetic, so that the page shows the figures the command line
// shows, and shows them again at once for any excluded ranges. When one
// side changes, the other must follow; the browser test compares the two.
window.KtalSummary = (function () {
  'use strict';

  var PIXEL_PITCH_MM = @PIXEL_PITCH_MM@;
  var Y_SCALE = @PIXEL_Y_SCALE@;
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

  // Arcseconds per pixel of RA (x) and DEC (y), or null without a focal
  // length.
  function ScaleOf(series) {
    if (series.focalLength === null || !(series.focalLength > 0)) return null;
    var sx = PIXEL_PITCH_MM / series.focalLength * 3600.0 * DEGREES_PER_RADIAN;
    return { ra: sx, dec: sx * Y_SCALE };
  }

  // The whole summary. `runOf(r)`, when given, supplies the runs' figures
  // instead (the page computes those apart, as they take the longest).
  function Summarize(series, excluded, runOf) {
    var summary = { arcsec_per_px_ra: null, arcsec_per_px_dec: null, exposures: [], night: null, runs: [] };
    var scale = ScaleOf(series);
    if (scale) {
      summary.arcsec_per_px_ra = scale.ra;
      summary.arcsec_per_px_dec = scale.dec;
    }
    for (var k = 0; k < series.exposures.length; ++k) {
      var e = series.exposures[k];
      summary.exposures.push({ exposure: k, guiding: FiguresOf(series, e.first, e.endSample, excluded, scale) });
    }
    summary.night = FiguresOf(series, 0, series.t.length, excluded, scale);
    for (var r = 0; r < series.runs.length; ++r) {
      summary.runs.push(runOf ? runOf(r) : RunSummary(series, r, excluded, scale));
    }
    return summary;
  }

  // ------------------------------------------------------ unguided runs --

  var PI = 3.14159265358979323846;
  var SIDEREAL_RATE = 2.0 * PI / 86164.0905;
  var HARMONICS_FITTED = 4;
  var MAX_FREQUENCIES = 4096;
  var SHORTEST_PERIOD_FLOOR = 20.0;
  var PEAKS_KEPT = 5;
  var REFINE_STEPS = 4;
  var WORM_HARMONICS_LISTED = 8;

  // Gaussian elimination with partial pivoting of a (n x n, row-major)
  // against two right-hand sides, in place; false for a negligible pivot.
  function Solve(a, rx, ry, n) {
    var largest = 0.0;
    var i, k, row, col;
    for (i = 0; i < n; ++i) largest = Math.max(largest, Math.abs(a[i * n + i]));
    for (col = 0; col < n; ++col) {
      var pivot = col;
      for (row = col + 1; row < n; ++row) {
        if (Math.abs(a[row * n + col]) > Math.abs(a[pivot * n + col])) pivot = row;
      }
      if (!(Math.abs(a[pivot * n + col]) > 1e-12 * largest)) return false;
      if (pivot !== col) {
        for (k = 0; k < n; ++k) { var t = a[col * n + k]; a[col * n + k] = a[pivot * n + k]; a[pivot * n + k] = t; }
        var tx = rx[col]; rx[col] = rx[pivot]; rx[pivot] = tx;
        var ty = ry[col]; ry[col] = ry[pivot]; ry[pivot] = ty;
      }
      for (row = col + 1; row < n; ++row) {
        var factor = a[row * n + col] / a[col * n + col];
        for (k = col; k < n; ++k) a[row * n + k] -= factor * a[col * n + k];
        rx[row] -= factor * rx[col];
        ry[row] -= factor * ry[col];
      }
    }
    for (row = n - 1; row >= 0; --row) {
      for (k = row + 1; k < n; ++k) {
        rx[row] -= a[row * n + k] * rx[k];
        ry[row] -= a[row * n + k] * ry[k];
      }
      rx[row] /= a[row * n + row];
      ry[row] /= a[row * n + row];
    }
    return true;
  }

  // Least squares of x and y against the line and, with harmonics > 0, the
  // period's first harmonics: [offset, slope per second] of each, or null.
  function FitDriftLine(p, halfSpan, worm, harmonics) {
    var n = 2 + 2 * harmonics;
    var a = new Array(n * n).fill(0.0);
    var bx = new Array(n).fill(0.0), by = new Array(n).fill(0.0);
    var row = new Array(n);
    for (var i = 0; i < p.t.length; ++i) {
      row[0] = 1.0;
      row[1] = p.t[i] / halfSpan;
      for (var k = 1; k <= harmonics; ++k) {
        var phase = 2.0 * PI * k * p.t[i] / worm;
        row[2 * k] = Math.sin(phase);
        row[2 * k + 1] = Math.cos(phase);
      }
      for (var r = 0; r < n; ++r) {
        for (var c = 0; c < n; ++c) a[r * n + c] += row[r] * row[c];
        bx[r] += row[r] * p.x[i];
        by[r] += row[r] * p.y[i];
      }
    }
    if (!Solve(a, bx, by, n)) return null;
    return { x: [bx[0], bx[1] / halfSpan], y: [by[0], by[1] / halfSpan] };
  }

  function PowerOf(sum, n, ssq) {
    var h = Math.hypot(sum.c2, sum.s2);
    var cos2 = h > 0.0 ? sum.c2 / h : 1.0;
    var sin2 = h > 0.0 ? sum.s2 / h : 0.0;
    var cos1 = Math.sqrt(Math.max(0.0, (1.0 + cos2) / 2.0));
    var sin1 = Math.sqrt(Math.max(0.0, (1.0 - cos2) / 2.0));
    if (sin2 < 0 || Object.is(sin2, -0)) sin1 = -sin1;
    var cc = n / 2.0 + h / 2.0;
    var ss = n / 2.0 - h / 2.0;
    var yc = sum.yc * cos1 + sum.ys * sin1;
    var ys = sum.ys * cos1 - sum.yc * sin1;
    var power = 0.0, a = 0.0, b = 0.0;
    if (cc > 1e-9 * n) { power += yc * yc / cc; a = yc / cc; }
    if (ss > 1e-9 * n) { power += ys * ys / ss; b = ys / ss; }
    return { power: ssq > 0.0 ? power / ssq : 0.0, amplitude: Math.hypot(a, b) };
  }

  // The Lomb-Scargle sums of `count` frequencies first + k * step, each
  // sample's phase turned on by one rotation per frequency, samples in
  // blocks of eight summed in the same order as the program sums them.
  function SumsOnGrid(p, r, first, step, count) {
    var yc = new Float64Array(count), ys = new Float64Array(count);
    var c2 = new Float64Array(count), s2 = new Float64Array(count);
    var n = r.length;
    var c = new Float64Array(8), s = new Float64Array(8), dc = new Float64Array(8);
    var ds = new Float64Array(8), y = new Float64Array(8);
    for (var i0 = 0; i0 < n; i0 += 8) {
      var j;
      // Lanes past the last sample stay zero and add nothing.
      for (j = 0; j < 8; ++j) { c[j] = 0; s[j] = 0; dc[j] = 0; ds[j] = 0; y[j] = 0; }
      for (j = 0; j < 8 && i0 + j < n; ++j) {
        var t = p.t[i0 + j];
        c[j] = Math.cos(2.0 * PI * first * t);
        s[j] = Math.sin(2.0 * PI * first * t);
        dc[j] = Math.cos(2.0 * PI * step * t);
        ds[j] = Math.sin(2.0 * PI * step * t);
        y[j] = r[i0 + j];
      }
      // The eight lanes as plain variables: the same arithmetic in the same
      // order, several times faster than through arrays.
      var c0 = c[0], c1 = c[1], c2_ = c[2], c3 = c[3], c4 = c[4], c5 = c[5], c6 = c[6], c7 = c[7];
      var s0 = s[0], s1 = s[1], s2_ = s[2], s3 = s[3], s4 = s[4], s5 = s[5], s6 = s[6], s7 = s[7];
      var dc0 = dc[0], dc1 = dc[1], dc2 = dc[2], dc3 = dc[3], dc4 = dc[4], dc5 = dc[5], dc6 = dc[6], dc7 = dc[7];
      var ds0 = ds[0], ds1 = ds[1], ds2 = ds[2], ds3 = ds[3], ds4 = ds[4], ds5 = ds[5], ds6 = ds[6], ds7 = ds[7];
      var y0 = y[0], y1 = y[1], y2 = y[2], y3 = y[3], y4 = y[4], y5 = y[5], y6 = y[6], y7 = y[7];
      var nc;
      for (var k = 0; k < count; ++k) {
        yc[k] += ((y0 * c0 + y1 * c1) + (y2 * c2_ + y3 * c3)) + ((y4 * c4 + y5 * c5) + (y6 * c6 + y7 * c7));
        ys[k] += ((y0 * s0 + y1 * s1) + (y2 * s2_ + y3 * s3)) + ((y4 * s4 + y5 * s5) + (y6 * s6 + y7 * s7));
        c2[k] += (((c0 - s0) * (c0 + s0) + (c1 - s1) * (c1 + s1)) + ((c2_ - s2_) * (c2_ + s2_) + (c3 - s3) * (c3 + s3))) +
                 (((c4 - s4) * (c4 + s4) + (c5 - s5) * (c5 + s5)) + ((c6 - s6) * (c6 + s6) + (c7 - s7) * (c7 + s7)));
        s2[k] += ((2.0 * c0 * s0 + 2.0 * c1 * s1) + (2.0 * c2_ * s2_ + 2.0 * c3 * s3)) +
                 ((2.0 * c4 * s4 + 2.0 * c5 * s5) + (2.0 * c6 * s6 + 2.0 * c7 * s7));
        nc = c0 * dc0 - s0 * ds0; s0 = s0 * dc0 + c0 * ds0; c0 = nc;
        nc = c1 * dc1 - s1 * ds1; s1 = s1 * dc1 + c1 * ds1; c1 = nc;
        nc = c2_ * dc2 - s2_ * ds2; s2_ = s2_ * dc2 + c2_ * ds2; c2_ = nc;
        nc = c3 * dc3 - s3 * ds3; s3 = s3 * dc3 + c3 * ds3; c3 = nc;
        nc = c4 * dc4 - s4 * ds4; s4 = s4 * dc4 + c4 * ds4; c4 = nc;
        nc = c5 * dc5 - s5 * ds5; s5 = s5 * dc5 + c5 * ds5; c5 = nc;
        nc = c6 * dc6 - s6 * ds6; s6 = s6 * dc6 + c6 * ds6; c6 = nc;
        nc = c7 * dc7 - s7 * ds7; s7 = s7 * dc7 + c7 * ds7; c7 = nc;
      }
    }
    var sums = new Array(count);
    for (var q = 0; q < count; ++q) sums[q] = { yc: yc[q], ys: ys[q], c2: c2[q], s2: s2[q] };
    return sums;
  }

  function HarmonicOf(frequency, worm, span) {
    if (worm === null) return 0;
    var k = Math.round(frequency * worm);
    if (k < 1.0 || k > WORM_HARMONICS_LISTED || Math.abs(frequency - k / worm) > 0.5 / span) return 0;
    return k;
  }

  // A maximum within 1/T of a stronger peak, or below twice the sinc^2
  // leakage of one, is that peak's sidelobe rather than a period of its own.
  function IsSidelobe(frequency, power, stronger, span) {
    for (var i = 0; i < stronger.length; ++i) {
      var distance = Math.abs(frequency - 1.0 / stronger[i].period_s) * span;
      if (distance < 1.0 || power <= 2.0 * stronger[i].power / (PI * PI * distance * distance)) return true;
    }
    return false;
  }

  function PeriodogramOf(p, r, span, worm, arcsecFactor) {
    var g = { first_hz: 0, step_hz: 0, power: [], peaks: [], worm_harmonics: [] };
    var n = r.length;
    var ssq = 0.0;
    var i;
    for (i = 0; i < n; ++i) ssq += r[i] * r[i];
    var intervals = [];
    for (i = 1; i < p.t.length; ++i) intervals.push(p.t[i] - p.t[i - 1]);
    intervals.sort(function (a, b) { return a - b; });
    var median = intervals[intervals.length >> 1];
    var shortest = Math.max(2.0 * median, SHORTEST_PERIOD_FLOOR);
    var low = 1.0 / span;
    var high = 1.0 / shortest;
    if (high < low) return g;
    var step = 1.0 / (2.0 * span);
    var count = Math.min(Math.floor((high - low) / step + 1e-9) + 1.0, MAX_FREQUENCIES);
    high = low + (count - 1) * step;
    g.first_hz = low;
    g.step_hz = step;
    var sums = SumsOnGrid(p, r, low, step, count);
    for (var k = 0; k < count; ++k) g.power.push(PowerOf(sums[k], n, ssq).power);
    FindPeaks(g, count, low, high, n, ssq, span, worm, arcsecFactor, function (first, fine, many) {
      return SumsOnGrid(p, r, first, fine, many);
    });
    return g;
  }

  // The strongest periods of the grid in g (power, first_hz, step_hz set)
  // and the worm harmonics within [low, high]; `sumsAt(first, step, count)`
  // gives the Lomb-Scargle sums off the grid.
  function FindPeaks(g, count, low, high, n, ssq, span, worm, arcsecFactor, sumsAt) {
    var step = g.step_hz;
    var k;
    function peak(frequency, power, amplitude) {
      return { period_s: 1.0 / frequency, power: power, amplitude_px: amplitude,
               amplitude_arcsec: arcsecFactor !== null ? amplitude * arcsecFactor : null,
               harmonic: HarmonicOf(frequency, worm, span) };
    }
    var maxima = [];
    for (k = 0; k < count; ++k) {
      var aboveLeft = k === 0 || g.power[k] > g.power[k - 1];
      var aboveRight = k + 1 === count || g.power[k] >= g.power[k + 1];
      if (aboveLeft && aboveRight) maxima.push(k);
    }
    maxima.sort(function (a, b) { return g.power[a] > g.power[b] ? -1 : g.power[a] < g.power[b] ? 1 : 0; });
    maxima.forEach(function (m) {
      if (g.peaks.length >= PEAKS_KEPT) return;
      var centre = low + m * step;
      if (IsSidelobe(centre, g.power[m], g.peaks, span)) return;
      var fine = step / REFINE_STEPS;
      var first = centre - step;
      var around = sumsAt(first, fine, 2 * REFINE_STEPS + 1);
      var powers = [], amplitudes = [];
      var best = 0;
      for (var j = 0; j < around.length; ++j) {
        powers.push(-1.0);
        amplitudes.push(0.0);
        if (first + j * fine > 0.0) {
          var pa = PowerOf(around[j], n, ssq);
          powers[j] = pa.power;
          amplitudes[j] = pa.amplitude;
        }
        if (powers[j] > powers[best]) best = j;
      }
      var offset = 0.0;
      if (best > 0 && best + 1 < around.length && powers[best - 1] >= 0.0) {
        var left = powers[best - 1], right = powers[best + 1];
        var curvature = left - 2.0 * powers[best] + right;
        if (curvature < 0.0) offset = 0.5 * (left - right) / curvature;
      }
      g.peaks.push(peak(first + (best + offset) * fine, powers[best], amplitudes[best]));
    });
    g.peaks.sort(function (a, b) { return a.power > b.power ? -1 : a.power < b.power ? 1 : 0; });
    if (worm !== null) {
      var at = sumsAt(1.0 / worm, 1.0 / worm, WORM_HARMONICS_LISTED);
      for (var h = 1; h <= WORM_HARMONICS_LISTED; ++h) {
        var frequency = h / worm;
        if (frequency < low || frequency > high) continue;
        var pw = PowerOf(at[h - 1], n, ssq);
        var sp = peak(frequency, pw.power, pw.amplitude);
        sp.harmonic = h;
        g.worm_harmonics.push(sp);
      }
    }
    return g;
  }

  // Peak-to-peak of the mean of r over the samples within w/2 of each
  // sample, and the steepest least-squares slope of r over those windows
  // of at least 3 samples (null when there is none).
  function SmoothedCurve(p, r, w) {
    var n = r.length;
    var lowest = 0.0, highest = 0.0, steepest = null;
    var sumT = 0.0, sumTT = 0.0, sumR = 0.0, sumTR = 0.0;
    var lo = 0, hi = 0;
    for (var i = 0; i < n; ++i) {
      while (hi < n && p.t[hi] <= p.t[i] + w / 2.0) {
        sumT += p.t[hi];
        sumTT += p.t[hi] * p.t[hi];
        sumR += r[hi];
        sumTR += p.t[hi] * r[hi];
        ++hi;
      }
      while (p.t[lo] < p.t[i] - w / 2.0) {
        sumT -= p.t[lo];
        sumTT -= p.t[lo] * p.t[lo];
        sumR -= r[lo];
        sumTR -= p.t[lo] * r[lo];
        ++lo;
      }
      var count = hi - lo;
      var mean = sumR / count;
      if (i === 0 || mean < lowest) lowest = mean;
      if (i === 0 || mean > highest) highest = mean;
      var spread = count * sumTT - sumT * sumT;
      if (hi - lo >= 3 && spread > 0.0) {
        var slope = Math.abs((count * sumTR - sumT * sumR) / spread);
        if (steepest === null || slope > steepest) steepest = slope;
      }
    }
    return { peakToPeak: highest - lowest, steepest: steepest };
  }

  function Residual(p, lineX) {
    var r = new Array(p.t.length);
    var mean = 0.0;
    var i;
    for (i = 0; i < r.length; ++i) {
      r[i] = p.x[i] - (lineX[0] + lineX[1] * p.t[i]);
      mean += r[i];
    }
    mean /= r.length;
    for (i = 0; i < r.length; ++i) r[i] -= mean;
    return r;
  }

  function RunSummary(series, index, excluded, scale) {
    var u = { run: index, samples: 0, span_s: 0, has_figures: false, harmonics_fitted: 0, fit_period_s: 0,
              ra_rate_px_per_s: 0, dec_rate_px_per_s: 0, ra_rate_arcsec_per_min: null,
              dec_rate_arcsec_per_min: null, polar_error_arcmin: null, smoothing_s: 0,
              pe_peak_to_peak_px: 0, pe_peak_to_peak_arcsec: null, pe_max_slope_px_per_s: null,
              pe_max_slope_arcsec_per_s: null,
              periodogram: { first_hz: 0, step_hz: 0, power: [], peaks: [], worm_harmonics: [] } };
    var span = series.runs[index];
    var kept = [];
    for (var i = span.first; i < span.endSample; ++i) {
      if (series.position[i] && !Excluded(series.t[i], excluded)) kept.push(i);
    }
    kept.sort(function (a, b) { return series.t[a] < series.t[b] ? -1 : series.t[a] > series.t[b] ? 1 : 0; });
    u.samples = kept.length;
    if (kept.length === 0) return u;
    var firstT = series.t[kept[0]], lastT = series.t[kept[kept.length - 1]];
    u.span_s = lastT - firstT;
    if (kept.length < 3 || !(u.span_s > 0.0)) return u;

    var centre = (firstT + lastT) / 2.0;
    var p = { t: [], x: [], y: [] };
    kept.forEach(function (k) {
      p.t.push(series.t[k] - centre);
      p.x.push(series.ra[k]);
      p.y.push(series.dec[k]);
    });
    var worm = series.wormPeriod !== null && series.wormPeriod > 0.0 ? series.wormPeriod : null;
    var line = FitDriftLine(p, u.span_s / 2.0, 1.0, 0);
    if (line === null) return u;
    var period = worm;
    if (period === null) {
      var firstPass = PeriodogramOf(p, Residual(p, line.x), u.span_s, null, null);
      if (firstPass.peaks.length) period = firstPass.peaks[0].period_s;
    }
    var withHarmonics = period !== null && u.span_s >= period && kept.length > 2 * (2 + 2 * HARMONICS_FITTED);
    if (withHarmonics) {
      var fitted = FitDriftLine(p, u.span_s / 2.0, period, HARMONICS_FITTED);
      if (fitted !== null) {
        line = fitted;
        u.harmonics_fitted = HARMONICS_FITTED;
        u.fit_period_s = period;
      }
    }
    u.has_figures = true;
    u.ra_rate_px_per_s = line.x[1];
    u.dec_rate_px_per_s = line.y[1];

    var peFactor = null;  // RA pixels to RA-axis arcseconds
    if (scale) {
      u.ra_rate_arcsec_per_min = u.ra_rate_px_per_s * scale.ra * 60.0;
      u.dec_rate_arcsec_per_min = u.dec_rate_px_per_s * scale.dec * 60.0;
      u.polar_error_arcmin = Math.abs(u.dec_rate_arcsec_per_min) / (3600.0 * SIDEREAL_RATE);
      var dec = series.declination !== null ? series.declination : 0.0;
      var cosDec = Math.cos(dec / DEGREES_PER_RADIAN);
      if (Math.abs(cosDec) >= 0.01) peFactor = scale.ra / cosDec;
    }

    var r = Residual(p, line.x);
    u.periodogram = PeriodogramOf(p, r, u.span_s, worm, peFactor);
    if (period !== null) u.smoothing_s = period / 20.0;
    u.pe_peak_to_peak_px = SmoothedCurve(p, r, u.smoothing_s).peakToPeak;
    u.pe_max_slope_px_per_s = SmoothedCurve(p, r, 2.0 * u.smoothing_s).steepest;
    if (peFactor !== null) {
      u.pe_peak_to_peak_arcsec = u.pe_peak_to_peak_px * peFactor;
      if (u.pe_max_slope_px_per_s !== null) u.pe_max_slope_arcsec_per_s = u.pe_max_slope_px_per_s * peFactor;
    }
    return u;
  }

  // ------------------------------------------------- guided RA drift --

  // The periodogram of the guided RA drift, per exposure and for the
  // night: the program's SummarizeGuidedRa (guided_periodogram.h, where
  // the method is written down), step for step.
  var BINS_PER_SHORTEST_PERIOD = 10.0;
  var MAX_BINS = 65536.0;
  var MIN_VALUES = 3;

  // The order that sorts t ascending, equal times kept in their order (as
  // a stable sort leaves them); null when t is in order already, as the
  // samples of a log nearly always are.
  function TimeOrder(t) {
    var sorted = true;
    for (var i = 1; i < t.length && sorted; ++i) sorted = t[i - 1] <= t[i];
    if (sorted) return null;
    var order = [];
    for (i = 0; i < t.length; ++i) order.push(i);
    order.sort(function (a, b) { return t[a] < t[b] ? -1 : t[a] > t[b] ? 1 : a - b; });
    return order;
  }

  // The value that would stand at `nth` if `a` were sorted ascending, in
  // linear time; `a` is reordered.
  function NthSmallest(a, nth) {
    var lo = 0, hi = a.length - 1;
    while (lo < hi) {
      var pivot = a[(lo + hi) >> 1];
      var i = lo, j = hi, tmp;
      while (i <= j) {
        while (a[i] < pivot) ++i;
        while (a[j] > pivot) --j;
        if (i <= j) {
          tmp = a[i]; a[i] = a[j]; a[j] = tmp;
          ++i;
          --j;
        }
      }
      if (nth <= j) hi = j;
      else if (nth >= i) lo = i;
      else return a[nth];
    }
    return a[nth];
  }

  function Reordered(values, order) {
    if (order === null) return values;
    var out = new Float64Array(values.length);
    for (var i = 0; i < order.length; ++i) out[i] = values[order[i]];
    return out;
  }

  // The kept drift samples of exposure k, its mean RA taken off, in time
  // order: { t, r }, or null with fewer than three.
  function GuidedPoints(series, k, excluded) {
    var e = series.exposures[k];
    var kept = 0, i;
    var t = new Float64Array(e.endSample - e.first), r = new Float64Array(e.endSample - e.first);
    var sum = 0.0;
    for (i = e.first; i < e.endSample; ++i) {
      if (series.lost[i] || series.position[i] || Excluded(series.t[i], excluded)) continue;
      t[kept] = series.t[i];
      r[kept] = series.ra[i];
      sum += series.ra[i];
      ++kept;
    }
    if (kept < MIN_VALUES) return null;
    t = t.subarray(0, kept);
    r = r.subarray(0, kept);
    var mean = sum / kept;
    for (i = 0; i < kept; ++i) r[i] -= mean;
    var order = TimeOrder(t);
    return { t: Reordered(t, order), r: Reordered(r, order) };
  }

  // cos and sin of 2 pi k / m for k < m / 2, kept per m: a page asks for
  // the same few sizes again at every exclusion.
  var twiddles = {};
  function TwiddlesOf(m) {
    if (!twiddles[m]) {
      var c = new Float64Array(m / 2), s = new Float64Array(m / 2);
      for (var k = 0; k < m / 2; ++k) {
        c[k] = Math.cos(2.0 * PI * k / m);
        s[k] = Math.sin(2.0 * PI * k / m);
      }
      twiddles[m] = { cos: c, sin: s };
    }
    return twiddles[m];
  }

  // In place, forward (e^-i), radix 2; the length is a power of two.
  function Fft(re, im) {
    var m = re.length;
    var i, j = 0, k, bit, tmp;
    for (i = 1; i < m; ++i) {
      bit = m >> 1;
      for (; (j & bit) !== 0; bit >>= 1) j ^= bit;
      j ^= bit;
      if (i < j) {
        tmp = re[i]; re[i] = re[j]; re[j] = tmp;
        tmp = im[i]; im[i] = im[j]; im[j] = tmp;
      }
    }
    var table = TwiddlesOf(m), cosTable = table.cos, sinTable = table.sin;
    for (var len = 2; len <= m; len *= 2) {
      var half = len / 2, stride = m / len;
      for (i = 0; i < m; i += len) {
        for (k = 0; k < half; ++k) {
          var wr = cosTable[k * stride], wi = -sinTable[k * stride];
          var a = i + k, b = a + half;
          var tr = re[b] * wr - im[b] * wi;
          var ti = re[b] * wi + im[b] * wr;
          re[b] = re[a] - tr;
          im[b] = im[a] - ti;
          re[a] += tr;
          im[a] += ti;
        }
      }
    }
  }

  // The sums of `count` frequencies first + k * step over the binned
  // values (bin j at the time j * bin), each phase turned on by a rotation.
  function BinSumsAt(v, first, step, count) {
    var yc = new Float64Array(count), ys = new Float64Array(count);
    var c2 = new Float64Array(count), s2 = new Float64Array(count);
    for (var i = 0; i < v.y.length; ++i) {
      var t = v.j[i] * v.bin;
      var c = Math.cos(2.0 * PI * first * t), s = Math.sin(2.0 * PI * first * t);
      var dc = Math.cos(2.0 * PI * step * t), ds = Math.sin(2.0 * PI * step * t);
      var y = v.y[i];
      for (var k = 0; k < count; ++k) {
        yc[k] += y * c;
        ys[k] += y * s;
        c2[k] += (c - s) * (c + s);
        s2[k] += 2.0 * c * s;
        var nc = c * dc - s * ds;
        s = s * dc + c * ds;
        c = nc;
      }
    }
    var sums = new Array(count);
    for (var q = 0; q < count; ++q) sums[q] = { yc: yc[q], ys: ys[q], c2: c2[q], s2: s2[q] };
    return sums;
  }

  // The periodogram of the exposures' points (lists from GuidedPoints,
  // nulls skipped).
  function GuidedPeriodogramOf(lists, worm, arcsecPerPx) {
    var out = { samples: 0, bins: 0, span_s: 0, bin_s: 0,
                periodogram: { first_hz: 0, step_hz: 0, power: [], peaks: [], worm_harmonics: [] } };
    var total = 0, used = 0, longest = 0.0;
    var i, j, q, p;
    for (q = 0; q < lists.length; ++q) {
      p = lists[q];
      if (!p) continue;
      total += p.t.length;
      ++used;
      longest = Math.max(longest, p.t[p.t.length - 1] - p.t[0]);
    }
    out.samples = total;
    if (total < MIN_VALUES) return out;
    // Typed arrays and plain loops: a night of fast frames has hundreds of
    // thousands of samples, and this runs at every exclusion.
    var allT = new Float64Array(total), allR = new Float64Array(total);
    var intervals = new Float64Array(total - used);
    var at = 0, gaps = 0;
    for (q = 0; q < lists.length; ++q) {
      p = lists[q];
      if (!p) continue;
      for (i = 0; i < p.t.length; ++i, ++at) {
        allT[at] = p.t[i];
        allR[at] = p.r[i];
        if (i > 0) intervals[gaps++] = p.t[i] - p.t[i - 1];
      }
    }
    var order = TimeOrder(allT);
    allT = Reordered(allT, order);
    allR = Reordered(allR, order);
    var t0 = allT[0];
    var span = allT[total - 1] - t0;
    out.span_s = span;
    if (!(span > 0.0) || !(longest > 0.0)) return out;
    var median = NthSmallest(intervals, intervals.length >> 1);
    var shortest = Math.max(2.0 * median, SHORTEST_PERIOD_FLOOR);
    var bin = Math.max(shortest / BINS_PER_SHORTEST_PERIOD, span / (MAX_BINS - 1.0));
    var nBins = Math.floor(span / bin) + 1;

    var sums = new Float64Array(nBins), counts = new Int32Array(nBins);
    for (i = 0; i < total; ++i) {
      j = Math.min(Math.floor((allT[i] - t0) / bin), nBins - 1);
      sums[j] += allR[i];
      ++counts[j];
    }
    var filled = 0;
    for (j = 0; j < nBins; ++j) if (counts[j] > 0) ++filled;
    out.bins = filled;
    if (filled < MIN_VALUES) return out;
    var v = { j: new Float64Array(filled), y: new Float64Array(filled), bin: bin };
    var mean = 0.0;
    for (j = 0, at = 0; j < nBins; ++j) {
      if (counts[j] === 0) continue;
      v.j[at] = j;
      v.y[at] = sums[j] / counts[j];
      mean += v.y[at];
      ++at;
    }
    mean /= filled;
    var ssq = 0.0;
    for (i = 0; i < filled; ++i) {
      v.y[i] -= mean;
      ssq += v.y[i] * v.y[i];
    }

    var m = 1;
    while (m < 2 * nBins) m *= 2;
    var step = 1.0 / (m * bin);
    var kLow = Math.max(1.0, Math.ceil(m * bin / longest - 1e-9));
    var kHigh = Math.floor(m / BINS_PER_SHORTEST_PERIOD);
    if (kHigh < kLow) return out;
    out.bin_s = bin;
    var count = kHigh - kLow + 1;
    var low = kLow * step;
    var high = low + (count - 1) * step;

    // One transform of the values as the real part and the bins' weights
    // as the imaginary part gives both sums, y e^-iwt and e^-i2wt, at every
    // grid frequency w = 2 pi k / (M bin).
    var re = new Float64Array(m), im = new Float64Array(m);
    for (i = 0; i < filled; ++i) {
      re[v.j[i]] = v.y[i];
      im[v.j[i]] = 1.0;
    }
    Fft(re, im);
    var g = out.periodogram;
    g.first_hz = low;
    g.step_hz = step;
    for (q = 0; q < count; ++q) {
      var k = kLow + q, k2 = 2 * k;
      var sum = { yc: (re[k] + re[m - k]) / 2.0, ys: (im[m - k] - im[k]) / 2.0,
                  c2: (im[k2] + im[m - k2]) / 2.0, s2: (re[k2] - re[m - k2]) / 2.0 };
      g.power.push(PowerOf(sum, filled, ssq).power);
    }
    FindPeaks(g, count, low, high, filled, ssq, span, worm, arcsecPerPx, function (first, fine, many) {
      return BinSumsAt(v, first, fine, many);
    });
    return out;
  }

  // { night, exposures: [one per series exposure] }. With a `cache` (an
  // object kept between calls, {} at first) an exposure that no new
  // exclusion touches keeps its points and periodogram from the call
  // before.
  function GuidedRaSummary(series, excluded, scale, cache) {
    var worm = series.wormPeriod !== null && series.wormPeriod > 0.0 ? series.wormPeriod : null;
    var arcsecPerPx = scale ? scale.ra : null;
    var lists = [];
    var exposures = [];
    var entries = {};
    if (cache && !cache.bounds) {
      // The times an exposure's samples span: a clock that jumps back can
      // put them outside its start and end.
      cache.bounds = series.exposures.map(function (e) {
        var lo = Infinity, hi = -Infinity;
        for (var i = e.first; i < e.endSample; ++i) {
          lo = Math.min(lo, series.t[i]);
          hi = Math.max(hi, series.t[i]);
        }
        return [lo, hi];
      });
      cache.entries = {};
    }
    for (var k = 0; k < series.exposures.length; ++k) {
      var hit = null, key = null;
      if (cache) {
        var b = cache.bounds[k];
        key = k + ':' + FormatExclusions(excluded.filter(function (x) {
          return Math.max(x[0], x[1]) >= b[0] && Math.min(x[0], x[1]) <= b[1];
        }));
        hit = cache.entries[key] || null;
      }
      if (!hit) {
        var points = GuidedPoints(series, k, excluded);
        hit = { points: points, periodogram: GuidedPeriodogramOf([points], worm, arcsecPerPx) };
      }
      if (key !== null) entries[key] = hit;
      lists.push(hit.points);
      exposures.push(hit.periodogram);
    }
    if (cache) cache.entries = entries;
    return { night: GuidedPeriodogramOf(lists, worm, arcsecPerPx), exposures: exposures };
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

  // The calendar date of a series time, YYYY-MM-DD, counted in days from
  // the log's first date as exposures.csv counts it; '' when that first
  // date is no calendar date.
  function DateAt(series, t) {
    var packed = series.originDate;
    var y = 2000 + (packed >> 9), m = (packed >> 5) & 15, d = packed & 31;
    var last = new Date(Date.UTC(y, m, 0)).getUTCDate();
    if (m < 1 || m > 12 || d < 1 || d > last) return '';
    var days = Math.floor((series.originTenths + Math.round(t * 10)) / 864000);
    var date = new Date(Date.UTC(y, m - 1, d) + days * 86400000);
    var mm = date.getUTCMonth() + 1, dd = date.getUTCDate();
    return date.getUTCFullYear() + '-' + (mm < 10 ? '0' : '') + mm + '-' + (dd < 10 ? '0' : '') + dd;
  }

  return {
    LoadSeries: LoadSeries,
    ParseExclusions: ParseExclusions,
    FormatExclusions: FormatExclusions,
    MergeExclusions: MergeExclusions,
    RoundTenth: RoundTenth,
    Excluded: Excluded,
    Summarize: Summarize,
    ScaleOf: ScaleOf,
    RunSummary: RunSummary,
    Format: Format,
    ClockText: ClockText,
    DateText: DateText,
    DateAt: DateAt,
    GuidedRaSummary: GuidedRaSummary
  };
})();
