#include "kestrel/control/persistence.hpp"

#include <array>

namespace kestrel::control {
namespace {

// One persisted property: its bag name, the default used both for reading and for writing,
// the initial value of a new control, and how its value goes into and out of storage.
struct Row {
  std::string_view name;
  Variant (*default_value)(SNPPControl&);
  void (*init)(SNPPControl&);  // null: a new control keeps the socket's own setting
  void (*load)(SNPPControl&, const Variant&);
  Variant (*save)(SNPPControl&);
};

auto& A(SNPPControl& c) {
  return c.appearance();
}
auto& S(SNPPControl& c) {
  return c.session().stored();
}

// clang-format off
constexpr std::array<Row, 23> kRows{{
  {"BackColor",
   [](SNPPControl&) { return Variant::FromInteger(0); },
   [](SNPPControl& c) { A(c).BackColor = 0; },
   [](SNPPControl& c, const Variant& v) { A(c).BackColor = v.ToLong(); },
   [](SNPPControl& c) { return Variant::FromLong(A(c).BackColor); }},
  {"ForeColor",
   [](SNPPControl&) { return Variant::FromInteger(0); },
   [](SNPPControl& c) { A(c).ForeColor = 0; },
   [](SNPPControl& c, const Variant& v) { A(c).ForeColor = v.ToLong(); },
   [](SNPPControl& c) { return Variant::FromLong(A(c).ForeColor); }},
  {"Enabled",
   [](SNPPControl&) { return Variant::FromInteger(0); },
   [](SNPPControl& c) { A(c).Enabled = kFalse; },
   [](SNPPControl& c, const Variant& v) { A(c).Enabled = v.ToBoolean(); },
   [](SNPPControl& c) { return Variant::FromBoolean(A(c).Enabled); }},
  {"Font",
   [](SNPPControl& c) { return Variant::FromObject(c.AmbientFont()); },
   [](SNPPControl& c) { A(c).Font = c.AmbientFont(); },
   [](SNPPControl& c, const Variant& v) { A(c).Font = v.ToObject(); },
   [](SNPPControl& c) { return Variant::FromObject(A(c).Font); }},
  {"BackStyle",
   [](SNPPControl&) { return Variant::FromInteger(0); },
   [](SNPPControl& c) { A(c).BackStyle = 0; },
   [](SNPPControl& c, const Variant& v) { A(c).BackStyle = v.ToInteger(); },
   [](SNPPControl& c) { return Variant::FromInteger(A(c).BackStyle); }},
  {"BorderStyle",
   [](SNPPControl&) { return Variant::FromInteger(0); },
   [](SNPPControl& c) { A(c).BorderStyle = 0; },
   [](SNPPControl& c, const Variant& v) { A(c).BorderStyle = v.ToInteger(); },
   [](SNPPControl& c) { return Variant::FromInteger(A(c).BorderStyle); }},
  {"SenderID",
   [](SNPPControl&) { return Variant(""); },
   [](SNPPControl& c) { S(c).SenderID.clear(); },
   [](SNPPControl& c, const Variant& v) { S(c).SenderID = v.ToString(); },
   [](SNPPControl& c) { return Variant(S(c).SenderID); }},
  {"Recipient",
   [](SNPPControl&) { return Variant(""); },
   [](SNPPControl& c) { S(c).Recipient.clear(); },
   [](SNPPControl& c, const Variant& v) { S(c).Recipient = v.ToString(); },
   [](SNPPControl& c) { return Variant(S(c).Recipient); }},
  {"Idle",
   [](SNPPControl&) { return Variant::FromBoolean(kTrue); },
   [](SNPPControl& c) { S(c).Idle = kTrue; },
   [](SNPPControl& c, const Variant& v) { S(c).Idle = v.ToBoolean(); },
   [](SNPPControl& c) { return Variant::FromBoolean(S(c).Idle); }},
  {"State",
   [](SNPPControl&) { return Variant::FromInteger(-1); },
   [](SNPPControl& c) { S(c).State = -1; },
   [](SNPPControl& c, const Variant& v) { S(c).State = v.ToInteger(); },
   [](SNPPControl& c) { return Variant::FromInteger(S(c).State); }},
  {"Server",
   [](SNPPControl&) { return Variant("127.0.0.1"); },
   nullptr,
   [](SNPPControl& c, const Variant& v) { c.session().sck().SetRemoteHost(v.ToString()); },
   [](SNPPControl& c) { return Variant(c.session().sck().RemoteHost()); }},
  {"ServerPort",
   [](SNPPControl&) { return Variant::FromInteger(0); },
   nullptr,
   [](SNPPControl& c, const Variant& v) { c.session().sck().SetRemotePort(v.ToLong()); },
   [](SNPPControl& c) { return Variant::FromLong(c.session().sck().RemotePort()); }},
  {"ServerTimeout",
   [](SNPPControl&) { return Variant::FromInteger(20); },
   [](SNPPControl& c) { S(c).ServerTimeout = 20; },
   [](SNPPControl& c, const Variant& v) { S(c).ServerTimeout = v.ToInteger(); },
   [](SNPPControl& c) { return Variant::FromInteger(S(c).ServerTimeout); }},
  {"Data",
   [](SNPPControl&) { return Variant(""); },
   [](SNPPControl& c) { S(c).Data.clear(); },
   [](SNPPControl& c, const Variant& v) { S(c).Data = v.ToString(); },
   [](SNPPControl& c) { return Variant(S(c).Data); }},
  {"coverageArea",
   [](SNPPControl&) { return Variant::FromInteger(-1); },
   [](SNPPControl& c) { S(c).coverageArea = -1; },
   [](SNPPControl& c, const Variant& v) { S(c).coverageArea = v.ToInteger(); },
   [](SNPPControl& c) { return Variant::FromInteger(S(c).coverageArea); }},
  {"ServiceLevel",
   [](SNPPControl&) { return Variant::FromInteger(-1); },
   [](SNPPControl& c) { S(c).ServiceLevel = -1; },
   [](SNPPControl& c, const Variant& v) { S(c).ServiceLevel = v.ToInteger(); },
   [](SNPPControl& c) { return Variant::FromInteger(S(c).ServiceLevel); }},
  {"SnppLevel",
   [](SNPPControl&) { return Variant::FromInteger(3); },
   [](SNPPControl& c) { S(c).SnppLevel = 3; },
   [](SNPPControl& c, const Variant& v) { S(c).SnppLevel = v.ToInteger(); },
   [](SNPPControl& c) { return Variant::FromInteger(S(c).SnppLevel); }},
  {"LoginName",
   [](SNPPControl&) { return Variant(""); },
   [](SNPPControl& c) { S(c).LoginName.clear(); },
   [](SNPPControl& c, const Variant& v) { S(c).LoginName = v.ToString(); },
   [](SNPPControl& c) { return Variant(S(c).LoginName); }},
  {"Password",
   [](SNPPControl&) { return Variant(""); },
   [](SNPPControl& c) { S(c).Password.clear(); },
   [](SNPPControl& c, const Variant& v) { S(c).Password = v.ToString(); },
   [](SNPPControl& c) { return Variant(S(c).Password); }},
  {"HoldUntil",
   [](SNPPControl&) { return Variant(""); },
   [](SNPPControl& c) { S(c).HoldUntil.clear(); },
   [](SNPPControl& c, const Variant& v) { S(c).HoldUntil = v.ToString(); },
   [](SNPPControl& c) { return Variant(S(c).HoldUntil); }},
  {"Subject",
   [](SNPPControl&) { return Variant(""); },
   [](SNPPControl& c) { S(c).Subject.clear(); },
   [](SNPPControl& c, const Variant& v) { S(c).Subject = v.ToString(); },
   [](SNPPControl& c) { return Variant(S(c).Subject); }},
  {"Message",
   [](SNPPControl&) { return Variant("0"); },
   [](SNPPControl& c) { S(c).Message.assign(1, '0'); },
   [](SNPPControl& c, const Variant& v) { S(c).Message = v.ToString(); },
   [](SNPPControl& c) { return Variant(S(c).Message); }},
  {"AlertOverride",
   [](SNPPControl&) { return Variant::FromBoolean(kFalse); },
   [](SNPPControl& c) { S(c).AlertOverride = kFalse; },
   [](SNPPControl& c, const Variant& v) { S(c).AlertOverride = v.ToBoolean(); },
   [](SNPPControl& c) { return Variant::FromBoolean(S(c).AlertOverride); }},
}};
// clang-format on

constexpr auto kNames = [] {
  std::array<std::string_view, kRows.size()> names{};
  for (std::size_t i = 0; i < kRows.size(); ++i) names[i] = kRows[i].name;
  return names;
}();

}  // namespace

void InitProperties(SNPPControl& control) {
  for (const auto& row : kRows) {
    if (row.init) row.init(control);
  }
}

void ReadProperties(SNPPControl& control, PropertyBag& bag) {
  for (const auto& row : kRows) {
    // Read and convert first: a value that does not convert leaves the property as it was.
    const Variant value = bag.ReadProperty(String(row.name), row.default_value(control));
    row.load(control, value);
  }
}

void WriteProperties(SNPPControl& control, PropertyBag& bag) {
  for (const auto& row : kRows) {
    bag.WriteProperty(String(row.name), row.save(control), row.default_value(control));
  }
}

std::span<const std::string_view> PersistedPropertyNames() {
  return kNames;
}

}  // namespace kestrel::control
