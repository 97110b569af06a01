// The event connection point: sinks connect to it, and the control's events reach them through
// a SinkAdapter.

#include <utility>

#include "control_object.hpp"
#include "kestrel/control/messages.hpp"

namespace kestrel::control::runtime {
namespace {

// ours, and what the sink leaves there is copied back into the control.
class SinkAdapter final : public EventSink {
 public:
  SinkAdapter(ks_dispatch* sink, std::shared_ptr<const bool> control_alive)
      : sink_(sink), control_alive_(std::move(control_alive)) {}
  ~SinkAdapter() override { sink_->vtbl->Release(sink_); }
  SinkAdapter(const SinkAdapter&) = delete;
  SinkAdapter& operator=(const SinkAdapter&) = delete;

  void OnEvent(platform::EventId id, String& argument) override {
    ks_string text = NewString(argument);
    ks_variant arg;
    KsVariantInit(&arg);
    arg.vt = KS_VT_BYREF | KS_VT_BSTR;
    arg.u.pbstrVal = &text;
    ks_dispparams params{&arg, nullptr, 1, 0};
    // The sink may disconnect itself from inside; keep it until its Invoke has returned.
    sink_->vtbl->AddRef(sink_);
    sink_->vtbl->Invoke(sink_, static_cast<int32_t>(id), &KS_IID_NULL, 0, KS_DISPATCH_METHOD,
                        &params, nullptr, nullptr, nullptr);
    try {
      // The control (and so `argument`) is gone if the handler released the last reference.
      if (*control_alive_) argument.assign(View(text));
    } catch (...) {
      KsStringFree(text);
      sink_->vtbl->Release(sink_);
      throw;
    }
    KsStringFree(text);
    sink_->vtbl->Release(sink_);
  }

 private:
  ks_dispatch* sink_;
  std::shared_ptr<const bool> control_alive_;
};

// The connection point is an object of its own to its users: it answers only for itself.
ks_hresult PointQueryInterface(ks_connection_point* self, const ks_guid* iid, void** out) {
  if (out == nullptr) return KS_E_POINTER;
  *out = nullptr;
  if (iid == nullptr) return KS_E_POINTER;
  if (!Same(*iid, KS_IID_IUnknown) && !Same(*iid, KS_IID_IConnectionPoint)) {
    return KS_E_NOINTERFACE;
  }
  Owner(self).AddRef();
  *out = self;
  return KS_S_OK;
}

}  // namespace

const ks_connection_point_container_vtbl kContainerVtbl{
    QueryInterfaceOf<ks_connection_point_container>,
    AddRefOf<ks_connection_point_container>,
    ReleaseOf<ks_connection_point_container>,
    [](ks_connection_point_container*, void** out) -> ks_hresult {
      if (out != nullptr) *out = nullptr;
      return KS_E_NOTIMPL;
    },
    [](ks_connection_point_container* self, const ks_guid* iid, ks_connection_point** out) {
      return Owner(self).FindConnectionPoint(iid, out);
    },
};

const ks_connection_point_vtbl kPointVtbl{
    PointQueryInterface,
    AddRefOf<ks_connection_point>,
    ReleaseOf<ks_connection_point>,
    [](ks_connection_point*, ks_guid* iid) -> ks_hresult {
      if (iid == nullptr) return KS_E_POINTER;
      *iid = KS_DIID___SNPPInstance;
      return KS_S_OK;
    },
    [](ks_connection_point* self, ks_connection_point_container** out) {
      return Owner(self).GetConnectionPointContainer(out);
    },
    [](ks_connection_point* self, ks_unknown* sink, uint32_t* cookie) {
      return Owner(self).Advise(sink, cookie);
    },
    [](ks_connection_point* self, uint32_t cookie) { return Owner(self).Unadvise(cookie); },
    [](ks_connection_point*, void** out) -> ks_hresult {
      if (out != nullptr) *out = nullptr;
      return KS_E_NOTIMPL;
    },
};

ks_hresult ControlObject::FindConnectionPoint(const ks_guid* iid, ks_connection_point** out) {
  if (out == nullptr || iid == nullptr) return KS_E_POINTER;
  *out = nullptr;
  if (!Same(*iid, KS_DIID___SNPPInstance)) return KS_CONNECT_E_NOCONNECTION;
  AddRef();
  *out = reinterpret_cast<ks_connection_point*>(&point_);
  return KS_S_OK;
}

ks_hresult ControlObject::GetConnectionPointContainer(ks_connection_point_container** out) {
  if (out == nullptr) return KS_E_POINTER;
  AddRef();
  *out = reinterpret_cast<ks_connection_point_container*>(&container_);
  return KS_S_OK;
}

ks_hresult ControlObject::Advise(ks_unknown* sink, uint32_t* cookie) {
  if (cookie == nullptr) return KS_E_POINTER;
  *cookie = 0;
  if (sink == nullptr) return KS_E_POINTER;
  void* found = nullptr;
  if (KS_FAILED(sink->vtbl->QueryInterface(sink, &KS_DIID___SNPPInstance, &found)) &&
      KS_FAILED(sink->vtbl->QueryInterface(sink, &KS_IID_IDispatch, &found))) {
    SetLastErrorText(messages::kSinkWithoutDispatch);
    return KS_CONNECT_E_CANNOTCONNECT;
  }
  auto* dispatch = static_cast<ks_dispatch*>(found);
  try {
    *cookie = control_->Advise(std::make_shared<SinkAdapter>(dispatch, control_->alive_token()));
  } catch (...) {
    dispatch->vtbl->Release(dispatch);
    return ResultOf(std::current_exception(), KS_E_OUTOFMEMORY);
  }
  return KS_S_OK;
}

ks_hresult ControlObject::Unadvise(uint32_t cookie) {
  return control_->Unadvise(cookie) ? KS_S_OK : KS_CONNECT_E_NOCONNECTION;
}
}  // namespace kestrel::control::runtime
