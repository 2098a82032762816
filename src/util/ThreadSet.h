#pragma once

#include <algorithm>
#include <cstddef>
#include <list>
#include <thread>
#include <utility>
#include <vector>

// The threads of a pool that grows on demand and shrinks when idle: a thread that ends
// cannot join itself, so it hands its own std::thread over to be joined by the next caller
// that starts a thread or stops the pool. Guarded by the pool's own mutex: every call but
// join() is made with it held.
class ThreadSet {
public:
  ThreadSet() = default;
  ThreadSet(const ThreadSet&) = delete;
  ThreadSet& operator=(const ThreadSet&) = delete;

  // Threads started and not yet ended.
  std::size_t running() const { return live.size(); }

  // Starts a thread running `body`.
  template <typename Body>
  void start(Body&& body)
  {
    live.emplace_back(std::forward<Body>(body));
  }

  // Called by a thread of the set about to return: it is joined later.
  void leaving()
  {
    const auto self = std::find_if(live.begin(), live.end(), [](const std::thread& thread) {
      return thread.get_id() == std::this_thread::get_id();
    });
    if (self != live.end())
      ended.splice(ended.end(), live, self);
  }

  // The threads that have left, to be joined without the pool's mutex held.
  std::vector<std::thread> takeEnded()
  {
    std::vector<std::thread> taken;
    taken.reserve(ended.size());
    for (std::thread& thread : ended)
      taken.push_back(std::move(thread));
    ended.clear();
    return taken;
  }

  // Joins `threads` (from takeEnded); without the pool's mutex.
  static void join(std::vector<std::thread>& threads)
  {
    for (std::thread& thread : threads) {
      if (thread.joinable())
        thread.join();
    }
    threads.clear();
  }

private:
  std::list<std::thread> live;
  std::list<std::thread> ended;
};
