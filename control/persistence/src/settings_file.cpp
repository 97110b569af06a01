// Property bags in memory and in JSON settings files.
//
// A settings file looks like this; each value carries its automation type:
//   {
//     "format": "kestrel-snpp-settings",
//     "version": 1,
//     "properties": {
//       "BackColor": {"type": "Long", "value": 16777215},
//       "Font": {"type": "Font", "value": {"name": "Arial", "size": 10.0, "bold": false, ...}},
//       "Recipient": {"type": "String", "value": "5551234"}, ...
//     }
//   }
//
// A String is any byte string. One that is valid UTF-8 is written as JSON text ("value"); any
// other is written as the hexadecimal digits of its bytes instead ("hex": "50c3a9..."), so that
// nothing is lost and files holding only text look as they always did.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

#include "kestrel/control/messages.hpp"
#include "kestrel/control/property_bag.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/platform/input_file.hpp"

namespace kestrel::control {

// --- MemoryBag -----------------------------------------------------------------------------------

const Variant* MemoryBag::Find(const String& name) const {
  const auto it = index_.find(name);
  return it == index_.end() ? nullptr : &entries_[it->second].second;
}

Variant MemoryBag::ReadProperty(const String& name, const Variant& default_value) {
  const Variant* found = Find(name);
  return found ? *found : default_value;
}

void MemoryBag::WriteProperty(const String& name, const Variant& value, const Variant&) {
  const auto [it, added] = index_.try_emplace(name, entries_.size());
  if (!added) {
    entries_[it->second].second = value;
    return;
  }
  entries_.emplace_back(name, value);
}

// --- Settings files ------------------------------------------------------------------------------

namespace settings_file {
namespace {

using Json = nlohmann::ordered_json;  // for writing: the properties in the bag's order
// For reading: an ordered_json object finds its keys one by one, so a file with many names
// would take quadratic time to parse. Property order does not matter when loading.
using ReadJson = nlohmann::json;
constexpr const char* kFormat = "kestrel-snpp-settings";
constexpr int kVersion = 1;

[[noreturn]] void Damaged(const std::string& origin, const std::string& what) {
  throw RuntimeError(err::kSettingsFileDamaged, messages::SettingsFileDamaged(origin, what));
}

bool IsUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    char32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

std::string ToHex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char b : bytes) {
    const auto u = static_cast<unsigned char>(b);
    hex += kDigits[u >> 4];
    hex += kDigits[u & 0x0F];
  }
  return hex;
}

std::string FromHex(std::string_view hex, const std::string& where, const std::string& origin) {
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (hex.size() % 2 != 0) Damaged(origin, where + ": \"hex\" has an odd number of digits");
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = digit(hex[i]);
    const int lo = digit(hex[i + 1]);
    if (hi < 0 || lo < 0)
      Damaged(origin, where + ": \"hex\" holds a character that is not a hex digit");
    bytes += static_cast<char>(hi * 16 + lo);
  }
  return bytes;
}

// Where in the text an offset falls, as "line L, column C" (both from 1, columns in bytes).
std::string Position(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(offset - line_start + 1);
}

Json FontToJson(const Font& f) {
  return Json{{"name", f.name},     {"size", f.size},           {"bold", f.bold},
              {"italic", f.italic}, {"underline", f.underline}, {"strikethrough", f.strikethrough},
              {"weight", f.weight}, {"charset", f.charset}};
}

template <typename T>
T Field(const ReadJson& j, const char* key, const std::string& where, const std::string& origin) {
  const auto it = j.find(key);
  if (it == j.end()) Damaged(origin, where + " has no \"" + key + "\"");
  try {
    return it->get<T>();
  } catch (const ReadJson::exception&) {
    Damaged(origin, where + ": \"" + key + "\" has the wrong type");
  }
}

