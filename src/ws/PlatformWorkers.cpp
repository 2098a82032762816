#include "ws/PlatformWorkers.h"

#include "util/Logger.h"

#include <string>

PlatformWorkers::PlatformWorkers(std::size_t count) : releases(std::make_shared<Queue>())
{
  if (count == 0)
    count = 1;
  threads.reserve(count);
  for (std::size_t i = 0; i < count; ++i)
    threads.emplace_back(&PlatformWorkers::run, this);
}

PlatformWorkers::~PlatformWorkers()
{
  stop();
}

std::shared_ptr<PlatformWorkers::Queue> PlatformWorkers::newQueue()
{
  return std::make_shared<Queue>();
}

void PlatformWorkers::post(const std::shared_ptr<Queue>& queue, std::function<void()> job)
{
  std::unique_lock<std::mutex> lock(mutex);
  if (stopped) {
    lock.unlock();
    job();
    return;
  }
  queue->jobs.push_back(std::move(job));
  // A queue that is scheduled is run by a thread that comes back for what was added.
  if (queue->scheduled)
    return;
  queue->scheduled = true;
  ready.push_back(queue);
  const bool wake = wakeNeeded();
  lock.unlock();
  // Outside the lock, so that the thread woken does not wake only to wait for it.
  if (wake)
    workAvailable.notify_one();
}

bool PlatformWorkers::wakeNeeded()
{
  // Waking a thread costs more than most jobs: a queue that a thread already on its way
  // to the list will take does not need one. Threads inside a job do not count, as a
  // platform call may hold one for seconds.
  if (ready.size() <= wakesPending + returning.load() || idle <= wakesPending)
    return false;
  ++wakesPending;
  return true;
}

void PlatformWorkers::release(std::shared_ptr<void> object)
{
  post(releases, [held = std::move(object)]() mutable { held.reset(); });
}

void PlatformWorkers::stop()
{
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping)
      return;
    stopping = true;
  }
  workAvailable.notify_all();
  for (std::thread& thread : threads)
    thread.join();
  std::lock_guard<std::mutex> lock(mutex);
  stopped = true;
}

void PlatformWorkers::run()
{
  std::deque<std::function<void()>> batch;
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    while (ready.empty() && !stopping) {
      ++idle;
      workAvailable.wait(lock);
      --idle;
      // A spurious wake-up miscounts this only towards waking one thread too many.
      if (wakesPending > 0)
        --wakesPending;
    }
    if (ready.empty())
      return;
    std::shared_ptr<Queue> queue = std::move(ready.front());
    ready.pop_front();
    const bool wake = wakeNeeded();
    // Everything the queue holds, in one turn: the jobs posted meanwhile wait for the
    // next one, after these.
    batch.swap(queue->jobs);
    lock.unlock();
    if (wake)
      workAvailable.notify_one();
    for (std::function<void()>& job : batch) {
      Logger::runLoggingFailure(job, "WsServer - platform call");
      // Whatever the job held (possibly the last reference to a connection) goes now,
      // outside the lock.
      job = nullptr;
    }
    batch.clear();
    ++returning;
    lock.lock();
    --returning;
    // To the back: a connection with a long backlog takes turns with the others.
    if (queue->jobs.empty())
      queue->scheduled = false;
    else
      ready.push_back(std::move(queue));
  }
}
