// Loading and saving an instance's settings through the C interface: the persistence interface
// over a property bag written here (as a host would write it), its failures, and the
// settings-file exports on real files.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "c_api_support.hpp"
#include "kestrel/kestrel_snpp.h"

namespace {

using ::testing::AllOf;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
namespace fs = std::filesystem;

using kestrel::testing::Release;
using kestrel::testing::Site;
using kestrel::testing::Text;

std::string LastError() {
  ks_string s = KsGetLastErrorText();
  std::string text = Text(s);
  KsStringFree(s);
  return text;
}

bool SameGuid(const ks_guid* a, const ks_guid& b) {
  return std::memcmp(a, &b, sizeof b) == 0;
}

ks_variant I2(int16_t v) {
  ks_variant x;
  KsVariantInit(&x);
  x.vt = KS_VT_I2;
  x.u.iVal = v;
  return x;
}
ks_variant I4(int32_t v) {
  ks_variant x;
  KsVariantInit(&x);
  x.vt = KS_VT_I4;
  x.u.lVal = v;
  return x;
}
ks_variant R4(float v) {
  ks_variant x;
  KsVariantInit(&x);
  x.vt = KS_VT_R4;
  x.u.fltVal = v;
  return x;
}
ks_variant Bool(bool v) {
  ks_variant x;
  KsVariantInit(&x);
  x.vt = KS_VT_BOOL;
  x.u.boolVal = v ? KS_VARIANT_TRUE : KS_VARIANT_FALSE;
  return x;
}
// A new string: the variant owns it.
ks_variant Str(const char* text) {
  ks_variant x;
  KsVariantInit(&x);
  x.vt = KS_VT_BSTR;
  x.u.bstrVal = KsStringFromUtf8(text);
  return x;
}

// A copy that owns its own string or object reference, as a bag keeps values.
ks_variant Copy(const ks_variant& v) {
  ks_variant c = v;
  if (v.vt == KS_VT_BSTR) c.u.bstrVal = KsStringAlloc(v.u.bstrVal, KsStringLen(v.u.bstrVal));
  if (v.vt == KS_VT_DISPATCH && v.u.pdispVal != nullptr) v.u.pdispVal->vtbl->AddRef(v.u.pdispVal);
  return c;
}

// Invoke by name on any dispatch object (the control, a font).
ks_hresult InvokeByName(ks_dispatch* d, const char* name, uint16_t flags, ks_variant* arg,
                        ks_variant* result) {
  int32_t id = KS_DISPID_UNKNOWN;
  EXPECT_EQ(d->vtbl->GetIDsOfNames(d, nullptr, &name, 1, 0, &id), KS_S_OK) << name;
  int32_t named = KS_DISPID_PROPERTYPUT;
  const bool put = (flags & (KS_DISPATCH_PROPERTYPUT | KS_DISPATCH_PROPERTYPUTREF)) != 0;
  ks_dispparams params{arg, put ? &named : nullptr, arg != nullptr ? 1U : 0U, put ? 1U : 0U};
  ks_excepinfo info{};
  const ks_hresult hr = d->vtbl->Invoke(d, id, nullptr, 0, flags, &params, result, &info, nullptr);
  EXPECT_EQ(hr, KS_S_OK) << name << ": " << Text(info.description);
  KsExcepInfoClear(&info);
  return hr;
}

void Put(ks_dispatch* d, const char* name, ks_variant value) {
  InvokeByName(d, name, KS_DISPATCH_PROPERTYPUT, &value, nullptr);
  KsVariantClear(&value);
}

// A value as text with its type, a font as its attributes: "I2 13", "BSTR 'x'", "Font{...}".
std::string Show(const ks_variant& v);

std::string FontAttributes(ks_dispatch* font) {
  std::string out = "Font{";
  for (const char* name :
       {"Name", "Size", "Bold", "Italic", "Underline", "Strikethrough", "Weight", "Charset"}) {
    ks_variant value;
    KsVariantInit(&value);
    InvokeByName(font, name, KS_DISPATCH_PROPERTYGET, nullptr, &value);
    out += std::string(name) + "=" + Show(value) + " ";
    KsVariantClear(&value);
  }
  return out + "}";
}

std::string Show(const ks_variant& v) {
  std::ostringstream out;
  switch (v.vt) {
    case KS_VT_EMPTY:
      out << "Empty";
      break;
    case KS_VT_I2:
      out << "I2 " << v.u.iVal;
      break;
    case KS_VT_I4:
      out << "I4 " << v.u.lVal;
      break;
    case KS_VT_R4:
      out << "R4 " << v.u.fltVal;
      break;
    case KS_VT_BOOL:
      out << "BOOL " << v.u.boolVal;
      break;
    case KS_VT_BSTR:
      out << "BSTR '" << Text(v.u.bstrVal) << "'";
      break;
    case KS_VT_DISPATCH:
      out << (v.u.pdispVal != nullptr ? FontAttributes(v.u.pdispVal) : "Nothing");
      break;
    default:
      out << "vt " << v.vt;
      break;
  }
  return out.str();
}

// The persisted properties in their order, each with a value other than its initial one.
const char* const kNames[] = {
    "BackColor",     "ForeColor", "Enabled",      "Font",         "BackStyle",    "BorderStyle",
    "SenderID",      "Recipient", "Idle",         "State",        "Server",       "ServerPort",
    "ServerTimeout", "Data",      "coverageArea", "ServiceLevel", "SnppLevel",    "LoginName",
    "Password",      "HoldUntil", "Subject",      "Message",      "AlertOverride"};

// --- A host's property bag and error log -----------------------------------------------------

struct Bag {
  ks_property_bag base;
  int refs = 1;
  std::vector<std::pair<std::string, ks_variant>> values;  // owned
  std::vector<std::string> reads, writes;
  std::string fail_at;  // a Read or Write of this name fails with fail_with
  ks_hresult fail_with = KS_E_FAIL;
  bool leave_default = false;  // for a name not held: S_OK with the default left in place

