// The packages table: one row per installed package, from the manifests (list.cgi) and
// what each is doing (status.cgi), refreshed in place every two seconds. The row keeps to
// what decides what to do (name, state, the switch, the actions); everything else is one
// line under the name and the state, and whole in the detail view.
import { ApiError, getJson, setPackageEnabled, readPackageConfigurations } from './api.js';
import { el, setText, formatBytes, formatDuration, formatTime, reportError, say } from './ui.js';

const refreshMs = 2000;
const stateWords = {
  running: 'running',
  stopped: 'stopped',
  restarting: 'restarting',
  crash_loop: 'crash loop',
  cannot_start: 'cannot start',
};

const rows = new Map(); // name -> { row, cells, toggle, pending }
let packages = new Map(); // name -> { manifest, storage, status, error }
let statusAvailable = true;
let configurations = null; // read from VAPIX only while status.cgi is missing
const listeners = [];
// name -> { key, hasPage } for packages without a ui_link: whether their html/ has the page.
const pageChecks = new Map();

export const onPackagesChanged = (listener) => listeners.push(listener);
export const packageInfo = (name) => packages.get(name);
export const packageNames = () => new Set(packages.keys());

// Whether Orvane runs the package: its own view when status.cgi answers, else the camera's
// parameter as last read.
export function isEnabled(name) {
  const info = packages.get(name);
  if (info?.status && typeof info.status.enabled === 'boolean') return info.status.enabled;
  return Boolean(configurations?.[name]?.enabled);
}

