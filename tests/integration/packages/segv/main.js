// Ends by a segmentation fault signal shortly after its start.
console.log('pid ' + process.pid);
setTimeout(() => process.kill(process.pid, 'SIGSEGV'), 200);
