#pragma once

#include <glib.h>

#include <functional>
#include <future>
#include <memory>
#include <utility>

// Runs `function` on the default GLib main context and returns its result (or throws what it
// threw). From the thread that runs the main loop it is called at once; from any other
// thread it is handed to the main loop and waited for. Either way it runs while the context
// is owned, so never at the same time as a main-loop callback: for libraries whose calls
// belong to the main loop. While no loop runs the context, the caller acquires it and runs
// `function` itself.
template <typename Result> Result callOnMainContext(std::function<Result()> function)
{
  using Task = std::packaged_task<Result()>;
  // Owned by the call on the main loop, which may still be returning from it when the
  // result wakes this thread.
  auto* task = new Task(std::move(function));
  std::future<Result> result = task->get_future();
  g_main_context_invoke(
      nullptr,
      [](gpointer data) -> gboolean {
        std::unique_ptr<Task> owned(static_cast<Task*>(data));
        (*owned)();
        return G_SOURCE_REMOVE;
      },
      task);
  return result.get();
}
