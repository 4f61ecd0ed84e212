// The page of `qdxpoll watch` (served as /watch.js): it hears the readings of
// every poll cycle as server-sent events from /events, draws them with
// dygraphs, and sends the form's writes to /write.
'use strict';
let setup = null;
let rows = [];   // [time ms, value or null for each point]
let charts = []; // {graph, columns}
const kMaxRows = 36000;
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
}
// Local time of day, with the fraction of a second when there is one:
// 14:05:01.25.
function clock(d) {
  const pad = (n, width) => String(n).padStart(width, '0');
  const ms = d.getMilliseconds();
  return pad(d.getHours(), 2) + ':' + pad(d.getMinutes(), 2) + ':' + pad(d.getSeconds(), 2) +
      (ms ? '.' + pad(ms, 3).replace(/0+$/, '') : '');
}
function pointLabel(p) { return p.address + (p.meaning ? ' (' + p.meaning + ')' : ''); }

function buildCharts() {
  for (const c of charts) c.graph.destroy();
  charts = [];
  const box = $('charts');
  box.textContent = '';
  setup.charts.forEach((columns, n) => {
    const points = columns.map((i) => setup.points[i]);
    const div = document.createElement('div');
    div.className = 'chart-box';
    const title = document.createElement('div');
    title.className = 'chart-title';
    const name = document.createElement('span');
    name.textContent = 'Unit ' + String(points[0].unit).padStart(2, '0') + ' channel ' + points[0].channel + ': ' +
        points.map((p) => p.identifier + (p.meaning ? ' ' + p.meaning : '')).join(', ');
    const csv = document.createElement('a');
    csv.textContent = 'CSV of this chart';
    csv.href = '#';
    csv.className = 'csv';
    csv.onclick = () => { csv.href = csvAddress(n); };
    csv.download = 'qdxpoll-watch.csv';
    title.append(name, csv);
    const area = document.createElement('div');
    area.className = 'chart';
    const legend = document.createElement('div');
    legend.className = 'legend';
    div.append(title, area, legend);
    box.appendChild(div);
    const series = {};
    for (const p of points)
      if (p.identifier === 'S1') series[p.address] = { stepPlot: true, strokePattern: Dygraph.DASHED_LINE };
    const graph = new Dygraph(area, chartData(columns), {
      labels: ['time'].concat(points.map((p) => p.address)),
      labelsDiv: legend,
      legend: 'always',
      series: series,
      drawPoints: true,
      pointSize: 1.5,
      strokeWidth: 1.8,
      connectSeparatedPoints: false,
      ylabel: points.length === 1 ? points[0].identifier : points.map((p) => p.identifier).join(' / '),
      axes: { x: { axisLabelFormatter: clock, valueFormatter: (ms) => clock(new Date(ms)), axisLabelWidth: 100 },
              y: { axisLabelWidth: 60 } },
    });
    charts.push({ graph, columns });
  });
}

function chartData(columns) {
  return rows.map((r) => [new Date(r[0])].concat(columns.map((i) => r[i + 1])));
}

function redraw() {
  for (const c of charts) c.graph.updateOptions({ file: chartData(c.columns) });
  document.body.dataset.rows = rows.length;
}

// What a chart shows: its points over the time range in view.
function csvAddress(n) {
  const c = charts[n];
  const range = c.graph.xAxisRange();
  const points = c.columns.map((i) => setup.points[i].address).join(',');
  return '/chart.csv?points=' + encodeURIComponent(points) + '&from=' + Math.floor(range[0]) +
      '&to=' + Math.ceil(range[1]);
}

function showStats(stats) {
  const body = $('stats').tBodies[0];
  body.textContent = '';
  for (const s of stats) {
    const tr = document.createElement('tr');
    for (const key of ['address', 'requests', 'attempts', 'good', 'retried', 'no_answer', 'eot', 'nak', 'refused',
                       'late', 'interrupted', 'latency_min_ms', 'latency_avg_ms', 'latency_max_ms', 'missing'])
      cell(tr, s[key] === undefined ? '-' : s[key]);
    cell(tr, s.dead_since ? 'dead since ' + new Date(s.dead_since).toLocaleTimeString() + ' (' + s.dead_cause +
                                '), polled every ' + s.polled_every + ' cycles'
                          : 'polled every cycle');
    body.appendChild(tr);
  }
}

// The measured pace next to the configured one, and the port's outages.
function showPace(line) {
  if (!line) return;
  let text = 'measured: a cycle every ' + line.cycle_s.toFixed(2) + ' s';
  if (line.outages > 0)
    text += '; port lost ' + line.outages + ' time' + (line.outages === 1 ? '' : 's') + ' (' +
        line.outage_s.toFixed(1) + ' s)' + (line.lost ? ', lost now' : '');
  $('pace').textContent = text;
}

function showFailures(failures) {
  const body = $('failures').tBodies[0];
  body.textContent = '';
  $('no-failures').hidden = failures.length > 0;
  for (const f of failures.slice().reverse()) {
    const tr = document.createElement('tr');
    cell(tr, new Date(f.time).toLocaleTimeString());
    cell(tr, f.address);
    cell(tr, f.cause, 'cause');
    const what = document.createElement('td');
    what.textContent = f.what;
    if (f.hint) {
      const hint = document.createElement('div');
      hint.className = 'hint';
      hint.textContent = 'hint: ' + f.hint;
      what.appendChild(hint);
    }
    tr.appendChild(what);
    body.appendChild(tr);
  }
}

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
    option.textContent = pointLabel(p);
    select.appendChild(option);
  }
}

function connect() {
  const events = new EventSource('/events');
  const status = $('connection');
  events.addEventListener('hello', (e) => {
    const m = JSON.parse(e.data);
    setup = m.setup;
    rows = m.rows;
    $('heading').textContent = setup.heading;
    buildCharts();
    setUpWriting();
    redraw();
    showStats(m.stats);
    showFailures(m.failures);
    status.textContent = 'live';
    status.className = 'live';
  });
  events.addEventListener('cycle', (e) => {
    const m = JSON.parse(e.data);
    rows.push(m.row);
    if (rows.length > kMaxRows) rows.splice(0, rows.length - kMaxRows);
    redraw();
    showStats(m.stats);
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

let asked = null;
$('write-form').addEventListener('submit', (e) => {
  e.preventDefault();
  const p = setup.writable.find((w) => w.address === $('write-address').value);
  if (!p) return;
  asked = { address: p.address, value: $('write-value').value.trim(), verify: $('write-verify').checked };
  $('write-question').textContent = 'Write ' + p.identifier + ' := ' + asked.value + ' to unit ' +
      String(p.unit).padStart(2, '0') + ' channel ' + p.channel + (p.meaning ? ' (' + p.meaning + ')' : '') +
      '? This changes the controller.';
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
