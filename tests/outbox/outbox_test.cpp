// The SQLite outbox on a real file: what is committed survives, keys answer with the first
// page, and a crash mid-attempt is resolved without losing or repeating a page.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "kestrel/outbox/outbox.hpp"

namespace kestrel::outbox {
namespace {

using ::testing::ElementsAre;
using ::testing::Field;

constexpr Millis kT0 = 1'700'000'000'000;
constexpr Millis kHour = 3'600'000;

class OutboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("outbox-test-" + std::to_string(::getpid()) +
                                                     "-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path() const { return (dir_ / "outbox.db").string(); }

  static NewPage Page(std::vector<std::string> pagers, std::string message = "disk full") {
    NewPage page;
    page.pagers = std::move(pagers);
    page.content.message = std::move(message);
    page.source = "api";
    page.expire_after = kHour;
    return page;
  }

  std::filesystem::path dir_;
};

std::vector<RecipientState> States(Outbox& outbox, const std::string& id) {
  std::vector<RecipientState> states;
  const std::optional<PageRecord> record = outbox.Find(id);
  if (!record) return states;
  for (const auto& r : record->recipients) states.push_back(r.state);
  return states;
}

TEST_F(OutboxTest, AcceptedPagesSurviveReopeningWithTheirContent) {
  std::string id;
  {
    auto outbox = OpenSqliteOutbox(path());
    auto page = Page({"5551234", "5555678"});
    page.content.subject = "db1";
    page.content.options = R"({"alert":true})";
    const auto accepted = outbox->Accept({page}, kT0);
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_TRUE(accepted[0].created);
    id = accepted[0].id;
  }
  auto outbox = OpenSqliteOutbox(path());
  const auto record = outbox->Find(id);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->content.message, "disk full");
  EXPECT_EQ(record->content.subject, "db1");
  EXPECT_EQ(record->content.options, R"({"alert":true})");
  EXPECT_EQ(record->expires, kT0 + kHour);
  EXPECT_THAT(record->recipients, ElementsAre(Field(&RecipientRecord::pager, "5551234"),
                                              Field(&RecipientRecord::pager, "5555678")));
  EXPECT_THAT(States(*outbox, id), ElementsAre(RecipientState::kQueued, RecipientState::kQueued));
  EXPECT_FALSE(outbox->Find("no-such-page"));
}

TEST_F(OutboxTest, KeysAnswerWithTheEarlierPageUntilItExpires) {
  auto outbox = OpenSqliteOutbox(path());
  auto keyed = Page({"1"});
  keyed.idempotency_key = "k1";
  auto deduped = Page({"2"});
  deduped.dedup_key = "k1";  // the same text, but a dedup key: another namespace

  // Within one batch, and across batches.
  const auto first = outbox->Accept({keyed, keyed, deduped}, kT0);
  ASSERT_EQ(first.size(), 3u);
  EXPECT_TRUE(first[0].created);
  EXPECT_FALSE(first[1].created);
  EXPECT_EQ(first[1].id, first[0].id);
  EXPECT_TRUE(first[2].created);
  EXPECT_NE(first[2].id, first[0].id);
  const auto again = outbox->Accept({keyed}, kT0 + kHour - 1);
  EXPECT_FALSE(again[0].created);
  EXPECT_EQ(again[0].id, first[0].id);
  EXPECT_EQ(outbox->Count().pages, 2);

  // After expire_after the key is free again: a new page.
  const auto later = outbox->Accept({keyed}, kT0 + kHour);
  EXPECT_TRUE(later[0].created);
  EXPECT_NE(later[0].id, first[0].id);
  EXPECT_EQ(outbox->Count().pages, 3);
}

TEST_F(OutboxTest, AttemptsRetriesAndExpiry) {
  auto outbox = OpenSqliteOutbox(path());
  const auto id = outbox->Accept({Page({"1", "2"})}, kT0)[0].id;
  auto due = outbox->Due(kT0, 10);
  ASSERT_EQ(due.size(), 2u);
  EXPECT_EQ(due[0].content.message, "disk full");

  outbox->MarkSending(due[0].ref, "primary", kT0);
  outbox->MarkSending(due[1].ref, "primary", kT0);
  EXPECT_TRUE(outbox->Due(kT0, 10).empty()) << "a recipient under way is not due";
  outbox->MarkSendWritten(due[0].ref, kT0);
  outbox->Finish(due[0].ref, RecipientState::kDelivered, "250 Message Sent Successfully", kT0);
  outbox->Finish(due[1].ref, RecipientState::kQueued, "connection refused", kT0, kT0 + 2000);
  outbox->Commit();

  EXPECT_TRUE(outbox->Due(kT0 + 1999, 10).empty());
  EXPECT_EQ(outbox->NextDue(), kT0 + 2000);
  due = outbox->Due(kT0 + 2000, 10);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].attempts, 1);
  outbox->MarkSending(due[0].ref, "secondary", kT0 + 2000);
  outbox->Finish(due[0].ref, RecipientState::kQueued, "421 busy", kT0 + 2000, kT0 + 4000);

  EXPECT_TRUE(outbox->Expire(kT0 + kHour - 1).empty());
  EXPECT_TRUE(outbox->Due(kT0 + kHour, 10).empty()) << "an expired page is never due";
  const auto expired = outbox->Expire(kT0 + kHour);
  ASSERT_EQ(expired.size(), 1u);
  EXPECT_EQ(expired[0].index, 1);
  outbox->Commit();

  const PageRecord record = *outbox->Find(id);
  EXPECT_EQ(record.recipients[0].state, RecipientState::kDelivered);
  EXPECT_EQ(record.recipients[0].last_reply, "250 Message Sent Successfully");
  EXPECT_EQ(record.recipients[1].state, RecipientState::kExpired);
  EXPECT_EQ(record.recipients[1].attempts, 2);
  EXPECT_EQ(record.recipients[1].gateway, "secondary");
  EXPECT_EQ(record.recipients[1].last_reply, "421 busy");
  const auto counts = outbox->Count();
  EXPECT_EQ(counts.recipients[static_cast<int>(RecipientState::kDelivered)], 1);
  EXPECT_EQ(counts.recipients[static_cast<int>(RecipientState::kExpired)], 1);
  EXPECT_FALSE(outbox->NextDue());
}

