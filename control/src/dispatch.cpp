// The member tables of _SNPPInstance and __SNPPInstance, and Invoke over them.

#include "kestrel/control/dispatch.hpp"

#include <array>
#include <cstdio>
#include <string>

#include "kestrel/control/snpp_control.hpp"

namespace kestrel::control {
namespace {

using session::SNPPInstance;
using T = DeclaredType;

// --- Boxing between the members' C++ types and Variant -----------------------------------------

template <DeclaredType Type, typename V>
Variant Box(const V& v) {
  if constexpr (Type == T::kInteger) {
    return Variant::FromInteger(v);
  } else if constexpr (Type == T::kLong) {
    return Variant::FromLong(v);
  } else if constexpr (Type == T::kBoolean) {
    return Variant::FromBoolean(v);
  } else if constexpr (Type == T::kString) {
    return Variant(v);
  } else {
    static_assert(Type == T::kFont);
    return Variant::FromObject(v);
  }
}

// Invoke converts the argument before the setter runs, so these never fail.
template <DeclaredType Type>
auto Unbox(const Variant& v) {
  if constexpr (Type == T::kInteger) {
    return v.ToInteger();
  } else if constexpr (Type == T::kLong) {
    return v.ToLong();
  } else if constexpr (Type == T::kBoolean) {
    return v.ToBoolean();
  } else if constexpr (Type == T::kString) {
    return v.ToString();
  } else {
    static_assert(Type == T::kFont);
    return v.ToObject();
  }
}

template <DeclaredType Type, auto Get>
Variant SessionGet(SNPPControl& c) {
  return Box<Type>((c.session().*Get)());
}
template <DeclaredType Type, auto Put>
void SessionPut(SNPPControl& c, const Variant& v) {
  (c.session().*Put)(Unbox<Type>(v));
}
template <DeclaredType Type, auto Get>
Variant ControlGet(SNPPControl& c) {
  return Box<Type>((c.*Get)());
}
template <DeclaredType Type, auto Put>
void ControlPut(SNPPControl& c, const Variant& v) {
  (c.*Put)(Unbox<Type>(v));
}

template <DeclaredType Type, auto Get, auto Put>
constexpr Member SessionProperty(DispId id, std::string_view name) {
  return {id, name, MemberKind::kProperty, Type, &SessionGet<Type, Get>, &SessionPut<Type, Put>};
}
template <DeclaredType Type, auto Get, auto Put>
constexpr Member AppearanceProperty(DispId id, std::string_view name) {
  return {id,
          name,
          Type == T::kFont ? MemberKind::kPropertyByRef : MemberKind::kProperty,
          Type,
          &ControlGet<Type, Get>,
          &ControlPut<Type, Put>};
}
constexpr Member Method(DispId id, std::string_view name, DeclaredType result, Getter call) {
  return {id, name, MemberKind::kMethod, result, call, nullptr};
}

using C = SNPPControl;
using S = SNPPInstance;

// _SNPPInstance, in interface order.
constexpr std::array kMembers{
    AppearanceProperty<T::kLong, &C::get_BackColor, &C::put_BackColor>(0x68030018, "BackColor"),
    AppearanceProperty<T::kLong, &C::get_ForeColor, &C::put_ForeColor>(0x68030017, "ForeColor"),
    AppearanceProperty<T::kBoolean, &C::get_Enabled, &C::put_Enabled>(0x68030016, "Enabled"),
    AppearanceProperty<T::kFont, &C::get_Font, &C::putref_Font>(0x68030015, "Font"),
    AppearanceProperty<T::kInteger, &C::get_BackStyle, &C::put_BackStyle>(0x68030014, "BackStyle"),
    AppearanceProperty<T::kInteger, &C::get_BorderStyle, &C::put_BorderStyle>(0x68030013,
                                                                              "BorderStyle"),
    Method(0x60030019, "Refresh", T::kVoid,
           [](C& c) {
             c.Refresh();
             return Variant();
           }),
    SessionProperty<T::kString, &S::get_SenderID, &S::put_SenderID>(0x68030012, "SenderID"),
    SessionProperty<T::kString, &S::get_Recipient, &S::put_Recipient>(0x68030011, "Recipient"),
    Method(0x6003001A, "Send", T::kString, [](C& c) { return Variant(c.session().Send()); }),
    SessionProperty<T::kBoolean, &S::get_Idle, &S::put_Idle>(0x68030010, "Idle"),
    Method(0x6003001B, "getLastError", T::kString,
           [](C& c) { return Variant(c.session().getLastError()); }),
    Method(0x6003001C, "getLastReply", T::kString,
           [](C& c) { return Variant(c.session().getLastReply()); }),
    SessionProperty<T::kInteger, &S::get_State, &S::put_State>(0x6803000E, "State"),
    SessionProperty<T::kString, &S::get_Server, &S::put_Server>(0x6803000D, "Server"),
    SessionProperty<T::kLong, &S::get_ServerPort, &S::put_ServerPort>(0x6803000C, "ServerPort"),
    SessionProperty<T::kInteger, &S::get_ServerTimeout, &S::put_ServerTimeout>(0x6803000B,
                                                                               "ServerTimeout"),
    Method(0x60030024, "Connect", T::kBoolean,
           [](C& c) { return Variant::FromBoolean(c.session().Connect()); }),
    // A Variant of subtype String, also while nothing has been reported (never Empty).
    Method(0x60030025, "getLastErrorDescription", T::kVariant,
           [](C& c) { return Variant(c.session().getLastErrorDescription()); }),
    SessionProperty<T::kString, &S::get_Data, &S::put_Data>(0x6803000A, "Data"),
    Method(0x60030035, "CloseConnect", T::kVoid,
           [](C& c) {
             c.session().CloseConnect();
             return Variant();
           }),
    SessionProperty<T::kInteger, &S::get_coverageArea, &S::put_coverageArea>(0x68030009,
                                                                             "coverageArea"),
    SessionProperty<T::kInteger, &S::get_ServiceLevel, &S::put_ServiceLevel>(0x68030008,
                                                                             "ServiceLevel"),
    SessionProperty<T::kInteger, &S::get_SnppLevel, &S::put_SnppLevel>(0x68030007, "SnppLevel"),
    SessionProperty<T::kString, &S::get_LoginName, &S::put_LoginName>(0x68030006, "LoginName"),
    SessionProperty<T::kString, &S::get_Password, &S::put_Password>(0x68030005, "Password"),
    SessionProperty<T::kString, &S::get_HoldUntil, &S::put_HoldUntil>(0x68030004, "HoldUntil"),
    SessionProperty<T::kString, &S::get_Subject, &S::put_Subject>(0x68030003, "Subject"),
    SessionProperty<T::kString, &S::get_Message, &S::put_Message>(0x68030002, "Message"),
    SessionProperty<T::kBoolean, &S::get_AlertOverride, &S::put_AlertOverride>(0x68030001,
                                                                               "AlertOverride"),
};

// __SNPPInstance. Every parameter is by reference.
constexpr std::array<EventParam, 1> kErrorParams{{{"ErrorDescription", T::kString}}};
constexpr std::array<EventParam, 1> kCompleteParams{{{"sendResponse", T::kString}}};
constexpr std::array<EventParam, 2> kKeyParams{{{"KeyCode", T::kInteger}, {"Shift", T::kInteger}}};
constexpr std::array<EventParam, 1> kKeyPressParams{{{"KeyAscii", T::kInteger}}};
constexpr std::array<EventParam, 4> kMouseParams{
    {{"Button", T::kInteger}, {"Shift", T::kInteger}, {"X", T::kSingle}, {"Y", T::kSingle}}};

constexpr DispId Id(EventDispId id) {
  return static_cast<DispId>(id);
}

constexpr std::array<EventMember, 10> kEvents{{
    {Id(EventDispId::kOnError), "OnError", kErrorParams},
    {Id(EventDispId::kOnComplete), "OnComplete", kCompleteParams},
    {Id(EventDispId::kClick), "Click", {}},
    {Id(EventDispId::kDblClick), "DblClick", {}},
    {Id(EventDispId::kKeyDown), "KeyDown", kKeyParams},
    {Id(EventDispId::kKeyPress), "KeyPress", kKeyPressParams},
    {Id(EventDispId::kKeyUp), "KeyUp", kKeyParams},
    {Id(EventDispId::kMouseDown), "MouseDown", kMouseParams},
    {Id(EventDispId::kMouseMove), "MouseMove", kMouseParams},
    {Id(EventDispId::kMouseUp), "MouseUp", kMouseParams},
}};

bool SameNameAnyCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string Hex(DispId id) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(id));
  return buf;
}