  Bag();
  ~Bag() {
    for (auto& [name, value] : values) KsVariantClear(&value);
  }
  Bag(const Bag&) = delete;
  Bag& operator=(const Bag&) = delete;

  ks_property_bag* get() { return &base; }
  void Set(const std::string& name, ks_variant value) {  // takes the value over
    for (auto& [key, stored] : values) {
      if (key == name) {
        KsVariantClear(&stored);
        stored = value;
        return;
      }
    }
    values.emplace_back(name, value);
  }
  const ks_variant* Find(const std::string& name) const {
    for (const auto& [key, stored] : values)
      if (key == name) return &stored;
    return nullptr;
  }
};

Bag* BagOf(ks_property_bag* b) {
  return reinterpret_cast<Bag*>(b);
}

const ks_property_bag_vtbl kBagVtbl{
    [](ks_property_bag* self, const ks_guid* iid, void** out) -> ks_hresult {
      if (!SameGuid(iid, KS_IID_IUnknown) && !SameGuid(iid, KS_IID_IPropertyBag)) {
        *out = nullptr;
        return KS_E_NOINTERFACE;
      }
      ++BagOf(self)->refs;
      *out = self;
      return KS_S_OK;
    },
    [](ks_property_bag* self) -> uint32_t { return static_cast<uint32_t>(++BagOf(self)->refs); },
    [](ks_property_bag* self) -> uint32_t { return static_cast<uint32_t>(--BagOf(self)->refs); },
    [](ks_property_bag* self, const char* name, ks_variant* value, ks_error_log*) -> ks_hresult {
      Bag* bag = BagOf(self);
      bag->reads.emplace_back(name);
      if (bag->fail_at == name) return bag->fail_with;
      const ks_variant* stored = bag->Find(name);
      if (stored == nullptr) return bag->leave_default ? KS_S_OK : KS_E_INVALIDARG;
      KsVariantClear(value);
      *value = Copy(*stored);
      return KS_S_OK;
    },
    [](ks_property_bag* self, const char* name, ks_variant* value) -> ks_hresult {
      Bag* bag = BagOf(self);
      bag->writes.emplace_back(name);
      if (bag->fail_at == name) return bag->fail_with;
      bag->Set(name, Copy(*value));
      return KS_S_OK;
    },
};

Bag::Bag() : base{&kBagVtbl} {}

struct Log {
  ks_error_log base;
  int refs = 1;
  std::vector<std::tuple<std::string, int32_t, ks_hresult, std::string>> errors;
  Log();
};

Log* LogOf(ks_error_log* l) {
  return reinterpret_cast<Log*>(l);
}

const ks_error_log_vtbl kLogVtbl{
    [](ks_error_log*, const ks_guid*, void** out) -> ks_hresult {
      *out = nullptr;
      return KS_E_NOINTERFACE;
    },
    [](ks_error_log* self) -> uint32_t { return static_cast<uint32_t>(++LogOf(self)->refs); },
    [](ks_error_log* self) -> uint32_t { return static_cast<uint32_t>(--LogOf(self)->refs); },
    [](ks_error_log* self, const char* name, ks_excepinfo* info) -> ks_hresult {
      LogOf(self)->errors.emplace_back(name, info->code, info->scode, Text(info->description));
      return KS_S_OK;
    },
};

Log::Log() : base{&kLogVtbl} {}

// Some other dispatch object of the host: not a font of the library.
struct Foreign {
  ks_dispatch base;
  int refs = 1;
  Foreign();
};

Foreign* ForeignOf(ks_dispatch* d) {
  return reinterpret_cast<Foreign*>(d);
}

const ks_dispatch_vtbl kForeignVtbl{
    [](ks_dispatch*, const ks_guid*, void** out) -> ks_hresult {
      *out = nullptr;
      return KS_E_NOINTERFACE;
    },
    [](ks_dispatch* self) -> uint32_t { return static_cast<uint32_t>(++ForeignOf(self)->refs); },
    [](ks_dispatch* self) -> uint32_t { return static_cast<uint32_t>(--ForeignOf(self)->refs); },
    [](ks_dispatch*, uint32_t*) -> ks_hresult { return KS_E_NOTIMPL; },
    [](ks_dispatch*, uint32_t, uint32_t, ks_typeinfo**) -> ks_hresult { return KS_E_NOTIMPL; },
    [](ks_dispatch*, const ks_guid*, const char**, uint32_t, uint32_t, int32_t*) -> ks_hresult {
      return KS_E_NOTIMPL;
    },
    [](ks_dispatch*, int32_t, const ks_guid*, uint32_t, uint16_t, ks_dispparams*, ks_variant*,
       ks_excepinfo*, uint32_t*) -> ks_hresult { return KS_E_NOTIMPL; },
};

Foreign::Foreign() : base{&kForeignVtbl} {}

// --- The fixture: a loop, the class object and instances -------------------------------------

class Persist : public ::testing::Test {
 protected:
  void SetUp() override {
    loop_ = KsLoopCreate();
    ASSERT_NE(loop_, nullptr);
    KsLoopSetCurrent(loop_);
    ASSERT_EQ(DllGetClassObject(&KS_CLSID_SNPPInstance, &KS_IID_IClassFactory,
                                reinterpret_cast<void**>(&factory_)),
              KS_S_OK);
    a_ = NewInstance();
  }
  void TearDown() override {
    for (auto* d : instances_) Release(d);
    Release(factory_);
    KsLoopSetCurrent(nullptr);
    KsLoopDestroy(loop_);
    EXPECT_EQ(DllCanUnloadNow(), KS_S_OK) << "an object (a font, an instance) was left behind";
  }

