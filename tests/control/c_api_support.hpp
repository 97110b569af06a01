#pragma once
// Small C++ helpers for tests that drive libkestrel_snpp.so through its C interface only.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kestrel/kestrel_snpp.h"

namespace kestrel::testing {

template <typename I>
void Release(I*& p) {
  if (p != nullptr) p->vtbl->Release(p);
  p = nullptr;
}

inline std::string Text(ks_string s) {
  return std::string(s, KsStringLen(s));
}

// A host's site: records change notices and may refuse them; offers its own font object as the
// ambient font when it holds one (a new library font otherwise), or fails to offer any.
struct Site {
  ks_site base;
  int refs = 1;
  std::vector<std::pair<int32_t, std::string>> notices;
  bool refuse = false;
  ks_dispatch* font = nullptr;  // not owned: the test releases it
  bool no_font = false;

  Site();
};

inline Site* SiteOf(ks_site* s) {
  return reinterpret_cast<Site*>(s);
}

inline const ks_site_vtbl kSiteVtbl{
    [](ks_site*, const ks_guid*, void** out) -> ks_hresult {
      *out = nullptr;
      return KS_E_NOINTERFACE;
    },
    [](ks_site* self) -> uint32_t { return static_cast<uint32_t>(++SiteOf(self)->refs); },
    [](ks_site* self) -> uint32_t { return static_cast<uint32_t>(--SiteOf(self)->refs); },
    [](ks_site* self, int32_t dispid, const char* name) -> ks_hresult {
      SiteOf(self)->notices.emplace_back(dispid, name);
      return SiteOf(self)->refuse ? KS_E_FAIL : KS_S_OK;
    },
    [](ks_site* self, ks_dispatch** font) -> ks_hresult {
      Site* site = SiteOf(self);
      *font = nullptr;
      if (site->no_font) return KS_E_FAIL;
      if (site->font == nullptr) return KsFontCreate(font);
      site->font->vtbl->AddRef(site->font);
      *font = site->font;
      return KS_S_OK;
    },
};

inline Site::Site() : base{&kSiteVtbl} {}

}  // namespace kestrel::testing
