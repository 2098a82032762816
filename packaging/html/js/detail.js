// One package at a time, opened from its row: live log, settings, data, removal.
import { getJson, request, packagePath, setPackageMemoryLimit } from './api.js';
import { el, setText, formatTime, formatDuration, saveFile, say, reportError } from './ui.js';
import {
  onPackagesChanged, packageInfo, packagePageUrl, refreshPackages, hasPage, describeLastExit, describeMemory,
} from './packages.js';
import { uploadWithProgress } from './install.js';

const logPollMs = 1000;
const logLinesKept = 5000;
const streamWords = { out: 'out', err: 'err', orvane: 'orvane' };

let current = null; // { name, next, lines, timer, paused, reading }
const $ = (id) => document.getElementById(id);

function appendLines(box, lines) {
  const atBottom = box.scrollHeight - box.scrollTop - box.clientHeight < 24;
  const fragment = document.createDocumentFragment();
  for (const line of lines) {
    fragment.append(el('div', { class: `line ${line.stream}` },
      el('span', { class: 'time' }, formatTime(line.time)), ' ',
      el('span', { class: 'stream' }, streamWords[line.stream] || line.stream), ' ',
      el('span', { class: 'text' }, line.text)));
  }
  box.append(fragment);
  while (box.childElementCount > logLinesKept) box.firstElementChild.remove();
  if (atBottom) box.scrollTop = box.scrollHeight;
}

async function pollLog(session) {
  if (session !== current || session.paused) return;
  try {
    const after = session.next === null ? '' : `&after=${session.next}`;
    session.reading = getJson(packagePath('log.cgi', session.name, `${after}&limit=500`));
    const answer = await session.reading;
    if (session !== current) return;
    const lines = Array.isArray(answer.lines) ? answer.lines : [];
    if (answer.dropped > 0) {
      lines.unshift({ time: Date.now(), stream: 'orvane', text: `… ${answer.dropped} lines were dropped before they were read` });
    }
    session.lines.push(...lines);
    if (session.lines.length > logLinesKept) session.lines.splice(0, session.lines.length - logLinesKept);
    appendLines($('log-lines'), lines);
    if (Number.isFinite(answer.next)) session.next = answer.next;
    say($('log-note'), lines.length || session.lines.length ? '' : 'No lines yet.');
  } catch (error) {
    say($('log-note'), `The log cannot be read: ${error.message}`, 'error');
  }
  if (session === current && !session.paused) session.timer = setTimeout(() => pollLog(session), logPollMs);
}

function setPaused(paused) {
  const button = $('log-pause');
  current.paused = paused;
  button.setAttribute('aria-pressed', String(paused));
  setText(button, paused ? 'Resume' : 'Pause');
  clearTimeout(current.timer);
  if (!paused) pollLog(current);
}

function validateSettings() {
  const text = $('settings-text').value;
  try {
    JSON.parse(text);
    say($('settings-note'), 'Valid JSON.', 'info');
    $('settings-save').disabled = false;
    return true;
  } catch (error) {
    say($('settings-note'), `Not valid JSON, not saved: ${error.message}`, 'error');
    $('settings-save').disabled = true;
    return false;
  }
}

async function loadSettings(name) {
  const box = $('settings-text');
  box.disabled = true;
  say($('settings-note'), 'Loading…');
  try {
    const text = await request(packagePath('settings.cgi', name, '&action=get'));
    if (current?.name !== name) return;
    let shown = text;
    try {
      shown = JSON.stringify(JSON.parse(text), null, 2);
    } catch {
      // Orvane stores any body: show what is there and let validation say what is wrong.
    }
    box.value = shown;
    validateSettings();
  } catch (error) {
    say($('settings-note'), `The settings cannot be read: ${error.message}`, 'error');
  } finally {
    box.disabled = false;
  }
}

