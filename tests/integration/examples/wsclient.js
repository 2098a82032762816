// The example packages' own WebSocket client against the npm `ws` server: the upgrade
// with the subprotocol, masked frames of all three length forms (the server refuses
// unmasked ones), fragmented and large server messages, ping, the server's close code,
// and the refusal of a server that answers the upgrade wrongly.
'use strict';

const assert = require('assert');
const net = require('net');
const path = require('path');
const WebSocket = require(path.join(__dirname, '..', '..', 'node_modules', 'ws'));
const { WebSocketClient } = require(path.join(__dirname, '..', '..', '..', 'examples', 'event_pulse', 'wsclient.js'));

function once(emitter, event, ms = 5000) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('timed out waiting for ' + event)), ms);
    emitter.once(event, (...args) => {
      clearTimeout(timer);
      resolve(args);
    });
  });
}

async function talkToWsServer() {
  const server = new WebSocket.Server({ host: '127.0.0.1', port: 0, handleProtocols: (protocols) => protocols.values().next().value });
  await once(server, 'listening');
  const client = new WebSocketClient('127.0.0.1', server.address().port, 'camera-events');
  const [[peer, request]] = await Promise.all([once(server, 'connection'), once(client, 'open')]);
  assert.strictEqual(request.headers['sec-websocket-protocol'], 'camera-events');
  assert.strictEqual(peer.protocol, 'camera-events');

  const received = [];
  peer.on('message', (data, isBinary) => received.push({ text: data.toString('utf8'), isBinary }));
  const sizes = [0, 125, 126, 65535, 65536, 200000];
  for (const size of sizes) client.send('x'.repeat(size));
  client.send('{"text":"é"}');
  await new Promise((resolve) => { const poll = () => received.length > sizes.length ? resolve() : setTimeout(poll, 10); poll(); });
  assert.deepStrictEqual(received.map((m) => [Buffer.byteLength(m.text), m.isBinary]),
    sizes.map((size) => [size, false]).concat([[13, false]]));
  assert.strictEqual(received[sizes.length].text, '{"text":"é"}');

  const messages = [];
  client.on('message', (text) => messages.push(text));
  peer.send('first', { fin: false });
  peer.send(' second', { fin: false });
  peer.send(' last', { fin: true });
  peer.send('é'.repeat(40000));
  const pong = once(peer, 'pong');
  peer.ping(Buffer.from('are you there'));
  const [payload] = await pong;
  assert.strictEqual(payload.toString(), 'are you there');
  await new Promise((resolve) => { const poll = () => messages.length >= 2 ? resolve() : setTimeout(poll, 10); poll(); });
  assert.deepStrictEqual(messages, ['first second last', 'é'.repeat(40000)]);

  const closed = once(client, 'close');
  peer.close(4001, 'bye');
  const [code] = await closed;
  assert.strictEqual(code, 4001);
  server.close();
}

// Servers that answer the upgrade wrongly: the client reports why and never opens.
async function refuseBadUpgrades() {
  for (const [answer, reason] of [
    ['HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: d3Jvbmc=\r\n\r\n',
      /Sec-WebSocket-Accept/],
    ['HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n', /upgrade refused: HTTP\/1.1 400/],
  ]) {
    const server = net.createServer((socket) => socket.once('data', () => socket.end(answer)));
    server.listen(0, '127.0.0.1');
    await once(server, 'listening');
    const client = new WebSocketClient('127.0.0.1', server.address().port, 'camera-events');
    let opened = false;
    client.on('open', () => { opened = true; });
    const [error] = await once(client, 'error');
    assert.match(error.message, reason);
    assert.strictEqual(opened, false);
    assert.throws(() => client.send('x'), /not open/);
    server.close();
  }
}

(async () => {
  await talkToWsServer();
  await refuseBadUpgrades();
  console.log('wsclient: all checks passed');
})().catch((error) => {
  console.error(error);
  process.exit(1);
});
