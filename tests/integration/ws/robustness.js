// Hostile and broken clients: each is answered or disconnected, and the server keeps
// serving a bystander connection throughout.
'use strict';

const assert = require('assert/strict');
const fs = require('fs');
const { execFileSync } = require('child_process');
const net = require('net');
const {
  connect, simCtl, simEvents, waitForSimEvents, declareRequest, sendRequest, undeclareRequest, ok, error, limit, run,
} = require('./client');

const invalid = error(-1, 'Invalid input data: invalid json');
const messageTooBig = 1009;
let bystander;
let bystanderCall = 1000;

// The bystander declared an event before the abuse started; it must still get answers.
async function bystanderServed() {
  const callId = ++bystanderCall;
  assert.equal(await bystander.request(sendRequest(callId, 'steady', [])), ok(callId), 'bystander not served');
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const rssMiB = () => fs.readFileSync(`/proc/${process.env.ORVANE_PID}/status`, 'utf8').match(/VmRSS:\s+(\d+)/)[1] / 1024;
// A vanished client's close is noticed a service round later: a 503 is retried for a while.
const connectWhenRoom = (tries = 50) => connect('camera-events', 15000)
  .catch((e) => (/503/.test(e) && tries ? sleep(100).then(() => connectWhenRoom(tries - 1)) : Promise.reject(e)));

// Sends events whose error answers echo a 32 KiB id, and declarations, without reading,
// for `ms` or until the server stops reading; returns the count and the peak RSS.
async function flood(client, ms, untilPaused) {
  const id = 'f'.repeat(32 * 1024), start = rssMiB();
  let sent = 0, peak = start;
  for (const end = Date.now() + ms; Date.now() < end && peak - start < 400;) {
    if (client.socket.bufferedAmount < 1024 * 1024) client.send(sent++ % 2 ? sendRequest(sent, id) : declareRequest(sent, `flood${sent}`, []));
    else if (untilPaused) break;
    else await sleep(5);
    if (sent % 64 === 0) peak = Math.max(peak, rssMiB());
  }
  return { sent, peak };
}

run({
  async 'a bystander declares an event'() {
    bystander = await connect();
    assert.equal(await bystander.request(declareRequest(1, 'steady', [])), ok(1));
  },

  async 'deeply nested JSON is invalid input, not a crash'() {
    const client = await connect();
    assert.equal(await client.request('{"call_id":1,"command":"send_event","data":' + '['.repeat(100000)), invalid);
    const deep = '['.repeat(500000) + ']'.repeat(500000);
    assert.equal(await client.request(`{"call_id":2,"command":"x","data":{"a":${deep}}}`), invalid);
    await bystanderServed();
    await client.close();
  },

  async 'a text that is not UTF-8'() {
    const client = await connect();
    client.socket.send(Buffer.from('{"call_id":1,"command":"send_event","data":{"declaration_id":"\xff"}}', 'latin1'),
      { binary: false });
    assert.equal(await client.next(), invalid);
    await client.close();
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
    await sleep(50);
    client.socket.terminate();

    const raw = net.connect(22521, '127.0.0.1');
    await new Promise((resolve) => raw.once('connect', resolve));
    raw.write('GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n');
    await sleep(50);
    raw.destroy();
    await bystanderServed();
  },

  async 'a stalled platform call holds up only its own connection; each connection is answered in order'() {
    const stalled = await connect(), other = await connect();
    const declared = () => simEvents().filter((e) => e.op === 'declare').length;
    const before = declared();
    simCtl('event-stall', '5000');
    stalled.send(declareRequest(1, 'late', []));
    await waitForSimEvents(() => declared() > before, 5000, 'the stalled declaration');
    assert.equal(await other.request(declareRequest(1, 'quick', [])), ok(1));
    const count = 100, expected = [];
    for (let i = 0; i < count; i++) {
      const typeless = i % 10 === 5;
      other.send(sendRequest(i + 2, 'quick', [typeless ? { key: 'order' } : { key: 'order', value_type: 'INT', value: i }]));
      expected.push(typeless ? error(i + 2, 'parseValue: invalid or missing declaration attribute value_type') : ok(i + 2));
    }
    // Withdrawn right behind its events: it must not overtake them on the way to the event system.
    other.send(undeclareRequest(count + 2, 'quick'));
    expected.push(ok(count + 2));
    await other.waitFor(() => other.messages.length === count + 1, 4000, 'the other connection\'s answers');
    assert.deepEqual(other.messages.map((m) => m.text), expected);
    assert.equal(stalled.messages.length, 0, 'the stalled declaration was answered before the other connection');
    assert.equal(await stalled.next(10000), ok(1));
    const records = simEvents();
    const sent = records.filter((e) => e.op === 'send' && e.keys.length === 1 && e.keys[0].key === 'order');
    assert.deepEqual(sent.map((e) => e.keys[0].value), [...Array(count).keys()].filter((i) => i % 10 !== 5));
    const withdrawn = records.find((e) => e.op === 'undeclare' && e.declaration === sent[0].declaration);
    assert.ok(withdrawn && withdrawn.seq > sent[sent.length - 1].seq, 'the withdrawal overtook its events');
    await stalled.close();
    await other.close();
  },

  async 'events are handed over without waiting for the event system, and refused without asking it'() {
    const client = await connect(), value = [{ key: 'frozen', value_type: 'INT', value: 7 }];
    assert.equal(await client.request(declareRequest(1, 'frozen', [])), ok(1));
    const sim = Number(execFileSync('pidof', ['camera-sim'], { encoding: 'utf8' }).trim());
    const whileStopped = async (body) => {
      process.kill(sim, 'SIGSTOP');
      try {
        await body();
      } finally {
        process.kill(sim, 'SIGCONT');
      }
    };
    await whileStopped(async () => assert.equal(await client.request(sendRequest(2, 'frozen', value)), ok(2)));
    simCtl('event-refuse', 'send', 'on');
    await whileStopped(async () => assert.equal(await client.request(sendRequest(3, 'frozen', value)),
      error(3, 'sendEvent error: event refused by the event system')));
    simCtl('event-refuse', 'send', 'off');
    const sent = simEvents().filter((e) => e.op === 'send' && e.keys[0]?.key === 'frozen');
    assert.deepEqual(sent.map((e) => e.keys[0].value), [7]);

    // An event system that stops reading: events are still answered at once, until what
    // waits for it reaches the bound; then they fail, and a bystander is served throughout.
    // Once it reads again it gets every event answered OK, in order.
    const answers = [];
    await whileStopped(async () => {
      for (let batch = 0; batch < 100 && !answers.some((a) => a.startsWith('{"error"')); batch++) {
        for (let i = 0; i < 1000; i++) {
          const n = answers.length + i;
          client.send(sendRequest(n + 10, 'frozen', [{ key: 'frozen', value_type: 'INT', value: n }]));
        }
        await client.waitFor(() => client.messages.length === 1000, 5000, 'the batch\'s answers');
        answers.push(...client.messages.splice(0).map((m) => m.text));
      }
      // Answered, if only with the same refusal.
      const callId = ++bystanderCall;
      assert.match(await bystander.request(sendRequest(callId, 'steady', [])), new RegExp(`"call_id":${callId}}$`));
    });
    const accepted = answers.findIndex((a) => a.startsWith('{"error"'));
    assert.ok(accepted > 0, 'no event refused while the event system did not read');
    assert.deepEqual(answers.slice(0, accepted), [...Array(accepted).keys()].map((n) => ok(n + 10)));
    assert.match(answers[accepted], /sendEvent error: the event system is not taking events/);
    const frozen = (records) => records.filter((e) => e.op === 'send' && e.keys[0]?.key === 'frozen');
    const records = await waitForSimEvents((r) => frozen(r).length >= accepted + 1, 10000, 'the events that waited');
    const delivered = frozen(records).map((e) => e.keys[0].value).slice(1, accepted + 1);
    assert.deepEqual(delivered, [...Array(accepted).keys()]);
    assert.equal(await client.request(sendRequest(9, 'frozen', value)), ok(9));
    await client.close();
  },

  async 'connections over the limit are refused with 503 until others close, however they close'() {
    const refusals = () => fs.readFileSync(process.env.ORVANE_LOG, 'utf8').match(/refus/gi)?.length ?? 0;
    const logged = refusals();
    const open = () => Promise.all(Array.from({ length: limit('maxWsConnections') - 1 }, () => connectWhenRoom()));
    let clients = await open(); // and the bystander
    for (let i = 0; i < 10; i++) await assert.rejects(connect(), /Unexpected server response: 503/);
    await bystanderServed();
    clients.forEach((client, i) => client.send(declareRequest(i, `burst${i}`, [])));
    clients[0].socket.send(Buffer.from('binary'), { binary: true });
    clients[1].socket.send('x'.repeat(1024 * 1024 + 1));
    clients.slice(2, 60).forEach((client) => client.socket.terminate());
    await Promise.all(clients.slice(60).map((client) => client.close()));
    clients = await open();
    assert.equal(await clients[1].request(declareRequest(8, 'burst1', [])), ok(8));
    clients.forEach((client) => client.socket.terminate());
    assert.ok(refusals() - logged >= 1 && refusals() - logged <= 2, `refusals logged ${refusals() - logged} times`);
  },

  async 'a client that never reads is no longer read, loses no answer, and its memory is given back'() {
    const start = rssMiB(), flooding = await connect(), slow = await connect();
    flooding.socket._socket.pause();
    const { peak } = await flood(flooding, 10000, false);
    assert.ok(peak - start < 64, `RSS grew from ${start} to ${peak} MiB`);
    flooding.socket.terminate();
    let end = rssMiB();
    for (let i = 0; i < 50 && end - start > 16; i++, end = rssMiB()) await sleep(100);
    assert.ok(end - start <= 16, `RSS ${start} MiB at the start, ${end} MiB after the client went`);

    slow.socket._socket.pause();
    const { sent } = await flood(slow, 10000, true);
    slow.socket._socket.resume();
    await slow.waitFor(() => slow.messages.length === sent, 20000, `${sent} answers`);
    await slow.close();
  },

  async 'declarations beyond the limit are refused'() {
    const max = limit('maxWsDeclarationsPerConnection'), client = await connect();
    for (let i = 0; i <= max; i++) client.send(declareRequest(i, `d${i}`, []));
    await client.waitFor(() => client.messages.length > max, 10000, 'every answer');
    const refused = error(max, `declareEvent: too many declarations, at most ${max} per connection`);
    assert.deepEqual(client.messages.map((m) => m.text).sort(), [...Array(max).keys()].map(ok).concat(refused).sort());
    await client.close();
  },

  async 'the http-only subprotocol does nothing'() {
    const client = await connect('http-only');
    client.send(undeclareRequest(9, 'x'));
    assert.ok(await client.silentFor(300), 'http-only answered');
    await client.close();
    await bystanderServed();
  },
});
