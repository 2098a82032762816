// hello_counter: the smallest useful Orvane package.
//
// - Orvane starts this file with the package directory as working directory and hands it
//   HTTP_PORT (private: reached through /proxy/hello_counter/...) and PERSISTENT_DATA_PATH
//   (./localdata/, kept across re-installs and exported/imported by the data endpoint).
// - html/ is served by Orvane itself under /package/hello_counter/...; this program only
//   offers the JSON API the page calls.
// - Everything printed to stdout/stderr lands in Orvane's log, prefixed with the name.
'use strict';

const fs = require('fs');
const http = require('http');
const path = require('path');

const port = Number(process.env.HTTP_PORT);
const dataDir = process.env.PERSISTENT_DATA_PATH || './localdata/';
const counterFile = path.join(dataDir, 'counter.json');
const settingsFile = path.join(dataDir, 'settings.json');

function readJson(file, fallback) {
  try {
    return JSON.parse(fs.readFileSync(file, 'utf8'));
  } catch (error) {
    return fallback;
  }
}

// Write to a temporary file and rename it, so a crash or SIGKILL never leaves a torn file.
function writeJson(file, value) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  const temporary = file + '.tmp';
  fs.writeFileSync(temporary, JSON.stringify(value) + '\n');
  fs.renameSync(temporary, file);
}

const stored = readJson(counterFile, {});
let count = Number.isSafeInteger(stored.count) ? stored.count : 0;
// settings.json is whatever the web interface stored through /package/settings.cgi; Orvane
// sends SIGINT after changing it, so it is read again then.
let settings = readJson(settingsFile, {});

function answer(response, status, value) {
  const body = JSON.stringify(value);
  response.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body) });
  response.end(body);
}

function state() {
  return { count, greeting: typeof settings.greeting === 'string' ? settings.greeting : 'Hello from Orvane' };
}

// Orvane forwards every method other than GET as a POST, and a POST without a body as a
// GET: the increment therefore always carries a body, {"add": N}.
const server = http.createServer((request, response) => {
  const url = new URL(request.url, 'http://localhost');
  if (url.pathname !== '/api/counter') {
    answer(response, 404, { error: 'not found: ' + url.pathname });
    return;
  }
  if (request.method === 'GET') {
    answer(response, 200, state());
    return;
  }
  let body = '';
  request.setEncoding('utf8');
  request.on('data', (chunk) => {
    body += chunk;
    if (body.length > 4096) request.destroy();
  });
  request.on('end', () => {
    let add;
    try {
      add = JSON.parse(body).add;
    } catch (error) {
      add = undefined;
    }
    if (!Number.isSafeInteger(add) || !Number.isSafeInteger(count + add)) {
      answer(response, 400, { error: 'expected a JSON body {"add": <integer>}' });
      return;
    }
    count += add;
    try {
      writeJson(counterFile, { count });
    } catch (error) {
      console.error('cannot store the counter: ' + error.message);
      answer(response, 500, { error: 'cannot store the counter' });
      return;
    }
    answer(response, 200, state());
  });
});

server.listen(port, '127.0.0.1', () => console.log('listening on port ' + port + ', count ' + count));

process.on('SIGINT', () => {
  settings = readJson(settingsFile, {});
  console.log('settings reloaded');
});
// Orvane stops a package with SIGTERM and kills it 1.5 s later: finish quickly.
process.on('SIGTERM', () => {
  console.log('stopping');
  server.close(() => process.exit(0));
  setTimeout(() => process.exit(0), 500).unref();
});
