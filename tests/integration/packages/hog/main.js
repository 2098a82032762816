// Touches 600 MiB, 20 MiB at a time, outside V8's heap, then holds it.
console.log('pid ' + process.pid);
console.log('execArgv ' + process.execArgv.join(' '));
const held = [];
const step = setInterval(() => {
  held.push(Buffer.alloc(20 * 1024 * 1024, 1));
  if (held.length * 20 >= 600) {
    clearInterval(step);
    console.log('holding 600 MiB');
    setInterval(() => {}, 1000);
  }
}, 100);
