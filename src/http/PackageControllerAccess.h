#pragma once

class PackageController;

// The process's package controller. Before one is registered in AppContext an empty
// controller stands in: its directory look-ups work the same, and it has no package to
// stop or signal.
PackageController& packageController();
