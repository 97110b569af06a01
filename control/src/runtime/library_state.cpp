// The library as a whole: its object and lock counts, the identifiers it exports, and its
// resources.

#include <string>
#include <string_view>

#include "kestrel/control/messages.hpp"
#include "runtime.hpp"

namespace kestrel::control::runtime {
namespace {

std::atomic<std::int64_t> g_objects{0};
std::atomic<std::int64_t> g_locks{0};

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

// --- Exported: resources
// ---------------------------------------------------------------------------

extern "C" KS_API ks_hresult KsFindResource(const char* name, uint16_t number, const uint8_t** data,
                                            uint32_t* size) {
  if (data == nullptr || size == nullptr) return KS_E_POINTER;
  *data = nullptr;
  *size = 0;
  const Resource* r = name != nullptr ? FindResource(std::string_view(name)) : FindResource(number);
  if (r == nullptr) {
    SetLastErrorText(messages::NoSuchResource(name ? "named \"" + std::string(name) + "\""
                                                   : "number " + std::to_string(number)));
    return KS_RESOURCE_E_NOTFOUND;
  }
  *data = r->bytes.data();
  *size = static_cast<uint32_t>(r->bytes.size());
  return KS_S_OK;
}