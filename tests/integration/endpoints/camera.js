// Another camera for the camera-proxy tests: Digest authentication (MD5, qop auth) on plain
// HTTP and on HTTPS, with the certificate and key given.
//   node camera.js CERT KEY ADDRESS...   (HTTP on port 8080, HTTPS on 8443 of each address)
// Paths: /echo (what was received, as JSON), /gzip (a gzip-encoded body, left encoded),
// /chunked (a body sent in chunks). Every answer carries "X-Camera: <address>".
const crypto = require('crypto');
const fs = require('fs');
const http = require('http');
const https = require('https');
const zlib = require('zlib');

const [cert, key, ...addresses] = process.argv.slice(2);
const realm = 'camera';
const user = 'op@tor';
const password = 'p:ss w%rd/&';
const md5 = (text) => crypto.createHash('md5').update(text).digest('hex');
const nonces = new Set();

function authorized(req) {
  const header = req.headers.authorization || '';
  if (!header.startsWith('Digest ')) return false;
  const fields = {};
  for (const match of header.slice(7).matchAll(/(\w+)=(?:"([^"]*)"|([^,\s]*))/g)) {
    fields[match[1]] = match[2] !== undefined ? match[2] : match[3];
  }
  if (fields.username !== user || !nonces.has(fields.nonce)) return false;
  const ha1 = md5(`${user}:${realm}:${password}`);
  const ha2 = md5(`${req.method}:${fields.uri}`);
  return fields.response === md5(`${ha1}:${fields.nonce}:${fields.nc}:${fields.cnonce}:${fields.qop}:${ha2}`);
}

function handle(address) {
  return (req, res) => {
    const chunks = [];
    req.on('data', (chunk) => chunks.push(chunk));
    req.on('end', () => {
      res.setHeader('X-Camera', address);
      if (!authorized(req)) {
        const nonce = crypto.randomBytes(12).toString('hex');
        nonces.add(nonce);
        res.writeHead(401, {
          'WWW-Authenticate': `Digest realm="${realm}", nonce="${nonce}", qop="auth", algorithm=MD5`,
          'Content-Type': 'text/plain',
        });
        return res.end('denied');
      }
      if (req.url.startsWith('/gzip')) {
        const body = zlib.gzipSync('compressed camera text\n');
        res.writeHead(200, { 'Content-Type': 'text/plain', 'Content-Encoding': 'gzip', 'Content-Length': body.length });
        return res.end(body);
      }
      if (req.url.startsWith('/chunked')) {
        res.writeHead(200, { 'Content-Type': 'text/plain' });
        res.write('first,');
        return setTimeout(() => res.end('second'), 20);
      }
      const body = JSON.stringify({
        method: req.method,
        url: req.url,
        body: Buffer.concat(chunks).toString(),
        contentType: req.headers['content-type'] || null,
        userAgent: req.headers['user-agent'] || null,
      });
      res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body) });
      res.end(body);
    });
  };
}

const tls = { cert: fs.readFileSync(cert), key: fs.readFileSync(key) };
for (const address of addresses) {
  http.createServer(handle(address)).listen(8080, address);
  https.createServer(tls, handle(address)).listen(8443, address);
}
console.log('camera ready');
