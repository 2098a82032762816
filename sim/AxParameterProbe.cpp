// axparameter-probe: exercises the parameter library from a shell, for tests of the
// stand-in against camera-sim.
//
//   axparameter-probe APP get NAME...             one value a line; exit 1 at the first error
//   axparameter-probe APP watch [--thread] COUNT NAME...
//        registers a callback per NAME (from a second thread with --thread), prints
//        "ready", then one "NAME=VALUE main|other" line per callback (the thread it ran
//        on) until COUNT arrived; exit 3 after 20 seconds without them.

#include <axsdk/axparameter.h>

#include <glib.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Watch {
  GThread* mainThread;
  GMainLoop* loop;
  int remaining;
};

void onChange(const gchar* name, const gchar* value, gpointer data)
{
  auto* watch = static_cast<Watch*>(data);
  std::cout << name << "=" << value << " " << (g_thread_self() == watch->mainThread ? "main" : "other")
            << std::endl;
  if (--watch->remaining <= 0) {
    g_main_loop_quit(watch->loop);
  }
}

bool registerAll(AXParameter* handle, const std::vector<std::string>& names, Watch* watch)
{
  for (const auto& name : names) {
    GError* error = nullptr;
    if (!ax_parameter_register_callback(handle, name.c_str(), onChange, watch, &error)) {
      std::cerr << "error: " << (error ? error->message : "unknown error") << std::endl;
      g_clear_error(&error);
      return false;
    }
  }
  return true;
}

int get(AXParameter* handle, const std::vector<std::string>& names)
{
  for (const auto& name : names) {
    gchar* value = nullptr;
    GError* error = nullptr;
    if (!ax_parameter_get(handle, name.c_str(), &value, &error)) {
      std::cerr << "error: " << (error ? error->message : "unknown error") << std::endl;
      g_clear_error(&error);
      return 1;
    }
    std::cout << value << std::endl;
    g_free(value);
  }
  return 0;
}

int watch(AXParameter* handle, bool fromThread, int count, const std::vector<std::string>& names)
{
  Watch state{g_thread_self(), g_main_loop_new(nullptr, FALSE), count};
  bool registered = false;
  if (fromThread) {
    std::thread([&] { registered = registerAll(handle, names, &state); }).join();
  } else {
    registered = registerAll(handle, names, &state);
  }
  if (!registered) {
    g_main_loop_unref(state.loop);
    return 1;
  }
  std::cout << "ready" << std::endl;
  g_timeout_add_seconds(
      20,
      [](gpointer loop) {
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
        return G_SOURCE_REMOVE;
      },
      state.loop);
  g_main_loop_run(state.loop);
  g_main_loop_unref(state.loop);
  return state.remaining <= 0 ? 0 : 3;
}

int usage()
{
  std::cerr << "usage: axparameter-probe APP get NAME... | APP watch [--thread] COUNT NAME..." << std::endl;
  return 2;
}

} // namespace

int main(int argc, char** argv)
{
  if (argc < 4) {
    return usage();
  }
  std::string command = argv[2];
  std::vector<std::string> rest(argv + 3, argv + argc);
  bool fromThread = !rest.empty() && rest[0] == "--thread";
  if (fromThread) {
    rest.erase(rest.begin());
  }
  if (command != "get" && (command != "watch" || rest.size() < 2)) {
    return usage();
  }

  GError* error = nullptr;
  AXParameter* handle = ax_parameter_new(argv[1], &error);
  if (handle == nullptr) {
    std::cerr << "error: " << (error ? error->message : "unknown error") << std::endl;
    g_clear_error(&error);
    return 1;
  }
  int status = 0;
  if (command == "get") {
    status = get(handle, rest);
  } else {
    int count = std::atoi(rest[0].c_str());
    status = watch(handle, fromThread, count, {rest.begin() + 1, rest.end()});
  }
  ax_parameter_free(handle);
  return status;
}
