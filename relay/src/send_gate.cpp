#include "kestrel/relay/send_gate.hpp"

namespace kestrel::relay {

SendGate::SendGate(std::function<void(std::function<void()>)> post, outbox::Store& store)
    : post_(std::move(post)), store_(store) {}

SendGate::~SendGate() {
  *alive_ = false;
}

void SendGate::Hold(std::vector<outbox::SendMark> marks, Done done) {
  waiting_.push_back({marks.size(), std::move(done)});
  for (auto& mark : marks) marks_.push_back(std::move(mark));
  if (posted_) return;
  posted_ = true;
  post_([this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.expired()) return;
    posted_ = false;
    Flush();
  });
}

void SendGate::Flush() {
  auto marks = std::exchange(marks_, {});
  auto waiting = std::exchange(waiting_, {});
  store_.MarkSendWritten(
      std::move(marks), [waiting = std::move(waiting), alive = std::weak_ptr<bool>(alive_)](
                            outbox::Result<std::vector<bool>> result) {
        if (alive.expired()) return;
        std::size_t at = 0;
        for (const auto& hold : waiting) {
          bool held = true;
          for (std::size_t i = at; i < at + hold.marks; ++i) {
            held = held && result && i < result->size() && (*result)[i];
          }
          at += hold.marks;
          if (!result) {
            hold.done(Answer::kFailed, "the outbox could not record it: " + result.error);
          } else if (held) {
            hold.done(Answer::kWritten, "");
          } else {
            hold.done(Answer::kLost,
                      "the outbox no longer holds this attempt's claim (its lease was lost)");
          }
        }
      });
}

}  // namespace kestrel::relay
