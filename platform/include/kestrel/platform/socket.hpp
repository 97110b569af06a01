#pragma once
// What the paging session asks of its TCP client socket.
//
// Threading: every call and every notification happens on the thread that runs the control's
// event loop. A notification is never delivered from inside the call that started the operation;
// it is queued and runs when the loop next runs its pending work.

#include <functional>
#include <string>
#include <string_view>

#include "kestrel/platform/types.hpp"

namespace kestrel::platform {

// Connection states, numbered as the classic socket component numbers them; 7 is "connected".
enum class SocketState : Integer {
  kClosed = 0,
  kOpen = 1,
  kListening = 2,
  kConnectionPending = 3,
  kResolvingHost = 4,
  kHostResolved = 5,
  kConnecting = 6,
  kConnected = 7,
  kClosing = 8,  // the peer has closed its side
  kError = 9,
};

class Socket {
 public:
  virtual ~Socket() = default;

  // Takes the host and port as RemoteHost and RemotePort, starts resolving and connecting, and
  // returns at once. Raises RuntimeError when the socket is not closed, the port is out of range
  // or the host is empty; a host that cannot be resolved is reported through OnClosed.
  virtual void Connect(const String& host, Long port) = 0;
  // Queues the text for sending, in order. Raises RuntimeError when not connected.
  virtual void SendData(std::string_view text) = 0;
  // All text received and not yet fetched.
  virtual String GetData() = 0;
  // Closes the connection; harmless when already closed. Pending notifications are dropped.
  virtual void Close() = 0;
  virtual SocketState State() const = 0;

  virtual String RemoteHost() const = 0;
  virtual void SetRemoteHost(const String& host) = 0;
  virtual Long RemotePort() const = 0;
  virtual void SetRemotePort(Long port) = 0;

  // Raised when received data is waiting; the argument is the number of bytes waiting. Data that
  // arrived before the peer closed is announced while State() is still kConnected.
  using DataArrivalHandler = std::function<void(Long bytes)>;
  // Raised once when a connection attempt fails, or an open connection ends without our Close
  // (the peer closed it, or it broke), with an error number and a description of what happened.
  // Not raised for our own Close.
  using ClosedHandler = std::function<void(Long number, const String& description)>;

  virtual void OnDataArrival(DataArrivalHandler handler) = 0;
  virtual void OnClosed(ClosedHandler handler) = 0;
};

}  // namespace kestrel::platform
