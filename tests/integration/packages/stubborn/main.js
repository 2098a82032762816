// Ignores SIGTERM.
console.log('pid ' + process.pid);
process.on('SIGTERM', () => console.log('ignoring SIGTERM'));
setInterval(() => {}, 1000);
