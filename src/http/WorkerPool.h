#pragma once

#include "util/ThreadSet.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

// Threads running tasks in the order they were handed over, with a bounded number of tasks
// waiting. The pool starts without threads, starts one for a task that finds none idle (up
// to its limit) and ends one that has been idle for a while. Handing a task over is two
// steps, so that a caller can prepare for the task to run (and for it to run at once) only
// once it is sure to be taken.
class WorkerPool {
public:
  // At most `maxThreads` threads, each ending after `idleTimeout` without a task; at most
  // `maxWaiting` tasks wait for one of them. Threads are named `threadName`.
  WorkerPool(size_t maxThreads, size_t maxWaiting, std::chrono::milliseconds idleTimeout,
             const char* threadName);
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

  // The threads running now, busy or idle.
  size_t threadCount();

  // On one of a pool's threads, whether that pool is stopping, so that a long task can end
  // early; false elsewhere.
  static bool stopping();

private:
  void run();
  // With the mutex held: wakes an idle thread for a new task, or starts one.
  void dispatchLocked();

  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable allEnded;
  std::deque<std::function<void()>> tasks;
  const size_t maxThreads;
  const size_t maxWaiting;
  const std::chrono::milliseconds idleTimeout;
  const char* const threadName;
  // Tasks waiting or reserved.
  size_t waiting = 0;
  // Threads waiting for a task, and those of them woken that have not yet looked.
  size_t idle = 0;
  size_t wakesPending = 0;
  std::atomic<bool> stopRequested{false};
  ThreadSet threads;
};
