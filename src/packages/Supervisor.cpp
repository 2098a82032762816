#include "packages/Supervisor.h"

#include "packages/OutputLineBuffer.h"
#include "util/Limits.h"
#include "util/Logger.h"
#include "util/ThreadName.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <optional>
#include <system_error>
#include <utility>

namespace {

constexpr size_t readChunkSize = 256;
// Chunks read from one pipe per round: a chatty process cannot keep the others waiting;
// what it has left is read in the next round.
constexpr int chunksPerRound = 16;
// What is still read from a pipe once its process has ended (a descendant may hold it open
// and keep writing).
constexpr size_t drainLimit = 64 * 1024;
// The end of a process that cannot be polled (no process descriptor) is checked this often.
constexpr int exitCheckIntervalMs = 100;
// A tree that SIGKILL has not emptied in this long (a process stuck in the kernel) is given
// up on, so that its package can be stopped at all.
constexpr std::chrono::seconds killedTreeGiveUp{5};
constexpr int maxEvents = 64;

// Each watched process has three keys in the epoll set: its id times four plus one of
// these. Key 0 is the wake-up descriptor (ids start at 1).
enum Kind : uint64_t { ProcessEnd = 0, OutPipe = 1, ErrPipe = 2 };
constexpr uint64_t wakeKey = 0;

uint64_t keyOf(Supervisor::Id id, Kind kind)
{
  return id * 4 + kind;
}

void setNonBlocking(int fd)
{
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) {
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  }
}

bool addToPoller(int poller, int fd, uint64_t key)
{
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = key;
  return epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event) == 0;
}

void logFailure(const char* what, const std::exception& error)
{
  try {
    Logger::log(std::string("Package supervision: ") + what + ": " + error.what(), LogLevel::Error);
  } catch (...) {
  }
}

} // namespace

struct Supervisor::Watched {
  struct Stream {
    UniqueFd fd;
    OutputLineBuffer lines;
  };

  static Stream makeStream(UniqueFd fd, Observer& observer, Pipe pipe, size_t maxLineLength)
  {
    return Stream{std::move(fd),
                  OutputLineBuffer(
                      maxLineLength,
                      [&observer, pipe](const std::string& line) { observer.outputLine(pipe, line); },
                      [&observer, pipe](size_t dropped) { observer.outputCut(pipe, dropped); })};
  }

  Watched(Id id, std::shared_ptr<ChildProcess> process, UniqueFd outFd, UniqueFd errFd, Observer& observer,
          size_t maxLineLength, std::optional<ProcessTree> tree)
      : id(id), process(std::move(process)), tree(std::move(tree)), observer(observer),
        out(makeStream(std::move(outFd), observer, Pipe::Out, maxLineLength)),
        err(makeStream(std::move(errFd), observer, Pipe::Err, maxLineLength))
  {
  }

  Stream& stream(Pipe pipe) { return pipe == Pipe::Out ? out : err; }

  const Id id;
  const std::shared_ptr<ChildProcess> process;
  const std::optional<ProcessTree> tree;
  Observer& observer;
  Stream out;
  Stream err;
  // Its end is checked every round rather than signalled by its process descriptor.
  bool checkOnTimer = false;
  // Its process descriptor polled readable: it has ended.
  bool endSeen = false;
  bool requested = false;
  bool killed = false;
  // When SIGKILL follows the SIGTERM already sent.
  std::optional<std::chrono::steady_clock::time_point> killAt;
  std::chrono::steady_clock::time_point killedAt;
  // The process has been collected; what is left of its tree is being waited for.
  bool mainEnded = false;
  std::chrono::steady_clock::time_point nextSample;
  // The output read in the current second, and whether its pipes wait for the next one.
  std::chrono::steady_clock::time_point outputWindow;
  size_t outputBytes = 0;
  bool outputPaused = false;
};

