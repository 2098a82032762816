#include "http/WorkerPool.h"

#include "TestSupport.h"

#include <atomic>
#include <future>

TEST(WorkerPoolTest, RefusesBeyondItsWaitingPlacesAndStopsOnlyOnceEveryTakenPlaceHasRun)
{
  WorkerPool pool(1, 2);
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
