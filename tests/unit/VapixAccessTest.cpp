#include "camera/VapixAccess.h"

#include "util/MainContextCall.h"

#include "TestSupport.h"

#include <stdexcept>

TEST(VapixAccessTest, PortIsTheLeadingNumberOfTheTrimmedValue)
{
  EXPECT_EQ(VapixAccess::parsePort("80"), 80u);
  EXPECT_EQ(VapixAccess::parsePort("  80 \n"), 80u);
  EXPECT_EQ(VapixAccess::parsePort("8080abc"), 8080u);
  EXPECT_EQ(VapixAccess::parsePort("65535"), 65535u);
}

// The refusal's text is checked end to end, at start-up.
TEST(VapixAccessTest, ValueThatIsNoPortIsRefused)
{
  for (const char* text : {"abc", " http ", "", "-80", "0", "65536", "99999999999999999999"}) {
    EXPECT_THROW(VapixAccess::parsePort(text), std::runtime_error) << text;
  }
}

// The port is read through the parameter library, whose calls belong to the main loop even
// when a request on another thread renews the port.
TEST(VapixAccessTest, PlatformCallsFromOtherThreadsRunOnTheMainLoop)
{
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  const std::thread::id loopThread = std::this_thread::get_id();
  std::thread::id ranOn;
  std::thread caller([&]() {
    // The loop owns the context once it runs; before that this thread would take it.
    while (!g_main_loop_is_running(loop)) {
      std::this_thread::yield();
    }
    ranOn = callOnMainContext<std::thread::id>([]() { return std::this_thread::get_id(); });
    EXPECT_THROW(callOnMainContext<int>([]() -> int { throw std::runtime_error("failed"); }),
                 std::runtime_error);
    g_main_loop_quit(loop);
  });
  g_main_loop_run(loop);
  caller.join();
  g_main_loop_unref(loop);
  EXPECT_EQ(ranOn, loopThread);
}
