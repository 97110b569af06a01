// libkestrel_snpp.so through its C interface: class object, instance interfaces, Invoke's result
// codes and exception information, the font by reference, the connection point, the type
// library description, resources, registration and DllCanUnloadNow.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "c_api_support.hpp"
#include "kestrel/kestrel_snpp.h"

namespace {

// --- Small C++ helpers over the C interface ------------------------------------------------------

using kestrel::testing::Release;
using kestrel::testing::Site;
using kestrel::testing::Text;

struct Call {
  ks_hresult hr;
  ks_variant result;
  ks_excepinfo info;
  uint32_t arg_error;
  ~Call() {
    KsVariantClear(&result);
    KsExcepInfoClear(&info);
  }
};

// One host-side sink: records events, may assign to the argument, counts its references.
struct Sink {
  ks_dispatch base;
  int refs = 1;
  std::vector<std::pair<int32_t, std::string>> events;
  std::string reply_with;
};

Sink* SinkOf(ks_dispatch* d) {
  return reinterpret_cast<Sink*>(d);
}

const ks_dispatch_vtbl kSinkVtbl{
    [](ks_dispatch* self, const ks_guid* iid, void** out) -> ks_hresult {
      const ks_guid dispatch = KS_IID_IDispatch_INIT;
      const ks_guid unknown = KS_IID_IUnknown_INIT;
      if (std::memcmp(iid, &dispatch, sizeof dispatch) != 0 &&
          std::memcmp(iid, &unknown, sizeof unknown) != 0) {
        *out = nullptr;
        return KS_E_NOINTERFACE;
      }
      ++SinkOf(self)->refs;
      *out = self;
      return KS_S_OK;
    },
    [](ks_dispatch* self) -> uint32_t { return static_cast<uint32_t>(++SinkOf(self)->refs); },
    [](ks_dispatch* self) -> uint32_t { return static_cast<uint32_t>(--SinkOf(self)->refs); },
    [](ks_dispatch*, uint32_t* n) -> ks_hresult {
      *n = 0;
      return KS_S_OK;
    },
    [](ks_dispatch*, uint32_t, uint32_t, ks_typeinfo**) -> ks_hresult { return KS_E_NOTIMPL; },
    [](ks_dispatch*, const ks_guid*, const char**, uint32_t, uint32_t, int32_t*) -> ks_hresult {
      return KS_E_NOTIMPL;
    },
    [](ks_dispatch* self, int32_t dispid, const ks_guid*, uint32_t, uint16_t, ks_dispparams* params,
       ks_variant*, ks_excepinfo*, uint32_t*) -> ks_hresult {
      auto* sink = SinkOf(self);
      EXPECT_EQ(params->cArgs, 1U);
      EXPECT_EQ(params->rgvarg[0].vt, KS_VT_BYREF | KS_VT_BSTR);
      ks_string* arg = params->rgvarg[0].u.pbstrVal;
      sink->events.emplace_back(dispid, Text(*arg));
      if (!sink->reply_with.empty()) {
        KsStringFree(*arg);
        *arg = KsStringFromUtf8(sink->reply_with.c_str());
      }
      return KS_S_OK;
    },
};

class Runtime : public ::testing::Test {
 protected:
  void SetUp() override {
    loop_ = KsLoopCreate();
    ASSERT_NE(loop_, nullptr);
    KsLoopSetCurrent(loop_);
    const ks_guid clsid = KS_CLSID_SNPPInstance_INIT;
    ASSERT_EQ(DllGetClassObject(&clsid, &KS_IID_IClassFactory, reinterpret_cast<void**>(&factory_)),
              KS_S_OK);
    ASSERT_EQ(factory_->vtbl->CreateInstance(factory_, nullptr, &KS_IID__SNPPInstance,
                                             reinterpret_cast<void**>(&disp_)),
              KS_S_OK);
  }
  void TearDown() override {
    Release(disp_);
    Release(factory_);
    KsLoopDestroy(loop_);
    EXPECT_EQ(DllCanUnloadNow(), KS_S_OK) << "an object of the test was left behind";
  }

