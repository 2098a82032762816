#pragma once

// Converts the old flash layout (package directories in the application directory's
// "localdata_packages", each package's data in "localdata/packages/<name>/localdata") into
// the current one (package directories in "localdata/packages", data inside each). Does
// nothing when "localdata_packages" does not exist. Runs at start-up before any package.
void migrateLocalData();
