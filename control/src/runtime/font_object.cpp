// The font object: Font behind a dispatch interface of the standard font type.
//
// The object holds a shared reference to the font; the control holds the same font. So a host
// that changes Size through its font object changes what the control's Font shows, and the
// control keeps the very font it was given. Objects of one instance's thread only.

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

#include "kestrel/control/dispatch.hpp"
#include "kestrel/control/messages.hpp"
#include "kestrel/platform/error.hpp"
#include "runtime.hpp"

namespace kestrel::control::runtime {
namespace {

struct FontObject {
  const ks_dispatch_vtbl* vtbl;
  std::atomic<std::uint32_t> refs{1};
  FontRef font;
};

// The standard font type's dispatch ids.
struct FontProperty {
  std::int32_t dispid;
  std::string_view name;
  VarType type;
  Variant (*get)(const Font&);
  void (*put)(Font&, const Variant&);
};

constexpr std::array<FontProperty, 8> kFontProperties{{
    {0, "Name", VarType::kString, [](const Font& f) { return Variant(f.name); },
     [](Font& f, const Variant& v) { f.name = v.ToString(); }},
    {2, "Size", VarType::kSingle,
     [](const Font& f) { return Variant::FromSingle(static_cast<Single>(f.size)); },
     [](Font& f, const Variant& v) { f.size = v.ToSingle(); }},
    {3, "Bold", VarType::kBoolean, [](const Font& f) { return Variant::FromBool(f.bold); },
     [](Font& f, const Variant& v) { f.bold = v.ToBoolean() != 0; }},
    {4, "Italic", VarType::kBoolean, [](const Font& f) { return Variant::FromBool(f.italic); },
     [](Font& f, const Variant& v) { f.italic = v.ToBoolean() != 0; }},
    {5, "Underline", VarType::kBoolean,
     [](const Font& f) { return Variant::FromBool(f.underline); },
     [](Font& f, const Variant& v) { f.underline = v.ToBoolean() != 0; }},
    {6, "Strikethrough", VarType::kBoolean,
     [](const Font& f) { return Variant::FromBool(f.strikethrough); },
     [](Font& f, const Variant& v) { f.strikethrough = v.ToBoolean() != 0; }},
    {7, "Weight", VarType::kInteger, [](const Font& f) { return Variant::FromInteger(f.weight); },
     [](Font& f, const Variant& v) { f.weight = v.ToInteger(); }},
    {8, "Charset", VarType::kInteger, [](const Font& f) { return Variant::FromInteger(f.charset); },
     [](Font& f, const Variant& v) { f.charset = v.ToInteger(); }},
}};

FontObject* Self(ks_dispatch* d) {
  return reinterpret_cast<FontObject*>(d);
}

ks_hresult QueryInterface(ks_dispatch* self, const ks_guid* iid, void** out) {
  if (out == nullptr) return KS_E_POINTER;
  *out = nullptr;
  if (iid == nullptr) return KS_E_POINTER;
  if (Same(*iid, KS_IID_IUnknown) || Same(*iid, KS_IID_IDispatch) || Same(*iid, KS_IID_IFontDisp)) {
    Self(self)->refs.fetch_add(1);
    *out = self;
    return KS_S_OK;
  }
  return KS_E_NOINTERFACE;
}

uint32_t AddRef(ks_dispatch* self) {
  return Self(self)->refs.fetch_add(1) + 1;
}

uint32_t Release(ks_dispatch* self) {
  auto* f = Self(self);
  const auto left = f->refs.fetch_sub(1) - 1;
  if (left == 0) {
    delete f;
    ObjectDestroyed();
  }
  return left;
}

ks_hresult GetTypeInfoCount(ks_dispatch*, uint32_t* count) {
  if (count == nullptr) return KS_E_POINTER;
  *count = 0;  // the standard font type is described by the standard library, not by ours
  return KS_S_OK;
}

ks_hresult GetTypeInfo(ks_dispatch*, uint32_t, uint32_t, ks_typeinfo** out) {
  if (out != nullptr) *out = nullptr;
  return KS_DISP_E_BADINDEX;
}

const FontProperty* Find(std::int32_t dispid) {
  for (const auto& p : kFontProperties)
    if (p.dispid == dispid) return &p;
  return nullptr;
}

ks_hresult GetIDsOfNames(ks_dispatch*, const ks_guid*, const char** names, uint32_t count, uint32_t,
                         int32_t* dispids) {
  if (names == nullptr || dispids == nullptr) return KS_E_POINTER;
  ks_hresult hr = KS_S_OK;
  for (uint32_t i = 0; i < count; ++i) {
    dispids[i] = KS_DISPID_UNKNOWN;
    if (i > 0 || names[i] == nullptr) {
      hr = KS_DISP_E_UNKNOWNNAME;
      continue;
    }
    const std::string_view wanted(names[i]);
    for (const auto& p : kFontProperties) {
      if (p.name.size() == wanted.size() &&
          std::equal(p.name.begin(), p.name.end(), wanted.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) ==
                   std::tolower(static_cast<unsigned char>(b));
          })) {
        dispids[i] = p.dispid;
      }
    }
    if (dispids[i] == KS_DISPID_UNKNOWN) hr = KS_DISP_E_UNKNOWNNAME;
  }
  return hr;
}

