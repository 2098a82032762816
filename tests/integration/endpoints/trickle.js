// Clients that send their requests slowly, and one that wants a quick answer meanwhile.
// Opens `mhd` connections trickling a settings.cgi body, a second later `proxied` connections
// trickling a proxied POST body (a byte every 4 s). After 3 s it asks for the API check on a new
// connection, after 4 s opens one trickling a request head (a byte a second); at `seconds`
// it prints what became of each group as JSON and ends.
const http = require('http');
const net = require('net');
const [proxied, mhd, seconds] = process.argv.slice(2).map(Number);

const groups = {};
function trickle(group, head, piece, everyMs) {
  const state = (groups[group] ??= { opened: 0, answered408: 0, closed: 0 });
  state.opened++;
  const socket = net.connect(22520, '127.0.0.1');
  let received = '';
  let left = head;
  const timer = setInterval(() => {
    if (left.length === 0) {
      if (piece === null) return;
      left = piece;
    }
    socket.write(left.slice(0, 1));
    left = left.slice(1);
  }, everyMs);
  socket.on('connect', () => {
    if (piece !== null) {
      socket.write(head);
      left = '';
    }
  });
  socket.on('data', (data) => { received += data; });
  socket.on('error', () => {});
  socket.on('close', () => {
    clearInterval(timer);
    state.closed++;
    if (received.startsWith('HTTP/1.1 408')) state.answered408++;
  });
}

// Idle until its head is complete, it would be the first to make room for the others.
setTimeout(() => trickle('head', 'GET /api_check.cgi HTTP/1.1\r\nHost: x\r\nX-Padding: ' + 'p'.repeat(40) +
  '\r\n\r\n', null, 1000), 4000);
for (let i = 0; i < mhd; i++) {
  trickle('mhd', 'POST /package/settings.cgi?package_name=echo&action=set HTTP/1.1\r\nHost: x\r\n' +
    'Content-Length: 1000\r\n\r\n', 'x'.repeat(1000), 4000);
}
// Once the server has seen the heads above: until then those connections count as idle.
setTimeout(() => {
  for (let i = 0; i < proxied; i++) {
    trickle('proxied', 'POST /proxy/echo/slow-body HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n',
      'x'.repeat(1000), 4000);
  }
}, 1000);

const result = { groups };
setTimeout(() => {
  const start = Date.now();
  http.get({ host: '127.0.0.1', port: 22520, path: '/api_check.cgi', timeout: 5000 }, (res) => {
    res.resume();
    res.on('end', () => { result.apiCheck = `${res.statusCode} in ${Date.now() - start < 5000 ? 'time' : 'too long'}`; });
  }).on('error', (e) => { result.apiCheck = e.message; })
    .on('timeout', function () { this.destroy(new Error('no answer within 5 s')); });
}, 3000);
setTimeout(() => {
  console.log(JSON.stringify(result));
  process.exit(0);
}, seconds * 1000);