  int32_t Id(const char* name) {
    int32_t id = 0;
    EXPECT_EQ(disp_->vtbl->GetIDsOfNames(disp_, nullptr, &name, 1, 0, &id), KS_S_OK) << name;
    return id;
  }
  void Invoke(Call& c, int32_t dispid, uint16_t flags, std::vector<ks_variant> args = {}) {
    KsVariantInit(&c.result);
    c.info = {};
    c.arg_error = 99;
    int32_t named = KS_DISPID_PROPERTYPUT;
    const bool put = (flags & (KS_DISPATCH_PROPERTYPUT | KS_DISPATCH_PROPERTYPUTREF)) != 0;
    ks_dispparams params{args.data(), put ? &named : nullptr, static_cast<uint32_t>(args.size()),
                         put && !args.empty() ? 1U : 0U};
    c.hr = disp_->vtbl->Invoke(disp_, dispid, nullptr, 0, flags, &params, &c.result, &c.info,
                               &c.arg_error);
  }
  static ks_variant Long(int32_t v) {
    ks_variant x;
    KsVariantInit(&x);
    x.vt = KS_VT_I4;
    x.u.lVal = v;
    return x;
  }
  static ks_variant Str(ks_string s) {
    ks_variant x;
    KsVariantInit(&x);
    x.vt = KS_VT_BSTR;
    x.u.bstrVal = s;
    return x;
  }

