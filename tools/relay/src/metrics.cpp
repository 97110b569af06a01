#include "kestrel/relay/metrics.hpp"

#include <algorithm>
#include <iomanip>
#include <sstream>

namespace kestrel::relay {

namespace {

// A label value in the text format: backslash, double quote and line feed escaped.
std::string LabelValue(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

// "login refused" as "login_refused".
std::string OutcomeLabel(delivery::Verdict verdict) {
  std::string label = delivery::ToString(verdict);
  std::replace(label.begin(), label.end(), ' ', '_');
  return label;
}

}  // namespace

void Metrics::Delivered(double seconds) {
  for (std::size_t i = 0; i < kLatencyBuckets.size(); ++i) {
    if (seconds <= kLatencyBuckets[i]) ++latency_buckets_[i];
  }
  ++latency_count_;
  latency_sum_ += seconds;
}

std::string Metrics::Render(const outbox::Counts& counts, std::size_t sessions_open,
                            const std::vector<GatewayStatus>& gateways,
                            std::int64_t outbox_limit) const {
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
  out << "# HELP snpp_relay_outbox_limit_bytes The outbox's size at which it can take no more "
         "pages (0: not known).\n# TYPE snpp_relay_outbox_limit_bytes gauge\n"
      << "snpp_relay_outbox_limit_bytes " << outbox_limit << '\n'
      << "# HELP snpp_relay_uncertain_open Recipients uncertain now (SEND written, its answer "
         "never came), waiting for an operator.\n# TYPE snpp_relay_uncertain_open gauge\n"
      << "snpp_relay_uncertain_open "
      << counts.recipients[static_cast<int>(outbox::RecipientState::kUncertain)] << '\n';
  out << "# HELP snpp_relay_gateway_up 1 when the latest attempt through the gateway got an "
         "answer from it (1 before the first).\n# TYPE snpp_relay_gateway_up gauge\n";
  for (const auto& g : gateways) {
    out << "snpp_relay_gateway_up{gateway=\"" << LabelValue(g.name) << "\"} " << (g.up ? 1 : 0)
        << '\n';
  }
  out << "# HELP snpp_relay_gateway_last_success_timestamp_seconds Unix time of the gateway's "
         "latest delivered page (0: none since start).\n"
         "# TYPE snpp_relay_gateway_last_success_timestamp_seconds gauge\n";
  for (const auto& g : gateways) {
    out << "snpp_relay_gateway_last_success_timestamp_seconds{gateway=\"" << LabelValue(g.name)
        << "\"} " << g.last_success.value_or(0) / 1000 << '.' << std::setw(3) << std::setfill('0')
        << g.last_success.value_or(0) % 1000 << std::setfill(' ') << '\n';
  }
  out << "# HELP snpp_relay_gateway_attempts_total Attempts ended through the gateway, by "
         "outcome.\n# TYPE snpp_relay_gateway_attempts_total counter\n";
  for (const auto& g : gateways) {
    for (int i = 0; i < kVerdictCount; ++i) {
      out << "snpp_relay_gateway_attempts_total{gateway=\"" << LabelValue(g.name) << "\",outcome=\""
          << OutcomeLabel(static_cast<delivery::Verdict>(i)) << "\"} " << g.attempts[i] << '\n';
    }
  }
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
