// The packages table: one row per installed package, from the manifests (list.cgi) and
// what each is doing (status.cgi), refreshed in place every two seconds.
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
let packages = new Map(); // name -> { manifest, storage, status }
let statusAvailable = true;
let configurations = null; // read from VAPIX only while status.cgi is missing
const listeners = [];

export const onPackagesChanged = (listener) => listeners.push(listener);
export const packageInfo = (name) => packages.get(name);

// The page of a package: its ui_link relative to its html/ directory, else index.html.
export function packagePageUrl(name) {
  const link = packages.get(name)?.manifest?.ui_link;
  if (typeof link === 'string' && /^(https?:)?\/\//.test(link)) return link;
  const base = `api/package/${encodeURIComponent(name)}/`;
  return base + (typeof link === 'string' && link !== '' ? link.replace(/^\/+/, '') : 'index.html');
}

function describeExit(exit) {
  if (!exit) return '—';
  const what = exit.signal ? exit.signal : `code ${exit.code}`;
  return exit.at ? `${what} at ${formatTime(exit.at)}` : what;
}

function buildRow(name) {
  const cell = (label, ...content) => el('td', { 'data-label': label }, ...content);
  const menuName = el('span', { class: 'menu-name' });
  const plainName = el('span', { class: 'name' }, name);
  const badge = el('span', { class: 'badge' });
  const reason = el('span', { class: 'reason' });
  const toggle = el('input', { type: 'checkbox', role: 'switch', 'aria-label': `Enabled: ${name}` });
  const toggleNote = el('span', { class: 'message', 'aria-live': 'polite' });
  const open = el('a', { class: 'button', target: '_blank', rel: 'noopener', 'aria-label': `Open the page of ${name}` }, 'Open page');
  const manage = el('button', {
    type: 'button',
    'aria-label': `Manage ${name}`,
    onclick: () => document.dispatchEvent(new CustomEvent('manage-package', { detail: name })),
  }, 'Manage');
  const cells = {
    menuName, badge, reason,
    version: el('span'), vendor: el('span'), storage: el('span'), uptime: el('span'),
    restarts: el('span'), lastExit: el('span'), memory: el('span'), cpu: el('span'),
  };
  const row = el('tr', { 'data-name': name },
    el('th', { scope: 'row', 'data-label': 'Package' }, menuName, el('br'), plainName),
    cell('Version', cells.version), cell('Vendor', cells.vendor), cell('Storage', cells.storage),
    cell('State', badge, ' ', reason), cell('Uptime', cells.uptime), cell('Restarts', cells.restarts),
    cell('Last exit', cells.lastExit), cell('Memory', cells.memory), cell('CPU', cells.cpu),
    cell('Enabled', el('label', { class: 'switch' }, toggle, el('span', { 'aria-hidden': 'true' }, 'enabled')), ' ', toggleNote),
    cell('Actions', open, ' ', manage));
  const entry = { row, cells, toggle, toggleNote, open, pending: null };
  toggle.addEventListener('change', () => changeEnabled(name, entry));
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

function updateRow(entry, name, info) {
  const { cells } = entry;
  const manifest = info.manifest || {};
  const status = info.status;
  setText(cells.menuName, manifest.package_menu_name || '(no readable manifest)');
  setText(cells.version, manifest.package_version || '—');
  setText(cells.vendor, manifest.vendor || '—');
  setText(cells.storage, (status?.storage || info.storage) === 'SD_DISK' ? 'SD card' : 'Flash');
  entry.open.href = packagePageUrl(name);

  let state = 'unknown';
  let reasonText = statusAvailable ? '' : 'state not reported by this Orvane';
  if (status) {
    state = status.state;
    reasonText = status.reason || (status.pid ? `pid ${status.pid}` : '');
    if (status.state === 'crash_loop' && Number.isFinite(status.next_start_in_s)) {
      reasonText += `${reasonText ? '; ' : ''}next start in ${status.next_start_in_s} s`;
    }
  }
  setText(cells.badge, stateWords[state] || state);
  const badgeClass = `badge state-${state}`;
  if (cells.badge.className !== badgeClass) cells.badge.className = badgeClass;
  setText(cells.reason, reasonText);
  setText(cells.uptime, status?.uptime_s != null ? formatDuration(status.uptime_s) : '—');
  setText(cells.restarts, status ? status.restarts : '—');
  setText(cells.lastExit, status ? describeExit(status.last_exit) : '—');
  setText(cells.memory, status?.rss_kib != null ? formatBytes(status.rss_kib * 1024) : '—');
  setText(cells.cpu, status?.cpu_ms != null ? `${(status.cpu_ms / 1000).toFixed(2)} s` : '—');

  const enabled = status ? status.enabled : Boolean(configurations?.[name]?.enabled);
  if (entry.pending !== null && entry.pending === enabled) entry.pending = null;
  if (entry.pending === null && !entry.toggle.disabled) entry.toggle.checked = enabled;
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

export async function refreshPackages() {
  const note = document.getElementById('packages-refresh');
  try {
    const [list, status] = await Promise.all([getJson('api/package/list.cgi'), readStatus()]);
    if (!Array.isArray(list)) throw new ApiError(200, 'list.cgi did not answer a list');
    const statusByName = new Map((status?.packages || []).map((item) => [item.name, item]));
    const next = new Map();
    for (const item of list) {
      const name = item?.manifest?.package_name;
      if (typeof name !== 'string') continue;
      next.set(name, { manifest: item.manifest, storage: item.storage, status: statusByName.get(name) });
    }
    for (const [name, item] of statusByName) {
      if (!next.has(name)) next.set(name, { manifest: null, storage: item.storage, status: item });
    }
    packages = next;
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
