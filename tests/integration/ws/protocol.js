// The "camera-events" protocol against the real binary and the simulator's event system.
'use strict';

const assert = require('assert/strict');
const {
  connect, simEvents, simCtl, waitForSimEvents, declareRequest, sendRequest, undeclareRequest, ok, error, run,
} = require('./client');

const boolKey = { key: 'active', value_type: 'BOOL', value: false, type: 'DATA' };
const lastDeclare = () => simEvents().filter((record) => record.op === 'declare').pop();

// Declares `id` on `client` and waits for the completion answer.
async function declared(client, callId, id, keys = [boolKey]) {
  assert.equal(await client.request(declareRequest(callId, id, keys)), ok(callId));
  return lastDeclare().declaration;
}

run({
  async 'a declaration is answered only after completion and its events reach the simulator'() {
    simCtl('event-delay', '2000');
    const client = await connect();
    client.send(declareRequest(5, 'door', [boolKey], true));
    const active = [{ key: 'active', value_type: 'BOOL', value: true }];
    const notComplete = (callId) => error(callId, 'undeclareEvent: declaration with id door in not complete yet');
    assert.equal(await client.request(sendRequest(6, 'door', active)), notComplete(6));
    assert.equal(await client.request(undeclareRequest(7, 'door')), notComplete(7));
    assert.equal(await client.next(), ok(5));
    const declare = lastDeclare();
    assert.equal(declare.stateless, true);
    assert.deepEqual(declare.keys.map((k) => [k.key, k.type, k.value, k.mark]), [['active', 'BOOL', false, 'data']]);
    assert.ok(simEvents().some((r) => r.op === 'complete' && r.declaration === declare.declaration),
      'OK came before the simulator completed the declaration');

    simCtl('event-delay', '50');
    assert.equal(await client.request(sendRequest(8, 'door', active)), ok(8));
    const sent = simEvents().filter((r) => r.op === 'send' && r.declaration === declare.declaration);
    assert.equal(sent.length, 1);
    assert.deepEqual(sent[0].keys.map((k) => [k.key, k.type, k.value]), [['active', 'BOOL', true]]);
    await client.close();
  },

  async 'ids are unique per connection, independent across connections, and withdrawn for good'() {
    const first = await connect();
    const second = await connect();
    assert.equal(await first.request(undeclareRequest(11, 'never')),
      error(11, 'sendEvent: declaration with id never not found'));
    const number = await declared(first, 21, 'shared');
    assert.equal(await first.request(declareRequest(22, 'shared', [boolKey])),
      error(22, 'declaration with id shared already exists'));
    await declared(second, 23, 'shared');
    assert.equal(await first.request(undeclareRequest(24, 'shared')), ok(24));
    assert.ok(simEvents().some((r) => r.op === 'undeclare' && r.declaration === number));
    assert.equal(await second.request(sendRequest(25, 'shared', [])), ok(25));
    assert.equal(await first.request(sendRequest(26, 'shared', [])),
      error(26, 'sendEvent: declaration with id shared not found'));
    assert.equal(await first.request(undeclareRequest(27, 'shared')),
      error(27, 'sendEvent: declaration with id shared not found'));
    await first.close();
    await second.close();
  },

  async 'values must match their value types'() {
    const client = await connect();
    const declareWith = (callId, key) => client.request(declareRequest(callId, `v${callId}`, [{ key: 'k', ...key }]));
    assert.equal(await declareWith(31, { value_type: 'INT', value: 1.5 }),
      error(31, "parseEventDeclaration: invalid value attribute: type INT doesn't match the value"));
    assert.equal(await declareWith(38, { value_type: 'int', value: 1 }), error(38, 'parseValue: unknown value type: int'));
    assert.equal(await client.request(sendRequest(40, 'x', [{ key: 'k', value_type: 'Bool', value: true }])),
      error(40, 'parseValue: unknown value type: Bool'));

    assert.equal(await declareWith(41, { value_type: 'INT', value: -2147483648 }), ok(41));
    assert.equal(lastDeclare().keys[0].value, -2147483648);
    assert.equal(await declareWith(42, { value_type: 'DOUBLE', value: 2 }), ok(42));
    assert.deepEqual([lastDeclare().keys[0].type, lastDeclare().keys[0].value], ['DOUBLE', 2]);
    assert.equal(await declareWith(43, { value_type: 'STRING', value: 'text', namespace: '', type: 'SOURCE',
      key_nice_name: 'Key', value_nice_name: '' }), ok(43));
    const key = lastDeclare().keys[0];
    assert.deepEqual([key.namespace, key.mark, key.key_nice_name, key.value_nice_name, key.value],
      [null, 'source', 'Key', null, 'text']);
    assert.equal(await client.request(declareRequest(44, 'empty', [])), ok(44));
    assert.deepEqual(lastDeclare().keys, []);
    assert.equal(await client.request(sendRequest(45, 'empty', [])), ok(45));
    await client.close();
  },

  async 'malformed requests get the envelope errors'() {
    const client = await connect();
    assert.equal(await client.request('not json'), error(-1, 'Invalid input data: invalid json'));
    assert.equal(await client.request({ call_id: '7', command: 'send_event', data: {} }),
      error(-1, 'Invalid input data: call_id is missing or is not int'));
    assert.equal(await client.request({ call_id: 7 }), error(7, 'Invalid input data: command is missing or is not string'));
    assert.equal(await client.request({ call_id: 9, command: 'send_event', data: [] }),
      error(9, 'Invalid input data: data is not an valid json object'));

    client.send({ call_id: 11, command: 'Declare_event', data: {} });
    client.send({ call_id: 12, command: 'reboot', data: {} });
    assert.equal(await client.request(undeclareRequest(13, 'none')),
      error(13, 'sendEvent: declaration with id none not found'), 'unknown commands must get no answer');

    const data = { declaration_id: 'd' };
    assert.equal(await client.request({ call_id: 14, command: 'declare_event', data: { ...data, declaration: [] } }),
      error(14, 'parseEventDeclaration: stateless attribute not found'));
    assert.equal(await client.request({ call_id: 16, command: 'declare_event', data: { stateless: true, declaration: [] } }),
      error(16, 'parseEventDeclaration: declaration_id attribute not found'));
    assert.equal(await client.request(declareRequest(17, 'd', [{ value_type: 'INT', value: 1 }])),
      error(17, 'parseEventDeclaration: invalid or missing declaration attribute key'));
    assert.equal(await client.request({ call_id: 19, command: 'send_event', data }),
      error(19, 'parseEvent: invalid or missing attribut declaration_id or event_data'));
    assert.equal(await client.request({ call_id: 21, command: 'undeclare_event', data: { declaration_id: 3 } }),
      error(21, 'undeclareEvent: declaration_id attribute not found'));
    assert.ok(await client.silentFor(200), 'an unknown command was answered');
    await client.close();
  },

  async 'platform refusals answer with the platform text and change no declaration'() {
    const client = await connect();
    const cases = [
      ['key', 'add key value: key "k" refused by the event system'],
      ['nicenames', 'add nice names: nice names of key "k" refused by the event system'],
      ['mark', 'mark as source: mark of key "k" refused by the event system'],
      ['declare', 'event handler declare: declaration refused by the event system'],
    ];
    const key = { key: 'k', value_type: 'INT', value: 1, type: 'SOURCE', key_nice_name: 'K' };
    let callId = 60;
    for (const [what, text] of cases) {
      simCtl('event-refuse', what, 'on');
      const answer = await client.request(declareRequest(++callId, 'refused', [key]));
      assert.deepEqual(JSON.parse(answer), { error: text, call_id: callId });
      simCtl('event-refuse', what, 'off');
      assert.equal(await client.request(sendRequest(++callId, 'refused', [])),
        error(callId, 'sendEvent: declaration with id refused not found'), `${what} refusal left a declaration`);
    }
    await declared(client, 70, 'refused', [key]);
    simCtl('event-refuse', 'undeclare', 'on');
    assert.equal(await client.request(undeclareRequest(72, 'refused')),
      error(72, 'undeclaration error: undeclaration refused by the event system'));
    simCtl('event-refuse', 'undeclare', 'off');
    assert.equal(await client.request(sendRequest(73, 'refused', [])), ok(73), 'a refused undeclare removed the declaration');
    assert.equal(await client.request(undeclareRequest(74, 'refused')), ok(74));
    await client.close();
  },

  async 'closing a connection withdraws its completed declarations'() {
    const client = await connect();
    const numbers = [await declared(client, 81, 'b'), await declared(client, 82, 'a')];
    simCtl('event-delay', '-1');
    client.send(declareRequest(83, 'pending', [boolKey]));
    await waitForSimEvents((events) => events.some((r) => r.op === 'declare' && r.declaration > Math.max(...numbers)),
      5000, 'the pending declaration');
    const pending = lastDeclare().declaration;
    simCtl('event-delay', '50');
    await client.close();
    const events = await waitForSimEvents((all) =>
      numbers.every((n) => all.some((r) => r.op === 'undeclare' && r.declaration === n)) &&
      all.some((r) => r.op === 'release' && r.declarations.includes(pending)), 5000, 'the withdrawals');
    assert.ok(!events.some((r) => r.op === 'undeclare' && r.declaration === pending),
      'a declaration that never completed was withdrawn one by one');
  },

  async 'completions arriving at once or after the connection closed'() {
    simCtl('event-delay', '0');
    const client = await connect();
    for (let i = 0; i < 20; i++) client.send(declareRequest(100 + i, `fast${i}`, [boolKey]));
    const answers = [];
    for (let i = 0; i < 20; i++) answers.push(await client.next());
    assert.deepEqual(answers.sort(), Array.from({ length: 20 }, (_, i) => ok(100 + i)).sort());

    simCtl('event-delay', '300');
    const leaving = await connect();
    const before = lastDeclare().declaration;
    leaving.send(declareRequest(130, 'late', [boolKey]));
    await waitForSimEvents((events) => events.some((r) => r.op === 'declare' && r.declaration > before), 5000,
      'the declaration');
    await leaving.close();
    await new Promise((resolve) => setTimeout(resolve, 500));
    simCtl('event-delay', '50');
    assert.equal(await client.request(sendRequest(131, 'fast3', [])), ok(131));
    await client.close();
  },

  async 'a binary message is refused and ends the connection'() {
    const client = await connect();
    client.socket.send(Buffer.from([1, 2, 3]), { binary: true });
    assert.equal(await client.next(), '{"error":"Binary message not supported"}');
    await client.closed();
  },
});
