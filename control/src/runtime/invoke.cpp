// _SNPPInstance: names, type information and Invoke, marshalled between C values and the
// dispatch table.

#include <vector>

#include "control_object.hpp"
#include "kestrel/control/messages.hpp"
#include "kestrel/platform/error.hpp"

namespace kestrel::control::runtime {

const ks_dispatch_vtbl kDispatchVtbl{
    QueryInterfaceOf<ks_dispatch>,
    AddRefOf<ks_dispatch>,
    ReleaseOf<ks_dispatch>,
    [](ks_dispatch*, uint32_t* count) -> ks_hresult {
      if (count == nullptr) return KS_E_POINTER;
      *count = 1;
      return KS_S_OK;
    },
    [](ks_dispatch* self, uint32_t index, uint32_t, ks_typeinfo** out) {
      return Owner(self).GetTypeInfo(index, out);
    },
    [](ks_dispatch* self, const ks_guid* iid, const char** names, uint32_t count, uint32_t,
       int32_t* dispids) { return Owner(self).GetIDsOfNames(iid, names, count, dispids); },
    [](ks_dispatch* self, int32_t dispid, const ks_guid* iid, uint32_t, uint16_t flags,
       ks_dispparams* params, ks_variant* result, ks_excepinfo* info, uint32_t* arg_error) {
      return Owner(self).Invoke(dispid, iid, flags, params, result, info, arg_error);
    },
};

ks_hresult ControlObject::GetTypeInfo(uint32_t index, ks_typeinfo** out) {
  if (out == nullptr) return KS_E_POINTER;
  *out = nullptr;
  if (index != 0) return KS_DISP_E_BADINDEX;
  *out = TypeInfoFor(&DefaultInterfaceDesc());
  return KS_S_OK;
}

ks_hresult ControlObject::GetIDsOfNames(const ks_guid* iid, const char** names, uint32_t count,
                                        int32_t* dispids) {
  if (names == nullptr || dispids == nullptr) return KS_E_POINTER;
  if (iid != nullptr && !Same(*iid, KS_IID_NULL)) return KS_DISP_E_UNKNOWNINTERFACE;
  ks_hresult hr = KS_S_OK;
  for (uint32_t i = 0; i < count; ++i) {
    dispids[i] = KS_DISPID_UNKNOWN;
    // Only names[0] names a member; the rest would be parameter names, and no member has any.
    const auto id = (i == 0 && names[0] != nullptr) ? FindDispId(names[0]) : std::nullopt;
    if (id) {
      dispids[i] = *id;
    } else {
      hr = KS_DISP_E_UNKNOWNNAME;
    }
  }
  if (hr != KS_S_OK && count > 0 && names[0] != nullptr && dispids[0] == KS_DISPID_UNKNOWN) {
    SetLastErrorText(messages::UnknownMemberName(names[0]));
  }
  return hr;
}

ks_hresult ControlObject::Invoke(int32_t dispid, const ks_guid* iid, uint16_t flags,
                                 ks_dispparams* params, ks_variant* result, ks_excepinfo* info,
                                 uint32_t* arg_error) {
  if (result != nullptr) KsVariantInit(result);
  if (iid != nullptr && !Same(*iid, KS_IID_NULL)) return KS_DISP_E_UNKNOWNINTERFACE;
  if (params != nullptr && params->cArgs > 0 && params->rgvarg == nullptr) return KS_E_POINTER;

  // Which of get, put, put-by-reference or call. Late-binding clients ask for "method or get"
  // at once; that is a call for a method and a get for a property.
  const Member* member = FindMember(dispid);
  InvokeKind kind;
  if ((flags & KS_DISPATCH_PROPERTYPUTREF) != 0) {
    kind = InvokeKind::kPutRef;
  } else if ((flags & KS_DISPATCH_PROPERTYPUT) != 0) {
    kind = InvokeKind::kPut;
  } else if ((flags & KS_DISPATCH_METHOD) != 0 &&
             (member == nullptr || member->kind == MemberKind::kMethod ||
              (flags & KS_DISPATCH_PROPERTYGET) == 0)) {
    kind = InvokeKind::kMethod;
  } else if ((flags & KS_DISPATCH_PROPERTYGET) != 0) {
    kind = InvokeKind::kGet;
  } else {
    FillExcepInfo(info, err::kInvalidProcedureCall, messages::kNoInvokeKind, KS_E_INVALIDARG);
    return KS_E_INVALIDARG;
  }

  // A put's value may come as the named argument "property put"; nothing else may be named.
  const uint32_t named = params != nullptr ? params->cNamedArgs : 0;
  const bool puts = kind == InvokeKind::kPut || kind == InvokeKind::kPutRef;
  if (named > 0 && !(puts && named == 1 && params->rgdispidNamedArgs != nullptr &&
                     params->rgdispidNamedArgs[0] == KS_DISPID_PROPERTYPUT)) {
    FillExcepInfo(info, err::kNamedArgumentsNotSupported, messages::kNamedArguments,
                  KS_DISP_E_NONAMEDARGS);
    return KS_DISP_E_NONAMEDARGS;
  }

  // A handler run from inside the call (Send and Connect let pending notifications run) may
  // release the host's last reference; the object stays until the call has returned.
  AddRef();
  const ks_hresult hr = InvokeCall(dispid, kind, params, result, info, arg_error);
  Release();
  return hr;
}

ks_hresult ControlObject::InvokeCall(int32_t dispid, InvokeKind kind, ks_dispparams* params,
                                     ks_variant* result, ks_excepinfo* info, uint32_t* arg_error) {
  const uint32_t argc = params != nullptr ? params->cArgs : 0;
  try {
    std::vector<Variant> args;
    args.reserve(argc);
    for (uint32_t i = argc; i-- > 0;) {  // the last argument comes first in rgvarg
      try {
        args.push_back(FromC(params->rgvarg[i]));
      } catch (const RuntimeError& e) {
        if (arg_error != nullptr) *arg_error = i;
        FillExcepInfo(info, e.number(), e.description(), KS_DISP_E_TYPEMISMATCH);
        return KS_DISP_E_TYPEMISMATCH;
      }
    }
    const Variant value = control::Invoke(*control_, dispid, kind, args);
    if (kind == InvokeKind::kPutRef && argc == 1) {
      const ks_variant& given = params->rgvarg[0];
      if ((given.vt & ~KS_VT_BYREF) == KS_VT_DISPATCH) {
        ks_dispatch* object = (given.vt & KS_VT_BYREF) != 0
                                  ? *static_cast<ks_dispatch**>(given.u.byref)
                                  : given.u.pdispVal;
        RememberFontObject(control_->get_Font(), object);
      }
    }
    if (result != nullptr) {
      if (value.type() == VarType::kObject) {
        result->u.pdispVal = FontObjectFor(value.ToObject());
        result->vt = KS_VT_DISPATCH;
      } else {
        ToC(value, result);
      }
    }
    return KS_S_OK;
  } catch (...) {
    const Failure failure = FailureOf(std::current_exception(), KS_DISP_E_EXCEPTION);
    // An argument that does not convert is the one argument of a put.
    if ((failure.result == KS_DISP_E_TYPEMISMATCH || failure.result == KS_DISP_E_OVERFLOW) &&
        arg_error != nullptr) {
      *arg_error = 0;
    }
    FillExcepInfo(info, failure.number, failure.description, failure.result);
    return failure.result;
  }
}
}  // namespace kestrel::control::runtime
