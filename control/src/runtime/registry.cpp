// Registration in the per-user registry file: a JSON document that maps class ids, ProgIDs,
// type libraries and interfaces to this library, in the manner of an automation registry.
//
//   {
//     "CLSID":     { "{58B9...}": { "name", "ProgID", "InprocServer", "ThreadingModel",
//                                   "Control", "MiscStatus", "ToolboxBitmap", "TypeLib",
//                                   "Version" } },
//     "ProgID":    { "KestrelSNPPControl.SNPPInstance": { "CLSID": "{58B9...}" } },
//     "TypeLib":   { "{D624...}": { "18.0": { "name", "help", "lcid", "path" } } },
//     "Interface": { "{0B32...}": { "name", "TypeLib", "Version" }, "{EA30...}": { ... } }
//   }
//
// Registering writes exactly these entries (replacing older ones of ours) and keeps everything
// else in the file; unregistering removes exactly them. The file is replaced atomically.

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

#include "kestrel/control/messages.hpp"
#include "kestrel/platform/error.hpp"
#include "runtime.hpp"

namespace kestrel::control::runtime {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string Version(const TypeLibraryInfo& tl) {
  return std::to_string(tl.major) + "." + std::to_string(tl.minor);
}

// The path of this library file, as the dynamic loader knows it.
std::string LibraryPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LibraryPath), &info) == 0 || info.dli_fname == nullptr) {
    throw RuntimeError(err::kRegistryFailed, messages::kLibraryPathUnknown);
  }
  std::error_code ec;
  const auto absolute = fs::absolute(info.dli_fname, ec);
  return ec ? std::string(info.dli_fname) : absolute.lexically_normal().string();
}

json Load(const fs::path& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return json::object();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw RuntimeError(err::kRegistryFailed, messages::RegistryUnreadable(path.string()));
  }
  std::stringstream text;
  text << in.rdbuf();
  if (text.str().find_first_not_of(" \t\r\n") == std::string::npos) return json::object();
  json doc = json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object()) {
    throw RuntimeError(err::kRegistryFailed, messages::RegistryNotJson(path.string()));
  }
  return doc;
}

void Save(const fs::path& path, const json& doc) {
  std::error_code ec;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  const fs::path temp = path.string() + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << doc.dump(2) << '\n';
    out.close();
    if (!out) {
      fs::remove(temp, ec);
      throw RuntimeError(err::kRegistryFailed, messages::RegistryUnwritable(path.string()));
    }
  }
  fs::rename(temp, path, ec);
  if (ec) {
    fs::remove(temp, ec);
    throw RuntimeError(err::kRegistryFailed,
                       messages::RegistryNotReplaced(path.string(), ec.message()));
  }
}

json& Section(json& doc, const char* name) {
  json& s = doc[name];
  if (!s.is_object()) s = json::object();
  return s;
}

void EraseFrom(json& doc, const char* section, const std::string& key) {
  const auto it = doc.find(section);
  if (it != doc.end() && it->is_object()) it->erase(key);
}

}  // namespace

std::string RegistryPath() {
  if (const char* explicit_path = std::getenv("KESTREL_REGISTRY");
      explicit_path != nullptr && *explicit_path != '\0') {
    return explicit_path;
  }
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config == '/') {
    return (fs::path(config) / "kestrel-snpp" / "registry.json").string();
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return (fs::path(home) / ".config" / "kestrel-snpp" / "registry.json").string();
  }
  throw RuntimeError(err::kRegistryFailed, messages::kRegistryNoPlace);
}

void Register() {
  const auto& tl = TheTypeLibrary();
  const fs::path path = RegistryPath();
  const std::string library = LibraryPath();
  const std::string clsid = tl.coclass.clsid.ToString();
  const std::string libid = tl.libid.ToString();
  const std::string version = Version(tl);

  json doc = Load(path);
  Section(doc, "CLSID")[clsid] = {
      {"name", tl.coclass.name},
      {"ProgID", tl.coclass.prog_id},
      {"InprocServer", library},
      {"ThreadingModel", tl.coclass.threading_model},
      {"Control", tl.coclass.is_control},
      {"MiscStatus", tl.coclass.misc_status},
      {"ToolboxBitmap", library + "," + std::to_string(tl.coclass.toolbox_bitmap)},
      {"TypeLib", libid},
      {"Version", version},
  };
  Section(doc, "ProgID")[std::string(tl.coclass.prog_id)] = {{"CLSID", clsid}};
  json& versions = Section(doc, "TypeLib")[libid];
  if (!versions.is_object()) versions = json::object();
  versions[version] = {
      {"name", tl.name},
      {"help", tl.help_string},
      {"lcid", tl.published_lcid},
      {"path", library},
  };
  for (const auto* itf : {&tl.default_interface, &tl.event_interface}) {
    Section(doc, "Interface")[itf->iid.ToString()] = {
        {"name", itf->name},
        {"TypeLib", libid},
        {"Version", version},
    };
  }
  Save(path, doc);
}

void Unregister() {
  const auto& tl = TheTypeLibrary();
  const fs::path path = RegistryPath();
  std::error_code ec;
  if (!fs::exists(path, ec)) return;  // nothing of ours can be there
  json doc = Load(path);
  const std::string libid = tl.libid.ToString();

  EraseFrom(doc, "CLSID", tl.coclass.clsid.ToString());
  EraseFrom(doc, "ProgID", std::string(tl.coclass.prog_id));
  if (auto it = doc.find("TypeLib"); it != doc.end() && it->is_object()) {
    if (auto lib = it->find(libid); lib != it->end() && lib->is_object()) {
      lib->erase(Version(tl));
      if (lib->empty()) it->erase(libid);  // other versions of the library stay
    }
  }
  EraseFrom(doc, "Interface", tl.default_interface.iid.ToString());
  EraseFrom(doc, "Interface", tl.event_interface.iid.ToString());
  Save(path, doc);
}

}  // namespace kestrel::control::runtime
