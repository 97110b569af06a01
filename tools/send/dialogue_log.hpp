#pragma once
// A socket that passes everything on to another socket and shows the dialogue as it happens:
// "> PAGE 5551234" for each line written, "< 250 Pager ID Accepted" for each line received.
// The password of a LOGI line is masked.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "kestrel/platform/forwarding_socket.hpp"

namespace kestrel::tools {

class DialogueLog final : public platform::ForwardingSocket {
 public:
  using Sink = std::function<void(std::string_view line)>;

  DialogueLog(std::unique_ptr<platform::Socket> inner, Sink sink)
      : ForwardingSocket(std::move(inner)), sink_(std::move(sink)) {}

  void SendData(std::string_view text) override;
  String GetData() override;

 private:
  void Show(std::string_view prefix, std::string& pending, std::string_view bytes);

  Sink sink_;
  std::string sent_partial_;
  std::string received_partial_;
};

// The line as it may be shown: a LOGI line's password replaced by "****".
std::string MaskSecrets(std::string_view line);

}  // namespace kestrel::tools