Supervisor::Supervisor(size_t maxLineLength, std::chrono::milliseconds grace, size_t outputBytesPerSecond)
    : maxLineLength(maxLineLength), gracePeriod(grace), outputBudget(outputBytesPerSecond), poller(epoll_create1(EPOLL_CLOEXEC)),
      wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
  if (!poller || !wakeFd || !addToPoller(poller.get(), wakeFd.get(), wakeKey)) {
    throw std::system_error(errno, std::generic_category(), "cannot set up package supervision");
  }
  thread = std::thread(&Supervisor::run, this);
}

Supervisor::~Supervisor()
{
  {
    std::lock_guard<std::mutex> lock(mutex);
    quitting = true;
  }
  wake();
  thread.join();
}

Supervisor::Id Supervisor::watch(std::shared_ptr<ChildProcess> process, UniqueFd out, UniqueFd err,
                                 Observer& observer, std::optional<ProcessTree> tree)
{
  for (const UniqueFd* fd : {&out, &err}) {
    if (*fd) {
      setNonBlocking(fd->get());
    }
  }
  Id id;
  {
    std::lock_guard<std::mutex> lock(mutex);
    id = nextId++;
    arrivals.push_back(std::make_unique<Watched>(id, std::move(process), std::move(out), std::move(err),
                                                 observer, maxLineLength, std::move(tree)));
    live.insert(id);
  }
  wake();
  return id;
}

void Supervisor::stop(Id id)
{
  std::unique_lock<std::mutex> lock(mutex);
  if (live.count(id) == 0) {
    return;
  }
  stopRequests.push_back(id);
  lock.unlock();
  wake();
  lock.lock();
  endedCondition.wait(lock, [this, id]() { return live.count(id) == 0; });
}

void Supervisor::wake()
{
  const uint64_t one = 1;
  ssize_t ignored = ::write(wakeFd.get(), &one, sizeof one);
  (void)ignored;
}

void Supervisor::run()
{
  ThreadName::set("supervisor");
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (quitting) {
        // Nothing will report these any more: a caller still waiting must not wait forever.
        live.clear();
        break;
      }
    }
    try {
      round();
    } catch (const std::exception& error) {
      logFailure("supervising", error);
      poll(nullptr, 0, exitCheckIntervalMs);
    }
  }
  endedCondition.notify_all();
}

void Supervisor::round()
{
  epoll_event events[maxEvents];
  std::vector<std::unique_ptr<Watched>> arrived;
  std::vector<Id> stops;
  {
    std::lock_guard<std::mutex> lock(mutex);
    arrived.swap(arrivals);
    stops.swap(stopRequests);
  }
  for (auto& watched : arrived) {
    arrive(std::move(watched));
  }
  for (Id id : stops) {
    auto entry = watching.find(id);
    if (entry != watching.end()) {
      requestStop(*entry->second);
      if (over(*entry->second, std::chrono::steady_clock::now())) {
        finish(*entry->second);
        watching.erase(entry);
      }
    }
  }

  const int count = epoll_wait(poller.get(), events, maxEvents, timeoutMs());
  if (count < 0) {
    if (errno != EINTR) {
      // Not expected; keep the thread from spinning should it persist.
      poll(nullptr, 0, exitCheckIntervalMs);
    }
    return;
  }
  for (int i = 0; i < count; ++i) {
    const uint64_t key = events[i].data.u64;
    if (key == wakeKey) {
      uint64_t value;
      ssize_t ignored = ::read(wakeFd.get(), &value, sizeof value);
      (void)ignored;
      continue;
    }
    // Removed earlier in this round: its remaining events are stale.
    auto entry = watching.find(key / 4);
    if (entry == watching.end()) {
      continue;
    }
    Watched& watched = *entry->second;
    try {
      switch (key % 4) {
      case ProcessEnd:
        watched.endSeen = true;
        break;
      case OutPipe:
        readSome(watched, Pipe::Out);
        break;
      case ErrPipe:
        readSome(watched, Pipe::Err);
        break;
      }
    } catch (const std::exception& error) {
      logFailure("reading output", error);
    }
  }

  const auto now = std::chrono::steady_clock::now();
  for (auto entry = watching.begin(); entry != watching.end();) {
    Watched& watched = *entry->second;
    if (watched.outputPaused && now >= watched.outputWindow + std::chrono::seconds(1)) {
      pauseOutput(watched, false);
    }
    if (watched.killAt && now >= *watched.killAt) {
      watched.killAt.reset();
      watched.killed = true;
      watched.killedAt = now;
      try {
        watched.observer.killing();
      } catch (const std::exception& error) {
        logFailure("killing", error);
      }
      watched.process->signal(SIGKILL);
      if (watched.tree) {
        watched.tree->kill();
      }
    }
    sampleMemory(watched, now);
    if (over(watched, now)) {
      finish(watched);
      entry = watching.erase(entry);
    } else {
      ++entry;
    }
  }
}

