#include "kestrel/relay/send_gate.hpp"

namespace kestrel::relay {

SendGate::SendGate(std::function<void(std::function<void()>)> post, outbox::Store& store)
    : post_(std::move(post)), store_(store) {}

SendGate::~SendGate() {
  *alive_ = false;
}

void SendGate::Hold(outbox::SendMark mark, Done done) {
  marks_.push_back(std::move(mark));
  waiting_.push_back(std::move(done));
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
        for (std::size_t i = 0; i < waiting.size(); ++i) {
          if (!result) {
            waiting[i](Answer::kFailed, "the outbox could not record it: " + result.error);
          } else if (i < result->size() && (*result)[i]) {
            waiting[i](Answer::kWritten, "");
          } else {
            waiting[i](Answer::kLost,
                       "the outbox no longer holds this attempt's claim (its lease was lost)");
          }
        }
      });
}

}  // namespace kestrel::relay
