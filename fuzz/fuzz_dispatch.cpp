// fuzz_dispatch: any dispatch id, any invoke kind, any arguments, on a control over the fakes.
//
// Input layout:
//   [0]  the site refuses every n-th change notice (0: never)
//   [1]  how the event sink reacts: bit 0 disconnects itself, bit 1 calls CloseConnect through
//        Invoke, bit 2 destroys the control (a new one takes its place)
//   then operations, each one byte (op % 4) and what it needs:
//     0  invoke: member byte (below the member count: that member; else a near miss of one:
//        its id +1 or -1, 0, -1, or four raw bytes), kind byte (1, 2, 4, 8 or two raw bytes),
//        argument count (0-3), then the arguments as variant_input.hpp reads them
//     1  look a name up: a member's name in a case the next byte picks, or up to 24 raw bytes
//     2  the server says up to 63 bytes (a pending connection comes up first)
//     3  one timer tick
//
// Rules checked:
//   - Invoke returns, or raises InvokeError 438 (no such member or kind), 450 (argument count),
//     13 or 6 (the argument does not convert), or a member's own RuntimeError with a text;
//     nothing else ever comes out, and each InvokeError comes exactly when it should
//   - a get returns the subtype its member declares
//   - a put the argument converts for stores the converted value, which reads back unchanged,
//     also when the site then refuses the change notice; a put that does not convert leaves
//     the property as it was; a put-by-reference keeps the very object
//   - a name is found exactly when it is a member's name in any case, and finds that member
//
// The expectations come from the interface as it is published, written out below as data
// (kPublished), never from the dispatch table under test.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "kestrel/control/dispatch.hpp"
#include "kestrel/control/snpp_control.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/testing/fakes.hpp"
#include "variant_input.hpp"

namespace {

using namespace kestrel;
using control::InvokeKind;
using control::Variant;
using control::VarType;
using fuzz::Escaped;

constexpr std::int32_t kSiteRefused = 30001;

// _SNPPInstance as published: how each member is used, and the subtype a get or call returns
// (and a put stores; a method that returns nothing gives Empty).
enum class Use : std::uint8_t {
  kValue,   // a property: get and put
  kObject,  // an object property: get and put-by-reference
  kMethod,  // call only
};

struct PublishedMember {
  std::int32_t dispid;
  std::string_view name;
  Use use;
  VarType type;
};

constexpr PublishedMember kPublished[] = {
    {0x68030018, "BackColor", Use::kValue, VarType::kLong},
    {0x68030017, "ForeColor", Use::kValue, VarType::kLong},
    {0x68030016, "Enabled", Use::kValue, VarType::kBoolean},
    {0x68030015, "Font", Use::kObject, VarType::kObject},
    {0x68030014, "BackStyle", Use::kValue, VarType::kInteger},
    {0x68030013, "BorderStyle", Use::kValue, VarType::kInteger},
    {0x60030019, "Refresh", Use::kMethod, VarType::kEmpty},
    {0x68030012, "SenderID", Use::kValue, VarType::kString},
    {0x68030011, "Recipient", Use::kValue, VarType::kString},
    {0x6003001A, "Send", Use::kMethod, VarType::kString},
    {0x68030010, "Idle", Use::kValue, VarType::kBoolean},
    {0x6003001B, "getLastError", Use::kMethod, VarType::kString},
    {0x6003001C, "getLastReply", Use::kMethod, VarType::kString},
    {0x6803000E, "State", Use::kValue, VarType::kInteger},
    {0x6803000D, "Server", Use::kValue, VarType::kString},
    {0x6803000C, "ServerPort", Use::kValue, VarType::kLong},
    {0x6803000B, "ServerTimeout", Use::kValue, VarType::kInteger},
    {0x60030024, "Connect", Use::kMethod, VarType::kBoolean},
    {0x60030025, "getLastErrorDescription", Use::kMethod, VarType::kString},
    {0x6803000A, "Data", Use::kValue, VarType::kString},
    {0x60030035, "CloseConnect", Use::kMethod, VarType::kEmpty},
    {0x68030009, "coverageArea", Use::kValue, VarType::kInteger},
    {0x68030008, "ServiceLevel", Use::kValue, VarType::kInteger},
    {0x68030007, "SnppLevel", Use::kValue, VarType::kInteger},
    {0x68030006, "LoginName", Use::kValue, VarType::kString},
    {0x68030005, "Password", Use::kValue, VarType::kString},
    {0x68030004, "HoldUntil", Use::kValue, VarType::kString},
    {0x68030003, "Subject", Use::kValue, VarType::kString},
    {0x68030002, "Message", Use::kValue, VarType::kString},
    {0x68030001, "AlertOverride", Use::kValue, VarType::kBoolean},
};

const PublishedMember* FindPublished(std::int32_t dispid) {
  for (const auto& m : kPublished) {
    if (m.dispid == dispid) return &m;
  }
  return nullptr;
}

class Site final : public control::ControlSite {
 public:
  explicit Site(testing::FakeLoop& loop) : loop_(loop) {}
  void PropertyChanged(std::string_view) override {
    ++notices_;
    if (refuse_every_ > 0 && notices_ % refuse_every_ == 0) {
      throw RuntimeError(kSiteRefused, "The container refused the change.");
    }
  }
  control::FontRef AmbientFont() override { return ambient_; }
  void DoEvents() override { loop_.RunPending(); }

