// The Environment of a dispatcher that runs on a platform::EventLoop.

#include "kestrel/platform/event_loop.hpp"
#include "kestrel/relay/dispatcher.hpp"

namespace kestrel::relay {

Environment OnLoop(platform::EventLoop& loop) {
  Environment env;
  env.delivery = delivery::OnLoop(loop);
  env.make_tls_socket = [&loop](std::shared_ptr<const platform::TlsContext> context) {
    return platform::MakeAsioTlsSocket(loop, std::move(context));
  };
  return env;
}

}  // namespace kestrel::relay