void Supervisor::arrive(std::unique_ptr<Watched> watched)
{
  const int pid = watched->process->descriptor();
  watched->checkOnTimer = pid < 0 || !addToPoller(poller.get(), pid, keyOf(watched->id, ProcessEnd));
  for (Pipe pipe : {Pipe::Out, Pipe::Err}) {
    Watched::Stream& stream = watched->stream(pipe);
    if (stream.fd && !addToPoller(poller.get(), stream.fd.get(),
                                  keyOf(watched->id, pipe == Pipe::Out ? OutPipe : ErrPipe))) {
      // Unread, the pipe would fill and block its writer: closed, it fails the writes.
      stream.fd.reset();
    }
  }
  const Id id = watched->id;
  watching.emplace(id, std::move(watched));
}

void Supervisor::requestStop(Watched& watched)
{
  watched.requested = true;
  terminate(watched);
}

void Supervisor::terminate(Watched& watched)
{
  if (watched.killAt || watched.killed) {
    return;
  }
  const bool mainRunning = !watched.process->reap();
  const bool treeLeft = watched.tree && !watched.tree->empty();
  if (!mainRunning && !treeLeft) {
    return;
  }
  // Once each: the tree holds the process, and a program may count the signals it gets.
  if (watched.tree) {
    watched.tree->signal(SIGTERM);
  } else {
    watched.process->signal(SIGTERM);
  }
  watched.killAt = std::chrono::steady_clock::now() + gracePeriod;
}

bool Supervisor::over(Watched& watched, std::chrono::steady_clock::time_point now)
{
  if (!watched.mainEnded) {
    if (!(watched.endSeen || watched.checkOnTimer || watched.requested) || !watched.process->reap()) {
      return false;
    }
    watched.mainEnded = true;
    if (!watched.tree) {
      return true;
    }
    // Collected, its descriptor would poll readable forever: the rest is checked on the timer.
    if (!watched.checkOnTimer) {
      epoll_ctl(poller.get(), EPOLL_CTL_DEL, watched.process->descriptor(), nullptr);
      watched.checkOnTimer = true;
    }
  }
  if (!watched.tree || watched.tree->empty()) {
    return true;
  }
  // What the process left behind goes as the process would have on a stop.
  terminate(watched);
  if (watched.killed && now - watched.killedAt >= killedTreeGiveUp) {
    Logger::log("Package supervision: processes of group " + std::to_string(watched.tree->groupId()) +
                    " outlived SIGKILL; no longer waited for",
                LogLevel::Error);
    return true;
  }
  return false;
}

void Supervisor::sampleMemory(Watched& watched, std::chrono::steady_clock::time_point now)
{
  if (now < watched.nextSample || watched.mainEnded || watched.killAt || watched.killed) {
    return;
  }
  const uint64_t limitKib = watched.observer.memoryLimitKib();
  if (limitKib == 0) {
    return;
  }
  watched.nextSample = now + std::chrono::milliseconds(Limits::packageMemorySampleMs);
  uint64_t residentKib = 0;
  if (watched.tree) {
    residentKib = watched.tree->residentKib();
  } else if (const auto usage = watched.process->usage()) {
    residentKib = usage->rssKib;
  }
  if (residentKib > limitKib) {
    watched.observer.memoryExceeded(limitKib, residentKib);
    terminate(watched);
  }
}

