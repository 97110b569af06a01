// Property bags across the C boundary, both ways:
//
//   Load/Save ──▶ ReadProperties/WriteProperties ──▶ HostBag ──Read/Write──▶ host's ks_property_bag
//   KsSettingsLoad/Save ──▶ Load/Save ──▶ ks_property_bag of ours ──▶ MemoryBag ◀──▶ settings file
//
// The settings-file exports go through the instance's own persistence interface, so a file is
// loaded exactly as any host's bag would be.

#include <filesystem>
#include <new>
#include <system_error>

#include "kestrel/control/messages.hpp"
#include "kestrel/control/property_bag.hpp"
#include "kestrel/platform/error.hpp"
#include "runtime.hpp"

namespace kestrel::control::runtime {
namespace {

// Clears a C value on every way out of a scope.
class VariantGuard {
 public:
  explicit VariantGuard(ks_variant& v) noexcept : v_(v) { KsVariantInit(&v_); }
  ~VariantGuard() { KsVariantClear(&v_); }
  VariantGuard(const VariantGuard&) = delete;
  VariantGuard& operator=(const VariantGuard&) = delete;

 private:
  ks_variant& v_;
};

}  // namespace

void HostBag::ToHost(const Variant& v, ks_variant* out) {
  if (v.type() != VarType::kObject) {
    ToC(v, out);
    return;
  }
  KsVariantInit(out);
  out->u.pdispVal = fonts_.FontObject(v.ToObject());
  out->vt = KS_VT_DISPATCH;
}

Variant HostBag::ReadProperty(const String& name, const Variant& default_value) {
  current_ = name;
  ks_variant value;
  VariantGuard guard(value);
  ToHost(default_value, &value);
  const ks_hresult hr = bag_->vtbl->Read(bag_, current_.c_str(), &value, log_);
  if (hr == KS_E_INVALIDARG) return default_value;  // nothing stored under the name
  if (KS_FAILED(hr)) {
    throw BagError(hr, "the host's property bag failed to read it (result " + HexResult(hr) +
                           "). Check the bag's Read.");
  }
  Variant result = FromC(value);
  if (value.vt == KS_VT_DISPATCH && value.u.pdispVal != nullptr) {
    fonts_.RememberFontObject(result.ToObject(), value.u.pdispVal);
  }
  return result;
}

void HostBag::WriteProperty(const String& name, const Variant& value, const Variant&) {
  // The host's Write takes no default: the bag keeps every value it is given.
  current_ = name;
  ks_variant c_value;
  VariantGuard guard(c_value);
  ToHost(value, &c_value);
  const ks_hresult hr = bag_->vtbl->Write(bag_, current_.c_str(), &c_value);
  if (KS_FAILED(hr)) {
    throw BagError(hr, "the host's property bag failed to store it (result " + HexResult(hr) +
                           "). Check the bag's Write.");
  }
}

namespace {

// A ks_property_bag over a MemoryBag, for the settings-file exports. Lives on their stack for
// one Load or Save, which hold no reference to it afterwards.
struct MemoryBagObject {
  const ks_property_bag_vtbl* vtbl;
  MemoryBag* bag;
  std::atomic<std::uint32_t> refs{1};
};

MemoryBagObject& Self(ks_property_bag* self) {
  return *reinterpret_cast<MemoryBagObject*>(self);
}

const ks_property_bag_vtbl kMemoryBagVtbl{
    [](ks_property_bag* self, const ks_guid* iid, void** out) -> ks_hresult {
      if (out == nullptr) return KS_E_POINTER;
      *out = nullptr;
      if (iid == nullptr) return KS_E_POINTER;
      if (!Same(*iid, KS_IID_IUnknown) && !Same(*iid, KS_IID_IPropertyBag)) {
        return KS_E_NOINTERFACE;
      }
      Self(self).refs.fetch_add(1);
      *out = self;
      return KS_S_OK;
    },
    [](ks_property_bag* self) -> uint32_t { return Self(self).refs.fetch_add(1) + 1; },
    [](ks_property_bag* self) -> uint32_t { return Self(self).refs.fetch_sub(1) - 1; },
    [](ks_property_bag* self, const char* name, ks_variant* value, ks_error_log*) -> ks_hresult {
      if (name == nullptr || value == nullptr) return KS_E_POINTER;
      try {
        const Variant* stored = Self(self).bag->Find(name);
        if (stored == nullptr) return KS_E_INVALIDARG;
        ks_variant copy;
        ToC(*stored, &copy);
        KsVariantClear(value);
        *value = copy;
        return KS_S_OK;
      } catch (const std::bad_alloc&) {
        return KS_E_OUTOFMEMORY;
      } catch (...) {
        return KS_E_FAIL;
      }
    },
    [](ks_property_bag* self, const char* name, ks_variant* value) -> ks_hresult {
      if (name == nullptr || value == nullptr) return KS_E_POINTER;
      try {
        Self(self).bag->WriteProperty(name, FromC(*value), Variant());
        return KS_S_OK;
      } catch (const RuntimeError&) {
        return KS_DISP_E_TYPEMISMATCH;
      } catch (const std::bad_alloc&) {
        return KS_E_OUTOFMEMORY;
      } catch (...) {
        return KS_E_FAIL;
      }
    },
};

// The instance's persistence interface, or null with the reason recorded.
ks_persist_property_bag* PersistenceOf(ks_unknown* instance) {
  void* found = nullptr;
  if (KS_FAILED(instance->vtbl->QueryInterface(instance, &KS_IID_IPersistPropertyBag, &found))) {
    SetLastErrorText(messages::kNoPersistenceInterface);
    return nullptr;
  }
  return static_cast<ks_persist_property_bag*>(found);
}

}  // namespace
}  // namespace kestrel::control::runtime

