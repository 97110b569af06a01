#pragma once
// A socket that passes every call on to another one. Derive from it to watch or change a few
// calls (show the dialogue, count reads, inject faults) and leave the rest as they are.

#include <memory>
#include <utility>

#include "kestrel/platform/socket.hpp"

namespace kestrel::platform {

class ForwardingSocket : public Socket {
 public:
  explicit ForwardingSocket(std::unique_ptr<Socket> inner) : inner_(std::move(inner)) {}

  void Connect(const String& host, Long port) override { inner_->Connect(host, port); }
  void SendData(std::string_view text) override { inner_->SendData(text); }
  String GetData() override { return inner_->GetData(); }
  void Close() override { inner_->Close(); }
  SocketState State() const override { return inner_->State(); }
  String RemoteHost() const override { return inner_->RemoteHost(); }
  void SetRemoteHost(const String& host) override { inner_->SetRemoteHost(host); }
  Long RemotePort() const override { return inner_->RemotePort(); }
  void SetRemotePort(Long port) override { inner_->SetRemotePort(port); }
  void OnDataArrival(DataArrivalHandler handler) override {
    inner_->OnDataArrival(std::move(handler));
  }
  void OnClosed(ClosedHandler handler) override { inner_->OnClosed(std::move(handler)); }

  Socket& inner() noexcept { return *inner_; }

 private:
  std::unique_ptr<Socket> inner_;
};

}  // namespace kestrel::platform
