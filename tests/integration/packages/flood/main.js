// Writes to stdout without ever ending a line.
console.log('pid ' + process.pid);
const chunk = 'x'.repeat(65536);
function flood() {
  while (process.stdout.write(chunk)) {}
  process.stdout.once('drain', flood);
}
flood();
