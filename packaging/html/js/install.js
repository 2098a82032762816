// Installing packages: zips dropped on the drop zone or chosen with the picker are
// uploaded one after another, each with its own progress bar and outcome.
import { upload, serverReason, sentence } from './api.js';
import { el, formatBytes, say } from './ui.js';
import {
  refreshPackages, recheckPages, packageNames, isEnabled, enablePackage, onPackagesChanged,
} from './packages.js';

// What the camera owner can do about each answer: said after Orvane's reason.
const installAdvice = {
  400: 'Nothing was installed.',
  403: 'Orvane takes changes only from its own page: reload this page and try again.',
  409: 'Remove it there first, or install onto that storage.',
  413: 'The upload breaks one of Orvane\'s limits.',
  500: 'A package is a zip archive with manifest.json and main.js at its root, named with letters, '
    + 'digits, - and _ only; a package may also need a newer Orvane or more free space.',
};

// The outcome of a failed upload: the reason first, in one sentence, then the advice. When
// Orvane's reason carries its own advice after a colon, that advice is the one given.
export function describeUploadFailure(status, text, advice = installAdvice) {
  if (status === 0) return { reason: sentence(`not sent: ${text}`), advice: '' };
  const reason = serverReason(text) || `Failed with status ${status}.`;
  const colon = reason.indexOf(': ');
  if (colon > 0) {
    return { reason: sentence(reason.slice(0, colon)), advice: sentence(reason.slice(colon + 2)) };
  }
  return { reason, advice: advice[status] || '' };
}

function showFailure(outcome, failure) {
  outcome.className = 'message error';
  outcome.replaceChildren(el('span', { class: 'refusal' }, failure.reason),
    ...(failure.advice ? [' ', el('span', { class: 'advice' }, failure.advice)] : []));
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
  showFailure(outcome, describeUploadFailure(answer.status, answer.text, advice));
  return false;
}

// A package installed here does not run until it is enabled: offer that beside the upload.
// The answer does not name what was installed, so the candidates are the packages that are
// new since the upload began, and the one the zip is named after.
function offerEnabling(item, before, fileName) {
  const names = [...packageNames()].filter((name) => !before.has(name) || `${name}.zip` === fileName);
  for (const name of names.filter((candidate) => !isEnabled(candidate))) {
    const note = el('span', { class: 'message' });
    const button = el('button', { type: 'button', class: 'enable-now', 'aria-label': `Enable ${name} now` }, 'Enable now');
    const offer = el('span', { class: 'offer', 'data-package': name },
      el('span', { class: 'message' }, `${name} is installed, not enabled yet.`), ' ', button, ' ', note);
    button.addEventListener('click', async () => {
      button.disabled = true;
      say(note, 'enabling…');
      try {
        await enablePackage(name);
        say(note, 'enabled: it starts within a few seconds.', 'ok');
        button.hidden = true;
        await refreshPackages();
      } catch (error) {
        say(note, `not enabled: ${error.message}`, 'error');
        button.disabled = false;
      }
    });
    item.append(offer);
  }
}

export function startInstall() {
  // An offer to enable goes once the package is enabled, whichever way that happened.
  onPackagesChanged(() => {
    for (const offer of document.querySelectorAll('#install-list .offer[data-package]')) {
      const button = offer.querySelector('button');
      if (!button.hidden && isEnabled(offer.dataset.package)) {
        button.hidden = true;
        offer.firstElementChild.textContent = `${offer.dataset.package} is enabled.`;
      }
    }
  });
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
        const before = packageNames();
        const installed = await uploadWithProgress(`api/package/install.cgi?storage=${target}`, file, item);
        if (installed) recheckPages();
        await refreshPackages();
        if (installed) offerEnabling(item, before, file.name);
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
