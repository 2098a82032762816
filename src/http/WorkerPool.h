#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A fixed set of threads running tasks in the order they were handed over, with a bounded
// number of tasks waiting. Handing a task over is two steps, so that a caller can prepare for
// the task to run (and for it to run at once) only once it is sure to be taken.
class WorkerPool {
public:
  // Starts `threads` threads; at most `maxWaiting` tasks wait for one of them.
  WorkerPool(size_t threads, size_t maxWaiting);
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  // Stops (see stop).
  ~WorkerPool();

  // Takes a waiting place for one task. False when every place is taken or the pool stops.
  bool reserve();
  // Hands over `task` in a place taken by `reserve`; it is always run.
  void post(std::function<void()> task);

  // Takes no more places, runs every task handed over or reserved, and joins the threads.
  // Safe to call more than once; not from one of the pool's own threads.
  void stop();

  // On one of a pool's threads, whether that pool is stopping, so that a long task can end
  // early; false elsewhere.
  static bool stopping();

private:
  void run();

  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> tasks;
  const size_t maxWaiting;
  // Tasks waiting or reserved.
  size_t waiting = 0;
  std::atomic<bool> stopRequested{false};
  std::vector<std::thread> threads;
};
