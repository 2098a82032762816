// Small DOM and formatting helpers shared by the page's parts.

// el('button', { class: 'x', onclick: f }, 'text', child...): an element; text is always
// text, never markup, since names and log lines come from packages.
export function el(tag, attributes = {}, ...children) {
  const element = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes)) {
    if (value === undefined || value === null || value === false) continue;
    if (key.startsWith('on')) element.addEventListener(key.slice(2), value);
    else if (key === 'class') element.className = value;
    else element.setAttribute(key, value === true ? '' : String(value));
  }
  for (const child of children) {
    if (child !== undefined && child !== null) element.append(child);
  }
  return element;
}

// Writes only when the text changed, so a refresh every two seconds leaves the DOM (and
// a reader's selection) alone.
export function setText(element, text) {
  const value = String(text);
  if (element.textContent !== value) element.textContent = value;
}

export function formatBytes(bytes) {
  if (!Number.isFinite(bytes)) return '—';
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return `${unit === 0 ? value : value.toFixed(value < 10 ? 2 : 1)} ${units[unit]}`;
}

export function formatDuration(seconds) {
  if (!Number.isFinite(seconds)) return '—';
  const s = Math.max(0, Math.floor(seconds));
  if (s < 60) return `${s} s`;
  if (s < 3600) return `${Math.floor(s / 60)} min ${s % 60} s`;
  if (s < 86400) return `${Math.floor(s / 3600)} h ${Math.floor((s % 3600) / 60)} min`;
  return `${Math.floor(s / 86400)} d ${Math.floor((s % 86400) / 3600)} h`;
}

export function formatTime(unixMs) {
  const date = new Date(unixMs);
  return Number.isNaN(date.getTime()) ? '' : date.toLocaleTimeString([], { hour12: false });
}

// Offers text or a Blob as a file to save.
export function saveFile(fileName, content, type = 'text/plain') {
  const blob = content instanceof Blob ? content : new Blob([content], { type });
  const url = URL.createObjectURL(blob);
  const link = el('a', { href: url, download: fileName });
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
}

// The page's error list: every failure the page cannot show next to its cause lands here,
// and stays until dismissed.
export function reportError(where, error) {
  const list = document.getElementById('errors');
  const text = `${where}: ${error && error.message ? error.message : error}`;
  const same = [...list.children].find((item) => item.dataset.text === text);
  if (same) {
    same.querySelector('.when').textContent = formatTime(Date.now());
    return;
  }
  const item = el('li', { 'data-text': text },
    el('span', { class: 'when' }, formatTime(Date.now())), ' ', text, ' ',
    el('button', { type: 'button', class: 'link', 'aria-label': 'Dismiss this error', onclick: () => item.remove() }, 'Dismiss'));
  list.append(item);
  while (list.children.length > 20) list.firstElementChild.remove();
}

// Shows a message next to a control: kind is 'ok', 'error' or 'info'.
export function say(element, text, kind = 'info') {
  setText(element, text);
  element.className = `message ${kind}`;
}
