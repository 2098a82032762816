// Polls /package/status.cgi STATUS_HZ times a second and each package's /package/log.cgi
// LOG_HZ times a second (incrementally, with "after"), over kept-alive connections, until
// killed. Prints the number of requests and lines received, and any failure, at the end.
//   node bench/status_poll.js NAME... (STATUS_HZ, LOG_HZ from the environment)
'use strict';
const http = require('http');

const agent = new http.Agent({ keepAlive: true, maxSockets: 8 });
const names = process.argv.slice(2);
const statusHz = Number(process.env.STATUS_HZ || 10);
const logHz = Number(process.env.LOG_HZ || 1);
const next = Object.fromEntries(names.map((name) => [name, 0]));
let requests = 0;
let lines = 0;
let failures = 0;

function get(path, onBody) {
  http
    .get({ host: '127.0.0.1', port: 22520, path, agent }, (response) => {
      let body = '';
      response.setEncoding('utf8');
      response.on('data', (chunk) => (body += chunk));
      response.on('end', () => {
        requests++;
        if (response.statusCode !== 200) {
          failures++;
          return;
        }
        onBody(JSON.parse(body));
      });
    })
    .on('error', () => failures++);
}

setInterval(() => get('/package/status.cgi', (answer) => answer.packages.length), 1000 / statusHz);
setInterval(() => {
  for (const name of names) {
    get(`/package/log.cgi?package_name=${name}&after=${next[name]}`, (answer) => {
      lines += answer.lines.length;
      next[name] = answer.next;
    });
  }
}, 1000 / logHz);

process.on('SIGTERM', () => {
  console.log(`${requests} ${lines} ${failures}`);
  process.exit(0);
});
