#pragma once

#include "ParameterStore.h"

#include <string>
#include <utility>
#include <vector>

// The logic of /axis-cgi/param.cgi, apart from HTTP and authentication.
namespace ParamCgi {

using Arguments = std::vector<std::pair<std::string, std::string>>;

struct Answer {
  unsigned status = 200;
  std::string body;
  // Parameters stored by an update (declared name, value), to be announced as changed.
  std::vector<ParameterStore::Entry> changes;
};

// action=list&group=G[,G2...]: one root.<Name>=<value> line per parameter of each group,
// or an "# Error:" line for a group without parameters. action=update&Name=Value...:
// stores all pairs and answers "OK", or, when a name is unknown, stores nothing and
// answers an "# Error:" line (status 200, as the camera does). Anything else is a 400.
Answer handle(ParameterStore& store, const Arguments& arguments);

// Decodes an application/x-www-form-urlencoded text ("+" is a blank, %XX a byte).
// Pieces without "=" become names with an empty value; empty pieces are skipped.
Arguments decodeForm(const std::string& text);

// %XX sequences to bytes; a "%" not followed by two hex digits stays as it is.
std::string percentDecode(const std::string& text, bool plusIsBlank);

} // namespace ParamCgi