FontRef FontFromJson(const ReadJson& j, const std::string& where, const std::string& origin) {
  if (j.is_null()) return nullptr;
  if (!j.is_object()) Damaged(origin, where + ": a font is an object of its attributes");
  auto f = std::make_shared<Font>();
  f->name = Field<std::string>(j, "name", where, origin);
  f->size = Field<double>(j, "size", where, origin);
  f->bold = Field<bool>(j, "bold", where, origin);
  f->italic = Field<bool>(j, "italic", where, origin);
  f->underline = Field<bool>(j, "underline", where, origin);
  f->strikethrough = Field<bool>(j, "strikethrough", where, origin);
  f->weight = Field<Integer>(j, "weight", where, origin);
  f->charset = Field<Integer>(j, "charset", where, origin);
  return f;
}

// A whole number of the JSON value that fits [lo, hi].
long long WholeNumber(const ReadJson& v, long long lo, long long hi, const std::string& where,
                      const std::string& origin) {
  if (!v.is_number_integer()) Damaged(origin, where + " is not a whole number");
  const long long n =
      v.is_number_unsigned() && v.get<unsigned long long>() > static_cast<unsigned long long>(hi)
          ? hi + 1
          : v.get<long long>();
  if (n < lo || n > hi) Damaged(origin, where + " is out of range for its type");
  return n;
}

Variant ValueFromJson(const ReadJson& entry, const std::string& name, const std::string& origin) {
  const std::string where = "property \"" + name + "\"";
  if (!entry.is_object()) Damaged(origin, where + " is not a {\"type\", \"value\"} object");
  const std::string type = Field<std::string>(entry, "type", where, origin);
  if (type == "Empty") return Variant();
  if (type == "String" && !entry.contains("value")) {
    const auto hex = entry.find("hex");
    if (hex == entry.end()) Damaged(origin, where + " has no \"value\" and no \"hex\"");
    if (!hex->is_string()) Damaged(origin, where + ": \"hex\" is not text");
    return Variant(FromHex(hex->get_ref<const std::string&>(), where, origin));
  }
  const auto value = entry.find("value");
  if (value == entry.end()) Damaged(origin, where + " has no \"value\"");
  if (type == "Integer") {
    return Variant::FromInteger(
        static_cast<Integer>(WholeNumber(*value, -32768, 32767, where, origin)));
  }
  if (type == "Long") {
    return Variant::FromLong(
        static_cast<Long>(WholeNumber(*value, std::numeric_limits<Long>::min(),
                                      std::numeric_limits<Long>::max(), where, origin)));
  }
  if (type == "Boolean") {
    return Variant::FromBoolean(
        static_cast<Boolean>(WholeNumber(*value, -32768, 32767, where, origin)));
  }
  if (type == "Single") {
    if (!value->is_number()) Damaged(origin, where + " is not a number");
    const double d = value->get<double>();
    if (!(std::fabs(d) <= std::numeric_limits<float>::max())) {
      Damaged(origin, where + " is out of range for its type");
    }
    return Variant::FromSingle(static_cast<float>(d));
  }
  if (type == "String") {
    if (!value->is_string()) Damaged(origin, where + " is not text");
    return Variant(value->get<std::string>());
  }
  if (type == "Font") return Variant::FromObject(FontFromJson(*value, where, origin));
  // The type text is not quoted: in a damaged file it may be any value, a password too.
  Damaged(origin, where +
                      " has an unknown type (\"type\" is one of Empty, Integer, Long, Single, "
                      "Boolean, String, Font)");
}

Json ValueToJson(const Variant& v) {
  switch (v.type()) {
    case VarType::kEmpty:
      return Json{{"type", "Empty"}};
    case VarType::kInteger:
      return Json{{"type", "Integer"}, {"value", v.ToInteger()}};
    case VarType::kLong:
      return Json{{"type", "Long"}, {"value", v.ToLong()}};
    case VarType::kSingle:
      return Json{{"type", "Single"}, {"value", v.ToSingle()}};
    case VarType::kBoolean:
      return Json{{"type", "Boolean"}, {"value", v.ToBoolean()}};
    case VarType::kString: {
      const String text = v.ToString();
      if (IsUtf8(text)) return Json{{"type", "String"}, {"value", text}};
      return Json{{"type", "String"}, {"hex", ToHex(text)}};
    }
    case VarType::kObject: {
      const auto font = v.ToObject();
      return Json{{"type", "Font"}, {"value", font ? FontToJson(*font) : Json(nullptr)}};
    }
  }
  return Json{{"type", "Empty"}};
}

