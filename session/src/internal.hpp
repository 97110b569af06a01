#pragma once
// Helpers shared by the session's source files.

#include <exception>
#include <string>

namespace kestrel::session {

// What the host is told about an unexpected C++ exception caught in a notification handler.
inline std::string InternalErrorText(const std::exception& e) {
  return std::string("Internal error in the paging control: ") + e.what() +
         ". Close the connection and send again; report this if it repeats.";
}

}  // namespace kestrel::session
