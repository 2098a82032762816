// Ends at once with a failure.
console.log('crashing now');
process.exit(3);
