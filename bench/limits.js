// Drives Orvane's connection and queue limits from one process; run by bench/limits.sh.
//   node limits.js hold IDLE_HTTP WS_CONNECTIONS CALLS   prints what was accepted and answered
//   node limits.js flood SECONDS PID                      a camera-events client that never reads
'use strict';
const net = require('net');
const http = require('http');
const path = require('path');
const WebSocket = require(path.join(__dirname, '..', 'tests', 'node_modules', 'ws'));

const apiPort = 22520;
const wsPort = 22521;

function openIdleHttp(count) {
  const sockets = [];
  let closedEarly = 0;
  for (let i = 0; i < count; ++i) {
    const socket = net.connect(apiPort, '127.0.0.1');
    socket.on('error', () => {});
    socket.on('close', () => { ++closedEarly; });
    sockets.push(socket);
  }
  return { sockets, closedEarly: () => closedEarly };
}

function openWebSockets(count) {
  return Promise.all(Array.from({ length: count }, () => new Promise((resolve) => {
    const ws = new WebSocket(`ws://127.0.0.1:${wsPort}`, 'camera-events');
    ws.on('open', () => resolve({ ws, open: true }));
    ws.on('error', () => resolve({ ws, open: false }));
    ws.on('unexpected-response', () => resolve({ ws, open: false }));
    ws.on('close', () => resolve({ ws, open: false }));
  })));
}

function apiCheck() {
  return new Promise((resolve) => {
    const request = http.get({ host: '127.0.0.1', port: apiPort, path: '/api_check.cgi', agent: false },
      (response) => { response.resume(); response.on('end', () => resolve(response.statusCode)); });
    request.on('error', () => resolve(0));
    request.setTimeout(10000, () => { request.destroy(); resolve(0); });
  });
}

async function hold(idleCount, wsCount, calls) {
  const idle = openIdleHttp(idleCount);
  const sockets = await openWebSockets(wsCount);
  const start = process.hrtime.bigint();
  let answered = 0;
  for (let i = 0; i < calls; ++i) {
    if (await apiCheck() === 200) ++answered;
  }
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  const wsOpen = sockets.filter((s) => s.open && s.ws.readyState === WebSocket.OPEN).length;
  console.log(`  /api_check.cgi: ${answered} of ${calls} answered 200 in ${seconds.toFixed(2)} s` +
    ` (${(seconds * 1e6 / calls).toFixed(0)} us each)`);
  console.log(`  idle HTTP connections: ${idleCount} opened, ${idle.closedEarly()} closed by Orvane meanwhile`);
  console.log(`  WebSocket connections: ${wsCount} asked, ${wsOpen} open at the end`);
  idle.sockets.forEach((s) => s.destroy());
  sockets.forEach((s) => s.ws.terminate());
}

function rssKib(pid) {
  const status = require('fs').readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(/VmRSS:\s+(\d+)/.exec(status)[1]);
}

async function flood(seconds, pid) {
  const [{ ws, open }] = await openWebSockets(1);
  if (!open) { console.log('  flood: connection refused'); return; }
  ws._socket.pause();
  const declare = JSON.stringify({ call_id: 1, command: 'declare_event', data: { declaration_id: 'flood',
    stateless: true, declaration: [{ key: 'N', namespace: 'tnsaxis', value_type: 'INT', value: 0, type: 'DATA' }] } });
  // An event under an unknown declaration is answered at once, without the event service.
  const send = JSON.stringify({ call_id: 2, command: 'send_event', data: { declaration_id: 'unknown',
    event_data: [{ key: 'N', namespace: 'tnsaxis', value_type: 'INT', value: 1 }] } });
  ws.send(declare);
  const before = rssKib(pid);
  let peak = before;
  let sent = 0;
  const deadline = Date.now() + seconds * 1000;
  while (Date.now() < deadline && ws.readyState === WebSocket.OPEN) {
    // Keep our own send buffer short so that what piles up is Orvane's, not ours.
    if (ws.bufferedAmount < (1 << 20)) {
      for (let i = 0; i < 200; ++i) { ws.send(send); ++sent; }
    }
    await new Promise((r) => setTimeout(r, 5));
    peak = Math.max(peak, rssKib(pid));
  }
  const state = ws.readyState === WebSocket.OPEN ? 'still open' : `closed (${ws._closeCode || 'no code'})`;
  ws.terminate();
  await new Promise((r) => setTimeout(r, 1000));
  console.log(`  never-reading client for ${seconds} s: ${sent} requests written, connection ${state}`);
  console.log(`  Orvane RSS: ${before} KiB before, ${peak} KiB at peak, ${rssKib(pid)} KiB 1 s after it left`);
}

const [mode, ...args] = process.argv.slice(2);
(mode === 'hold' ? hold(+args[0], +args[1], +args[2]) : flood(+args[0], +args[1]))
  .then(() => process.exit(0), (error) => { console.error(error); process.exit(1); });
