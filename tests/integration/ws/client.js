// A "camera-events" client: a real WebSocket connection, a queue of answers, deadlines on every wait.
'use strict';

const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');
const { once } = require('events');
const WebSocket = require(path.join(__dirname, '..', '..', 'node_modules', 'ws'));

class Client {
  constructor(socket) {
    this.socket = socket;
    this.messages = [];
    this.waiters = [];
    this.closeInfo = null;
    socket.on('message', (data, isBinary) => {
      this.messages.push({ text: data.toString('utf8'), isBinary });
      this.wakeWaiters();
    });
    socket.on('close', (code, reason) => {
      this.closeInfo = { code, reason: reason.toString() };
      this.wakeWaiters();
    });
    socket.on('error', () => {});
  }

  wakeWaiters() {
    this.waiters.splice(0).forEach((wake) => wake());
  }

  waitFor(ready, ms, what) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`timed out after ${ms} ms waiting for ${what}`)), ms);
      const check = () => {
        if (ready()) {
          clearTimeout(timer);
          resolve();
        } else {
          this.waiters.push(check);
        }
      };
      check();
    });
  }

  send(message) {
    this.socket.send(typeof message === 'string' ? message : JSON.stringify(message));
  }

  async next(ms = 5000) {
    await this.waitFor(() => this.messages.length > 0 || this.closeInfo, ms, 'an answer');
    if (this.messages.length === 0) throw new Error(`connection closed (${this.closeInfo.code}) instead of answering`);
    return this.messages.shift().text;
  }

  async request(message, ms = 5000) {
    this.send(message);
    return this.next(ms);
  }

  async silentFor(ms) {
    await new Promise((resolve) => setTimeout(resolve, ms));
    return this.messages.length === 0;
  }

  async closed(ms = 5000) {
    await this.waitFor(() => this.closeInfo !== null, ms, 'the connection to close');
    return this.closeInfo;
  }

  close() {
    this.socket.close();
    return this.closed();
  }
}

async function connect(protocol = 'camera-events', ms = 5000) {
  const socket = new WebSocket('ws://127.0.0.1:22521', protocol, { maxPayload: 0, handshakeTimeout: ms });
  await once(socket, 'open');
  return new Client(socket);
}

// The simulator's record of event traffic, one object per operation.
function simEvents() {
  const text = execFileSync('camera-sim-ctl', ['events'], { encoding: 'utf8', maxBuffer: 256 * 1024 * 1024 });
  return text.split('\n').filter((line) => line.trim() !== '').map((line) => JSON.parse(line));
}

function simCtl(...args) {
  execFileSync('camera-sim-ctl', args, { stdio: ['ignore', 'ignore', 'inherit'] });
}

async function waitForSimEvents(predicate, ms = 5000, what = 'simulator events') {
  const deadline = Date.now() + ms;
  for (;;) {
    const events = simEvents();
    if (predicate(events)) return events;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}: ${JSON.stringify(events)}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

function declareRequest(callId, id, keys = [], stateless = true) {
  return { call_id: callId, command: 'declare_event', data: { declaration_id: id, stateless, declaration: keys } };
}

function sendRequest(callId, id, values = []) {
  return { call_id: callId, command: 'send_event', data: { declaration_id: id, event_data: values } };
}

function undeclareRequest(callId, id) {
  return { call_id: callId, command: 'undeclare_event', data: { declaration_id: id } };
}

const ok = (callId) => `{"message": "OK", "call_id":${callId}}`;
const error = (callId, text) => `{"error": "${text}", "call_id":${callId}}`;

// A constant of Orvane's resource limits header (a product of numbers), so tests follow it.
function limit(name) {
  const header = fs.readFileSync(path.join(__dirname, '..', '..', '..', 'src', 'util', 'Limits.h'), 'utf8');
  return new RegExp(`\\b${name} = ([\\d *]+);`).exec(header)[1].split('*').reduce((a, b) => a * b, 1);
}

// Runs the named async cases in order; exits non-zero on the first failure.
async function run(cases) {
  for (const [name, body] of Object.entries(cases)) {
    try {
      await body();
      console.log(`ok - ${name}`);
    } catch (e) {
      console.error(`not ok - ${name}: ${e.stack || e}`);
      process.exit(1);
    }
  }
  process.exit(0);
}

module.exports = {
  connect, simEvents, simCtl, waitForSimEvents, declareRequest, sendRequest, undeclareRequest, ok, error, limit, run,
};
