// Takes a moment to shut down on SIGTERM and reports it on both outputs.
console.log('pid ' + process.pid);
process.on('SIGTERM', () => {
  setTimeout(() => {
    console.log('shutting down cleanly');
    console.error('cleanup finished');
    process.exit(0);
  }, 200);
});
setInterval(() => {}, 1000);
