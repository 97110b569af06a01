// fuzz_settings: any text as a settings file, then loaded into a control.
//
// Rules checked:
//   - Parse either gives a bag or raises RuntimeError 20102 (damaged file) whose description
//     names the file; nothing else escapes it
//   - a bag that parsed survives Format and Parse again unchanged
//   - ReadProperties with that bag either loads or raises RuntimeError 13 or 6 (a value of the
//     wrong type or out of range), and then WriteProperties and a second ReadProperties of what
//     it wrote succeed: whatever loads, saves and loads again

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "kestrel/control/persistence.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/testing/fakes.hpp"

namespace {

using namespace kestrel;
using fuzz::Escaped;

constexpr const char* kOrigin = "'fuzz.json'";

class Site final : public control::ControlSite {
 public:
  void PropertyChanged(std::string_view) override {}
  control::FontRef AmbientFont() override { return font_; }
  void DoEvents() override {}

 private:
  control::FontRef font_ = std::make_shared<control::Font>();
};

std::string FormatOf(const control::MemoryBag& bag) {
  return control::settings_file::Format(bag);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  control::MemoryBag bag;
  try {
    bag = control::settings_file::Parse(text, kOrigin);
  } catch (const RuntimeError& e) {
    KESTREL_FUZZ_CHECK(e.number() == err::kSettingsFileDamaged,
                       "a file that does not parse is reported as damaged",
                       std::to_string(e.number()) + " " + e.description());
    KESTREL_FUZZ_CHECK(e.description().find(kOrigin) != std::string::npos,
                       "the description names the file", e.description());
    return 0;
  }
  const std::string formatted = FormatOf(bag);
  KESTREL_FUZZ_CHECK(FormatOf(control::settings_file::Parse(formatted, kOrigin)) == formatted,
                     "a parsed file survives Format and Parse", Escaped(formatted));

  testing::FakeLoop loop;
  testing::FakeClock clock{loop};
  Site site;
  control::SNPPControl ctl(site, std::make_unique<testing::FakeSocket>(loop),
                           std::make_unique<testing::FakeTimer>(clock));
  try {
    control::ReadProperties(ctl, bag);
  } catch (const RuntimeError& e) {
    KESTREL_FUZZ_CHECK(e.number() == err::kTypeMismatch || e.number() == err::kOverflow,
                       "a value that does not fit its property is a type mismatch or overflow",
                       std::to_string(e.number()) + " " + e.description());
  }
  control::MemoryBag saved;
  control::WriteProperties(ctl, saved);
  control::ReadProperties(ctl, saved);  // what was saved always loads
  control::MemoryBag again;
  control::WriteProperties(ctl, again);
  KESTREL_FUZZ_CHECK(FormatOf(again) == FormatOf(saved), "saving what was loaded changes nothing",
                     Escaped(FormatOf(saved)));
  return 0;
}