  unsigned refuse_every_ = 0;

 private:
  testing::FakeLoop& loop_;
  unsigned notices_ = 0;
  control::FontRef ambient_ = std::make_shared<control::Font>();
};

struct World;

class Sink final : public control::EventSink {
 public:
  explicit Sink(World& world) : world_(world) {}
  void OnEvent(platform::EventId id, String& argument) override;
  control::SinkCookie cookie = 0;

 private:
  World& world_;
};

struct World {
  testing::FakeLoop loop;
  testing::FakeClock clock{loop};
  Site site{loop};
  testing::FakeSocket* sock = nullptr;
  std::unique_ptr<control::SNPPControl> ctl;
  std::uint8_t reaction = 0;
  bool destroyed = false;

  void Build() {
    auto s = std::make_unique<testing::FakeSocket>(loop);
    sock = s.get();
    ctl = std::make_unique<control::SNPPControl>(site, std::move(s),
                                                 std::make_unique<testing::FakeTimer>(clock));
    auto sink = std::make_shared<Sink>(*this);
    sink->cookie = ctl->Advise(sink);
    destroyed = false;
  }
  void SettleDestroyed() {
    if (!destroyed) return;
    ctl.reset();
    sock = nullptr;
    Build();
  }
};

void Sink::OnEvent(platform::EventId, String&) {
  if (world_.destroyed || !world_.ctl) return;
  if (world_.reaction & 0x01) world_.ctl->Unadvise(cookie);
  if (world_.reaction & 0x02) {
    control::Invoke(*world_.ctl, *control::FindDispId("CloseConnect"), InvokeKind::kMethod, {});
  }
  if (world_.reaction & 0x04) {
    world_.destroyed = true;
    world_.ctl.reset();
    world_.sock = nullptr;
  }
}

// Which invoke kinds a member takes, as published.
bool Takes(Use use, InvokeKind kind) {
  switch (use) {
    case Use::kValue:
      return kind == InvokeKind::kGet || kind == InvokeKind::kPut;
    case Use::kObject:
      return kind == InvokeKind::kGet || kind == InvokeKind::kPutRef;
    case Use::kMethod:
      return kind == InvokeKind::kMethod;
  }
  return false;
}

bool SameAnyCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto low = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (low(a[i]) != low(b[i])) return false;
  }
  return true;
}

std::string Describe(const PublishedMember* m, std::int32_t dispid, InvokeKind kind,
                     std::size_t argc) {
  return (m ? std::string(m->name) : "dispid " + std::to_string(dispid)) + " " +
         std::string(control::KindName(kind)) + " with " + std::to_string(argc) + " argument(s)";
}

// A get that must succeed (the member exists and is a property).
Variant Read(control::SNPPControl& ctl, const PublishedMember& m) {
  return control::Invoke(ctl, m.dispid, InvokeKind::kGet, {});
}

