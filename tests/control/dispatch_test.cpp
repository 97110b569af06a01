// The default interface table, member by member, and Invoke's failures.

#include <gtest/gtest.h>

#include <set>

#include "control_harness.hpp"
#include "kestrel/control/dispatch.hpp"

namespace kestrel::control {
namespace {

using testing::ControlHarness;
using T = DeclaredType;

// The interface as hosts bind to it, written out independently of the table under test.
struct Expected {
  const char* name;
  DispId dispid;
  MemberKind kind;
  DeclaredType type;
};

constexpr MemberKind P = MemberKind::kProperty;
constexpr MemberKind R = MemberKind::kPropertyByRef;
constexpr MemberKind M = MemberKind::kMethod;

const Expected kInterface[] = {
    {"BackColor", 0x68030018, P, T::kLong},
    {"ForeColor", 0x68030017, P, T::kLong},
    {"Enabled", 0x68030016, P, T::kBoolean},
    {"Font", 0x68030015, R, T::kFont},
    {"BackStyle", 0x68030014, P, T::kInteger},
    {"BorderStyle", 0x68030013, P, T::kInteger},
    {"Refresh", 0x60030019, M, T::kVoid},
    {"SenderID", 0x68030012, P, T::kString},
    {"Recipient", 0x68030011, P, T::kString},
    {"Send", 0x6003001A, M, T::kString},
    {"Idle", 0x68030010, P, T::kBoolean},
    {"getLastError", 0x6003001B, M, T::kString},
    {"getLastReply", 0x6003001C, M, T::kString},
    {"State", 0x6803000E, P, T::kInteger},
    {"Server", 0x6803000D, P, T::kString},
    {"ServerPort", 0x6803000C, P, T::kLong},
    {"ServerTimeout", 0x6803000B, P, T::kInteger},
    {"Connect", 0x60030024, M, T::kBoolean},
    {"getLastErrorDescription", 0x60030025, M, T::kVariant},
    {"Data", 0x6803000A, P, T::kString},
    {"CloseConnect", 0x60030035, M, T::kVoid},
    {"coverageArea", 0x68030009, P, T::kInteger},
    {"ServiceLevel", 0x68030008, P, T::kInteger},
    {"SnppLevel", 0x68030007, P, T::kInteger},
    {"LoginName", 0x68030006, P, T::kString},
    {"Password", 0x68030005, P, T::kString},
    {"HoldUntil", 0x68030004, P, T::kString},
    {"Subject", 0x68030003, P, T::kString},
    {"Message", 0x68030002, P, T::kString},
    {"AlertOverride", 0x68030001, P, T::kBoolean},
};

TEST(DefaultInterface, RowsMatchTheInterfaceInOrder) {
  const auto members = DefaultInterfaceMembers();
  ASSERT_EQ(members.size(), std::size(kInterface));
  std::set<DispId> ids;
  for (std::size_t i = 0; i < members.size(); ++i) {
    SCOPED_TRACE(kInterface[i].name);
    EXPECT_EQ(members[i].name, kInterface[i].name);
    EXPECT_EQ(members[i].dispid, kInterface[i].dispid);
    EXPECT_EQ(members[i].kind, kInterface[i].kind);
    EXPECT_EQ(members[i].type, kInterface[i].type);
    EXPECT_NE(members[i].get, nullptr);
    EXPECT_EQ(members[i].put == nullptr, kInterface[i].kind == M);
    EXPECT_NE(members[i].dispid, 0);
    ids.insert(members[i].dispid);
  }
  EXPECT_EQ(ids.size(), members.size()) << "dispatch ids are unique";
}

TEST(DefaultInterface, NamesAndDispatchIdsLookUpBothWays) {
  for (const auto& e : kInterface) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(FindDispId(e.name), e.dispid);
    std::string upper(e.name), lower(e.name);
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(FindDispId(upper), e.dispid);
    EXPECT_EQ(FindDispId(lower), e.dispid);
    const Member* m = FindMember(e.dispid);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->name, e.name);
  }
}

TEST(DefaultInterface, NearMissNamesAndUnknownIdsAreRejected) {
  for (const char* name :
       {"", "Sender", "SenderIDs", "Sender ID", " SenderID", "SenderID ", "coverage_Area",
        "getLastErrorDescriptions", "Fonts", "Send()", "Enable", "Port", "DISPID_VALUE"}) {
    EXPECT_EQ(FindDispId(name), std::nullopt) << '"' << name << '"';
  }
  for (DispId id : {0, -1, 0x68030000, 0x68030019, 0x6003001D, 0x60030026, 1, 2}) {
    EXPECT_EQ(FindMember(id), nullptr) << std::hex << id;
  }
}

