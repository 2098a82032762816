// A package for the proxy tests. Its private port answers with what it received, or as a
// path asks: /unauthorized (401), /status/N, /slow (never), /big (48 MiB), /big-sha256,
// /tagged/N (N bytes with an ETag, 304 to a request naming it), /conditional (how many 304s),
// /redirect and /redirect307 (to /after...), /redirect-file (to a local file), /bye (answers,
// then closes the connection), /reset (half a body without a length, then a reset),
// /how-many-sneaked (how many requests for a path holding /sneak came).
// Its public port is a bare TCP server answering with folded and oddly cased headers, or,
// below /raw/, with broken statuses, interim heads and conflicting framing.
const crypto = require('crypto');
const http = require('http');
const net = require('net');

const bigBlocks = 48;
function bigBlock(index) {
  const block = Buffer.alloc(1048576);
  for (let i = 0; i < block.length; i++) block[i] = (i * 31 + index * 7) & 255;
  return block;
}

// Sends `size` bytes of one repeated block, waiting whenever the client is behind, so that
// a body of any size costs this process one block.
const pattern = bigBlock(0);
function sendRepeated(res, size) {
  let left = size;
  const more = () => {
    while (left > 0) {
      const piece = pattern.subarray(0, Math.min(left, pattern.length));
      left -= piece.length;
      if (!res.write(piece)) return res.once('drain', more);
    }
    res.end();
  };
  more();
}
let notModified = 0;
// Requests that only a misread framing would make of another request's bytes.
let sneaked = 0;

http.createServer((req, res) => {
  const chunks = [];
  req.on('data', (chunk) => chunks.push(chunk));
  req.on('end', () => {
    const body = Buffer.concat(chunks);
    if (req.url.includes('/sneak')) sneaked++;
    if (req.url.startsWith('/how-many-sneaked')) return res.end(String(sneaked));
    if (req.url.startsWith('/unauthorized')) {
      res.writeHead(401, { 'WWW-Authenticate': 'Basic realm="pkg"', 'X-Reason': 'no token', 'Content-Type': 'text/plain' });
      return res.end('token missing');
    }
    if (req.url.startsWith('/status/')) {
      res.writeHead(Number(req.url.split('/')[2]), { 'Content-Type': 'text/plain' });
      return res.end('status body');
    }
    if (req.url.startsWith('/slow')) return;
    if (req.url.startsWith('/redirect-file')) {
      res.writeHead(302, { Location: 'file:///etc/hostname' });
      return res.end();
    }
    if (req.url.startsWith('/reset')) {
      res.writeHead(200, { 'Content-Type': 'text/plain', Connection: 'close' });
      res.write('partial');
      return setTimeout(() => req.socket.resetAndDestroy(), 100);
    }
    if (req.url.startsWith('/redirect')) {
      const temporary = req.url.startsWith('/redirect307');
      res.writeHead(temporary ? 307 : 302, { Location: temporary ? 'after307' : '/after?from=redirect' });
      return res.end('moved');
    }
    if (req.url.startsWith('/bye')) return res.end('bye', () => req.socket.destroy());
    if (req.url.startsWith('/tagged/')) {
      const size = Number(req.url.split('/')[2]);
      const tag = `"t${size}"`;
      if (req.headers['if-none-match'] === tag) {
        notModified++;
        res.writeHead(304, { ETag: tag });
        return res.end();
      }
      res.writeHead(200, { 'Content-Type': 'application/octet-stream', 'Content-Length': size, ETag: tag });
      return sendRepeated(res, size);
    }
    if (req.url.startsWith('/conditional')) return res.end(String(notModified));
    if (req.url.startsWith('/big-sha256')) {
      const hash = crypto.createHash('sha256');
      for (let i = 0; i < bigBlocks; i++) hash.update(bigBlock(i));
      return res.end(hash.digest('hex'));
    }
    if (req.url.startsWith('/big')) {
      res.writeHead(200, { 'Content-Type': 'application/octet-stream', 'Content-Length': bigBlocks * 1048576 });
      for (let i = 0; i < bigBlocks; i++) res.write(bigBlock(i));
      return res.end();
    }
    res.writeHead(200, { 'Content-Type': 'application/json', 'X-Custom-Header': 'custom value' });
    res.end(JSON.stringify({
      method: req.method,
      url: req.url,
      contentType: req.headers['content-type'] || null,
      body: body.toString('base64'),
      userAgent: req.headers['user-agent'] || null,
      headers: Object.keys(req.headers).sort(),
    }));
  });
}).listen(Number(process.env.HTTP_PORT), '127.0.0.1');

// Answers no HTTP server library would write, by path of the public port.
const rawAnswers = {
  '/raw/099': 'HTTP/1.1 099 Early\r\nContent-Type: text/plain\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\nsmuggled',
  '/raw/000': 'HTTP/1.1 000 Zero\r\nContent-Length: 4\r\n\r\nzero',
  '/raw/42': 'HTTP/1.1 42 Two\r\nContent-Length: 3\r\n\r\ntwo',
  '/raw/interim': 'HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n' +
    'HTTP/1.1 200 OK\r\nX-Final: yes\r\nContent-Length: 5\r\n\r\nfinal',
  '/raw/two-lengths': 'HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nabcdef',
  '/raw/length-and-chunked': 'HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n' +
    '5\r\nabcde\r\n0\r\n\r\n',
};

net.createServer((socket) => {
  let received = '';
  socket.on('data', (data) => {
    received += data;
    if (!received.includes('\r\n\r\n')) return;
    const target = received.split(' ')[1];
    if (rawAnswers[target]) return socket.end(rawAnswers[target]);
    const body = 'public ' + target;
    socket.end('HTTP/1.1 200 OK\r\n' +
      'x-WeIrD-CaSe: Mixed Value\r\n' +
      'X-Folded: first part\r\n' +
      '  second part\r\n' +
      '\tthird: part\r\n' +
      'Content-Type: text/plain\r\n' +
      'Content-Length: ' + body.length + '\r\n' +
      'Connection: close\r\n\r\n' + body);
  });
  socket.on('error', () => {});
}).listen(Number(process.env.HTTP_PORT_PUBLIC), '127.0.0.1');
