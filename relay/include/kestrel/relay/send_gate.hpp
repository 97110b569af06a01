#pragma once
// SendGate: the SEND-written marks of one loop turn, made durable in one commit.
//
//   Hold(mark) ... Hold(mark)  ──next turn──▶  store.MarkSendWritten(all)  ──▶  each answer
//
// Every SEND a session asks for is held (delivery's hold_send) until the outbox has recorded
// that it is about to go out: a crash after that point leaves the recipient uncertain, never
// queued, so a page that may have gone out is never sent again. The holds that arrive in one
// turn of the loop share one disk flush.
//
// Threading: the loop's thread; answers come later from the loop, never from inside Hold.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kestrel/outbox/store.hpp"

namespace kestrel::relay {

class SendGate {
 public:
  enum class Answer {
    kWritten,  // the mark is durable: SEND may go out
    kFailed,   // the outbox could not record it (the text says why): SEND must not go out
    kLost,     // the claim is no longer ours: SEND must not go out
  };
  using Done = std::function<void(Answer, const std::string& why)>;

  SendGate(std::function<void(std::function<void()>)> post, outbox::Store& store);
  ~SendGate();
  SendGate(const SendGate&) = delete;
  SendGate& operator=(const SendGate&) = delete;

  void Hold(outbox::SendMark mark, Done done);

 private:
  void Flush();

  std::function<void(std::function<void()>)> post_;
  outbox::Store& store_;
  std::vector<outbox::SendMark> marks_;
  std::vector<Done> waiting_;
  bool posted_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel::relay
