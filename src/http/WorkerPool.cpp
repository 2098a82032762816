#include "http/WorkerPool.h"

#include "util/Logger.h"

#include <string>
#include <utility>

namespace {

// The pool the calling thread belongs to.
thread_local const WorkerPool* currentPool = nullptr;

} // namespace

WorkerPool::WorkerPool(size_t threadCount, size_t maxWaiting) : maxWaiting(maxWaiting)
{
  threads.reserve(threadCount);
  for (size_t i = 0; i < threadCount; ++i) {
    threads.emplace_back(&WorkerPool::run, this);
  }
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
  {
    std::lock_guard<std::mutex> lock(mutex);
    tasks.push_back(std::move(task));
  }
  wake.notify_one();
}

void WorkerPool::stop()
{
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopRequested = true;
  }
  wake.notify_all();
  for (std::thread& thread : threads) {
    if (thread.joinable()) {
      thread.join();
    }
  }
}

bool WorkerPool::stopping()
{
  return currentPool != nullptr && currentPool->stopRequested.load(std::memory_order_relaxed);
}

void WorkerPool::run()
{
  currentPool = this;
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex);
      // A reserved place is a promise of a task: the pool ends only when none is left.
      wake.wait(lock, [this]() { return !tasks.empty() || (stopRequested && waiting == 0); });
      if (tasks.empty()) {
        return;
      }
      task = std::move(tasks.front());
      tasks.pop_front();
      --waiting;
      if (stopRequested && waiting == 0) {
        wake.notify_all();
      }
    }
    Logger::runLoggingFailure(task, "HttpServer: worker task failed");
  }
}
