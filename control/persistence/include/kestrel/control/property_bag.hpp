#pragma once
// Property bags: where a host keeps a control's settings between sessions.
//
// A bag is a store of named Variant values. ReadProperty returns the stored value, or the
// default when nothing is stored under the name; WriteProperty stores a value (the default
// comes along, for bags that leave out values equal to it; ours keep everything).
//
// MemoryBag keeps the values in memory, in the order first written. SettingsFile loads a bag
// from, and saves one to, a JSON file on disk; each value keeps its automation type, so an
// Integer, a Long, a Boolean and a String all survive the round trip, and a font is stored as
// its attributes.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kestrel/control/variant.hpp"

namespace kestrel::control {

class PropertyBag {
 public:
  virtual ~PropertyBag() = default;
  virtual Variant ReadProperty(const String& name, const Variant& default_value) = 0;
  virtual void WriteProperty(const String& name, const Variant& value,
                             const Variant& default_value) = 0;
};

class MemoryBag final : public PropertyBag {
 public:
  Variant ReadProperty(const String& name, const Variant& default_value) override;
  void WriteProperty(const String& name, const Variant& value,
                     const Variant& default_value) override;

  // The value stored under `name`, or nullptr.
  const Variant* Find(const String& name) const;
  const std::vector<std::pair<String, Variant>>& entries() const noexcept { return entries_; }
  void Clear() noexcept {
    entries_.clear();
    index_.clear();
  }

 private:
  std::vector<std::pair<String, Variant>> entries_;  // in the order they were first written
  std::unordered_map<String, std::size_t> index_;    // name -> position in entries_
};

// Settings files. Load and Save raise RuntimeError (err::kSettingsFile*) with a description that
// names the file and says what is wrong; a failed Load changes nothing, a failed Save leaves any
// earlier file as it was.
namespace settings_file {

// A settings file is at most this large; a larger one, a directory or a device is refused.
inline constexpr std::size_t kMaxFileBytes = 1 << 20;

// Parses the file (a regular file or a pipe) into a bag. A pipe that has not ended by
// `deadline` is given up.
MemoryBag Load(const std::filesystem::path& path,
               std::optional<std::chrono::steady_clock::time_point> deadline = {});
// Writes the bag atomically (a temporary file beside it, then rename), readable and writable by
// the owner only, since it may hold a password.
void Save(const MemoryBag& bag, const std::filesystem::path& path);

// The same, on text (for tests and fuzzing); `origin` names the source in error descriptions.
MemoryBag Parse(std::string_view text, const std::string& origin);
std::string Format(const MemoryBag& bag);

}  // namespace settings_file

}  // namespace kestrel::control