// A child process works on the outbox and dies without cleaning up, as a killed relay does.
TEST_F(OutboxTest, ACrashMidAttemptRequeuesUnlessSendWasWritten) {
  std::string ids[4];
  {
    auto outbox = OpenSqliteOutbox(path());
    const auto accepted = outbox->Accept({Page({"a"}), Page({"b"}), Page({"c"}), Page({"d"})}, kT0);
    for (int i = 0; i < 4; ++i) ids[i] = accepted[i].id;
  }
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    auto outbox = OpenSqliteOutbox(path());
    outbox->MarkSending({ids[0], 0}, "primary", kT0);  // committed by the next durable point
    outbox->MarkSending({ids[1], 0}, "primary", kT0);
    outbox->MarkSendWritten({ids[1], 0}, kT0);
    outbox->MarkSending({ids[2], 0}, "primary", kT0);
    outbox->MarkSending({ids[3], 0}, "primary", kT0);
    outbox->MarkSendWritten({ids[3], 0}, kT0);
    outbox->Finish({ids[3], 0}, RecipientState::kDelivered, "250 ok", kT0);  // never committed
    ::_exit(0);                                                              // no destructors
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));

  auto outbox = OpenSqliteOutbox(path());
  const auto recovery = outbox->Recover(kT0 + 1000);
  EXPECT_EQ(recovery.requeued, 2);
  EXPECT_EQ(recovery.uncertain, 2);
  EXPECT_THAT(States(*outbox, ids[0]), ElementsAre(RecipientState::kQueued));
  EXPECT_THAT(States(*outbox, ids[1]), ElementsAre(RecipientState::kUncertain));
  EXPECT_THAT(States(*outbox, ids[2]), ElementsAre(RecipientState::kQueued));
  EXPECT_THAT(States(*outbox, ids[3]), ElementsAre(RecipientState::kUncertain));
  EXPECT_EQ(outbox->Find(ids[0])->recipients[0].attempts, 1);
  EXPECT_EQ(outbox->Due(kT0 + 1000, 10).size(), 2u);
  // Recovery is itself committed: a second start finds nothing left to resolve.
  EXPECT_EQ(OpenSqliteOutbox(path())->Recover(kT0 + 2000).requeued, 0);
}

TEST_F(OutboxTest, AnUnwritableFolderSaysWhatToDo) {
  try {
    OpenSqliteOutbox((dir_ / "missing" / "outbox.db").string());
    FAIL() << "opened an outbox in a missing folder";
  } catch (const OutboxError& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("check that its folder exists"));
  }
}

}  // namespace
}  // namespace kestrel::outbox
