// The instance object: one SNPPControl behind the C interfaces.
//
//   _SNPPInstance / IDispatch / IUnknown ── GetIDsOfNames, Invoke ──▶ dispatch table ──▶ control
//   IConnectionPointContainer ── FindConnectionPoint ──▶ the event connection point
//   event connection point ── Advise(sink) ──▶ SinkAdapter ──▶ control's event sinks
//   KsControl ── SetSite(site) ──▶ change notices and ambient font go to the site
//   IPersistPropertyBag ── InitNew, Load(bag), Save(bag) ──▶ InitProperties, ReadProperties,
//                          WriteProperties through a HostBag over the host's bag
//
// The faces share one reference count; the connection point is part of the object, too.
// Interfaces are found through a table (kInterfaces): another interface of the instance is one
// more face and one more row.
//
// Threading: the thread that created the object, whose loop runs its socket and timer.

#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "kestrel/control/dispatch.hpp"
#include "kestrel/control/messages.hpp"
#include "kestrel/control/persistence.hpp"
#include "kestrel/control/snpp_control.hpp"
#include "kestrel/platform/error.hpp"
#include "runtime.hpp"

namespace kestrel::control::runtime {
namespace {

class ControlObject;

template <typename Vtbl>
struct Face {
  const Vtbl* vtbl;
  ControlObject* owner;
};

template <typename Interface>
ControlObject& Owner(Interface* self) {
  return *reinterpret_cast<Face<std::remove_cvref_t<decltype(*self->vtbl)>>*>(self)->owner;
}

// Hands the control's events to a host's sink: the argument goes by reference as a string of
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

class ControlObject final : private ControlSite, private FontObjects {
 public:
  explicit ControlObject(std::shared_ptr<platform::EventLoop> loop);
  ~ControlObject() override;
  ControlObject(const ControlObject&) = delete;
  ControlObject& operator=(const ControlObject&) = delete;

  ks_hresult QueryInterface(const ks_guid* iid, void** out);
  std::uint32_t AddRef() noexcept { return refs_.fetch_add(1) + 1; }
  std::uint32_t Release() noexcept {
    const auto left = refs_.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
  }

  // _SNPPInstance
  ks_hresult GetTypeInfo(uint32_t index, ks_typeinfo** out);
  ks_hresult GetIDsOfNames(const ks_guid* iid, const char** names, uint32_t count,
                           int32_t* dispids);
  ks_hresult Invoke(int32_t dispid, const ks_guid* iid, uint16_t flags, ks_dispparams* params,
                    ks_variant* result, ks_excepinfo* info, uint32_t* arg_error);
  // The event connection point
  ks_hresult FindConnectionPoint(const ks_guid* iid, ks_connection_point** out);
  ks_hresult GetConnectionPointContainer(ks_connection_point_container** out);
  ks_hresult Advise(ks_unknown* sink, uint32_t* cookie);
  ks_hresult Unadvise(uint32_t cookie);
  // KsControl
  ks_hresult SetSite(ks_site* site);
  ks_hresult GetSite(ks_site** out);
  // IPersistPropertyBag
  ks_hresult InitNew();
  ks_hresult Load(ks_property_bag* bag, ks_error_log* log);
  ks_hresult Save(ks_property_bag* bag);

 private:
  struct InterfaceEntry {
    const ks_guid* iid;
    void* (*face)(ControlObject&);
  };
  static const InterfaceEntry kInterfaces[];

  // ControlSite, for the control (the site's change notices, font and DoEvents)
  void PropertyChanged(std::string_view name) override;
  FontRef AmbientFont() override;
  void DoEvents() override;

  // A font object for the font; the same object again for the font last seen, so that a host
  // gets back the very object it assigned.
  ks_dispatch* FontObjectFor(const FontRef& font);
  // FontObjects, for the property bags
  ks_dispatch* FontObject(const FontRef& font) override;
  void RememberFontObject(const FontRef& font, ks_dispatch* object) noexcept override;
  // Turns a failure of InitNew, Load or Save into its result, the last-error text and (for Load)
  // an entry in the host's error log. `verb` is "initialise", "load" or "save"; `property` the
  // property it stopped at (may be empty).
  ks_hresult PersistFailure(const std::exception_ptr& e, std::string_view verb,
                            std::string_view property, ks_error_log* log) noexcept;
  ks_hresult InvokeCall(int32_t dispid, InvokeKind kind, ks_dispparams* params, ks_variant* result,
                        ks_excepinfo* info, uint32_t* arg_error);

