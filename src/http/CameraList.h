#pragma once

#include <string>
#include <vector>

// The other cameras on the local network, as the mDNS browsing tool reports them.
namespace CameraList {

// The argument vector of the browsing tool in `toolsDirectory` (ending in "/"), its path
// first.
std::vector<std::string> browseArguments(const std::string& toolsDirectory);

// The list JSON "{\"camera_list\":[{\"name\":...,\"ip\":...},...]}" of the tool's output: one
// service a line, name and IPv4 address as the first two ";"-separated fields. A line is
// kept when its name contains "axis" in any letter case and its address is not link-local
// (169.254.*); lines with fewer than two fields are skipped. Names and addresses are
// JSON-escaped, so that no text the network announces can change the list's structure.
std::string fromToolOutput(const std::string& output);

} // namespace CameraList
