// The farm monitor's page: reads the job once (api/job), then follows its changes on the event
// stream (api/events). Plain JavaScript, no build step; docs/monitor.md describes the API it uses.
'use strict';

const LARGE_GRID_FRAMES = 300;  // up to this many frames, cells are large enough for thumbnails
const BLOCK_CELLS = 500;        // cells per block the browser may skip while out of view
const LOG_TAIL_BYTES = 262144;  // the details show the end of a log; the link opens all of it
const NOTES_KEPT = 200;

const query = new URLSearchParams(location.search);
const token = query.get('token');
const jobNumber = query.get('job') || '1';

const state = {
  frames: [],        // entries of api/job, by index
  cells: [],         // the grid's cells, by index
  nodes: new Map(),  // node number -> row element
  summary: null,
  summaryAt: 0,      // performance.now() when the summary arrived
  selected: null,    // index of the frame shown in the details
  events: null,
};

const $ = (id) => document.getElementById(id);

function api(path, extra = {}) {
  const params = new URLSearchParams({job: jobNumber, ...extra});
  if (token) params.set('token', token);
  return `${path}?${params}`;
}

function duration(seconds) {
  if (seconds == null || !isFinite(seconds)) return '–';
  const total = Math.max(0, Math.round(seconds));
  const h = Math.floor(total / 3600), m = Math.floor(total / 60) % 60, s = total % 60;
  const two = (n) => String(n).padStart(2, '0');
  return h > 0 ? `${h}:${two(m)}:${two(s)}` : `${m}:${two(s)}`;
}

function bytes(size) {
  if (size >= 10 * 1048576) return `${Math.round(size / 1048576)} MB`;
  if (size >= 10 * 1024) return `${Math.round(size / 1024)} KB`;
  return `${size} B`;
}

function clock(time) {
  return time > 0 ? new Date(time * 1000).toLocaleTimeString() : '–';
}

function element(tag, properties = {}, children = []) {
  const made = document.createElement(tag);
  Object.assign(made, properties);
  for (const child of children) made.append(child);
  return made;
}

function setConnection(kind, text) {
  $('connection').dataset.connection = kind;
  $('connection').textContent = text;
}

// ---- totals

function showSummary(summary) {
  state.summary = summary;
  state.summaryAt = performance.now();
  const totals = summary.totals;
  $('total-done').textContent = `${totals.done} / ${totals.frames}`;
  $('total-failed').textContent = totals.failed;
  $('total-left').textContent = totals.left;
  $('total-not-rendered').textContent = totals.not_rendered;
  $('total-tries').textContent = totals.tries;
  $('total-starts').textContent = totals.node_starts;
  const share = (n) => totals.frames > 0 ? `${(100 * n) / totals.frames}%` : '0';
  document.querySelector('.bar-done').style.width = share(totals.done);
  document.querySelector('.bar-failed').style.width = share(totals.failed);
  const ended = summary.end_time > 0 ? `, ended ${clock(summary.end_time)}` : '';
  $('job-state').textContent = summary.running
    ? `Rendering since ${clock(summary.start_time)}; ${totals.rendering} frame(s) on nodes now.`
    : `Finished${ended}: ${totals.done} done, ${totals.failed} failed, ${totals.not_rendered} not rendered.`;
  tickClock();
}

// Elapsed time and the estimate move on between events.
function tickClock() {
  const summary = state.summary;
  if (!summary) return;
  const since = summary.running ? (performance.now() - state.summaryAt) / 1000 : 0;
  $('total-elapsed').textContent = duration(summary.elapsed_seconds + since);
  $('total-estimate').textContent =
    summary.running && summary.estimate_seconds != null ? `~${duration(summary.estimate_seconds - since)}` : '–';
}

// ---- nodes

