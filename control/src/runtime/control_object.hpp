#pragma once
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
//
// Files: control_object.cpp (the object, its interface table, the site and fonts), invoke.cpp
// (_SNPPInstance: names, type information, Invoke), connection_point.cpp (the event connection
// point and its sinks), persistence_face.cpp (IPersistPropertyBag).

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string_view>

#include "kestrel/control/dispatch.hpp"
#include "kestrel/control/snpp_control.hpp"
#include "runtime.hpp"

namespace kestrel::control::runtime {

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

// The IUnknown entries every face shares: they go to the object the face belongs to.
template <typename Interface>
ks_hresult QueryInterfaceOf(Interface* self, const ks_guid* iid, void** out) {
  return Owner(self).QueryInterface(iid, out);
}
template <typename Interface>
uint32_t AddRefOf(Interface* self) {
  return Owner(self).AddRef();
}
template <typename Interface>
uint32_t ReleaseOf(Interface* self) {
  return Owner(self).Release();
}

// The tables of the faces, one per interface, each beside that interface's implementation.
extern const ks_dispatch_vtbl kDispatchVtbl;                     // invoke.cpp
extern const ks_connection_point_container_vtbl kContainerVtbl;  // connection_point.cpp
extern const ks_connection_point_vtbl kPointVtbl;                // connection_point.cpp
extern const ks_control_vtbl kControlVtbl;                       // control_object.cpp
extern const ks_persist_property_bag_vtbl kPersistVtbl;          // persistence_face.cpp

}  // namespace kestrel::control::runtime
