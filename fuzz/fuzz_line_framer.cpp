// fuzz_line_framer: any byte stream, split into reads anywhere, framed into reply lines.
//
// Input layout:
//   [0]        the cap: 0..15 the control's default (LineFramer::kDefaultCap), else the byte
//              minus 15 (1..240), so that short caps and overlong lines are met often
//   [1]        n = [1] % 32: how many read sizes follow
//   [2..2+n)   the read sizes, used in turn (0 is an empty read)
//   rest       the stream
//
// Rules checked:
//   - the lines are the same whatever the split: one Append of the whole stream, reads of the
//     given sizes with Next() drained after each (as the control does), and a byte-at-a-time
//     model of the framing rule all agree, and so do the bytes left over
//   - the cap is honoured: a line is at most cap bytes; it ends at its LF, or it is exactly cap
//     bytes long (the head of an overlong line)
//   - memory is bounded: drained, the framer holds less than cap bytes; after an Append, at most
//     that plus the read
//   - Reset() forgets everything

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "kestrel/session/line_framer.hpp"

namespace {

using kestrel::fuzz::Escaped;
using kestrel::session::LineFramer;

struct Framed {
  std::vector<std::string> lines;
  std::size_t left = 0;  // bytes held back: the start of a line with no LF yet
};

std::string Describe(const std::vector<std::string>& lines) {
  std::string out = std::to_string(lines.size()) + " lines:";
  for (std::size_t i = 0; i < lines.size() && i < 8; ++i) out += " [" + Escaped(lines[i], 40) + "]";
  return out;
}

// The framing rule one byte at a time: a line ends at LF; a line that reaches cap bytes without
// one is handed over as those cap bytes, and the rest of it up to its LF is dropped.
Framed Model(std::string_view stream, std::size_t cap) {
  Framed out;
  std::string line;
  bool dropping = false;
  for (const char c : stream) {
    if (dropping) {
      dropping = c != '\n';
      continue;
    }
    line += c;
    if (c == '\n') {
      out.lines.push_back(std::move(line));
      line.clear();
    } else if (line.size() == cap) {
      out.lines.push_back(std::move(line));
      line.clear();
      dropping = true;
    }
  }
  out.left = line.size();
  return out;
}

void Drain(LineFramer& framer, std::size_t cap, std::vector<std::string>& lines) {
  // Each Next() consumes at least one byte, so this ends; the bound only guards the guard.
  for (std::size_t guard = 0; guard < (1u << 22); ++guard) {
    auto line = framer.Next();
    if (!line) break;
    KESTREL_FUZZ_CHECK(!line->empty(), "a line is never empty", "cap " + std::to_string(cap));
    KESTREL_FUZZ_CHECK(
        line->size() <= cap, "a line is at most cap bytes",
        "cap " + std::to_string(cap) + ", line of " + std::to_string(line->size()) + " bytes");
    const auto lf = line->find('\n');
    KESTREL_FUZZ_CHECK(lf == line->npos ? line->size() == cap : lf + 1 == line->size(),
                       "a line ends at its LF, or is the cap-long head of an overlong line",
                       "cap " + std::to_string(cap) + ", line [" + Escaped(*line) + "]");
    lines.push_back(std::move(*line));
  }
  KESTREL_FUZZ_CHECK(framer.buffered() < cap, "a drained framer holds less than cap bytes",
                     "cap " + std::to_string(cap) + ", holds " + std::to_string(framer.buffered()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t cap = data[0] < 16 ? LineFramer::kDefaultCap : data[0] - 15u;
  const std::size_t n_sizes = data[1] % 32;
  if (size < 2 + n_sizes) return 0;
  std::vector<std::uint8_t> sizes(data + 2, data + 2 + n_sizes);
  // Empty reads are welcome, but some read must take bytes or the stream never ends.
  bool any_progress = false;
  for (const auto s : sizes) any_progress = any_progress || s > 0;
  if (!any_progress) sizes.clear();
  const std::string_view stream(reinterpret_cast<const char*>(data) + 2 + n_sizes,
                                size - 2 - n_sizes);

  const Framed model = Model(stream, cap);

  // The whole stream in one read.
  Framed whole;
  {
    LineFramer framer(cap);
    framer.Append(stream);
    Drain(framer, cap, whole.lines);
    whole.left = framer.buffered();
  }

  // The stream in reads of the given sizes, drained after each, as the control reads it.
  Framed split;
  LineFramer framer(cap);
  std::size_t at = 0;
  for (std::size_t i = 0; at < stream.size(); ++i) {
    const std::size_t want = sizes.empty() ? stream.size() : sizes[i % sizes.size()];
    const std::string_view read = stream.substr(at, want);
    at += read.size();
    const std::size_t before = framer.buffered();
    framer.Append(read);
    KESTREL_FUZZ_CHECK(framer.buffered() <= before + read.size(),
                       "an Append holds at most what was held plus the read",
                       "held " + std::to_string(before) + ", read " + std::to_string(read.size()) +
                           ", now " + std::to_string(framer.buffered()));
    Drain(framer, cap, split.lines);
  }
  split.left = framer.buffered();

  KESTREL_FUZZ_CHECK(whole.lines == model.lines, "one read frames the stream as the model does",
                     "framer " + Describe(whole.lines) + "; model " + Describe(model.lines));
  KESTREL_FUZZ_CHECK(split.lines == model.lines, "split reads frame the stream as one read does",
                     "split " + Describe(split.lines) + "; model " + Describe(model.lines));
  KESTREL_FUZZ_CHECK(whole.left == model.left && split.left == model.left,
                     "the bytes held back do not depend on the split",
                     "whole " + std::to_string(whole.left) + ", split " +
                         std::to_string(split.left) + ", model " + std::to_string(model.left));

  framer.Reset();
  KESTREL_FUZZ_CHECK(framer.buffered() == 0 && !framer.Next(), "Reset forgets everything",
                     "still holds " + std::to_string(framer.buffered()));
  framer.Append("after reset\n");
  const auto fresh = framer.Next();
  KESTREL_FUZZ_CHECK(fresh && *fresh == std::string("after reset\n").substr(0, cap),
                     "after Reset the framer starts a new line",
                     fresh ? Escaped(*fresh) : std::string("no line"));
  return 0;
}