function showNode(node) {
  let row = state.nodes.get(node.node);
  if (!row) {
    row = element('tr');
    row.dataset.node = node.node;
    for (let i = 0; i < 7; ++i) row.append(element('td'));
    const progress = element('div', {className: 'progress'}, [
      element('div', {className: 'fill'}), element('span', {className: 'percent'}), element('span', {className: 'title'})]);
    row.cells[3].append(progress);
    row.cells[2].className = 'link';
    row.cells[2].addEventListener('click', () => {
      const frame = Number(row.cells[2].textContent);
      const index = state.frames.findIndex((entry) => entry.frame === frame && entry.status === 'rendering');
      if (index >= 0) select(index);
    });
    const body = document.querySelector('#nodes tbody');
    const after = [...body.rows].find((other) => Number(other.dataset.node) > node.node);
    body.insertBefore(row, after || null);
    state.nodes.set(node.node, row);
    $('no-nodes').hidden = true;
    $('nodes').hidden = false;
  }
  row.dataset.state = node.state;
  row.cells[0].textContent = node.node;
  row.cells[1].textContent = node.state;
  row.cells[2].textContent = node.frame ?? '';
  const percent = node.progress ?? 0;
  row.querySelector('.fill').style.width = `${Math.min(100, percent)}%`;
  row.querySelector('.percent').textContent = node.frame == null || node.progress == null ? '' : `${node.progress.toFixed(1)}%`;
  row.querySelector('.title').textContent = node.title;
  row.querySelector('.title').title = node.title;
  row.cells[4].textContent = node.frame == null ? '' : node.try;
  row.cells[5].textContent = node.tries;
  row.cells[6].textContent = node.starts;
}

// ---- the grid

function thumbnailUrl(entry) {
  return api(`api/frames/${entry.frame}/thumbnail`, {v: `${entry.tries}-${entry.status}`});
}

function buildGrid(frames) {
  const grid = $('grid');
  grid.replaceChildren();
  grid.classList.toggle('large', frames.length <= LARGE_GRID_FRAMES);
  state.cells = new Array(frames.length);
  for (let start = 0; start < frames.length; start += BLOCK_CELLS) {
    const block = element('div', {className: 'block'});
    for (let i = start; i < Math.min(frames.length, start + BLOCK_CELLS); ++i) {
      const cell = document.createElement('div');
      cell.className = 'cell';
      cell.dataset.index = i;
      state.cells[i] = cell;
      block.append(cell);
      showCell(frames[i]);
    }
    grid.append(block);
  }
  $('frame-count').textContent = `(${frames.length})`;
}

function showCell(entry) {
  const cell = state.cells[entry.index];
  if (!cell) return;
  cell.dataset.frame = entry.frame;
  cell.dataset.status = entry.status;
  if (!$('grid').classList.contains('large')) return;
  const wanted = entry.status === 'done' && entry.thumbnail ? thumbnailUrl(entry) : null;
  const image = cell.firstChild;
  if (!wanted) {
    if (image) image.remove();
  } else if (!image || image.dataset.src !== wanted) {
    const img = element('img', {alt: '', loading: 'lazy', src: wanted});
    img.dataset.src = wanted;
    img.addEventListener('error', () => img.remove());
    cell.replaceChildren(img);
  }
}

function cellIndex(target) {
  const cell = target.closest && target.closest('.cell');
  return cell ? Number(cell.dataset.index) : null;
}

function showTip(event) {
  const index = cellIndex(event.target);
  const tip = $('tip');
  if (index == null) {
    tip.hidden = true;
    return;
  }
  const entry = state.frames[index];
  const text = `frame ${entry.frame}: ${entry.status}${entry.tries ? `, ${entry.tries} tr${entry.tries === 1 ? 'y' : 'ies'}` : ''}`;
  if (tip.dataset.index !== String(index) || tip.dataset.text !== text) {
    tip.dataset.index = index;
    tip.dataset.text = text;
    tip.replaceChildren(text);
    if (entry.status === 'done' && entry.thumbnail && !$('grid').classList.contains('large')) {
      const img = element('img', {alt: '', src: thumbnailUrl(entry)});
      img.addEventListener('error', () => img.remove());
      tip.append(img);
    }
  }
  tip.style.left = `${Math.min(event.clientX + 14, innerWidth - 190)}px`;
  tip.style.top = `${event.clientY + 14}px`;
  tip.hidden = false;
}

