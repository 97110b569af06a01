#pragma once
// A socket whose implementation can be chosen again between connections: plain TCP for one page,
// TLS with some settings for the next. The owner (the control) keeps the one Socket it was given
// and never learns of the change; RemoteHost and RemotePort go over to the new implementation.
//
//   UseNext(tls) ──▶ kept aside ──next Connect, when closed──▶ becomes the socket in use
//
// A connection that is open stays on the socket it was made with; UseNext only decides what the
// next Connect uses. Notifications of the socket in use reach the handlers set here.

#include <memory>
#include <utility>

#include "kestrel/platform/socket.hpp"

namespace kestrel::platform {

class SwitchableSocket final : public Socket {
 public:
  explicit SwitchableSocket(std::unique_ptr<Socket> first) { Adopt(std::move(first)); }
  ~SwitchableSocket() override { Unhook(*inner_); }

  // The implementation the next Connect uses (when no connection is open then).
  void UseNext(std::unique_ptr<Socket> next) { next_ = std::move(next); }

  void Connect(const String& host, Long port) override {
    if (next_ && inner_->State() == SocketState::kClosed) {
      auto old = std::exchange(inner_, nullptr);
      Unhook(*old);
      Adopt(std::exchange(next_, nullptr));
      inner_->SetRemoteHost(old->RemoteHost());
      inner_->SetRemotePort(old->RemotePort());
    }
    inner_->Connect(host, port);  // an open connection refuses, as any socket does
  }
  void SendData(std::string_view text) override { inner_->SendData(text); }
  String GetData() override { return inner_->GetData(); }
  void Close() override { inner_->Close(); }
  SocketState State() const override { return inner_->State(); }
  String RemoteHost() const override { return inner_->RemoteHost(); }
  void SetRemoteHost(const String& host) override { inner_->SetRemoteHost(host); }
  Long RemotePort() const override { return inner_->RemotePort(); }
  void SetRemotePort(Long port) override { inner_->SetRemotePort(port); }
  void OnDataArrival(DataArrivalHandler handler) override { on_data_ = std::move(handler); }
  void OnClosed(ClosedHandler handler) override { on_closed_ = std::move(handler); }

 private:
  void Adopt(std::unique_ptr<Socket> socket) {
    inner_ = std::move(socket);
    // Copies of the handlers: one may replace itself while it runs.
    inner_->OnDataArrival([this](Long bytes) {
      if (auto handler = on_data_) handler(bytes);
    });
    inner_->OnClosed([this](Long number, const String& description) {
      if (auto handler = on_closed_) handler(number, description);
    });
  }
  static void Unhook(Socket& socket) {
    socket.OnDataArrival(nullptr);
    socket.OnClosed(nullptr);
  }

  std::unique_ptr<Socket> inner_;
  std::unique_ptr<Socket> next_;
  DataArrivalHandler on_data_;
  ClosedHandler on_closed_;
};

}  // namespace kestrel::platform
