#pragma once
// The Asio side of EventLoop, for the platform's own adapters and for programs that also run
// Asio-based servers on the same loop (the sandbox server). The paging session never includes it.

#include <asio/io_context.hpp>

#include "kestrel/platform/event_loop.hpp"

namespace kestrel::platform {

struct EventLoop::Impl {
  asio::io_context io{1};  // one thread runs it: Asio may drop its internal locking
  int poll_depth = 0;      // Poll() calls now running, one inside another
};

inline asio::io_context& AsioContext(EventLoop& loop) {
  return loop.impl().io;
}

}  // namespace kestrel::platform
