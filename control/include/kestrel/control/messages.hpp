#pragma once
// The texts the control shell shows a user, in one place so that their wording cannot drift.
// Each says what went wrong and what to do. (The paging session's own are in
// kestrel/session/messages.hpp.)

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrel::control::messages {

inline constexpr const char* kOutOfMemory =
    "Out of memory. Release unused controls or close other programs, then try again.";

inline std::string InternalError(std::string_view what) {
  return "Internal error in the paging control: " + std::string(what) +
         ". Try again; report this if it repeats.";
}
inline constexpr const char* kInternalErrorUnknown =
    "Internal error in the paging control. Try again; report this if it repeats.";

// --- Dispatch ------------------------------------------------------------------------------------
inline constexpr const char* kNoSuchMemberPrefix =
    "Object doesn't support this property or method: ";
inline constexpr const char* kNoDefaultMember =
    "Object doesn't support this property or method: the control has no default member "
    "(dispatch id 0). Name the property or method to use.";
inline std::string NoMemberWithId(std::string_view hex_dispid) {
  return "Object doesn't support this property or method: the control has no member with "
         "dispatch id " +
         std::string(hex_dispid) + ". Look the member up by its name first.";
}
inline std::string MethodUsedAsProperty(std::string_view name) {
  return std::string(name) +
         " is a method, not a property: call it instead of reading or assigning it.";
}
inline std::string PropertyCalled(std::string_view name) {
  return std::string(name) +
         " is a property, not a method: read or assign it instead of calling it.";
}
inline std::string ObjectAssignedByValue(std::string_view name) {
  return std::string(name) +
         " holds an object: assign it by reference (Set, put-by-reference), not with a plain "
         "put.";
}
inline std::string ValueAssignedByReference(std::string_view name) {
  return std::string(name) +
         " holds a value, not an object: assign it with a plain put, not by reference (Set).";
}
enum class MemberUse { kAssigned, kCalled, kRead };
inline std::string WrongArgumentCount(std::string_view member, MemberUse use, std::size_t passed) {
  const std::string name(member);
  const std::string count = std::to_string(passed);
  std::string what = "Wrong number of arguments or invalid property assignment: ";
  switch (use) {
    case MemberUse::kAssigned:
      return what + name + " takes exactly one value when it is assigned, and " + count +
             " were passed. Pass one value.";
    case MemberUse::kCalled:
      return what + name + " takes no arguments, and " + count + " were passed. Call it with none.";
    case MemberUse::kRead:
      break;
  }
  return what + name + " takes no arguments when it is read, and " + count +
         " were passed. Read it with none.";
}
inline std::string CannotAssign(std::string_view name, std::string_view type,
                                std::string_view why) {
  return "Cannot assign " + std::string(name) + " (a " + std::string(type) +
         "): " + std::string(why);
}
inline std::string UnknownMemberName(std::string_view name) {
  return "The control has no member named \"" + std::string(name) +
         "\". Check the spelling against the control's properties and methods.";
}
inline constexpr const char* kNoInvokeKind =
    "Invalid procedure call: no way of calling was given. Pass method, property get, property "
    "put or put-by-reference in the flags.";
inline constexpr const char* kNamedArguments =
    "Object doesn't support named arguments: pass the arguments by position.";

// --- The site and the event sinks ----------------------------------------------------------------
inline std::string SiteRefusedChange(std::string_view property, std::string_view hex_result) {
  return "The host refused the change notice for " + std::string(property) + " (result " +
         std::string(hex_result) +
         "); the new value is stored. Check the host's OnPropertyChanged.";
}
inline std::string SiteNoAmbientFont(std::string_view hex_result) {
  return "The host could not give its ambient font (result " + std::string(hex_result) +
         "). Fix the host's GetAmbientFont, or give the control a font through its Font "
         "property.";
}
inline constexpr const char* kAmbientFontForeign =
    "Type mismatch: the host's ambient font is not a font object of this library. Create it "
    "with KsFontCreate.";
inline constexpr const char* kSinkWithoutDispatch =
    "The event sink answers neither the event interface nor IDispatch. Give Advise a dispatch "
    "object whose Invoke takes the events.";

// --- Loading and saving --------------------------------------------------------------------------
// `verb` is "initialise", "load" or "save".
inline std::string CannotPersist(std::string_view verb, std::string_view property,
                                 std::string_view why) {
  return "Cannot " + std::string(verb) + " " + std::string(property) + ": " + std::string(why);
}
inline std::string OutOfMemoryReporting(std::string_view verb) {
  return "Out of memory while reporting a failure to " + std::string(verb) +
         " the control's properties.";
}

// --- Conversions between automation values
// -------------------------------------------------------- "a" or "an", as the type's name asks.
inline std::string WithArticle(std::string_view type_name) {
  return (type_name == "Integer" ? "an " : "a ") + std::string(type_name);
}
inline std::string TextNotNumber(std::string_view quoted_text, std::string_view type_name) {
  return "Type mismatch: the text " + std::string(quoted_text) +
         " is not a number, so it cannot become " + WithArticle(type_name) +
         ". Pass a number, or text that holds one, such as \"42\".";
}
inline std::string TextNotBoolean(std::string_view quoted_text) {
  return "Type mismatch: the text " + std::string(quoted_text) +
         " is neither True, False nor a number, so it cannot become a Boolean. Pass True, False "
         "or a number.";
}
// `range` names the type with its range: "an Integer (-32768 to 32767)".
inline std::string Overflow(std::string_view value, std::string_view range) {
  return "Overflow: " + std::string(value) + " does not fit " + std::string(range) +
         ". Pass a value within that range.";
}
inline std::string ObjectNotValue(std::string_view type_name) {
  return "Type mismatch: an object (a font) cannot become " + WithArticle(type_name) +
         ". Pass a value of that type instead of an object.";
}
inline constexpr const char* kObjectNotString =
    "Type mismatch: an object (a font) cannot become a String. Pass text, or read a property of "
    "the font such as its Name.";
inline std::string ValueNotObject(std::string_view type_name) {
  return "Type mismatch: " + WithArticle(type_name) +
         " value cannot be used where an object is expected. Pass a font object, or Nothing.";
}
inline constexpr const char* kValueNotEmpty =
    "Type mismatch: a value cannot become Empty. Pass no value instead.";
inline constexpr const char* kUnknownTargetType = "Type mismatch: unknown target type.";

// --- Values from C
// --------------------------------------------------------------------------------
inline constexpr const char* kByReferenceNowhere =
    "Type mismatch: a by-reference argument points nowhere. Pass a value, or a pointer to one.";
inline constexpr const char* kObjectNotOurFont =
    "Type mismatch: the object is not a font of this library. Create the font with KsFontCreate "
    "(or take the control's own Font) and pass that.";
inline std::string VariantTypeNotTaken(unsigned variant_type) {
  return "Type mismatch: variant type " + std::to_string(variant_type) +
         " is not one the control takes. Pass an Integer, Long, Single, Boolean, String or a "
         "font object.";
}

// --- The font object -----------------------------------------------------------------------------
inline constexpr const char* kFontNoSuchMember =
    "Object doesn't support this property or method: a font has Name, Size, Bold, Italic, "
    "Underline, Strikethrough, Weight and Charset.";
inline constexpr const char* kFontPutArgumentCount =
    "Wrong number of arguments: a font property takes exactly one value when it is assigned. "
    "Pass one value.";
inline constexpr const char* kFontGetArgumentCount =
    "Wrong number of arguments: a font property takes none when it is read.";
inline constexpr const char* kFontByReference =
    "Object doesn't support this property or method: font properties are read or assigned, not "
    "assigned by reference.";
inline std::string CannotAssignFont(std::string_view property, std::string_view why) {
  return "Cannot assign the font's " + std::string(property) + ": " + std::string(why);
}

// --- Creating instances, the library -------------------------------------------------------------
inline constexpr const char* kNoAggregation =
    "The paging control cannot be aggregated. Create it with no outer object.";
inline constexpr const char* kNoCurrentLoop =
    "No event loop is current on this thread. Create one with KsLoopCreate and make it current "
    "with KsLoopSetCurrent before creating a control.";
inline constexpr const char* kNoSuchInterface =
    "The paging control does not have the interface asked for. Ask for _SNPPInstance, "
    "IDispatch, IUnknown, IConnectionPointContainer, KsControl, IPersistPropertyBag or "
    "IPersist.";
inline std::string NoSuchClass(std::string_view asked, std::string_view ours) {
  return "This library has no class " + std::string(asked) + "; its only class is SNPPInstance, " +
         std::string(ours) + ". Check the class id, or the registry entry that led here.";
}
// `which` is 'named "X"' or "number N".
inline std::string NoSuchResource(std::string_view which) {
  return "No resource " + std::string(which) +
         " in the library. Ask for \"_IID_SNPPINSTANCE\", \"_SRCIID_SNPPINSTANCE\" or 30000.";
}

// --- Settings files through the C interface ------------------------------------------------------
inline constexpr const char* kNoPersistenceInterface =
    "The object given has no persistence interface (IPersistPropertyBag). Pass an interface of a "
    "paging control instance.";
inline std::string NoSettingsFile(std::string_view path) {
  return "There is no settings file '" + std::string(path) +
         "'. Check the path; for a control without saved settings, call InitNew and save them "
         "with KsSettingsSave.";
}

// --- Registration --------------------------------------------------------------------------------
inline constexpr const char* kLibraryPathUnknown =
    "Cannot tell where the paging control library was loaded from, so it cannot be registered. "
    "Load it by its full path and register again.";
inline std::string RegistryUnreadable(std::string_view path) {
  return "Cannot read the registry file " + std::string(path) +
         ". Check that it is readable, or set KESTREL_REGISTRY to another file.";
}
inline std::string RegistryNotJson(std::string_view path) {
  return "The registry file " + std::string(path) +
         " is not a JSON object, so it was left as it is. Repair or remove it, then register "
         "again.";
}
inline std::string RegistryUnwritable(std::string_view path) {
  return "Cannot write the registry file " + std::string(path) +
         ". Check that its folder exists and is writable, or set KESTREL_REGISTRY to another "
         "file.";
}
inline std::string RegistryNotReplaced(std::string_view path, std::string_view why) {
  return "Cannot replace the registry file " + std::string(path) + " (" + std::string(why) +
         "). Check its permissions and register again.";
}
inline constexpr const char* kRegistryNoPlace =
    "No place for the registry file: neither KESTREL_REGISTRY, XDG_CONFIG_HOME nor HOME is set. "
    "Set KESTREL_REGISTRY to the file to use.";

// --- Settings files ------------------------------------------------------------------------------
inline std::string SettingsFileDamaged(std::string_view origin, std::string_view what) {
  return "Settings file " + std::string(origin) + " cannot be used: " + std::string(what) +
         ". Fix it, or save the settings again to replace it.";
}
// `why` names the file and what to do ("cannot read the settings file 'gw.json': No such file
// or directory; check the path and its permissions"): made a sentence.
inline std::string SettingsFileUnusable(std::string_view why) {
  std::string text(why);
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 32);
  return text + ".";
}
inline std::string SettingsFileUnwritable(std::string_view quoted_path, std::string_view step,
                                          std::string_view why) {
  return "Cannot write settings file " + std::string(quoted_path) + " (" + std::string(step) +
         ": " + std::string(why) + "). Check that its folder exists and is writable.";
}

// --- TLS (ks_control SetTls) ---------------------------------------------------------------------
inline std::string TlsSettingsTooSmall(std::size_t size) {
  return "SetTls: the settings' size field is " + std::to_string(size) +
         "; set it to sizeof(ks_tls_settings).";
}

}  // namespace kestrel::control::messages
