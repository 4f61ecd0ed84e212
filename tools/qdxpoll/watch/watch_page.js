// The page of `qdxpoll watch` (served as /watch.js): it hears the readings of
// every poll cycle as server-sent events from /events, asks /history for a
// time range, draws them with dygraphs, and sends the form's writes to
// /write.
'use strict';
let setup = null;
let rows = [];    // the range shown: [time ms, value or null for each point]
let gaps = [];    // [from ms, to ms, why]: nothing was recorded; no why: qdxpoll was not running
let span = null;  // [first, last] ms of the whole history
let latest = [];  // a point's last good value and last failure
let stats = [];
let cyclesIn = 0; // cycles of this run the page has heard of
let charts = [];  // {graph, columns}
// The range shown: the last `ms` (live), the whole history (live), or a
// range picked on a chart (still).
let range = { kind: 'last', ms: 600000 };
let grouping = 'unit';
let asking = 0;   // the number of the latest range asked for: older answers are dropped
const kMaxRows = 36000;
const kMaxFetched = 3000;
// Served beyond its machine, qdxpoll takes writes only with the token that
// the address it printed carries after the #, which never leaves the browser
// but with a write.
const writeToken = new URLSearchParams(location.hash.slice(1)).get('token') || '';

const $ = (id) => document.getElementById(id);
function cell(tr, text, cls) {
  const td = document.createElement('td');
  td.textContent = text === undefined || text === null ? '' : String(text);
  if (cls) td.className = cls;
  tr.appendChild(td);
  return td;
}
function element(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

// --- Times: 24 h, local, with the zone, everywhere ---------------------
const pad = (n, width) => String(n).padStart(width || 2, '0');
const zoneFormat = new Intl.DateTimeFormat('en-GB', { timeZoneName: 'short' });
function zone(d) {
  const part = zoneFormat.formatToParts(d).find((p) => p.type === 'timeZoneName');
  return part ? part.value : '';
}
function day(d) { return d.getFullYear() + '-' + pad(d.getMonth() + 1) + '-' + pad(d.getDate()); }
function clock(d) { return pad(d.getHours()) + ':' + pad(d.getMinutes()) + ':' + pad(d.getSeconds()); }
// 01:35:23 CET, with the day before it when it is not today.
function stamp(ms) {
  const d = new Date(ms);
  return (day(d) === day(new Date()) ? '' : day(d) + ' ') + clock(d) + ' ' + zone(d);
}
// An axis label: the time of day, with the day where the axis spans days.
function axisLabel(d, granularity) {
  const G = Dygraph.Granularity;
  const t = granularity >= G.DAILY ? '' : pad(d.getHours()) + ':' + pad(d.getMinutes()) +
      (granularity < G.MINUTELY ? ':' + pad(d.getSeconds()) : '');
  // Ticks below a second: the whole seconds alone are named.
  if (granularity < G.SECONDLY && d.getMilliseconds() !== 0) return '';
  const days = rows.length > 1 && rows[rows.length - 1][0] - rows[0][0] > 20 * 3600 * 1000;
  return days || !t ? pad(d.getMonth() + 1) + '-' + pad(d.getDate()) + (t ? ' ' + t : '') : t;
}
function age(ms) {
  const s = Math.max(0, Math.round((Date.now() - ms) / 1000));
  if (s < 120) return s + ' s ago';
  if (s < 7200) return Math.round(s / 60) + ' min ago';
  return Math.round(s / 3600) + ' h ago';
}
// 20261209T0130, for file names.
function fileTime(ms) {
  const d = new Date(ms);
  return d.getFullYear() + pad(d.getMonth() + 1) + pad(d.getDate()) + 'T' + pad(d.getHours()) + pad(d.getMinutes());
}

// --- Points ---------------------------------------------------------------
const causeWords = {
  silent: 'no answer', no_reply: 'no valid reply', eot: 'no such identifier (EOT)', nak: 'refused (NAK)',
  cut_short: 'answer cut short', late: 'answer too late', no_frame: 'no frame (line settings?)',
  no_stx: 'damaged answer (no STX)', wrong_identifier: 'answer for another identifier',
  no_etx: 'damaged answer (no ETX)', bad_bcc: 'damaged answer (BCC)', not_a_number: 'not a number',
  bad_answer: 'neither ACK nor NAK', refused: 'refused by the unit', interrupted: 'interrupted',
  port_lost: 'port lost',
};
function causeText(code) { return causeWords[code] || code; }
function meaning(p) { return (p.meaning || '').replace(/\s*\(assumed\)/g, ''); }
function unitName(p) { return 'unit ' + pad(p.unit) + (p.channel !== 1 ? ' ch ' + p.channel : ''); }
function pointTitle(p) { return p.name ? p.name + ' (' + p.address + ')' : p.address; }
function pointLabel(p) { return pointTitle(p) + (meaning(p) ? ' ' + meaning(p) : ''); }
function seriesName(p) { return p.name || p.address; }
function formatValue(p, v) {
  if (v === null || v === undefined || !isFinite(v)) return '–';
  return Number(v).toFixed(p.decimals) + (p.engineering_unit ? ' ' + p.engineering_unit : '');
}
function hasValue(i) {
  if (latest[i] && latest[i].good) return true;
  return rows.some((r) => r[i + 1] !== null && r[i + 1] !== undefined);
}

function buildCards() {
  const box = $('now');
  box.textContent = '';
  setup.points.forEach((p, i) => {
    const card = element('div', 'card');
    card.dataset.address = p.address;
    card.append(element('div', 'card-name', pointTitle(p)), element('div', 'card-meaning', meaning(p) || p.identifier));
    const value = element('div', 'card-value');
    value.append(element('span', 'number'), element('span', 'eu', p.engineering_unit));
    card.append(value, element('div', 'card-age'), element('div', 'card-why'));
    box.appendChild(card);
  });
}

// Each card's value, its age and, when its last reading failed, why.
function showLatest() {
  const cards = $('now').children;
  setup.points.forEach((p, i) => {
    const card = cards[i];
    if (!card) return;
    const l = latest[i] || {};
    const failing = l.failed && (!l.good || l.failed.time > l.good.time);
    card.classList.toggle('failing', !!failing);
    card.classList.toggle('never', !l.good);
    const number = card.querySelector('.number');
    const n = l.good ? parseFloat(l.good.text) : NaN;
    number.textContent = l.good ? (isFinite(n) ? n.toFixed(p.decimals) : l.good.text) : '–';
    card.querySelector('.card-age').textContent = l.good ? age(l.good.time) : 'no good reading yet';
    card.querySelector('.card-why').textContent = failing
        ? causeText(l.failed.cause) + ' ' + age(l.failed.time) : '';
    card.querySelector('.card-why').title = failing ? l.failed.what : '';
    card.title = l.good ? pointLabel(p) + ' = ' + l.good.text + ' at ' + stamp(l.good.time) : pointLabel(p);
  });
}

// --- Charts -----------------------------------------------------------------
function groups() { return setup.charts[grouping] || []; }

// Short: the cards above name each point in full.
function chartTitle(points) {
  if (grouping === 'identifier') {
    const p = points[0];
    return p.identifier + (meaning(p) ? ' ' + meaning(p) : '') + ': ' + points.map((q) => seriesName(q)).join(' · ');
  }
  return unitName(points[0]) + ': ' +
      points.map((q) => (seriesName(q) === q.address ? q.identifier : seriesName(q))).join(' · ');
}

// A chart's points on one or two axes: the first engineering unit on the
// left, any other on the right (a unit's output in % beside its °C).
function axesOf(points) {
  const units = [];
  for (const p of points) if (!units.includes(p.engineering_unit)) units.push(p.engineering_unit);
  return { left: units[0], right: units.slice(1) };
}

// --- An axis at the resolution of its points ---------------------------
// The finest places among an axis's points: its ticks are multiples of that
// step, and its range is never narrower than kFewSteps of it, so that one
// step of the unit's last digit never looks like a swing.
const kFewSteps = 5;
function axisDecimals(points) { return Math.max(0, ...points.map((p) => p.decimals)); }

// Ticks at whole multiples of 1, 2 or 5 times the step, as many as fit.
function resolutionTicker(decimals) {
  const step = Math.pow(10, -decimals);
  return (min, max, pixels, opts) => {
    const most = Math.max(2, Math.floor(pixels / (opts('pixelsPerLabel') || 30)));
    let spacing = step;
    for (let k = 0; (max - min) / spacing > most && k < 40; ++k)
      spacing = step * [1, 2, 5][(k + 1) % 3] * Math.pow(10, Math.floor((k + 1) / 3));
    const ticks = [];
    for (let n = Math.ceil(min / spacing - 1e-9); n * spacing <= max + spacing * 1e-9; ++n)
      ticks.push({ v: n * spacing, label: (n * spacing).toFixed(decimals) });
    return ticks;
  };
}

// The range of an axis whose values lie closer together than a few steps:
// that many steps around them (from 0 up where they are all 0 or more);
// null lets the chart choose.
function narrowRange(data, columns, decimals) {
  let low = Infinity, high = -Infinity;
  for (const r of data)
    for (const c of columns) {
      const v = r[c];
      if (v !== null && v !== undefined && isFinite(v)) { low = Math.min(low, v); high = Math.max(high, v); }
    }
  const span = kFewSteps * Math.pow(10, -decimals);
  if (!isFinite(low) || high - low >= span) return null;
  let from = (low + high) / 2 - span / 2;
  if (low >= 0 && from < 0) from = 0;
  return [from, from + span];
}

// Shades the times when nothing was recorded: grey where qdxpoll was not
// running, red where the line gave no samples.
function drawGaps(canvas, area, g) {
  canvas.save();
  for (const [from, to, why] of gaps) {
    const x1 = Math.max(area.x, g.toDomXCoord(from)), x2 = Math.min(area.x + area.w, g.toDomXCoord(to));
    canvas.fillStyle = why ? 'rgba(200, 60, 40, 0.15)' : 'rgba(120, 120, 120, 0.18)';
    if (x2 > x1) canvas.fillRect(x1, area.y, Math.max(2, x2 - x1), area.h);
  }
  canvas.restore();
}

// The points of a chart that stopped answering: the time of their last
// good value, while they fail with no answer since.
const kNoAnswer = ['silent', 'no_reply'];
function stoppedAt(i) {
  const l = latest[i] || {};
  return l.good && l.failed && l.failed.time > l.good.time && kNoAnswer.includes(l.failed.cause) ? l.good.time : null;
}

// A red line where a point's answers stopped, named at its top.
function drawStops(columns, canvas, area, g) {
  canvas.save();
  canvas.strokeStyle = '#c0321e';
  canvas.fillStyle = '#c0321e';
  canvas.lineWidth = 1.5;
  canvas.setLineDash([4, 3]);
  canvas.font = '11px system-ui, sans-serif';
  for (const i of columns) {
    const at = stoppedAt(i);
    if (at === null) continue;
    const x = g.toDomXCoord(at);
    if (x < area.x || x > area.x + area.w) continue;
    canvas.beginPath();
    canvas.moveTo(x, area.y);
    canvas.lineTo(x, area.y + area.h);
    canvas.stroke();
    const text = seriesName(setup.points[i]) + ': no answer';
    const width = canvas.measureText(text).width;
    canvas.fillText(text, x - width - 3 < area.x ? x + 3 : x - width - 3, area.y + 12);
  }
  canvas.restore();
}

// Below a chart: each of its points that stopped answering, and when.
function showStops(box, columns) {
  box.textContent = '';
  for (const i of columns) {
    const at = stoppedAt(i);
    if (at === null) continue;
    const p = setup.points[i];
    const note = element('p', 'stopped', pointTitle(p) + ': no answer since ' + stamp(at) + ' (' +
        causeText(latest[i].failed.cause) + '); the red line marks its last good value');
    note.dataset.address = p.address;
    note.dataset.time = at;
    box.appendChild(note);
  }
}

function buildCharts() {
  for (const c of charts) c.graph.destroy();
  charts = [];
  const box = $('charts');
  box.textContent = '';
  groups().forEach((columns) => {
    const points = columns.map((i) => setup.points[i]);
    const div = element('div', 'chart-box');
    div.dataset.points = points.map((p) => p.address).join(',');
    const title = element('div', 'chart-title');
    const csv = element('a', 'csv', 'CSV');
    csv.href = '#';
    csv.title = 'the values of this chart over the range shown';
    title.append(element('span', '', chartTitle(points)), csv);
    div.appendChild(title);
    box.appendChild(div);
    const drawn = columns.filter((i) => hasValue(i));
    // A chart of points that have never given a value would be empty: the
    // page says why instead.
    for (const i of columns.filter((c) => !hasValue(c))) {
      const p = setup.points[i];
      const l = latest[i] || {};
      const why = element('p', 'no-values');
      why.dataset.address = p.address;
      why.textContent = pointTitle(p) + ': no good value' + (range.kind === 'picked' ? ' in this range' : '') + ' — ' +
          (l.failed ? causeText(l.failed.cause) + ' (last at ' + stamp(l.failed.time) + ')' : 'no reading yet');
      if (l.failed) why.title = l.failed.what;
      div.appendChild(why);
    }
    if (drawn.length === 0) return;
    const shown = drawn.map((i) => setup.points[i]);
    const area = element('div', 'chart');
    const legend = element('div', 'legend');
    const axes = axesOf(shown);
    const series = {};
    for (const p of shown) {
      const s = { axis: axes.right.includes(p.engineering_unit) && p.engineering_unit !== axes.left ? 'y2' : 'y' };
      if (p.identifier === 'S1') Object.assign(s, { stepPlot: true, strokePattern: Dygraph.DASHED_LINE });
      series[seriesName(p)] = s;
    }
    const byName = new Map(shown.map((p) => [seriesName(p), p]));
    const onAxis = (axis) => shown.filter((p) => series[seriesName(p)].axis === axis);
    // The axes' titles above the plot, each over its own side: the chart
    // library sets them beside its numbers, on top of them.
    const titles = element('div', 'axis-titles');
    titles.append(element('span', 'axis-title', axes.left ? onAxis('y').map((p) => p.identifier)
        .filter((v, k, a) => a.indexOf(v) === k).join(' / ') + ' (' + axes.left + ')' : ''));
    if (axes.right.length) titles.append(element('span', 'axis-title right', axes.right.filter((u) => u).join(', ')));
    div.append(titles, area, legend);
    const decimals = { y: axisDecimals(onAxis('y')), y2: axisDecimals(onAxis('y2')) };
    const stops = element('div', 'stops');
    div.appendChild(stops);
    const graph = new Dygraph(area, chartData(drawn), {
      labels: ['time'].concat(shown.map(seriesName)),
      labelsDiv: legend,
      legend: 'always',
      series: series,
      drawPoints: true,
      pointSize: 1.5,
      strokeWidth: 1.8,
      connectSeparatedPoints: false,
      underlayCallback: (canvas, a, g) => { drawGaps(canvas, a, g); drawStops(drawn, canvas, a, g); },
      zoomCallback: (from, to) => picked(graph, from, to),
      axes: {
        x: { axisLabelFormatter: axisLabel, valueFormatter: (ms) => stamp(ms), axisLabelWidth: 70 },
        y: { axisLabelWidth: 56, ticker: resolutionTicker(decimals.y),
             valueFormatter: (v, o, name) => formatValue(byName.get(name), v) },
        y2: { axisLabelWidth: 48, independentTicks: true, ticker: resolutionTicker(decimals.y2),
              valueFormatter: (v, o, name) => formatValue(byName.get(name), v) },
      },
    });
    graph.updateOptions(ranges(drawn, shown, series, decimals));
    csv.onclick = () => {
      const r = shownRange();
      const addresses = columns.map((i) => setup.points[i].address);
      csv.href = '/chart.csv?points=' + encodeURIComponent(addresses.join(',')) + '&from=' + Math.floor(r[0]) +
          '&to=' + Math.ceil(r[1]);
      csv.download = 'qdxpoll-' + addresses.join('-') + '-' + fileTime(r[0]) + '-' + fileTime(r[1]) + '.csv';
    };
    charts.push({ graph, columns: drawn, shown, series, decimals, stops });
    showStops(stops, drawn);
  });
  document.body.dataset.charts = charts.length;
  document.body.dataset.grouping = grouping;
}

// Each axis's range where its values lie within a few steps.
function ranges(columns, shown, series, decimals) {
  const data = chartData(columns);
  const on = (axis) => shown.map((p, k) => (series[seriesName(p)].axis === axis ? k + 1 : -1)).filter((k) => k > 0);
  const options = { axes: { y: { valueRange: narrowRange(data, on('y'), decimals.y) } } };
  if (on('y2').length) options.axes.y2 = { valueRange: narrowRange(data, on('y2'), decimals.y2) };
  return options;
}

function chartData(columns) {
  if (rows.length === 0) return [[new Date(), ...columns.map(() => null)]];
  return rows.map((r) => [new Date(r[0])].concat(columns.map((i) => r[i + 1])));
}

// The time range the charts show, for the CSV.
function shownRange() {
  if (range.kind === 'picked') return [range.from, range.to];
  return rows.length ? [rows[0][0], rows[rows.length - 1][0]] : [Date.now(), Date.now()];
}

// Rebuilds the charts when a point gains its first value; else redraws.
let chartedSignature = '';
function redraw() {
  const signature = grouping + ':' + setup.points.map((p, i) => (hasValue(i) ? 1 : 0)).join('');
  if (signature !== chartedSignature) {
    chartedSignature = signature;
    buildCharts();
  } else {
    for (const c of charts) {
      // A live range shows all its rows: a range dragged before is let go.
      c.graph.updateOptions(Object.assign({ file: chartData(c.columns) }, ranges(c.columns, c.shown, c.series, c.decimals),
                                          range.kind === 'picked' ? {} : { dateWindow: null }));
      showStops(c.stops, c.columns);
    }
  }
  document.body.dataset.rows = rows.length;
}

// --- Ranges -------------------------------------------------------------------
// The rows of a range, with an empty row in each gap so that no line is
// drawn across it.
function takeRange(answer) {
  span = answer.span;
  gaps = answer.gaps;
  const merged = answer.rows.slice();
  for (const [from, to] of gaps)
    merged.push([Math.round((from + to) / 2)].concat(setup.points.map(() => null)));
  merged.sort((a, b) => a[0] - b[0]);
  rows = merged;
  showGaps();
  redraw();
}

function showGaps() {
  const list = $('gaps');
  list.textContent = '';
  for (const [from, to, why] of gaps) {
    const seconds = Math.round((to - from) / 1000) + ' s';
    const li = why ? element('li', 'gap line', 'no samples from ' + stamp(from) + ' to ' + stamp(to) + ' (' + seconds +
                                 '): ' + why)
                   : element('li', 'gap', 'not watched from ' + stamp(from) + ' to ' + stamp(to) + ' (' + seconds +
                                 '): qdxpoll was not running');
    li.dataset.from = from;
    li.dataset.to = to;
    list.appendChild(li);
  }
  list.hidden = gaps.length === 0;
  document.body.dataset.gaps = gaps.length;
  document.body.dataset.span = span ? span.join(',') : '';
}

async function askRange(from, to) {
  const number = ++asking;
  let q = '/history?max=' + kMaxFetched;
  if (from !== null) q += '&from=' + Math.floor(from);
  if (to !== null) q += '&to=' + Math.ceil(to);
  try {
    const response = await fetch(q);
    if (!response.ok) throw new Error(await response.text());
    const answer = await response.json();
    if (number === asking) takeRange(answer);
  } catch (err) {
    $('picked').hidden = false;
    $('picked').textContent = 'the history did not come: ' + err.message;
  }
}

function markChoices() {
  for (const b of document.querySelectorAll('[data-range]'))
    b.classList.toggle('on', range.kind === 'all' ? b.dataset.range === 'all'
        : range.kind === 'last' && Number(b.dataset.range) === range.ms);
  for (const b of document.querySelectorAll('[data-group]')) b.classList.toggle('on', b.dataset.group === grouping);
  $('picked').hidden = range.kind !== 'picked';
  if (range.kind === 'picked') $('picked').textContent = stamp(range.from) + ' – ' + stamp(range.to);
  document.body.dataset.range = range.kind === 'last' ? String(range.ms) : range.kind;
}

function chooseRange(choice) {
  range = choice === 'all' ? { kind: 'all' } : { kind: 'last', ms: Number(choice) };
  markChoices();
  const last = span ? span[1] : Date.now();
  askRange(range.kind === 'all' ? null : last - range.ms, null);
}

// A range dragged on a chart: every chart shows it, read again from the
// history at the finer resolution. A double-click (no zoom left) goes back.
function picked(graph, from, to) {
  if (!graph.isZoomed('x')) return chooseRange('600000');
  range = { kind: 'picked', from: from, to: to };
  markChoices();
  askRange(from, to);
}

// A cycle's row, kept when the range shown is live.
function addRow(row) {
  if (range.kind === 'picked') return;
  if (rows.length && row[0] <= rows[rows.length - 1][0]) return;  // had it already
  rows.push(row);
  if (span) span[1] = row[0]; else span = [row[0], row[0]];
  if (range.kind === 'last') {
    let drop = 0;
    while (drop < rows.length && rows[drop][0] < row[0] - range.ms) ++drop;
    if (drop) rows.splice(0, drop);
  }
  if (rows.length > kMaxRows) rows.splice(0, rows.length - kMaxRows);
}

// The gap a cycle opened, grew or closed: drawn at once.
function takeGap(gap) {
  if (!gap || range.kind === 'picked') return;
  const same = gaps.find((g) => g[0] === gap[0] && g[2] === gap[2]);
  if (same) same[1] = gap[1]; else gaps.push(gap);
  showGaps();
}

// --- Failures and statistics ----------------------------------------------
function showStats() {
  const body = $('stats').tBodies[0];
  body.textContent = '';
  for (const s of stats) {
    const tr = document.createElement('tr');
    for (const key of ['address', 'requests', 'attempts', 'good', 'retried', 'no_answer', 'eot', 'nak', 'refused',
                       'late', 'interrupted', 'latency_min_ms', 'latency_avg_ms', 'latency_max_ms', 'missing'])
      cell(tr, s[key] === undefined ? '-' : s[key]);
    cell(tr, s.dead_since ? 'dead since ' + stamp(Date.parse(s.dead_since)) + ' (' + causeText(s.dead_cause) +
                                '), polled every ' + s.polled_every + ' cycles'
                          : 'polled every cycle', 'state');
    body.appendChild(tr);
  }
  const retried = stats.filter((s) => s.retried > 0);
  const total = retried.reduce((n, s) => n + s.retried, 0);
  $('retried').textContent = total === 0 ? 'No good request needed a second attempt.'
      : 'Retried but good: ' + total + ' request' + (total === 1 ? '' : 's') + ' needed more than one attempt (' +
        retried.map((s) => s.address + ' ' + s.retried).join(', ') + ').';
  document.body.dataset.retried = total;
}

// The measured pace next to the configured one, and the port's outages.
function showPace(line) {
  // A pace needs two cycles of this run.
  if (!line || !(line.cycles >= 2) || !(line.cycle_s > 0)) {
    $('pace').textContent = '';
    return;
  }
  let text = 'measured: a cycle every ' + line.cycle_s.toFixed(2) + ' s';
  if (line.outages > 0)
    text += '; port lost ' + line.outages + ' time' + (line.outages === 1 ? '' : 's') + ' (' +
        line.outage_s.toFixed(1) + ' s)' + (line.lost ? ', lost now' : '');
  $('pace').textContent = text;
}

// One row an address and cause: how often, first and last time, and the
// latest failure's words.
function showFailures(failures) {
  const body = $('failures').tBodies[0];
  body.textContent = '';
  // Before the first cycle there is nothing to say: no failure yet is no news.
  $('no-failures').hidden = failures.length > 0 || cyclesIn === 0;
  $('first-cycle').hidden = failures.length > 0 || cyclesIn > 0;
  $('failures').hidden = failures.length === 0;
  for (const f of failures) {
    const tr = document.createElement('tr');
    cell(tr, f.address);
    cell(tr, causeText(f.cause), 'cause');
    cell(tr, f.count, 'count');
    cell(tr, stamp(f.first), 'time');
    cell(tr, stamp(f.last), 'time');
    const what = cell(tr, f.what, 'what');
    if (f.hint) what.appendChild(element('div', 'hint', 'hint: ' + f.hint));
    body.appendChild(tr);
  }
}

// --- Writes ---------------------------------------------------------------------
function setUpWriting() {
  const lacksToken = setup.allow_writes && setup.write_token && !writeToken;
  $('write-readonly').hidden = setup.allow_writes;
  $('write-no-token').hidden = !lacksToken;
  $('write-area').hidden = !setup.allow_writes || lacksToken;
  const select = $('write-address');
  select.textContent = '';
  for (const p of setup.writable) {
    const option = document.createElement('option');
    option.value = p.address;
    option.textContent = pointLabel(p) + (p.engineering_unit ? ' [' + p.engineering_unit + ']' : '');
    select.appendChild(option);
  }
}

function connect() {
  const events = new EventSource('/events');
  const status = $('connection');
  events.addEventListener('hello', (e) => {
    const m = JSON.parse(e.data);
    setup = m.setup;
    latest = m.latest;
    stats = m.stats;
    cyclesIn = m.cycles || 0;
    $('heading').textContent = setup.heading;
    $('zone').textContent = 'times in ' + zone(new Date()) + ', 24 h';
    buildCards();
    chartedSignature = '';
    if (range.kind === 'last' && range.ms === 600000) {
      takeRange(m);
    } else {
      span = m.span;
      if (range.kind === 'picked') askRange(range.from, range.to);
      else chooseRange(range.kind === 'all' ? 'all' : String(range.ms));
    }
    markChoices();
    setUpWriting();
    showLatest();
    showStats();
    showPace(m.line);
    showFailures(m.failures);
    status.textContent = 'live';
    status.className = 'live';
  });
  events.addEventListener('cycle', (e) => {
    const m = JSON.parse(e.data);
    latest = m.latest;
    stats = m.stats;
    ++cyclesIn;
    addRow(m.row);
    takeGap(m.gap);
    redraw();
    showLatest();
    showStats();
    showPace(m.line);
    showFailures(m.failures);
  });
  events.addEventListener('end', () => {
    events.close();
    status.textContent = 'qdxpoll watch has ended';
    status.className = 'lost';
    document.body.dataset.ended = 'yes';
  });
  events.onerror = () => {
    if (events.readyState === EventSource.CLOSED) return;
    status.textContent = 'no connection to qdxpoll watch: trying again';
    status.className = 'lost';
  };
}

for (const b of document.querySelectorAll('[data-range]'))
  b.addEventListener('click', () => { if (setup) chooseRange(b.dataset.range); });
for (const b of document.querySelectorAll('[data-group]'))
  b.addEventListener('click', () => {
    grouping = b.dataset.group;
    markChoices();
    if (setup) redraw();
  });
setInterval(() => { if (setup) showLatest(); }, 1000);

let asked = null;
$('write-form').addEventListener('submit', (e) => {
  e.preventDefault();
  const p = setup.writable.find((w) => w.address === $('write-address').value);
  if (!p) return;
  asked = { address: p.address, value: $('write-value').value.trim(), verify: $('write-verify').checked };
  $('write-question').textContent = 'Write ' + p.identifier + ' := ' + asked.value +
      (p.engineering_unit ? ' ' + p.engineering_unit : '') + ' to unit ' + pad(p.unit) + ' channel ' + p.channel +
      (meaning(p) ? ' (' + meaning(p) + ')' : '') + '? This changes the controller.';
  $('write-confirm').hidden = false;
  $('write-result').textContent = '';
});
$('write-no').addEventListener('click', () => { $('write-confirm').hidden = true; asked = null; });
$('write-yes').addEventListener('click', async () => {
  $('write-confirm').hidden = true;
  if (!asked) return;
  const sent = asked;
  asked = null;
  const result = $('write-result');
  result.className = '';
  result.textContent = 'writing ' + sent.address + ' := ' + sent.value + ' …';
  let answer;
  try {
    const headers = { 'Content-Type': 'application/json' };
    if (writeToken) headers['X-Write-Token'] = writeToken;
    const response = await fetch('/write', { method: 'POST', headers: headers, body: JSON.stringify(sent) });
    answer = await response.json();
  } catch (err) {
    answer = { ok: false, error: 'no answer from qdxpoll watch: ' + err };
  }
  if (answer.ok) {
    result.className = 'ok';
    result.textContent = sent.address + ' := ' + answer.text + (answer.status === 'verified'
        ? ': written and read back' : ': written') + ' (' + answer.latency_ms + ' ms)';
  } else {
    result.className = 'failed';
    result.textContent = sent.address + ' := ' + sent.value + ': ' + (answer.error || answer.status) +
        (answer.hint ? ' (hint: ' + answer.hint + ')' : '');
  }
  document.body.dataset.writeStatus = answer.status || 'invalid';
});

connect();