  Face<ks_dispatch_vtbl> dispatch_;
  Face<ks_connection_point_container_vtbl> container_;
  Face<ks_connection_point_vtbl> point_;
  Face<ks_control_vtbl> control_face_;
  Face<ks_persist_property_bag_vtbl> persist_;
  std::atomic<std::uint32_t> refs_{1};
  std::shared_ptr<platform::EventLoop> loop_;
  ks_site* site_ = nullptr;
  FontRef font_seen_;
  ks_dispatch* font_object_seen_ = nullptr;
  // Set when the site's ambient font failed: the failure belongs to the Font property.
  bool ambient_font_failed_ = false;
  std::unique_ptr<SNPPControl> control_;  // last: it talks to the members above while it goes
};

// --- vtables
// ---------------------------------------------------------------------------------------

template <typename I>
ks_hresult QI(I* self, const ks_guid* iid, void** out) {
  return Owner(self).QueryInterface(iid, out);
}
template <typename I>
uint32_t Add(I* self) {
  return Owner(self).AddRef();
}
template <typename I>
uint32_t Rel(I* self) {
  return Owner(self).Release();
}

const ks_dispatch_vtbl kDispatchVtbl{
    QI<ks_dispatch>,
    Add<ks_dispatch>,
    Rel<ks_dispatch>,
    [](ks_dispatch*, uint32_t* count) -> ks_hresult {
      if (count == nullptr) return KS_E_POINTER;
      *count = 1;
      return KS_S_OK;
    },
    [](ks_dispatch* self, uint32_t index, uint32_t, ks_typeinfo** out) {
      return Owner(self).GetTypeInfo(index, out);
    },
    [](ks_dispatch* self, const ks_guid* iid, const char** names, uint32_t count, uint32_t,
       int32_t* dispids) { return Owner(self).GetIDsOfNames(iid, names, count, dispids); },
    [](ks_dispatch* self, int32_t dispid, const ks_guid* iid, uint32_t, uint16_t flags,
       ks_dispparams* params, ks_variant* result, ks_excepinfo* info, uint32_t* arg_error) {
      return Owner(self).Invoke(dispid, iid, flags, params, result, info, arg_error);
    },
};

const ks_connection_point_container_vtbl kContainerVtbl{
    QI<ks_connection_point_container>,
    Add<ks_connection_point_container>,
    Rel<ks_connection_point_container>,
    [](ks_connection_point_container*, void** out) -> ks_hresult {
      if (out != nullptr) *out = nullptr;
      return KS_E_NOTIMPL;
    },
    [](ks_connection_point_container* self, const ks_guid* iid, ks_connection_point** out) {
      return Owner(self).FindConnectionPoint(iid, out);
    },
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

const ks_connection_point_vtbl kPointVtbl{
    PointQueryInterface,
    Add<ks_connection_point>,
    Rel<ks_connection_point>,
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

const ks_control_vtbl kControlVtbl{
    QI<ks_control>,
    Add<ks_control>,
    Rel<ks_control>,
    [](ks_control* self, ks_site* site) { return Owner(self).SetSite(site); },
    [](ks_control* self, ks_site** out) { return Owner(self).GetSite(out); },
};

const ks_persist_property_bag_vtbl kPersistVtbl{
    QI<ks_persist_property_bag>,
    Add<ks_persist_property_bag>,
    Rel<ks_persist_property_bag>,
    [](ks_persist_property_bag*, ks_guid* clsid) -> ks_hresult {
      if (clsid == nullptr) return KS_E_POINTER;
      *clsid = KS_CLSID_SNPPInstance;
      return KS_S_OK;
    },
    [](ks_persist_property_bag* self) { return Owner(self).InitNew(); },
    [](ks_persist_property_bag* self, ks_property_bag* bag, ks_error_log* log) {
      return Owner(self).Load(bag, log);
    },
    // Nothing is tracked as changed since the last save, so neither flag changes anything.
    [](ks_persist_property_bag* self, ks_property_bag* bag, int32_t, int32_t) {
      return Owner(self).Save(bag);
    },
};

// --- The object
// ------------------------------------------------------------------------------------

const ControlObject::InterfaceEntry ControlObject::kInterfaces[] = {
    {&KS_IID_IUnknown, [](ControlObject& o) -> void* { return &o.dispatch_; }},
    {&KS_IID_IDispatch, [](ControlObject& o) -> void* { return &o.dispatch_; }},
    {&KS_IID__SNPPInstance, [](ControlObject& o) -> void* { return &o.dispatch_; }},
    {&KS_IID_IConnectionPointContainer, [](ControlObject& o) -> void* { return &o.container_; }},
    {&KS_IID_KsControl, [](ControlObject& o) -> void* { return &o.control_face_; }},
    {&KS_IID_IPersist, [](ControlObject& o) -> void* { return &o.persist_; }},
    {&KS_IID_IPersistPropertyBag, [](ControlObject& o) -> void* { return &o.persist_; }},
};

ControlObject::ControlObject(std::shared_ptr<platform::EventLoop> loop)
    : dispatch_{&kDispatchVtbl, this},
      container_{&kContainerVtbl, this},
      point_{&kPointVtbl, this},
      control_face_{&kControlVtbl, this},
      persist_{&kPersistVtbl, this},
      loop_(std::move(loop)) {
  control_ = std::make_unique<SNPPControl>(static_cast<ControlSite&>(*this),
                                           platform::MakeAsioSocket(*loop_),
                                           platform::MakeAsioTimer(*loop_));
  ObjectCreated();
}

ControlObject::~ControlObject() {
  control_.reset();  // closes the socket, stops the timer, lets go of the sinks
  if (font_object_seen_ != nullptr) font_object_seen_->vtbl->Release(font_object_seen_);
  if (site_ != nullptr) site_->vtbl->Release(site_);
  ObjectDestroyed();
}

ks_hresult ControlObject::QueryInterface(const ks_guid* iid, void** out) {
  if (out == nullptr) return KS_E_POINTER;
  *out = nullptr;
  if (iid == nullptr) return KS_E_POINTER;
  for (const auto& entry : kInterfaces) {
    if (Same(*iid, *entry.iid)) {
      AddRef();
      *out = entry.face(*this);
      return KS_S_OK;
    }
  }
  return KS_E_NOINTERFACE;
}

ks_hresult ControlObject::GetTypeInfo(uint32_t index, ks_typeinfo** out) {
  if (out == nullptr) return KS_E_POINTER;
  *out = nullptr;
  if (index != 0) return KS_DISP_E_BADINDEX;
  *out = TypeInfoFor(&DefaultInterfaceDesc());
  return KS_S_OK;
}

ks_hresult ControlObject::GetIDsOfNames(const ks_guid* iid, const char** names, uint32_t count,
                                        int32_t* dispids) {
  if (names == nullptr || dispids == nullptr) return KS_E_POINTER;
  if (iid != nullptr && !Same(*iid, KS_IID_NULL)) return KS_DISP_E_UNKNOWNINTERFACE;
  ks_hresult hr = KS_S_OK;
  for (uint32_t i = 0; i < count; ++i) {
    dispids[i] = KS_DISPID_UNKNOWN;
    // Only names[0] names a member; the rest would be parameter names, and no member has any.
    const auto id = (i == 0 && names[0] != nullptr) ? FindDispId(names[0]) : std::nullopt;
    if (id) {
      dispids[i] = *id;
    } else {
      hr = KS_DISP_E_UNKNOWNNAME;
    }
  }
  if (hr != KS_S_OK && count > 0 && names[0] != nullptr && dispids[0] == KS_DISPID_UNKNOWN) {
    SetLastErrorText(messages::UnknownMemberName(names[0]));
  }
  return hr;
}

ks_hresult ControlObject::Invoke(int32_t dispid, const ks_guid* iid, uint16_t flags,
                                 ks_dispparams* params, ks_variant* result, ks_excepinfo* info,
                                 uint32_t* arg_error) {
  if (result != nullptr) KsVariantInit(result);
  if (iid != nullptr && !Same(*iid, KS_IID_NULL)) return KS_DISP_E_UNKNOWNINTERFACE;
  if (params != nullptr && params->cArgs > 0 && params->rgvarg == nullptr) return KS_E_POINTER;

  // Which of get, put, put-by-reference or call. Late-binding clients ask for "method or get"
  // at once; that is a call for a method and a get for a property.
  const Member* member = FindMember(dispid);
  InvokeKind kind;
  if ((flags & KS_DISPATCH_PROPERTYPUTREF) != 0) {
    kind = InvokeKind::kPutRef;
  } else if ((flags & KS_DISPATCH_PROPERTYPUT) != 0) {
    kind = InvokeKind::kPut;
  } else if ((flags & KS_DISPATCH_METHOD) != 0 &&
             (member == nullptr || member->kind == MemberKind::kMethod ||
              (flags & KS_DISPATCH_PROPERTYGET) == 0)) {
    kind = InvokeKind::kMethod;
  } else if ((flags & KS_DISPATCH_PROPERTYGET) != 0) {
    kind = InvokeKind::kGet;
  } else {
    FillExcepInfo(info, err::kInvalidProcedureCall, messages::kNoInvokeKind, KS_E_INVALIDARG);
    return KS_E_INVALIDARG;
  }

  // A put's value may come as the named argument "property put"; nothing else may be named.
  const uint32_t named = params != nullptr ? params->cNamedArgs : 0;
  const bool puts = kind == InvokeKind::kPut || kind == InvokeKind::kPutRef;
  if (named > 0 && !(puts && named == 1 && params->rgdispidNamedArgs != nullptr &&
                     params->rgdispidNamedArgs[0] == KS_DISPID_PROPERTYPUT)) {
    FillExcepInfo(info, err::kNamedArgumentsNotSupported, messages::kNamedArguments,
                  KS_DISP_E_NONAMEDARGS);
    return KS_DISP_E_NONAMEDARGS;
  }

  // A handler run from inside the call (Send and Connect let pending notifications run) may
  // release the host's last reference; the object stays until the call has returned.
  AddRef();
  const ks_hresult hr = InvokeCall(dispid, kind, params, result, info, arg_error);
  Release();
  return hr;
}

ks_hresult ControlObject::InvokeCall(int32_t dispid, InvokeKind kind, ks_dispparams* params,
                                     ks_variant* result, ks_excepinfo* info, uint32_t* arg_error) {
  const uint32_t argc = params != nullptr ? params->cArgs : 0;
  try {
    std::vector<Variant> args;
    args.reserve(argc);
    for (uint32_t i = argc; i-- > 0;) {  // the last argument comes first in rgvarg
      try {
        args.push_back(FromC(params->rgvarg[i]));
      } catch (const RuntimeError& e) {
        if (arg_error != nullptr) *arg_error = i;
        FillExcepInfo(info, e.number(), e.description(), KS_DISP_E_TYPEMISMATCH);
        return KS_DISP_E_TYPEMISMATCH;
      }
    }
    const Variant value = control::Invoke(*control_, dispid, kind, args);
    if (kind == InvokeKind::kPutRef && argc == 1) {
      const ks_variant& given = params->rgvarg[0];
      if ((given.vt & ~KS_VT_BYREF) == KS_VT_DISPATCH) {
        ks_dispatch* object = (given.vt & KS_VT_BYREF) != 0
                                  ? *static_cast<ks_dispatch**>(given.u.byref)
                                  : given.u.pdispVal;
        RememberFontObject(control_->get_Font(), object);
      }
    }
    if (result != nullptr) {
      if (value.type() == VarType::kObject) {
        result->u.pdispVal = FontObjectFor(value.ToObject());
        result->vt = KS_VT_DISPATCH;
      } else {
        ToC(value, result);
      }
    }
    return KS_S_OK;
  } catch (...) {
    const Failure failure = FailureOf(std::current_exception(), KS_DISP_E_EXCEPTION);
    // An argument that does not convert is the one argument of a put.
    if ((failure.result == KS_DISP_E_TYPEMISMATCH || failure.result == KS_DISP_E_OVERFLOW) &&
        arg_error != nullptr) {
      *arg_error = 0;
    }
    FillExcepInfo(info, failure.number, failure.description, failure.result);
    return failure.result;
  }
}

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

ks_hresult ControlObject::SetSite(ks_site* site) {
  if (site != nullptr) site->vtbl->AddRef(site);
  ks_site* old = std::exchange(site_, site);
  if (old != nullptr) old->vtbl->Release(old);
  return KS_S_OK;
}

ks_hresult ControlObject::GetSite(ks_site** out) {
  if (out == nullptr) return KS_E_POINTER;
  *out = site_;
  if (site_ == nullptr) return KS_E_FAIL;
  site_->vtbl->AddRef(site_);
  return KS_S_OK;
}

ks_hresult ControlObject::InitNew() {
  ClearLastErrorText();
  ambient_font_failed_ = false;
  AddRef();  // the site, asked for its font, might release the host's last reference
  ks_hresult hr = KS_S_OK;
  try {
    InitProperties(*control_);
  } catch (...) {
    hr = PersistFailure(std::current_exception(), "initialise", ambient_font_failed_ ? "Font" : "",
                        nullptr);
  }
  Release();
  return hr;
}

ks_hresult ControlObject::Load(ks_property_bag* bag, ks_error_log* log) {
  if (bag == nullptr) return KS_E_POINTER;
  ClearLastErrorText();
  ambient_font_failed_ = false;
  AddRef();  // the bag might release the host's last reference from inside its Read
  HostBag host(bag, log, *this);
  ks_hresult hr = KS_S_OK;
  try {
    ReadProperties(*control_, host);
  } catch (...) {
    // A value that does not convert fails after its Read: the last name read is its property.
    hr = PersistFailure(std::current_exception(), "load",
                        ambient_font_failed_ ? "Font" : std::string_view(host.current()), log);
  }
  Release();
  return hr;
}

ks_hresult ControlObject::Save(ks_property_bag* bag) {
  if (bag == nullptr) return KS_E_POINTER;
  ClearLastErrorText();
  ambient_font_failed_ = false;
  AddRef();
  HostBag host(bag, nullptr, *this);
  ks_hresult hr = KS_S_OK;
  try {
    WriteProperties(*control_, host);
  } catch (...) {
    hr = PersistFailure(std::current_exception(), "save",
                        ambient_font_failed_ ? "Font" : std::string_view(host.current()), nullptr);
  }
  Release();
  return hr;
}

ks_hresult ControlObject::PersistFailure(const std::exception_ptr& e, std::string_view verb,
                                         std::string_view property, ks_error_log* log) noexcept {
  const Failure failure = FailureOf(e, KS_DISP_E_EXCEPTION);
  try {
    const std::string text = property.empty()
                                 ? failure.description
                                 : messages::CannotPersist(verb, property, failure.description);
    SetLastErrorText(text);
    if (log != nullptr) {
      ks_excepinfo info{};
      FillExcepInfo(&info, failure.number, text, failure.result);
      log->vtbl->AddError(log, std::string(property).c_str(), &info);
      KsExcepInfoClear(&info);
    }
  } catch (...) {
    SetLastErrorText(messages::OutOfMemoryReporting(verb));
  }
  return failure.result;
}

void ControlObject::PropertyChanged(std::string_view name) {
  if (site_ == nullptr) return;
  ks_site* site = site_;
  site->vtbl->AddRef(site);  // the site may be replaced from inside its own notice
  const std::string text(name);
  const ks_hresult hr = site->vtbl->OnPropertyChanged(
      site, FindDispId(name).value_or(KS_DISPID_UNKNOWN), text.c_str());
  site->vtbl->Release(site);
  if (KS_FAILED(hr)) {
    throw RuntimeError(err::kSiteRefusedChange, messages::SiteRefusedChange(text, HexResult(hr)));
  }
}

FontRef ControlObject::AmbientFont() {
  if (site_ == nullptr) return std::make_shared<Font>();
  ks_dispatch* object = nullptr;
  const ks_hresult hr = site_->vtbl->GetAmbientFont(site_, &object);
  if (KS_FAILED(hr)) {
    ambient_font_failed_ = true;
    throw RuntimeError(err::kSiteNoAmbientFont, messages::SiteNoAmbientFont(HexResult(hr)));
  }
  if (object == nullptr) return nullptr;
  auto font = FontOf(object);
  if (!font) {
    object->vtbl->Release(object);
    ambient_font_failed_ = true;
    throw RuntimeError(err::kTypeMismatch, messages::kAmbientFontForeign);
  }
  RememberFontObject(font, object);
  object->vtbl->Release(object);
  return font;
}

void ControlObject::DoEvents() {
  loop_->Poll();
}

ks_dispatch* ControlObject::FontObjectFor(const FontRef& font) {
  ks_dispatch* object = FontObject(font);
  if (object != nullptr && object != font_object_seen_) RememberFontObject(font, object);
  return object;
}

ks_dispatch* ControlObject::FontObject(const FontRef& font) {
  if (!font) return nullptr;
  if (font == font_seen_ && font_object_seen_ != nullptr) {
    font_object_seen_->vtbl->AddRef(font_object_seen_);
    return font_object_seen_;
  }
  return NewFontObject(font);
}

void ControlObject::RememberFontObject(const FontRef& font, ks_dispatch* object) noexcept {
  if (object != nullptr) object->vtbl->AddRef(object);
  if (font_object_seen_ != nullptr) font_object_seen_->vtbl->Release(font_object_seen_);
  font_seen_ = object != nullptr ? font : nullptr;
  font_object_seen_ = object;
}

}  // namespace

ks_hresult CreateControl(const std::shared_ptr<platform::EventLoop>& loop, const ks_guid* iid,
                         void** out) {
  auto* object = new ControlObject(loop);
  const ks_hresult hr = object->QueryInterface(iid, out);
  object->Release();  // the creation reference; on failure this destroys it
  return hr;
}

}  // namespace kestrel::control::runtime