  ks_dispatch* NewInstance() {
    ks_dispatch* d = nullptr;
    EXPECT_EQ(factory_->vtbl->CreateInstance(factory_, nullptr, &KS_IID__SNPPInstance,
                                             reinterpret_cast<void**>(&d)),
              KS_S_OK);
    instances_.push_back(d);
    return d;
  }

  // The instance's persistence interface; the fixture keeps the reference.
  ks_persist_property_bag* PersistOf(ks_dispatch* d) {
    ks_persist_property_bag* p = nullptr;
    EXPECT_EQ(d->vtbl->QueryInterface(d, &KS_IID_IPersistPropertyBag, reinterpret_cast<void**>(&p)),
              KS_S_OK);
    // Released with the instance: the faces share one count, so give it back at once and rely
    // on the instance reference the fixture holds.
    p->vtbl->Release(p);
    return p;
  }

  static std::string Get(ks_dispatch* d, const char* name) {
    ks_variant value;
    KsVariantInit(&value);
    InvokeByName(d, name, KS_DISPATCH_PROPERTYGET, nullptr, &value);
    std::string shown = Show(value);
    KsVariantClear(&value);
    return shown;
  }
  static std::vector<std::string> All(ks_dispatch* d) {
    std::vector<std::string> out;
    for (const char* name : kNames) out.push_back(std::string(name) + ": " + Get(d, name));
    return out;
  }

  // A font object of the library with some attributes set; the caller releases it.
  static ks_dispatch* NewFont(const char* name, float size, bool bold) {
    ks_dispatch* font = nullptr;
    EXPECT_EQ(KsFontCreate(&font), KS_S_OK);
    Put(font, "Name", Str(name));
    Put(font, "Size", R4(size));
    Put(font, "Bold", Bool(bold));
    return font;
  }

