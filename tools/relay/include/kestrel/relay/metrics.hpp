#pragma once
// The relay's counters since start, rendered with the outbox's counts and the gateways' health
// in the Prometheus text format for GET /metrics (the names tools/relay/snpp-relay.rules.yml
// reads are listed in its header). One thread (the event loop's) updates and reads them.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "kestrel/outbox/store.hpp"
#include "kestrel/relay/dispatcher.hpp"

namespace kestrel::relay {

class Metrics {
 public:
  static constexpr std::array<double, 13> kLatencyBuckets = {0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1,
                                                             2.5,  5,     10,   30,  60,   300};

  void PageAccepted(std::int64_t recipients) {
    ++pages_accepted_;
    recipients_accepted_ += recipients;
  }
  void RequestRejected() { ++requests_rejected_; }
  void Attempt() { ++attempts_; }
  void Outcome(outbox::RecipientState state) { ++outcomes_[static_cast<int>(state)]; }
  // Seconds from acceptance to the gateway's confirmation.
  void Delivered(double seconds);

  // `outbox_limit`: the bytes at which the outbox can take no more (0: not known).
  std::string Render(const outbox::Counts& counts, std::size_t sessions_open,
                     const std::vector<GatewayStatus>& gateways, std::int64_t outbox_limit) const;

 private:
  std::int64_t pages_accepted_ = 0;
  std::int64_t recipients_accepted_ = 0;
  std::int64_t requests_rejected_ = 0;
  std::int64_t attempts_ = 0;
  std::int64_t outcomes_[outbox::kRecipientStateCount] = {};
  std::array<std::int64_t, kLatencyBuckets.size()> latency_buckets_ = {};
  std::int64_t latency_count_ = 0;
  double latency_sum_ = 0;
};

}  // namespace kestrel::relay
