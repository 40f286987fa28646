// The line dashboard's page. Every text from the ledger (serials, hosts, product and field texts come
// from cables and stations) is put into the page as text (textContent), never parsed as markup.
'use strict';

const LIVE_EVERY_MS = 1000;       // short polling: the server shares one answer among all pages
const INTEGRITY_EVERY_MS = 10000;
const COLOURS = ['#1f77b4', '#d62728', '#2ca02c', '#9467bd', '#ff7f0e', '#17becf', '#8c564b', '#e377c2',
                 '#7f7f7f', '#bcbd22'];
const SVG = 'http://www.w3.org/2000/svg';

const state = { live: null, by: 'hourly_station', serial: '' };

function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined && text !== null) e.textContent = String(text);
  if (cls) e.className = cls;
  return e;
}

function svg(tag, attrs) {
  const e = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, String(v));
  return e;
}

function rowsOf(table) {
  return table.rows.map(r => Object.fromEntries(table.columns.map((c, i) => [c, r[i]])));
}

function shown(column, value) {
  if (value === null || value === undefined) return '—';
  if (typeof value === 'number' && /yield/.test(column)) return value.toFixed(1) + ' %';
  return String(value);
}

function csvLink(name) {
  const params = new URLSearchParams({ table: name });
  if (name.startsWith('serial_')) params.set('serial', state.serial);
  const a = el('a', 'CSV');
  a.href = '/api/csv?' + params.toString();
  a.setAttribute('download', name + '.csv');
  return a;
}

function renderTable(name, table) {
  const box = document.querySelector('[data-table="' + name + '"]');
  if (!box || !table) return;
  const head = el('div', null, 'tablehead');
  head.append(el('span', name.replace(/_/g, ' ') + ' (' + table.rows.length + ')', 'muted'), csvLink(name));
  const t = el('table');
  t.id = 'table-' + name;
  const tr = el('tr');
  for (const c of table.columns) tr.append(el('th', c.replace(/_/g, ' ')));
  t.append(tr);
  for (const row of table.rows) {
    const r = el('tr');
    table.columns.forEach((c, i) => {
      const td = el('td', shown(c, row[i]), typeof row[i] === 'number' ? 'num' : '');
      td.dataset.column = c;
      if (c === 'state') td.classList.add('state-' + row[i]);
      r.append(td);
    });
    t.append(r);
  }
  box.replaceChildren(head, t);
}

function renderNow(table) {
  const rows = Object.fromEntries(rowsOf(table).map(r => [r.period, r]));
  const cards = [];
  for (const period of ['hour', 'today', 'yesterday']) {
    const r = rows[period];
    if (!r) continue;
    const card = el('div', null, 'card');
    card.id = 'now-' + period;
    card.append(el('div', period === 'hour' ? 'this hour' : period, 'period'));
    const big = el('div', shown('first_pass_yield', r.first_pass_yield), 'big');
    big.dataset.field = 'first_pass_yield';
    card.append(big, el('div', 'first-pass yield', 'muted'));
    if (period === 'today' && rows.yesterday && r.first_pass_yield !== null && rows.yesterday.first_pass_yield !== null) {
      const d = r.first_pass_yield - rows.yesterday.first_pass_yield;
      card.append(el('div', (d >= 0 ? '+' : '') + d.toFixed(1) + ' points vs yesterday', d >= 0 ? 'delta-up' : 'delta-down'));
    }
    for (const [label, key] of [['final yield', 'final_yield'], ['tested', 'tested'], ['passed', 'passed'],
                                ['programmed', 'programmed'], ['programming failed', 'program_failed']]) {
      const line = el('div');
      const value = el('b', shown(key, r[key]));
      value.dataset.field = key;
      line.append(value, document.createTextNode(' ' + label));
      card.append(line);
    }
    cards.push(card);
  }
  document.getElementById('now-cards').replaceChildren(...cards);
}

