// Installing packages: zips dropped on the drop zone or chosen with the picker are
// uploaded one after another, each with its own progress bar and outcome.
import { upload, serverMessage } from './api.js';
import { el, formatBytes, say } from './ui.js';
import { refreshPackages } from './packages.js';

// What the camera owner can do about each answer, with Orvane's own words after it.
const installAdvice = {
  400: 'not installed',
  409: 'already installed on the other storage: remove it there first, or install onto that storage',
  413: 'too large: the upload breaks one of Orvane\'s limits',
  500: 'not installed: not a package Orvane accepts (not a zip archive, manifest.json missing or invalid, '
    + 'a package name with other characters than letters, digits, - and _, a newer Orvane required) '
    + 'or not enough free space',
};

export function describeUploadFailure(status, text, advice = installAdvice) {
  if (status === 0) return `not sent: ${text}`;
  const words = advice[status] || `failed with status ${status}`;
  const message = serverMessage(text);
  return message ? `${words} (Orvane: "${message}")` : words;
}

// Uploads FILE as the one file of a multipart form to PATH, showing bytes, rate and
// outcome in the list item ITEM; resolves true on success.
export async function uploadWithProgress(path, file, item, advice) {
  const bar = el('progress', { max: file.size || 1, value: 0, 'aria-label': `Upload of ${file.name}` });
  const numbers = el('span', { class: 'numbers' }, `0 B of ${formatBytes(file.size)}`);
  const outcome = el('span', { class: 'message', role: 'status' });
  item.append(bar, ' ', numbers, ' ', outcome);
  const started = performance.now();
  const form = new FormData();
  form.append('package', file, file.name);
  const answer = await upload(path, form, (loaded, total) => {
    // The form's framing makes the body a little larger than the file.
    const sent = Math.min(file.size, total ? (loaded * file.size) / total : loaded);
    bar.value = sent;
    const seconds = (performance.now() - started) / 1000;
    const rate = seconds > 0 ? `${formatBytes(sent / seconds)}/s` : '';
    numbers.textContent = `${formatBytes(sent)} of ${formatBytes(file.size)}${rate ? `, ${rate}` : ''}`;
  });
  if (answer.status === 200) {
    bar.value = bar.max;
    say(outcome, 'done', 'ok');
    return true;
  }
  say(outcome, describeUploadFailure(answer.status, answer.text, advice), 'error');
  return false;
}

export function startInstall() {
  const zone = document.getElementById('drop-zone');
  const picker = document.getElementById('install-files');
  const list = document.getElementById('install-list');
  let queue = Promise.resolve();

  const storage = () => document.querySelector('input[name="install-storage"]:checked').value;
  const install = (files) => {
    for (const file of files) {
      const item = el('li', { 'data-file': file.name }, el('span', { class: 'file' }, file.name), ' ');
      list.prepend(item);
      if (!/\.zip$/i.test(file.name)) {
        say(item.appendChild(el('span')), 'not a .zip file: not sent', 'error');
        continue;
      }
      const target = storage();
      queue = queue.then(async () => {
        await uploadWithProgress(`api/package/install.cgi?storage=${target}`, file, item);
        await refreshPackages();
      });
    }
  };

  picker.addEventListener('change', () => {
    install([...picker.files]);
    picker.value = '';
  });
  zone.addEventListener('dragover', (event) => {
    event.preventDefault();
    zone.classList.add('over');
  });
  zone.addEventListener('dragleave', () => zone.classList.remove('over'));
  zone.addEventListener('drop', (event) => {
    event.preventDefault();
    zone.classList.remove('over');
    install([...event.dataTransfer.files]);
  });
}

// SD card choices follow get_storage.cgi: no card (capacity -1) disables them.
export function applyStorage(storages) {
  const sd = storages.find((item) => item.type === 'SD_DISK');
  const noCard = !sd || sd.capacity_mb < 0;
  for (const input of document.querySelectorAll('input[value="SD_DISK"]')) {
    input.disabled = noCard;
    if (noCard && input.checked) {
      input.checked = false;
      const flash = document.querySelector(`input[name="${input.name}"][value="FLASH"]`);
      if (flash) flash.checked = true;
    }
  }
  for (const note of document.querySelectorAll('.no-sd-note')) note.hidden = !noCard;
}
