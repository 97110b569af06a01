#include "kestrel/outbox/pg/queue_sql.hpp"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <ostream>
#include <random>

namespace kestrel::outbox::pg {

namespace {

// Version 1: pages, their recipients, the keys that make a retried webhook the same page.
constexpr std::array<std::string_view, 11> kVersion1 = {
    R"sql(CREATE SEQUENCE recipient_token AS bigint)sql",
    R"sql(
CREATE TABLE pages (
  id text PRIMARY KEY,
  created_at timestamptz NOT NULL,
  expires_at timestamptz NOT NULL,
  source text NOT NULL,
  message text NOT NULL,
  data text NOT NULL,
  subject text NOT NULL,
  options text NOT NULL
))sql",
    // A new state is a new step that replaces recipients_state.
    R"sql(
CREATE TABLE recipients (
  page_id text NOT NULL REFERENCES pages (id) ON DELETE CASCADE,
  idx integer NOT NULL CHECK (idx >= 0),
  pager text NOT NULL,
  state text NOT NULL DEFAULT 'queued',
  attempts integer NOT NULL DEFAULT 0,
  gateway text NOT NULL DEFAULT '',
  last_reply text NOT NULL DEFAULT '',
  send_written boolean NOT NULL DEFAULT false,
  next_at timestamptz NOT NULL,
  expires_at timestamptz NOT NULL,
  updated_at timestamptz NOT NULL DEFAULT now(),
  owner text,
  token bigint,
  lease_until timestamptz,
  PRIMARY KEY (page_id, idx),
  CONSTRAINT recipients_state CHECK (state IN ('queued', 'sending', 'delivered', 'degraded',
    'refused', 'failed', 'uncertain', 'expired', 'dismissed')),
  CONSTRAINT queued_never_send_written CHECK (NOT (state = 'queued' AND send_written)),
  CONSTRAINT sending_holds_lease CHECK (state <> 'sending' OR
    (owner IS NOT NULL AND token IS NOT NULL AND lease_until IS NOT NULL))
))sql",
    R"sql(CREATE INDEX recipients_due ON recipients (next_at) WHERE state = 'queued')sql",
    R"sql(CREATE INDEX recipients_expiry ON recipients (expires_at) WHERE state = 'queued')sql",
    R"sql(CREATE INDEX recipients_leases ON recipients (lease_until) WHERE state = 'sending')sql",
    R"sql(CREATE UNIQUE INDEX recipients_token ON recipients (token))sql",
    R"sql(CREATE INDEX pages_created ON pages (created_at))sql",
    R"sql(
CREATE TABLE page_keys (
  key text PRIMARY KEY,
  page_id text NOT NULL REFERENCES pages (id) ON DELETE CASCADE,
  expires_at timestamptz NOT NULL
))sql",
    R"sql(CREATE INDEX page_keys_page ON page_keys (page_id))sql",
    R"sql(CREATE INDEX page_keys_expiry ON page_keys (expires_at))sql",
};

// Version 2: what a level-1 gateway cannot carry (require_level2, and needs_level2 kept with
// each recipient so a claim filters without touching pages), the note kept with a recipient,
// and the order of acceptance among recipients due at once (seq).
constexpr std::array<std::string_view, 7> kVersion2 = {
    R"sql(ALTER TABLE pages ADD COLUMN require_level2 boolean NOT NULL DEFAULT false)sql",
    R"sql(ALTER TABLE recipients ADD COLUMN note text NOT NULL DEFAULT '')sql",
    R"sql(ALTER TABLE recipients ADD COLUMN needs_level2 boolean NOT NULL DEFAULT false)sql",
    // Before any UPDATE moves a row: the rows there are numbered in the order they were stored.
    R"sql(ALTER TABLE recipients ADD COLUMN seq bigint GENERATED ALWAYS AS IDENTITY)sql",
    R"sql(
UPDATE recipients AS r SET needs_level2 = true
FROM pages AS p WHERE p.id = r.page_id AND p.data <> '')sql",
    R"sql(DROP INDEX recipients_due)sql",
    R"sql(CREATE INDEX recipients_due ON recipients (next_at, seq) WHERE state = 'queued')sql",
};

// Version 3: who resent or dismissed a recipient (the state dismissed was allowed from the
// start).
constexpr std::array<std::string_view, 1> kVersion3 = {
    R"sql(ALTER TABLE recipients ADD COLUMN acted_by text NOT NULL DEFAULT '')sql",
};

}  // namespace

std::span<const std::string_view> SchemaStep(int version) {
  switch (version) {
    case 1:
      return kVersion1;
    case 2:
      return kVersion2;
    case 3:
      return kVersion3;
    default:
      return {};
  }
}

SchemaVerdict JudgeSchema(int found, int known) {
  if (found < 0 || found > known) return SchemaVerdict::kNewer;
  if (found == 0) return SchemaVerdict::kMissing;
  if (found < known) return SchemaVerdict::kOlder;
  return SchemaVerdict::kCurrent;
}

std::ostream& operator<<(std::ostream& out, SchemaVerdict verdict) {
  switch (verdict) {
    case SchemaVerdict::kCurrent:
      return out << "current";
    case SchemaVerdict::kMissing:
      return out << "missing";
    case SchemaVerdict::kOlder:
      return out << "older";
    case SchemaVerdict::kNewer:
      return out << "newer";
  }
  return out << "unknown";
}

std::string NewOwner() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  std::random_device device;
  const unsigned long long boot = (static_cast<unsigned long long>(device()) << 32) ^ device();
  char boot_text[17];
  std::snprintf(boot_text, sizeof boot_text, "%016llx", boot);
  return std::string(host[0] ? host : "unknown") + "/" + std::to_string(getpid()) + "/" + boot_text;
}

}  // namespace kestrel::outbox::pg
