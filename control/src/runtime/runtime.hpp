#pragma once
// The control runtime behind the C interface (kestrel_snpp.h): shared helpers of its objects.
//
// Object layout: every interface pointer handed out points at a "face", a struct whose first
// member is the vtable pointer (as the C header declares) and whose second is the C++ object it
// belongs to. An object with several interfaces has several faces that share its count.
//
// Counting: each object adds one to a library-wide count while it exists, each LockServer(TRUE)
// one to the lock count; DllCanUnloadNow says yes only when both are 0. Reference counts and
// these counts are std::atomic: cheap, and the class object and DllCanUnloadNow may be used from
// any thread. Everything else of an instance runs on its own thread without locks.
//
// No C++ exception ever crosses the C boundary: every entry point catches and turns it into a
// result code (and, where the host can read it, a description).

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "kestrel/control/property_bag.hpp"
#include "kestrel/control/type_library.hpp"
#include "kestrel/control/variant.hpp"
#include "kestrel/kestrel_snpp.h"
#include "kestrel/platform/event_loop.hpp"

struct ks_loop {
  std::shared_ptr<kestrel::platform::EventLoop> loop;
};

namespace kestrel::control::runtime {

// --- Library-wide counts ---------------------------------------------------------------------
void ObjectCreated() noexcept;
void ObjectDestroyed() noexcept;
void LockServer(bool lock) noexcept;
bool CanUnload() noexcept;

// An object that exists for the library's whole life (class object, type information): counts as
// an object only while somebody holds a reference to it.
inline std::uint32_t StaticAddRef(std::atomic<std::uint32_t>& refs) noexcept {
  const auto before = refs.fetch_add(1);
  if (before == 0) ObjectCreated();
  return before + 1;
}
inline std::uint32_t StaticRelease(std::atomic<std::uint32_t>& refs) noexcept {
  const auto before = refs.fetch_sub(1);
  if (before == 1) ObjectDestroyed();
  return before - 1;
}

// --- Identifiers -----------------------------------------------------------------------------
inline bool Same(const ks_guid& a, const ks_guid& b) noexcept {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::equal(std::begin(a.Data4), std::end(a.Data4), std::begin(b.Data4));
}
inline bool Same(const ks_guid* a, const ks_guid& b) noexcept {
  return a && Same(*a, b);
}
constexpr ks_guid ToKs(const Guid& g) noexcept {
  ks_guid k{g.data1, g.data2, g.data3, {}};
  for (std::size_t i = 0; i < 8; ++i) k.Data4[i] = g.data4[i];
  return k;
}
constexpr Guid FromKs(const ks_guid& k) noexcept {
  Guid g{k.Data1, k.Data2, k.Data3, {}};
  for (std::size_t i = 0; i < 8; ++i) g.data4[i] = k.Data4[i];
  return g;
}

// --- Errors the host can read back (KsGetLastErrorText) ----------------------------------------
void SetLastErrorText(std::string text) noexcept;
void ClearLastErrorText() noexcept;
// What an exception means to a C caller: its result code, error number and description.
struct Failure {
  ks_hresult result;
  std::int32_t number;  // 0 for a host's bag failing: its result says it
  std::string description;
};
// The one mapping from exception to result. A host's bag failing keeps the bag's result;
// Invoke's own refusals get their dispatch codes (no member, argument count); a type mismatch
// or an overflow gets its dispatch code wherever it comes from; out of memory is
// KS_E_OUTOFMEMORY; any other runtime error or exception gets `fallback`.
Failure FailureOf(const std::exception_ptr& e, ks_hresult fallback) noexcept;
// FailureOf, with its description recorded as the last-error text; gives the result.
ks_hresult ResultOf(const std::exception_ptr& e, ks_hresult fallback) noexcept;
// FailureOf, with `info` (when not null) filled in; gives the result.
ks_hresult ExcepInfoOf(const std::exception_ptr& e, ks_hresult fallback,
                       ks_excepinfo* info) noexcept;
// "0x80004005", for descriptions that quote a host's result.
std::string HexResult(ks_hresult hr);

// --- Strings and values ----------------------------------------------------------------------
// A new ks_string; throws std::bad_alloc when out of memory.
ks_string NewString(std::string_view text);
std::string_view View(ks_string s) noexcept;
// Fills `info` (when not null) with a runtime error's number and description.
void FillExcepInfo(ks_excepinfo* info, std::int32_t number, std::string_view description,
                   ks_hresult scode) noexcept;

// A C value as a Variant; by-reference values are read through. Raises Type mismatch for a type
// the control does not know and for an object that is not one of this library's fonts.
Variant FromC(const ks_variant& v);
// A Variant as a C value the caller owns; objects become font objects (new references).
void ToC(const Variant& v, ks_variant* out);

// --- Fonts -----------------------------------------------------------------------------------
// A new font object (one reference) around the given font.
ks_dispatch* NewFontObject(FontRef font);
// The font inside one of our font objects; null for anything else (or null).
FontRef FontOf(ks_dispatch* object) noexcept;

// --- Property bags ---------------------------------------------------------------------------
// How an instance hands out its fonts and takes them back, so that a host sees one object for
// one font.
class FontObjects {
 public:
  // A new reference: the object last handed out or taken for this font, else a new one; null for
  // a null font.
  virtual ks_dispatch* FontObject(const FontRef& font) = 0;
  // From now on, `object` is the one handed out for `font`.
  virtual void RememberFontObject(const FontRef& font, ks_dispatch* object) noexcept = 0;