// ---- the details of one frame

function fact(list, name, value) {
  list.append(element('dt', {textContent: name}), element('dd', {textContent: value}));
}

async function fetchText(url) {
  const response = await fetch(url);
  if (!response.ok) throw new Error(`${response.status} ${(await response.text()).trim()}`);
  return response.text();
}

function select(index) {
  if (state.selected != null && state.cells[state.selected]) state.cells[state.selected].classList.remove('selected');
  state.selected = index;
  state.cells[index].classList.add('selected');
  showDetails(true);
}

function showDetails(fresh) {
  const entry = state.frames[state.selected];
  const details = $('details');
  details.hidden = false;
  $('details-frame').textContent = entry.frame;
  const facts = $('details-facts');
  facts.replaceChildren();
  fact(facts, 'status', entry.status);
  fact(facts, 'tries', entry.tries);
  fact(facts, 'node', entry.node || '–');
  fact(facts, 'render time', entry.tries ? `${entry.render_seconds.toFixed(2)} s` : '–');

  const thumbnail = $('details-thumbnail');
  thumbnail.hidden = !(entry.status === 'done' && entry.thumbnail);
  if (!thumbnail.hidden) thumbnail.src = thumbnailUrl(entry);
  thumbnail.onerror = () => { thumbnail.hidden = true; };

  $('details-problem-box').hidden = !entry.problem;
  $('details-problem').textContent = entry.problem;

  $('details-outputs-box').hidden = entry.outputs.length === 0;
  $('details-outputs').replaceChildren(...entry.outputs.map((output, i) => element('li', {}, [
    element('a', {href: api(`api/frames/${entry.frame}/outputs/${i}`), target: '_blank', textContent: output.file}),
    ` (${bytes(output.size)})`])));

  // Tries that crashed alike may have written the same file: it is shown once.
  const crashFiles = entry.crash_reports.map((file, i) => [file, i]).filter(([file], i, all) =>
    all.findIndex(([other]) => other === file) === i);
  $('details-crash-box').hidden = crashFiles.length === 0;
  const crashes = $('details-crashes');
  if (fresh || crashes.childElementCount !== crashFiles.length) {
    crashes.replaceChildren(...crashFiles.map(([file, i]) => {
      const text = element('pre', {textContent: `${file}\n…`});
      fetchText(api(`api/frames/${entry.frame}/crash/${i}`))
        .then((body) => { text.textContent = body; })
        .catch((error) => { text.textContent = `${file}: ${error.message}`; });
      return text;
    }));
  }

  $('details-log-box').hidden = !entry.log;
  $('details-log-link').href = api(`api/frames/${entry.frame}/log`);
  const log = $('details-log');
  if (entry.log && (fresh || log.dataset.version !== `${entry.tries}-${entry.status}`)) {
    log.dataset.version = `${entry.tries}-${entry.status}`;
    fetchText(api(`api/frames/${entry.frame}/log`, {tail: LOG_TAIL_BYTES}))
      .then((body) => { log.textContent = body; log.scrollTop = log.scrollHeight; })
      .catch((error) => { log.textContent = `the log cannot be read: ${error.message}`; });
  }
}

// ---- notes, warnings, Slurm elements

function showNote(note) {
  const list = $('notes');
  const item = element('li', {className: note.problem ? 'problem' : ''}, [
    element('time', {textContent: clock(note.time)}), note.text]);
  list.append(item);
  while (list.childElementCount > NOTES_KEPT) list.firstChild.remove();
  list.scrollTop = list.scrollHeight;
}

