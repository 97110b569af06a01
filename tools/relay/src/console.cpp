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

restinio::request_handling_status_t Serve(const restinio::request_handle_t& req,
                                          std::string_view name) {
  const ConsoleFile* file = FindConsoleFile(name);
  if (!file) {
    return req->create_response(restinio::status_not_found())
        .append_header(restinio::http_field::content_type, "text/plain; charset=utf-8")
        .append_header("X-Content-Type-Options", "nosniff")
        .set_body("no such file of the console\n")
        .done();
  }
  return req->create_response(restinio::status_ok())
      .append_header(restinio::http_field::content_type, std::string(ConsoleContentType(name)))
      .append_header("Content-Security-Policy", kConsolePolicy)
      .append_header("X-Content-Type-Options", "nosniff")
      .append_header(restinio::http_field::x_frame_options, "DENY")
      .append_header("Referrer-Policy", "no-referrer")
      .append_header("Cross-Origin-Opener-Policy", "same-origin")
      .append_header("Cross-Origin-Resource-Policy", "same-origin")
      // The files change only with the program: the browser checks again on each load.
      .append_header(restinio::http_field::cache_control, "no-cache")
      .set_body(std::string(file->body))
      .done();
}

}  // namespace

void AddConsoleRoutes(restinio::router::express_router_t<>& router) {
  router.http_get("/",
                  [](restinio::request_handle_t req, auto) { return Serve(req, "index.html"); });
  router.http_get(R"(/console/:name([A-Za-z0-9_-]+\.[a-z]+))",
                  [](restinio::request_handle_t req, auto params) {
                    const std::string_view name = params["name"];
                    // The page itself is only ever served at "/".
                    return Serve(req, name == "index.html" ? std::string_view() : name);
                  });
}

}  // namespace kestrel::relay
