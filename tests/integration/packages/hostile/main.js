// Starts what a package should not leave behind: a plain child, a child that ignores
// SIGTERM, a child with 1,000 threads, and a child in a session of its own ("sleep 1001",
// which only a cgroup can hold). Answers HTTP on its private port.
const { spawn } = require('child_process');
const http = require('http');

console.log('pid ' + process.pid);
process.on('SIGTERM', () => process.exit(0));
spawn('sleep', ['1000'], { stdio: 'ignore' });
spawn('sh', ['-c', 'trap "" TERM; while :; do sleep 1; done'], { stdio: 'ignore' });
spawn('python3', ['-c', [
  'import signal, threading, time',
  'signal.signal(signal.SIGTERM, signal.SIG_IGN)',
  'for _ in range(1000): threading.Thread(target=time.sleep, args=(1000,), daemon=True).start()',
  'time.sleep(1000)'].join('\n')], { stdio: 'ignore' });
spawn('sleep', ['1001'], { stdio: 'ignore', detached: true });
http
  .createServer((request, response) => response.end('hostile ' + process.pid))
  .listen(Number(process.env.HTTP_PORT), '127.0.0.1', () => console.log('listening'));
