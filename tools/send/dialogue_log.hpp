#pragma once
// A socket that passes everything on to another socket and shows the dialogue as it happens:
// "> PAGE 5551234" for each line written, "< 250 Pager ID Accepted" for each line received.
// The password of a LOGI line is masked.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "kestrel/platform/socket.hpp"

namespace kestrel::tools {

class DialogueLog final : public platform::Socket {
 public:
  using Sink = std::function<void(std::string_view line)>;

  DialogueLog(std::unique_ptr<platform::Socket> inner, Sink sink)
      : inner_(std::move(inner)), sink_(std::move(sink)) {}

  void Connect(const String& host, Long port) override { inner_->Connect(host, port); }
  void SendData(std::string_view text) override;
  String GetData() override;
  void Close() override { inner_->Close(); }
  platform::SocketState State() const override { return inner_->State(); }
  String RemoteHost() const override { return inner_->RemoteHost(); }
  void SetRemoteHost(const String& host) override { inner_->SetRemoteHost(host); }
  Long RemotePort() const override { return inner_->RemotePort(); }
  void SetRemotePort(Long port) override { inner_->SetRemotePort(port); }
  void OnDataArrival(DataArrivalHandler handler) override {
    inner_->OnDataArrival(std::move(handler));
  }
  void OnClosed(ClosedHandler handler) override { inner_->OnClosed(std::move(handler)); }

 private:
  void Show(std::string_view prefix, std::string& pending, std::string_view bytes);

  std::unique_ptr<platform::Socket> inner_;
  Sink sink_;
  std::string sent_partial_;
  std::string received_partial_;
};

// The line as it may be shown: a LOGI line's password replaced by "****".
std::string MaskSecrets(std::string_view line);

}  // namespace kestrel::tools
