// The one table of the control's properties.

#include "kestrel/control/properties.hpp"

#include <array>

#include "kestrel/control/snpp_control.hpp"

namespace kestrel::control {
namespace {

using session::SessionProperties;
using session::SNPPInstance;
using Type = DeclaredType;

// --- Boxing between the accessors' C++ types and Variant -------------------------------------

template <DeclaredType Declared, typename Value>
Variant Box(const Value& v) {
  if constexpr (Declared == Type::kInteger) {
    return Variant::FromInteger(v);
  } else if constexpr (Declared == Type::kLong) {
    return Variant::FromLong(v);
  } else if constexpr (Declared == Type::kBoolean) {
    return Variant::FromBoolean(v);
  } else if constexpr (Declared == Type::kString) {
    return Variant(v);
  } else {
    static_assert(Declared == Type::kFont);
    return Variant::FromObject(v);
  }
}

// Values reach a setter converted to the declared type (Invoke converts before the put; loading
// converts as it stores), so these never fail but with the conversion's own error.
template <DeclaredType Declared>
auto Unbox(const Variant& v) {
  if constexpr (Declared == Type::kInteger) {
    return v.ToInteger();
  } else if constexpr (Declared == Type::kLong) {
    return v.ToLong();
  } else if constexpr (Declared == Type::kBoolean) {
    return v.ToBoolean();
  } else if constexpr (Declared == Type::kString) {
    return v.ToString();
  } else {
    static_assert(Declared == Type::kFont);
    return v.ToObject();
  }
}

// --- The default: a property's initial value, as the Variant type that loading passes ---------

// The Variant type of a default. Most are the declared type; BackColor, ForeColor and Enabled
// have always been given as Integer, and hosts that store only what differs compare with it.
enum class DefaultAs : std::uint8_t { kDeclared, kInteger };

template <DeclaredType Declared, DefaultAs As, typename Value>
Variant DefaultOf(const Value& v) {
  if constexpr (As == DefaultAs::kInteger) {
    return Variant::FromInteger(static_cast<Integer>(v));
  } else {
    return Box<Declared>(v);
  }
}

// --- Rows --------------------------------------------------------------------------------------

template <DeclaredType Declared, auto Field, auto Get, auto Put,
          DefaultAs As = DefaultAs::kDeclared>
constexpr PropertyDescription SessionProperty(DispId dispid, std::string_view name) {
  return {
      dispid,
      name,
      Declared,
      [](SNPPControl&) { return DefaultOf<Declared, As>(SessionProperties{}.*Field); },
      true,
      [](SNPPControl& c) { return Box<Declared>((c.session().*Get)()); },
      [](SNPPControl& c, const Variant& v) { (c.session().*Put)(Unbox<Declared>(v)); },
      [](SNPPControl& c, const Variant& v) { c.session().stored().*Field = Unbox<Declared>(v); },
  };
}

template <DeclaredType Declared, auto Field, auto Get, auto Put,
          DefaultAs As = DefaultAs::kDeclared>
constexpr PropertyDescription AppearanceProperty(DispId dispid, std::string_view name) {
  return {
      dispid,
      name,
      Declared,
      [](SNPPControl&) { return DefaultOf<Declared, As>(AppearanceProperties{}.*Field); },
      true,
      [](SNPPControl& c) { return Box<Declared>((c.*Get)()); },
      [](SNPPControl& c, const Variant& v) { (c.*Put)(Unbox<Declared>(v)); },
      [](SNPPControl& c, const Variant& v) { c.appearance().*Field = Unbox<Declared>(v); },
  };
}

// The socket's own settings: a new control keeps them; the default is the socket's value at
// creation.
template <DeclaredType Declared, auto Get, auto Put, auto SocketPut>
constexpr PropertyDescription SocketProperty(DispId dispid, std::string_view name,
                                             Variant (*default_value)(SNPPControl&)) {
  return {
      dispid,
      name,
      Declared,
      default_value,
      false,
      [](SNPPControl& c) { return Box<Declared>((c.session().*Get)()); },
      [](SNPPControl& c, const Variant& v) { (c.session().*Put)(Unbox<Declared>(v)); },
      [](SNPPControl& c, const Variant& v) { (c.session().sck().*SocketPut)(Unbox<Declared>(v)); },
  };
}

using Control = SNPPControl;
using Session = SNPPInstance;
using Stored = SessionProperties;
using Looks = AppearanceProperties;
constexpr DefaultAs kAsInteger = DefaultAs::kInteger;
constexpr DefaultAs kAsDeclared = DefaultAs::kDeclared;

// clang-format off
constexpr std::array kProperties{
  AppearanceProperty<Type::kLong, &Looks::BackColor, &Control::get_BackColor,
                     &Control::put_BackColor, kAsInteger>(0x68030018, "BackColor"),
  AppearanceProperty<Type::kLong, &Looks::ForeColor, &Control::get_ForeColor,
                     &Control::put_ForeColor, kAsInteger>(0x68030017, "ForeColor"),
  AppearanceProperty<Type::kBoolean, &Looks::Enabled, &Control::get_Enabled,
                     &Control::put_Enabled, kAsInteger>(0x68030016, "Enabled"),
  PropertyDescription{
      0x68030015, "Font", Type::kFont,
      // The site's font, asked afresh each time.
      [](Control& c) { return Variant::FromObject(c.AmbientFont()); },
      true,
      [](Control& c) { return Variant::FromObject(c.get_Font()); },
      [](Control& c, const Variant& v) { c.putref_Font(v.ToObject()); },
      [](Control& c, const Variant& v) { c.appearance().Font = v.ToObject(); }},
  AppearanceProperty<Type::kInteger, &Looks::BackStyle, &Control::get_BackStyle,
                     &Control::put_BackStyle>(0x68030014, "BackStyle"),
  AppearanceProperty<Type::kInteger, &Looks::BorderStyle, &Control::get_BorderStyle,
                     &Control::put_BorderStyle>(0x68030013, "BorderStyle"),
  SessionProperty<Type::kString, &Stored::SenderID, &Session::get_SenderID,
                  &Session::put_SenderID>(0x68030012, "SenderID"),
  SessionProperty<Type::kString, &Stored::Recipient, &Session::get_Recipient,
                  &Session::put_Recipient>(0x68030011, "Recipient"),
  SessionProperty<Type::kBoolean, &Stored::Idle, &Session::get_Idle,
                  &Session::put_Idle>(0x68030010, "Idle"),
  SessionProperty<Type::kInteger, &Stored::State, &Session::get_State,
                  &Session::put_State>(0x6803000E, "State"),
  SocketProperty<Type::kString, &Session::get_Server, &Session::put_Server,
                 &platform::Socket::SetRemoteHost>(
      0x6803000D, "Server", [](Control&) { return Variant("127.0.0.1"); }),
  SocketProperty<Type::kLong, &Session::get_ServerPort, &Session::put_ServerPort,
                 &platform::Socket::SetRemotePort>(
      0x6803000C, "ServerPort", [](Control&) { return Variant::FromInteger(0); }),
  SessionProperty<Type::kInteger, &Stored::ServerTimeout, &Session::get_ServerTimeout,
                  &Session::put_ServerTimeout>(0x6803000B, "ServerTimeout"),
  SessionProperty<Type::kString, &Stored::Data, &Session::get_Data,
                  &Session::put_Data>(0x6803000A, "Data"),
  SessionProperty<Type::kInteger, &Stored::coverageArea, &Session::get_coverageArea,
                  &Session::put_coverageArea>(0x68030009, "coverageArea"),
  SessionProperty<Type::kInteger, &Stored::ServiceLevel, &Session::get_ServiceLevel,
                  &Session::put_ServiceLevel>(0x68030008, "ServiceLevel"),
  SessionProperty<Type::kInteger, &Stored::SnppLevel, &Session::get_SnppLevel,
                  &Session::put_SnppLevel>(0x68030007, "SnppLevel"),
  SessionProperty<Type::kString, &Stored::LoginName, &Session::get_LoginName,
                  &Session::put_LoginName>(0x68030006, "LoginName"),
  SessionProperty<Type::kString, &Stored::Password, &Session::get_Password,
                  &Session::put_Password>(0x68030005, "Password"),
  SessionProperty<Type::kString, &Stored::HoldUntil, &Session::get_HoldUntil,
                  &Session::put_HoldUntil>(0x68030004, "HoldUntil"),
  SessionProperty<Type::kString, &Stored::Subject, &Session::get_Subject,
                  &Session::put_Subject>(0x68030003, "Subject"),
  SessionProperty<Type::kString, &Stored::Message, &Session::get_Message,
                  &Session::put_Message>(0x68030002, "Message"),
  SessionProperty<Type::kBoolean, &Stored::AlertOverride, &Session::get_AlertOverride,
                  &Session::put_AlertOverride, kAsDeclared>(0x68030001, "AlertOverride"),
};
// clang-format on
static_assert(kProperties.size() == kPropertyCount);

}  // namespace

std::span<const PropertyDescription, kPropertyCount> Properties() noexcept {
  return kProperties;
}

}  // namespace kestrel::control
