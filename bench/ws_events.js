// send_event round trips over the "camera-events" protocol at 1, 10 and 100 connections,
// next to the same traffic against a minimal libwebsockets echo server, saturated and paced.
// Each connection keeps at most one request in flight. Prints messages per second, p50 and
// p99 latency and the server's CPU time per 1000 messages.
//   node ws_events.js ORVANE_PID ECHO_PORT ECHO_PID [SECONDS]
'use strict';

const fs = require('fs');
const path = require('path');
const WebSocket = require(path.join(__dirname, '..', 'tests', 'node_modules', 'ws'));

const [orvanePid, echoPort, echoPid] = process.argv.slice(2, 5).map(Number);
const seconds = Number(process.argv[5] || 3);
const ticksPerSecond = 100;
const eventBytes = 100;
const pacedMs = 200;

// A send_event request whose event carries a value of eventBytes bytes.
function eventMessage(id) {
  return JSON.stringify({ call_id: 1, command: 'send_event',
    data: { declaration_id: id, event_data: [{ key: 'p', value_type: 'STRING', value: 'x'.repeat(eventBytes) }] } });
}

function cpuTicks(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return Number(fields[11]) + Number(fields[12]);
}

function open(url, protocol) {
  return new Promise((resolve, reject) => {
    const socket = new WebSocket(url, protocol);
    socket.once('open', () => resolve(socket));
    socket.once('error', reject);
  });
}

function nextMessage(socket) {
  return new Promise((resolve) => socket.once('message', (data) => resolve(data.toString())));
}

async function prepareOrvane(count) {
  const sockets = [];
  for (let i = 0; i < count; i++) {
    const socket = await open('ws://127.0.0.1:22521', 'camera-events');
    const id = `bench${i}`;
    socket.send(JSON.stringify({ call_id: 0, command: 'declare_event',
      data: { declaration_id: id, stateless: true, declaration: [{ key: 'p', value_type: 'STRING', value: '' }] } }));
    const answer = await nextMessage(socket);
    if (!answer.includes('"OK"')) throw new Error(`declare failed: ${answer}`);
    sockets.push({ socket, message: eventMessage(id) });
  }
  return sockets;
}

async function prepareEcho(count) {
  const sockets = [];
  for (let i = 0; i < count; i++)
    sockets.push({ socket: await open(`ws://127.0.0.1:${echoPort}`, 'echo'), message: eventMessage(`bench${i}`) });
  return sockets;
}

// Each connection sends, waits for the answer and sends again: at once (`intervalMs` 0,
// the server's saturation) or `intervalMs` after the previous send (a paced load), for
// `seconds`. Returns the count, the rate, p50 and p99 in ms and the server's CPU ms per 1000.
async function measure(connections, pid, check, intervalMs) {
  const latencies = [];
  const before = cpuTicks(pid);
  const end = Date.now() + seconds * 1000;
  const started = process.hrtime.bigint();
  await Promise.all(connections.map(({ socket, message }) => new Promise((resolve, reject) => {
    let sentAt;
    let sentAtMs;
    const sendOne = () => {
      sentAt = process.hrtime.bigint();
      sentAtMs = Date.now();
      socket.send(message);
    };
    socket.on('message', (data) => {
      latencies.push(Number(process.hrtime.bigint() - sentAt) / 1e6);
      if (!check(data.toString())) return reject(new Error(`unexpected answer ${data}`));
      if (Date.now() >= end) return resolve();
      if (intervalMs === 0) return sendOne();
      setTimeout(sendOne, Math.max(0, sentAtMs + intervalMs - Date.now()));
    });
    setTimeout(sendOne, intervalMs === 0 ? 0 : Math.random() * intervalMs);
  })));
  const elapsed = Number(process.hrtime.bigint() - started) / 1e9;
  const cpuMs = ((cpuTicks(pid) - before) * 1000) / ticksPerSecond;
  latencies.sort((a, b) => a - b);
  const at = (q) => latencies[Math.min(latencies.length - 1, Math.floor(q * latencies.length))];
  return { count: latencies.length, rate: latencies.length / elapsed, p50: at(0.5), p99: at(0.99),
    cpuPer1000: (cpuMs * 1000) / latencies.length };
}

function print(server, load, connections, r) {
  console.log(`${server.padEnd(9)} ${load.padEnd(10)} ${String(connections).padStart(5)} ` +
    `${String(r.count).padStart(8)} ${r.rate.toFixed(0).padStart(7)} ${r.p50.toFixed(3).padStart(8)} ` +
    `${r.p99.toFixed(3).padStart(8)} ${r.cpuPer1000.toFixed(1).padStart(12)}`);
}

const orvaneAnswer = (text) => text === '{"message": "OK", "call_id":1}';
const echoAnswer = (text) => text.startsWith('{"call_id":1,');

(async () => {
  console.log(`send_event round trips, ${eventBytes}-byte event value (${eventMessage('bench0').length}-byte request), ` +
    `one request in flight per connection, ${seconds} s per row`);
  console.log(`loads: "saturated" sends again as soon as the answer arrives; "every ${pacedMs}ms" paces each connection`);
  console.log('server    load       conns messages  msgs/s   p50 ms   p99 ms  cpu ms/1000');
  for (const [count, intervalMs] of [[1, 0], [10, 0], [100, 0], [1, pacedMs], [10, pacedMs], [100, pacedMs]]) {
    const load = intervalMs === 0 ? 'saturated' : `every ${intervalMs}ms`;
    const orvane = await prepareOrvane(count);
    print('orvane', load, count, await measure(orvane, orvanePid, orvaneAnswer, intervalMs));
    orvane.forEach(({ socket }) => socket.terminate());
    const echo = await prepareEcho(count);
    print('lws echo', load, count, await measure(echo, echoPid, echoAnswer, intervalMs));
    echo.forEach(({ socket }) => socket.terminate());
  }
  process.exit(0);
})().catch((e) => {
  console.error(e);
  process.exit(1);
});
