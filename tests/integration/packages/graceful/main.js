// Takes a moment to shut down on SIGTERM and reports it on both outputs, with which of
// Orvane's two servers still accept connections at that moment.
const net = require('net');
console.log('pid ' + process.pid);

function accepts(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1', () => { socket.destroy(); resolve(true); });
    socket.on('error', () => resolve(false));
  });
}

process.on('SIGTERM', async () => {
  const open = [];
  for (const port of [22520, 22521]) {
    if (await accepts(port)) open.push(port);
  }
  console.log('servers accepting at shutdown: ' + (open.length ? open.join(' ') : 'none'));
  setTimeout(() => {
    console.log('shutting down cleanly');
    console.error('cleanup finished');
    process.exit(0);
  }, 200);
});
setInterval(() => {}, 1000);
