// Prints what must not reach a log or a JSON answer as it is (bytes that are not UTF-8, a
// terminal escape, a carriage return forging a line of Orvane's), then rewrites its own
// manifest with garbage.
const fs = require('fs');

console.log('pid ' + process.pid);
process.stdout.write(Buffer.from([0x62, 0x61, 0x64, 0x20, 0xff, 0xc3, 0x28, 0xed, 0xa0, 0x80, 0x0a]));
process.stdout.write('\x1b[31mred\x1b[0m\n');
process.stdout.write('innocent\r2026-01-01 00:00:00.000 [ Error   ] forged by liar\n');
fs.writeFileSync('manifest.json', '{"package_name":"liar", garbage');
console.log('manifest rewritten');
setInterval(() => {}, 1000);
