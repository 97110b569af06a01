/*
 * A host program in plain C for libkestrel_snpp.so: loads the library with dlopen, creates the
 * control through its class object, sets properties by name, connects an event sink, sends a
 * page that the server accepts (OnComplete) and one that it refuses (OnError), saves the
 * control's settings to a file and pages again with a second control loaded from it, releases
 * everything and checks that the library may be unloaded.
 *
 *   c_host LIBRARY HOST PORT GOOD_PAGER REFUSED_PAGER [CA_FILE]
 *
 * With CA_FILE the server speaks TLS: the host turns TLS on for each control through ks_control's
 * SetTls, trusting that CA, after checking that a CA file that cannot be read is refused and
 * that without the CA the server is not trusted.
 *
 * Exit status 0 when every step went as expected; otherwise the failing step is printed.
 */
#define _POSIX_C_SOURCE 200809L

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "kestrel/kestrel_snpp.h"

static const ks_guid kClsid = KS_CLSID_SNPPInstance_INIT;
static const ks_guid kIidInstance = KS_IID__SNPPInstance_INIT;
static const ks_guid kDiidEvents = KS_DIID___SNPPInstance_INIT;
static const ks_guid kIidUnknown = KS_IID_IUnknown_INIT;
static const ks_guid kIidDispatch = KS_IID_IDispatch_INIT;
static const ks_guid kIidFactory = KS_IID_IClassFactory_INIT;
static const ks_guid kIidContainer = KS_IID_IConnectionPointContainer_INIT;
static const ks_guid kIidKsControl = KS_IID_KsControl_INIT;

/* The functions taken from the library. */
static struct {
  ks_DllGetClassObject_fn DllGetClassObject;
  ks_DllCanUnloadNow_fn DllCanUnloadNow;
  ks_loop* (*LoopCreate)(void);
  void (*LoopDestroy)(ks_loop*);
  ks_hresult (*LoopSetCurrent)(ks_loop*);
  size_t (*LoopRunFor)(ks_loop*, uint32_t);
  ks_string (*StringFromUtf8)(const char*);
  uint32_t (*StringLen)(ks_string);
  void (*StringFree)(ks_string);
  ks_hresult (*VariantClear)(ks_variant*);
  void (*ExcepInfoClear)(ks_excepinfo*);
  ks_KsSettingsLoad_fn SettingsLoad;
  ks_KsSettingsSave_fn SettingsSave;
  ks_string (*GetLastErrorText)(void);
} lib;

static int failures = 0;

