// Serving the console's files from the program itself.

#include "console.hpp"

namespace kestrel::relay {

const ConsoleFile* FindConsoleFile(std::string_view name) {
  for (const auto& file : ConsoleFiles()) {
    if (file.name == name) return &file;
  }
  return nullptr;
}

std::string_view ConsoleContentType(std::string_view name) {
  const auto dot = name.rfind('.');
  const auto ending = dot == name.npos ? std::string_view() : name.substr(dot);
  if (ending == ".html") return "text/html; charset=utf-8";
  if (ending == ".js") return "text/javascript; charset=utf-8";
  if (ending == ".css") return "text/css; charset=utf-8";
  if (ending == ".svg") return "image/svg+xml";
  return "application/octet-stream";
}

namespace {

http::Response Serve(std::string_view name) {
  http::Response response;
  const ConsoleFile* file = FindConsoleFile(name);
  if (!file) {
    response.status = 404;
    response.content_type = "text/plain; charset=utf-8";
    response.headers = {{"X-Content-Type-Options", "nosniff"}};
    response.body = "no such file of the console\n";
    return response;
  }
  response.content_type = std::string(ConsoleContentType(name));
  response.headers = {
      {"Content-Security-Policy", kConsolePolicy},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Referrer-Policy", "no-referrer"},
      {"Cross-Origin-Opener-Policy", "same-origin"},
      {"Cross-Origin-Resource-Policy", "same-origin"},
      // The files change only with the program: the browser checks again on each load.
      {"Cache-Control", "no-cache"},
  };
  response.body = std::string(file->body);
  return response;
}

// A file name as the console's files are named: letters, digits, "_" and "-", then one dot
// and a lower-case ending ("console.js").
bool IsFileName(std::string_view name) {
  const auto dot = name.find('.');
  if (dot == 0 || dot == name.npos || dot + 1 == name.size()) return false;
  const auto stem = name.substr(0, dot);
  const auto ending = name.substr(dot + 1);
  return stem.find_first_not_of(
             "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-") == stem.npos &&
         ending.find_first_not_of("abcdefghijklmnopqrstuvwxyz") == ending.npos;
}

constexpr std::string_view kFiles = "/console/";

}  // namespace

bool IsConsolePath(std::string_view path) {
  return path == "/" || path.starts_with(kFiles);
}

std::optional<http::Response> ConsoleAnswer(std::string_view path) {
  if (path == "/") return Serve("index.html");
  if (!path.starts_with(kFiles) || !IsFileName(path.substr(kFiles.size()))) return std::nullopt;
  const auto name = path.substr(kFiles.size());
  // The page itself is only ever served at "/".
  return Serve(name == "index.html" ? std::string_view() : name);
}

}  // namespace kestrel::relay
