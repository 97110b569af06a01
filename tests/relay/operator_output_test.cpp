// The operator commands' decisions and tables, on answers shaped as the relay's API gives them,
// and on answers a wrong or hostile server might give.

#include <gtest/gtest.h>

#include "operator_cli.hpp"
#include "relay_client.hpp"  // OperatorError

namespace kestrel::relay {
namespace {

using nlohmann::json;

json PageWith(std::initializer_list<const char*> states) {
  json recipients = json::array();
  int n = 0;
  for (const char* state : states) {
    recipients.push_back({{"pager", "555000" + std::to_string(n++)}, {"state", state}});
  }
  return {{"id", "ab12"}, {"recipients", recipients}};
}

TEST(OperatorOutput, PageExitCodeFollowsItsTable) {
  const struct {
    std::initializer_list<const char*> states;
    int code;
  } cases[] = {
      {{"delivered"}, 0},
      {{"delivered", "delivered"}, 0},
      {{"delivered", "degraded"}, 0},
      {{"uncertain"}, 4},
      {{"delivered", "uncertain", "queued"}, 4},
      {{"queued"}, 3},
      {{"delivered", "sending"}, 3},
      {{"delivered", "refused"}, 4},
      {{"delivered", "dismissed"}, 4},
      {{"delivered", "a-state-from-a-newer-relay"}, 4},
      {{"refused", "failed", "expired"}, 1},
      {{"dismissed"}, 1},
      {{}, 1},
  };
  for (const auto& c : cases) {
    const json page = PageWith(c.states);
    EXPECT_EQ(PageExitCode(page), c.code) << page.dump();
  }
  EXPECT_EQ(PageExitCode(json::parse(R"({"recipients": [{"state": 7}, "x"]})")), 1);
  EXPECT_EQ(PageExitCode(json::parse(R"({"recipients": {"state": "delivered"}})")), 1);
}

TEST(OperatorOutput, GatewaysTableAndExitCode) {
  const json answer = json::parse(R"({"gateways": [
    {"name": "primary", "server": "pager.example.net:444", "up": false,
     "lastSuccess": "2026-12-09T02:10:00.000Z", "lastError": "421 \u001b[2Jbusy",
     "lastErrorAt": "2026-12-09T03:00:00.000Z", "sessionsOpen": 0, "concurrency": 4,
     "holdOffUntil": "2026-12-09T03:05:00.000Z"},
    {"name": "backup", "server": "[2001:db8::7]:444", "up": true, "lastSuccess": null,
     "sessionsOpen": 2, "concurrency": 2}]})");
  EXPECT_EQ(GatewaysText(answer),
            "GATEWAY  SERVER                 STATE  LAST SUCCESS              SESSIONS  "
            "HOLDING OFF UNTIL         LAST ERROR\n"
            "primary  pager.example.net:444  down   2026-12-09T02:10:00.000Z  0/4       "
            "2026-12-09T03:05:00.000Z  421 \\x1b[2Jbusy (2026-12-09T03:00:00.000Z)\n"
            "backup   [2001:db8::7]:444      up     never                     2/2\n");
  EXPECT_EQ(GatewaysExitCode(answer), 4);
  EXPECT_EQ(GatewaysExitCode(json::parse(R"({"gateways": [{"up": true}]})")), 0);
  EXPECT_EQ(GatewaysExitCode(json::parse(R"({"gateways": [{"up": "yes"}, {}]})")), 1);
  EXPECT_EQ(GatewaysExitCode(json::parse(R"({"gateways": []})")), 1);
  EXPECT_THROW(GatewaysText(json::parse(R"({"gateways": {}})")), OperatorError);
}

TEST(OperatorOutput, PagesListOneRowPerRecipientWithTheTextCut) {
  const json answer = json::parse(R"({"pages": [
    {"id": "00ff", "created": "2026-12-09T03:00:00.000Z", "source": "alertmanager/oncall",
     "subject": "db1", "message": "disk full on /var, 97 % used, growing by 1 GB an hour since 02:00",
     "recipients": [{"pager": "5551234", "state": "uncertain", "attempts": 1, "gateway": "gw1"},
                    {"pager": "5555678", "state": "delivered", "attempts": 2, "gateway": "gw2"}]},
    {"id": "00fe", "created": "2026-12-09T02:00:00.000Z", "data": "line one\nline \u001b two",
     "recipients": [{"pager": "<b>1</b>", "state": "refused", "attempts": "1"}]}],
    "next": "c2"})");
  EXPECT_EQ(PagesListText(answer),
            "PAGE  CREATED                   PAGER     STATE      ATTEMPTS  GATEWAY  MESSAGE\n"
            "00ff  2026-12-09T03:00:00.000Z  5551234   uncertain  1         gw1      "
            "[db1] disk full on /var, 97 % used, growing b...\n"
            "00ff  2026-12-09T03:00:00.000Z  5555678   delivered  2         gw2      "
            "[db1] disk full on /var, 97 % used, growing b...\n"
            "00fe  2026-12-09T02:00:00.000Z  <b>1</b>  refused    1                  "
            "line one / line \\x1b two\n"
            "older pages: add --cursor c2\n");
  EXPECT_EQ(PagesListText(json::parse(R"({"pages": []})")), "no page\n");
  for (const char* wrong : {R"([])", R"({"pages": "none"})", R"({"page": []})"}) {
    EXPECT_THROW(PagesListText(json::parse(wrong)), OperatorError) << wrong;
  }
}

}  // namespace
}  // namespace kestrel::relay
