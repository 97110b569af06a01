#pragma once
// What becomes of a recipient: the relay's decisions as pure functions, each with its table.
//
// NextState, after one attempt through one gateway:
//
//   the attempt's verdict   and                                          the recipient becomes
//   delivered               every field of the page went out             delivered
//   delivered               level-2 fields left out (a level-1 gateway)  degraded, naming them
//   refused (a 5xx)         -                                            refused
//   login refused           another gateway can still carry the page     queued, due at once
//   login refused           no gateway left that can                     refused
//   certificate failed      another gateway can still carry the page     queued, due at once
//   certificate failed      no gateway left that can                     failed
//   transient               its next try, after the backoff, falls
//                           before the page expires                      queued, after the backoff
//   transient               it would fall at or after the expiry         expired
//   uncertain               -                                            uncertain
//   failed                  the page's expiry ended the attempt          expired
//   failed                  otherwise (no gateway can ever send it)      failed
//
// The backoff is delivery::Backoff, from [retry] backoff doubling up to max_backoff, drawn in
// the upper half of its range by `random`.
//
// ChooseGateway, for a claimed recipient:
//
//   the gateways that can carry the page: login not refused, and SNPP level 2 or more when the
//   page needs it (a data body, or its receiver's require_level2); of those, in configuration
//   order starting after the gateway of its last attempt (failover), the first with a free
//   session slot that is not passed over; none such: none (the recipient waits).
//
// PassedOver: a gateway held off (see GatewayHealthAfter) is passed over while another gateway
// that is neither held off nor refused our login could take its pages instead: one at level 2
// or more for a gateway at level 2 or more, any for one at level 1. When every such gateway is
// held off, none is passed over: they are tried all the same, as the recipients' backoffs come.
//
// GatewayHealthAfter, once an attempt through the gateway has ended:
//
//   the attempt's verdict   and                                   up         hold-off
//   delivered               -                                     yes        ends
//   refused (a 5xx)         -                                     yes        ends
//   transient               no connection, or no greeting in time no         begins, or doubles
//                                                                            (HoldOffFor)
//   transient               the relay kept SEND back (its outbox
//                           could not record it)                  unchanged  ends
//   transient               otherwise (a 4xx; the connection lost
//                           or a reply late, before SEND)         no         ends
//   login refused           -                                     no         ends (the gateway
//   certificate failed      -                                     no         is left out instead
//                                                                            until a reload)
//   uncertain               -                                     no         ends
//   failed                  - (the page expired, or could not be
//                           sent at all)                          unchanged  unchanged
//
// `up` starts as yes: a gateway no attempt has been through yet is taken to be up.
//
// Any thread; no state.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/delivery/outcome.hpp"
#include "kestrel/outbox/store.hpp"

namespace kestrel::relay {

using Millis = std::int64_t;

struct RetrySettings {
  Millis backoff = 2'000;
  Millis max_backoff = 300'000;
};

struct AttemptFacts {
  delivery::Verdict verdict = delivery::Verdict::kFailed;
  bool deadline_passed = false;  // the page's expiry ended the attempt
  bool fields_dropped = false;   // delivered through a gateway below level 2, fields left out
  int gateways_left = 0;         // gateways that can still carry the page (login not refused)
  int attempts = 1;              // made so far, this one included
  Millis expires_in = 0;         // until the page expires, from now
  RetrySettings retry;
  double random = 1.0;  // in [0, 1], for the backoff's jitter
};

struct Disposition {
  outbox::RecipientState state = outbox::RecipientState::kFailed;
  Millis retry_in = 0;  // when queued
  auto operator<=>(const Disposition&) const = default;
};

Disposition NextState(const AttemptFacts& facts);

struct GatewayView {
  std::string_view name;
  int level = 1;
  int free_slots = 0;
  bool login_refused = false;
  bool held_off = false;
};

// Whether a page needs a gateway at level 2: a data body, or its receiver asked for it.
bool NeedsLevel2(const outbox::PageContent& content, bool require_level2);
// Whether the gateway could carry such a page at all (free slots aside).
bool CanCarry(const GatewayView& gateway, bool needs_level2);
// The index of the gateway for the next attempt; none while no able gateway has a free slot.
std::optional<std::size_t> ChooseGateway(const std::vector<GatewayView>& gateways,
                                         bool needs_level2, std::string_view last_gateway);

// Whether new attempts pass gateways[index] over for another gateway.
bool PassedOver(const std::vector<GatewayView>& gateways, std::size_t index);

struct HealthChange {
  enum class HoldOff { kKeep, kEnd, kLengthen };
  std::optional<bool> up;  // none: as it was
  HoldOff hold_off = HoldOff::kKeep;
  auto operator<=>(const HealthChange&) const = default;
};

// `unreachable`: the attempt got no connection or no greeting in time
// (delivery::HoldsGatewayOff); `send_kept_back`: the relay, not the gateway, kept SEND off the
// wire.
HealthChange GatewayHealthAfter(delivery::Verdict verdict, bool unreachable, bool send_kept_back);
// The hold-off after `failures` such attempts in a row (1 or more): the delivery layer's, 5 s
// doubling up to 60 s.
Millis HoldOffFor(int failures);

// The level-2 fields a page sets ("subject", "alert", "coverage", "serviceLevel", "hold",
// "callerId"): what a level-1 gateway leaves out.
std::vector<std::string> LevelTwoFields(const outbox::PageContent& content);

}  // namespace kestrel::relay
