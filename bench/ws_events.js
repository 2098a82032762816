// send_event round trips over the "camera-events" protocol at 1, 10 and 100 connections,
// next to the same traffic against a minimal libwebsockets echo server, saturated and paced,
// and Orvane's 10 saturated connections while the event system holds back the answer to
// another connection's declaration. Each connection keeps at most one request in flight.
// Every row runs once per round, Orvane and the echo server in turn. Prints messages per
// second, p50 and p99 latency and the server's CPU time per message, then the median of
// the rounds.
//   node ws_events.js ORVANE_PID ECHO_PORT ECHO_PID [SECONDS] [ROUNDS]
// WS_BENCH_ROWS picks rows, e.g. "10 0;100 200" (connections, then the pace in ms: 0 is
// saturated, -1 the stalled row).
'use strict';

const fs = require('fs');
const { execFileSync } = require('child_process');
const path = require('path');
const WebSocket = require(path.join(__dirname, '..', 'tests', 'node_modules', 'ws'));

const [orvanePid, echoPort, echoPid] = process.argv.slice(2, 5).map(Number);
const seconds = Number(process.argv[5] || 3);
const rounds = Number(process.argv[6] || 3);
const stallMs = 5000;
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
// `seconds`. Returns the count, the rate, p50 and p99 in ms and the server's CPU µs per message.
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
    cpuUs: (cpuMs * 1000) / latencies.length };
}

// 10 saturated connections while one more connection's declaration waits `stallMs` for the
// event system's answer.
async function measureStalled() {
  const others = await prepareOrvane(10);
  const stalled = await open('ws://127.0.0.1:22521', 'camera-events');
  execFileSync('camera-sim-ctl', ['event-stall', String(stallMs)]);
  stalled.send(JSON.stringify({ call_id: 0, command: 'declare_event',
    data: { declaration_id: 'stalled', stateless: true, declaration: [] } }));
  const answered = nextMessage(stalled);
  await new Promise((resolve) => setTimeout(resolve, 100));
  const result = await measure(others, orvanePid, orvaneAnswer, 0);
  await answered;
  stalled.terminate();
  others.forEach(({ socket }) => socket.terminate());
  return result;
}

const header = 'round server    load        conns messages  msgs/s   p50 ms   p99 ms  cpu µs/msg';

function print(round, server, load, connections, r) {
  console.log(`${String(round).padEnd(5)} ${server.padEnd(9)} ${load.padEnd(11)} ${String(connections).padStart(5)} ` +
    `${String(r.count).padStart(8)} ${r.rate.toFixed(0).padStart(7)} ${r.p50.toFixed(3).padStart(8)} ` +
    `${r.p99.toFixed(3).padStart(8)} ${r.cpuUs.toFixed(1).padStart(11)}`);
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor((sorted.length - 1) / 2)];
}

const orvaneAnswer = (text) => text === '{"message": "OK", "call_id":1}';
const echoAnswer = (text) => text.startsWith('{"call_id":1,');

(async () => {
  console.log(`send_event round trips, ${eventBytes}-byte event value (${eventMessage('bench0').length}-byte request), ` +
    `one request in flight per connection, ${seconds} s per row, ${rounds} rounds`);
  console.log(`loads: "saturated" sends again as soon as the answer arrives; "every ${pacedMs}ms" paces each connection; ` +
    `"stalled" is saturated while another connection's declaration waits ${stallMs} ms for the event system`);
  console.log(header);
  const rows = process.env.WS_BENCH_ROWS
    ? process.env.WS_BENCH_ROWS.split(';').map((row) => row.trim().split(/\s+/).map(Number))
    : [[1, 0], [10, 0], [100, 0], [1, pacedMs], [10, pacedMs], [100, pacedMs], [10, -1]];
  const results = new Map();
  const keep = (key, r) => results.set(key, [...(results.get(key) || []), r]);
  for (let round = 1; round <= rounds; round++) {
    for (const [count, intervalMs] of rows) {
      const load = intervalMs === 0 ? 'saturated' : intervalMs < 0 ? 'stalled' : `every ${intervalMs}ms`;
      let r;
      if (intervalMs < 0) {
        r = await measureStalled();
      } else {
        const orvane = await prepareOrvane(count);
        r = await measure(orvane, orvanePid, orvaneAnswer, intervalMs);
        orvane.forEach(({ socket }) => socket.terminate());
      }
      print(round, 'orvane', load, count, r);
      keep(`orvane|${load}|${count}`, r);
      if (intervalMs < 0) continue;
      const echo = await prepareEcho(count);
      r = await measure(echo, echoPid, echoAnswer, intervalMs);
      print(round, 'lws echo', load, count, r);
      keep(`lws echo|${load}|${count}`, r);
      echo.forEach(({ socket }) => socket.terminate());
    }
  }
  console.log(`\nmedian of ${rounds} rounds`);
  console.log(header);
  for (const [key, list] of results) {
    const [server, load, count] = key.split('|');
    const pick = (name) => median(list.map((r) => r[name]));
    print('-', server, load, count, { count: pick('count'), rate: pick('rate'), p50: pick('p50'), p99: pick('p99'),
      cpuUs: pick('cpuUs') });
  }
  process.exit(0);
})().catch((e) => {
  console.error(e);
  process.exit(1);
});