function renderChart(tables) {
  const table = tables[state.by];
  const nowRows = Object.fromEntries(rowsOf(tables.now).map(r => [r.period, r]));
  const box = document.getElementById('chart');
  if (!table || !nowRows.hour) return;
  const lastHour = new Date(nowRows.hour.from);
  const hours = [];
  for (let i = 23; i >= 0; --i) hours.push(new Date(lastHour.getTime() - i * 3600e3).toISOString().slice(0, 13));
  const series = new Map();
  for (const r of rowsOf(table)) {
    const key = state.by === 'hourly_station' ? 'station ' + r.station + ' (' + r.host + ')' : String(r.product).slice(0, 12) || '(no image)';
    if (!series.has(key)) series.set(key, new Map());
    const s = series.get(key);
    const h = s.get(r.hour) || { tested: 0, passed: 0 };
    h.tested += r.tested; h.passed += r.passed;
    s.set(r.hour, h);
  }
  const W = 720, H = 220, L = 40, B = 24, T = 8;
  const chart = svg('svg', { viewBox: '0 0 ' + W + ' ' + H, role: 'img' });
  const x = i => L + (W - L - 8) * i / 23;
  const y = v => T + (H - T - B) * (1 - v / 100);
  for (const v of [0, 50, 90, 100]) {
    chart.append(svg('line', { x1: L, x2: W - 8, y1: y(v), y2: y(v), stroke: '#dde' }));
    const t = svg('text', { x: 4, y: y(v) + 4, 'font-size': 11, fill: '#667' });
    t.textContent = v + ' %';
    chart.append(t);
  }
  hours.forEach((h, i) => {
    if (i % 3 !== 0 && i !== 23) return;
    const t = svg('text', { x: i === 23 ? x(i) : x(i) - 12, y: H - 6, 'font-size': 11, fill: '#667',
                            'text-anchor': i === 23 ? 'end' : 'start' });
    t.textContent = h.slice(11, 13) + ':00';
    chart.append(t);
  });
  const legend = el('div', null, 'legend');
  let n = 0;
  for (const [key, s] of series) {
    const colour = COLOURS[n++ % COLOURS.length];
    let path = '';
    let joined = false; // an hour without tests breaks the line
    hours.forEach((h, i) => {
      const v = s.get(h);
      if (!v || !v.tested) { joined = false; return; }
      const p = x(i).toFixed(1) + ',' + y(100 * v.passed / v.tested).toFixed(1);
      path += (joined ? ' L' : ' M') + p;
      joined = true;
      const dot = svg('circle', { cx: x(i), cy: y(100 * v.passed / v.tested), r: 3, fill: colour });
      const tip = svg('title');
      tip.textContent = key + ' ' + h + ':00 — ' + v.passed + ' of ' + v.tested + ' passed';
      dot.append(tip);
      chart.append(dot);
    });
    if (path) chart.append(svg('path', { d: path.trim(), fill: 'none', stroke: colour, 'stroke-width': 2 }));
    const item = el('span');
    const sw = el('span', null, 'swatch');
    sw.style.backgroundColor = colour;
    item.append(sw, document.createTextNode(key));
    legend.append(item);
  }
  box.replaceChildren(chart, legend);
}

function renderBars(id, table, label, count) {
  const rows = rowsOf(table);
  const most = Math.max(1, ...rows.map(r => r[count]));
  const bars = rows.slice(0, 12).map(r => {
    const bar = el('div', null, 'bar');
    const fill = el('div', null, 'fill');
    fill.style.width = Math.max(2, 140 * r[count] / most) + 'px';
    bar.append(el('span', label(r), 'label'), fill, el('span', r[count]));
    return bar;
  });
  document.getElementById(id).replaceChildren(...(bars.length ? bars : [el('span', 'no failures', 'muted')]));
}

