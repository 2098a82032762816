#pragma once

#include <string>

// The body of every JSON status answer, whoever gives it:
// "{\"status\": " code ", \"message\": \"" escaped message "\"}", with
// ", \"reason\": \"" escaped reason "\"" before the brace when `reason` is not empty.
std::string jsonStatusBody(unsigned code, const std::string& message, const std::string& reason = "");