  ks_loop* loop_ = nullptr;
  ks_class_factory* factory_ = nullptr;
  ks_dispatch* disp_ = nullptr;
};

TEST_F(Runtime, ClassObjectAndInstanceAnswerTheirInterfaces) {
  const ks_guid other = KS_IID_KsSite_INIT;
  void* out = &out;
  EXPECT_EQ(DllGetClassObject(&other, &KS_IID_IClassFactory, &out), KS_CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(DllCanUnloadNow(), KS_S_FALSE);

  for (const ks_guid* iid : {&KS_IID_IUnknown, &KS_IID_IDispatch, &KS_IID__SNPPInstance,
                             &KS_IID_IConnectionPointContainer, &KS_IID_KsControl}) {
    ks_unknown* u = nullptr;
    EXPECT_EQ(disp_->vtbl->QueryInterface(disp_, iid, reinterpret_cast<void**>(&u)), KS_S_OK);
    Release(u);
  }
  ks_unknown* none = nullptr;
  EXPECT_EQ(
      disp_->vtbl->QueryInterface(disp_, &KS_DIID___SNPPInstance, reinterpret_cast<void**>(&none)),
      KS_E_NOINTERFACE);
  EXPECT_EQ(factory_->vtbl->CreateInstance(factory_, reinterpret_cast<ks_unknown*>(disp_),
                                           &KS_IID_IUnknown, &out),
            KS_CLASS_E_NOAGGREGATION);

  // No current loop on this thread: refused with a text that says what to do.
  KsLoopSetCurrent(nullptr);
  EXPECT_EQ(factory_->vtbl->CreateInstance(factory_, nullptr, &KS_IID_IUnknown, &out),
            KS_CO_E_NOTINITIALIZED);
  ks_string why = KsGetLastErrorText();
  EXPECT_NE(Text(why).find("KsLoopSetCurrent"), std::string::npos) << Text(why);
  KsStringFree(why);
}

TEST_F(Runtime, NamesAndIdsThroughGetIDsOfNames) {
  const ks_typelib_desc* tl = KsGetTypeLibrary();
  const ks_interface_desc& itf = *tl->coclass->default_interface;
  ASSERT_EQ(itf.member_count, 30U);
  for (uint32_t i = 0; i < itf.member_count; ++i)
    EXPECT_EQ(Id(itf.members[i].name), itf.members[i].dispid);
  EXPECT_EQ(Id("SNPPLEVEL"), 0x68030007);
  const char* bad[] = {"SnppLevels", "x"};
  int32_t ids[2] = {0, 0};
  EXPECT_EQ(disp_->vtbl->GetIDsOfNames(disp_, nullptr, bad, 1, 0, ids), KS_DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], KS_DISPID_UNKNOWN);
  const char* with_param[] = {"Send", "x"};
  EXPECT_EQ(disp_->vtbl->GetIDsOfNames(disp_, nullptr, with_param, 2, 0, ids),
            KS_DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 0x6003001A);
  EXPECT_EQ(ids[1], KS_DISPID_UNKNOWN);
}

TEST_F(Runtime, InvokeMapsFailuresToResultCodesWithExceptionInfo) {
  const struct {
    const char* what;
    int32_t dispid;
    uint16_t flags;
    std::vector<ks_variant> args;
    ks_hresult hr;
    int32_t code;
  } cases[] = {
      {"dispatch id 0", 0, KS_DISPATCH_PROPERTYGET, {}, KS_DISP_E_MEMBERNOTFOUND, 438},
      {"Send read as property",
       0x6003001A,
       KS_DISPATCH_PROPERTYGET,
       {},
       KS_DISP_E_MEMBERNOTFOUND,
       438},
      {"Font by plain put",
       0x68030015,
       KS_DISPATCH_PROPERTYPUT,
       {Long(1)},
       KS_DISP_E_MEMBERNOTFOUND,
       438},
      {"put of nothing", 0x68030018, KS_DISPATCH_PROPERTYPUT, {}, KS_DISP_E_BADPARAMCOUNT, 450},
      {"Send with an argument",
       0x6003001A,
       KS_DISPATCH_METHOD,
       {Long(1)},
       KS_DISP_E_BADPARAMCOUNT,
       450},
      {"40000 for State",
       0x6803000E,
       KS_DISPATCH_PROPERTYPUT,
       {Long(40000)},
       KS_DISP_E_OVERFLOW,
       6},
      {"no flags", 0x6803000E, 0, {}, KS_E_INVALIDARG, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Call call;
    Invoke(call, c.dispid, c.flags, c.args);
    EXPECT_EQ(call.hr, c.hr);
    EXPECT_EQ(call.info.code, c.code);
    EXPECT_GT(KsStringLen(call.info.description), 30U);
  }
  // A text that is not a number for ServerPort: type mismatch, argument 0.
  ks_string abc = KsStringFromUtf8("abc");
  Call call;
  Invoke(call, Id("ServerPort"), KS_DISPATCH_PROPERTYPUT, {Str(abc)});
  KsStringFree(abc);
  EXPECT_EQ(call.hr, KS_DISP_E_TYPEMISMATCH);
  EXPECT_EQ(call.info.code, 13);
  EXPECT_EQ(call.arg_error, 0U);
  EXPECT_NE(Text(call.info.description).find("\"abc\""), std::string::npos);
}

TEST_F(Runtime, PropertiesRoundTripWithChangeNoticesAtTheSite) {
  Site site;
  ks_control* control = nullptr;
  ASSERT_EQ(
      disp_->vtbl->QueryInterface(disp_, &KS_IID_KsControl, reinterpret_cast<void**>(&control)),
      KS_S_OK);
  control->vtbl->SetSite(control, &site.base);
  EXPECT_EQ(site.refs, 2);

  Call put, get;
  Invoke(put, Id("BackColor"), KS_DISPATCH_PROPERTYPUT, {Long(255)});
  EXPECT_EQ(put.hr, KS_S_OK);
  Invoke(get, Id("BackColor"), KS_DISPATCH_PROPERTYGET | KS_DISPATCH_METHOD);
  EXPECT_EQ(get.result.vt, KS_VT_I4);
  EXPECT_EQ(get.result.u.lVal, 255);
  EXPECT_EQ(site.notices,
            (std::vector<std::pair<int32_t, std::string>>{{0x68030018, "BackColor"}}));

  Call desc;
  Invoke(desc, Id("getLastErrorDescription"), KS_DISPATCH_METHOD);
  EXPECT_EQ(desc.result.vt, KS_VT_BSTR) << "a String, never Empty";
  EXPECT_EQ(KsStringLen(desc.result.u.bstrVal), 0U);

  site.refuse = true;
  Call refused;
  Invoke(refused, Id("Recipient"), KS_DISPATCH_PROPERTYPUT, {Long(5)});
  EXPECT_EQ(refused.hr, KS_DISP_E_EXCEPTION);
  EXPECT_EQ(refused.info.code, 30001);
  Call recipient;
  Invoke(recipient, Id("Recipient"), KS_DISPATCH_PROPERTYGET);
  EXPECT_EQ(Text(recipient.result.u.bstrVal), "5") << "stored before the notice failed";

  control->vtbl->SetSite(control, nullptr);
  EXPECT_EQ(site.refs, 1);
  Release(control);
}

TEST_F(Runtime, FontPutByReferenceKeepsTheVeryObject) {
  ks_dispatch* font = nullptr;
  ASSERT_EQ(KsFontCreate(&font), KS_S_OK);
  ks_variant arg;
  KsVariantInit(&arg);
  arg.vt = KS_VT_DISPATCH;
  arg.u.pdispVal = font;
  Call put;
  Invoke(put, Id("Font"), KS_DISPATCH_PROPERTYPUTREF, {arg});
  ASSERT_EQ(put.hr, KS_S_OK);

  // Change the size through the host's own reference.
  ks_variant size;
  KsVariantInit(&size);
  size.vt = KS_VT_R4;
  size.u.fltVal = 14.0F;
  int32_t named = KS_DISPID_PROPERTYPUT;
  ks_dispparams params{&size, &named, 1, 1};
  ASSERT_EQ(font->vtbl->Invoke(font, 2, nullptr, 0, KS_DISPATCH_PROPERTYPUT, &params, nullptr,
                               nullptr, nullptr),
            KS_S_OK);

  Call get;
  Invoke(get, Id("Font"), KS_DISPATCH_PROPERTYGET);
  ASSERT_EQ(get.result.vt, KS_VT_DISPATCH);
  EXPECT_EQ(get.result.u.pdispVal, font) << "the same object comes back";
  ks_variant shown;
  ks_dispparams none{nullptr, nullptr, 0, 0};
  ASSERT_EQ(
      get.result.u.pdispVal->vtbl->Invoke(get.result.u.pdispVal, 2, nullptr, 0,
                                          KS_DISPATCH_PROPERTYGET, &none, &shown, nullptr, nullptr),
      KS_S_OK);
  EXPECT_EQ(shown.vt, KS_VT_R4);
  EXPECT_EQ(shown.u.fltVal, 14.0F);
  Release(font);

  // A foreign object is not a font of ours.
  Sink foreign{{&kSinkVtbl}, 1, {}, {}};
  arg.u.pdispVal = &foreign.base;
  Call bad;
  Invoke(bad, Id("Font"), KS_DISPATCH_PROPERTYPUTREF, {arg});
  EXPECT_EQ(bad.hr, KS_DISP_E_TYPEMISMATCH);
}

TEST_F(Runtime, ConnectionPointAdvisesAndUnadvisesSinks) {
  ks_connection_point_container* cpc = nullptr;
  ks_connection_point* cp = nullptr;
  ASSERT_EQ(disp_->vtbl->QueryInterface(disp_, &KS_IID_IConnectionPointContainer,
                                        reinterpret_cast<void**>(&cpc)),
            KS_S_OK);
  EXPECT_EQ(cpc->vtbl->FindConnectionPoint(cpc, &KS_IID_IDispatch, &cp), KS_CONNECT_E_NOCONNECTION);
  ASSERT_EQ(cpc->vtbl->FindConnectionPoint(cpc, &KS_DIID___SNPPInstance, &cp), KS_S_OK);
  ks_guid iid{};
  EXPECT_EQ(cp->vtbl->GetConnectionInterface(cp, &iid), KS_S_OK);
  EXPECT_EQ(std::memcmp(&iid, &KS_DIID___SNPPInstance, sizeof iid), 0);

  Sink a{{&kSinkVtbl}, 1, {}, {}}, b{{&kSinkVtbl}, 1, {}, {}};
  uint32_t ca = 0, cb = 0;
  EXPECT_EQ(cp->vtbl->Advise(cp, reinterpret_cast<ks_unknown*>(&a.base), &ca), KS_S_OK);
  EXPECT_EQ(cp->vtbl->Advise(cp, reinterpret_cast<ks_unknown*>(&b.base), &cb), KS_S_OK);
  EXPECT_NE(ca, 0U);
  EXPECT_NE(ca, cb);
  EXPECT_EQ(a.refs, 2) << "the connection holds the sink";
  EXPECT_EQ(cp->vtbl->Unadvise(cp, ca), KS_S_OK);
  EXPECT_EQ(a.refs, 1);
  EXPECT_EQ(cp->vtbl->Unadvise(cp, ca), KS_CONNECT_E_NOCONNECTION);
  Release(cp);
  Release(cpc);
  Release(disp_);  // the instance goes and lets go of the sink still connected
  EXPECT_EQ(b.refs, 1);
}

TEST(RuntimeData, TypeLibraryDescriptionAndResources) {
  const ks_typelib_desc* tl = KsGetTypeLibrary();
  ASSERT_NE(tl, nullptr);
  EXPECT_STREQ(tl->name, "KestrelSNPPControl");
  EXPECT_EQ(tl->major_version, 18);
  EXPECT_EQ(tl->lcid, 0x0409U);
  EXPECT_EQ(tl->published_lcid, 0U);
  EXPECT_STREQ(tl->coclass->prog_id, "KestrelSNPPControl.SNPPInstance");
  EXPECT_EQ(tl->coclass->misc_status, 0x20191U);
  EXPECT_EQ(tl->coclass->type_flags & KS_TYPEFLAG_FCONTROL, uint32_t{KS_TYPEFLAG_FCONTROL});
  const ks_interface_desc& events = *tl->coclass->default_source;
  ASSERT_EQ(events.member_count, 10U);
  EXPECT_STREQ(events.members[0].name, "OnError");
  EXPECT_EQ(events.members[0].params[0].vt, KS_VT_BYREF | KS_VT_BSTR);
  EXPECT_STREQ(events.members[7].params[2].name, "X");
  EXPECT_EQ(events.members[7].params[2].vt, KS_VT_BYREF | KS_VT_R4);

  const uint8_t* data = nullptr;
  uint32_t size = 0;
  ASSERT_EQ(KsFindResource("_SRCIID_SNPPINSTANCE", 0, &data, &size), KS_S_OK);
  EXPECT_EQ(size, 20U);
  EXPECT_EQ(std::memcmp(data + 4, &KS_DIID___SNPPInstance, 16), 0) << "little-endian host";
  ASSERT_EQ(KsFindResource(nullptr, 30000, &data, &size), KS_S_OK);
  EXPECT_EQ(size, 224U);
  EXPECT_EQ(KsFindResource("#30000", 0, &data, &size), KS_S_OK);
  EXPECT_EQ(KsFindResource("nope", 0, &data, &size), KS_RESOURCE_E_NOTFOUND);
  EXPECT_EQ(data, nullptr);
}

TEST(RuntimeRegistry, RegisterAddsExactlyOurEntriesAndUnregisterRemovesThem) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("kestrel-registry-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto path = dir / "registry.json";
  {
    std::ofstream out(path);
    out << R"({"CLSID": {"{00000000-1111-2222-3333-444444444444}": {"name": "Other"}},
              "Unrelated": [1, 2, 3]})";
  }
  ::setenv("KESTREL_REGISTRY", path.c_str(), 1);
  ks_string where = KsRegistryPath();
  EXPECT_EQ(Text(where), path.string());
  KsStringFree(where);

