// The system around the packages: the Node.js runtime, free space, the report and the
// other cameras on the network.
import { getJson, request, serverMessage, ApiError } from './api.js';
import { el, setText, say } from './ui.js';
import { applyStorage } from './install.js';

const $ = (id) => document.getElementById(id);
const nodeWords = {
  OK: 'installed',
  NOT_INSTALLED: 'shipped with Orvane, not installed yet: packages cannot run until it is',
  NOT_FOUND: 'not found: Orvane has no Node.js runtime to install',
};

async function loadNode() {
  try {
    const answer = await getJson('api/diagnostics.cgi');
    const state = answer.node_state;
    say($('node-state'), nodeWords[state] || state, state === 'OK' ? 'ok' : 'error');
    $('node-install').hidden = state !== 'NOT_INSTALLED';
    return state;
  } catch (error) {
    say($('node-state'), `unknown: ${error.message}`, 'error');
    return null;
  }
}

async function installNode() {
  const storage = document.querySelector('input[name="node-storage"]:checked').value;
  $('node-install-button').disabled = true;
  say($('node-note'), 'Unpacking the Node.js runtime…');
  try {
    await request(`api/node_update.cgi?storage=${storage}`);
    say($('node-note'), '');
  } catch (error) {
    say($('node-note'), `Not installed: ${error.message}`, 'error');
  } finally {
    $('node-install-button').disabled = false;
  }
  // Orvane records the runtime's place a moment after it answered.
  for (let attempt = 0; attempt < 20 && (await loadNode()) !== 'OK'; attempt += 1) {
    await new Promise((resolve) => setTimeout(resolve, 500));
  }
}

export async function loadStorage() {
  try {
    const storages = await getJson('api/package/get_storage.cgi');
    if (!Array.isArray(storages)) throw new ApiError(200, 'get_storage.cgi did not answer a list');
    const free = (type) => storages.find((item) => item.type === type)?.capacity_mb;
    const flash = free('FLASH');
    const sd = free('SD_DISK');
    setText($('space-flash'), Number.isFinite(flash) ? `${flash} MiB free` : 'unknown');
    setText($('space-sd'), !Number.isFinite(sd) || sd < 0 ? 'no SD card' : `${sd} MiB free`);
    applyStorage(storages);
  } catch (error) {
    say($('space-flash'), `unknown: ${error.message}`, 'error');
  }
}

async function loadReport() {
  say($('report-note'), 'Loading…');
  try {
    $('report-text').textContent = await request('api/report.cgi');
    $('report-text').hidden = false;
    say($('report-note'), '');
  } catch (error) {
    say($('report-note'), `The report cannot be read: ${error.message}`, 'error');
  }
}

async function loadCameras() {
  const list = $('cameras');
  say($('cameras-note'), 'Looking for cameras…');
  try {
    // The list comes as the message of a JSON status, itself JSON.
    const answer = JSON.parse(serverMessage(await request('api/network_camera_list.cgi')));
    const cameras = Array.isArray(answer.camera_list) ? answer.camera_list : [];
    list.replaceChildren(...cameras.map((camera) => el('li', {},
      el('a', { href: `http://${camera.ip}/`, target: '_blank', rel: 'noopener' }, camera.name), ` (${camera.ip})`)));
    say($('cameras-note'), cameras.length ? '' : 'No other camera found on the network.');
  } catch (error) {
    say($('cameras-note'), `The camera list cannot be read: ${error.message}`, 'error');
  }
}

export function startSystem() {
  $('node-install-button').addEventListener('click', installNode);
  $('report-button').addEventListener('click', loadReport);
  $('cameras-button').addEventListener('click', loadCameras);
  $('system-refresh').addEventListener('click', () => Promise.all([loadNode(), loadStorage(), loadCameras()]));
  loadNode();
  loadStorage();
  loadCameras();
}