ks_hresult Invoke(ks_dispatch* self, int32_t dispid, const ks_guid*, uint32_t, uint16_t flags,
                  ks_dispparams* params, ks_variant* result, ks_excepinfo* excepinfo,
                  uint32_t* arg_error) {
  if (result != nullptr) KsVariantInit(result);
  const FontProperty* p = Find(dispid);
  if (p == nullptr) {
    FillExcepInfo(excepinfo, err::kNoSuchMember, messages::kFontNoSuchMember,
                  KS_DISP_E_MEMBERNOTFOUND);
    return KS_DISP_E_MEMBERNOTFOUND;
  }
  const uint32_t args = params != nullptr ? params->cArgs : 0;
  try {
    if ((flags & KS_DISPATCH_PROPERTYPUT) != 0) {
      if (args != 1) {
        FillExcepInfo(excepinfo, err::kWrongArgumentCount, messages::kFontPutArgumentCount,
                      KS_DISP_E_BADPARAMCOUNT);
        return KS_DISP_E_BADPARAMCOUNT;
      }
      Variant value;
      try {
        value = FromC(params->rgvarg[0]).ConvertTo(p->type);
      } catch (const RuntimeError& e) {
        if (arg_error != nullptr) *arg_error = 0;
        const auto hr = e.number() == err::kOverflow ? KS_DISP_E_OVERFLOW : KS_DISP_E_TYPEMISMATCH;
        FillExcepInfo(excepinfo, e.number(), messages::CannotAssignFont(p->name, e.description()),
                      hr);
        return hr;
      }
      p->put(*Self(self)->font, value);
      return KS_S_OK;
    }
    if ((flags & (KS_DISPATCH_PROPERTYGET | KS_DISPATCH_METHOD)) != 0) {
      if (args != 0) {
        FillExcepInfo(excepinfo, err::kWrongArgumentCount, messages::kFontGetArgumentCount,
                      KS_DISP_E_BADPARAMCOUNT);
        return KS_DISP_E_BADPARAMCOUNT;
      }
      if (result != nullptr) ToC(p->get(*Self(self)->font), result);
      return KS_S_OK;
    }
    FillExcepInfo(excepinfo, err::kNoSuchMember, messages::kFontByReference,
                  KS_DISP_E_MEMBERNOTFOUND);
    return KS_DISP_E_MEMBERNOTFOUND;
  } catch (...) {
    return ExcepInfoOf(std::current_exception(), KS_DISP_E_EXCEPTION, excepinfo);
  }
}

const ks_dispatch_vtbl kFontVtbl{QueryInterface, AddRef,        Release, GetTypeInfoCount,
                                 GetTypeInfo,    GetIDsOfNames, Invoke};

}  // namespace

ks_dispatch* NewFontObject(FontRef font) {
  auto* f = new FontObject{&kFontVtbl, {1}, std::move(font)};
  ObjectCreated();
  return reinterpret_cast<ks_dispatch*>(f);
}

FontRef FontOf(ks_dispatch* object) noexcept {
  // Ours exactly when it uses our table: a foreign object cannot give us a Font.
  if (object == nullptr || object->vtbl != &kFontVtbl) return nullptr;
  return Self(object)->font;
}

}  // namespace kestrel::control::runtime

using namespace kestrel::control::runtime;

extern "C" KS_API ks_hresult KsFontCreate(ks_dispatch** out) {
  if (out == nullptr) return KS_E_POINTER;
  *out = nullptr;
  try {
    *out = NewFontObject(std::make_shared<kestrel::control::Font>());
    return KS_S_OK;
  } catch (...) {
    return ResultOf(std::current_exception(), KS_E_FAIL);
  }
}