bool KindFits(MemberKind member, InvokeKind kind) {
  switch (kind) {
    case InvokeKind::kGet:
      return member != MemberKind::kMethod;
    case InvokeKind::kPut:
      return member == MemberKind::kProperty;
    case InvokeKind::kPutRef:
      return member == MemberKind::kPropertyByRef;
    case InvokeKind::kMethod:
      return member == MemberKind::kMethod;
  }
  return false;
}

[[noreturn]] void ThrowKindMismatch(const Member& m, InvokeKind kind) {
  const std::string name(m.name);
  std::string what;
  if (m.kind == MemberKind::kMethod) {
    what = name + " is a method, not a property: call it instead of reading or assigning it.";
  } else if (kind == InvokeKind::kMethod) {
    what = name + " is a property, not a method: read or assign it instead of calling it.";
  } else if (kind == InvokeKind::kPut) {
    what = name +
           " holds an object: assign it by reference (Set, put-by-reference), not with a "
           "plain put.";
  } else {
    what = name +
           " holds a value, not an object: assign it with a plain put, not by reference "
           "(Set).";
  }
  throw InvokeError(err::kNoSuchMember, "Object doesn't support this property or method: " + what);
}

}  // namespace

VarType StorageType(DeclaredType type) {
  switch (type) {
    case T::kInteger:
      return VarType::kInteger;
    case T::kLong:
      return VarType::kLong;
    case T::kSingle:
      return VarType::kSingle;
    case T::kBoolean:
      return VarType::kBoolean;
    case T::kString:
      return VarType::kString;
    case T::kFont:
      return VarType::kObject;
    case T::kVoid:
    case T::kVariant:
      break;
  }
  return VarType::kEmpty;
}

