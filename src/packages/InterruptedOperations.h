#pragma once

// Finishes what a crash or a power cut interrupted, before any package starts and before
// anything stages: every operation whose intent record survived is completed (see
// PackageMoves), so that each package is wholly its old or wholly its new version and its
// data wholly the old or the new set; then what is left in the staging directories of both
// storages is removed, except a staging directory whose operation could not be completed,
// which may hold the only copy of a package or its data and stays for the next start.
// Unfinished settings files left in packages' local data are removed too. Every operation
// completed is logged. A missing SD card counts as nothing to do there.
void recoverInterruptedOperations();
