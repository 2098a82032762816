#include "http/WorkerPool.h"

#include "TestSupport.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

TEST(WorkerPoolTest, RefusesBeyondItsWaitingPlacesAndStopsOnlyOnceEveryTakenPlaceHasRun)
{
  WorkerPool pool(1, 2, std::chrono::seconds(30), "test-worker");
  std::promise<void> gate;
  std::promise<void> busy;
  std::promise<void> stopSeen;
  std::atomic<int> ran{0};
  ASSERT_TRUE(pool.reserve());
  pool.post([&]() {
    busy.set_value();
    gate.get_future().wait();
    ++ran;
  });
  busy.get_future().wait(); // the one thread is taken, its waiting place free again
  ASSERT_TRUE(pool.reserve());
  pool.post([&]() {
    while (!WorkerPool::stopping()) {
      std::this_thread::yield();
    }
    stopSeen.set_value();
    ++ran;
  });
  ASSERT_TRUE(pool.reserve()); // handed over only once the pool is stopping
  EXPECT_FALSE(pool.reserve());
  std::thread stopper([&]() { pool.stop(); });
  gate.set_value();
  stopSeen.get_future().wait();
  EXPECT_FALSE(pool.reserve());
  pool.post([&]() { ++ran; });
  stopper.join();
  EXPECT_EQ(ran, 3);
}

TEST(WorkerPoolTest, StartsThreadsOnDemandUpToItsLimitAndEndsThoseIdleTooLong)
{
  WorkerPool pool(2, 8, std::chrono::milliseconds(100), "test-worker");
  EXPECT_EQ(pool.threadCount(), 0u);
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  std::atomic<int> started{0};
  std::atomic<int> ran{0};
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(pool.reserve());
    pool.post([&]() {
      ++started;
      open.wait();
      ++ran;
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (started < 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(started, 2); // the third waits for a thread: the limit holds
  EXPECT_EQ(pool.threadCount(), 2u);
  gate.set_value();
  while ((ran < 3 || pool.threadCount() > 0) && std::chrono::steady_clock::now() < deadline + std::chrono::seconds(2))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(ran, 3);
  EXPECT_EQ(pool.threadCount(), 0u);
  // A task after every thread has gone starts one again.
  std::promise<void> again;
  ASSERT_TRUE(pool.reserve());
  pool.post([&]() { again.set_value(); });
  EXPECT_EQ(again.get_future().wait_for(std::chrono::seconds(2)), std::future_status::ready);
}
