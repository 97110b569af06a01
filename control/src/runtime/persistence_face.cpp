// IPersistPropertyBag: InitNew, Load and Save through a HostBag over the host's bag, and what a
// failure of them tells the host.

#include <string>

#include "control_object.hpp"
#include "kestrel/control/messages.hpp"
#include "kestrel/control/persistence.hpp"

namespace kestrel::control::runtime {

const ks_persist_property_bag_vtbl kPersistVtbl{
    QueryInterfaceOf<ks_persist_property_bag>,
    AddRefOf<ks_persist_property_bag>,
    ReleaseOf<ks_persist_property_bag>,
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
}  // namespace kestrel::control::runtime