function renderHeatmap(table) {
  const rows = rowsOf(table);
  const ports = [...new Set(rows.map(r => r.port))].sort((a, b) => a.localeCompare(b, undefined, { numeric: true }));
  const stations = [...new Set(rows.map(r => r.station + '\u0000' + r.host))];
  const t = el('table', null, 'heat');
  t.id = 'heatmap-table';
  const head = el('tr');
  head.append(el('th', 'station'));
  for (const p of ports) head.append(el('th', p));
  t.append(head);
  for (const s of stations) {
    const [station, host] = s.split('\u0000');
    const tr = el('tr');
    tr.append(el('th', station + ' (' + host + ')'));
    for (const p of ports) {
      const r = rows.find(x => String(x.station) === station && x.host === host && x.port === p);
      const td = el('td', r ? shown('yield', r.yield) + ' (' + r.tested + ')' : '');
      if (r && r.yield !== null) td.style.backgroundColor = 'hsl(' + Math.round(1.2 * Math.max(0, r.yield - 50) * 2) + ', 65%, 38%)';
      tr.append(td);
    }
    t.append(tr);
  }
  document.getElementById('heatmap').replaceChildren(rows.length ? t : el('span', 'no tests in the last 24 hours', 'muted'));
}

function problem(text) {
  const p = document.getElementById('problem');
  p.hidden = !text;
  p.textContent = text || '';
}

async function api(path) {
  const res = await fetch(path, { cache: 'no-store' });
  const body = await res.json();
  if (!res.ok) throw new Error(body.error || ('answer ' + res.status));
  return body;
}

function renderLive(live) {
  state.live = live;
  document.getElementById('source').textContent = 'from ' + live.source;
  const t = live.tables;
  renderNow(t.now);
  renderChart(t);
  renderBars('pareto-steps', t.pareto_steps, r => r.kind + ': ' + r.step, 'failures');
  renderBars('pareto-fields', t.pareto_fields, r => r.field, 'failures');
  renderHeatmap(t.ports);
  for (const name of ['now', 'hourly_station', 'hourly_product', 'pareto_steps', 'pareto_fields', 'ports', 'stations'])
    renderTable(name, t[name]);
  document.getElementById('updated').textContent = 'updated ' + new Date().toISOString().slice(11, 19) + ' UTC';
}

async function pollLive() {
  try {
    renderLive(await api('/api/live'));
    problem('');
  } catch (e) {
    problem('The ledger cannot be read now: ' + e.message);
  }
  setTimeout(pollLive, LIVE_EVERY_MS);
}

async function pollIntegrity() {
  try {
    const answer = await api('/api/integrity');
    renderTable('duplicates', answer.tables.duplicates);
    renderTable('void', answer.tables.void);
  } catch (e) {
    problem('The ledger cannot be read now: ' + e.message);
  }
  setTimeout(pollIntegrity, INTEGRITY_EVERY_MS);
}

async function findSerial(event) {
  event.preventDefault();
  const serial = document.getElementById('serial-input').value.trim();
  const said = document.getElementById('serial-said');
  if (!serial) return;
  state.serial = serial;
  try {
    const answer = await api('/api/serial?' + new URLSearchParams({ serial }).toString());
    const n = answer.tables.serial_history.rows.length;
    said.textContent = n ? n + ' record(s) of ' + serial : 'no record of ' + serial + ' on the ledger';
    renderTable('serial_state', answer.tables.serial_state);
    renderTable('serial_history', answer.tables.serial_history);
  } catch (e) {
    said.textContent = 'The search failed: ' + e.message;
  }
}

document.addEventListener('DOMContentLoaded', () => {
  document.getElementById('serial-form').addEventListener('submit', findSerial);
  for (const radio of document.querySelectorAll('input[name="by"]'))
    radio.addEventListener('change', () => { state.by = radio.value; if (state.live) renderChart(state.live.tables); });
  pollLive();
  pollIntegrity();
});
