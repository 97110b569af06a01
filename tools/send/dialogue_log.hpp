#pragma once
// A socket that passes everything on to another socket and shows the dialogue as it happens:
// "> PAGE 5551234" for each line written, "< 250 Pager ID Accepted" for each line received.
// The password of a LOGI line is masked, control characters are shown escaped ("\x1b"), and a
// line longer than kMaxShown bytes is cut there with a note of how many bytes were left out, so
// a server that never ends its line costs neither unbounded memory nor more than linear time.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "kestrel/delivery/shown_text.hpp"
#include "kestrel/platform/forwarding_socket.hpp"

namespace kestrel::tools {

class DialogueLog final : public platform::ForwardingSocket {
 public:
  using Sink = std::function<void(std::string_view line)>;
  // As much of one line as is kept and shown; the same bound as the control's receive path.
  static constexpr std::size_t kMaxShown = 4096;

  DialogueLog(std::unique_ptr<platform::Socket> inner, Sink sink)
      : ForwardingSocket(std::move(inner)), sink_(std::move(sink)) {}

  void SendData(std::string_view text) override;
  String GetData() override;

 private:
  struct Partial {
    std::string text;          // the start of the line, at most kMaxShown bytes
    std::size_t left_out = 0;  // bytes of the line past kMaxShown, not kept
    bool ends_in_cr = false;   // the last byte so far is a CR
  };
  void Show(std::string_view prefix, Partial& pending, std::string_view bytes);

  Sink sink_;
  Partial sent_partial_;
  Partial received_partial_;
};

// The line as it may be shown: a LOGI line's password replaced by "****".
std::string MaskSecrets(std::string_view line);

using delivery::EscapeControls;

}  // namespace kestrel::tools
