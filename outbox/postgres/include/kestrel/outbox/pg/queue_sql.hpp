#pragma once
// The shared outbox in PostgreSQL: its schema and every statement of the queue's protocol, in
// one place, as the store runs them and as tests/outbox/pg_queue_test.cpp checks them.
//
// A recipient's life (states are the CHECK on recipients.state):
//
//   accept ──▶ queued ── claim (owner, token, lease_until = now() + ttl) ──▶ sending
//                ▲                                                            │ renew: lease on
//                │  sweep: lease ran out, SEND not written ◀───────────────────┤
//                │  finish(queued): retry later, the mark cleared ◀───────────┤ send_written:
//                                                                             │ token + lease
//      uncertain ◀─ sweep: lease ran out after SEND was written ◀─────────────┤
//          │                                                                  │ finish: token
//          └─ finish with the gateway's late word (delivered, degraded)              ▼
//                                  delivered, degraded, refused, failed, uncertain, expired
//   queued past its page's expiry ── expire ──▶ expired
//   uncertain, failed, expired ── an operator's resend ──▶ queued (token cleared)
//   uncertain ── an operator's dismiss ──▶ dismissed
//
// The guards, each for a fault it survives:
// - claim takes due queued rows FOR UPDATE SKIP LOCKED: relays claiming at once never take the
//   same row, and never wait for each other;
// - every claim draws a new fencing token from a sequence; renew, the SEND-written mark and
//   finish name the token, so a relay that lost its lease (paused, partitioned) and comes back
//   changes nothing of the claim that replaced it;
// - the SEND-written mark also needs `lease_until > now()`: SEND goes on the wire only after
//   that commit, and a row once marked is never queued again (the CHECK
//   queued_never_send_written), so a page whose SEND may have left is never sent twice;
// - the sweep turns a lapsed lease into queued when SEND was not written (another relay may
//   send it at once) and into uncertain when it was;
// - all times are the database's now(), so relays' clocks do not matter.
//
// Statements that make work ready end with pg_notify(kChannel); the server folds a
// transaction's identical notifications into one, so there is one wake-up per commit.
//
// Parameters are text; arrays are ArrayLiteral() texts (client.hpp). Times come back as
// milliseconds since the Unix epoch on the database's clock; durations go in as milliseconds.

#include <span>
#include <string>
#include <string_view>

#include "kestrel/outbox/pg/client.hpp"

