// Counts, identifiers, strings, values and resources of the C interface.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "kestrel/control/dispatch.hpp"
#include "kestrel/control/messages.hpp"
#include "kestrel/platform/error.hpp"
#include "runtime.hpp"

namespace kestrel::control::runtime {
namespace {

std::atomic<std::int64_t> g_objects{0};
std::atomic<std::int64_t> g_locks{0};

// Per thread, like the objects whose failures it describes.
thread_local std::optional<std::string> t_last_error;

constexpr std::size_t kLengthPrefix = sizeof(std::uint32_t);

}  // namespace

void ObjectCreated() noexcept {
  g_objects.fetch_add(1);
}
void ObjectDestroyed() noexcept {
  g_objects.fetch_sub(1);
}
void LockServer(bool lock) noexcept {
  g_locks.fetch_add(lock ? 1 : -1);
}
bool CanUnload() noexcept {
  return g_objects.load() == 0 && g_locks.load() <= 0;
}

void SetLastErrorText(std::string text) noexcept {
  try {
    t_last_error = std::move(text);
  } catch (...) {
    t_last_error.reset();
  }
}

void ClearLastErrorText() noexcept {
  t_last_error.reset();
}

namespace {

ks_hresult DispatchResult(std::int32_t number, ks_hresult otherwise) noexcept {
  switch (number) {
    case err::kTypeMismatch:
      return KS_DISP_E_TYPEMISMATCH;
    case err::kOverflow:
      return KS_DISP_E_OVERFLOW;
    default:
      return otherwise;
  }
}

}  // namespace

Failure FailureOf(const std::exception_ptr& e, ks_hresult fallback) noexcept {
  try {
    try {
      std::rethrow_exception(e);
    } catch (const BagError& error) {
      return {error.result(), 0, error.description()};
    } catch (const InvokeError& error) {
      ks_hresult hr = KS_DISP_E_EXCEPTION;
      if (error.number() == err::kNoSuchMember) hr = KS_DISP_E_MEMBERNOTFOUND;
      if (error.number() == err::kWrongArgumentCount) hr = KS_DISP_E_BADPARAMCOUNT;
      return {DispatchResult(error.number(), hr), error.number(), error.description()};
    } catch (const RuntimeError& error) {
      return {DispatchResult(error.number(), fallback), error.number(), error.description()};
    } catch (const std::bad_alloc&) {
      return {KS_E_OUTOFMEMORY, err::kOutOfMemory, messages::kOutOfMemory};
    } catch (const std::exception& error) {
      return {fallback, err::kInternalError, messages::InternalError(error.what())};
    } catch (...) {
      return {fallback, err::kInternalError, messages::kInternalErrorUnknown};
    }
  } catch (...) {
    // Out of memory for the description itself.
    return {KS_E_OUTOFMEMORY, err::kOutOfMemory, {}};
  }
}

ks_hresult ResultOf(const std::exception_ptr& e, ks_hresult fallback) noexcept {
  Failure failure = FailureOf(e, fallback);
  SetLastErrorText(std::move(failure.description));
  return failure.result;
}

ks_hresult ExcepInfoOf(const std::exception_ptr& e, ks_hresult fallback,
                       ks_excepinfo* info) noexcept {
  const Failure failure = FailureOf(e, fallback);
  FillExcepInfo(info, failure.number, failure.description, failure.result);
  return failure.result;
}

std::string HexResult(ks_hresult hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

ks_string NewString(std::string_view text) {
  ks_string s = KsStringAlloc(text.data(), static_cast<std::uint32_t>(text.size()));
  if (s == nullptr) throw std::bad_alloc();
  return s;
}

std::string_view View(ks_string s) noexcept {
  return {s, KsStringLen(s)};
}

void FillExcepInfo(ks_excepinfo* info, std::int32_t number, std::string_view description,
                   ks_hresult scode) noexcept {
  if (info == nullptr) return;
  info->code = number;
  info->scode = scode;
  info->source = KsStringAlloc("KestrelSNPPControl.SNPPInstance", 31);
  info->description =
      KsStringAlloc(description.data(), static_cast<std::uint32_t>(description.size()));
}

Variant FromC(const ks_variant& v) {
  const bool byref = (v.vt & KS_VT_BYREF) != 0;
  if (byref && v.u.byref == nullptr) {
    throw RuntimeError(err::kTypeMismatch,
                       "Type mismatch: a by-reference argument points nowhere. Pass a value, or a "
                       "pointer to one.");
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
        throw RuntimeError(err::kTypeMismatch,
                           "Type mismatch: the object is not a font of this library. Create the "
                           "font with KsFontCreate (or take the control's own Font) and pass "
                           "that.");
      }
      return Variant::FromObject(std::move(font));
    }
    default:
      break;
  }
  throw RuntimeError(err::kTypeMismatch,
                     "Type mismatch: variant type " + std::to_string(v.vt) +
                         " is not one the control takes. Pass an Integer, Long, Single, "
                         "Boolean, String or a font object.");
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

// --- Exported: identifiers
// -------------------------------------------------------------------------

extern "C" {
const ks_guid KS_LIBID_KestrelSNPPControl = KS_LIBID_KestrelSNPPControl_INIT;
const ks_guid KS_CLSID_SNPPInstance = KS_CLSID_SNPPInstance_INIT;
const ks_guid KS_IID__SNPPInstance = KS_IID__SNPPInstance_INIT;
const ks_guid KS_DIID___SNPPInstance = KS_DIID___SNPPInstance_INIT;
const ks_guid KS_IID_KsControl = KS_IID_KsControl_INIT;
const ks_guid KS_IID_KsSite = KS_IID_KsSite_INIT;
const ks_guid KS_IID_KsTypeInfo = KS_IID_KsTypeInfo_INIT;
const ks_guid KS_IID_NULL = KS_IID_NULL_INIT;
const ks_guid KS_IID_IUnknown = KS_IID_IUnknown_INIT;
const ks_guid KS_IID_IDispatch = KS_IID_IDispatch_INIT;
const ks_guid KS_IID_IClassFactory = KS_IID_IClassFactory_INIT;
const ks_guid KS_IID_IConnectionPointContainer = KS_IID_IConnectionPointContainer_INIT;
const ks_guid KS_IID_IConnectionPoint = KS_IID_IConnectionPoint_INIT;
const ks_guid KS_IID_IFontDisp = KS_IID_IFontDisp_INIT;
const ks_guid KS_IID_IPersist = KS_IID_IPersist_INIT;
const ks_guid KS_IID_IPersistPropertyBag = KS_IID_IPersistPropertyBag_INIT;
const ks_guid KS_IID_IPropertyBag = KS_IID_IPropertyBag_INIT;
const ks_guid KS_IID_IErrorLog = KS_IID_IErrorLog_INIT;
}

// The header's values and the type library's must be one and the same.
namespace {
constexpr ks_guid kHeaderLibId = KS_LIBID_KestrelSNPPControl_INIT;
constexpr ks_guid kHeaderClassId = KS_CLSID_SNPPInstance_INIT;
constexpr ks_guid kHeaderInterfaceId = KS_IID__SNPPInstance_INIT;
constexpr ks_guid kHeaderEventInterfaceId = KS_DIID___SNPPInstance_INIT;
constexpr ks_guid kHeaderFontId = KS_IID_IFontDisp_INIT;
static_assert(FromKs(kHeaderLibId) == kLibraryId);
static_assert(FromKs(kHeaderClassId) == kClassId);
static_assert(FromKs(kHeaderInterfaceId) == kInterfaceId);
static_assert(FromKs(kHeaderEventInterfaceId) == kEventInterfaceId);
static_assert(FromKs(kHeaderFontId) == kStdFontId);
}  // namespace

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

extern "C" KS_API void KsExcepInfoClear(ks_excepinfo* e) {
  if (e == nullptr) return;
  KsStringFree(e->source);
  KsStringFree(e->description);
  std::memset(e, 0, sizeof *e);
}

extern "C" KS_API ks_string KsGetLastErrorText(void) {
  if (!t_last_error) return nullptr;
  return KsStringAlloc(t_last_error->data(), static_cast<uint32_t>(t_last_error->size()));
}

// --- Exported: resources
// ---------------------------------------------------------------------------

extern "C" KS_API ks_hresult KsFindResource(const char* name, uint16_t number, const uint8_t** data,
                                            uint32_t* size) {
  if (data == nullptr || size == nullptr) return KS_E_POINTER;
  *data = nullptr;
  *size = 0;
  const Resource* r = name != nullptr ? FindResource(std::string_view(name)) : FindResource(number);
  if (r == nullptr) {
    SetLastErrorText(
        std::string("No resource ") +
        (name ? "named \"" + std::string(name) + "\"" : "number " + std::to_string(number)) +
        " in the library. Ask for \"_IID_SNPPINSTANCE\", \"_SRCIID_SNPPINSTANCE\" "
        "or 30000.");
    return KS_RESOURCE_E_NOTFOUND;
  }
  *data = r->bytes.data();
  *size = static_cast<uint32_t>(r->bytes.size());
  return KS_S_OK;
}
