#include "kestrel/relay/metrics.hpp"

#include <sstream>

namespace kestrel::relay {

void Metrics::Delivered(double seconds) {
  for (std::size_t i = 0; i < kLatencyBuckets.size(); ++i) {
    if (seconds <= kLatencyBuckets[i]) ++latency_buckets_[i];
  }
  ++latency_count_;
  latency_sum_ += seconds;
}

std::string Metrics::Render(const outbox::Counts& counts, std::size_t sessions_open) const {
  std::ostringstream out;
  out << "# HELP snpp_relay_pages_accepted_total Pages accepted since the relay started.\n"
         "# TYPE snpp_relay_pages_accepted_total counter\n"
      << "snpp_relay_pages_accepted_total " << pages_accepted_ << '\n'
      << "# HELP snpp_relay_recipients_accepted_total Recipients of the pages accepted since "
         "start.\n# TYPE snpp_relay_recipients_accepted_total counter\n"
      << "snpp_relay_recipients_accepted_total " << recipients_accepted_ << '\n'
      << "# HELP snpp_relay_requests_rejected_total API requests answered with an error.\n"
         "# TYPE snpp_relay_requests_rejected_total counter\n"
      << "snpp_relay_requests_rejected_total " << requests_rejected_ << '\n'
      << "# HELP snpp_relay_recipients_total Recipients reaching each outcome since start.\n"
         "# TYPE snpp_relay_recipients_total counter\n";
  for (int i = 0; i < outbox::kRecipientStateCount; ++i) {
    const auto state = static_cast<outbox::RecipientState>(i);
    if (!outbox::IsFinal(state)) continue;
    out << "snpp_relay_recipients_total{outcome=\"" << outbox::ToString(state) << "\"} "
        << outcomes_[i] << '\n';
  }
  out << "# HELP snpp_relay_outbox_recipients Recipients in the outbox by state.\n"
         "# TYPE snpp_relay_outbox_recipients gauge\n";
  for (int i = 0; i < outbox::kRecipientStateCount; ++i) {
    out << "snpp_relay_outbox_recipients{state=\""
        << outbox::ToString(static_cast<outbox::RecipientState>(i)) << "\"} "
        << counts.recipients[i] << '\n';
  }
  out << "# HELP snpp_relay_outbox_bytes The outbox's size on disk.\n"
         "# TYPE snpp_relay_outbox_bytes gauge\n"
      << "snpp_relay_outbox_bytes " << counts.bytes << '\n';
  out << "# HELP snpp_relay_queue_depth Recipients not yet decided (queued or sending).\n"
         "# TYPE snpp_relay_queue_depth gauge\n"
      << "snpp_relay_queue_depth "
      << counts.recipients[static_cast<int>(outbox::RecipientState::kQueued)] +
             counts.recipients[static_cast<int>(outbox::RecipientState::kSending)]
      << '\n'
      << "# HELP snpp_relay_sessions_open SNPP sessions open now.\n"
         "# TYPE snpp_relay_sessions_open gauge\n"
      << "snpp_relay_sessions_open " << sessions_open << '\n'
      << "# HELP snpp_relay_attempts_total Delivery attempts started since start.\n"
         "# TYPE snpp_relay_attempts_total counter\n"
      << "snpp_relay_attempts_total " << attempts_ << '\n'
      << "# HELP snpp_relay_delivery_seconds Time from acceptance to the gateway's "
         "confirmation.\n# TYPE snpp_relay_delivery_seconds histogram\n";
  for (std::size_t i = 0; i < kLatencyBuckets.size(); ++i) {
    out << "snpp_relay_delivery_seconds_bucket{le=\"" << kLatencyBuckets[i] << "\"} "
        << latency_buckets_[i] << '\n';
  }
  out << "snpp_relay_delivery_seconds_bucket{le=\"+Inf\"} " << latency_count_ << '\n'
      << "snpp_relay_delivery_seconds_sum " << latency_sum_ << '\n'
      << "snpp_relay_delivery_seconds_count " << latency_count_ << '\n';
  return out.str();
}

}  // namespace kestrel::relay