using namespace kestrel;
using namespace kestrel::control;
using namespace kestrel::control::runtime;

extern "C" KS_API ks_hresult KsSettingsLoad(ks_unknown* instance, const char* path) {
  if (instance == nullptr || path == nullptr) return KS_E_POINTER;
  ClearLastErrorText();
  MemoryBag bag;
  try {
    std::error_code error;
    const std::filesystem::path file(path);
    if (!std::filesystem::exists(file, error) && !error) {
      SetLastErrorText(messages::NoSettingsFile(file.string()));
      return KS_STG_E_FILENOTFOUND;
    }
    bag = settings_file::Load(file);
  } catch (...) {
    return ResultOf(std::current_exception(), KS_E_FAIL);
  }
  ks_persist_property_bag* persist = PersistenceOf(instance);
  if (persist == nullptr) return KS_E_NOINTERFACE;
  MemoryBagObject object{&kMemoryBagVtbl, &bag};
  const ks_hresult hr =
      persist->vtbl->Load(persist, reinterpret_cast<ks_property_bag*>(&object), nullptr);
  persist->vtbl->Release(persist);
  return hr;
}

extern "C" KS_API ks_hresult KsSettingsSave(ks_unknown* instance, const char* path) {
  if (instance == nullptr || path == nullptr) return KS_E_POINTER;
  ClearLastErrorText();
  ks_persist_property_bag* persist = PersistenceOf(instance);
  if (persist == nullptr) return KS_E_NOINTERFACE;
  MemoryBag bag;
  MemoryBagObject object{&kMemoryBagVtbl, &bag};
  const ks_hresult hr =
      persist->vtbl->Save(persist, reinterpret_cast<ks_property_bag*>(&object), 1, 1);
  persist->vtbl->Release(persist);
  if (KS_FAILED(hr)) return hr;
  try {
    settings_file::Save(bag, std::filesystem::path(path));
    return KS_S_OK;
  } catch (...) {
    return ResultOf(std::current_exception(), KS_E_FAIL);
  }
}