#define CHECK(cond, ...)                             \
  do {                                               \
    if (!(cond)) {                                   \
      fprintf(stderr, "c_host: FAILED %s: ", #cond); \
      fprintf(stderr, __VA_ARGS__);                  \
      fprintf(stderr, "\n");                         \
      ++failures;                                    \
    }                                                \
  } while (0)

static int same_guid(const ks_guid* a, const ks_guid* b) {
  return memcmp(a, b, sizeof *a) == 0;
}

/* ---- The event sink: an IDispatch-like object of ours ---------------------------------------- */

typedef struct sink {
  ks_dispatch base;
  int refs;
  int completions;
  int errors;
  int others;
  char last[512];
  int rewrite_error; /* assign a text of our own to ErrorDescription */
} sink;

static ks_hresult sink_qi(ks_dispatch* self, const ks_guid* iid, void** out) {
  if (same_guid(iid, &kIidUnknown) || same_guid(iid, &kIidDispatch) ||
      same_guid(iid, &kDiidEvents)) {
    ((sink*)self)->refs++;
    *out = self;
    return KS_S_OK;
  }
  *out = NULL;
  return KS_E_NOINTERFACE;
}
static uint32_t sink_addref(ks_dispatch* self) {
  return (uint32_t)++((sink*)self)->refs;
}
static uint32_t sink_release(ks_dispatch* self) {
  return (uint32_t)--((sink*)self)->refs;
}
static ks_hresult sink_count(ks_dispatch* self, uint32_t* n) {
  (void)self;
  *n = 0;
  return KS_S_OK;
}
static ks_hresult sink_typeinfo(ks_dispatch* self, uint32_t i, uint32_t lcid, ks_typeinfo** out) {
  (void)self, (void)i, (void)lcid;
  *out = NULL;
  return KS_E_NOTIMPL;
}
static ks_hresult sink_names(ks_dispatch* self, const ks_guid* iid, const char** names, uint32_t n,
                             uint32_t lcid, int32_t* ids) {
  (void)self, (void)iid, (void)names, (void)n, (void)lcid, (void)ids;
  return KS_E_NOTIMPL;
}
static ks_hresult sink_invoke(ks_dispatch* self, int32_t dispid, const ks_guid* iid, uint32_t lcid,
                              uint16_t flags, ks_dispparams* params, ks_variant* result,
                              ks_excepinfo* info, uint32_t* arg_error) {
  sink* s = (sink*)self;
  (void)iid, (void)lcid, (void)flags, (void)result, (void)info, (void)arg_error;
  if (dispid != KS_DISPID_OnError && dispid != KS_DISPID_OnComplete) {
    s->others++;
    return KS_S_OK;
  }
  if (params->cArgs != 1 || params->rgvarg[0].vt != (KS_VT_BYREF | KS_VT_BSTR)) {
    s->others++;
    return KS_E_INVALIDARG;
  }
  ks_string* text = params->rgvarg[0].u.pbstrVal;
  snprintf(s->last, sizeof s->last, "%s", *text ? *text : "");
  if (dispid == KS_DISPID_OnComplete) {
    s->completions++;
  } else {
    s->errors++;
    if (s->rewrite_error) { /* by reference: the control keeps what we leave here */
      lib.StringFree(*text);
      *text = lib.StringFromUtf8("seen by the C host");
    }
  }
  return KS_S_OK;
}
static const ks_dispatch_vtbl sink_vtbl = {sink_qi,       sink_addref, sink_release, sink_count,
                                           sink_typeinfo, sink_names,  sink_invoke};

/* ---- Calls by name ----------------------------------------------------------------------------
 */

static int32_t id_of(ks_dispatch* d, const char* name) {
  int32_t id = KS_DISPID_UNKNOWN;
  ks_hresult hr = d->vtbl->GetIDsOfNames(d, NULL, &name, 1, 0, &id);
  CHECK(hr == KS_S_OK, "GetIDsOfNames(%s) = 0x%08X", name, (unsigned)hr);
  return id;
}

static ks_hresult invoke(ks_dispatch* d, const char* name, uint16_t flags, ks_variant* arg,
                         ks_variant* result) {
  int32_t named = KS_DISPID_PROPERTYPUT;
  ks_dispparams params = {arg, arg ? &named : NULL, arg ? 1u : 0u,
                          (arg && (flags & KS_DISPATCH_PROPERTYPUT)) ? 1u : 0u};
  ks_excepinfo info;
  memset(&info, 0, sizeof info);
  ks_hresult hr = d->vtbl->Invoke(d, id_of(d, name), NULL, 0, flags, &params, result, &info, NULL);
  if (KS_FAILED(hr)) {
    fprintf(stderr, "c_host: %s failed: 0x%08X, error %d: %s\n", name, (unsigned)hr, (int)info.code,
            info.description ? info.description : "");
  }
  lib.ExcepInfoClear(&info);
  return hr;
}

static void put_string(ks_dispatch* d, const char* name, const char* value) {
  ks_variant v;
  memset(&v, 0, sizeof v);
  v.vt = KS_VT_BSTR;
  v.u.bstrVal = lib.StringFromUtf8(value);
  CHECK(invoke(d, name, KS_DISPATCH_PROPERTYPUT, &v, NULL) == KS_S_OK, "put %s", name);
  lib.VariantClear(&v);
}

static void put_long(ks_dispatch* d, const char* name, int32_t value) {
  ks_variant v;
  memset(&v, 0, sizeof v);
  v.vt = KS_VT_I4;
  v.u.lVal = value;
  CHECK(invoke(d, name, KS_DISPATCH_PROPERTYPUT, &v, NULL) == KS_S_OK, "put %s", name);
}

/* Reads a property as text (a String) or a number (a Long). */
static void get_string(ks_dispatch* d, const char* name, char* text, size_t size) {
  ks_variant r;
  memset(&r, 0, sizeof r);
  CHECK(invoke(d, name, KS_DISPATCH_PROPERTYGET, NULL, &r) == KS_S_OK, "get %s", name);
  snprintf(text, size, "%s", (r.vt == KS_VT_BSTR && r.u.bstrVal) ? r.u.bstrVal : "");
  lib.VariantClear(&r);
}
static int32_t get_long(ks_dispatch* d, const char* name) {
  ks_variant r;
  memset(&r, 0, sizeof r);
  CHECK(invoke(d, name, KS_DISPATCH_PROPERTYGET, NULL, &r) == KS_S_OK, "get %s", name);
  return r.vt == KS_VT_I4 ? r.u.lVal : -1;
}

/* The library's text for its last failure, for messages. */
static const char* last_error(void) {
  static char text[512];
  ks_string s = lib.GetLastErrorText();
  snprintf(text, sizeof text, "%s", s ? s : "(none)");
  lib.StringFree(s);
  return text;
}

/* Connects the sink to the control's events; returns the connection point (a reference). */
static ks_connection_point* advise(ks_dispatch* d, sink* events, uint32_t* cookie) {
  ks_connection_point_container* container = NULL;
  ks_connection_point* point = NULL;
  *cookie = 0;
  if (d->vtbl->QueryInterface(d, &kIidContainer, (void**)&container) != KS_S_OK) return NULL;
  container->vtbl->FindConnectionPoint(container, &kDiidEvents, &point);
  container->vtbl->Release(container);
  if (point != NULL) point->vtbl->Advise(point, (ks_unknown*)&events->base, cookie);
  return point;
}

/* Calls a method without arguments; copies a String result into `text` (may be NULL). */
static void call(ks_dispatch* d, const char* name, char* text, size_t size) {
  ks_variant r;
  memset(&r, 0, sizeof r);
  CHECK(invoke(d, name, KS_DISPATCH_METHOD, NULL, &r) == KS_S_OK, "call %s", name);
  if (text != NULL) {
    CHECK(r.vt == KS_VT_BSTR, "%s gives a String, not type %u", name, (unsigned)r.vt);
    snprintf(text, size, "%s", (r.vt == KS_VT_BSTR && r.u.bstrVal) ? r.u.bstrVal : "");
  }
  lib.VariantClear(&r);
}

/* Runs the loop until `*counter` has grown past `before`, for at most `seconds`. */
static int wait_for(ks_loop* loop, const int* counter, int before, int seconds) {
  struct timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (*counter > before) return 1;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec >= seconds) return 0;
    lib.LoopRunFor(loop, 50);
  }
}