  ASSERT_EQ(DllRegisterServer(), KS_S_OK);
  auto doc = nlohmann::json::parse(std::ifstream(path));
  const auto& cls = doc["CLSID"]["{58B9D9BB-7435-4845-85DD-D7CE60F6D302}"];
  EXPECT_EQ(cls["ProgID"], "KestrelSNPPControl.SNPPInstance");
  EXPECT_EQ(cls["ThreadingModel"], "Apartment");
  EXPECT_NE(cls["InprocServer"].get<std::string>().find("libkestrel_snpp.so"), std::string::npos);
  EXPECT_EQ(doc["ProgID"]["KestrelSNPPControl.SNPPInstance"]["CLSID"],
            "{58B9D9BB-7435-4845-85DD-D7CE60F6D302}");
  EXPECT_EQ(doc["TypeLib"]["{D62449E3-0657-4AB9-A164-F58AC9A1EE41}"]["18.0"]["lcid"], 0);
  EXPECT_EQ(doc["Interface"]["{0B32C939-694B-4FE7-8500-6D66D152BEC1}"]["name"], "_SNPPInstance");
  EXPECT_EQ(doc["Interface"]["{EA30B1D9-FE7F-4306-AAD7-615C5B34E312}"]["name"], "__SNPPInstance");
  EXPECT_EQ(doc["CLSID"].size(), 2U) << "the other class stays";
  EXPECT_EQ(DllRegisterServer(), KS_S_OK) << "registering twice is fine";

