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

}  // namespace kestrel::control::messages
