// SPDX-License-Identifier: GPL-3.0-or-later
// The guiding analysis page: reads the log's series from the JSON block the
// program wrote, draws the night with dygraphs, and shows the summary
// (summary.js), recomputed whenever the excluded ranges change.
(function () {
  'use strict';

  var S = window.KtalSummary;
  var raw = JSON.parse(document.getElementById('guide-data').textContent);
  var series = S.LoadSeries(raw);
  var ALL_T = series.t;

  function el(id) { return document.getElementById(id); }
  function make(tag, attrs, text) {
    var e = document.createElement(tag);
    if (attrs) for (var k in attrs) e.setAttribute(k, attrs[k]);
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function clockText(t) { return S.ClockText(series, t); }
  function fmt(v, decimals) { return S.Format(v, decimals); }

  // ---------------------------------------------------------------- data --

  // The guide graph shows the drift samples: lost stars have no position,
  // and the absolute positions of unguided runs get graphs of their own.
  var drift = [];
  for (var a = 0; a < ALL_T.length; ++a) if (!series.lost[a] && !series.position[a]) drift.push(a);
  var N = drift.length;
  var T = new Float64Array(N);
  var COLUMNS = [new Float64Array(N), new Float64Array(N), new Float64Array(N), new Float64Array(N)];
  for (var b = 0; b < N; ++b) {
    T[b] = ALL_T[drift[b]];
    COLUMNS[0][b] = series.ra[drift[b]];
    COLUMNS[1][b] = series.dec[drift[b]];
    COLUMNS[2][b] = series.cra[drift[b]];
    COLUMNS[3][b] = series.cdec[drift[b]];
  }
  var hasDrift = series.exposures.map(function (e) {
    for (var i = e.first; i < e.endSample; ++i) if (!series.position[i]) return true;
    return false;
  });
  var lostTimes = [];
  for (var c = 0; c < ALL_T.length; ++c) if (series.lost[c]) lostTimes.push(ALL_T[c]);

  // Lines are broken where the guider paused (between exposures, a long
  // loss of the star): five typical frame intervals, at least 10 s.
  var gapAfter = (function () {
    var steps = [];
    for (var i = 1; i < N; ++i) steps.push(T[i] - T[i - 1]);
    steps.sort(function (x, y) { return x - y; });
    var typical = steps.length ? steps[steps.length >> 1] : 1;
    return Math.max(10, 5 * typical);
  })();

  var fullRange = ALL_T.length > 0 ? [ALL_T[0], Math.max(ALL_T[ALL_T.length - 1], ALL_T[0] + 1)] : [0, 1];

  // -------------------------------------------------------------- theme --

  // The colours of the plots by day and in night vision. At night
  // everything is red on black (observers keep their eyes adapted to the
  // dark, often behind red film): the series are told apart by brightness
  // and dashes instead of hue.
  var THEMES = {
    day: {
      guide: ['#c8322a', '#2a5cc8', '#e6a08f', '#93b1ec'],
      positions: ['#c8322a', '#2a5cc8'],
      periodogram: ['#333'],
      guided: ['#333', '#2a5cc8'],
      run: 'rgba(110, 190, 110, 0.20)', runLabel: '#3c7a3c',
      exposure: 'rgba(80, 140, 230, 0.12)', exposureSelected: 'rgba(80, 140, 230, 0.30)',
      exposureLabel: '#3a5f99', excluded: 'rgba(150, 80, 30, 0.32)', lost: 'rgba(210, 30, 30, 0.9)',
      worm: 'rgba(200, 40, 40, 0.9)', harmonic: 'rgba(210, 130, 40, 0.75)'
    },
    night: {
      guide: ['#ff0000', '#c00000', '#900000', '#700000'],
      positions: ['#ff0000', '#c00000'],
      periodogram: ['#e00000'],
      guided: ['#e00000', '#900000'],
      run: 'rgba(120, 0, 0, 0.22)', runLabel: '#b00000',
      exposure: 'rgba(255, 0, 0, 0.08)', exposureSelected: 'rgba(255, 0, 0, 0.20)',
      exposureLabel: '#d00000', excluded: 'rgba(90, 0, 0, 0.55)', lost: '#ff0000',
      worm: 'rgba(255, 0, 0, 0.9)', harmonic: 'rgba(170, 0, 0, 0.75)',
      axis: '#900000', grid: '#3c0000'
    }
  };
  var night = readHash().night;
  function theme() { return night ? THEMES.night : THEMES.day; }

  // A plot's options as the theme wants them: at night its axes and grid
  // in red and the series named in `dashed` drawn dashed. The day's options
  // are left as they were.
  function themed(options, dashed) {
    if (!night) return options;
    options.axisLineColor = THEMES.night.axis;
    options.gridLineColor = THEMES.night.grid;
    options.series = options.series || {};
    (dashed || []).forEach(function (name) {
      options.series[name] = Object.assign({}, options.series[name], { strokePattern: [6, 3] });
    });
    return options;
  }

  // ------------------------------------------------------- the address --

  // "#exclude=120.0-300.5,4000.0-4100.0": seconds from the log's first
  // entity, so a shared link carries the ranges. "bench=zoom" makes the
  // page time its own redraws.
  // "view=a-b" keeps the part of the night the graph shows, likewise.
  // "thr=1.5" marks the exposures whose total RMS is over 1.5 (arcseconds,
  // pixels without a focal length) in the exposures table.
  // "night" shows the page in night vision, red on black.
  function readHash() {
    var params = new URLSearchParams(location.hash.replace(/^#/, ''));
    var view = S.ParseExclusions(params.get('view') || '');
    return { exclusions: S.ParseExclusions(params.get('exclude') || ''), bench: params.get('bench'),
             view: view.length === 1 && view[0][1] > view[0][0] ? view[0] : null,
             threshold: parseThreshold(params.get('thr')), night: params.has('night') };
  }

  // A threshold is a number of at least 0; anything else is none.
  function parseThreshold(text) {
    if (text === null || !/^\s*\d+(\.\d*)?\s*$|^\s*\.\d+\s*$/.test(text)) return null;
    var v = parseFloat(text);
    return isFinite(v) ? v : null;
  }
  var state = readHash();
  var units = 'px';
  var summary = null;

  function writeHash() {
    var params = new URLSearchParams(location.hash.replace(/^#/, ''));
    var text = S.FormatExclusions(state.exclusions);
    if (text) params.set('exclude', text); else params.delete('exclude');
    if (state.view) params.set('view', S.FormatExclusions([state.view])); else params.delete('view');
    if (state.threshold !== null) params.set('thr', String(state.threshold)); else params.delete('thr');
    if (night) params.set('night', ''); else params.delete('night');
    // A flag is written as "night", not "night=".
    var hash = params.toString().replace(/%2C/gi, ',').replace(/(^|&)night=(?=&|$)/, '$1night');
    var url = location.href.replace(/#.*$/, '') + (hash ? '#' + hash : '');
    try { history.replaceState(null, '', url); } catch (e) { location.hash = hash; }
  }

  // ------------------------------------------------------- decimation --

  // The graph gets two rows per screen pixel at most: for each bucket of
  // time, each column's lowest and highest value, in the order they came,
  // at the bucket's first and last time. Every spike stays visible, and
  // dygraphs draws a few thousand points instead of a whole night's. The
  // statistics always use every sample.
  var LABELS = ['t', 'RA drift', 'DEC drift', 'RA correction', 'DEC correction'];

  function lowerBound(arr, x) {
    var lo = 0, hi = arr.length;
    while (lo < hi) { var mid = (lo + hi) >> 1; if (arr[mid] < x) lo = mid + 1; else hi = mid; }
    return lo;
  }

  function decimate(lo, hi, buckets) {
    var k = [1, 1, 1, 1];
    if (units === 'arcsec') { k[0] = summary.arcsec_per_px_ra; k[1] = summary.arcsec_per_px_dec; }
    var i0 = Math.max(0, lowerBound(T, lo) - 1);
    var i1 = Math.min(N, lowerBound(T, hi) + 1);
    var rows = [];
    var lastT = -Infinity;
    var s, i;
    // The break sits just after the last sample: a step plot draws its last
    // value on up to the break.
    function gap(t) { if (t - lastT > gapAfter && lastT > -Infinity) rows.push([lastT + 0.05, null, null, null, null]); }
    if (i1 - i0 <= buckets * 2) {
      for (i = i0; i < i1; ++i) {
        gap(T[i]);
        rows.push([T[i], COLUMNS[0][i] * k[0], COLUMNS[1][i] * k[1], COLUMNS[2][i], COLUMNS[3][i]]);
        lastT = T[i];
      }
      return rows;
    }
    var width = (hi - lo) / buckets;
    var low = [0, 0, 0, 0], high = [0, 0, 0, 0];
    var j = i0;
    while (j < i1) {
      var first = j, end = T[j] + width;
      for (s = 0; s < 4; ++s) { low[s] = j; high[s] = j; }
      for (++j; j < i1 && T[j] < end && T[j] - T[j - 1] <= gapAfter; ++j) {
        for (s = 0; s < 4; ++s) {
          var v = COLUMNS[s][j];
          if (v < COLUMNS[s][low[s]]) low[s] = j;
          else if (v > COLUMNS[s][high[s]]) high[s] = j;
        }
      }
      var last = j - 1;
      gap(T[first]);
      if (last === first) {
        rows.push([T[first], COLUMNS[0][first] * k[0], COLUMNS[1][first] * k[1], COLUMNS[2][first], COLUMNS[3][first]]);
      } else {
        var a = [T[first]], b = [T[last]];
        for (s = 0; s < 4; ++s) {
          var early = low[s] <= high[s] ? low[s] : high[s], late = low[s] <= high[s] ? high[s] : low[s];
          a.push(COLUMNS[s][early] * k[s]);
          b.push(COLUMNS[s][late] * k[s]);
        }
        rows.push(a, b);
      }
      lastT = T[last];
    }
    return rows;
  }

  // -------------------------------------------------------------- graph --

  // Time-axis ticks on round times of day (10:30, 10:45, ...), as far apart
  // as the axis needs.
  var TICK_STEPS = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200];
  function clockTicks(min, max, pixels) {
    var span = max - min;
    var step = TICK_STEPS[TICK_STEPS.length - 1];
    for (var k = 0; k < TICK_STEPS.length; ++k) {
      if (span / TICK_STEPS[k] * 80 <= pixels) { step = TICK_STEPS[k]; break; }
    }
    var offset = series.originTenths / 10;  // seconds of day at t = 0
    var first = Math.ceil((min + offset) / step) * step - offset;
    var ticks = [];
    for (var t = first; t <= max && ticks.length < 200; t += step) {
      var text = clockText(t);
      ticks.push({ v: t, label: step >= 60 ? text.slice(0, 5) : text.slice(0, 8) });
    }
    return ticks;
  }

  var shown = null;      // what the graph's rows cover: {lo, hi, span}
  var graph = null;
  var selecting = null;  // a Shift-drag under way: {x0, x1}
  var selectedExposure = -1;

  // Rows for a view: half a view's width either side as well, so that a
  // pan has rows to show until it ends.
  function rowsFor(range) {
    var span = range[1] - range[0];
    var width = graph ? graph.getArea().w : el('guide-graph').clientWidth || 1200;
    shown = { lo: range[0] - span / 2, hi: range[1] + span / 2, span: span };
    return decimate(shown.lo, shown.hi, Math.max(100, Math.round(width * 2)));
  }

  function needsRows(range) {
    if (!shown) return true;
    var span = range[1] - range[0];
    return range[0] < shown.lo || range[1] > shown.hi || span < shown.span / 1.5 || span > shown.span * 1.5;
  }

  function zoomTo(lo, hi) {
    if (!(hi > lo)) return;
    graph.updateOptions({ file: rowsFor([lo, hi]), dateWindow: [lo, hi] });
    viewChanged([lo, hi]);
  }

  function refreshRows() {
    var range = graph.xAxisRange();
    if (needsRows(range)) graph.updateOptions({ file: rowsFor(range), dateWindow: range });
    viewChanged(range);
  }

  // The view goes into the address too (the whole night is no view).
  function viewChanged(range) {
    if (state.bench) return;
    var whole = range[0] <= fullRange[0] && range[1] >= fullRange[1];
    var view = whole ? null : [S.RoundTenth(range[0]), S.RoundTenth(range[1])];
    if (S.FormatExclusions(view ? [view] : []) === S.FormatExclusions(state.view ? [state.view] : [])) return;
    state.view = view;
    writeHash();
  }

  function shade(canvas, area, g, from, to, style) {
    var x0 = g.toDomXCoord(from), x1 = g.toDomXCoord(to);
    if (x1 < area.x || x0 > area.x + area.w) return;
    x0 = Math.max(x0, area.x);
    x1 = Math.min(x1, area.x + area.w);
    canvas.fillStyle = style;
    canvas.fillRect(x0, area.y, Math.max(1, x1 - x0), area.h);
  }

  function label(canvas, area, g, at, text, colour, row) {
    var x = g.toDomXCoord(at);
    if (x < area.x - 2 || x > area.x + area.w - 30) return;
    canvas.fillStyle = colour;
    canvas.font = '11px Helvetica, Arial, sans-serif';
    canvas.fillText(text, Math.max(x, area.x) + 3, area.y + 12 + 13 * row);
  }

  function underlay(canvas, area, g) {
    var i;
    for (i = 0; i < series.runs.length; ++i) {
      var r = series.runs[i];
      shade(canvas, area, g, r.start, r.end, theme().run);
      label(canvas, area, g, r.start, 'unguided run ' + (i + 1), theme().runLabel, 1);
    }
    for (i = 0; i < series.exposures.length; ++i) {
      var e = series.exposures[i];
      // Positions alone make no guided exposure worth a band: the run's
      // own band shows them.
      if (!hasDrift[i]) continue;
      shade(canvas, area, g, e.start, e.end, i === selectedExposure ? theme().exposureSelected : theme().exposure);
      label(canvas, area, g, e.start, e.name, theme().exposureLabel, 0);
    }
    var list = state.exclusions.slice();
    if (selecting) list.push([Math.min(selecting.x0, selecting.x1), Math.max(selecting.x0, selecting.x1)]);
    for (i = 0; i < list.length; ++i) shade(canvas, area, g, list[i][0], list[i][1], theme().excluded);
    // Lost stars: a red tick at the foot of the plot, one per pixel at most.
    canvas.fillStyle = theme().lost;
    var range = g.xAxisRange();
    var lastPx = -1;
    for (i = lowerBound(lostTimes, range[0]); i < lostTimes.length && lostTimes[i] <= range[1]; ++i) {
      var px = Math.round(g.toDomXCoord(lostTimes[i]));
      if (px === lastPx) continue;
      lastPx = px;
      canvas.fillRect(px, area.y + area.h - 8, 1, 8);
    }
  }

  function excludeRange(x0, x1) {
    var lo = Math.max(Math.min(x0, x1), fullRange[0]);
    var hi = Math.min(Math.max(x0, x1), fullRange[1]);
    lo = S.RoundTenth(lo);
    hi = S.RoundTenth(hi);
    if (!(hi > lo)) return;
    state.exclusions = S.MergeExclusions(state.exclusions.concat([[lo, hi]]));
    exclusionsChanged();
  }

  // Shift-drag marks a range to exclude; every other gesture is dygraphs'
  // own: drag zooms, Alt-drag pans, a double click shows the whole night.
  var model = {
    mousedown: function (event, g, context) {
      if (event.button === 2) return;
      if (!event.shiftKey) { Dygraph.defaultInteractionModel.mousedown(event, g, context); return; }
      event.preventDefault();
      var xOf = function (ev) { return g.toDataXCoord(ev.clientX - g.graphDiv.getBoundingClientRect().left); };
      selecting = { x0: xOf(event), x1: xOf(event) };
      var move = function (ev) { selecting.x1 = xOf(ev); g.updateOptions({}, false); };
      var up = function (ev) {
        document.removeEventListener('mousemove', move);
        document.removeEventListener('mouseup', up);
        var sel = selecting;
        selecting = null;
        sel.x1 = xOf(ev);
        if (Math.abs(g.toDomXCoord(sel.x1) - g.toDomXCoord(sel.x0)) >= 3) excludeRange(sel.x0, sel.x1);
        else g.updateOptions({}, false);
      };
      document.addEventListener('mousemove', move);
      document.addEventListener('mouseup', up);
    },
    willDestroyContextMyself: true,
    dblclick: function (event, g, context) {
      Dygraph.defaultInteractionModel.dblclick(event, g, context);
    },
    touchstart: Dygraph.defaultInteractionModel.touchstart,
    touchmove: Dygraph.defaultInteractionModel.touchmove,
    touchend: Dygraph.defaultInteractionModel.touchend
  };

  function buildGraph(range) {
    var div = el('guide-graph');
    var unit = units === 'arcsec' ? '″' : ' px';
    graph = new Dygraph(div, rowsFor(range), themed({
      labels: LABELS,
      colors: theme().guide,
      series: {
        'RA correction': { axis: 'y2', stepPlot: true, strokeWidth: 1 },
        'DEC correction': { axis: 'y2', stepPlot: true, strokeWidth: 1 }
      },
      axes: {
        x: { valueFormatter: clockText, ticker: clockTicks },
        y: { valueFormatter: function (v) { return v.toFixed(3) + unit; } },
        y2: { valueFormatter: function (v) { return v.toFixed(3) + ' s'; }, independentTicks: true, drawGrid: false }
      },
      ylabel: units === 'arcsec' ? 'Drift (arcsec)' : 'Drift (px)',
      y2label: 'Correction (s)',
      strokeWidth: 1.2,
      labelsDiv: el('guide-legend'),
      legend: 'always',
      dateWindow: range,
      interactionModel: model,
      underlayCallback: underlay,
      zoomCallback: refreshRows
    }, ['DEC drift', 'DEC correction']));
    // A pan ends with the mouse button: the rows follow the new view.
    div.addEventListener('mouseup', function () { setTimeout(refreshRows, 0); });
    div.addEventListener('wheel', function (ev) {
      ev.preventDefault();
      var r = graph.xAxisRange();
      var at = graph.toDataXCoord(ev.clientX - div.getBoundingClientRect().left);
      var f = ev.deltaY > 0 ? 1.25 : 0.8;
      var night = fullRange[1] - fullRange[0];
      zoomTo(Math.max(at - (at - r[0]) * f, fullRange[0] - night), Math.min(at + (r[1] - at) * f, fullRange[1] + night));
    }, { passive: false });
  }

  // The graph made anew over the part of the night it shows, for new units
  // or colours.
  function rebuildGraph() {
    var range = graph.xAxisRange();
    graph.destroy();
    // Gone: the rows for the new one must not ask it for its width.
    graph = null;
    buildGraph(range);
  }

  // ------------------------------------------------------------ figures --

  // Each figure's cell carries its id and, in data-value, the number at
  // full precision, so that a test can compare it with the program's.
  function cell(tr, id, value, decimals, cls) {
    var text = typeof value === 'string' ? value : fmt(value, decimals);
    var td = make('td', id ? { id: id } : null, text);
    if (id && typeof value === 'number') td.setAttribute('data-value', String(value));
    if (id && value === null) td.setAttribute('data-value', 'null');
    if (cls) td.className = cls;
    tr.appendChild(td);
    return td;
  }

  var FIGURES = ['ra_rms', 'dec_rms', 'total_rms', 'ra_peak', 'dec_peak', 'total_peak'];
  var FIGURE_TITLES = ['RA RMS', 'DEC RMS', 'Total RMS', 'RA peak', 'DEC peak', 'Total peak'];

  function renderSummary() {
    var table = el('summary-table');
    table.textContent = '';
    var arcsec = summary.arcsec_per_px_ra !== null;
    var head1 = make('tr');
    head1.appendChild(make('th', { class: 'name', rowspan: '2' }, ''));
    head1.appendChild(make('th', { rowspan: '2' }, 'Start'));
    head1.appendChild(make('th', { rowspan: '2' }, 'Drift samples'));
    head1.appendChild(make('th', { class: 'group', colspan: '6' }, 'Pixels'));
    if (arcsec) head1.appendChild(make('th', { class: 'group', colspan: '6' }, 'Arcseconds'));
    head1.appendChild(make('th', { class: 'group', colspan: '3' }, 'Counts'));
    table.appendChild(head1);
    var head2 = make('tr');
    var k;
    for (k = 0; k < FIGURES.length; ++k) head2.appendChild(make('th', null, FIGURE_TITLES[k]));
    if (arcsec) for (k = 0; k < FIGURES.length; ++k) head2.appendChild(make('th', null, FIGURE_TITLES[k]));
    ['RA corr.', 'DEC corr.', 'Lost stars'].forEach(function (t) { head2.appendChild(make('th', null, t)); });
    table.appendChild(head2);

    function addRow(scope, name, start, g, index) {
      var tr = make('tr');
      cell(tr, null, name, 0, 'name').title = index < 0 ? '' : series.exposures[index].title;
      cell(tr, null, start);
      cell(tr, scope + '-samples', String(g.drift_samples));
      for (var i = 0; i < FIGURES.length; ++i) {
        cell(tr, scope + '-' + FIGURES[i] + '-px', g.px ? g.px[FIGURES[i]] : null, 3);
      }
      if (arcsec) {
        for (var j = 0; j < FIGURES.length; ++j) {
          cell(tr, scope + '-' + FIGURES[j] + '-as', g.arcsec ? g.arcsec[FIGURES[j]] : null, 2);
        }
      }
      cell(tr, scope + '-ra_corrections', String(g.ra_corrections));
      cell(tr, scope + '-dec_corrections', String(g.dec_corrections));
      cell(tr, scope + '-lost_stars', String(g.lost_stars));
      if (index < 0) {
        tr.className = 'night';
      } else {
        tr.className = 'clickable' + (index === selectedExposure ? ' selected' : '');
        tr.title = 'Show this exposure in the graph';
        tr.addEventListener('click', function () {
          selectedExposure = index;
          var e = series.exposures[index];
          var pad = (e.end - e.start) * 0.03 + 1;
          zoomTo(e.start - pad, e.end + pad);
          renderSummary();
        });
      }
      table.appendChild(tr);
    }
    addRow('night', 'Whole night', clockText(fullRange[0]), summary.night, -1);
    for (var e = 0; e < summary.exposures.length; ++e) {
      var ex = series.exposures[summary.exposures[e].exposure];
      // The report counts positions without AutoExposure as an external
      // exposure; here they are an unguided run's.
      addRow(ex.name, ex.name + (hasDrift[summary.exposures[e].exposure] ? '' : ' (run)'),
             clockText(ex.start), summary.exposures[e].guiding, e);
    }
    var note = 'RMS about the mean (population standard deviation) and peak distance from the mean, ' +
      'over the drift samples; total = √(RA² + DEC²).';
    if (arcsec) {
      note += ' Arcseconds at focal length ' + series.focalLength + ' mm: RA ' + fmt(summary.arcsec_per_px_ra, 4) +
        '″/px, DEC ' + fmt(summary.arcsec_per_px_dec, 4) + '″/px.';
    } else {
      note += ' No focal length was given, so the figures are in pixels only.';
    }
    if (state.exclusions.length) note += ' Excluded ranges are left out of every figure.';
    el('summary-note').textContent = note;
  }

  function renderRuns() {
    var table = el('runs-table');
    table.textContent = '';
    if (summary.runs.length === 0) {
      el('runs-note').textContent = 'The log holds no unguided run (a run of absolute star positions).';
      return;
    }
    el('runs-note').textContent = runsNote();
    var arcsec = summary.arcsec_per_px_ra !== null;
    var head = make('tr');
    var titles = ['Run', 'Start', 'Span (s)', 'Samples'].concat(arcsec ?
      ['RA drift (″/min)', 'DEC drift (″/min)', 'Polar alignment ≥ (′)', 'PE peak-to-peak (″)', 'Steepest PE slope (″/s)'] :
      ['RA drift (px/s)', 'DEC drift (px/s)', 'Polar alignment', 'PE peak-to-peak (px)', 'Steepest PE slope (px/s)']);
    titles.forEach(function (t, i) { head.appendChild(make('th', i === 0 ? { class: 'name' } : null, t)); });
    head.appendChild(make('th', { colspan: '3' }, 'Strongest periods (s)'));
    table.appendChild(head);
    for (var r = 0; r < summary.runs.length; ++r) {
      var run = summary.runs[r];
      var scope = 'run' + (r + 1);
      var tr = make('tr');
      if (run === null) {
        cell(tr, null, 'Run ' + (r + 1), 0, 'name');
        cell(tr, null, clockText(series.runs[r].start));
        var wait = make('td', { colspan: '12', class: 'none' }, 'computing…');
        tr.appendChild(wait);
        table.appendChild(tr);
        continue;
      }
      placeRun(r, run);
      var f = run.has_figures;
      cell(tr, null, 'Run ' + (r + 1), 0, 'name');
      cell(tr, null, clockText(series.runs[run.run].start));
      cell(tr, scope + '-span_s', run.span_s, 1);
      cell(tr, scope + '-samples', String(run.samples));
      if (arcsec) {
        cell(tr, scope + '-ra_rate_arcsec_per_min', f ? run.ra_rate_arcsec_per_min : null, 3);
        cell(tr, scope + '-dec_rate_arcsec_per_min', f ? run.dec_rate_arcsec_per_min : null, 3);
        cell(tr, scope + '-polar_error_arcmin', f ? run.polar_error_arcmin : null, 2);
        cell(tr, scope + '-pe_peak_to_peak_arcsec', f ? run.pe_peak_to_peak_arcsec : null, 2);
        cell(tr, scope + '-pe_max_slope_arcsec_per_s', f ? run.pe_max_slope_arcsec_per_s : null, 4);
      } else {
        cell(tr, scope + '-ra_rate_px_per_s', f ? run.ra_rate_px_per_s : null, 5);
        cell(tr, scope + '-dec_rate_px_per_s', f ? run.dec_rate_px_per_s : null, 5);
        cell(tr, null, 'needs the focal length');
        cell(tr, scope + '-pe_peak_to_peak_px', f ? run.pe_peak_to_peak_px : null, 3);
        cell(tr, scope + '-pe_max_slope_px_per_s', f ? run.pe_max_slope_px_per_s : null, 5);
      }
      peakCells(tr, scope, f ? run.periodogram.peaks : []);
      table.appendChild(tr);
    }
  }

  // Each run's graphs are drawn again only when its figures changed: an
  // exclusion elsewhere leaves them as they are.
  var runBoxes = [];
  function placeRun(r, run) {
    if (runBoxes[r] && runBoxes[r].run === run) return;
    var holder = el('periodograms');
    var box = make('div', { class: 'periodogram' });
    if (runBoxes[r]) holder.replaceChild(box, runBoxes[r].box);
    else holder.appendChild(box);
    runBoxes[r] = { run: run, box: box };
    drawRun(box, r, run);
  }

  function drawRun(box, r, run) {
    var spanInfo = series.runs[run.run];
    box.appendChild(make('h3', null, 'Run ' + (r + 1) + ': star position (from its first) and the periodogram of the RA error'));
    var posPlot = make('div', { class: 'plot', id: 'run' + (r + 1) + '-positions' });
    var pgPlot = make('div', { class: 'plot', id: 'run' + (r + 1) + '-periodogram' });
    box.appendChild(posPlot);
    box.appendChild(pgPlot);

    var rows = [];
    var x0 = series.ra[spanInfo.first], y0 = series.dec[spanInfo.first];
    // A smooth curve: every few samples are enough for the eye.
    var stride = Math.max(1, Math.ceil((spanInfo.endSample - spanInfo.first) / 3000));
    for (var i = spanInfo.first; i < spanInfo.endSample; i += stride) {
      var out = S.Excluded(ALL_T[i], state.exclusions);
      rows.push([ALL_T[i], out ? null : series.ra[i] - x0, out ? null : series.dec[i] - y0]);
    }
    new Dygraph(posPlot, rows, themed({
      labels: ['t', 'RA position', 'DEC position'],
      colors: theme().positions,
      axes: { x: { valueFormatter: clockText, ticker: clockTicks },
              y: { valueFormatter: function (v) { return v.toFixed(3) + ' px'; } } },
      ylabel: 'Position (px)',
      strokeWidth: 1.2,
      legend: 'follow'
    }, ['DEC position']));

    var pg = run.periodogram;
    if (!run.has_figures || !pg || pg.power.length < 2) {
      pgPlot.textContent = 'Too few samples for a periodogram.';
      return;
    }
    new Dygraph(pgPlot, periodRows(pg), themed({
      labels: ['Period', 'Power'],
      colors: theme().periodogram,
      axes: { x: { logscale: true, valueFormatter: function (v) { return fmt(v, 1) + ' s'; } } },
      xlabel: 'Period (s)',
      ylabel: 'Power (share of variance)',
      strokeWidth: 1.2,
      legend: 'follow',
      underlayCallback: wormMarks
    }));
  }

  // The worm period and its harmonics as lines across a periodogram whose
  // x axis is the period, logarithmic.
  function wormMarks(canvas, area, g) {
    var worm = series.wormPeriod;
    if (!(worm > 0)) return;
    for (var h = 1; h <= 8; ++h) {
      // toDomXCoord knows no logarithmic axis; the percentage does.
      var x = area.x + g.toPercentXCoord(worm / h) * area.w;
      if (x < area.x || x > area.x + area.w) continue;
      canvas.strokeStyle = h === 1 ? theme().worm : theme().harmonic;
      canvas.setLineDash(h === 1 ? [] : [4, 3]);
      canvas.beginPath();
      canvas.moveTo(x, area.y);
      canvas.lineTo(x, area.y + area.h);
      canvas.stroke();
      canvas.setLineDash([]);
      canvas.fillStyle = canvas.strokeStyle;
      canvas.font = '11px Helvetica, Arial, sans-serif';
      canvas.fillText(h === 1 ? 'worm ' + worm + ' s' : 'P/' + h, x + 3, area.y + 12 + 12 * ((h - 1) % 4));
    }
  }

  // Rows [period, power] of a periodogram, longest period first.
  function periodRows(pg) {
    var rows = [];
    for (var k = 0; k < pg.power.length; ++k) {
      var fk = pg.first_hz + k * pg.step_hz;
      if (fk > 0) rows.push([1 / fk, pg.power[k]]);
    }
    return rows.reverse();
  }

  // The strongest periods of a periodogram as three cells, the worm's
  // harmonic after the number, power and amplitude in the title.
  function peakCells(tr, scope, peaks) {
    for (var k = 0; k < 3; ++k) {
      var pk = peaks[k];
      var td = cell(tr, scope + '-peak' + (k + 1), pk ? pk.period_s : null, 1);
      if (pk) {
        if (pk.harmonic === 1) td.textContent += ' (worm)';
        else if (pk.harmonic > 1) td.textContent += ' (P/' + pk.harmonic + ')';
        td.title = 'power ' + fmt(pk.power, 3) + ', amplitude ' +
          (pk.amplitude_arcsec !== null ? fmt(pk.amplitude_arcsec, 2) + '″' : fmt(pk.amplitude_px, 3) + ' px');
      }
    }
  }

  // ------------------------------------------------------- culling --

  // The exposures table (as exposures.csv), sortable by any column, with
  // the exposures whose total RMS is over the threshold marked.
  var cullSort = { key: null, descending: false };
  var cullMarked = [];  // the marked rows, in the table's order

  function cullColumns(arcsec) {
    function figure(g, unit, name) {
      var f = unit === 'px' ? g.px : g.arcsec;
      return f ? f[name] : null;
    }
    var cols = [
      { key: 'name', title: 'Exposure', value: function (r) { return r.name; }, cls: 'name' },
      { key: 'date', title: 'Date', value: function (r) { return r.date; } },
      { key: 'start', title: 'Start', value: function (r) { return r.start; }, text: clockText },
      { key: 'end', title: 'End', value: function (r) { return r.end; }, text: clockText },
      { key: 'duration', title: 'Duration (s)', value: function (r) { return r.end - r.start; }, decimals: 1 },
      { key: 'frames', title: 'Frames', value: function (r) { return r.g.drift_samples + r.g.lost_stars; } },
      { key: 'lost_stars', title: 'Lost stars', value: function (r) { return r.g.lost_stars; } }
    ];
    (arcsec ? ['px', 'as'] : ['px']).forEach(function (unit) {
      FIGURES.forEach(function (name, i) {
        cols.push({ key: name + '-' + unit, title: FIGURE_TITLES[i] + (unit === 'px' ? ' (px)' : ' (″)'),
                    value: function (r) { return figure(r.g, unit, name); }, decimals: unit === 'px' ? 3 : 2 });
      });
    });
    cols.push({ key: 'ra_corrections', title: 'RA corr.', value: function (r) { return r.g.ra_corrections; } });
    cols.push({ key: 'dec_corrections', title: 'DEC corr.', value: function (r) { return r.g.dec_corrections; } });
    return cols;
  }

  // Ascending or descending by the column's value; cells without one
  // always last, ties in the log's order.
  function sortRows(rows, col, descending) {
    rows.sort(function (a, b) {
      var x = col.value(a), y = col.value(b);
      if (x === null || y === null) return x === null ? (y === null ? a.index - b.index : 1) : -1;
      var order = x < y ? -1 : x > y ? 1 : 0;
      return (descending ? -order : order) || a.index - b.index;
    });
  }

  function renderCull() {
    var table = el('cull-table');
    table.textContent = '';
    var arcsec = summary.arcsec_per_px_ra !== null;
    var unit = arcsec ? '″' : ' px';
    el('cull-unit').textContent = arcsec ? 'arcseconds' : 'pixels';
    var cols = cullColumns(arcsec);
    var head = make('tr');
    cols.forEach(function (col) {
      var arrow = cullSort.key === col.key ? (cullSort.descending ? ' ▼' : ' ▲') : '';
      var th = make('th', { class: 'sortable' + (col.cls ? ' ' + col.cls : ''), 'data-key': col.key,
                            title: 'Sort by ' + col.title }, col.title + arrow);
      th.addEventListener('click', function () {
        cullSort.descending = cullSort.key === col.key ? !cullSort.descending : false;
        cullSort.key = col.key;
        renderCull();
      });
      head.appendChild(th);
    });
    table.appendChild(head);
    var rows = summary.exposures.map(function (x, k) {
      var e = series.exposures[x.exposure];
      var f = arcsec ? x.guiding.arcsec : x.guiding.px;
      return { index: k, name: e.kind + ('00' + e.number).slice(-3), title: e.title, date: S.DateAt(series, e.start),
               start: e.start, end: e.end, g: x.guiding, rms: f ? f.total_rms : null };
    });
    var sortBy = cols.filter(function (col) { return col.key === cullSort.key; })[0];
    if (sortBy) sortRows(rows, sortBy, cullSort.descending);
    cullMarked = [];
    rows.forEach(function (r) {
      var marked = state.threshold !== null && r.rms !== null && r.rms > state.threshold;
      if (marked) cullMarked.push(r);
      var tr = make('tr', { 'data-name': r.name, class: marked ? 'marked' : '' });
      cols.forEach(function (col) {
        var v = col.value(r);
        var text = v === null ? fmt(null) : col.text ? col.text(v) : typeof v === 'number' && col.decimals ?
          fmt(v, col.decimals) : String(v);
        cell(tr, null, text, 0, col.cls || (v === null ? 'none' : null));
      });
      tr.firstChild.title = r.title + (marked ? ', total RMS over ' + state.threshold + unit : '');
      table.appendChild(tr);
    });
    var count = el('cull-count');
    count.textContent = state.threshold === null ? 'Give a threshold to mark exposures.' :
      cullMarked.length + ' of ' + rows.length + ' exposures over ' + state.threshold + unit + '.';
    count.setAttribute('data-marked', cullMarked.map(function (r) { return r.name; }).join(' '));
    el('cull-copy').disabled = cullMarked.length === 0;
  }

  function thresholdChanged() {
    var text = el('cull-threshold').value;
    state.threshold = text === '' ? null : parseThreshold(text);
    writeHash();
    renderCull();
  }

  // The marked exposures, one a line (name, date, start, end, total RMS,
  // tab-separated: a spreadsheet takes them as columns), to the clipboard,
  // and into a selected text box for pages the browser keeps from it.
  function copyMarked() {
    var arcsec = summary.arcsec_per_px_ra !== null;
    var text = cullMarked.map(function (r) {
      return [r.name, r.date, clockText(r.start), clockText(r.end), fmt(r.rms, arcsec ? 2 : 3)].join('\t');
    }).join('\n');
    var box = el('cull-list');
    box.hidden = false;
    box.value = text;
    box.textContent = text;
    var status = el('cull-copy-status');
    var what = cullMarked.length + ' marked exposure' + (cullMarked.length === 1 ? '' : 's');
    function done() {
      status.textContent = 'Copied the ' + what + '.';
      status.setAttribute('data-copied', 'clipboard');
    }
    function fallback() {
      box.focus();
      box.select();
      var copied = false;
      try { copied = document.execCommand('copy'); } catch (e) { copied = false; }
      status.textContent = copied ? 'Copied the ' + what + '.' :
        'The browser keeps this page from the clipboard: the list below is selected, copy it with Ctrl+C.';
      status.setAttribute('data-copied', copied ? 'selection' : 'no');
    }
    if (navigator.clipboard && navigator.clipboard.writeText) navigator.clipboard.writeText(text).then(done, fallback);
    else fallback();
  }

  // ---------------------------------------------- guided RA drift --

  // The periodogram of the guided RA drift, per exposure and for the
  // night, recomputed with every change of the exclusions; its time goes
  // into data-ms.
  var guided = null;
  var guidedShown = -1;  // the exposure drawn beside the night, or -1
  var guidedGraph = null;
  var guidedCache = {};

  function computeGuided() {
    var t0 = performance.now();
    guided = S.GuidedRaSummary(series, state.exclusions, S.ScaleOf(series), guidedCache);
    el('guided-section').setAttribute('data-ms', (performance.now() - t0).toFixed(1));
  }

  function renderGuided() {
    var table = el('guided-table');
    table.textContent = '';
    var arcsec = summary.arcsec_per_px_ra !== null;
    var head = make('tr');
    ['', 'Start', 'Drift samples', 'Span (s)'].forEach(function (t, i) {
      head.appendChild(make('th', i === 0 ? { class: 'name' } : null, t));
    });
    head.appendChild(make('th', { colspan: '3' }, 'Strongest periods (s)'));
    var worm = series.wormPeriod > 0;
    if (worm) head.appendChild(make('th', null, 'At the worm period (' + (arcsec ? '″' : 'px') + ')'));
    table.appendChild(head);
    function addRow(scope, name, start, gp, index) {
      var tr = make('tr');
      cell(tr, null, name, 0, 'name');
      cell(tr, null, start);
      cell(tr, scope + '-samples', String(gp.samples));
      cell(tr, scope + '-span_s', gp.samples ? gp.span_s : null, 1);
      peakCells(tr, scope, gp.periodogram.peaks);
      if (worm) {
        var at = gp.periodogram.worm_harmonics.filter(function (h) { return h.harmonic === 1; })[0];
        cell(tr, scope + '-worm', at ? (arcsec ? at.amplitude_arcsec : at.amplitude_px) : null, arcsec ? 2 : 3);
      }
      if (index < 0) {
        tr.className = 'night';
      } else {
        tr.className = 'clickable' + (index === guidedShown ? ' selected' : '');
        tr.title = 'Draw this exposure\'s periodogram beside the night\'s';
        tr.addEventListener('click', function () {
          guidedShown = guidedShown === index ? -1 : index;
          renderGuided();
        });
      }
      table.appendChild(tr);
    }
    addRow('guided-night', 'Whole night', clockText(fullRange[0]), guided.night, -1);
    for (var k = 0; k < series.exposures.length; ++k) {
      if (!hasDrift[k]) continue;
      var e = series.exposures[k];
      addRow('guided-' + e.name, e.name, clockText(e.start), guided.exposures[k], k);
    }
    drawGuided();
  }

  function drawGuided() {
    var div = el('guided-plot');
    if (guidedGraph) { guidedGraph.destroy(); guidedGraph = null; }
    div.textContent = '';
    var night = guided.night.periodogram;
    if (night.power.length < 2) {
      div.textContent = 'Too few guided drift samples for a periodogram.';
      return;
    }
    var labels = ['Period', 'Whole night'];
    var rows = periodRows(night).map(function (r) { return [r[0], r[1]]; });
    var shown = guidedShown >= 0 ? guided.exposures[guidedShown].periodogram : null;
    if (shown && shown.power.length >= 2) {
      labels.push(series.exposures[guidedShown].name);
      rows.forEach(function (r) { r.push(null); });
      periodRows(shown).forEach(function (r) { rows.push([r[0], null, r[1]]); });
      rows.sort(function (a, b) { return a[0] - b[0]; });
    }
    guidedGraph = new Dygraph(div, rows, themed({
      labels: labels,
      colors: theme().guided,
      connectSeparatedPoints: true,
      axes: { x: { logscale: true, valueFormatter: function (v) { return fmt(v, 1) + ' s'; } } },
      xlabel: 'Period (s)',
      ylabel: 'Power (share of variance)',
      strokeWidth: 1.2,
      legend: 'follow',
      underlayCallback: wormMarks
    }, labels.slice(2)));
  }

  function renderExclusions() {
    var list = el('exclusion-list');
    list.textContent = '';
    if (state.exclusions.length === 0) {
      list.appendChild(make('span', { class: 'none' }, 'nothing (Shift-drag across the graph to exclude a range)'));
    }
    state.exclusions.forEach(function (range, i) {
      var chip = make('span', { class: 'chip' }, clockText(range[0]) + ' – ' + clockText(range[1]) + ' ');
      var x = make('button', { type: 'button', title: 'Include this range again' }, '×');
      x.addEventListener('click', function () {
        state.exclusions.splice(i, 1);
        exclusionsChanged();
      });
      chip.appendChild(x);
      list.appendChild(chip);
    });
    el('clear-exclusions').disabled = state.exclusions.length === 0;
  }

  // The runs' figures (a periodogram of thousands of frequencies each) are
  // kept per run and per the exclusions that touch that run, and computed
  // one run at a time after the rest of the page is shown, so that an
  // exclusion elsewhere costs nothing and a long night never freezes it.
  var runCache = {};
  var generation = 0;

  function runKey(r) {
    var span = series.runs[r];
    var inside = state.exclusions.filter(function (x) { return x[1] >= span.start && x[0] <= span.end; });
    return r + ':' + S.FormatExclusions(inside);
  }

  // `atOnce`: every run before returning (the first showing, which the
  // browser's load waits for).
  function recompute(atOnce) {
    var mine = ++generation;
    var missing = [];
    summary = S.Summarize(series, state.exclusions, function (r) {
      var hit = runCache[runKey(r)];
      if (!hit) missing.push(r);
      return hit || null;
    });
    document.body.removeAttribute('data-ready');
    var scale = S.ScaleOf(series);
    while (atOnce && missing.length > 0) {
      var r = missing.shift();
      runCache[runKey(r)] = summary.runs[r] = S.RunSummary(series, r, state.exclusions, scale);
    }
    computeGuided();
    renderSummary();
    renderCull();
    renderGuided();
    renderRuns();
    renderExclusions();
    if (graph) graph.updateOptions({}, false);
    (function next() {
      if (mine !== generation) return;  // the exclusions changed meanwhile
      if (missing.length === 0) {
        document.body.setAttribute('data-ready', '1');
        return;
      }
      var r2 = missing.shift();
      runCache[runKey(r2)] = summary.runs[r2] = S.RunSummary(series, r2, state.exclusions, scale);
      renderRuns();
      setTimeout(next, 0);
    })();
  }

  function exclusionsChanged() {
    writeHash();
    recompute();
  }

  // ------------------------------------------------------------ bench --

  // "#bench=zoom": zooms in step by step to a few minutes and out again,
  // each step new rows and a full redraw, and writes the times into
  // #bench-result.
  function runBench() {
    var times = [];
    var span = fullRange[1] - fullRange[0];
    var centre = fullRange[0] + span * 0.37;
    var steps = [];
    var f;
    for (f = 1; f >= 1 / 256; f /= 2) steps.push(f);
    for (f = 1 / 128; f <= 1; f *= 2) steps.push(f);
    for (var i = 0; i < steps.length; ++i) {
      var half = span * steps[i] / 2;
      var t0 = performance.now();
      zoomTo(centre - half, centre + half);
      times.push(performance.now() - t0);
    }
    var sorted = times.slice().sort(function (x, y) { return x - y; });
    var out = el('bench-result');
    var median = sorted[sorted.length >> 1], worst = sorted[sorted.length - 1];
    out.textContent = 'Zoom benchmark: ' + times.length + ' redraws of ' + N + ' drift samples, median ' +
      median.toFixed(1) + ' ms, slowest ' + worst.toFixed(1) + ' ms.';
    out.setAttribute('data-median-ms', median.toFixed(2));
    out.setAttribute('data-max-ms', worst.toFixed(2));
    out.setAttribute('data-points', String(N));
    out.setAttribute('data-steps-ms', times.map(function (t) { return t.toFixed(1); }).join(' '));
  }

  // "#bench=guided": the guided periodograms recomputed for a dozen
  // different exclusions, as a Shift-drag asks for them, timed each.
  function runGuidedBench() {
    var times = [];
    var span = fullRange[1] - fullRange[0];
    var cache = {};
    S.GuidedRaSummary(series, [], S.ScaleOf(series), cache);
    for (var i = 0; i < 12; ++i) {
      var from = fullRange[0] + span * (0.05 + 0.07 * i);
      var excluded = [[S.RoundTenth(from), S.RoundTenth(from + span * 0.01 * (1 + i % 3))]];
      var t0 = performance.now();
      S.GuidedRaSummary(series, excluded, S.ScaleOf(series), cache);
      times.push(performance.now() - t0);
    }
    var sorted = times.slice().sort(function (x, y) { return x - y; });
    var out = el('bench-result');
    var median = sorted[sorted.length >> 1], worst = sorted[sorted.length - 1];
    out.textContent = 'Guided periodogram benchmark: ' + times.length + ' exclusions of ' + ALL_T.length +
      ' star measurements, median ' + median.toFixed(1) + ' ms, slowest ' + worst.toFixed(1) + ' ms.';
    out.setAttribute('data-guided-median-ms', median.toFixed(2));
    out.setAttribute('data-guided-max-ms', worst.toFixed(2));
    out.setAttribute('data-guided-steps-ms', times.map(function (t) { return t.toFixed(1); }).join(' '));
  }

  // -------------------------------------------------------------- text --

  function subtitle() {
    var parts = ['Log of ' + S.DateText(series.originDate) + ', ' + clockText(fullRange[0]) + ' to ' +
                 clockText(series.endS)];
    parts.push(ALL_T.length + ' star measurements');
    parts.push(series.exposures.length + ' guided exposure' + (series.exposures.length === 1 ? '' : 's'));
    parts.push(series.runs.length + ' unguided run' + (series.runs.length === 1 ? '' : 's'));
    var settings = [];
    if (series.focalLength !== null) settings.push('focal length ' + series.focalLength + ' mm');
    if (series.wormPeriod !== null) settings.push('worm period ' + series.wormPeriod + ' s');
    if (series.declination !== null) settings.push('star at DEC ' + series.declination + '°');
    parts.push(settings.length ? settings.join(', ') : 'no telescope settings given (pixels only)');
    return parts.join(' · ');
  }

  function guidedNote() {
    return 'Lomb–Scargle periodogram of the RA drift left by the guiding (the residual periodic error): the drift ' +
      'samples of the guided exposures, each exposure\'s mean taken off, averaged in bins of a tenth of the ' +
      'shortest period, the gaps between exposures left as gaps. Periods from the longest exposure down to 20 s ' +
      '(or two frame intervals); the worm period and its harmonics are marked. Amplitudes on the sky, as the RMS. ' +
      'Click an exposure to draw its own periodogram beside the night\'s.';
  }

  function runsNote() {
    return 'Drift rate: least-squares line through the positions (with the worm period\'s first four ' +
      'harmonics fitted alongside when the run spans a whole period). Polar alignment: the DEC drift ' +
      'rate over the sidereal rate, a lower bound of the axis error (3.81′ per ″/min). Periodic error: ' +
      'the RA residual after the drift line, smoothed over 1/20 of the worm period, in RA-axis arcseconds ' +
      '(divided by cos DEC). Periodogram: Lomb–Scargle of that residual; the worm period and its ' +
      'harmonics are marked.';
  }

  // --------------------------------------------------------- night vision --

  // Switches the page's theme at once: the page's colours by its style
  // sheet, the plots drawn again in the theme's colours, and the address
  // keeping the choice with the rest of it.
  function setNight(on) {
    if (on === night) return;
    night = on;
    document.documentElement.classList.toggle('night', on);
    el('night-toggle').checked = on;
    if (!state.bench) writeHash();
    if (graph) rebuildGraph();
    runBoxes = [];
    el('periodograms').textContent = '';
    renderRuns();
    if (guided) drawGuided();
  }

  // ------------------------------------------------------------- start --

  el('file-name').textContent = raw.file;
  document.title = raw.file + ' guiding analysis';
  el('subtitle').textContent = subtitle();
  el('generated').textContent = 'Written by ktal-companion at ' + raw.generated + '.';
  el('zoom-out').addEventListener('click', function () { zoomTo(fullRange[0], fullRange[1]); });
  el('guided-note').textContent = guidedNote();
  el('cull-threshold').value = state.threshold === null ? '' : String(state.threshold);
  el('cull-threshold').addEventListener('input', thresholdChanged);
  el('cull-copy').addEventListener('click', copyMarked);
  el('clear-exclusions').addEventListener('click', function () { state.exclusions = []; exclusionsChanged(); });
  el('night-toggle').checked = night;
  el('night-toggle').addEventListener('change', function () { setNight(el('night-toggle').checked); });
  window.addEventListener('hashchange', function () {
    var next = readHash();
    setNight(next.night);
    if (next.view && graph && S.FormatExclusions([next.view]) !== S.FormatExclusions(state.view ? [state.view] : [])) {
      zoomTo(next.view[0], next.view[1]);
    }
    if (next.threshold !== state.threshold) {
      state.threshold = next.threshold;
      el('cull-threshold').value = state.threshold === null ? '' : String(state.threshold);
      renderCull();
    }
    if (S.FormatExclusions(next.exclusions) === S.FormatExclusions(state.exclusions)) return;
    state.exclusions = next.exclusions;
    recompute();
  });

  recompute(true);
  if (summary.arcsec_per_px_ra !== null) {
    var sw = el('unit-switch');
    ['px', 'arcsec'].forEach(function (u) {
      var lab = make('label');
      var input = make('input', { type: 'radio', name: 'units', value: u });
      input.checked = u === units;
      input.addEventListener('change', function () {
        units = u;
        rebuildGraph();
      });
      lab.appendChild(input);
      lab.appendChild(document.createTextNode(' ' + (u === 'px' ? 'pixels' : 'arcseconds')));
      sw.appendChild(lab);
    });
  }
  if (N > 0) buildGraph(state.view || fullRange);
  else el('guide-graph').textContent = 'The log holds no guided drift measurement.';
  if (state.bench === 'zoom' && N > 0) runBench();
  if (state.bench === 'guided') runGuidedBench();
})();