static void* need(void* handle, const char* name) {
  void* f = dlsym(handle, name);
  if (f == NULL) {
    fprintf(stderr, "c_host: the library has no %s; build libkestrel_snpp.so again\n", name);
    exit(2);
  }
  return f;
}

/* Turns TLS on for the control's next Send, trusting `ca_file` (NULL: the system's CAs). */
static ks_hresult use_tls(ks_dispatch* d, const char* ca_file) {
  ks_control* kc = NULL;
  if (d->vtbl->QueryInterface(d, &kIidKsControl, (void**)&kc) != KS_S_OK) return KS_E_NOINTERFACE;
  ks_tls_settings tls;
  memset(&tls, 0, sizeof tls);
  tls.size = sizeof tls;
  tls.enabled = 1;
  tls.ca_file = ca_file;
  const ks_hresult hr = kc->vtbl->SetTls(kc, &tls);
  kc->vtbl->Release(kc);
  return hr;
}

int main(int argc, char** argv) {
  if (argc != 6 && argc != 7) {
    fprintf(stderr, "usage: c_host LIBRARY HOST PORT GOOD_PAGER REFUSED_PAGER [CA_FILE]\n");
    return 2;
  }
  const char* ca_file = argc == 7 ? argv[6] : NULL;
  void* handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (handle == NULL) {
    fprintf(stderr, "c_host: cannot load %s: %s\n", argv[1], dlerror());
    return 2;
  }
  /* Object pointers to function pointers through memcpy: ISO C has no direct conversion. */
#define LOAD(field, symbol)           \
  do {                                \
    void* p = need(handle, symbol);   \
    memcpy(&lib.field, &p, sizeof p); \
  } while (0)
  LOAD(DllGetClassObject, "DllGetClassObject");
  LOAD(DllCanUnloadNow, "DllCanUnloadNow");
  LOAD(LoopCreate, "KsLoopCreate");
  LOAD(LoopDestroy, "KsLoopDestroy");
  LOAD(LoopSetCurrent, "KsLoopSetCurrent");
  LOAD(LoopRunFor, "KsLoopRunFor");
  LOAD(StringFromUtf8, "KsStringFromUtf8");
  LOAD(StringLen, "KsStringLen");
  LOAD(StringFree, "KsStringFree");
  LOAD(VariantClear, "KsVariantClear");
  LOAD(ExcepInfoClear, "KsExcepInfoClear");
  LOAD(SettingsLoad, "KsSettingsLoad");
  LOAD(SettingsSave, "KsSettingsSave");
  LOAD(GetLastErrorText, "KsGetLastErrorText");
  (void)need(handle, "DllRegisterServer");
  (void)need(handle, "DllUnregisterServer");

  ks_loop* loop = lib.LoopCreate();
  lib.LoopSetCurrent(loop);

  ks_class_factory* factory = NULL;
  ks_hresult hr = lib.DllGetClassObject(&kClsid, &kIidFactory, (void**)&factory);
  CHECK(hr == KS_S_OK && factory != NULL, "DllGetClassObject = 0x%08X", (unsigned)hr);
  if (factory == NULL) return 1;
  ks_dispatch* control = NULL;
  hr = factory->vtbl->CreateInstance(factory, NULL, &kIidInstance, (void**)&control);
  CHECK(hr == KS_S_OK && control != NULL, "CreateInstance = 0x%08X", (unsigned)hr);
  if (control == NULL) return 1;

  put_string(control, "Server", argv[2]);
  put_long(control, "serverport", (int32_t)atol(argv[3])); /* any case, as automation allows */
  put_string(control, "Recipient", argv[4]);
  put_string(control, "Message", "Disk full on host db1");
  put_long(control, "ServerTimeout", 10);

  /* The event sink, through the connection point. */
  sink events;
  memset(&events, 0, sizeof events);
  events.base.vtbl = &sink_vtbl;
  events.refs = 1;
  ks_connection_point_container* container = NULL;
  ks_connection_point* point = NULL;
  uint32_t cookie = 0;
  CHECK(control->vtbl->QueryInterface(control, &kIidContainer, (void**)&container) == KS_S_OK,
        "no connection point container");
  CHECK(container->vtbl->FindConnectionPoint(container, &kDiidEvents, &point) == KS_S_OK,
        "no event connection point");
  CHECK(point->vtbl->Advise(point, (ks_unknown*)&events.base, &cookie) == KS_S_OK && cookie != 0,
        "Advise");

  char text[512];
  if (ca_file != NULL) {
    /* 0. TLS: a CA file that cannot be read is refused at once; without the test CA the
     * server's certificate is not trusted, and nothing is sent. */
    hr = use_tls(control, "/nonexistent/ca.pem");
    CHECK(hr == KS_E_INVALIDARG, "SetTls with a missing CA file = 0x%08X", (unsigned)hr);
    CHECK(strstr(last_error(), "/nonexistent/ca.pem could not be used") != NULL, "the text: %s",
          last_error());
    CHECK(use_tls(control, NULL) == KS_S_OK, "SetTls with the system's CAs: %s", last_error());
    call(control, "Send", NULL, 0);
    CHECK(wait_for(loop, &events.errors, 0, 15), "no OnError for an untrusted server");
    CHECK(strstr(events.last, "is not trusted") != NULL, "OnError carries \"%s\"", events.last);
    call(control, "getLastError", text, sizeof text);
    CHECK(atoi(text) == KS_ERR_TLS_UNTRUSTED, "getLastError is \"%s\"", text);
    call(control, "CloseConnect", NULL, 0);
    events.errors = 0;
    CHECK(use_tls(control, ca_file) == KS_S_OK, "SetTls with the test CA: %s", last_error());
  }

  /* 1. A page the server accepts: OnComplete with the delivery reply. */
  call(control, "Send", text, sizeof text);
  CHECK(text[0] == '\0', "Send returns the empty string, not \"%s\"", text);
  CHECK(wait_for(loop, &events.completions, 0, 15), "no OnComplete within 15 s (errors: %d, %s)",
        events.errors, events.last);
  CHECK(strncmp(events.last, "250", 3) == 0, "OnComplete carries \"%s\"", events.last);
  call(control, "getLastReply", text, sizeof text);
  CHECK(strcmp(text, events.last) == 0, "getLastReply \"%s\" is the reply \"%s\"", text,
        events.last);

  /* 2. A refused pager: OnError with the server's refusal; what the sink assigns stays. */
  call(control, "CloseConnect", NULL, 0);
  put_string(control, "Recipient", argv[5]);
  events.rewrite_error = 1;
  call(control, "Send", NULL, 0);
  CHECK(wait_for(loop, &events.errors, 0, 15), "no OnError within 15 s");
  CHECK(events.last[0] == '5' || events.last[0] == '4', "OnError carries the refusal, not \"%s\"",
        events.last);
  call(control, "getLastErrorDescription", text, sizeof text);
  CHECK(strcmp(text, "seen by the C host") == 0, "getLastErrorDescription is \"%s\"", text);
  CHECK(events.completions == 1, "%d completions", events.completions);
  CHECK(events.others == 0, "%d other events were raised", events.others);
  call(control, "CloseConnect", NULL, 0);

  /* 3. Keep the settings in a file; a second control loaded from it pages the same server. */
  char dir[] = "/tmp/c_host-XXXXXX";
  char path[64];
  CHECK(mkdtemp(dir) != NULL, "cannot make a temporary folder");
  snprintf(path, sizeof path, "%s/pager.json", dir);
  CHECK(lib.SettingsLoad((ks_unknown*)control, path) == KS_STG_E_FILENOTFOUND,
        "KsSettingsLoad of a file not yet saved");
  put_string(control, "Recipient", argv[4]);
  hr = lib.SettingsSave((ks_unknown*)control, path);
  CHECK(hr == KS_S_OK, "KsSettingsSave = 0x%08X: %s", (unsigned)hr, last_error());
  struct stat st;
  CHECK(stat(path, &st) == 0 && (st.st_mode & 0777) == 0600, "the settings file is not 0600");

  ks_dispatch* second = NULL;
  hr = factory->vtbl->CreateInstance(factory, NULL, &kIidInstance, (void**)&second);
  CHECK(hr == KS_S_OK && second != NULL, "CreateInstance (second) = 0x%08X", (unsigned)hr);
  if (second == NULL) return 1;
  hr = lib.SettingsLoad((ks_unknown*)second, path);
  CHECK(hr == KS_S_OK, "KsSettingsLoad = 0x%08X: %s", (unsigned)hr, last_error());
  if (ca_file != NULL) CHECK(use_tls(second, ca_file) == KS_S_OK, "SetTls (second)");
  get_string(second, "Server", text, sizeof text);
  CHECK(strcmp(text, argv[2]) == 0, "the loaded Server is \"%s\"", text);
  CHECK(get_long(second, "ServerPort") == (int32_t)atol(argv[3]), "the loaded ServerPort");
  get_string(second, "Message", text, sizeof text);
  CHECK(strcmp(text, "Disk full on host db1") == 0, "the loaded Message is \"%s\"", text);

  uint32_t second_cookie = 0;
  ks_connection_point* second_point = advise(second, &events, &second_cookie);
  CHECK(second_point != NULL && second_cookie != 0, "Advise (second)");
  events.last[0] = '\0';
  call(second, "Send", NULL, 0);
  CHECK(wait_for(loop, &events.completions, 1, 15), "no OnComplete from the loaded control");
  CHECK(strncmp(events.last, "250", 3) == 0, "OnComplete carries \"%s\"", events.last);
  call(second, "CloseConnect", NULL, 0);
  if (second_point != NULL) {
    CHECK(second_point->vtbl->Unadvise(second_point, second_cookie) == KS_S_OK, "Unadvise");
    second_point->vtbl->Release(second_point);
  }
  second->vtbl->Release(second);
  unlink(path);
  rmdir(dir);

  /* 4. Let go of everything; then the library may be unloaded. */
  CHECK(point->vtbl->Unadvise(point, cookie) == KS_S_OK, "Unadvise");
  point->vtbl->Release(point);
  container->vtbl->Release(container);
  CHECK(lib.DllCanUnloadNow() == KS_S_FALSE, "objects are still alive");
  control->vtbl->Release(control);
  factory->vtbl->Release(factory);
  lib.LoopSetCurrent(NULL);
  lib.LoopDestroy(loop);
  CHECK(events.refs == 1, "the sink still has %d references from the control", events.refs - 1);
  CHECK(lib.DllCanUnloadNow() == KS_S_OK, "DllCanUnloadNow says no after everything was released");
  dlclose(handle);

  if (failures == 0) {
    printf(
        "c_host: OnComplete and OnError received; settings saved and reloaded; library "
        "unloadable\n");
  }
  return failures == 0 ? 0 : 1;
}
