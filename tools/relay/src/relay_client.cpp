#include "relay_client.hpp"

#include <curl/curl.h>

#include <memory>

namespace kestrel::relay {

namespace {

// Larger answers are cut off: no API answer comes near it, and a wrong server may send forever.
constexpr std::size_t kMaxAnswer = 16 << 20;

void GlobalInit() {
  static const bool done = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
  if (!done) throw OperatorError(1, "libcurl could not start");
}

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

std::unique_ptr<char, decltype(&curl_free)> Part(CURLU* url, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, 0) != CURLUE_OK) text = nullptr;
  return {text, &curl_free};
}

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  const std::size_t bytes = size * count;
  if (body->size() + bytes > kMaxAnswer) return 0;  // curl ends the transfer with an error
  body->append(data, bytes);
  return bytes;
}

}  // namespace

std::string EncodeComponent(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '~') {
      out.push_back(ch);
    } else {
      out += {'%', kHex[c >> 4], kHex[c & 15]};
    }
  }
  return out;
}

std::string CheckRelayUrl(std::string_view text) {
  const std::string given(text);
  // The URL itself is never repeated: one given wrongly may hold a password or token.
  const auto bad = [](const std::string& why) {
    return OperatorError(2, "the relay's URL " + why);
  };
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7f) throw bad("holds a space, a control character or non-ASCII");
  }
  std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, given.c_str(), 0) != CURLUE_OK) {
    throw bad("is not a URL; write it as http://HOST:PORT (https:// behind TLS)");
  }
  const auto scheme = Part(url.get(), CURLUPART_SCHEME);
  const std::string_view scheme_text = scheme ? scheme.get() : "";
  if (scheme_text != "http" && scheme_text != "https") {
    throw bad("must start with http:// or https://");
  }
  if (Part(url.get(), CURLUPART_USER) || Part(url.get(), CURLUPART_PASSWORD)) {
    throw bad(
        "holds a user name or password; a URL is shown and logged, so the token comes from a "
        "file instead");
  }
  if (Part(url.get(), CURLUPART_QUERY) || Part(url.get(), CURLUPART_FRAGMENT)) {
    throw bad("holds a query or fragment ('?' or '#'); give the relay's address only");
  }
  const auto full = Part(url.get(), CURLUPART_URL);
  std::string checked = full ? full.get() : given;
  while (!checked.empty() && checked.back() == '/') checked.pop_back();
  return checked;
}

RelayClient::RelayClient(std::string base_url, std::string token, std::string ca_file,
                         long timeout_ms)
    : base_url_(std::move(base_url)),
      token_(std::move(token)),
      ca_file_(std::move(ca_file)),
      timeout_ms_(timeout_ms) {}

HttpAnswer RelayClient::Get(const std::string& path) const {
  return Perform(path, nullptr);
}

HttpAnswer RelayClient::Post(const std::string& path, const std::string& json_body) const {
  return Perform(path, &json_body);
}

HttpAnswer RelayClient::Perform(const std::string& path, const std::string* post_body) const {
  GlobalInit();
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) throw OperatorError(1, "libcurl could not start a transfer");
  std::unique_ptr<curl_slist, ListDeleter> headers;
  const auto add_header = [&](const std::string& line) {
    curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
    if (!grown) throw OperatorError(1, "out of memory");
    headers.release();
    headers.reset(grown);
  };
  add_header("Authorization: Bearer " + token_);
  add_header("Accept: application/json");
  if (post_body) add_header("Content-Type: application/json");

  const std::string url = base_url_ + path;
  HttpAnswer answer;
  char error[CURL_ERROR_SIZE] = {};
  CURL* h = easy.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeout_ms_);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeout_ms_);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_USERAGENT, "snpp-relay");
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &answer.body);
  if (!ca_file_.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, ca_file_.c_str());
  if (post_body) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, post_body->data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post_body->size()));
  }
  const CURLcode code = curl_easy_perform(h);
  if (code != CURLE_OK) {
    const std::string why = error[0] ? error : curl_easy_strerror(code);
    if (code == CURLE_OPERATION_TIMEDOUT) {
      throw OperatorError(3, "no answer from the relay at " + base_url_ + " within " +
                                 std::to_string(timeout_ms_ / 1000) + " s (" + why + ")");
    }
    if (code == CURLE_WRITE_ERROR) {
      throw OperatorError(
          1, "the answer from " + base_url_ + " is larger than 16 MiB; is it " + "the relay?");
    }
    throw OperatorError(1, "cannot reach the relay at " + base_url_ + " (" + why +
                               "); is it running, and is this its address?");
  }
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &answer.status);
  return answer;
}

}  // namespace kestrel::relay
