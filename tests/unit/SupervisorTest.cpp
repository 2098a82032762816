#include "packages/Supervisor.h"

#include "packages/ProcessLauncher.h"

#include "TestSupport.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

struct Recorder : Supervisor::Observer {
  void outputLine(Supervisor::Pipe pipe, const std::string& line) override
  {
    std::lock_guard<std::mutex> lock(mutex);
    (pipe == Supervisor::Pipe::Out ? out : err).push_back(line);
    changed.notify_all();
  }
  void outputCut(Supervisor::Pipe, size_t) override {}
  void killing() override { killedAfterGrace = true; }
  void ended(const ExitStatus& status, bool requested, bool killed) override
  {
    std::lock_guard<std::mutex> lock(mutex);
    exit = status.describe() + (requested ? " requested" : "") + (killed ? " killed" : "");
    linesAtEnd = out.size() + err.size();
    changed.notify_all();
  }
  template <typename Done> bool waitUntil(Done done)
  {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&]() { return done(*this); });
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> out, err;
  std::string exit;
  size_t linesAtEnd = 0;
  bool killedAfterGrace = false;
  uint64_t limitKib = 0;
  uint64_t exceededAtKib = 0;

  uint64_t memoryLimitKib() const override { return limitKib; }
  void memoryExceeded(uint64_t, uint64_t residentKib) override { exceededAtKib = residentKib; }
};

// Runs `script` with sh; with `asTree`, in a process group of its own watched as one tree.
Supervisor::Id start(Supervisor& supervisor, Recorder& recorder, const std::string& script, bool asTree = false,
                     pid_t* pid = nullptr)
{
  int outRead, outWrite, errRead, errWrite;
  EXPECT_TRUE(makePipe(outRead, outWrite) && makePipe(errRead, errWrite));
  UniqueFd outWriter(outWrite), errWriter(errWrite);
  LaunchIsolation isolation;
  isolation.ownSession = asTree;
  const LaunchResult launched =
      launchProcess("/bin/sh", {"sh", "-c", script}, {}, "/", outWrite, errWrite, isolation);
  if (pid != nullptr) {
    *pid = launched.pid;
  }
  std::optional<ProcessTree> tree;
  if (asTree) {
    tree.emplace(launched.pid, "");
  }
  return supervisor.watch(std::make_shared<ChildProcess>(launched.pid), UniqueFd(outRead), UniqueFd(errRead),
                          recorder, tree);
}

std::vector<std::string> numbered(const std::string& prefix, int count)
{
  std::vector<std::string> lines;
  for (int i = 1; i <= count; ++i) {
    lines.push_back(prefix + std::to_string(i) + std::string(60, '.'));
  }
  return lines;
}

TEST(SupervisorTest, ManyChildrenAtOnceAreReapedWithTheirCodesAfterAllTheirOutput)
{
  Supervisor supervisor(4096);
  constexpr int children = 24;
  std::vector<Recorder> recorders(children + 1);
  for (int i = 0; i < children; ++i) {
    start(supervisor, recorders[i],
          "i=1; while [ $i -le 200 ]; do echo o$i" + std::string(60, '.') + "; echo e$i" +
              std::string(60, '.') + " >&2; i=$((i+1)); done; printf unfinished; exit " + std::to_string(i));
  }
  // Closes its standard output early and keeps running: its end and later stderr still count.
  start(supervisor, recorders[children],
        "echo o1" + std::string(60, '.') + "; exec 1>&-; sleep 0.3; echo late >&2; exit 9");
  for (Recorder& recorder : recorders) {
    ASSERT_TRUE(recorder.waitUntil([](Recorder& r) { return !r.exit.empty(); })) << "an end never reported";
  }
  for (int i = 0; i < children; ++i) {
    std::lock_guard<std::mutex> lock(recorders[i].mutex);
    EXPECT_EQ(recorders[i].exit, "with code " + std::to_string(i));
    EXPECT_EQ(recorders[i].out, numbered("o", 200)) << "child " << i;
    EXPECT_EQ(recorders[i].err, numbered("e", 200)) << "child " << i;
    EXPECT_EQ(recorders[i].linesAtEnd, 400u) << "child " << i;
  }
  EXPECT_EQ(recorders[children].exit, "with code 9");
  EXPECT_EQ(recorders[children].out, numbered("o", 1));
  EXPECT_EQ(recorders[children].err, std::vector<std::string>{"late"});
}

