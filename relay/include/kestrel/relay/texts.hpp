#pragma once
// The relay's own wording of what comes from below: secrets masked, its own hints.
//
// Any thread; no state.

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel::relay {

// The text with the gateway's password replaced by "****" wherever it appears (a gateway may
// echo it in a refusal), and with everything after "LOGI <login>" on a line masked the same way,
// so neither a stored reply nor a log line ever carries it.
std::string MaskSecrets(std::string_view text, std::string_view password);

// A lower layer's text for the relay's operator: a hint that names another tool's command-line
// flag is left out, and the relay's own hint for the error number (err::kTls*) is added, naming
// the [[gateway]] setting to change.
std::string WithRelayHint(std::string text, std::int32_t error_number);

}  // namespace kestrel::relay
