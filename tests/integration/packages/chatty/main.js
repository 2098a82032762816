// Prints more lines than Orvane keeps for it, then idles.
for (let i = 1; i <= 1500; i++) {
  console.log('filler ' + i + ' ' + '.'.repeat(50));
}
console.log('done');
setInterval(() => {}, 1000);