async function saveSettings() {
  if (!validateSettings() || !current) return;
  const { name } = current;
  $('settings-save').disabled = true;
  try {
    await request(packagePath('settings.cgi', name, '&action=set'), {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: $('settings-text').value,
    });
    say($('settings-note'), 'Saved; a running package was told to read them again.', 'ok');
  } catch (error) {
    say($('settings-note'), `Not saved: ${error.message}`, 'error');
  } finally {
    $('settings-save').disabled = false;
  }
}

const importAdvice = {
  400: 'Nothing was imported.',
  403: 'Orvane takes changes only from its own page: reload this page and try again.',
  404: 'The package is no longer installed.',
  413: 'The upload breaks one of Orvane\'s limits.',
  500: 'A data archive is a zip of the package\'s localdata, as Export data makes it.',
};

// The package's facts that the table folds away, and its memory limit with a way to set it.
function showFacts() {
  if (!current) return;
  const info = packageInfo(current.name);
  if (!info) return;
  const manifest = info.manifest || {};
  const status = info.status;
  const error = info.error || status?.error;
  const facts = [
    ['Version', manifest.package_version || '—'],
    ['Vendor', manifest.vendor || '—'],
    ['Storage', (status?.storage || info.storage) === 'SD_DISK' ? 'SD card' : 'Flash'],
    ['State', status ? `${status.state}${status.reason ? `: ${status.reason}` : ''}` : '—'],
    ['Uptime', Number.isFinite(status?.uptime_s) ? formatDuration(status.uptime_s) : '—'],
    ['Restarts', status ? String(status.restarts ?? '—') : '—'],
    ['Last exit', describeLastExit(status?.last_exit)],
    ['Memory', describeMemory(status)],
    ['CPU', Number.isFinite(status?.cpu_ms) ? `${(status.cpu_ms / 1000).toFixed(2)} s` : '—'],
  ];
  if (typeof status?.containment === 'string' && status.containment) facts.push(['Containment', status.containment]);
  if (typeof error === 'string' && error) facts.unshift(['Problem', error]);
  const list = $('detail-facts');
  const key = JSON.stringify(facts);
  if (list.dataset.key !== key) {
    list.dataset.key = key;
    list.replaceChildren(...facts.flatMap(([term, value]) => [el('dt', {}, term), el('dd', {}, value)]));
  }
  const limit = status && 'memory_limit_mib' in status ? status.memory_limit_mib : undefined;
  setText($('memory-limit-now'), limit === undefined ? 'not reported by this Orvane'
    : Number.isFinite(limit) ? `${limit} MiB` : 'none');
  const input = $('memory-limit');
  if (document.activeElement !== input && !current.limitEdited) input.value = Number.isFinite(limit) ? String(limit) : '';
}

async function saveMemoryLimit() {
  if (!current) return;
  const { name } = current;
  const text = $('memory-limit').value.trim();
  const mib = text === '' ? null : Number(text);
  if (mib !== null && !(Number.isInteger(mib) && mib > 0)) {
    say($('memory-limit-note'), 'A limit is a whole number of MiB above 0; empty for none.', 'error');
    return;
  }
  $('memory-limit-save').disabled = true;
  try {
    await setPackageMemoryLimit(name, mib);
    if (current?.name === name) current.limitEdited = false;
    say($('memory-limit-note'), mib === null ? 'Saved: no limit.' : `Saved: ${mib} MiB, from the next start.`, 'ok');
    await refreshPackages();
  } catch (error) {
    say($('memory-limit-note'), `Not saved: ${error.message}`, 'error');
  } finally {
    $('memory-limit-save').disabled = false;
  }
}

async function importData() {
  const picker = $('data-file');
  const file = picker.files[0];
  if (!current || !file) {
    say($('data-note'), 'Choose a zip file first.', 'error');
    return;
  }
  const list = $('data-list');
  const item = el('li', {}, el('span', { class: 'file' }, file.name), ' ');
  list.replaceChildren(item);
  say($('data-note'), '');
  await uploadWithProgress(packagePath('data.cgi', current.name, '&action=IMPORT'), file, item, importAdvice);
  picker.value = '';
  showChosenFile();
}

function showChosenFile() {
  const file = $('data-file').files[0];
  setText($('data-file-name'), file ? file.name : 'no file chosen');
  $('data-import').disabled = !file;
}

