// Reports what it was started with, answers HTTP on its private port and writes to stderr.
const http = require('http');
const path = require('path');

console.log('pid ' + process.pid);
console.log('cwd ' + process.cwd());
console.log('argv ' + JSON.stringify([process.argv0, ...process.execArgv, path.basename(process.argv[1])]));
for (const key of Object.keys(process.env).sort()) {
  console.log('env ' + key + '=' + process.env[key]);
}
console.error('a line on stderr');
http
  .createServer((request, response) => response.end('hello from ' + process.env.PACKAGE_NAME))
  .listen(Number(process.env.HTTP_PORT), '127.0.0.1', () => console.log('listening on ' + process.env.HTTP_PORT));