 protected:
  ~FontObjects() = default;
};

// A host's bag failed a Read or a Write; its result goes back to the host unchanged.
class BagError : public RuntimeError {
 public:
  BagError(ks_hresult result, const std::string& description)
      : RuntimeError(0, description), result_(result) {}
  ks_hresult result() const noexcept { return result_; }

 private:
  ks_hresult result_;
};

// A host's ks_property_bag as the PropertyBag that loading and saving use. Read passes the
// default in the value and takes KS_E_INVALIDARG as "nothing stored": the default is returned.
// A failure of the bag raises BagError; a value that is no font of this library, Type mismatch.
// Holds no reference to the bag: it lives for one Load or Save.
class HostBag final : public PropertyBag {
 public:
  HostBag(ks_property_bag* bag, ks_error_log* log, FontObjects& fonts) noexcept
      : bag_(bag), log_(log), fonts_(fonts) {}

  Variant ReadProperty(const String& name, const Variant& default_value) override;
  void WriteProperty(const String& name, const Variant& value,
                     const Variant& default_value) override;

  // The name of the last Read or Write, or empty.
  const String& current() const noexcept { return current_; }

 private:
  void ToHost(const Variant& v, ks_variant* out);

  ks_property_bag* bag_;
  ks_error_log* log_;
  FontObjects& fonts_;
  String current_;
};

// --- The C description of the type library ---------------------------------------------------
const ks_typelib_desc& TypeLibraryDesc();
const ks_interface_desc& DefaultInterfaceDesc();
const ks_interface_desc& EventInterfaceDesc();
ks_typeinfo* TypeInfoFor(const ks_interface_desc* desc) noexcept;  // a new reference

// --- Instances -------------------------------------------------------------------------------
// Creates an instance on `loop` and asks it for `iid`.
ks_hresult CreateControl(const std::shared_ptr<platform::EventLoop>& loop, const ks_guid* iid,
                         void** out);
// The loop of the calling thread (KsLoopSetCurrent), or null.
ks_loop* CurrentLoop() noexcept;

// --- Registration ----------------------------------------------------------------------------
std::string RegistryPath();
void Register();    // raises RuntimeError
void Unregister();  // raises RuntimeError

}  // namespace kestrel::control::runtime