// A value of each declared type that differs from every initial value.
Variant Sample(DeclaredType type) {
  switch (type) {
    case T::kInteger:
      return Variant::FromInteger(-5);
    case T::kLong:
      return Variant::FromLong(16777215);
    case T::kBoolean:
      return Variant::FromBoolean(1);  // stored exactly as passed, not turned into -1
    case T::kString:
      return Variant(" a value ");
    case T::kFont:
      return Variant::FromObject(std::make_shared<control::Font>());
    default:
      return {};
  }
}

TEST(DefaultInterface, EveryPropertyRoundTripsThroughInvokeWithItsChangeNotice) {
  for (const auto& e : kInterface) {
    if (e.kind == M) continue;
    SCOPED_TRACE(e.name);
    ControlHarness h;
    const Variant value = Sample(e.type);
    const auto put = e.kind == R ? InvokeKind::kPutRef : InvokeKind::kPut;
    EXPECT_EQ(Invoke(*h.ctl, e.dispid, put, std::vector{value}), Variant());
    EXPECT_EQ(h.site.notices, std::vector<std::string>{e.name});
    EXPECT_EQ(Invoke(*h.ctl, e.dispid, InvokeKind::kGet, {}), value);
  }
}

TEST(DefaultInterface, PutsConvertTheirArgumentToTheDeclaredType) {
  ControlHarness h;
  const auto put = [&](const char* name, Variant v) {
    Invoke(*h.ctl, *FindDispId(name), InvokeKind::kPut, std::vector{std::move(v)});
  };
  put("ServerPort", Variant(" 444 "));
  EXPECT_EQ(h.ctl->session().get_ServerPort(), 444);
  put("State", Variant::FromSingle(12.5F));
  EXPECT_EQ(h.ctl->session().get_State(), 12);
  put("Idle", Variant("false"));
  EXPECT_EQ(h.ctl->session().get_Idle(), kFalse);
  put("AlertOverride", Variant::FromLong(7));
  EXPECT_EQ(h.ctl->session().get_AlertOverride(), kTrue);
  put("Message", Variant::FromBoolean(kTrue));
  EXPECT_EQ(h.ctl->session().get_Message(), "True");
  put("Subject", Variant());
  EXPECT_EQ(h.ctl->session().get_Subject(), "");
}

TEST(DefaultInterface, MethodsGiveTheirResults) {
  ControlHarness h;
  const auto call = [&](const char* name) {
    return Invoke(*h.ctl, *FindDispId(name), InvokeKind::kMethod, {});
  };
  EXPECT_EQ(call("Refresh"), Variant());
  EXPECT_EQ(call("getLastError"), Variant(""));
  EXPECT_EQ(call("getLastReply"), Variant(""));
  // A String Variant even while nothing has been reported.
  EXPECT_EQ(call("getLastErrorDescription").type(), VarType::kString);
  EXPECT_EQ(call("Connect"), Variant::FromBoolean(kFalse));
  EXPECT_EQ(call("CloseConnect"), Variant());
  EXPECT_EQ(call("Send"), Variant(""));
  EXPECT_EQ(h.sock->connects.size(), 2U);  // Connect and Send each connected
}

// Invoke's refusals: number, and nothing stored or notified.
struct Refusal {
  const char* what;
  DispId dispid;
  InvokeKind kind;
  std::vector<Variant> args;
  std::int32_t number;
};

