// The instance object: its construction, interface table and KsControl face, and what it does
// for its control as the control's site (change notices, ambient font, DoEvents, font objects).

#include <new>
#include <utility>

#include "control_object.hpp"
#include "kestrel/control/messages.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/platform/event_loop.hpp"

namespace kestrel::control::runtime {

const ks_control_vtbl kControlVtbl{
    QueryInterfaceOf<ks_control>,
    AddRefOf<ks_control>,
    ReleaseOf<ks_control>,
    [](ks_control* self, ks_site* site) { return Owner(self).SetSite(site); },
    [](ks_control* self, ks_site** out) { return Owner(self).GetSite(out); },
};

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

ks_hresult CreateControl(const std::shared_ptr<platform::EventLoop>& loop, const ks_guid* iid,
                         void** out) {
  auto* object = new ControlObject(loop);
  const ks_hresult hr = object->QueryInterface(iid, out);
  object->Release();  // the creation reference; on failure this destroys it
  return hr;
}

}  // namespace kestrel::control::runtime