  // Every persisted property of `d` set away from its initial value (Message to the empty text).
  static void SetEverything(ks_dispatch* d) {
    Put(d, "BackColor", I4(16777215));
    Put(d, "ForeColor", I4(255));
    Put(d, "Enabled", Bool(true));
    ks_dispatch* font = NewFont("Courier New", 12.0F, true);
    ks_variant ref;
    KsVariantInit(&ref);
    ref.vt = KS_VT_DISPATCH;
    ref.u.pdispVal = font;
    InvokeByName(d, "Font", KS_DISPATCH_PROPERTYPUTREF, &ref, nullptr);
    Release(font);
    Put(d, "BackStyle", I2(1));
    Put(d, "BorderStyle", I2(1));
    Put(d, "SenderID", Str("ops-desk"));
    Put(d, "Recipient", Str("5551234"));
    Put(d, "Idle", Bool(false));
    Put(d, "State", I2(13));
    Put(d, "Server", Str("pager.example.org"));
    Put(d, "ServerPort", I4(4444));
    Put(d, "ServerTimeout", I2(45));
    Put(d, "Data", Str("line one\r\nline two"));
    Put(d, "coverageArea", I2(3));
    Put(d, "ServiceLevel", I2(5));
    Put(d, "SnppLevel", I2(2));
    Put(d, "LoginName", Str("kestrel"));
    Put(d, "Password", Str("s3cret"));
    Put(d, "HoldUntil", Str("0101120000"));
    Put(d, "Subject", Str("disk full"));
    Put(d, "Message", Str(""));
    Put(d, "AlertOverride", Bool(true));
  }

