#include "http/WorkerPool.h"

#include "util/Logger.h"
#include "util/ThreadName.h"

#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// The pool the calling thread belongs to.
thread_local const WorkerPool* currentPool = nullptr;

} // namespace

WorkerPool::WorkerPool(size_t maxThreads, size_t maxWaiting, std::chrono::milliseconds idleTimeout,
                       const char* threadName)
    : maxThreads(maxThreads > 0 ? maxThreads : 1), maxWaiting(maxWaiting), idleTimeout(idleTimeout),
      threadName(threadName)
{
}

WorkerPool::~WorkerPool()
{
  stop();
}

bool WorkerPool::reserve()
{
  std::lock_guard<std::mutex> lock(mutex);
  if (stopRequested || waiting >= maxWaiting) {
    return false;
  }
  ++waiting;
  return true;
}

void WorkerPool::post(std::function<void()> task)
{
  std::vector<std::thread> ended;
  {
    std::lock_guard<std::mutex> lock(mutex);
    tasks.push_back(std::move(task));
    dispatchLocked();
    ended = threads.takeEnded();
  }
  ThreadSet::join(ended);
}

void WorkerPool::dispatchLocked()
{
  // A thread already woken takes the task, or one busy now comes back for it; a new thread
  // only when neither can be counted on (a busy thread may be held for long by its task).
  if (idle > wakesPending) {
    ++wakesPending;
    wake.notify_one();
  } else if (threads.running() < maxThreads) {
    threads.start([this]() { run(); });
  }
}

void WorkerPool::stop()
{
  std::vector<std::thread> ended;
  {
    std::unique_lock<std::mutex> lock(mutex);
    stopRequested = true;
    wake.notify_all();
    // A place reserved before the stop still gets its task, and a thread for it.
    allEnded.wait(lock, [this]() { return threads.running() == 0 && waiting == 0; });
    ended = threads.takeEnded();
  }
  ThreadSet::join(ended);
}

size_t WorkerPool::threadCount()
{
  std::lock_guard<std::mutex> lock(mutex);
  return threads.running();
}

bool WorkerPool::stopping()
{
  return currentPool != nullptr && currentPool->stopRequested.load(std::memory_order_relaxed);
}

void WorkerPool::run()
{
  currentPool = this;
  ThreadName::set(threadName);
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    if (tasks.empty()) {
      // A reserved place is a promise of a task: the pool ends only when none is left, and
      // until then a thread stays for it, idle or not.
      if (stopRequested && waiting == 0)
        break;
      ++idle;
      const bool woken = wake.wait_for(lock, idleTimeout, [this]() {
        return !tasks.empty() || (stopRequested && waiting == 0);
      });
      --idle;
      if (wakesPending > 0)
        --wakesPending;
      if (!woken && !stopRequested)
        break;
      continue;
    }
    std::function<void()> task = std::move(tasks.front());
    tasks.pop_front();
    --waiting;
    lock.unlock();
    Logger::runLoggingFailure(task, "HttpServer: worker task failed");
    task = nullptr;
    lock.lock();
  }
  threads.leaving();
  if (threads.running() == 0)
    allEnded.notify_all();
}
