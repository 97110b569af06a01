#pragma once
// The control's two automation interfaces as data.
//
// _SNPPInstance, the default interface: one row per member, in interface order, with its
// dispatch id, name, kind, declared type and the functions that get, put or call it. Invoke()
// looks the row up, checks the kind and the argument count, converts the argument to the
// declared type and calls the row's function. Names are looked up without regard to case, as
// automation clients do; no member has dispatch id 0.
//
// __SNPPInstance, the event interface: the ten events with their dispatch ids and parameters.
// Every parameter is passed by reference. Only OnError and OnComplete are ever raised.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "kestrel/control/variant.hpp"
#include "kestrel/platform/control_host.hpp"
#include "kestrel/platform/error.hpp"

namespace kestrel::control {

class SNPPControl;

using DispId = std::int32_t;

// What a row of the default interface is.
enum class MemberKind : std::uint8_t {
  kProperty,       // get and put under one dispatch id
  kPropertyByRef,  // get and put-by-reference (an object is kept, not copied)
  kMethod,
};

// How a member is invoked; the values are automation's invoke flags.
enum class InvokeKind : std::uint16_t {
  kMethod = 1,
  kGet = 2,
  kPut = 4,
  kPutRef = 8,
};

// Types as the interface declares them. kVoid: a method without a result.
enum class DeclaredType : std::uint8_t {
  kVoid,
  kInteger,
  kLong,
  kSingle,
  kBoolean,
  kString,
  kVariant,
  kFont,
};

std::string_view TypeName(DeclaredType type);  // "Integer", ..., "Font", "Void"
// The Variant subtype a value of the declared type is stored as; Empty for Void and Variant.
VarType StorageType(DeclaredType type);
std::string_view KindName(InvokeKind kind);  // "get", "put", "put-by-reference", "call"

using Getter = Variant (*)(SNPPControl&);
using Setter = void (*)(SNPPControl&, const Variant&);

struct Member {
  DispId dispid;
  std::string_view name;
  MemberKind kind;
  DeclaredType type;  // the property's type, or the method's result
  Getter get;         // property get, or the method itself
  Setter put;         // put or put-by-reference; null for a method
};

// The dispatch ids of __SNPPInstance's events. The paging session raises OnError and OnComplete
// (platform::EventId, same numbers); the user-interface events are declared for hosts that
// expect a control to have them, and are never raised.
enum class EventDispId : DispId {
  kOnError = 1,
  kOnComplete = 2,
  kClick = 3,
  kDblClick = 4,
  kKeyDown = 5,
  kKeyPress = 6,
  kKeyUp = 7,
  kMouseDown = 8,
  kMouseMove = 9,
  kMouseUp = 10,
};
static_assert(static_cast<DispId>(EventDispId::kOnError) ==
              static_cast<DispId>(platform::EventId::kOnError));
static_assert(static_cast<DispId>(EventDispId::kOnComplete) ==
              static_cast<DispId>(platform::EventId::kOnComplete));

struct EventParam {
  std::string_view name;
  DeclaredType type;
};

struct EventMember {
  DispId dispid;
  std::string_view name;
  std::span<const EventParam> params;
};

// The rows of _SNPPInstance, in interface order.
std::span<const Member> DefaultInterfaceMembers() noexcept;
// The events of __SNPPInstance, by dispatch id.
std::span<const EventMember> EventInterfaceMembers() noexcept;

// The row with this dispatch id, or null.
const Member* FindMember(DispId dispid) noexcept;
// The dispatch id of a member name, any case; nothing for an unknown name.
std::optional<DispId> FindDispId(std::string_view name) noexcept;
// The same for the event interface.
const EventMember* FindEvent(DispId dispid) noexcept;
std::optional<DispId> FindEventDispId(std::string_view name) noexcept;

// Raised by Invoke itself when the call cannot be made: no such member or kind (438), a wrong
// number of arguments (450), an argument that does not convert to the declared type (13, 6).
// Failures of the member itself come out as plain RuntimeError.
class InvokeError : public RuntimeError {
 public:
  using RuntimeError::RuntimeError;
};

// Invokes a member of the default interface on `control`. Properties and methods take no
// argument but the one value of a put. Returns the result (Empty for a put or a method without
// one).
Variant Invoke(SNPPControl& control, DispId dispid, InvokeKind kind, std::span<const Variant> args);

}  // namespace kestrel::control