TEST(SupervisorTest, StopsFromSeveralThreadsEndGracefullyOrByKillAfterTheGrace)
{
  Supervisor supervisor(4096, std::chrono::milliseconds(300));
  Recorder graceful, stubborn;
  const auto loop = "echo ready; while :; do sleep 0.05; done";
  const Supervisor::Id first =
      start(supervisor, graceful, std::string("trap 'echo bye; exit 3' TERM; ") + loop);
  const Supervisor::Id second = start(supervisor, stubborn, std::string("trap '' TERM; ") + loop);
  for (Recorder* recorder : {&graceful, &stubborn}) {
    ASSERT_TRUE(recorder->waitUntil([](Recorder& r) { return !r.out.empty(); }));
  }
  std::vector<std::thread> stoppers;
  for (Supervisor::Id id : {first, second, second}) {
    stoppers.emplace_back([&supervisor, id]() { supervisor.stop(id); });
  }
  for (std::thread& stopper : stoppers) {
    stopper.join();
  }
  EXPECT_EQ(graceful.exit, "with code 3 requested");
  EXPECT_EQ(graceful.out, (std::vector<std::string>{"ready", "bye"}));
  EXPECT_FALSE(graceful.killedAfterGrace);
  EXPECT_EQ(stubborn.exit, "by signal SIGKILL requested killed");
  EXPECT_TRUE(stubborn.killedAfterGrace);
  supervisor.stop(first);
}

TEST(SupervisorTest, AProcessTreeEndsOnlyWithItsLastProcessAndAStopEndsEveryOne)
{
  Supervisor supervisor(4096, std::chrono::milliseconds(300));
  // The main process ends at once, leaving a child that ignores SIGTERM: its end is reported
  // once the child, too, has been ended (by SIGKILL after the grace).
  Recorder leaver;
  pid_t leaverPid = 0;
  // Ignored before the child starts, SIGTERM is ignored by the child from its first moment.
  start(supervisor, leaver, "trap '' TERM; sh -c 'while :; do sleep 0.05; done' & echo started; exit 4", true,
        &leaverPid);
  ASSERT_TRUE(leaver.waitUntil([](Recorder& r) { return !r.exit.empty(); }));
  EXPECT_EQ(leaver.exit, "with code 4 killed");
  EXPECT_TRUE(ProcessTree(leaverPid, "").empty());

  // A stop reaches the children of the main process too, and returns once all have ended.
  Recorder parent;
  pid_t parentPid = 0;
  const Supervisor::Id id = start(supervisor, parent, "sleep 30 & sleep 30 & echo started; wait", true, &parentPid);
  ASSERT_TRUE(parent.waitUntil([](Recorder& r) { return !r.out.empty(); }));
  EXPECT_EQ(ProcessTree(parentPid, "").members().size(), 3u);
  supervisor.stop(id);
  EXPECT_TRUE(ProcessTree(parentPid, "").empty());
  EXPECT_EQ(parent.exit, "by signal SIGTERM requested");
}

TEST(SupervisorTest, ATreeOverItsMemoryLimitIsTerminatedAndItsEndIsNotCountedAsRequested)
{
  Supervisor supervisor(4096, std::chrono::milliseconds(300));
  Recorder hog;
  // The shell itself holds a megabyte or two: a limit of 1 KiB is exceeded at the first sample.
  hog.limitKib = 1;
  start(supervisor, hog, "echo started; while :; do sleep 0.05; done", true);
  ASSERT_TRUE(hog.waitUntil([](Recorder& r) { return !r.exit.empty(); }));
  EXPECT_EQ(hog.exit, "by signal SIGTERM");
  EXPECT_GT(hog.exceededAtKib, 1u);
}

} // namespace