// The page of a package: its ui_link relative to its html/ directory, else index.html.
export function packagePageUrl(name) {
  const link = packages.get(name)?.manifest?.ui_link;
  if (typeof link === 'string' && /^(https?:)?\/\//.test(link)) return link;
  const base = `api/package/${encodeURIComponent(name)}/`;
  return base + (typeof link === 'string' && link !== '' ? link.replace(/^\/+/, '') : 'index.html');
}

// True when the package has a page to open: its manifest names one (ui_link), or its html/
// directory serves index.html. list.cgi does not say whether html/ exists, so that is asked
// once per installed version, with a HEAD request for the very URL "Open page" would open.
export function hasPage(name) {
  const manifest = packages.get(name)?.manifest;
  if (typeof manifest?.ui_link === 'string' && manifest.ui_link.trim() !== '') return true;
  return pageChecks.get(name)?.hasPage === true;
}

function checkPage(name, info) {
  const manifest = info.manifest;
  if (!manifest || (typeof manifest.ui_link === 'string' && manifest.ui_link.trim() !== '')) return;
  const key = `${info.storage}|${manifest.package_version}`;
  const known = pageChecks.get(name);
  if (known?.key === key) return;
  // What was known stays shown until the answer comes.
  const check = { key, hasPage: known?.hasPage === true };
  pageChecks.set(name, check);
  fetch(packagePageUrl(name), { method: 'HEAD', cache: 'no-store' })
    .then((response) => {
      check.hasPage = response.ok;
      if (pageChecks.get(name) === check) render();
    })
    .catch(() => {
      // Asked again with the next refresh.
      if (pageChecks.get(name) === check) pageChecks.delete(name);
    });
}

// After an install the same version may come with or without its page.
export function recheckPages() {
  for (const check of pageChecks.values()) check.key = '';
}

function describeExit(exit) {
  if (!exit) return '';
  const what = exit.signal ? exit.signal : `code ${exit.code}`;
  const cause = typeof exit.cause === 'string' && exit.cause ? ` (${exit.cause})` : '';
  return exit.at ? `${what}${cause} at ${formatTime(exit.at)}` : `${what}${cause}`;
}

export const describeLastExit = (exit) => describeExit(exit) || '—';

export function describeMemory(status) {
  const limit = Number.isFinite(status?.memory_limit_mib) ? `${status.memory_limit_mib} MiB` : null;
  const used = Number.isFinite(status?.rss_kib) ? formatBytes(status.rss_kib * 1024) : null;
  if (used && limit) return `${used} of ${limit}`;
  if (used) return used;
  return limit ? `limit ${limit}` : '—';
}

// The figures that fold under the state: uptime, restarts, last exit, memory, CPU.
function rowFacts(status) {
  if (!status) return '';
  const facts = [];
  if (Number.isFinite(status.uptime_s)) facts.push(`up ${formatDuration(status.uptime_s)}`);
  if (status.restarts > 0) facts.push(`${status.restarts} restart${status.restarts === 1 ? '' : 's'}`);
  if (status.last_exit) facts.push(`last exit ${describeExit(status.last_exit)}`);
  const memory = describeMemory(status);
  if (memory !== '—') facts.push(memory);
  if (Number.isFinite(status.cpu_ms)) facts.push(`CPU ${(status.cpu_ms / 1000).toFixed(2)} s`);
  return facts.join(' · ');
}

// A new version on probation, or the earlier version put back after it failed.
function describeUpgrade(status) {
  const rollback = status?.rollback;
  if (rollback && typeof rollback === 'object') {
    const data = rollback.data === 'restored' ? 'its data as before restored' : 'the current data kept';
    return `Rolled back to ${rollback.to}: version ${rollback.from} failed (${rollback.reason}); ${data}.`;
  }
  if (Number.isFinite(status?.probation_until)) {
    return status.rollback_available === false
      ? `New version on probation until ${formatTime(status.probation_until)}; no earlier version kept to go back to.`
      : `New version on probation until ${formatTime(status.probation_until)}; the earlier version comes back should it fail.`;
  }
  return '';
}

function buildRow(name) {
  const cell = (label, ...content) => el('td', { 'data-label': label }, ...content);
  const menuName = el('span', { class: 'menu-name' });
  const plainName = el('span', { class: 'name' }, name);
  const meta = el('span', { class: 'meta' });
  const hint = el('span', { class: 'hint not-enabled', hidden: true },
    'Installed, not enabled: turn the switch On to start it.');
  const problem = el('span', { class: 'problem', role: 'note' });
  const badge = el('span', { class: 'badge' });
  const reason = el('span', { class: 'reason' });
  const facts = el('span', { class: 'row-facts' });
  const upgrade = el('span', { class: 'upgrade', role: 'note' });
  const toggle = el('input', { type: 'checkbox', role: 'switch', 'aria-label': `Enabled: ${name}`,
    'aria-describedby': `switch-help-${name}` });
  const toggleWord = el('span', { class: 'switch-word', 'aria-hidden': 'true' }, 'Off');
  const toggleNote = el('span', { class: 'message', 'aria-live': 'polite' });
  const open = el('a', { class: 'button', target: '_blank', rel: 'noopener', 'aria-label': `Open the page of ${name}` }, 'Open page');
  const manage = el('button', {
    type: 'button',
    'aria-label': `Manage ${name}`,
    onclick: () => document.dispatchEvent(new CustomEvent('manage-package', { detail: name })),
  }, 'Manage');
  const cells = { menuName, meta, hint, problem, badge, reason, facts, upgrade };
  const row = el('tr', { 'data-name': name },
    el('th', { scope: 'row', 'data-label': 'Package' }, menuName, ' ', plainName, meta, problem, hint),
    cell('State', badge, ' ', reason, facts, upgrade),
    cell('Enabled',
      el('label', { class: 'switch' }, toggle, toggleWord),
      el('span', { class: 'switch-help', id: `switch-help-${name}` }, 'Start at boot and keep running'),
      toggleNote),
    cell('Actions', open, ' ', manage));
  const entry = { row, cells, toggle, toggleWord, toggleNote, open, pending: null };
  toggle.addEventListener('change', () => {
    setText(toggleWord, toggle.checked ? 'On' : 'Off');
    changeEnabled(name, entry);
  });
  return entry;
}

async function changeEnabled(name, entry) {
  const wanted = entry.toggle.checked;
  entry.pending = wanted;
  entry.toggle.disabled = true;
  say(entry.toggleNote, wanted ? 'enabling…' : 'disabling…');
  try {
    await setPackageEnabled(name, wanted);
    if (!statusAvailable) configurations = await readPackageConfigurations();
    say(entry.toggleNote, '');
  } catch (error) {
    entry.pending = null;
    entry.toggle.checked = !wanted;
    say(entry.toggleNote, `not changed: ${error.message}`, 'error');
  } finally {
    entry.toggle.disabled = false;
  }
  // The row follows Orvane's own view once it has taken the change in (status.cgi).
  if (!statusAvailable) entry.pending = null;
  render();
}

// Enables NAME as its switch does, and shows the switch's way there.
export async function enablePackage(name) {
  const entry = rows.get(name);
  if (entry) {
    entry.toggle.checked = true;
    setText(entry.toggleWord, 'On');
    await changeEnabled(name, entry);
    if (!entry.toggle.checked) throw new Error(entry.toggleNote.textContent || 'not changed');
    return;
  }
  await setPackageEnabled(name, true);
}

function updateRow(entry, name, info) {
  const { cells } = entry;
  const manifest = info.manifest || {};
  const status = info.status;
  const error = info.error || status?.error;
  setText(cells.menuName, manifest.package_menu_name || (error ? 'Broken package' : '(no readable manifest)'));
  const storage = (status?.storage || info.storage) === 'SD_DISK' ? 'SD card' : 'Flash';
  setText(cells.meta, [manifest.package_version, manifest.vendor, storage].filter(Boolean).join(' · '));
  setText(cells.problem, typeof error === 'string' && error ? `Cannot be used: ${error}` : '');
  cells.problem.hidden = !cells.problem.textContent;

  const pageOffered = hasPage(name);
  entry.open.hidden = !pageOffered;
  if (pageOffered) entry.open.href = packagePageUrl(name);
  else entry.open.removeAttribute('href');

  let state = 'unknown';
  let reasonText = statusAvailable ? '' : 'state not reported by this Orvane';
  if (status) {
    state = status.state || 'unknown';
    reasonText = status.reason || (status.pid ? `pid ${status.pid}` : '');
    if (status.state === 'crash_loop' && Number.isFinite(status.next_start_in_s)) {
      reasonText += `${reasonText ? '; ' : ''}next start in ${status.next_start_in_s} s`;
    }
  }
  setText(cells.badge, stateWords[state] || state);
  const badgeClass = `badge state-${state}`;
  if (cells.badge.className !== badgeClass) cells.badge.className = badgeClass;
  setText(cells.reason, reasonText);
  setText(cells.facts, rowFacts(status));
  setText(cells.upgrade, describeUpgrade(status));
  cells.upgrade.hidden = !cells.upgrade.textContent;

  const enabled = isEnabled(name);
  if (entry.pending !== null && entry.pending === enabled) entry.pending = null;
  if (entry.pending === null && !entry.toggle.disabled) entry.toggle.checked = enabled;
  setText(entry.toggleWord, entry.toggle.checked ? 'On' : 'Off');
  cells.hint.hidden = enabled || entry.pending === true || Boolean(error) || (!status && !configurations);
  entry.row.dataset.state = state;
  entry.row.dataset.pid = status?.pid ?? '';
}

function render() {
  const body = document.querySelector('#packages tbody');
  let previous = null;
  for (const [name, info] of packages) {
    let entry = rows.get(name);
    if (!entry) {
      entry = buildRow(name);
      rows.set(name, entry);
    }
    updateRow(entry, name, info);
    const wantedPlace = previous ? previous.nextSibling : body.firstChild;
    if (entry.row !== wantedPlace) body.insertBefore(entry.row, wantedPlace);
    previous = entry.row;
  }
  for (const [name, entry] of rows) {
    if (!packages.has(name)) {
      entry.row.remove();
      rows.delete(name);
      pageChecks.delete(name);
    }
  }
  document.getElementById('packages-empty').hidden = packages.size !== 0;
}

// Without status.cgi (an older Orvane, or a failure) the table keeps showing the
// manifests, says why the states are missing, and takes the enabled flags from the camera.
async function readStatus() {
  const note = document.getElementById('packages-note');
  try {
    const status = await getJson('api/package/status.cgi');
    if (!statusAvailable) say(note, '');
    statusAvailable = true;
    configurations = null;
    return status;
  } catch (error) {
    say(note, `What the packages are doing is not known (states, uptime, restarts, memory, CPU): ${error.message}`, 'error');
    if (statusAvailable || configurations === null) {
      statusAvailable = false;
      try {
        configurations = await readPackageConfigurations();
      } catch (configurationError) {
        say(note, `${note.textContent}; nor whether they are enabled: ${configurationError.message}`, 'error');
      }
    }
    return null;
  }
}

// The name of a list entry: its manifest's, or for a directory whose manifest is broken,
// the directory's (the entry then carries an "error" and no manifest).
function entryName(item) {
  const fromManifest = item?.manifest?.package_name;
  if (typeof fromManifest === 'string' && fromManifest) return fromManifest;
  for (const key of ['name', 'package_name', 'directory']) {
    if (typeof item?.[key] === 'string' && item[key]) return item[key];
  }
  return null;
}

export async function refreshPackages() {
  const note = document.getElementById('packages-refresh');
  try {
    const [list, status] = await Promise.all([getJson('api/package/list.cgi'), readStatus()]);
    if (!Array.isArray(list)) throw new ApiError(200, 'list.cgi did not answer a list');
    const statusByName = new Map((status?.packages || []).map((item) => [item.name, item]));
    const next = new Map();
    for (const item of list) {
      const name = entryName(item);
      if (name === null) continue;
      const manifest = item.manifest && typeof item.manifest === 'object' ? item.manifest : null;
      next.set(name, { manifest, storage: item.storage, status: statusByName.get(name),
        error: typeof item.error === 'string' ? item.error : null });
    }
    for (const [name, item] of statusByName) {
      if (!next.has(name)) next.set(name, { manifest: null, storage: item.storage, status: item, error: item.error || null });
    }
    packages = next;
    for (const [name, info] of packages) checkPage(name, info);
    render();
    setText(note, `Updated ${formatTime(Date.now())}`);
    note.className = 'message';
    document.getElementById('packages').dataset.loaded = 'true';
    for (const listener of listeners) listener(packages);
  } catch (error) {
    // The rows stay as last seen; the note says they are out of date and why.
    say(note, `Not updated since the last success: ${error.message}`, 'error');
  }
}

export function startPackages() {
  const loop = async () => {
    await refreshPackages().catch((error) => reportError('Packages', error));
    setTimeout(loop, refreshMs);
  };
  loop();
}
