#pragma once

#include "util/ThreadSet.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

// A few threads that make the calls into the platform libraries for the WebSocket
// connections, so that a platform call that takes long holds up its own connection and
// nobody else. Each connection posts to a queue of its own; a queue's jobs run one at a
// time, in the order posted, while the threads take turns among the queues that have work
// (a turn runs all the jobs a queue holds when the thread takes it). A sleeping thread is
// woken only for a queue that no thread between two turns will take, and a thread is started
// (up to the limit) only when none sleeps: there are none until there is work, and a thread
// idle for a while ends.
class PlatformWorkers {
public:
  class Queue;

  // At most `maxThreads` threads (at least one), each ending after `idleTimeout` without work.
  PlatformWorkers(std::size_t maxThreads, std::chrono::milliseconds idleTimeout);
  // Stops (see stop).
  ~PlatformWorkers();
  PlatformWorkers(const PlatformWorkers&) = delete;
  PlatformWorkers& operator=(const PlatformWorkers&) = delete;

  // A new, empty queue.
  std::shared_ptr<Queue> newQueue();
  // Runs `job` on one of the threads after the jobs posted to `queue` before it. A job
  // must not throw (what it throws is logged and dropped). Once stopped, runs it at once.
  void post(const std::shared_ptr<Queue>& queue, std::function<void()> job);
  // Lets go of `object` on one of the threads, so that a destructor that calls the
  // platform does not run on the caller's.
  void release(std::shared_ptr<void> object);
  // Runs every job posted so far, then ends the threads. Any thread but the workers'.
  void stop();

  // The threads running now, busy or idle.
  std::size_t threadCount();

private:
  void run();
  // With the mutex held: whether a ready queue has no thread coming, in which case the
  // caller wakes one (counted as on its way from now on); starts one when none sleeps.
  bool wakeNeeded();

  std::mutex mutex;
  std::condition_variable workAvailable;
  std::condition_variable allEnded;
  const std::size_t maxThreads;
  const std::chrono::milliseconds idleTimeout;
  std::deque<std::shared_ptr<Queue>> ready;
  bool stopping = false;
  bool stopped = false;
  std::size_t idle = 0;         // threads waiting for work
  std::size_t wakesPending = 0; // threads woken that have not yet looked at `ready`
  std::size_t starting = 0;     // threads started that have not yet looked at `ready`
  // Threads done with a turn, on their way back to `ready` (counted without the mutex).
  std::atomic<std::size_t> returning{0};
  std::shared_ptr<Queue> releases;
  ThreadSet threads;
};

// The jobs of one connection; guarded by the owning PlatformWorkers' mutex.
class PlatformWorkers::Queue {
  friend class PlatformWorkers;
  std::deque<std::function<void()>> jobs;
  // Queued in `ready` or running on a thread: no other thread may take it.
  bool scheduled = false;
};
