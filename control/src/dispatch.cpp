// The member tables of _SNPPInstance and __SNPPInstance, and Invoke over them.

#include "kestrel/control/dispatch.hpp"

#include <array>
#include <cstdio>
#include <string>

#include "kestrel/control/messages.hpp"
#include "kestrel/control/properties.hpp"
#include "kestrel/control/snpp_control.hpp"

namespace kestrel::control {
namespace {

// A method of _SNPPInstance and where it stands among the properties in interface order.
struct MethodRow {
  std::size_t properties_before;
  Member member;
};

constexpr Member Method(DispId id, std::string_view name, DeclaredType result, Getter call) {
  return {id, name, MemberKind::kMethod, result, call, nullptr};
}

constexpr std::array kMethods{
    MethodRow{6, Method(0x60030019, "Refresh", DeclaredType::kVoid,
                        [](SNPPControl& c) {
                          c.Refresh();
                          return Variant();
                        })},
    MethodRow{8, Method(0x6003001A, "Send", DeclaredType::kString,
                        [](SNPPControl& c) { return Variant(c.session().Send()); })},
    MethodRow{9, Method(0x6003001B, "getLastError", DeclaredType::kString,
                        [](SNPPControl& c) { return Variant(c.session().getLastError()); })},
    MethodRow{9, Method(0x6003001C, "getLastReply", DeclaredType::kString,
                        [](SNPPControl& c) { return Variant(c.session().getLastReply()); })},
    MethodRow{13,
              Method(0x60030024, "Connect", DeclaredType::kBoolean,
                     [](SNPPControl& c) { return Variant::FromBoolean(c.session().Connect()); })},
    // A Variant of subtype String, also while nothing has been reported (never Empty).
    MethodRow{
        13, Method(0x60030025, "getLastErrorDescription", DeclaredType::kVariant,
                   [](SNPPControl& c) { return Variant(c.session().getLastErrorDescription()); })},
    MethodRow{14, Method(0x60030035, "CloseConnect", DeclaredType::kVoid,
                         [](SNPPControl& c) {
                           c.session().CloseConnect();
                           return Variant();
                         })},
};

using MemberTable = std::array<Member, kPropertyCount + kMethods.size()>;

// _SNPPInstance, in interface order: the properties' rows (from their one description) with the
// methods between them.
MemberTable BuildMembers() {
  MemberTable members{};
  std::size_t out = 0;
  std::size_t method = 0;
  const auto properties = Properties();
  for (std::size_t i = 0; i <= properties.size(); ++i) {
    while (method < kMethods.size() && kMethods[method].properties_before == i) {
      members[out++] = kMethods[method++].member;
    }
    if (i == properties.size()) break;
    const PropertyDescription& p = properties[i];
    members[out++] = {
        p.dispid,
        p.name,
        p.type == DeclaredType::kFont ? MemberKind::kPropertyByRef : MemberKind::kProperty,
        p.type,
        p.get,
        p.put};
  }
  return members;
}

const MemberTable& Members() {
  static const MemberTable members = BuildMembers();
  return members;
}

// __SNPPInstance. Every parameter is by reference.
constexpr std::array<EventParam, 1> kErrorParams{{{"ErrorDescription", DeclaredType::kString}}};
constexpr std::array<EventParam, 1> kCompleteParams{{{"sendResponse", DeclaredType::kString}}};
constexpr std::array<EventParam, 2> kKeyParams{
    {{"KeyCode", DeclaredType::kInteger}, {"Shift", DeclaredType::kInteger}}};
constexpr std::array<EventParam, 1> kKeyPressParams{{{"KeyAscii", DeclaredType::kInteger}}};
constexpr std::array<EventParam, 4> kMouseParams{{{"Button", DeclaredType::kInteger},
                                                  {"Shift", DeclaredType::kInteger},
                                                  {"X", DeclaredType::kSingle},
                                                  {"Y", DeclaredType::kSingle}}};

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
  std::string what;
  if (m.kind == MemberKind::kMethod) {
    what = messages::MethodUsedAsProperty(m.name);
  } else if (kind == InvokeKind::kMethod) {
    what = messages::PropertyCalled(m.name);
  } else if (kind == InvokeKind::kPut) {
    what = messages::ObjectAssignedByValue(m.name);
  } else {
    what = messages::ValueAssignedByReference(m.name);
  }
  throw InvokeError(err::kNoSuchMember, messages::kNoSuchMemberPrefix + what);
}

}  // namespace

VarType StorageType(DeclaredType type) {
  switch (type) {
    case DeclaredType::kInteger:
      return VarType::kInteger;
    case DeclaredType::kLong:
      return VarType::kLong;
    case DeclaredType::kSingle:
      return VarType::kSingle;
    case DeclaredType::kBoolean:
      return VarType::kBoolean;
    case DeclaredType::kString:
      return VarType::kString;
    case DeclaredType::kFont:
      return VarType::kObject;
    case DeclaredType::kVoid:
    case DeclaredType::kVariant:
      break;
  }
  return VarType::kEmpty;
}

std::string_view TypeName(DeclaredType type) {
  switch (type) {
    case DeclaredType::kVoid:
      return "Void";
    case DeclaredType::kInteger:
      return "Integer";
    case DeclaredType::kLong:
      return "Long";
    case DeclaredType::kSingle:
      return "Single";
    case DeclaredType::kBoolean:
      return "Boolean";
    case DeclaredType::kString:
      return "String";
    case DeclaredType::kVariant:
      return "Variant";
    case DeclaredType::kFont:
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
  return Members();
}
std::span<const EventMember> EventInterfaceMembers() noexcept {
  return kEvents;
}

const Member* FindMember(DispId dispid) noexcept {
  for (const auto& m : Members())
    if (m.dispid == dispid) return &m;
  return nullptr;
}

std::optional<DispId> FindDispId(std::string_view name) noexcept {
  for (const auto& m : Members())
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
    throw InvokeError(err::kNoSuchMember, dispid == 0 ? std::string(messages::kNoDefaultMember)
                                                      : messages::NoMemberWithId(Hex(dispid)));
  }
  if (!KindFits(m->kind, kind)) ThrowKindMismatch(*m, kind);

  const bool assigns = kind == InvokeKind::kPut || kind == InvokeKind::kPutRef;
  const std::size_t wanted = assigns ? 1 : 0;
  if (args.size() != wanted) {
    const auto use = assigns                          ? messages::MemberUse::kAssigned
                     : m->kind == MemberKind::kMethod ? messages::MemberUse::kCalled
                                                      : messages::MemberUse::kRead;
    throw InvokeError(err::kWrongArgumentCount,
                      messages::WrongArgumentCount(m->name, use, args.size()));
  }

  if (!assigns) return m->get(control);

  Variant value;
  try {
    value = args[0].ConvertTo(StorageType(m->type));
  } catch (const RuntimeError& e) {
    throw InvokeError(e.number(),
                      messages::CannotAssign(m->name, TypeName(m->type), e.description()));
  }
  m->put(control, value);
  return {};
}

}  // namespace kestrel::control