TEST(DefaultInterface, InvokeRefusesWithTheRightNumber) {
  const std::vector<Refusal> refusals = {
      {"dispatch id 0", 0, InvokeKind::kGet, {}, err::kNoSuchMember},
      {"dispatch id 0 as a call", 0, InvokeKind::kMethod, {}, err::kNoSuchMember},
      {"unknown id", 0x68030019, InvokeKind::kGet, {}, err::kNoSuchMember},
      {"property called", 0x68030012, InvokeKind::kMethod, {}, err::kNoSuchMember},
      {"method read", 0x6003001A, InvokeKind::kGet, {}, err::kNoSuchMember},
      {"method assigned", 0x60030019, InvokeKind::kPut, {Variant::FromLong(1)}, err::kNoSuchMember},
      {"Font by plain put",
       0x68030015,
       InvokeKind::kPut,
       {Variant::FromObject(nullptr)},
       err::kNoSuchMember},
      {"BackColor by reference",
       0x68030018,
       InvokeKind::kPutRef,
       {Variant::FromLong(1)},
       err::kNoSuchMember},
      {"get with an argument",
       0x68030018,
       InvokeKind::kGet,
       {Variant::FromLong(1)},
       err::kWrongArgumentCount},
      {"put without a value", 0x68030018, InvokeKind::kPut, {}, err::kWrongArgumentCount},
      {"put with two values",
       0x68030018,
       InvokeKind::kPut,
       {Variant::FromLong(1), Variant::FromLong(2)},
       err::kWrongArgumentCount},
      {"method with an argument",
       0x6003001A,
       InvokeKind::kMethod,
       {Variant("x")},
       err::kWrongArgumentCount},
      {"text for a Long", 0x6803000C, InvokeKind::kPut, {Variant("abc")}, err::kTypeMismatch},
      {"object for a Long",
       0x68030018,
       InvokeKind::kPut,
       {Variant::FromObject(std::make_shared<control::Font>())},
       err::kTypeMismatch},
      {"object for a String",
       0x68030012,
       InvokeKind::kPut,
       {Variant::FromObject(nullptr)},
       err::kTypeMismatch},
      {"text for a Boolean", 0x68030016, InvokeKind::kPut, {Variant("maybe")}, err::kTypeMismatch},
      {"text for the Font",
       0x68030015,
       InvokeKind::kPutRef,
       {Variant("Arial")},
       err::kTypeMismatch},
      {"40000 for an Integer",
       0x6803000E,
       InvokeKind::kPut,
       {Variant::FromLong(40000)},
       err::kOverflow},
      {"text over an Integer", 0x68030007, InvokeKind::kPut, {Variant("32768")}, err::kOverflow},
      {"3e9 for a Long", 0x6803000C, InvokeKind::kPut, {Variant::FromSingle(3e9F)}, err::kOverflow},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.what);
    ControlHarness h;
    try {
      Invoke(*h.ctl, r.dispid, r.kind, r.args);
      ADD_FAILURE() << "accepted";
    } catch (const InvokeError& e) {
      EXPECT_EQ(e.number(), r.number) << e.description();
      EXPECT_GT(e.description().size(), 40U) << e.description();
    }
    EXPECT_TRUE(h.site.notices.empty());
  }
}

TEST(DefaultInterface, FailuresOfTheMemberItselfAreNotInvokeErrors) {
  ControlHarness h;
  h.site.refuse = true;
  try {
    Invoke(*h.ctl, *FindDispId("BackColor"), InvokeKind::kPut, std::vector{Variant::FromLong(9)});
    FAIL() << "accepted";
  } catch (const InvokeError&) {
    FAIL() << "reported as a dispatch failure";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kSiteRefusedChange);
  }
  EXPECT_EQ(h.ctl->get_BackColor(), 9) << "stored before the notice failed";
}

TEST(EventInterface, TenEventsWithTheirParameters) {
  struct Ev {
    DispId id;
    const char* name;
    std::vector<std::pair<std::string, DeclaredType>> params;
  };
  const std::vector<Ev> expected = {
      {1, "OnError", {{"ErrorDescription", T::kString}}},
      {2, "OnComplete", {{"sendResponse", T::kString}}},
      {3, "Click", {}},
      {4, "DblClick", {}},
      {5, "KeyDown", {{"KeyCode", T::kInteger}, {"Shift", T::kInteger}}},
      {6, "KeyPress", {{"KeyAscii", T::kInteger}}},
      {7, "KeyUp", {{"KeyCode", T::kInteger}, {"Shift", T::kInteger}}},
      {8,
       "MouseDown",
       {{"Button", T::kInteger}, {"Shift", T::kInteger}, {"X", T::kSingle}, {"Y", T::kSingle}}},
      {9,
       "MouseMove",
       {{"Button", T::kInteger}, {"Shift", T::kInteger}, {"X", T::kSingle}, {"Y", T::kSingle}}},
      {10,
       "MouseUp",
       {{"Button", T::kInteger}, {"Shift", T::kInteger}, {"X", T::kSingle}, {"Y", T::kSingle}}},
  };
  const auto events = EventInterfaceMembers();
  ASSERT_EQ(events.size(), expected.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(events[i].dispid, expected[i].id);
    EXPECT_EQ(events[i].name, expected[i].name);
    ASSERT_EQ(events[i].params.size(), expected[i].params.size());
    for (std::size_t p = 0; p < events[i].params.size(); ++p) {
      EXPECT_EQ(events[i].params[p].name, expected[i].params[p].first);
      EXPECT_EQ(events[i].params[p].type, expected[i].params[p].second);
    }
    EXPECT_EQ(FindEventDispId(expected[i].name), expected[i].id);
    EXPECT_EQ(FindEvent(expected[i].id), &events[i]);
  }
  EXPECT_EQ(FindEventDispId("OnErrors"), std::nullopt);
  EXPECT_EQ(FindEvent(0), nullptr);
  EXPECT_EQ(FindEvent(11), nullptr);
}

}  // namespace
}  // namespace kestrel::control
