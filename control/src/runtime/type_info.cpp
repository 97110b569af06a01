// The type library's description in the C header's terms, built once from the C++ tables, and
// the type information objects that hand out one interface of it.

#include <array>
#include <vector>

#include "runtime.hpp"

namespace kestrel::control::runtime {
namespace {

ks_vartype VarTypeOf(DeclaredType type) {
  switch (type) {
    case DeclaredType::kVoid:
      return KS_VT_EMPTY;
    case DeclaredType::kInteger:
      return KS_VT_I2;
    case DeclaredType::kLong:
      return KS_VT_I4;
    case DeclaredType::kSingle:
      return KS_VT_R4;
    case DeclaredType::kBoolean:
      return KS_VT_BOOL;
    case DeclaredType::kString:
      return KS_VT_BSTR;
    case DeclaredType::kVariant:
      return KS_VT_VARIANT;
    case DeclaredType::kFont:
      return KS_VT_DISPATCH;
  }
  return KS_VT_EMPTY;
}

uint16_t InvokeKindsOf(MemberKind kind) {
  switch (kind) {
    case MemberKind::kProperty:
      return KS_DISPATCH_PROPERTYGET | KS_DISPATCH_PROPERTYPUT;
    case MemberKind::kPropertyByRef:
      return KS_DISPATCH_PROPERTYGET | KS_DISPATCH_PROPERTYPUTREF;
    case MemberKind::kMethod:
      return KS_DISPATCH_METHOD;
  }
  return 0;
}

// Every string_view of the tables views a string literal, so data() is NUL-terminated.
const char* CString(std::string_view literal) {
  return literal.data();
}

struct Description {
  std::vector<ks_member_desc> members;
  std::vector<std::vector<ks_param_desc>> event_params;
  std::vector<ks_member_desc> events;
  std::array<ks_interface_desc, 2> interfaces{};
  ks_class_desc coclass{};
  ks_typelib_desc library{};

  Description() {
    const auto& tl = TheTypeLibrary();
    for (const auto& m : DefaultInterfaceMembers()) {
      members.push_back({m.dispid, CString(m.name), InvokeKindsOf(m.kind), VarTypeOf(m.type),
                         CString(TypeName(m.type)), 0, nullptr});
    }
    for (const auto& e : EventInterfaceMembers()) {
      auto& params = event_params.emplace_back();
      for (const auto& p : e.params) {
        params.push_back({CString(p.name), static_cast<ks_vartype>(KS_VT_BYREF | VarTypeOf(p.type)),
                          CString(TypeName(p.type)), KS_PARAMFLAG_FIN | KS_PARAMFLAG_FOUT});
      }
    }
    for (std::size_t i = 0; i < EventInterfaceMembers().size(); ++i) {
      const auto& e = EventInterfaceMembers()[i];
      const auto& params = event_params[i];
      events.push_back({e.dispid, CString(e.name), KS_DISPATCH_METHOD, KS_VT_EMPTY, "Void",
                        static_cast<uint32_t>(params.size()),
                        params.empty() ? nullptr : params.data()});
    }
    interfaces[0] = {CString(tl.default_interface.name), ToKs(tl.default_interface.iid),
                     tl.default_interface.flags, static_cast<uint32_t>(members.size()),
                     members.data()};
    interfaces[1] = {CString(tl.event_interface.name), ToKs(tl.event_interface.iid),
                     tl.event_interface.flags, static_cast<uint32_t>(events.size()), events.data()};
    coclass = {CString(tl.coclass.name),
               ToKs(tl.coclass.clsid),
               CString(tl.coclass.prog_id),
               CString(tl.coclass.threading_model),
               tl.coclass.misc_status,
               tl.coclass.is_control ? uint32_t{KS_TYPEFLAG_FCONTROL} : 0u,
               tl.coclass.toolbox_bitmap,
               &interfaces[0],
               &interfaces[1]};
    library = {CString(tl.name),
               CString(tl.help_string),
               ToKs(tl.libid),
               tl.major,
               tl.minor,
               tl.lcid,
               tl.published_lcid,
               CString(tl.platform),
               CString(tl.imported.file),
               &coclass,
               static_cast<uint32_t>(interfaces.size()),
               interfaces.data()};
  }
};

const Description& TheDescription() {
  static const Description d;  // built on first use, thread-safe
  return d;
}

// --- Type information objects: one static object per interface -------------------------------

struct TypeInfoObject {
  const ks_typeinfo_vtbl* vtbl;
  const ks_interface_desc* desc;
  std::atomic<std::uint32_t> refs{0};
};

TypeInfoObject* Self(ks_typeinfo* t) {
  return reinterpret_cast<TypeInfoObject*>(t);
}

const ks_typeinfo_vtbl kTypeInfoVtbl{
    [](ks_typeinfo* self, const ks_guid* iid, void** out) -> ks_hresult {
      if (out == nullptr) return KS_E_POINTER;
      *out = nullptr;
      if (iid == nullptr) return KS_E_POINTER;
      if (!Same(*iid, KS_IID_IUnknown) && !Same(*iid, KS_IID_KsTypeInfo)) {
        return KS_E_NOINTERFACE;
      }
      StaticAddRef(Self(self)->refs);
      *out = self;
      return KS_S_OK;
    },
    [](ks_typeinfo* self) -> uint32_t { return StaticAddRef(Self(self)->refs); },
    [](ks_typeinfo* self) -> uint32_t { return StaticRelease(Self(self)->refs); },
    [](ks_typeinfo* self, const ks_interface_desc** out) -> ks_hresult {
      if (out == nullptr) return KS_E_POINTER;
      *out = Self(self)->desc;
      return KS_S_OK;
    },
    [](ks_typeinfo*, const ks_typelib_desc** out) -> ks_hresult {
      if (out == nullptr) return KS_E_POINTER;
      *out = &TypeLibraryDesc();
      return KS_S_OK;
    },
};

}  // namespace

const ks_typelib_desc& TypeLibraryDesc() {
  return TheDescription().library;
}
const ks_interface_desc& DefaultInterfaceDesc() {
  return TheDescription().interfaces[0];
}
const ks_interface_desc& EventInterfaceDesc() {
  return TheDescription().interfaces[1];
}

ks_typeinfo* TypeInfoFor(const ks_interface_desc* desc) noexcept {
  static TypeInfoObject objects[2] = {{&kTypeInfoVtbl, &DefaultInterfaceDesc(), {}},
                                      {&kTypeInfoVtbl, &EventInterfaceDesc(), {}}};
  for (auto& o : objects) {
    if (o.desc == desc) {
      StaticAddRef(o.refs);
      return reinterpret_cast<ks_typeinfo*>(&o);
    }
  }
  return nullptr;
}

}  // namespace kestrel::control::runtime

extern "C" KS_API const ks_typelib_desc* KsGetTypeLibrary(void) {
  try {
    return &kestrel::control::runtime::TypeLibraryDesc();
  } catch (...) {
    return nullptr;
  }
}
