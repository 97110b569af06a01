#pragma once
// A client of a running relay's HTTP API, for snpp-relay's operator commands, over libcurl.
//
// The token goes out only in the Authorization header: a URL holding a user name, password,
// query or fragment is refused, redirects are not followed (they could carry the token to
// another server), and only http and https are spoken; https certificates are verified.
// Blocking; one thread.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrel::relay {

// A failure of an operator command: what to print and the exit code (snpp-send's codes: 1
// failed, 2 bad usage or input, 3 timed out).
class OperatorError : public std::runtime_error {
 public:
  OperatorError(int exit_code, const std::string& what)
      : std::runtime_error(what), exit_code_(exit_code) {}
  int exit_code() const { return exit_code_; }

 private:
  int exit_code_;
};

// `text` for one path segment or query value: everything but letters, digits, '-', '_' and
// '~' as %XX ('.' too, so that "." and ".." stay a pager id and never become path steps).
std::string EncodeComponent(std::string_view text);

// The relay's base URL ("http://127.0.0.1:8444", "https://relay.example.net/paging") checked and
// without a trailing '/'. Throws OperatorError (exit 2) saying what is wrong.
std::string CheckRelayUrl(std::string_view url);

struct HttpAnswer {
  long status = 0;
  std::string body;
};

class RelayClient {
 public:
  // `base_url` as CheckRelayUrl returns it; `token` one line of printable ASCII; `ca_file`
  // empty for the system's CA store.
  RelayClient(std::string base_url, std::string token, std::string ca_file, long timeout_ms);

  // `path` starts with "/v1/". Throws OperatorError when no answer came: exit 3 when the time
  // ran out, 1 otherwise. Any HTTP status is an answer.
  HttpAnswer Get(const std::string& path) const;
  HttpAnswer Post(const std::string& path, const std::string& json_body) const;

  const std::string& base_url() const { return base_url_; }

 private:
  HttpAnswer Perform(const std::string& path, const std::string* post_body) const;

  std::string base_url_;
  std::string token_;
  std::string ca_file_;
  long timeout_ms_;
};

}  // namespace kestrel::relay
