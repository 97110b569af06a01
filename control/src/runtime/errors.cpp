// What the C interface tells a host about a failure: the one mapping from exception to result,
// the per-thread last-error text, and exception information.

#include <cstdio>
#include <cstring>
#include <optional>

#include "kestrel/control/dispatch.hpp"
#include "kestrel/control/messages.hpp"
#include "kestrel/platform/error.hpp"
#include "runtime.hpp"

namespace kestrel::control::runtime {
namespace {

// Per thread, like the objects whose failures it describes.
thread_local std::optional<std::string> t_last_error;

}  // namespace

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

void FillExcepInfo(ks_excepinfo* info, std::int32_t number, std::string_view description,
                   ks_hresult scode) noexcept {
  if (info == nullptr) return;
  info->code = number;
  info->scode = scode;
  info->source = KsStringAlloc("KestrelSNPPControl.SNPPInstance", 31);
  info->description =
      KsStringAlloc(description.data(), static_cast<std::uint32_t>(description.size()));
}

}  // namespace kestrel::control::runtime

using namespace kestrel::control;
using namespace kestrel::control::runtime;

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
