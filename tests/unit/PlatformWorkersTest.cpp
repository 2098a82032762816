#include "ws/PlatformWorkers.h"

#include "TestSupport.h"

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// True once `condition` holds, false after two seconds.
template <typename Condition>
bool eventually(Condition condition)
{
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

} // namespace

TEST(PlatformWorkersTest, ThreadsComeWithWorkUpToTheLimitAndGoWhenIdle)
{
  PlatformWorkers workers(2, std::chrono::milliseconds(100));
  EXPECT_EQ(workers.threadCount(), 0u);
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  std::atomic<int> started{0};
  std::atomic<int> ran{0};
  // Three connections each held up by a slow call: two run at once, the third waits for a
  // thread instead of getting one of its own.
  std::vector<std::shared_ptr<PlatformWorkers::Queue>> queues;
  for (int i = 0; i < 3; ++i) {
    queues.push_back(workers.newQueue());
    workers.post(queues.back(), [&]() {
      ++started;
      open.wait();
      ++ran;
    });
  }
  ASSERT_TRUE(eventually([&]() { return started == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(started, 2);
  EXPECT_EQ(workers.threadCount(), 2u);
  gate.set_value();
  ASSERT_TRUE(eventually([&]() { return ran == 3; }));
  EXPECT_TRUE(eventually([&]() { return workers.threadCount() == 0; }));
  // Work after the threads have gone starts one again.
  std::promise<void> again;
  workers.post(queues[0], [&]() { again.set_value(); });
  EXPECT_EQ(again.get_future().wait_for(std::chrono::seconds(2)), std::future_status::ready);
}

TEST(PlatformWorkersTest, OneQueueRunsInOrderAndStopRunsWhatWasPosted)
{
  PlatformWorkers workers(4, std::chrono::milliseconds(20));
  std::shared_ptr<PlatformWorkers::Queue> queue = workers.newQueue();
  std::mutex mutex;
  std::vector<int> order;
  for (int i = 0; i < 200; ++i) {
    workers.post(queue, [&, i]() {
      std::lock_guard<std::mutex> lock(mutex);
      order.push_back(i);
    });
    // Now and then the threads have gone idle and ended before the next job.
    if (i % 50 == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  workers.stop();
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i)
    EXPECT_EQ(order[i], i);
  EXPECT_EQ(workers.threadCount(), 0u);
}