namespace kestrel::outbox::pg {

// The channel of the wake-up notifications.
inline constexpr std::string_view kChannel = "kestrel_outbox";

// Locks the keys ($1 text[], the batch's idempotency and dedup keys, with their "i:"/"d:"
// prefixes) for the rest of the transaction, in one order for every relay: two relays taking
// the same webhook at once then accept one after the other, and never deadlock.
inline constexpr Statement kLockKeys{"kestrel_lock_keys", R"sql(
SELECT count(pg_advisory_xact_lock(1263750736, h))
FROM (SELECT DISTINCT hashtext(k) AS h FROM unnest($1::text[]) AS k ORDER BY 1) AS keys
)sql"};

// Accepts one page, after kLockKeys in the same transaction.
//   $1 id  $2 source  $3 message  $4 data  $5 subject  $6 options (JSON text)
//   $7 expire_after_ms  $8 idempotency key or NULL  $9 dedup key or NULL  $10 pagers text[]
//   $11 require_level2 (a page with a data body needs level 2 anyway)
// → id (the earlier page's when a key is held), created, recipients, keys_held, keys_wanted.
// A key is held by an unexpired earlier page: that page answers, nothing is stored. Each
// statement sees what the transaction's earlier statements wrote, so two pages of one batch
// with the same key make one page. Sent again under the same id (its first answer was lost
// with the connection), it stores nothing twice and answers the same: the page exists already
// (ON CONFLICT) or holds its own keys, and `created` says this id is the one that answers.
inline constexpr Statement kAcceptPage{"kestrel_accept_page", R"sql(
WITH keys AS (
  SELECT key, rank FROM (VALUES ('i:' || $8::text, 1), ('d:' || $9::text, 2)) AS k (key, rank)
  WHERE key IS NOT NULL
), earlier AS (
  SELECT held.page_id FROM page_keys AS held JOIN keys USING (key)
  WHERE held.expires_at > now()
  ORDER BY keys.rank LIMIT 1
), page AS (
  INSERT INTO pages (id, created_at, expires_at, source, message, data, subject, options,
                     require_level2)
  SELECT $1, now(), now() + greatest($7::bigint, 0) * interval '1 millisecond', $2, $3, $4, $5,
         $6, $11::boolean
  WHERE NOT EXISTS (SELECT 1 FROM earlier)
  ON CONFLICT (id) DO NOTHING
  RETURNING id, expires_at, require_level2 OR data <> '' AS needs_level2
), added AS (
  INSERT INTO recipients (page_id, idx, pager, next_at, expires_at, needs_level2)
  SELECT page.id, pager.ord - 1, pager.value, now(), page.expires_at, page.needs_level2
  FROM page, unnest($10::text[]) WITH ORDINALITY AS pager (value, ord)
  ORDER BY pager.ord
  RETURNING 1
), held AS (
  INSERT INTO page_keys (key, page_id, expires_at)
  SELECT keys.key, page.id, page.expires_at FROM page, keys
  ON CONFLICT (key) DO UPDATE SET page_id = excluded.page_id, expires_at = excluded.expires_at
    WHERE page_keys.expires_at <= now()
  RETURNING 1
)
SELECT coalesce((SELECT page_id FROM earlier), $1) AS id,
       coalesce((SELECT page_id FROM earlier), $1) = $1 AS created,
       (SELECT count(*) FROM added) AS recipients,
       (SELECT count(*) FROM held) AS keys_held,
       (SELECT count(*) FROM keys) AS keys_wanted
)sql"};

// The wake-up, last in an accept transaction.
inline constexpr Statement kWake{"kestrel_wake", R"sql(
SELECT pg_notify('kestrel_outbox', '')
)sql"};

// Claims up to $1 due recipients for owner $2 with a lease of $3 ms, oldest due first (in the
// order they were accepted among those due at once). Expiry is the recipient's own: a resent
// one lives its page's lifetime again from the resend. $4: NULL takes any page; true only pages
// that need a gateway at level 2 or above; false only the others.
// → page_id, idx, pager, attempts (this one included), token, lease_until_ms, message, data,
//   subject, options, created_ms, expires_ms, source, gateway (of the attempt before),
//   require_level2, age_ms (since the page was accepted), expires_in_ms (> 0)
inline constexpr Statement kClaim{"kestrel_claim", R"sql(
WITH due AS (
  SELECT page_id, idx FROM recipients
  WHERE state = 'queued' AND next_at <= now() AND expires_at > now()
    AND ($4::boolean IS NULL OR needs_level2 = $4::boolean)
  ORDER BY next_at, seq
  LIMIT $1
  FOR UPDATE SKIP LOCKED
), claimed AS (
  UPDATE recipients AS r
  SET state = 'sending', owner = $2, token = nextval('recipient_token'),
      lease_until = now() + $3::bigint * interval '1 millisecond',
      attempts = r.attempts + 1, send_written = false, updated_at = now()
  FROM due, pages AS p
  WHERE r.page_id = due.page_id AND r.idx = due.idx AND p.id = r.page_id
  RETURNING r.page_id, r.idx, r.pager, r.attempts, r.token, r.lease_until, r.gateway, r.next_at,
            r.seq, p.message, p.data, p.subject, p.options, p.created_at, r.expires_at, p.source,
            p.require_level2
)
SELECT page_id, idx, pager, attempts, token,
       (extract(epoch FROM lease_until) * 1000)::bigint AS lease_until_ms,
       message, data, subject, options,
       (extract(epoch FROM created_at) * 1000)::bigint AS created_ms,
       (extract(epoch FROM expires_at) * 1000)::bigint AS expires_ms, source, gateway,
       require_level2,
       floor(extract(epoch FROM now() - created_at) * 1000)::bigint AS age_ms,
       ceil(extract(epoch FROM expires_at - now()) * 1000)::bigint AS expires_in_ms
FROM claimed
ORDER BY next_at, seq
)sql"};

// Extends the leases of tokens $1 (bigint[]) to now() + $2 ms, only while they still hold:
// a lease that ran out is lost even before a sweep takes it. → token of each renewed lease.
inline constexpr Statement kRenew{"kestrel_renew", R"sql(
UPDATE recipients SET lease_until = now() + $2::bigint * interval '1 millisecond'
WHERE token = ANY ($1::bigint[]) AND state = 'sending' AND lease_until > now()
RETURNING token
)sql"};

// SEND is about to be written for tokens $1 (bigint[]) through gateways $2 (text[], in step).
// → token of each row marked. A token missing from the answer has lost its lease: its SEND
// must not go out.
inline constexpr Statement kMarkSendWritten{"kestrel_mark_send_written", R"sql(
UPDATE recipients AS r SET send_written = true, gateway = w.gateway, updated_at = now()
FROM unnest($1::bigint[], $2::text[]) AS w (token, gateway)
WHERE r.token = w.token AND r.state = 'sending' AND r.lease_until > now()
RETURNING r.token
)sql"};

// Ends attempts, arrays in step: $1 tokens bigint[], $2 states text[], $3 replies text[],
// $4 gateways text[], $5 retry_after_ms bigint[] (for queued), $6 notes text[] (for each of
// reply, gateway and note, '' keeps what the recipient had), $7 attempted boolean[] (false: no
// session was made for the claim; the attempt it counted is taken back).
// From sending: queued (the mark cleared: the gateway answered, nothing is in doubt) or a
// final state. From uncertain: only the gateway's own late word that the page went out
// (delivered, degraded). → token, state of each row changed; a missing token was not ours any
// more.
inline constexpr Statement kFinish{"kestrel_finish", R"sql(
UPDATE recipients AS r
SET state = f.state,
    last_reply = CASE WHEN f.reply = '' THEN r.last_reply ELSE f.reply END,
    note = CASE WHEN f.note = '' THEN r.note ELSE f.note END,
    attempts = CASE WHEN f.attempted THEN r.attempts ELSE greatest(r.attempts - 1, 0) END,
    gateway = CASE WHEN f.gateway = '' THEN r.gateway ELSE f.gateway END,
    next_at = CASE WHEN f.state = 'queued'
                   THEN now() + greatest(f.retry_ms, 0) * interval '1 millisecond'
                   ELSE r.next_at END,
    send_written = r.send_written AND f.state <> 'queued',
    lease_until = NULL, updated_at = now()
FROM unnest($1::bigint[], $2::text[], $3::text[], $4::text[], $5::bigint[], $6::text[],
            $7::boolean[]) AS f (token, state, reply, gateway, retry_ms, note, attempted)
WHERE r.token = f.token
  AND f.state IN ('queued', 'delivered', 'degraded', 'refused', 'failed', 'uncertain', 'expired')
  AND (r.state = 'sending'
       OR (r.state = 'uncertain' AND f.state IN ('delivered', 'degraded')))
RETURNING r.token, r.state
)sql"};

// The states of the rows holding tokens $1 (bigint[]): how a finish sent again learns that
// its first try, whose answer was lost, had already settled them. → token, state
inline constexpr Statement kTokenStates{"kestrel_token_states", R"sql(
SELECT token, state FROM recipients WHERE token = ANY ($1::bigint[])
)sql"};

// Resolves up to $1 lapsed leases: SEND not written → queued, due now; written → uncertain.
// Rows another relay is changing right now are left for the next sweep. Wakes the relays when
// it queued any. → page_id, idx, state, owner (whose lease ran out), woke.
inline constexpr Statement kSweep{"kestrel_sweep", R"sql(
WITH lapsed AS (
  SELECT page_id, idx FROM recipients
  WHERE state = 'sending' AND lease_until <= now()
  ORDER BY lease_until
  LIMIT $1
  FOR UPDATE SKIP LOCKED
), swept AS (
  UPDATE recipients AS r
  SET state = CASE WHEN r.send_written THEN 'uncertain' ELSE 'queued' END,
      next_at = CASE WHEN r.send_written THEN r.next_at ELSE now() END,
      last_reply = CASE WHEN r.send_written
                        THEN 'the relay sending this page stopped answering after SEND was '
                             'written; the page may have been delivered; not resent'
                        ELSE r.last_reply END,
      lease_until = NULL, updated_at = now()
  FROM lapsed
  WHERE r.page_id = lapsed.page_id AND r.idx = lapsed.idx
  RETURNING r.page_id, r.idx, r.state, r.owner
)
SELECT page_id, idx, state, owner,
       (SELECT count(pg_notify('kestrel_outbox', ''))
        FROM (SELECT 1 FROM swept WHERE state = 'queued' LIMIT 1) AS any_queued) AS woke
FROM swept
)sql"};

// Up to $1 queued recipients whose page expired become expired. → page_id, idx
inline constexpr Statement kExpire{"kestrel_expire", R"sql(
WITH gone AS (
  SELECT page_id, idx FROM recipients
  WHERE state = 'queued' AND expires_at <= now()
  ORDER BY expires_at
  LIMIT $1
  FOR UPDATE SKIP LOCKED
)
UPDATE recipients AS r SET state = 'expired', updated_at = now()
FROM gone WHERE r.page_id = gone.page_id AND r.idx = gone.idx
RETURNING r.page_id, r.idx
)sql"};

// Retention: deletes up to $2 pages all of whose recipients are final and unchanged for $1 ms
// and that no live key names (a repeated request never answers with a pruned page's id), with
// their recipients and expired keys. Run it again while it deletes $2. → id
inline constexpr Statement kDeleteOldPages{"kestrel_delete_old_pages", R"sql(
DELETE FROM pages WHERE id IN (
  SELECT p.id FROM pages AS p
  WHERE p.created_at < now() - $1::bigint * interval '1 millisecond'
    AND NOT EXISTS (
      SELECT 1 FROM recipients AS r
      WHERE r.page_id = p.id
        AND (r.state IN ('queued', 'sending')
             OR r.updated_at >= now() - $1::bigint * interval '1 millisecond'))
    AND NOT EXISTS (
      SELECT 1 FROM page_keys AS k WHERE k.page_id = p.id AND k.expires_at > now())
  ORDER BY p.created_at
  LIMIT $2
  FOR UPDATE SKIP LOCKED)
RETURNING id
)sql"};

// Retention: deletes up to $1 expired keys. → key
inline constexpr Statement kDeleteExpiredKeys{"kestrel_delete_expired_keys", R"sql(
DELETE FROM page_keys WHERE key IN (
  SELECT key FROM page_keys WHERE expires_at <= now()
  ORDER BY expires_at LIMIT $1 FOR UPDATE SKIP LOCKED)
RETURNING key
)sql"};

// How long until the earliest queued recipient of an unexpired page is due, in ms, rounded up
// (0: now; NULL: none queued). $1 filters as kClaim's $4.
inline constexpr Statement kNextDue{"kestrel_next_due", R"sql(
SELECT CASE WHEN min(next_at) IS NOT NULL
            THEN greatest(0, ceil(extract(epoch FROM min(next_at) - now()) * 1000))::bigint
       END AS wait_ms
FROM recipients
WHERE state = 'queued' AND expires_at > now()
  AND ($1::boolean IS NULL OR needs_level2 = $1::boolean)
)sql"};

// A page by id $1. → source, message, data, subject, options, created_ms, expires_ms (both cut
// to the millisecond, never rounded up, so that a list's since of the time shown finds the
// page, and expires - created is its expire_after), require_level2
inline constexpr Statement kFindPage{"kestrel_find_page", R"sql(
SELECT source, message, data, subject, options,
       floor(extract(epoch FROM created_at) * 1000)::bigint AS created_ms,
       floor(extract(epoch FROM expires_at) * 1000)::bigint AS expires_ms, require_level2
FROM pages WHERE id = $1
)sql"};

// The recipients of page $1 in order. → idx, pager, state, attempts, gateway, last_reply,
// send_written, next_ms, updated_ms, owner, token, note, acted_by
inline constexpr Statement kFindRecipients{"kestrel_find_recipients", R"sql(
SELECT idx, pager, state, attempts, gateway, last_reply, send_written,
       (extract(epoch FROM next_at) * 1000)::bigint AS next_ms,
       (extract(epoch FROM updated_at) * 1000)::bigint AS updated_ms, owner, token, note, acted_by
FROM recipients WHERE page_id = $1 ORDER BY idx
)sql"};

// Pages newest first, then by id descending (byte order), with all their recipients, in one
// statement (one snapshot): a row per recipient, and one with a NULL idx for a page without any.
//   $1 state or NULL (a page with a recipient in it)  $2 since_ms or NULL (created at or after)
//   $3 sources text[] or NULL  $4 cursor created_us or NULL  $5 cursor id  $6 limit
// → id, source, message, data, subject, options, created_ms, expires_ms, require_level2,
//   created_us, then kFindRecipients' columns from idx to acted_by
inline constexpr Statement kListPages{"kestrel_list_pages", R"sql(
WITH listed AS (
  SELECT p.* FROM pages AS p
  WHERE ($1::text IS NULL
         OR EXISTS (SELECT 1 FROM recipients AS s WHERE s.page_id = p.id AND s.state = $1::text))
    AND ($2::bigint IS NULL
         OR p.created_at >= 'epoch'::timestamptz + $2::bigint * interval '1 millisecond')
    AND ($3::text[] IS NULL OR p.source = ANY ($3::text[]))
    AND ($4::bigint IS NULL
         OR (p.created_at, p.id COLLATE "C") <
            ('epoch'::timestamptz + $4::bigint * interval '1 microsecond', $5::text))
  ORDER BY p.created_at DESC, p.id COLLATE "C" DESC
  LIMIT $6
)
SELECT l.id, l.source, l.message, l.data, l.subject, l.options,
       floor(extract(epoch FROM l.created_at) * 1000)::bigint AS created_ms,
       floor(extract(epoch FROM l.expires_at) * 1000)::bigint AS expires_ms, l.require_level2,
       (extract(epoch FROM l.created_at) * 1000000)::bigint AS created_us,
       r.idx, r.pager, r.state, r.attempts, r.gateway, r.last_reply, r.send_written,
       (extract(epoch FROM r.next_at) * 1000)::bigint AS next_ms,
       (extract(epoch FROM r.updated_at) * 1000)::bigint AS updated_ms, r.owner, r.token, r.note,
       r.acted_by
FROM listed AS l LEFT JOIN recipients AS r ON r.page_id = l.id
ORDER BY l.created_at DESC, l.id COLLATE "C" DESC, r.idx
)sql"};

// An operator's action, first step: locks the recipients of page $1 with pager $2 and reads
// their states as they are once any other action on them has committed (a second caller waits
// here for the first). → idx, state
inline constexpr Statement kLockRecipients{"kestrel_lock_recipients", R"sql(
SELECT idx, state FROM recipients WHERE page_id = $1 AND pager = $2 ORDER BY idx FOR UPDATE
)sql"};

// Resend, after kLockRecipients: the recipients of page $1 with pager $2 whose state is one of
// $5 (text[], from MayAct) are queued, due now, with the SEND mark and fencing token cleared
// and their page's lifetime again from now; attempts stay. $3 actor, $4 note. → idx
inline constexpr Statement kResend{"kestrel_resend", R"sql(
UPDATE recipients AS r
SET state = 'queued', send_written = false, token = NULL, owner = NULL, lease_until = NULL,
    next_at = now(), expires_at = now() + (p.expires_at - p.created_at), note = $4,
    acted_by = $3, updated_at = now()
FROM pages AS p
WHERE p.id = r.page_id AND r.page_id = $1 AND r.pager = $2 AND r.state = ANY ($5::text[])
RETURNING r.idx
)sql"};

// Dismiss, after kLockRecipients: as kResend, the recipients become dismissed. → idx
inline constexpr Statement kDismiss{"kestrel_dismiss", R"sql(
UPDATE recipients SET state = 'dismissed', note = $4, acted_by = $3, updated_at = now()
WHERE page_id = $1 AND pager = $2 AND state = ANY ($5::text[])
RETURNING idx
)sql"};

// Recipients per state, for metrics. → state, count
inline constexpr Statement kCountStates{"kestrel_count_states", R"sql(
SELECT state, count(*) FROM recipients GROUP BY state
)sql"};

// Pages, and the bytes the outbox's tables take on disk. → pages, bytes
inline constexpr Statement kSize{"kestrel_size", R"sql(
SELECT (SELECT count(*) FROM pages) AS pages,
       pg_total_relation_size('pages') + pg_total_relation_size('recipients') +
       pg_total_relation_size('page_keys') AS bytes
)sql"};

// Readiness: a write that commits (a transaction id is assigned, so the commit is flushed as
// any other; a standby refuses it), and the schema's version. → version, xid
inline constexpr Statement kProbe{"kestrel_probe", R"sql(
SELECT (SELECT coalesce(max(version), 0) FROM schema_version) AS version, txid_current() AS xid
)sql"};

// Last in a unit whose commit need only outlive the process, not a power cut or a failover
// (claims, renewals, outcomes, sweeps, retention): it returns without waiting for the disk or a
// standby. One lost leaves its recipient as it was, which a sweep resolves safely, and the next
// synchronous commit (an accept, a SEND-written mark) makes it durable with its own, since the
// log is written in order.
inline constexpr Statement kRelaxedCommit{"kestrel_relaxed_commit", R"sql(
SELECT set_config('synchronous_commit', 'off', true)
)sql"};

// --- The schema ---

// The schema this build knows. A database at a newer version was migrated by a newer relay.
inline constexpr int kSchemaVersion = 3;

// Step n takes the schema from version n - 1 to n; each runs in one transaction with the row
// (n) it adds to schema_version, whose primary key lets only one of two migrations at once
// commit.
std::span<const std::string_view> SchemaStep(int version);

enum class SchemaVerdict {
  kCurrent,  // found == known: ready
  kMissing,  // no schema yet (found 0): migrate creates it
  kOlder,    // 0 < found < known: migrate updates it
  kNewer,    // found > known: a newer relay migrated it; refuse to run or to migrate
};
// The one rule for what a schema version means to this build:
//   found   0        → kMissing
//   found   1..k-1   → kOlder
//   found   k        → kCurrent
//   found   > k      → kNewer
//   found   < 0      → kNewer (not ours to touch)
SchemaVerdict JudgeSchema(int found, int known = kSchemaVersion);
std::ostream& operator<<(std::ostream& out, SchemaVerdict verdict);

// "host/pid/boot": who holds a lease, in claims and in the sweep's answer. The boot id is
// random per process, so a restarted relay with a recycled pid is still someone else.
std::string NewOwner();

}  // namespace kestrel::outbox::pg
