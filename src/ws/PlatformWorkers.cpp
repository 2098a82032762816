#include "ws/PlatformWorkers.h"

#include "util/Logger.h"

#include <exception>
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
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!stopped) {
      queue->jobs.push_back(std::move(job));
      if (queue->scheduled)
        return;
      queue->scheduled = true;
      ready.push_back(queue);
      workAvailable.notify_one();
      return;
    }
  }
  job();
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
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    workAvailable.wait(lock, [this] { return !ready.empty() || stopping; });
    if (ready.empty())
      return;
    std::shared_ptr<Queue> queue = std::move(ready.front());
    ready.pop_front();
    std::function<void()> job = std::move(queue->jobs.front());
    queue->jobs.pop_front();
    lock.unlock();
    try {
      job();
    } catch (const std::exception& e) {
      Logger::log(std::string("WsServer - platform call: ") + e.what(), LogLevel::Error);
    } catch (...) {
      Logger::log("WsServer - platform call: unknown error", LogLevel::Error);
    }
    // Whatever the job held (possibly the last reference to a connection) goes here,
    // outside the lock.
    job = nullptr;
    lock.lock();
    // To the back: a connection with a long backlog takes turns with the others.
    if (queue->jobs.empty()) {
      queue->scheduled = false;
    } else {
      ready.push_back(std::move(queue));
      workAvailable.notify_one();
    }
  }
}
