/* send_page: one page through libkestrel_snpp from C.
 *
 *   cc -o send_page send_page.c $(pkg-config --cflags --libs kestrel-snpp)
 *   ./send_page pager.example.net 444 5551234 "db1 disk full"
 */
#include <kestrel/kestrel_snpp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The event sink: a dispatch object of ours that the control calls with OnComplete or OnError. */
typedef struct {
  ks_dispatch base;
  int outcome; /* 0 waiting, 1 delivered, 2 failed */
  char text[512];
} sink;

static ks_hresult sink_qi(ks_dispatch* self, const ks_guid* iid, void** out) {
  *out = self; /* it answers every interface the control asks a sink for */
  (void)iid;
  return KS_S_OK;
}
static uint32_t sink_ref(ks_dispatch* self) { /* lives on main's stack */
  (void)self;
  return 1;
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
  if (dispid != KS_DISPID_OnComplete && dispid != KS_DISPID_OnError) return KS_S_OK;
  ks_string text = *params->rgvarg[0].u.pbstrVal; /* one String, by reference */
  snprintf(s->text, sizeof s->text, "%s", text ? text : "");
  s->outcome = dispid == KS_DISPID_OnComplete ? 1 : 2;
  return KS_S_OK;
}
static const ks_dispatch_vtbl sink_vtbl = {sink_qi,       sink_ref,   sink_ref,   sink_count,
                                           sink_typeinfo, sink_names, sink_invoke};

/* Sets a property by name: a String, or a Long when `text` is NULL. */
static ks_hresult put(ks_dispatch* control, const char* name, const char* text, int32_t number) {
  int32_t id, named = KS_DISPID_PROPERTYPUT;
  ks_hresult hr = control->vtbl->GetIDsOfNames(control, NULL, &name, 1, 0, &id);
  if (KS_FAILED(hr)) return hr;
  ks_variant value;
  KsVariantInit(&value);
  if (text != NULL) {
    value.vt = KS_VT_BSTR;
    value.u.bstrVal = KsStringFromUtf8(text);
  } else {
    value.vt = KS_VT_I4;
    value.u.lVal = number;
  }
  ks_dispparams args = {&value, &named, 1, 1};
  ks_excepinfo error = {0};
  hr = control->vtbl->Invoke(control, id, NULL, 0, KS_DISPATCH_PROPERTYPUT, &args, NULL, &error,
                             NULL);
  if (KS_FAILED(hr)) fprintf(stderr, "send_page: %s: %s\n", name, error.description);
  KsExcepInfoClear(&error);
  KsVariantClear(&value);
  return hr;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: send_page HOST PORT PAGER MESSAGE\n");
    return 2;
  }
  /* The host owns the event loop; instances bind to the thread's current loop. */
  ks_loop* loop = KsLoopCreate();
  KsLoopSetCurrent(loop);

  ks_class_factory* factory = NULL;
  ks_dispatch* control = NULL;
  if (KS_FAILED(
          DllGetClassObject(&KS_CLSID_SNPPInstance, &KS_IID_IClassFactory, (void**)&factory)) ||
      KS_FAILED(
          factory->vtbl->CreateInstance(factory, NULL, &KS_IID__SNPPInstance, (void**)&control))) {
    ks_string why = KsGetLastErrorText();
    fprintf(stderr, "send_page: cannot create the control: %s\n", why ? why : "");
    return 1;
  }

  /* Connect the sink to the control's events. */
  sink events = {{&sink_vtbl}, 0, ""};
  ks_connection_point_container* container = NULL;
  ks_connection_point* point = NULL;
  uint32_t cookie = 0;
  control->vtbl->QueryInterface(control, &KS_IID_IConnectionPointContainer, (void**)&container);
  container->vtbl->FindConnectionPoint(container, &KS_DIID___SNPPInstance, &point);
  point->vtbl->Advise(point, (ks_unknown*)&events.base, &cookie);

  int ok = KS_SUCCEEDED(put(control, "Server", argv[1], 0)) &&
           KS_SUCCEEDED(put(control, "ServerPort", NULL, atoi(argv[2]))) &&
           KS_SUCCEEDED(put(control, "Recipient", argv[3], 0)) &&
           KS_SUCCEEDED(put(control, "Message", argv[4], 0));

  /* Send returns at once; the outcome arrives as an event while the loop runs. */
  const char* send = "Send";
  int32_t send_id;
  ks_dispparams none = {NULL, NULL, 0, 0};
  if (ok && KS_SUCCEEDED(control->vtbl->GetIDsOfNames(control, NULL, &send, 1, 0, &send_id)) &&
      KS_SUCCEEDED(control->vtbl->Invoke(control, send_id, NULL, 0, KS_DISPATCH_METHOD, &none, NULL,
                                         NULL, NULL))) {
    for (int waited = 0; events.outcome == 0 && waited < 600; ++waited) KsLoopRunFor(loop, 100);
  }
  if (events.outcome == 1) printf("delivered: %s\n", events.text);
  if (events.outcome == 2) printf("failed: %s\n", events.text);
  if (ok && events.outcome == 0) printf("failed: no outcome within 60 seconds\n");

  point->vtbl->Unadvise(point, cookie);
  point->vtbl->Release(point);
  container->vtbl->Release(container);
  control->vtbl->Release(control);
  factory->vtbl->Release(factory);
  KsLoopSetCurrent(NULL);
  KsLoopDestroy(loop);
  return events.outcome == 1 ? 0 : 1;
}