std::string Quoted(const std::filesystem::path& path) {
  // Appended piece by piece: GCC 12 at -O3 takes "'" + s + "'" for an overlapping memcpy
  // (a false -Wrestrict, GCC bug 105651) and -Werror stops the Release build.
  std::string quoted = "'";
  quoted += path.string();
  quoted += '\'';
  return quoted;
}

}  // namespace

MemoryBag Parse(std::string_view text, const std::string& origin) {
  ReadJson doc;
  try {
    doc = ReadJson::parse(text);
  } catch (const ReadJson::parse_error& e) {
    // Not only syntax errors: a number too large for any number type is refused here too. The
    // parser's own message quotes the text it read last, which may be a password: say where
    // the file goes wrong, never what it holds there.
    Damaged(origin,
            "it is not valid JSON (at " + Position(text, e.byte > 0 ? e.byte - 1 : 0) + ")");
  } catch (const ReadJson::exception&) {
    Damaged(origin, "it is not valid JSON");
  }
  const auto format = doc.is_object() ? doc.find("format") : doc.end();
  if (!doc.is_object() || format == doc.end() || *format != kFormat) {
    Damaged(origin, std::string("it is not a kestrel-snpp settings file (no \"format\": \"") +
                        kFormat + "\")");
  }
  const auto version = doc.find("version");
  if (version == doc.end() || !version->is_number_integer() || version->get<int>() != kVersion) {
    Damaged(origin, "its version is not " + std::to_string(kVersion));
  }
  const auto props = doc.find("properties");
  if (props == doc.end() || !props->is_object()) Damaged(origin, "it has no \"properties\" object");
  MemoryBag bag;
  for (const auto& [name, entry] : props->items()) {
    bag.WriteProperty(name, ValueFromJson(entry, name, origin), Variant());
  }
  return bag;
}

std::string Format(const MemoryBag& bag) {
  Json props = Json::object();
  // The bag's names are unique: append them as they come rather than look each one up.
  auto& members = static_cast<Json::object_t::Container&>(props.get_ref<Json::object_t&>());
  members.reserve(bag.entries().size());
  for (const auto& [name, value] : bag.entries()) members.emplace_back(name, ValueToJson(value));
  Json doc{{"format", kFormat}, {"version", kVersion}, {"properties", std::move(props)}};
  return doc.dump(2) + "\n";
}

MemoryBag Load(const std::filesystem::path& path,
               std::optional<std::chrono::steady_clock::time_point> deadline) {
  std::string text;
  try {
    text = platform::ReadInputFile(
               path.string(),
               {.what = "the settings file", .max_bytes = kMaxFileBytes, .deadline = deadline})
               .bytes;
  } catch (const platform::InputFileError& e) {
    throw RuntimeError(err::kSettingsFileUnreadable, messages::SettingsFileUnusable(e.what()));
  }
  return Parse(text, Quoted(path));
}

void Save(const MemoryBag& bag, const std::filesystem::path& path) {
  const std::string text = Format(bag);
  // A temporary file beside the target, so that the rename is atomic and an earlier file stays
  // whole if anything goes wrong. mkstemp creates it readable and writable by the owner only.
  std::string tmp = path.string() + ".tmp-XXXXXX";
  int fd = ::mkstemp(tmp.data());
  const auto fail = [&](const char* step) {
    const int error = errno;
    if (fd >= 0) {
      ::close(fd);
      ::unlink(tmp.c_str());
    }
    throw RuntimeError(err::kSettingsFileWrite,
                       messages::SettingsFileUnwritable(Quoted(path), step, std::strerror(error)));
  };
  if (fd < 0) fail("create");
  if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) fail("set permissions");
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("write");
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) fail("flush");
  if (::rename(tmp.c_str(), path.c_str()) != 0) fail("rename");
  ::close(fd);
}

}  // namespace settings_file
}  // namespace kestrel::control
