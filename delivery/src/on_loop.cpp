// The Environment of a Delivery that runs on a platform::EventLoop.

#include "kestrel/delivery/delivery.hpp"
#include "kestrel/platform/event_loop.hpp"

namespace kestrel::delivery {

Environment OnLoop(platform::EventLoop& loop) {
  Environment env;
  env.make_socket = [&loop] { return platform::MakeAsioSocket(loop); };
  env.make_timer = [&loop] { return platform::MakeAsioTimer(loop); };
  env.now = [] { return Clock::now(); };
  env.post = [&loop](std::function<void()> fn) { loop.Post(std::move(fn)); };
  return env;
}

}  // namespace kestrel::delivery
