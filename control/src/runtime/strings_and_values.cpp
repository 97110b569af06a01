// Strings and values across the C interface: ks_string allocation, ks_variant and its
// conversion to and from Variant.

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "kestrel/control/messages.hpp"
#include "kestrel/platform/error.hpp"
#include "runtime.hpp"

namespace kestrel::control::runtime {
namespace {

constexpr std::size_t kLengthPrefix = sizeof(std::uint32_t);

}  // namespace

ks_string NewString(std::string_view text) {
  ks_string s = KsStringAlloc(text.data(), static_cast<std::uint32_t>(text.size()));
  if (s == nullptr) throw std::bad_alloc();
  return s;
}

std::string_view View(ks_string s) noexcept {
  return {s, KsStringLen(s)};
}

Variant FromC(const ks_variant& v) {
  const bool byref = (v.vt & KS_VT_BYREF) != 0;
  if (byref && v.u.byref == nullptr) {
    throw RuntimeError(err::kTypeMismatch, messages::kByReferenceNowhere);
  }
  switch (v.vt & ~KS_VT_BYREF) {
    case KS_VT_EMPTY:
      return {};
    case KS_VT_I2:
      return Variant::FromInteger(byref ? *v.u.piVal : v.u.iVal);
    case KS_VT_I4:
      return Variant::FromLong(byref ? *v.u.plVal : v.u.lVal);
    case KS_VT_R4:
      return Variant::FromSingle(byref ? *v.u.pfltVal : v.u.fltVal);
    case KS_VT_BOOL:
      return Variant::FromBoolean(byref ? *v.u.pboolVal : v.u.boolVal);
    case KS_VT_BSTR:
      return Variant(String(View(byref ? *v.u.pbstrVal : v.u.bstrVal)));
    case KS_VT_DISPATCH: {
      ks_dispatch* object = byref ? *static_cast<ks_dispatch**>(v.u.byref) : v.u.pdispVal;
      if (object == nullptr) return Variant::FromObject(nullptr);  // Nothing
      auto font = FontOf(object);
      if (!font) {
        throw RuntimeError(err::kTypeMismatch, messages::kObjectNotOurFont);
      }
      return Variant::FromObject(std::move(font));
    }
    default:
      break;
  }
  throw RuntimeError(err::kTypeMismatch, messages::VariantTypeNotTaken(v.vt));
}

void ToC(const Variant& v, ks_variant* out) {
  KsVariantInit(out);
  switch (v.type()) {
    case VarType::kEmpty:
      return;
    case VarType::kInteger:
      out->vt = KS_VT_I2;
      out->u.iVal = v.ToInteger();
      return;
    case VarType::kLong:
      out->vt = KS_VT_I4;
      out->u.lVal = v.ToLong();
      return;
    case VarType::kSingle:
      out->vt = KS_VT_R4;
      out->u.fltVal = v.ToSingle();
      return;
    case VarType::kBoolean:
      out->vt = KS_VT_BOOL;
      out->u.boolVal = v.ToBoolean();
      return;
    case VarType::kString:
      out->u.bstrVal = NewString(v.ToString());
      out->vt = KS_VT_BSTR;
      return;
    case VarType::kObject: {
      auto font = v.ToObject();
      out->u.pdispVal = font ? NewFontObject(std::move(font)) : nullptr;
      out->vt = KS_VT_DISPATCH;
      return;
    }
  }
}

}  // namespace kestrel::control::runtime

using namespace kestrel::control;
using namespace kestrel::control::runtime;

// --- Exported: strings, values
// ---------------------------------------------------------------------

extern "C" KS_API ks_string KsStringAlloc(const char* utf8, uint32_t len) {
  if (len > std::numeric_limits<std::uint32_t>::max() - kLengthPrefix - 1) return nullptr;
  auto* block = static_cast<char*>(std::malloc(kLengthPrefix + len + 1));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &len, kLengthPrefix);
  if (len > 0 && utf8 != nullptr) std::memcpy(block + kLengthPrefix, utf8, len);
  if (len > 0 && utf8 == nullptr) std::memset(block + kLengthPrefix, 0, len);
  block[kLengthPrefix + len] = '\0';
  return block + kLengthPrefix;
}

extern "C" KS_API ks_string KsStringFromUtf8(const char* utf8) {
  return KsStringAlloc(utf8, utf8 ? static_cast<uint32_t>(std::strlen(utf8)) : 0);
}

extern "C" KS_API uint32_t KsStringLen(ks_string s) {
  if (s == nullptr) return 0;
  std::uint32_t len = 0;
  std::memcpy(&len, s - kLengthPrefix, kLengthPrefix);
  return len;
}

extern "C" KS_API void KsStringFree(ks_string s) {
  if (s != nullptr) std::free(s - kLengthPrefix);
}

extern "C" KS_API void KsVariantInit(ks_variant* v) {
  if (v == nullptr) return;
  std::memset(v, 0, sizeof *v);
  v->vt = KS_VT_EMPTY;
}

extern "C" KS_API ks_hresult KsVariantClear(ks_variant* v) {
  if (v == nullptr) return KS_E_POINTER;
  if (v->vt == KS_VT_BSTR) {
    KsStringFree(v->u.bstrVal);
  } else if (v->vt == KS_VT_DISPATCH && v->u.pdispVal != nullptr) {
    v->u.pdispVal->vtbl->Release(v->u.pdispVal);
  }
  KsVariantInit(v);
  return KS_S_OK;
}
