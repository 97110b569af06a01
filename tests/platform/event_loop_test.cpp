// The event loop's Poll, as a host's DoEvents uses it from inside handlers.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "kestrel/platform/event_loop.hpp"

namespace kestrel::platform {
namespace {

TEST(EventLoop, PollNestsOnlyAFewLevels) {
  // Each handler queues the next and polls, as a control does when its host sends the next
  // page from an event: without a bound, the nesting would follow the chain all the way down.
  EventLoop loop;
  int depth = 0, deepest = 0, ran = 0;
  std::function<void()> step = [&] {
    ++ran;
    ++depth;
    deepest = std::max(deepest, depth);
    if (ran < 10000) loop.Post(step);
    loop.Poll();
    --depth;
  };
  loop.Post(step);
  loop.Run();
  EXPECT_EQ(ran, 10000);  // nothing is lost: what a nested poll leaves, the outer loop runs
  EXPECT_LE(deepest, 8);
  EXPECT_GT(deepest, 1);  // and a nested poll still runs what is ready
}

TEST(EventLoop, PollRunsReadyWorkAfterStop) {
  EventLoop loop;
  int ran = 0;
  loop.Post([&] { ++ran; });
  loop.Stop();
  EXPECT_EQ(loop.Poll(), 1u);
  EXPECT_EQ(ran, 1);
}

}  // namespace
}  // namespace kestrel::platform