void CheckInvoke(World& w, std::int32_t dispid, InvokeKind kind, const std::vector<Variant>& args) {
  const PublishedMember* m = FindPublished(dispid);
  const bool assigns = kind == InvokeKind::kPut || kind == InvokeKind::kPutRef;
  const std::string what = Describe(m, dispid, kind, args.size());

  // What must happen, worked out before the call.
  std::optional<std::int32_t> expected_error;
  std::optional<Variant> converted;
  if (!m || !Takes(m->use, kind)) {
    expected_error = err::kNoSuchMember;
  } else if (args.size() != (assigns ? 1u : 0u)) {
    expected_error = err::kWrongArgumentCount;
  } else if (assigns) {
    try {
      converted = args[0].ConvertTo(m->type);
    } catch (const RuntimeError& e) {
      expected_error = e.number();
    }
  }
  const bool property = m && m->use != Use::kMethod;
  const std::optional<Variant> before =
      property && expected_error ? std::optional(Read(*w.ctl, *m)) : std::nullopt;

  std::optional<Variant> result;
  try {
    result = control::Invoke(*w.ctl, dispid, kind, args);
  } catch (const control::InvokeError& e) {
    KESTREL_FUZZ_CHECK(expected_error && *expected_error == e.number(),
                       "Invoke raises its own error exactly when the call cannot be made",
                       what + ": raised " + std::to_string(e.number()) + " " + e.description());
    KESTREL_FUZZ_CHECK(!e.description().empty(), "every error has a text", what);
  } catch (const RuntimeError& e) {
    // The member's own failure: the site refused the notice, or the socket refused the call.
    KESTREL_FUZZ_CHECK(!expected_error, "a call that cannot be made raises InvokeError",
                       what + ": plain RuntimeError " + std::to_string(e.number()));
    KESTREL_FUZZ_CHECK(!e.description().empty(), "every error has a text", what);
  } catch (const std::exception& e) {
    kestrel::fuzz::Violation("only RuntimeError leaves Invoke", what + ": " + e.what());
  }
  const bool destroyed = w.destroyed;  // a handler let go of the control during the call
  w.SettleDestroyed();

  if (result) {
    KESTREL_FUZZ_CHECK(!expected_error, "a call that cannot be made does not return", what);
    if (!assigns) {
      KESTREL_FUZZ_CHECK(result->type() == m->type,
                         "a get or call returns the subtype its member declares",
                         what + ": got " + std::string(TypeName(result->type())));
    } else {
      KESTREL_FUZZ_CHECK(result->is_empty(), "a put returns Empty", what);
    }
  }
  if (!property || destroyed) return;
  const Variant after = Read(*w.ctl, *m);
  if (expected_error) {
    KESTREL_FUZZ_CHECK(after == *before, "a call that cannot be made changes nothing", what);
  } else if (converted) {
    KESTREL_FUZZ_CHECK(after == *converted, "an accepted value reads back unchanged",
                       what + ": " + Escaped(converted->ToString()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  World w;
  w.site.refuse_every_ = in.Byte();
  w.reaction = in.Byte();
  w.Build();
  const std::span<const PublishedMember> members(kPublished);

  for (int n = 0; n < 512 && !in.empty(); ++n) {
    switch (in.Byte() % 4) {
      case 0: {
        const std::uint8_t pick = in.Byte();
        std::int32_t dispid;
        if (pick < members.size()) {
          dispid = members[pick].dispid;
        } else {
          const auto& near = members[pick % members.size()];
          switch (pick % 5) {
            case 0:
              dispid = near.dispid + 1;
              break;
            case 1:
              dispid = near.dispid - 1;
              break;
            case 2:
              dispid = 0;
              break;
            case 3:
              dispid = -1;
              break;
            default:
              dispid = static_cast<std::int32_t>(in.U32());
              break;
          }
        }
        const std::uint8_t k = in.Byte();
        static constexpr InvokeKind kKinds[] = {InvokeKind::kMethod, InvokeKind::kGet,
                                                InvokeKind::kPut, InvokeKind::kPutRef};
        const InvokeKind kind = k < 0xF0 ? kKinds[k % 4] : static_cast<InvokeKind>(in.U16());
        std::vector<Variant> args(in.Byte() % 4);
        for (auto& a : args) a = in.Value();
        CheckInvoke(w, dispid, kind, args);
        break;
      }
      case 1: {
        const std::uint8_t pick = in.Byte();
        std::string name;
        if (pick < 0x80) {
          name = members[pick % members.size()].name;
          const std::uint32_t flips = in.U32();
          for (std::size_t i = 0; i < name.size() && i < 32; ++i) {
            if ((flips >> i) & 1) name[i] ^= 0x20;  // letters change case; others change
          }
        } else {
          name = in.Bytes(pick % 25);
        }
        const auto found = control::FindDispId(name);
        const PublishedMember* named = nullptr;
        for (const auto& m : members) {
          if (SameAnyCase(m.name, name)) named = &m;
        }
        KESTREL_FUZZ_CHECK(found.has_value() == (named != nullptr),
                           "a name is found exactly when it is a member's, in any case",
                           Escaped(name));
        if (found) {
          KESTREL_FUZZ_CHECK(*found == named->dispid, "a name finds its own member", Escaped(name));
        }
        break;
      }
      case 2: {
        const std::string bytes = in.Bytes(in.Byte() % 64);
        if (w.sock->State() == platform::SocketState::kConnecting) w.sock->CompleteConnect();
        if (w.sock->State() == platform::SocketState::kConnected) {
          w.sock->Receive(bytes);
          w.loop.RunPending();
          w.SettleDestroyed();
        }
        break;
      }
      default:
        w.clock.Advance(1000);
        w.SettleDestroyed();
        break;
    }
  }
  w.ctl.reset();
  w.loop.RunPending();
  return 0;
}