function showJob(job) {
  $('job-name').textContent = job.job_file.split('/').pop();
  document.title = `${job.job_file.split('/').pop()} – Paravelle farm monitor`;
  state.frames = job.frames;
  // Read again after missed changes: the cells stay, only their statuses change.
  if (state.cells.length === job.frames.length) {
    for (const entry of job.frames) showCell(entry);
  } else {
    buildGrid(job.frames);
  }
  state.nodes.clear();
  document.querySelector('#nodes tbody').replaceChildren();
  for (const node of job.nodes) showNode(node);
  $('no-nodes').hidden = job.nodes.length > 0;
  $('nodes').hidden = job.nodes.length === 0;
  $('notes').replaceChildren();
  for (const note of job.notes) showNote(note);
  $('warnings').replaceChildren(...job.warnings.map((text) => element('li', {textContent: `warning: ${text}`})));
  $('elements-section').hidden = job.elements.length === 0;
  document.querySelector('#elements tbody').replaceChildren(...job.elements.map((part) => element('tr', {}, [
    element('td', {textContent: part.frames}), element('td', {textContent: part.host || 'missing'}),
    element('td', {textContent: clock(part.start_time)}), element('td', {textContent: clock(part.end_time)}),
    element('td', {textContent: part.report})])));
  showSummary(job);
  if (state.selected != null && state.selected < state.frames.length) showDetails(true);
}

// ---- live

async function load() {
  let job;
  try {
    const response = await fetch(api('api/job'));
    if (!response.ok) throw new Error(`${response.status} ${(await response.text()).trim()}`);
    job = await response.json();
  } catch (error) {
    setConnection('lost', `cannot read the job: ${error.message}`);
    setTimeout(load, 3000);
    return;
  }
  showJob(job);
  follow(job.seq, job.running);
}

function follow(after, running) {
  if (state.events) state.events.close();
  const events = new EventSource(api('api/events', {after}));
  state.events = events;
  setConnection(running ? 'live' : 'finished', running ? 'live' : 'finished');
  events.addEventListener('open', () => {
    const running = state.summary && state.summary.running;
    setConnection(running ? 'live' : 'finished', running ? 'live' : 'finished');
  });
  events.addEventListener('frame', (event) => {
    const entry = JSON.parse(event.data);
    state.frames[entry.index] = entry;
    showCell(entry);
    if (state.selected === entry.index) showDetails(false);
  });
  events.addEventListener('node', (event) => showNode(JSON.parse(event.data)));
  events.addEventListener('note', (event) => showNote(JSON.parse(event.data)));
  events.addEventListener('job', (event) => {
    showSummary(JSON.parse(event.data));
    if (!state.summary.running) setConnection('finished', 'finished');
  });
  // Changes were missed: read the whole job again.
  events.addEventListener('reset', () => load());
  events.addEventListener('error', () => {
    if (state.summary && !state.summary.running) {
      // The farm stops serving when a finished job's time on show is over.
      events.close();
      setConnection('finished', 'finished; the farm no longer serves this page');
    } else {
      setConnection('lost', 'connection lost, trying again (has the farm ended?)');
    }
  });
}

async function listJobs() {
  try {
    const response = await fetch(api('api/jobs'));
    const jobs = await response.json();
    if (jobs.length < 2) return;
    const choice = $('job-choice');
    choice.replaceChildren(...jobs.map((job) => element('option', {
      value: job.job, textContent: `${job.job}: ${job.report || job.job_file}`, selected: String(job.job) === jobNumber})));
    choice.hidden = false;
    choice.addEventListener('change', () => {
      query.set('job', choice.value);
      location.search = query.toString();
    });
  } catch (error) {
    // One job, or none to choose from: nothing to show.
  }
}

document.addEventListener('DOMContentLoaded', () => {
  const grid = $('grid');
  grid.addEventListener('click', (event) => {
    const index = cellIndex(event.target);
    if (index != null) select(index);
  });
  grid.addEventListener('mousemove', showTip);
  grid.addEventListener('mouseleave', () => { $('tip').hidden = true; });
  $('details-close').addEventListener('click', () => {
    $('details').hidden = true;
    if (state.selected != null && state.cells[state.selected]) state.cells[state.selected].classList.remove('selected');
    state.selected = null;
  });
  setInterval(tickClock, 1000);
  listJobs();
  load();
});
