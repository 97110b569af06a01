#pragma once
// The console's static files, compiled into snpp-relay from tools/relay/console (the build
// writes console_files.cpp with tools/relay/embed_files.cmake).

#include <span>
#include <string_view>

namespace kestrel::relay {

struct ConsoleFile {
  std::string_view name;  // "index.html", "console.js", ...
  std::string_view body;
};

std::span<const ConsoleFile> ConsoleFiles();

}  // namespace kestrel::relay
