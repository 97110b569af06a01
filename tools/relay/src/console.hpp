#pragma once
// The web console the relay serves at "/": its static files and the headers that keep them,
// and the API they call, safe in a browser. The API answers a path of the console with
// ConsoleAnswer and puts AddApiHeaders on every API answer.

#include <optional>
#include <string_view>

#include "console_files.hpp"
#include "http_server.hpp"

namespace kestrel::relay {

// The console's pages run only their own script and style and speak only to this relay; no
// HTML may be written from a string (Trusted Types), no other site may frame them.
inline constexpr const char* kConsolePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'; "
    "require-trusted-types-for 'script'; trusted-types 'none'";

// The file named, or none. "index.html", "console.js", ...
const ConsoleFile* FindConsoleFile(std::string_view name);
// "text/html; charset=utf-8" for "index.html", and so on by the name's ending.
std::string_view ConsoleContentType(std::string_view name);

// Whether `path` is the console's: "/" or "/console/...". Anyone may GET them.
bool IsConsolePath(std::string_view path);
// GET / (the console) and GET /console/<file>: the answer (404 for a file it does not have),
// or none when `path` is no name of a console file.
std::optional<http::Response> ConsoleAnswer(std::string_view path);

// An API answer holds pages and the gateways' words: never stored by a cache or the browser,
// never taken for another type, never framed or run as a page.
inline void AddApiHeaders(http::Response& response) {
  response.headers.emplace_back("Cache-Control", "no-store");
  response.headers.emplace_back("X-Content-Type-Options", "nosniff");
  response.headers.emplace_back("Content-Security-Policy",
                                "default-src 'none'; frame-ancestors 'none'");
}

}  // namespace kestrel::relay
