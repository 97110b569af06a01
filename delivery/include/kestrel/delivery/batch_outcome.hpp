#pragma once
// How each pager of a batch (one session, several PAGEs, one SEND) ends: a pure function of the
// answers to the PAGEs and of how the session ended, with its table.
//
// A gateway may take only one PAGE a session, or a few: it then answers a later PAGE with 552
// (too many recipients), another 4xx or 5xx, or closes. That must never cost a pager: those
// pagers go again, their attempt not counted, and the gateway takes one pager a session from
// then on ("one a session"). Told apart from a gateway that refuses some pagers by what follows
// the first accepted pager: a gateway that took several accepts a later one too.
//
//   the pager's answer        the batch's answers                       its fate          gateway
//   552                       any                                       again, uncounted  one a
//   session not accepted, or none     a pager before it was accepted, and none  again, uncounted
//   one a session (the session ended)       after the first accepted one was accepted as the row
//   above, and SEND not written    again, uncounted  one a session accepted, or none otherwise the
//   session's outcome any other reply           otherwise                                 its own
//   reply's verdict (any)                     the deadline ended the session            accepted or
//   none: the
//                                                                       session's; else its own
//
// "The session's outcome" is ClassifyAttempt of how the session ended (SEND's reply, a lost
// connection after SEND: uncertain, ...); "its own reply's verdict" is ClassifyAttempt of that
// reply at PAGE (5xx refused, 4xx transient). A batch of two where the second pager is unknown
// to the gateway looks like a gateway of one PAGE a session: the pager goes again alone and is
// refused then; the cost is sessions of one at that gateway.
//
// Any thread; no state.

#include <cstddef>
#include <vector>

namespace kestrel::delivery {

enum class PageAnswer {
  kNone,      // no answer: the session ended before this pager's turn was over
  kAccepted,  // 250 to its PAGE
  kTooMany,   // 552 (too many recipients) to its PAGE or one of its options
  kOther,     // any other reply to its PAGE or one of its options
};

enum class BatchFate {
  kSessionOutcome,  // takes the outcome of the session (SEND's reply, or how it ended)
  kOwnAnswer,       // takes the verdict of its own answer
  kAgain,           // goes again, the attempt not counted
};

struct BatchDecision {
  std::vector<BatchFate> fates;  // one per pager, in order
  bool one_a_session = false;    // the gateway takes one pager a session from now on
};

// `send_written`: SEND went out; `deadline`: the request's deadline ended the session.
BatchDecision DecideBatch(const std::vector<PageAnswer>& answers, bool send_written, bool deadline);

}  // namespace kestrel::delivery
