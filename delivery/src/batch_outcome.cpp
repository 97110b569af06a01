#include "kestrel/delivery/batch_outcome.hpp"

#include <algorithm>

namespace kestrel::delivery {

BatchDecision DecideBatch(const std::vector<PageAnswer>& answers, bool send_written,
                          bool deadline) {
  BatchDecision d;
  const auto first = std::find(answers.begin(), answers.end(), PageAnswer::kAccepted);
  // The gateway took the first PAGE and not one after it: it takes one a session.
  const bool lone = first != answers.end() && first + 1 != answers.end() &&
                    std::find(first + 1, answers.end(), PageAnswer::kAccepted) == answers.end();
  const auto first_index = static_cast<std::size_t>(first - answers.begin());
  for (std::size_t i = 0; i < answers.size(); ++i) {
    const PageAnswer a = answers[i];
    BatchFate fate = a == PageAnswer::kAccepted || a == PageAnswer::kNone
                         ? BatchFate::kSessionOutcome
                         : BatchFate::kOwnAnswer;
    if (!deadline) {
      const bool again = a == PageAnswer::kTooMany || (lone && i > first_index) ||
                         (lone && i == first_index && !send_written);
      if (again) fate = BatchFate::kAgain;
      d.one_a_session = d.one_a_session || a == PageAnswer::kTooMany || lone;
    }
    d.fates.push_back(fate);
  }
  return d;
}

}  // namespace kestrel::delivery