async function removePackage() {
  const dialog = $('remove-dialog');
  const { name } = current;
  const info = packageInfo(name);
  setText($('remove-what'), info?.manifest?.package_menu_name ? `${info.manifest.package_menu_name} (${name})` : name);
  dialog.returnValue = '';
  dialog.showModal();
  const choice = await new Promise((resolve) => dialog.addEventListener('close', () => resolve(dialog.returnValue), { once: true }));
  if (choice !== 'remove' || current?.name !== name) return;
  say($('remove-note'), 'Removing…');
  // No log read may ask for the package while and after it goes.
  const session = current;
  const wasPaused = session.paused;
  session.paused = true;
  clearTimeout(session.timer);
  await session.reading?.catch(() => {});
  try {
    await request(packagePath('remove.cgi', name));
    say($('remove-note'), '');
    closeDetail();
    await refreshPackages();
  } catch (error) {
    say($('remove-note'), `Not removed: ${error.message}`, 'error');
    if (session === current && !wasPaused) setPaused(false);
  }
}

export function openDetail(name) {
  closeDetail();
  current = { name, next: null, lines: [], timer: null, paused: false };
  const info = packageInfo(name);
  setText($('detail-title'), info?.manifest?.package_menu_name ? `${info.manifest.package_menu_name} (${name})` : name);
  $('detail-open').hidden = !hasPage(name);
  $('detail-open').href = packagePageUrl(name);
  $('data-export').href = packagePath('data.cgi', name, '&action=EXPORT');
  $('data-export').setAttribute('download', `${name}-data.zip`);
  $('log-lines').replaceChildren();
  $('data-list').replaceChildren();
  for (const id of ['log-note', 'data-note', 'remove-note', 'memory-limit-note']) say($(id), '');
  $('data-file').value = '';
  showChosenFile();
  $('detail-facts').dataset.key = '';
  showFacts();
  $('log-pause').setAttribute('aria-pressed', 'false');
  setText($('log-pause'), 'Pause');
  $('detail').hidden = false;
  $('detail').dataset.name = name;
  $('detail').scrollIntoView({ block: 'start' });
  pollLog(current);
  loadSettings(name);
}

export function closeDetail() {
  if (current) clearTimeout(current.timer);
  current = null;
  $('detail').hidden = true;
  delete $('detail').dataset.name;
}

export function startDetail() {
  document.addEventListener('manage-package', (event) => openDetail(event.detail));
  $('detail-close').addEventListener('click', closeDetail);
  $('log-pause').addEventListener('click', () => current && setPaused(!current.paused));
  $('log-download').addEventListener('click', () => {
    if (!current) return;
    const text = current.lines.map((l) => `${new Date(l.time).toISOString()} ${l.stream} ${l.text}`).join('\n');
    saveFile(`${current.name}-log.txt`, `${text}\n`);
  });
  $('settings-text').addEventListener('input', validateSettings);
  $('settings-reload').addEventListener('click', () => current && loadSettings(current.name));
  $('settings-form').addEventListener('submit', (event) => {
    event.preventDefault();
    saveSettings().catch((error) => reportError('Settings', error));
  });
  $('data-import').addEventListener('click', () => importData().catch((error) => reportError('Data import', error)));
  $('data-file').addEventListener('change', showChosenFile);
  $('memory-limit').addEventListener('input', () => current && (current.limitEdited = true));
  $('memory-limit-form').addEventListener('submit', (event) => {
    event.preventDefault();
    saveMemoryLimit().catch((error) => reportError('Memory limit', error));
  });
  $('remove-button').addEventListener('click', () => current && removePackage().catch((error) => reportError('Remove', error)));
  // A package removed elsewhere closes its panel rather than polling a missing log.
  onPackagesChanged((packages) => {
    if (current && !packages.has(current.name)) closeDetail();
    if (!current) return;
    $('detail-open').hidden = !hasPage(current.name);
    $('detail-open').href = packagePageUrl(current.name);
    showFacts();
  });
}
