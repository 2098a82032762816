// Prints short lines as fast as it can.
let n = 0;
function flood() {
  while (process.stdout.write('line ' + n++ + ' ' + '.'.repeat(40) + '\n')) {}
  process.stdout.once('drain', flood);
}
flood();
