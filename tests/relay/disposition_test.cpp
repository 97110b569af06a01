// The relay's decisions as tables: the next state after an attempt, the gateway for the next
// one, the fields a level-1 gateway leaves out, and the texts it shows (secrets masked, its own
// hints).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kestrel/platform/error.hpp"
#include "kestrel/relay/disposition.hpp"
#include "kestrel/relay/texts.hpp"

namespace kestrel::relay {
namespace {

using delivery::Verdict;
using State = outbox::RecipientState;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr Millis kHour = 3'600'000;

TEST(Disposition, NextState) {
  struct Row {
    Verdict verdict;
    bool deadline_passed;
    bool dropped;
    int left;
    int attempts;
    Millis expires_in;
    double random;
    Disposition next;
  } rows[] = {
      {Verdict::kDelivered, false, false, 1, 1, kHour, 1, {State::kDelivered}},
      {Verdict::kDelivered, false, true, 1, 2, kHour, 1, {State::kDegraded}},
      {Verdict::kRefused, false, false, 1, 1, kHour, 1, {State::kRefused}},
      {Verdict::kLoginRefused, false, false, 1, 1, kHour, 1, {State::kQueued, 0}},
      {Verdict::kLoginRefused, false, false, 0, 2, kHour, 1, {State::kRefused}},
      {Verdict::kCertificateFailed, false, false, 1, 1, kHour, 1, {State::kQueued, 0}},
      {Verdict::kCertificateFailed, false, false, 0, 1, kHour, 1, {State::kFailed}},
      // Transient: the wait doubles from backoff, stops at max_backoff, jitter only shortens it.
      {Verdict::kTransient, false, false, 1, 1, kHour, 1, {State::kQueued, 1000}},
      {Verdict::kTransient, false, false, 1, 3, kHour, 1, {State::kQueued, 4000}},
      {Verdict::kTransient, false, false, 1, 40, kHour, 1, {State::kQueued, 60'000}},
      {Verdict::kTransient, false, false, 1, 3, kHour, 0, {State::kQueued, 2000}},
      {Verdict::kTransient, false, false, 1, 1, 1000, 1, {State::kExpired}},
      {Verdict::kTransient, false, false, 1, 1, 1001, 1, {State::kQueued, 1000}},
      {Verdict::kTransient, true, false, 1, 1, kHour, 1, {State::kExpired}},
      {Verdict::kUncertain, false, false, 1, 1, kHour, 1, {State::kUncertain}},
      {Verdict::kUncertain, true, false, 1, 1, kHour, 1, {State::kUncertain}},
      {Verdict::kFailed, true, false, 1, 1, 0, 1, {State::kExpired}},
      {Verdict::kFailed, false, false, 1, 1, kHour, 1, {State::kFailed}},
  };
  for (const auto& r : rows) {
    AttemptFacts facts;
    facts.verdict = r.verdict;
    facts.deadline_passed = r.deadline_passed;
    facts.fields_dropped = r.dropped;
    facts.gateways_left = r.left;
    facts.attempts = r.attempts;
    facts.expires_in = r.expires_in;
    facts.retry = {1000, 60'000};
    facts.random = r.random;
    const auto next = NextState(facts);
    EXPECT_EQ(next.state, r.next.state) << r.verdict << " attempt " << r.attempts;
    EXPECT_EQ(next.retry_in, r.next.retry_in) << r.verdict << " attempt " << r.attempts;
  }
}

TEST(Disposition, ChooseGatewayFailsOverToTheNextThatCanCarryThePage) {
  const std::vector<GatewayView> gateways = {
      {"a", 2, 1, false}, {"b", 1, 1, false}, {"c", 2, 0, false}, {"d", 2, 3, true}};
  struct Row {
    bool needs_level2;
    const char* last;
    std::optional<std::size_t> chosen;
  } rows[] = {
      {false, "", 0},     // the first
      {false, "a", 1},    // the next after the last attempt's
      {false, "b", 0},    // c is full, d refused our login: round to a
      {true, "a", 0},     // b is level 1, c full, d refused: back to a
      {true, "gone", 0},  // a gateway no longer configured: from the start
      {false, "c", 0},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(ChooseGateway(gateways, r.needs_level2, r.last), r.chosen) << r.last;
  }
  EXPECT_EQ(ChooseGateway({{"b", 1, 4, false}}, true, ""), std::nullopt) << "level 1 only";
  EXPECT_EQ(ChooseGateway({{"a", 2, 0, false}}, false, ""), std::nullopt) << "full";
  EXPECT_EQ(ChooseGateway({}, false, ""), std::nullopt);

  outbox::PageContent content;
  EXPECT_FALSE(NeedsLevel2(content, false));
  EXPECT_TRUE(NeedsLevel2(content, true));
  content.data = "line 1\nline 2";
  EXPECT_TRUE(NeedsLevel2(content, false));
}

// A held-off gateway gives way to one that is not, of its kind; when every one is held off,
// none gives way.
TEST(Disposition, AHeldOffGatewayIsPassedOverWhileAnotherCanTakeItsPages) {
  struct Row {
    std::vector<GatewayView> gateways;
    bool needs_level2;
    std::optional<std::size_t> chosen;
    const char* why;
  } rows[] = {
      {{{"a", 2, 4, false, true}, {"b", 2, 4, false, false}}, false, 1, "a held off: b"},
      {{{"a", 2, 4, false, true}, {"b", 2, 0, false, false}}, false, {}, "b full: wait for b"},
      {{{"a", 2, 4, false, true}, {"b", 2, 4, false, true}}, false, 0, "both held off"},
      {{{"a", 2, 4, false, true}, {"b", 2, 4, true, false}}, false, 0, "b refused the login"},
      {{{"a", 2, 4, false, true}, {"b", 1, 4, false, false}}, true, 0, "b is not level 2"},
      {{{"a", 1, 4, false, true}, {"b", 2, 4, false, false}}, false, 1, "b is above a"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(ChooseGateway(r.gateways, r.needs_level2, ""), r.chosen) << r.why;
  }
}

TEST(Disposition, GatewayHealthAfterAnAttempt) {
  using HoldOff = HealthChange::HoldOff;
  struct Row {
    Verdict verdict;
    bool unreachable;
    bool kept_back;
    HealthChange change;
  } rows[] = {
      {Verdict::kDelivered, false, false, {true, HoldOff::kEnd}},
      {Verdict::kRefused, false, false, {true, HoldOff::kEnd}},
      {Verdict::kTransient, true, false, {false, HoldOff::kLengthen}},
      {Verdict::kTransient, false, true, {std::nullopt, HoldOff::kEnd}},
      {Verdict::kTransient, false, false, {false, HoldOff::kEnd}},
      {Verdict::kLoginRefused, false, false, {false, HoldOff::kEnd}},
      {Verdict::kCertificateFailed, false, false, {false, HoldOff::kEnd}},
      {Verdict::kUncertain, false, false, {false, HoldOff::kEnd}},
      {Verdict::kFailed, false, false, {std::nullopt, HoldOff::kKeep}},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(GatewayHealthAfter(r.verdict, r.unreachable, r.kept_back), r.change)
        << r.verdict << (r.unreachable ? ", unreachable" : "") << (r.kept_back ? ", kept" : "");
  }
  const std::pair<int, Millis> holds[] = {{1, 5000},      {2, 10'000}, {4, 40'000}, {5, 60'000},
                                          {1000, 60'000}, {0, 5000},   {-1, 5000}};
  for (const auto& [failures, hold] : holds) EXPECT_EQ(HoldOffFor(failures), hold) << failures;
}

TEST(Disposition, TheFieldsALevel1GatewayLeavesOut) {
  outbox::PageContent content;
  EXPECT_THAT(LevelTwoFields(content), ElementsAre());
  content.subject = "db1";
  content.options =
      R"({"alert":true,"coverage":3,"serviceLevel":0,"hold":"0812151200","callerId":""})";
  EXPECT_THAT(LevelTwoFields(content), ElementsAre("subject", "alert", "coverage", "hold"));
  content.options = "not json";
  EXPECT_THAT(LevelTwoFields(content), ElementsAre("subject"));
}

TEST(Texts, SecretsAreMaskedWhereverTheyAppear) {
  struct Row {
    const char* text;
    const char* password;
    const char* shown;
  } rows[] = {
      {"550 bad login: LOGI ops pw-s3cret", "pw-s3cret", "550 bad login: LOGI ops ****"},
      {"550 pw-s3cret is wrong, pw-s3cret!", "pw-s3cret", "550 **** is wrong, ****!"},
      {"LOGI ops other secret\r\n250 ok", "", "LOGI ops ****\r\n250 ok"},
      {"550 \"LOGI ops x\" refused", "", "550 \"LOGI ops ****"},
      {"250 LOGIN accepted", "", "250 LOGIN accepted"},
      {"550 LOGI ops", "", "550 LOGI ops"},
      {"", "pw", ""},
      {"pwpwp", "pw", "********p"},
  };
  for (const auto& r : rows) EXPECT_EQ(MaskSecrets(r.text, r.password), r.shown) << r.text;
}

TEST(Texts, TheRelaySaysWhatToChangeInItsOwnConfiguration) {
  const std::string untrusted = WithRelayHint(
      "The certificate of pager.example.net is not trusted: self-signed certificate; give the "
      "CA with --ca-file (or --ca-path).",
      err::kTlsUntrusted);
  EXPECT_EQ(untrusted,
            "The certificate of pager.example.net is not trusted: self-signed certificate; give "
            "the CA that signed the gateway's certificate in ca_file of its [[gateway]].");
  const std::string handshake = WithRelayHint(
      "The server at h:444 closed the connection during the TLS handshake; is it a plain SNPP "
      "port? If it is a TLS port, it may have refused our TLS version (1.2 or newer) or want a "
      "client certificate (--tls-cert, --tls-key).",
      err::kTlsHandshakeFailed);
  EXPECT_THAT(handshake, Not(HasSubstr("--")));
  EXPECT_THAT(handshake, HasSubstr("(1.2 or newer) or want a client certificate; check tls"));
  EXPECT_EQ(WithRelayHint("421 busy", 0), "421 busy");
  EXPECT_EQ(WithRelayHint("Connection refused; is the server up?", err::kSocketConnectFailed),
            "Connection refused; is the server up?");
}

}  // namespace
}  // namespace kestrel::relay
