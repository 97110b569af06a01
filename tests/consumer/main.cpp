// Uses the installed package: the C interface of kestrel::snpp, and the C++ libraries.
#include <kestrel/kestrel_snpp.h>

#include <chrono>
#include <cstdio>

#include "kestrel/platform/event_loop.hpp"
#include "kestrel/session/session_state.hpp"

namespace {

int failures = 0;
void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "consumer: FAILED %s\n", what);
    ++failures;
  }
}

}  // namespace

int main() {
  // kestrel::platform and kestrel::session, linked statically.
  kestrel::platform::EventLoop loop;
  bool ran = false;
  loop.Post([&] { ran = true; });
  loop.RunFor(std::chrono::seconds(5));
  Check(ran, "the event loop runs a posted function");
  Check(kestrel::session::ToString(13) == "WaitSend", "state 13 is WaitSend");

  // kestrel::snpp: an instance through the class object, and its SnppLevel read by name.
  ks_loop* ks = KsLoopCreate();
  KsLoopSetCurrent(ks);
  ks_class_factory* factory = nullptr;
  ks_dispatch* control = nullptr;
  Check(DllGetClassObject(&KS_CLSID_SNPPInstance, &KS_IID_IClassFactory,
                          reinterpret_cast<void**>(&factory)) == KS_S_OK,
        "DllGetClassObject");
  if (factory == nullptr) return 1;
  Check(factory->vtbl->CreateInstance(factory, nullptr, &KS_IID__SNPPInstance,
                                      reinterpret_cast<void**>(&control)) == KS_S_OK,
        "CreateInstance");
  if (control == nullptr) return 1;
  const char* name = "SnppLevel";
  int32_t id = 0;
  Check(control->vtbl->GetIDsOfNames(control, nullptr, &name, 1, 0, &id) == KS_S_OK,
        "GetIDsOfNames(SnppLevel)");
  ks_dispparams none{};
  ks_variant level;
  KsVariantInit(&level);
  Check(control->vtbl->Invoke(control, id, nullptr, 0, KS_DISPATCH_PROPERTYGET, &none, &level,
                              nullptr, nullptr) == KS_S_OK,
        "get SnppLevel");
  Check(level.vt == KS_VT_I2 && level.u.iVal == 3, "SnppLevel starts at 3");
  control->vtbl->Release(control);
  factory->vtbl->Release(factory);
  KsLoopSetCurrent(nullptr);
  KsLoopDestroy(ks);
  Check(DllCanUnloadNow() == KS_S_OK, "nothing is left alive");

  if (failures == 0) std::printf("consumer: event loop, session and C interface work\n");
  return failures == 0 ? 0 : 1;
}
