#pragma once
// The web console the relay serves at "/": its static files and the headers that keep them,
// and the API they call, safe in a browser. The HTTP router adds the console's routes with
// AddConsoleRoutes and puts AddApiHeaders on every API answer.

#include <restinio/all.hpp>
#include <string_view>

#include "console_files.hpp"

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

// GET / (the console) and GET /console/<file>.
void AddConsoleRoutes(restinio::router::express_router_t<>& router);

// An API answer holds pages and the gateways' words: never stored by a cache or the browser,
// never taken for another type, never framed or run as a page.
template <typename Response>
void AddApiHeaders(Response& response) {
  response.append_header(restinio::http_field::cache_control, "no-store")
      .append_header("X-Content-Type-Options", "nosniff")
      .append_header("Content-Security-Policy", "default-src 'none'; frame-ancestors 'none'");
}

}  // namespace kestrel::relay
