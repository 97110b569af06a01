// The library's entry points: the four of an in-process server, the class object, and the event
// loop the host owns. Each only passes on to the runtime.

#include "kestrel/control/messages.hpp"
#include "kestrel/platform/error.hpp"
#include "runtime.hpp"

namespace kestrel::control::runtime {
namespace {

thread_local ks_loop* t_current_loop = nullptr;

// The class object of SNPPInstance: one for the library's life; it counts as an object while
// someone holds it.
struct ClassFactory {
  const ks_class_factory_vtbl* vtbl;
  std::atomic<std::uint32_t> refs{0};
};

ClassFactory& Factory(ks_class_factory* self) {
  return *reinterpret_cast<ClassFactory*>(self);
}

ks_hresult CreateInstance(ks_class_factory*, ks_unknown* outer, const ks_guid* iid, void** out) {
  if (out == nullptr) return KS_E_POINTER;
  *out = nullptr;
  if (iid == nullptr) return KS_E_POINTER;
  ClearLastErrorText();
  if (outer != nullptr) {
    SetLastErrorText(messages::kNoAggregation);
    return KS_CLASS_E_NOAGGREGATION;
  }
  ks_loop* loop = CurrentLoop();
  if (loop == nullptr) {
    SetLastErrorText(messages::kNoCurrentLoop);
    return KS_CO_E_NOTINITIALIZED;
  }
  try {
    const ks_hresult hr = CreateControl(loop->loop, iid, out);
    if (hr == KS_E_NOINTERFACE) {
      SetLastErrorText(messages::kNoSuchInterface);
    }
    return hr;
  } catch (...) {
    return ResultOf(std::current_exception(), KS_E_FAIL);
  }
}

const ks_class_factory_vtbl kFactoryVtbl{
    [](ks_class_factory* self, const ks_guid* iid, void** out) -> ks_hresult {
      if (out == nullptr) return KS_E_POINTER;
      *out = nullptr;
      if (iid == nullptr) return KS_E_POINTER;
      if (!Same(*iid, KS_IID_IUnknown) && !Same(*iid, KS_IID_IClassFactory)) {
        return KS_E_NOINTERFACE;
      }
      StaticAddRef(Factory(self).refs);
      *out = self;
      return KS_S_OK;
    },
    [](ks_class_factory* self) -> uint32_t { return StaticAddRef(Factory(self).refs); },
    [](ks_class_factory* self) -> uint32_t { return StaticRelease(Factory(self).refs); },
    CreateInstance,
    [](ks_class_factory*, int32_t lock) -> ks_hresult {
      LockServer(lock != 0);
      return KS_S_OK;
    },
};

ClassFactory g_factory{&kFactoryVtbl, {}};

}  // namespace

ks_loop* CurrentLoop() noexcept {
  return t_current_loop;
}

}  // namespace kestrel::control::runtime

using namespace kestrel;
using namespace kestrel::control;
using namespace kestrel::control::runtime;

// --- The four entry points
// ---------------------------------------------------------------------------

extern "C" KS_API ks_hresult DllGetClassObject(const ks_guid* clsid, const ks_guid* iid,
                                               void** out) {
  if (out == nullptr) return KS_E_POINTER;
  *out = nullptr;
  if (clsid == nullptr || iid == nullptr) return KS_E_POINTER;
  ClearLastErrorText();
  if (!Same(*clsid, KS_CLSID_SNPPInstance)) {
    SetLastErrorText(messages::NoSuchClass(FromKs(*clsid).ToString(), kClassId.ToString()));
    return KS_CLASS_E_CLASSNOTAVAILABLE;
  }
  auto* factory = reinterpret_cast<ks_class_factory*>(&g_factory);
  return factory->vtbl->QueryInterface(factory, iid, out);
}

extern "C" KS_API ks_hresult DllCanUnloadNow(void) {
  return CanUnload() ? KS_S_OK : KS_S_FALSE;
}

extern "C" KS_API ks_hresult DllRegisterServer(void) {
  ClearLastErrorText();
  try {
    Register();
    return KS_S_OK;
  } catch (...) {
    return ResultOf(std::current_exception(), KS_SELFREG_E_CLASS);
  }
}

extern "C" KS_API ks_hresult DllUnregisterServer(void) {
  ClearLastErrorText();
  try {
    Unregister();
    return KS_S_OK;
  } catch (...) {
    return ResultOf(std::current_exception(), KS_SELFREG_E_CLASS);
  }
}

extern "C" KS_API ks_string KsRegistryPath(void) {
  try {
    const auto path = RegistryPath();
    return KsStringAlloc(path.data(), static_cast<uint32_t>(path.size()));
  } catch (...) {
    ResultOf(std::current_exception(), KS_E_FAIL);
    return nullptr;
  }
}

// --- Event loop
// --------------------------------------------------------------------------------------

extern "C" KS_API ks_loop* KsLoopCreate(void) {
  try {
    auto* loop = new ks_loop{std::make_shared<platform::EventLoop>()};
    ObjectCreated();
    return loop;
  } catch (...) {
    ResultOf(std::current_exception(), KS_E_OUTOFMEMORY);
    return nullptr;
  }
}

extern "C" KS_API void KsLoopDestroy(ks_loop* loop) {
  if (loop == nullptr) return;
  if (t_current_loop == loop) t_current_loop = nullptr;
  delete loop;  // instances still bound keep the loop itself alive
  ObjectDestroyed();
}

extern "C" KS_API ks_hresult KsLoopSetCurrent(ks_loop* loop) {
  t_current_loop = loop;
  return KS_S_OK;
}

extern "C" KS_API ks_loop* KsLoopGetCurrent(void) {
  return t_current_loop;
}

extern "C" KS_API size_t KsLoopRun(ks_loop* loop) {
  if (loop == nullptr) return 0;
  try {
    loop->loop->Restart();  // a Stop() before this run must not end it at once
    return loop->loop->Run();
  } catch (...) {
    ResultOf(std::current_exception(), KS_E_FAIL);
    return 0;
  }
}

extern "C" KS_API size_t KsLoopPoll(ks_loop* loop) {
  if (loop == nullptr) return 0;
  try {
    return loop->loop->Poll();
  } catch (...) {
    ResultOf(std::current_exception(), KS_E_FAIL);
    return 0;
  }
}

extern "C" KS_API size_t KsLoopRunFor(ks_loop* loop, uint32_t milliseconds) {
  if (loop == nullptr) return 0;
  try {
    loop->loop->Restart();
    return loop->loop->RunFor(std::chrono::milliseconds(milliseconds));
  } catch (...) {
    ResultOf(std::current_exception(), KS_E_FAIL);
    return 0;
  }
}

extern "C" KS_API void KsLoopStop(ks_loop* loop) {
  if (loop != nullptr) loop->loop->Stop();
}