  ASSERT_EQ(DllUnregisterServer(), KS_S_OK);
  doc = nlohmann::json::parse(std::ifstream(path));
  EXPECT_EQ(doc["CLSID"].size(), 1U);
  EXPECT_TRUE(doc["CLSID"].contains("{00000000-1111-2222-3333-444444444444}"));
  EXPECT_TRUE(doc["ProgID"].empty());
  EXPECT_TRUE(doc["TypeLib"].empty());
  EXPECT_TRUE(doc["Interface"].empty());
  EXPECT_EQ(doc["Unrelated"], nlohmann::json::parse("[1,2,3]"));

  // A damaged file is left alone, and the host is told what to do.
  { std::ofstream(path) << "{not json"; }
  EXPECT_EQ(DllRegisterServer(), KS_SELFREG_E_CLASS);
  ks_string why = KsGetLastErrorText();
  EXPECT_NE(Text(why).find("Repair or remove"), std::string::npos) << Text(why);
  KsStringFree(why);
  ::unsetenv("KESTREL_REGISTRY");
  std::filesystem::remove_all(dir);
}

TEST(RuntimeStrings, LengthPrefixedAndNulTerminated) {
  ks_string s = KsStringAlloc("a\0b", 3);
  EXPECT_EQ(KsStringLen(s), 3U);
  EXPECT_EQ(s[3], '\0');
  EXPECT_EQ(std::string(s, 3), std::string("a\0b", 3));
  KsStringFree(s);
  EXPECT_EQ(KsStringLen(nullptr), 0U);
  KsStringFree(nullptr);
}

}  // namespace
