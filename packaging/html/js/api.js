// Every call of the page goes through here: Orvane's API behind the camera's web server
// (api/...) and the camera's own VAPIX (../../axis-cgi/...), both relative to the page so
// that it works at /local/orvane/ whatever the camera's host name.

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

// The text of an answer: the message of a JSON status (with its reason, when it gives one),
// else the start of the body.
export function serverMessage(text) {
  try {
    const value = JSON.parse(text);
    if (value && typeof value.message === 'string') {
      return typeof value.reason === 'string' && value.reason ? `${value.message}: ${value.reason}` : value.message;
    }
  } catch {
    // not a JSON status: the body speaks for itself
  }
  const plain = String(text || '').trim();
  // A web server's own error page: its title says it.
  if (plain.startsWith('<')) {
    const title = /<title>([^<]*)<\/title>/i.exec(plain);
    return title ? title[1].trim() : plain.replace(/<[^>]*>/g, ' ').replace(/\s+/g, ' ').trim().slice(0, 300);
  }
  return plain.slice(0, 300);
}

// What went wrong, as one sentence for a person: the reason of a JSON status when it gives
// one, else its message without the origin prefix ("Http API: ") and the generic head
// ("install package(s) error [x.zip]: "); else the start of the body.
export function serverReason(text) {
  let words = '';
  try {
    const value = JSON.parse(text);
    if (value && typeof value.reason === 'string' && value.reason.trim()) words = value.reason;
    else if (value && typeof value.message === 'string') words = value.message;
  } catch {
    // not a JSON status
  }
  if (!words) words = serverMessage(text);
  const withoutOrigin = words.replace(/^[A-Za-z][\w[\] -]*: /, '').trim();
  const withoutHead = withoutOrigin.replace(/^[^:]*error \[[^\]]*\]:? ?/, '').trim();
  return sentence(withoutHead || withoutOrigin);
}

// "text" -> "Text." (a first capital, one closing full stop).
export function sentence(text) {
  const trimmed = String(text).trim();
  if (!trimmed) return '';
  // A sentence may begin with a package's name, which keeps its spelling.
  const capital = /^[a-z]+\b(?![_-])/.test(trimmed) ? trimmed[0].toUpperCase() + trimmed.slice(1) : trimmed;
  return /[.!?]$/.test(capital) ? capital : `${capital}.`;
}

export async function request(path, options = {}) {
  let response;
  try {
    response = await fetch(path, { cache: 'no-store', ...options });
  } catch (error) {
    throw new ApiError(0, `no answer from the camera (${error.message})`);
  }
  const text = await response.text();
  if (!response.ok) {
    throw new ApiError(response.status, `${response.status}: ${serverMessage(text) || response.statusText}`);
  }
  return text;
}

export async function getJson(path) {
  const text = await request(path);
  try {
    return JSON.parse(text);
  } catch {
    throw new ApiError(200, `the answer of ${path.split('?')[0]} is not JSON: ${text.slice(0, 80)}`);
  }
}

// Posts a FormData with XMLHttpRequest, whose upload events fetch does not offer.
// Resolves with the status (0 when the connection failed) and the answer's text.
export function upload(path, form, onProgress) {
  return new Promise((resolve) => {
    const xhr = new XMLHttpRequest();
    xhr.open('POST', path);
    xhr.upload.addEventListener('progress', (event) => onProgress(event.loaded, event.lengthComputable ? event.total : 0));
    xhr.addEventListener('load', () => resolve({ status: xhr.status, text: xhr.responseText }));
    xhr.addEventListener('error', () => resolve({ status: 0, text: 'the connection to the camera failed' }));
    xhr.addEventListener('abort', () => resolve({ status: 0, text: 'the upload was cancelled' }));
    xhr.send(form);
  });
}

export const packagePath = (endpoint, name, extra = '') =>
  `api/package/${endpoint}?package_name=${encodeURIComponent(name)}${extra}`;

// The camera keeps which packages run in one parameter, a JSON object by package name.
const configurationsName = 'orvane.PackageConfigurations';
const vapix = '../../axis-cgi/param.cgi';

export async function readPackageConfigurations() {
  const text = await request(`${vapix}?action=list&group=${configurationsName}`);
  const line = text.split('\n').find((l) => /^(root\.)?orvane\.PackageConfigurations=/i.test(l));
  if (!line) throw new ApiError(200, `the camera has no ${configurationsName}: ${text.trim().slice(0, 120)}`);
  const value = line.slice(line.indexOf('=') + 1);
  if (value.trim() === '') return {};
  let configurations;
  try {
    configurations = JSON.parse(value);
  } catch (error) {
    throw new ApiError(200, `the camera's ${configurationsName} is not valid JSON (${error.message})`);
  }
  if (!configurations || typeof configurations !== 'object' || Array.isArray(configurations)) {
    throw new ApiError(200, `the camera's ${configurationsName} is not a JSON object`);
  }
  return configurations;
}

// Read, change one package's entry, write back: concurrent changes of two packages (or of
// two members of one entry) are chained so that neither write loses the other's change.
// `change` gets a copy of the entry ({} when there is none) and returns the new one; the
// members it does not touch stay as they were.
let configurationChain = Promise.resolve();

export function changePackageConfiguration(name, change) {
  const write = async () => {
    const configurations = await readPackageConfigurations();
    const entry = configurations[name];
    configurations[name] = change(entry && typeof entry === 'object' && !Array.isArray(entry) ? { ...entry } : {});
    const body = new URLSearchParams({ action: 'update', [configurationsName]: JSON.stringify(configurations) });
    const answer = await request(vapix, { method: 'POST', body });
    // VAPIX answers a refused update with status 200 and an "# Error" line.
    if (answer.trim() !== 'OK') throw new ApiError(200, `the camera refused the change: ${answer.trim()}`);
  };
  const result = configurationChain.then(write, write);
  configurationChain = result.catch(() => {});
  return result;
}

export const setPackageEnabled = (name, enabled) =>
  changePackageConfiguration(name, (entry) => ({ ...entry, enabled }));

// A memory limit in MiB, or null for none (the member is then left out).
export const setPackageMemoryLimit = (name, mib) =>
  changePackageConfiguration(name, (entry) => {
    const { memory_limit_mib: _dropped, ...rest } = entry;
    return mib === null ? rest : { ...rest, memory_limit_mib: mib };
  });
