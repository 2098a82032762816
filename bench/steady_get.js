// GETs one path of Orvane's HTTP API RATE times a second for SECONDS seconds over kept-alive
// connections, at a steady pace whatever the answers take. Prints the requests sent, the
// ones answered 200, and the median and 99th percentile of their times in milliseconds.
//   node bench/steady_get.js PATH RATE SECONDS
'use strict';
const http = require('http');

const [path, rate, seconds] = [process.argv[2], Number(process.argv[3]), Number(process.argv[4])];
const agent = new http.Agent({ keepAlive: true, maxSockets: 16 });
const times = [];
let sent = 0;
let ok = 0;

function one() {
  const start = process.hrtime.bigint();
  sent++;
  http
    .get({ host: '127.0.0.1', port: 22520, path, agent }, (response) => {
      response.resume();
      response.on('end', () => {
        if (response.statusCode === 200) ok++;
        times.push(Number(process.hrtime.bigint() - start) / 1e6);
      });
    })
    .on('error', () => {});
}

// Paced by the clock, not by the timer's own drift: each tick sends what is due by now.
const begin = Date.now();
const total = rate * seconds;
const timer = setInterval(() => {
  const due = Math.min(total, Math.floor(((Date.now() - begin) * rate) / 1000));
  while (sent < due) one();
  if (sent >= total) {
    clearInterval(timer);
    setTimeout(() => {
      times.sort((a, b) => a - b);
      const at = (q) => (times.length ? times[Math.min(times.length - 1, Math.floor(q * times.length))].toFixed(2) : '-');
      console.log(`${sent} ${ok} ${at(0.5)} ${at(0.99)}`);
      agent.destroy();
    }, 1000);
  }
}, 5);
