// Leaves a background child behind that keeps its private port, and ends soon after:
// again at every start.
const { spawn } = require('child_process');

console.log('pid ' + process.pid);
spawn(process.execPath, ['-e', [
  "require('http').createServer((q, r) => r.end('leftover ' + process.pid))",
  "  .listen(Number(process.env.HTTP_PORT), '127.0.0.1');",
  'setInterval(() => {}, 1000);'].join('\n')], { stdio: 'ignore' });
spawn('sleep', ['1000'], { stdio: 'ignore' });
setTimeout(() => process.exit(1), 700);
