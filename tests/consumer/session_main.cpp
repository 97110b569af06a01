// Links kestrel::session from the source tree and names a protocol state.
#include <cstdio>

#include "kestrel/session/session_state.hpp"

int main() {
  const auto name = kestrel::session::ToString(11);
  std::printf("consumer_session: state 11 is %s\n", name.c_str());
  return name == "WaitPage" ? 0 : 1;
}
