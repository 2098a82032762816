#pragma once

#include "util/Failure.h"

#include <optional>
#include <string>

// What a package's manifest.json says about it. All fields start empty.
struct PackageManifest {
  std::string packageName;
  std::string packageMenuName;
  std::string packageVersion;
  std::string vendor;
  std::string requiredVersion;
  std::string uiLink;
};

// Fills `manifest` from the JSON file at `path`. The four required keys must be strings;
// the optional ones are taken only when they are strings; a repeated key counts with its
// first occurrence. Returns nothing when `manifest` was filled. Otherwise `manifest` is
// untouched and the failure says why: NotFound ("Read manifest error: No such file: " +
// path) when the file is missing or empty, BadInput ("Invalid manifest file: " + path) when
// it is not such a JSON object. A file longer than Limits::maxManifestBytes is invalid and
// is never read beyond that length.
std::optional<Failure> readManifest(PackageManifest& manifest, const std::string& path);

// The same rules applied to the manifest text `text`; `path` only names it in the failure.
// An empty text is reported as a missing file.
std::optional<Failure> parseManifest(PackageManifest& manifest, const std::string& text,
                                     const std::string& path);

// True when `appVersion` is at least the manifest's required version (always true when
// none is required). Versions are compared as dot-separated integers position by
// position; positions that do not read as an integer on either side are skipped.
bool checkRequiredVersion(const PackageManifest& manifest, const std::string& appVersion);

// The manifest of the package directory `directory` (without a final "/"), whose name is
// `name`, written anew as compact JSON from what was parsed, never copied from the file:
// whatever a running package writes into its manifest, the text is valid JSON. Throws a
// Failure saying what is wrong when the file is missing, is not a valid manifest, is not
// UTF-8, or names another package than its directory; nothing is logged, as it is asked for
// at every list request.
std::string manifestJson(const std::string& directory, const std::string& name);
