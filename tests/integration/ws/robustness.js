// Hostile and broken clients: each is answered or disconnected, and the server keeps
// serving a bystander connection throughout.
'use strict';

const assert = require('assert/strict');
const net = require('net');
const { connect, declareRequest, sendRequest, undeclareRequest, ok, error, run } = require('./client');

const invalid = error(-1, 'Invalid input data: invalid json');
const messageTooBig = 1009;
let bystander;
let bystanderCall = 1000;

// The bystander declared an event before the abuse started; it must still get answers.
async function bystanderServed() {
  const callId = ++bystanderCall;
  assert.equal(await bystander.request(sendRequest(callId, 'steady', [])), ok(callId), 'bystander not served');
}

run({
  async 'a bystander declares an event'() {
    bystander = await connect();
    assert.equal(await bystander.request(declareRequest(1, 'steady', [])), ok(1));
  },

  async 'deeply nested JSON is invalid input, not a crash'() {
    const client = await connect();
    assert.equal(await client.request('['.repeat(100000)), invalid);
    assert.equal(await client.request('{"call_id":1,"command":"send_event","data":' + '['.repeat(100000)), invalid);
    const deep = '['.repeat(50000) + ']'.repeat(50000);
    client.send(`{"call_id":2,"command":"x","data":{"a":${deep}}}`);
    assert.equal(await client.request(undeclareRequest(3, 'd')), error(3, 'sendEvent: declaration with id d not found'),
      'a deep request with an unknown command was answered');
    await bystanderServed();
    await client.close();
  },

  async 'texts that are not UTF-8 or hold control characters'() {
    const client = await connect();
    client.socket.send(Buffer.from('{"call_id":1,"command":"send_event","data":{"declaration_id":"\xff"}}', 'latin1'),
      { binary: false });
    assert.equal(await client.next(), invalid);
    const other = await connect();
    const id = 'tab\there\u0001';
    assert.deepEqual(JSON.parse(await other.request(undeclareRequest(2, id))),
      { error: `sendEvent: declaration with id ${id} not found`, call_id: 2 });
    await other.close();
    await bystanderServed();
  },

  async 'a message at the size limit is handled, one byte more closes the connection'() {
    // Exact sizes, so that the server has read everything the client sent when it closes
    // (unread data would turn its close into a reset).
    const limit = 1024 * 1024;
    const client = await connect();
    const envelope = JSON.stringify(undeclareRequest(3, ''));
    const id = 'x'.repeat(limit - envelope.length);
    assert.deepEqual(JSON.parse(await client.request(undeclareRequest(3, id), 10000)),
      { error: `sendEvent: declaration with id ${id} not found`, call_id: 3 });
    client.send(JSON.stringify(undeclareRequest(4, `${id}y`)));
    assert.equal((await client.closed(10000)).code, messageTooBig);
    await bystanderServed();
  },

  async 'fragments are assembled, and a message that never ends is cut off at the limit'() {
    const client = await connect();
    const text = JSON.stringify(undeclareRequest(5, 'pieces'));
    client.socket.send(text.slice(0, 10), { fin: false });
    client.socket.send(text.slice(10, 20), { fin: false });
    client.socket.send(text.slice(20), { fin: true });
    assert.equal(await client.next(), error(5, 'sendEvent: declaration with id pieces not found'));

    const chunk = 'z'.repeat(64 * 1024);
    for (let i = 0; i < 16; i++) client.socket.send(chunk, { fin: false });
    // The pong follows the fragments: once it is back, the server holds exactly the limit.
    await new Promise((resolve) => {
      client.socket.once('pong', resolve);
      client.socket.ping();
    });
    assert.equal(client.closeInfo, null, 'a message of exactly the limit was cut off');
    client.socket.send('z', { fin: false });
    assert.equal((await client.closed()).code, messageTooBig);
    await bystanderServed();
  },

  async 'clients that vanish mid-message or mid-handshake'() {
    const client = await connect();
    client.socket.send('{"call_id":7,"command":', { fin: false });
    await new Promise((resolve) => setTimeout(resolve, 50));
    client.socket.terminate();

    const raw = net.connect(22521, '127.0.0.1');
    await new Promise((resolve) => raw.once('connect', resolve));
    raw.write('GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n');
    await new Promise((resolve) => setTimeout(resolve, 50));
    raw.destroy();
    await bystanderServed();
  },

  async '200 connections opened and dropped at once'() {
    const clients = await Promise.all(Array.from({ length: 200 }, () => connect('camera-events', 15000)));
    clients.forEach((client, i) => client.send(declareRequest(i, `burst${i}`, [])));
    clients.forEach((client) => client.socket.terminate());
    await bystanderServed();
    const after = await connect();
    assert.equal(await after.request(declareRequest(8, 'burst1', [])), ok(8));
    await after.close();
  },

  async 'the http-only subprotocol does nothing'() {
    const client = await connect('http-only');
    client.send(undeclareRequest(9, 'x'));
    assert.ok(await client.silentFor(300), 'http-only answered');
    await client.close();
    await bystanderServed();
  },
});
