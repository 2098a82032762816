#include "ws/PlatformWorkers.h"

#include "util/Logger.h"
#include "util/ThreadName.h"

#include <string>
#include <thread>
#include <vector>

PlatformWorkers::PlatformWorkers(std::size_t maxThreads, std::chrono::milliseconds idleTimeout)
    : maxThreads(maxThreads > 0 ? maxThreads : 1), idleTimeout(idleTimeout), releases(std::make_shared<Queue>())
{
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
  // Threads that ended idle since the last post are joined here, so that they do not pile up.
  std::vector<std::thread> ended = threads.takeEnded();
  lock.unlock();
  // Outside the lock, so that the thread woken does not wake only to wait for it.
  if (wake)
    workAvailable.notify_one();
  ThreadSet::join(ended);
}

bool PlatformWorkers::wakeNeeded()
{
  // Waking a thread costs more than most jobs: a queue that a thread already on its way
  // to the list will take does not need one. Threads inside a job do not count, as a
  // platform call may hold one for seconds.
  if (ready.size() <= wakesPending + starting + returning.load())
    return false;
  if (idle > wakesPending) {
    ++wakesPending;
    return true;
  }
  if (threads.running() < maxThreads) {
    ++starting;
    threads.start([this]() { run(); });
  }
  return false;
}

void PlatformWorkers::release(std::shared_ptr<void> object)
{
  post(releases, [held = std::move(object)]() mutable { held.reset(); });
}

void PlatformWorkers::stop()
{
  std::vector<std::thread> ended;
  {
    std::unique_lock<std::mutex> lock(mutex);
    if (stopped)
      return;
    stopping = true;
    workAvailable.notify_all();
    // The threads run what is ready before they end; a job posted meanwhile starts one.
    allEnded.wait(lock, [this]() { return threads.running() == 0 && ready.empty(); });
    stopped = true;
    ended = threads.takeEnded();
  }
  ThreadSet::join(ended);
}

std::size_t PlatformWorkers::threadCount()
{
  std::lock_guard<std::mutex> lock(mutex);
  return threads.running();
}

void PlatformWorkers::run()
{
  ThreadName::set("ws-platform");
  std::deque<std::function<void()>> batch;
  std::unique_lock<std::mutex> lock(mutex);
  --starting;
  for (;;) {
    bool idleTooLong = false;
    while (ready.empty() && !stopping && !idleTooLong) {
      ++idle;
      idleTooLong = workAvailable.wait_for(lock, idleTimeout) == std::cv_status::timeout;
      --idle;
      // A spurious wake-up miscounts this only towards waking one thread too many.
      if (wakesPending > 0)
        --wakesPending;
    }
    if (ready.empty())
      break;
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
  threads.leaving();
  if (threads.running() == 0)
    allEnded.notify_all();
}
