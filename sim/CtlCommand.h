#pragma once

#include <gio/gio.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// A word of camera-sim-ctl. Another source file adds words with a namespace-scope
// CtlCommandRegistrar and by being compiled into camera-sim-ctl.
struct CtlCommand {
  std::string word;
  std::string arguments; // for the usage text, e.g. "NAME VALUE"
  std::string help;
  std::size_t arity; // number of arguments after the word
  // Returns the exit status; prints results on standard output, failures on standard error.
  std::function<int(GDBusConnection* bus, const std::vector<std::string>& arguments)> run;
};

std::vector<CtlCommand>& ctlCommands();

struct CtlCommandRegistrar {
  explicit CtlCommandRegistrar(std::vector<CtlCommand> commands);
};

// Calls a method of camera-sim's object; the reply, or nullptr with `error` set to the
// service's message. Unref the reply.
GVariant* callSim(GDBusConnection* bus, const char* interfaceName, const char* method, GVariant* parameters,
                  const char* replyType, std::string& error);

// Parses a whole decimal number; false for anything else.
bool parseUnsigned(const std::string& text, unsigned& value);
