#pragma once

#include "packages/KeptVersion.h"
#include "packages/PackageStatus.h"

#include <chrono>
#include <cstdint>
#include <string>

class PackageController;

// What a probation decides from the status of the version on probation.
enum class ProbationVerdict { Continue, Passed, RollBack };

// RollBack when the version cannot start or is in a crash loop (`reason` then says why, as
// the status does); Passed once it has run for `stableRun` without either; Continue
// otherwise.
ProbationVerdict judgeProbation(const PackageStatus& status, std::chrono::milliseconds stableRun,
                                std::string& reason);

// Called by an install that has just put version `newVersion` of the package `name` at
// `packageDirectory`, with what it moved aside of the previous installation (`previousTree`,
// its local data already carried over; empty when there was none) and whether the package
// was registered (enabled) before. Keeps the previous version and starts a probation where
// that applies: a re-install during a probation keeps the version kept before; the previous
// version's files are kept only when they take at most a quarter of the free space, its data
// copied only within Limits::maxKeptDataBytes and a quarter of the free space. Returns what
// the install's log line should add ("" when nothing is to be said).
std::string beginProbation(PackageController& controller, const std::string& name, const std::string& newVersion,
                           const std::string& packageDirectory, const std::string& previousTree, bool wasEnabled);

// At every start tick, on the main loop: ends each probation that passed (deleting what was
// kept) and puts the kept version back in the place of one that cannot start or is in a crash
// loop. Takes up the probations found on disk after a restart, and drops what is kept for a
// package that is no longer enabled.
void checkProbations(PackageController& controller);

// The owner chose new data for the package `name`: a kept copy of its old data is dropped.
void dropKeptData(PackageController& controller, const std::string& name);

// The package `name` was removed or disabled: its probation ends and what was kept goes.
void dropKeptVersion(PackageController& controller, const std::string& name);