void Supervisor::pauseOutput(Watched& watched, bool paused)
{
  watched.outputPaused = paused;
  for (Pipe pipe : {Pipe::Out, Pipe::Err}) {
    Watched::Stream& stream = watched.stream(pipe);
    // Out of the set altogether: a hang-up would still be reported for a descriptor kept in.
    if (!stream.fd) {
      continue;
    }
    if (paused) {
      epoll_ctl(poller.get(), EPOLL_CTL_DEL, stream.fd.get(), nullptr);
    } else if (!addToPoller(poller.get(), stream.fd.get(), keyOf(watched.id, pipe == Pipe::Out ? OutPipe : ErrPipe))) {
      stream.fd.reset();
    }
  }
}

void Supervisor::readSome(Watched& watched, Pipe pipe)
{
  Watched::Stream& stream = watched.stream(pipe);
  const auto now = std::chrono::steady_clock::now();
  if (now >= watched.outputWindow + std::chrono::seconds(1)) {
    watched.outputWindow = now;
    watched.outputBytes = 0;
  }
  for (int chunk = 0; chunk < chunksPerRound && stream.fd; ++chunk) {
    if (watched.outputBytes >= outputBudget && !watched.mainEnded) {
      pauseOutput(watched, true);
      return;
    }
    char data[readChunkSize];
    const ssize_t count = ::read(stream.fd.get(), data, sizeof data);
    if (count > 0) {
      watched.outputBytes += static_cast<size_t>(count);
      stream.lines.append(data, static_cast<size_t>(count));
      if (static_cast<size_t>(count) < sizeof data) {
        return;
      }
      continue;
    }
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count == 0 || errno != EAGAIN) {
      // At its end (or broken): level-triggered, it would be reported ready forever.
      epoll_ctl(poller.get(), EPOLL_CTL_DEL, stream.fd.get(), nullptr);
      stream.fd.reset();
    }
    return;
  }
}

// The process has been collected: what its pipes hold now is reported before its end.
void Supervisor::finish(Watched& watched)
{
  for (Pipe pipe : {Pipe::Out, Pipe::Err}) {
    Watched::Stream& stream = watched.stream(pipe);
    try {
      for (size_t total = 0; total < drainLimit && stream.fd; total += readChunkSize * chunksPerRound) {
        readSome(watched, pipe);
        pollfd more{stream.fd.get(), POLLIN, 0};
        if (!stream.fd || poll(&more, 1, 0) <= 0) {
          break;
        }
      }
      stream.lines.flushCut();
    } catch (const std::exception& error) {
      logFailure("reading output", error);
    }
    if (stream.fd) {
      epoll_ctl(poller.get(), EPOLL_CTL_DEL, stream.fd.get(), nullptr);
      stream.fd.reset();
    }
  }
  if (!watched.checkOnTimer) {
    epoll_ctl(poller.get(), EPOLL_CTL_DEL, watched.process->descriptor(), nullptr);
  }
  try {
    watched.observer.ended(*watched.process->exitStatus(), watched.requested, watched.killed);
  } catch (const std::exception& error) {
    logFailure("recording an end", error);
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    live.erase(watched.id);
  }
  endedCondition.notify_all();
}

int Supervisor::timeoutMs() const
{
  const auto now = std::chrono::steady_clock::now();
  int timeout = -1;
  auto atMost = [&timeout](int ms) { timeout = timeout < 0 ? ms : std::min(timeout, ms); };
  for (const auto& entry : watching) {
    const Watched& watched = *entry.second;
    if (watched.killAt) {
      // Rounded up: waking before the deadline would only spin.
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*watched.killAt - now);
      atMost(static_cast<int>(std::max<long long>(0, left.count())));
    }
    if (watched.checkOnTimer) {
      atMost(exitCheckIntervalMs);
    }
    if (watched.outputPaused) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(watched.outputWindow +
                                                                      std::chrono::seconds(1) - now);
      atMost(static_cast<int>(std::max<long long>(0, left.count())));
    }
    if (!watched.mainEnded && !watched.killAt && !watched.killed && watched.observer.memoryLimitKib() > 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(watched.nextSample - now);
      atMost(static_cast<int>(std::max<long long>(0, left.count())));
    }
  }
  return timeout;
}