  ks_loop* loop_ = nullptr;
  ks_class_factory* factory_ = nullptr;
  ks_dispatch* a_ = nullptr;
  std::vector<ks_dispatch*> instances_;
};

// What SetEverything leaves, as Show() gives it.
const std::vector<std::string> kEverything = {
    "BackColor: I4 16777215",
    "ForeColor: I4 255",
    "Enabled: BOOL -1",
    "Font: Font{Name=BSTR 'Courier New' Size=R4 12 Bold=BOOL -1 Italic=BOOL 0 Underline=BOOL 0 "
    "Strikethrough=BOOL 0 Weight=I2 400 Charset=I2 0 }",
    "BackStyle: I2 1",
    "BorderStyle: I2 1",
    "SenderID: BSTR 'ops-desk'",
    "Recipient: BSTR '5551234'",
    "Idle: BOOL 0",
    "State: I2 13",
    "Server: BSTR 'pager.example.org'",
    "ServerPort: I4 4444",
    "ServerTimeout: I2 45",
    "Data: BSTR 'line one\r\nline two'",
    "coverageArea: I2 3",
    "ServiceLevel: I2 5",
    "SnppLevel: I2 2",
    "LoginName: BSTR 'kestrel'",
    "Password: BSTR 's3cret'",
    "HoldUntil: BSTR '0101120000'",
    "Subject: BSTR 'disk full'",
    "Message: BSTR ''",
    "AlertOverride: BOOL -1",
};

// A new control's values; Font is the runtime's default font (no site).
const std::vector<std::string> kInitial = {
    "BackColor: I4 0",
    "ForeColor: I4 0",
    "Enabled: BOOL 0",
    "Font: Font{Name=BSTR 'MS Sans Serif' Size=R4 8.25 Bold=BOOL 0 Italic=BOOL 0 Underline=BOOL 0 "
    "Strikethrough=BOOL 0 Weight=I2 400 Charset=I2 0 }",
    "BackStyle: I2 0",
    "BorderStyle: I2 0",
    "SenderID: BSTR ''",
    "Recipient: BSTR ''",
    "Idle: BOOL -1",
    "State: I2 -1",
    "Server: BSTR '127.0.0.1'",
    "ServerPort: I4 0",
    "ServerTimeout: I2 20",
    "Data: BSTR ''",
    "coverageArea: I2 -1",
    "ServiceLevel: I2 -1",
    "SnppLevel: I2 3",
    "LoginName: BSTR ''",
    "Password: BSTR ''",
    "HoldUntil: BSTR ''",
    "Subject: BSTR ''",
    "Message: BSTR '0'",
    "AlertOverride: BOOL 0",
};

// --- The interface ---------------------------------------------------------------------------

TEST_F(Persist, ReachedThroughQueryInterfaceAndNamesTheClass) {
  ks_persist_property_bag* bag_face = nullptr;
  ks_persist_property_bag* persist_face = nullptr;
  ASSERT_EQ(a_->vtbl->QueryInterface(a_, &KS_IID_IPersistPropertyBag,
                                     reinterpret_cast<void**>(&bag_face)),
            KS_S_OK);
  ASSERT_EQ(a_->vtbl->QueryInterface(a_, &KS_IID_IPersist, reinterpret_cast<void**>(&persist_face)),
            KS_S_OK);
  EXPECT_EQ(bag_face, persist_face);
  ks_guid clsid{};
  EXPECT_EQ(bag_face->vtbl->GetClassID(bag_face, &clsid), KS_S_OK);
  EXPECT_TRUE(SameGuid(&clsid, KS_CLSID_SNPPInstance));
  EXPECT_EQ(bag_face->vtbl->GetClassID(bag_face, nullptr), KS_E_POINTER);
  EXPECT_EQ(bag_face->vtbl->Load(bag_face, nullptr, nullptr), KS_E_POINTER);
  EXPECT_EQ(bag_face->vtbl->Save(bag_face, nullptr, 1, 1), KS_E_POINTER);

  // Back from the persistence interface to the control's own.
  ks_dispatch* again = nullptr;
  ASSERT_EQ(bag_face->vtbl->QueryInterface(bag_face, &KS_IID__SNPPInstance,
                                           reinterpret_cast<void**>(&again)),
            KS_S_OK);
  EXPECT_EQ(again, a_);
  Release(again);
  Release(persist_face);
  Release(bag_face);
}

// --- InitNew ---------------------------------------------------------------------------------

TEST_F(Persist, InitNewGivesTheInitialValuesAndLeavesServerAlone) {
  SetEverything(a_);
  ASSERT_EQ(PersistOf(a_)->vtbl->InitNew(PersistOf(a_)), KS_S_OK);

  std::vector<std::string> expected = kInitial;
  expected[10] = "Server: BSTR 'pager.example.org'";  // InitNew does not touch the socket
  expected[11] = "ServerPort: I4 4444";
  EXPECT_THAT(All(a_), ElementsAreArray(expected));
}

TEST_F(Persist, InitNewTakesTheSitesFontAndSendsNoChangeNotices) {
  Site site;
  site.font = NewFont("Arial", 10.0F, false);
  ks_control* control = nullptr;
  ASSERT_EQ(a_->vtbl->QueryInterface(a_, &KS_IID_KsControl, reinterpret_cast<void**>(&control)),
            KS_S_OK);
  control->vtbl->SetSite(control, &site.base);
  Put(a_, "State", I2(12));
  site.notices.clear();

  ASSERT_EQ(PersistOf(a_)->vtbl->InitNew(PersistOf(a_)), KS_S_OK);
  EXPECT_EQ(Get(a_, "State"), "I2 -1");
  ks_variant font;
  KsVariantInit(&font);
  InvokeByName(a_, "Font", KS_DISPATCH_PROPERTYGET, nullptr, &font);
  EXPECT_EQ(font.u.pdispVal, site.font) << "the very object the site offered";
  KsVariantClear(&font);
  EXPECT_THAT(site.notices, IsEmpty());

  // A site without a font: InitNew and Load fail at Font (Load after reading Enabled, before
  // asking the bag for Font), and say so.
  site.no_font = true;
  EXPECT_EQ(PersistOf(a_)->vtbl->InitNew(PersistOf(a_)), KS_DISP_E_EXCEPTION);
  EXPECT_THAT(LastError(), HasSubstr("Cannot initialise Font: The host could not give"));
  Bag bag;
  Log log;
  EXPECT_EQ(PersistOf(a_)->vtbl->Load(PersistOf(a_), bag.get(), &log.base), KS_DISP_E_EXCEPTION);
  EXPECT_EQ(bag.reads.back(), "Enabled");
  EXPECT_THAT(LastError(), HasSubstr("Cannot load Font: The host could not give"));
  ASSERT_EQ(log.errors.size(), 1U);
  EXPECT_EQ(std::get<0>(log.errors[0]), "Font");
  EXPECT_EQ(std::get<1>(log.errors[0]), 30002);

  control->vtbl->SetSite(control, nullptr);
  Release(control);
  Release(site.font);
  EXPECT_EQ(site.refs, 1);
}

// --- Save and Load through the host's bag -----------------------------------------------------

TEST_F(Persist, SaveWritesEveryPropertyInOrderWithItsType) {
  SetEverything(a_);
  Bag bag;
  ASSERT_EQ(PersistOf(a_)->vtbl->Save(PersistOf(a_), bag.get(), 1, 0), KS_S_OK);
  EXPECT_THAT(bag.writes, ElementsAreArray(kNames));
  EXPECT_EQ(bag.Find("BackColor")->vt, KS_VT_I4);
  EXPECT_EQ(bag.Find("BackStyle")->vt, KS_VT_I2);
  EXPECT_EQ(bag.Find("Idle")->vt, KS_VT_BOOL);
  EXPECT_EQ(bag.Find("ServerPort")->vt, KS_VT_I4);
  EXPECT_EQ(Show(*bag.Find("Server")), "BSTR 'pager.example.org'");

  // The font goes as the very object the control's Font gives.
  ks_variant font;
  KsVariantInit(&font);
  InvokeByName(a_, "Font", KS_DISPATCH_PROPERTYGET, nullptr, &font);
  ASSERT_EQ(bag.Find("Font")->vt, KS_VT_DISPATCH);
  EXPECT_EQ(bag.Find("Font")->u.pdispVal, font.u.pdispVal);
  KsVariantClear(&font);
  EXPECT_EQ(bag.refs, 1) << "the instance keeps no reference to the bag";
}

TEST_F(Persist, SaveThenLoadIntoAFreshInstanceRestoresEveryProperty) {
  SetEverything(a_);
  ASSERT_THAT(All(a_), ElementsAreArray(kEverything));
  Bag bag;
  ASSERT_EQ(PersistOf(a_)->vtbl->Save(PersistOf(a_), bag.get(), 1, 1), KS_S_OK);

  ks_dispatch* b = NewInstance();
  Log log;
  ASSERT_EQ(PersistOf(b)->vtbl->Load(PersistOf(b), bag.get(), &log.base), KS_S_OK);
  EXPECT_THAT(bag.reads, ElementsAreArray(kNames));
  EXPECT_THAT(All(b), ElementsAreArray(kEverything));
  EXPECT_THAT(log.errors, IsEmpty());

  // The font object the bag gave is the one the loaded control's Font gives.
  ks_variant font;
  KsVariantInit(&font);
  InvokeByName(b, "Font", KS_DISPATCH_PROPERTYGET, nullptr, &font);
  EXPECT_EQ(font.u.pdispVal, bag.Find("Font")->u.pdispVal);
  KsVariantClear(&font);
}

TEST_F(Persist, LoadGivesTheDefaultForANameNeverWritten) {
  // Both ways a bag may say "nothing stored": KS_E_INVALIDARG, or the default left in place.
  for (const bool leave_default : {false, true}) {
    SCOPED_TRACE(leave_default ? "default left in place" : "KS_E_INVALIDARG");
    SetEverything(a_);
    Bag bag;
    bag.leave_default = leave_default;
    bag.Set("Subject", Str("kept"));
    ASSERT_EQ(PersistOf(a_)->vtbl->Load(PersistOf(a_), bag.get(), nullptr), KS_S_OK);
    std::vector<std::string> expected = kInitial;  // Server and ServerPort included
    expected[20] = "Subject: BSTR 'kept'";
    EXPECT_THAT(All(a_), ElementsAreArray(expected));
  }
}

TEST_F(Persist, LoadTakesAnyValueThatConvertsAndSendsNoChangeNotices) {
  Site site;
  site.font = NewFont("Arial", 10.0F, false);
  ks_control* control = nullptr;
  ASSERT_EQ(a_->vtbl->QueryInterface(a_, &KS_IID_KsControl, reinterpret_cast<void**>(&control)),
            KS_S_OK);
  control->vtbl->SetSite(control, &site.base);
  site.notices.clear();

  Bag bag;
  bag.Set("BackColor", Str("16777215"));  // text for a Long
  bag.Set("State", I4(13));               // a Long for an Integer
  bag.Set("Enabled", Str("True"));
  bag.Set("ServerPort", I2(444));
  bag.Set("SnppLevel", R4(2.5F));  // rounds half to even
  ASSERT_EQ(PersistOf(a_)->vtbl->Load(PersistOf(a_), bag.get(), nullptr), KS_S_OK);
  EXPECT_EQ(Get(a_, "BackColor"), "I4 16777215");
  EXPECT_EQ(Get(a_, "State"), "I2 13");
  EXPECT_EQ(Get(a_, "Enabled"), "BOOL -1");
  EXPECT_EQ(Get(a_, "ServerPort"), "I4 444");
  EXPECT_EQ(Get(a_, "SnppLevel"), "I2 2");
  EXPECT_THAT(site.notices, IsEmpty());

  control->vtbl->SetSite(control, nullptr);
  Release(control);
  Release(site.font);
}

// --- Failures: where they stop, what comes back -----------------------------------------------

TEST_F(Persist, TextUnderServerTimeoutStopsLoadAtItsProperty) {
  Put(a_, "Recipient", Str("old"));
  Put(a_, "ServerTimeout", I2(7));
  Put(a_, "Data", Str("before"));
  Put(a_, "Message", Str("keep me"));
  Bag bag;
  bag.Set("Recipient", Str("5550000"));
  bag.Set("ServerTimeout", Str("abc"));
  bag.Set("Data", Str("new"));
  bag.Set("Message", Str("new"));
  Log log;

  EXPECT_EQ(PersistOf(a_)->vtbl->Load(PersistOf(a_), bag.get(), &log.base), KS_DISP_E_TYPEMISMATCH);
  EXPECT_EQ(bag.reads.back(), "ServerTimeout");
  EXPECT_EQ(Get(a_, "Recipient"), "BSTR '5550000'") << "loaded before the failure";
  EXPECT_EQ(Get(a_, "ServerTimeout"), "I2 7");
  EXPECT_EQ(Get(a_, "Data"), "BSTR 'before'") << "after the failure: untouched";
  EXPECT_EQ(Get(a_, "Message"), "BSTR 'keep me'");

  const std::string why = LastError();
  EXPECT_THAT(why, HasSubstr("Cannot load ServerTimeout: Type mismatch"));
  EXPECT_THAT(why, HasSubstr("\"abc\""));
  ASSERT_EQ(log.errors.size(), 1U);
  EXPECT_EQ(std::get<0>(log.errors[0]), "ServerTimeout");
  EXPECT_EQ(std::get<1>(log.errors[0]), KS_ERR_TYPE_MISMATCH);
  EXPECT_EQ(std::get<2>(log.errors[0]), KS_DISP_E_TYPEMISMATCH);
  EXPECT_EQ(std::get<3>(log.errors[0]), why);
}

TEST_F(Persist, NumberAbove32767UnderSnppLevelOverflows) {
  Put(a_, "SnppLevel", I2(1));
  Put(a_, "LoginName", Str("before"));
  Bag bag;
  bag.Set("SnppLevel", I4(32768));
  bag.Set("LoginName", Str("after"));
  Log log;

  EXPECT_EQ(PersistOf(a_)->vtbl->Load(PersistOf(a_), bag.get(), &log.base), KS_DISP_E_OVERFLOW);
  EXPECT_EQ(Get(a_, "SnppLevel"), "I2 1");
  EXPECT_EQ(Get(a_, "LoginName"), "BSTR 'before'");
  EXPECT_THAT(LastError(), HasSubstr("Cannot load SnppLevel: Overflow: 32768"));
  ASSERT_EQ(log.errors.size(), 1U);
  EXPECT_EQ(std::get<0>(log.errors[0]), "SnppLevel");
  EXPECT_EQ(std::get<1>(log.errors[0]), KS_ERR_OVERFLOW);
}

TEST_F(Persist, AFailingBagsResultComesBackAsItIs) {
  constexpr ks_hresult kMediumFull = static_cast<ks_hresult>(0x80030070);
  Put(a_, "Data", Str("before"));
  Bag reader;
  reader.fail_at = "Data";
  reader.fail_with = kMediumFull;
  reader.Set("Data", Str("never seen"));
  Log log;
  EXPECT_EQ(PersistOf(a_)->vtbl->Load(PersistOf(a_), reader.get(), &log.base), kMediumFull);
  EXPECT_EQ(Get(a_, "Data"), "BSTR 'before'");
  EXPECT_THAT(LastError(), HasSubstr("Cannot load Data: the host's property bag failed to read "
                                     "it (result 0x80030070)"));
  ASSERT_EQ(log.errors.size(), 1U);
  EXPECT_EQ(std::get<1>(log.errors[0]), 0) << "no runtime error: the bag's result says it";
  EXPECT_EQ(std::get<2>(log.errors[0]), kMediumFull);

  Bag writer;
  writer.fail_at = "State";
  EXPECT_EQ(PersistOf(a_)->vtbl->Save(PersistOf(a_), writer.get(), 1, 1), KS_E_FAIL);
  EXPECT_EQ(writer.writes.back(), "State");
  EXPECT_EQ(writer.values.size(), 9U) << "the nine properties before State were written";
  EXPECT_THAT(LastError(), HasSubstr("Cannot save State: the host's property bag failed"));
}

TEST_F(Persist, AnObjectThatIsNoFontOfOursFailsAtFont) {
  Foreign foreign;
  Put(a_, "BackStyle", I2(1));
  Bag bag;
  bag.Set("BackStyle", I2(0));
  ks_variant object;
  KsVariantInit(&object);
  object.vt = KS_VT_DISPATCH;
  object.u.pdispVal = &foreign.base;
  bag.Set("Font", Copy(object));
  ASSERT_EQ(foreign.refs, 2);

  EXPECT_EQ(PersistOf(a_)->vtbl->Load(PersistOf(a_), bag.get(), nullptr), KS_DISP_E_TYPEMISMATCH);
  EXPECT_THAT(LastError(), HasSubstr("Cannot load Font: Type mismatch: the object is not a font"));
  EXPECT_EQ(Get(a_, "BackStyle"), "I2 1") << "BackStyle comes after Font";
  EXPECT_EQ(foreign.refs, 2) << "the control gave back the reference it was handed";
}

// --- Settings files ---------------------------------------------------------------------------

class SettingsFiles : public Persist {
 protected:
  void SetUp() override {
    Persist::SetUp();
    dir_ = fs::temp_directory_path() /
           ("kestrel-settings-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    fs::remove_all(dir_);
    Persist::TearDown();
  }
  static ks_unknown* Unknown(ks_dispatch* d) { return reinterpret_cast<ks_unknown*>(d); }

  fs::path dir_;
};

TEST_F(SettingsFiles, RoundTripThroughARealFileReadableByItsOwnerOnly) {
  SetEverything(a_);
  const fs::path file = dir_ / "pager.json";
  ASSERT_EQ(KsSettingsSave(Unknown(a_), file.c_str()), KS_S_OK) << LastError();

  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600U);
  std::ifstream in(file);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_THAT(text, HasSubstr("\"ServerTimeout\": {\n      \"type\": \"Integer\""));
  EXPECT_THAT(text, HasSubstr("\"Courier New\""));