std::string_view TypeName(DeclaredType type) {
  switch (type) {
    case T::kVoid:
      return "Void";
    case T::kInteger:
      return "Integer";
    case T::kLong:
      return "Long";
    case T::kSingle:
      return "Single";
    case T::kBoolean:
      return "Boolean";
    case T::kString:
      return "String";
    case T::kVariant:
      return "Variant";
    case T::kFont:
      return "Font";
  }
  return "Unknown";
}

std::string_view KindName(InvokeKind kind) {
  switch (kind) {
    case InvokeKind::kMethod:
      return "call";
    case InvokeKind::kGet:
      return "get";
    case InvokeKind::kPut:
      return "put";
    case InvokeKind::kPutRef:
      return "put-by-reference";
  }
  return "unknown";
}

std::span<const Member> DefaultInterfaceMembers() noexcept {
  return kMembers;
}
std::span<const EventMember> EventInterfaceMembers() noexcept {
  return kEvents;
}

const Member* FindMember(DispId dispid) noexcept {
  for (const auto& m : kMembers)
    if (m.dispid == dispid) return &m;
  return nullptr;
}

std::optional<DispId> FindDispId(std::string_view name) noexcept {
  for (const auto& m : kMembers)
    if (SameNameAnyCase(m.name, name)) return m.dispid;
  return std::nullopt;
}

const EventMember* FindEvent(DispId dispid) noexcept {
  for (const auto& e : kEvents)
    if (e.dispid == dispid) return &e;
  return nullptr;
}

std::optional<DispId> FindEventDispId(std::string_view name) noexcept {
  for (const auto& e : kEvents)
    if (SameNameAnyCase(e.name, name)) return e.dispid;
  return std::nullopt;
}

Variant Invoke(SNPPControl& control, DispId dispid, InvokeKind kind,
               std::span<const Variant> args) {
  const Member* m = FindMember(dispid);
  if (m == nullptr) {
    throw InvokeError(
        err::kNoSuchMember,
        dispid == 0 ? std::string("Object doesn't support this property or method: the control "
                                  "has no default member (dispatch id 0). Name the property or "
                                  "method to use.")
                    : "Object doesn't support this property or method: the control has no "
                      "member with dispatch id " +
                          Hex(dispid) + ". Look the member up by its name first.");
  }
  if (!KindFits(m->kind, kind)) ThrowKindMismatch(*m, kind);

  const bool assigns = kind == InvokeKind::kPut || kind == InvokeKind::kPutRef;
  const std::size_t wanted = assigns ? 1 : 0;
  if (args.size() != wanted) {
    const std::string name(m->name);
    throw InvokeError(
        err::kWrongArgumentCount,
        "Wrong number of arguments or invalid property assignment: " +
            (assigns ? name + " takes exactly one value when it is assigned, and " +
                           std::to_string(args.size()) + " were passed. Pass one value."
             : m->kind == MemberKind::kMethod
                 ? name + " takes no arguments, and " + std::to_string(args.size()) +
                       " were passed. Call it with none."
                 : name + " takes no arguments when it is read, and " +
                       std::to_string(args.size()) + " were passed. Read it with none."));
  }

  if (!assigns) return m->get(control);

  Variant value;
  try {
    value = args[0].ConvertTo(StorageType(m->type));
  } catch (const RuntimeError& e) {
    throw InvokeError(e.number(), "Cannot assign " + std::string(m->name) + " (a " +
                                      std::string(TypeName(m->type)) + "): " + e.description());
  }
  m->put(control, value);
  return {};
}

}  // namespace kestrel::control
