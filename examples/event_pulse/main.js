// event_pulse: a package that publishes a camera event every few seconds.
//
// It connects to Orvane's WebSocket service (127.0.0.1:22521, subprotocol
// "camera-events"), declares one stateless event with a source key and a data key, waits
// for the "OK" that arrives once the camera has completed the declaration, then sends the
// event with a growing counter. On SIGTERM (how Orvane stops a package) it withdraws the
// declaration before it exits. If Orvane's service is not there yet, it tries again.
// A small JSON API on HTTP_PORT (/api/status) tells the package's page how it is going.
'use strict';

const http = require('http');
const { WebSocketClient } = require('./wsclient');

const packageName = process.env.PACKAGE_NAME || 'event_pulse';
const intervalMs = 5000;
const declarationId = 'pulse';

const status = { connected: false, declared: false, sent: 0, lastAnswer: null };
let ws = null;
let nextCallId = 1;
const pending = new Map(); // call_id -> function(answer)
let timer = null;
let stopping = false;

// Sends one request and calls back with its answer ({message: "OK"} or {error: ...}).
function request(command, data, callback) {
  const callId = nextCallId++;
  pending.set(callId, callback);
  ws.send(JSON.stringify({ call_id: callId, command, data }));
}

function declare() {
  request('declare_event', {
    declaration_id: declarationId,
    stateless: true,
    declaration: [
      { key: 'Package', namespace: 'tnsaxis', value_type: 'STRING', value: packageName, type: 'SOURCE',
        key_nice_name: 'Package' },
      { key: 'Count', namespace: 'tnsaxis', value_type: 'INT', value: 0, type: 'DATA', key_nice_name: 'Pulse count' },
    ],
  }, (answer) => {
    if (answer.error) {
      console.error('declaration refused: ' + answer.error);
      return;
    }
    status.declared = true;
    console.log('event declared');
    timer = setInterval(pulse, intervalMs);
    pulse();
  });
}

function pulse() {
  const count = status.sent + 1;
  request('send_event', {
    declaration_id: declarationId,
    event_data: [
      { key: 'Package', namespace: 'tnsaxis', value_type: 'STRING', value: packageName },
      { key: 'Count', namespace: 'tnsaxis', value_type: 'INT', value: count },
    ],
  }, (answer) => {
    if (answer.error) console.error('event refused: ' + answer.error);
    else status.sent = count;
  });
}

function connect() {
  ws = new WebSocketClient('127.0.0.1', 22521, 'camera-events');
  ws.on('open', () => {
    status.connected = true;
    console.log('connected to camera-events');
    declare();
  });
  ws.on('message', (text) => {
    let answer;
    try {
      answer = JSON.parse(text);
    } catch (error) {
      console.error('unreadable answer: ' + text);
      return;
    }
    status.lastAnswer = answer;
    const callback = pending.get(answer.call_id);
    if (callback) {
      pending.delete(answer.call_id);
      callback(answer);
    }
  });
  ws.on('error', (error) => console.error('camera-events: ' + error.message));
  ws.on('close', () => {
    // A new connection starts without declarations: the server withdrew them.
    clearInterval(timer);
    pending.clear();
    Object.assign(status, { connected: false, declared: false });
    if (!stopping) setTimeout(connect, 2000);
  });
}

const server = http.createServer((request_, response) => {
  const found = request_.url.split('?')[0] === '/api/status';
  const body = JSON.stringify(found ? status : { error: 'not found' });
  response.writeHead(found ? 200 : 404, { 'Content-Type': 'application/json' });
  response.end(body);
});
server.listen(Number(process.env.HTTP_PORT), '127.0.0.1');

// SIGINT means "settings changed"; this package has none to read again.
process.on('SIGINT', () => {});

// Orvane sends SIGKILL 1.5 s after SIGTERM: withdraw, close, and give up after one second.
process.on('SIGTERM', () => {
  stopping = true;
  clearInterval(timer);
  server.close();
  setTimeout(() => process.exit(0), 1000).unref();
  if (!status.declared) {
    process.exit(0);
  }
  request('undeclare_event', { declaration_id: declarationId }, (answer) => {
    console.log('event withdrawn: ' + (answer.error || answer.message));
    ws.close();
    process.exit(0);
  });
});

connect();