  // A fresh instance from the file: every property, the font's attributes included.
  ks_dispatch* b = NewInstance();
  ASSERT_EQ(KsSettingsLoad(Unknown(b), file.c_str()), KS_S_OK) << LastError();
  EXPECT_THAT(All(b), ElementsAreArray(kEverything));

  // Saving again replaces the file whole.
  Put(b, "Recipient", Str("5559999"));
  ASSERT_EQ(KsSettingsSave(Unknown(b), file.c_str()), KS_S_OK);
  ASSERT_EQ(KsSettingsLoad(Unknown(a_), file.c_str()), KS_S_OK);
  EXPECT_EQ(Get(a_, "Recipient"), "BSTR '5559999'");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1)
      << "no temporary file is left beside it";
}

TEST_F(SettingsFiles, MissingDamagedAndUnwritableFilesAreReported) {
  const fs::path missing = dir_ / "none.json";
  EXPECT_EQ(KsSettingsLoad(Unknown(a_), missing.c_str()), KS_STG_E_FILENOTFOUND);
  EXPECT_THAT(LastError(), HasSubstr("There is no settings file"));

  const fs::path damaged = dir_ / "damaged.json";
  std::ofstream(damaged) << "{\"format\": \"something else\"}";
  Put(a_, "Recipient", Str("kept"));
  EXPECT_EQ(KsSettingsLoad(Unknown(a_), damaged.c_str()), KS_E_FAIL);
  EXPECT_THAT(LastError(), HasSubstr("cannot be used"));
  EXPECT_EQ(Get(a_, "Recipient"), "BSTR 'kept'") << "a damaged file changes nothing";

  // The parser's own message would quote the text it stopped at: here, the password.
  std::ofstream(damaged) << R"({"format": "kestrel-snpp-settings", "version": 1, "properties":
      {"Password": {"type": "String", "value": hunter2}}})";
  EXPECT_EQ(KsSettingsLoad(Unknown(a_), damaged.c_str()), KS_E_FAIL);
  EXPECT_THAT(LastError(), AllOf(HasSubstr("line 2, column"), Not(HasSubstr("hunt"))));

  const fs::path nowhere = dir_ / "no-such-folder" / "pager.json";
  EXPECT_EQ(KsSettingsSave(Unknown(a_), nowhere.c_str()), KS_E_FAIL);
  EXPECT_THAT(LastError(), HasSubstr("Cannot write settings file"));

  // A value in the file that does not fit its property fails like the bag's own Load would.
  const fs::path overflow = dir_ / "overflow.json";
  std::ofstream(overflow) << R"({"format": "kestrel-snpp-settings", "version": 1, "properties":
      {"SnppLevel": {"type": "Long", "value": 40000}}})";
  EXPECT_EQ(KsSettingsLoad(Unknown(a_), overflow.c_str()), KS_DISP_E_OVERFLOW);
  EXPECT_THAT(LastError(), HasSubstr("Cannot load SnppLevel"));

  EXPECT_EQ(KsSettingsLoad(nullptr, missing.c_str()), KS_E_POINTER);
  EXPECT_EQ(KsSettingsSave(Unknown(a_), nullptr), KS_E_POINTER);
  ks_dispatch* font = nullptr;
  ASSERT_EQ(KsFontCreate(&font), KS_S_OK);
  EXPECT_EQ(KsSettingsSave(reinterpret_cast<ks_unknown*>(font), (dir_ / "x.json").c_str()),
            KS_E_NOINTERFACE);
  EXPECT_THAT(LastError(), HasSubstr("no persistence interface"));
  Release(font);
}

}  // namespace
