/*
 * kestrel_snpp.h: the C interface of libkestrel_snpp.so, the SNPP paging control.
 *
 * Pure C (C11 and C++). A host loads the library (dlopen or linking), asks DllGetClassObject for
 * the class object of KS_CLSID_SNPPInstance, creates an instance through it, and then talks to
 * the instance through reference-counted, query-able interfaces laid out as in-process
 * automation objects are:
 *
 *   every interface pointer points at a struct whose first member is a pointer to a table of
 *   function pointers; the table starts with QueryInterface, AddRef and Release; a dispatch
 *   interface goes on with GetTypeInfoCount, GetTypeInfo, GetIDsOfNames and Invoke.
 *
 * Calling convention: the platform's default C convention. Every function returns a
 * ks_hresult (below) unless it says otherwise; out pointers are set to NULL/zero on failure.
 *
 * Threading: an instance belongs to the thread that created it and must be used only there.
 * Its socket and timer run on an event loop (ks_loop) that the host owns and runs on that
 * thread; the control never creates a thread. Create a loop with KsLoopCreate, make it the
 * thread's current loop with KsLoopSetCurrent, then create instances: they bind to that loop.
 * Run the loop (KsLoopRun, KsLoopRunFor, KsLoopPoll) for the network to make progress; the
 * control's events are delivered from inside those calls. Reference counts are atomic, so
 * DllCanUnloadNow and the class object may be used from any thread.
 *
 * Strings: ks_string is a length-prefixed UTF-8 string, in the manner of an automation BSTR.
 * It points at the first character; a 32-bit byte count sits just before it and a NUL just
 * after its last character, so it can be read as a C string (unless it holds NULs itself).
 * Only KsStringAlloc/KsStringFromUtf8 make one and only KsStringFree frees one. NULL is the
 * empty string everywhere. Ownership follows automation: the caller owns what it passes in and
 * frees what it receives (results, out parameters, KsVariantClear); a by-reference string
 * argument may be freed and replaced by the callee.
 *
 * Names (GetIDsOfNames) are plain NUL-terminated UTF-8 and are matched without regard to case.
 */
#ifndef KESTREL_KESTREL_SNPP_H_
#define KESTREL_KESTREL_SNPP_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(KESTREL_SNPP_BUILDING)
#define KS_API __attribute__((visibility("default")))
#else
#define KS_API
#endif

/* ---- Result codes ---------------------------------------------------------------------------
 * Negative (top bit set) is a failure. The values are the customary ones of in-process
 * automation servers, so hosts that know those can test them as they are used to. */
typedef int32_t ks_hresult;

#define KS_SUCCEEDED(hr) ((ks_hresult)(hr) >= 0)
#define KS_FAILED(hr) ((ks_hresult)(hr) < 0)

#define KS_S_OK ((ks_hresult)0)
#define KS_S_FALSE ((ks_hresult)1)
#define KS_E_NOTIMPL ((ks_hresult)0x80004001)
#define KS_E_NOINTERFACE ((ks_hresult)0x80004002)
#define KS_E_POINTER ((ks_hresult)0x80004003)
#define KS_E_FAIL ((ks_hresult)0x80004005)
#define KS_E_UNEXPECTED ((ks_hresult)0x8000FFFF)
#define KS_E_OUTOFMEMORY ((ks_hresult)0x8007000E)
#define KS_E_INVALIDARG ((ks_hresult)0x80070057)
#define KS_CLASS_E_NOAGGREGATION ((ks_hresult)0x80040110)
#define KS_CLASS_E_CLASSNOTAVAILABLE ((ks_hresult)0x80040111)
/* CreateInstance on a thread that has no current event loop (KsLoopSetCurrent). */
#define KS_CO_E_NOTINITIALIZED ((ks_hresult)0x800401F0)
#define KS_DISP_E_UNKNOWNINTERFACE ((ks_hresult)0x80020001)
#define KS_DISP_E_MEMBERNOTFOUND ((ks_hresult)0x80020003)
#define KS_DISP_E_PARAMNOTFOUND ((ks_hresult)0x80020004)
#define KS_DISP_E_TYPEMISMATCH ((ks_hresult)0x80020005)
#define KS_DISP_E_UNKNOWNNAME ((ks_hresult)0x80020006)
#define KS_DISP_E_NONAMEDARGS ((ks_hresult)0x80020007)
#define KS_DISP_E_BADVARTYPE ((ks_hresult)0x80020008)
#define KS_DISP_E_EXCEPTION ((ks_hresult)0x80020009)
#define KS_DISP_E_OVERFLOW ((ks_hresult)0x8002000A)
#define KS_DISP_E_BADINDEX ((ks_hresult)0x8002000B)
#define KS_DISP_E_BADPARAMCOUNT ((ks_hresult)0x8002000E)
#define KS_CONNECT_E_NOCONNECTION ((ks_hresult)0x80040200)
#define KS_CONNECT_E_CANNOTCONNECT ((ks_hresult)0x80040202)
#define KS_SELFREG_E_TYPELIB ((ks_hresult)0x80040200)
#define KS_SELFREG_E_CLASS ((ks_hresult)0x80040201)
#define KS_RESOURCE_E_NOTFOUND ((ks_hresult)0x80070716) /* no resource of that name or number */
#define KS_STG_E_FILENOTFOUND ((ks_hresult)0x80030002)  /* KsSettingsLoad: no file at that path */

/* The runtime-error numbers that Invoke reports in ks_excepinfo.code. */
#define KS_ERR_INVALID_PROCEDURE_CALL 5
#define KS_ERR_OVERFLOW 6
#define KS_ERR_TYPE_MISMATCH 13
#define KS_ERR_NO_SUCH_MEMBER 438
#define KS_ERR_WRONG_ARGUMENT_COUNT 450

/* ---- Identifiers ---------------------------------------------------------------------------- */
typedef struct ks_guid {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} ks_guid;

/* Ours: the type library, the class, its default and its event interface, and two interfaces of
 * this runtime (control site, type information). The _INIT macros give the same values as
 * initializers, for hosts that load the library with dlopen and so cannot link the constants. */
/* clang-format off */
#define KS_LIBID_KestrelSNPPControl_INIT \
  { 0xD62449E3, 0x0657, 0x4AB9, { 0xA1, 0x64, 0xF5, 0x8A, 0xC9, 0xA1, 0xEE, 0x41 } }
#define KS_CLSID_SNPPInstance_INIT \
  { 0x58B9D9BB, 0x7435, 0x4845, { 0x85, 0xDD, 0xD7, 0xCE, 0x60, 0xF6, 0xD3, 0x02 } }
#define KS_IID__SNPPInstance_INIT \
  { 0x0B32C939, 0x694B, 0x4FE7, { 0x85, 0x00, 0x6D, 0x66, 0xD1, 0x52, 0xBE, 0xC1 } }
#define KS_DIID___SNPPInstance_INIT \
  { 0xEA30B1D9, 0xFE7F, 0x4306, { 0xAA, 0xD7, 0x61, 0x5C, 0x5B, 0x34, 0xE3, 0x12 } }
#define KS_IID_KsControl_INIT \
  { 0x848BC1DF, 0xCD38, 0x4EB8, { 0x9B, 0x18, 0xC0, 0xF4, 0x06, 0xF9, 0x0C, 0xBA } }
#define KS_IID_KsSite_INIT \
  { 0x8495AB73, 0xD961, 0x4D38, { 0xA6, 0x24, 0x99, 0xA9, 0x08, 0x46, 0xAC, 0xB2 } }
#define KS_IID_KsTypeInfo_INIT \
  { 0x44F1A714, 0xF391, 0x4F84, { 0x88, 0xD3, 0xAE, 0x4B, 0xB4, 0xF0, 0x07, 0x43 } }
#define KS_IID_NULL_INIT \
  { 0x00000000, 0x0000, 0x0000, { 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00 } }
#define KS_IID_IUnknown_INIT \
  { 0x00000000, 0x0000, 0x0000, { 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46 } }
#define KS_IID_IDispatch_INIT \
  { 0x00020400, 0x0000, 0x0000, { 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46 } }
#define KS_IID_IClassFactory_INIT \
  { 0x00000001, 0x0000, 0x0000, { 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46 } }
#define KS_IID_IConnectionPointContainer_INIT \
  { 0xB196B284, 0xBAB4, 0x101A, { 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07 } }
#define KS_IID_IConnectionPoint_INIT \
  { 0xB196B286, 0xBAB4, 0x101A, { 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07 } }
#define KS_IID_IFontDisp_INIT \
  { 0xBEF6E003, 0xA874, 0x101A, { 0x8B, 0xBA, 0x00, 0xAA, 0x00, 0x30, 0x0C, 0xAB } }
#define KS_IID_IPersist_INIT \
  { 0x0000010C, 0x0000, 0x0000, { 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46 } }
#define KS_IID_IPersistPropertyBag_INIT \
  { 0x37D84F60, 0x42CB, 0x11CE, { 0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51 } }
#define KS_IID_IPropertyBag_INIT \
  { 0x55272A00, 0x42CB, 0x101B, { 0x8E, 0x03, 0x00, 0xAA, 0x00, 0x3F, 0x0B, 0x8A } }
#define KS_IID_IErrorLog_INIT \
  { 0x3127CA40, 0x446E, 0x11CE, { 0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51 } }
/* clang-format on */

KS_API extern const ks_guid KS_LIBID_KestrelSNPPControl;
KS_API extern const ks_guid KS_CLSID_SNPPInstance;
KS_API extern const ks_guid KS_IID__SNPPInstance;
KS_API extern const ks_guid KS_DIID___SNPPInstance;
KS_API extern const ks_guid KS_IID_KsControl;
KS_API extern const ks_guid KS_IID_KsSite;
KS_API extern const ks_guid KS_IID_KsTypeInfo;
/* The customary identifiers of the standard interfaces. */
KS_API extern const ks_guid KS_IID_NULL;
KS_API extern const ks_guid KS_IID_IUnknown;
KS_API extern const ks_guid KS_IID_IDispatch;
KS_API extern const ks_guid KS_IID_IClassFactory;
KS_API extern const ks_guid KS_IID_IConnectionPointContainer;
KS_API extern const ks_guid KS_IID_IConnectionPoint;
KS_API extern const ks_guid KS_IID_IFontDisp; /* the standard font type */
KS_API extern const ks_guid KS_IID_IPersist;
KS_API extern const ks_guid KS_IID_IPersistPropertyBag;
KS_API extern const ks_guid KS_IID_IPropertyBag;
KS_API extern const ks_guid KS_IID_IErrorLog;

/* ---- Strings -------------------------------------------------------------------------------- */
typedef char* ks_string;

/* A new string holding `len` bytes of `utf8` (which may be NULL for len 0). NULL when out of
 * memory. */
KS_API ks_string KsStringAlloc(const char* utf8, uint32_t len);
/* A new string holding the NUL-terminated `utf8`. */
KS_API ks_string KsStringFromUtf8(const char* utf8);
/* The number of bytes, without the final NUL; 0 for NULL. */
KS_API uint32_t KsStringLen(ks_string s);
/* Frees a string; NULL is fine. */
KS_API void KsStringFree(ks_string s);

/* ---- Values ---------------------------------------------------------------------------------
 * Variant types, numbered as automation numbers them. KS_VT_BYREF combined with a type says the
 * union holds a pointer to such a value (used for event arguments). */
typedef uint16_t ks_vartype;
enum {
  KS_VT_EMPTY = 0,
  KS_VT_I2 = 2,       /* Integer: 16-bit signed                      iVal    */
  KS_VT_I4 = 3,       /* Long: 32-bit signed                         lVal    */
  KS_VT_R4 = 4,       /* Single: 32-bit float                        fltVal  */
  KS_VT_BSTR = 8,     /* String                                      bstrVal */
  KS_VT_DISPATCH = 9, /* an object (a font); NULL is Nothing         pdispVal */
  KS_VT_BOOL = 11,    /* Boolean: 16-bit, True -1, False 0           boolVal */
  KS_VT_VARIANT = 12, /* only in type descriptions: "any Variant"             */
  KS_VT_BYREF = 0x4000
};
#define KS_VARIANT_TRUE ((int16_t)-1)
#define KS_VARIANT_FALSE ((int16_t)0)

typedef struct ks_dispatch ks_dispatch;

typedef struct ks_variant {
  ks_vartype vt;
  uint16_t reserved1;
  uint16_t reserved2;
  uint16_t reserved3;
  union {
    int16_t iVal;
    int32_t lVal;
    float fltVal;
    int16_t boolVal;
    ks_string bstrVal;
    ks_dispatch* pdispVal;
    int16_t* piVal;      /* KS_VT_BYREF | KS_VT_I2 */
    int32_t* plVal;      /* KS_VT_BYREF | KS_VT_I4 */
    float* pfltVal;      /* KS_VT_BYREF | KS_VT_R4 */
    int16_t* pboolVal;   /* KS_VT_BYREF | KS_VT_BOOL */
    ks_string* pbstrVal; /* KS_VT_BYREF | KS_VT_BSTR */
    void* byref;
  } u;
} ks_variant;

/* Sets vt to KS_VT_EMPTY. */
KS_API void KsVariantInit(ks_variant* v);
/* Frees what the variant owns (a string, a reference to an object) and makes it Empty.
 * By-reference variants own nothing. */
KS_API ks_hresult KsVariantClear(ks_variant* v);

/* ---- Base interfaces ------------------------------------------------------------------------ */
typedef struct ks_unknown ks_unknown;
typedef struct ks_unknown_vtbl {
  ks_hresult (*QueryInterface)(ks_unknown* self, const ks_guid* iid, void** out);
  uint32_t (*AddRef)(ks_unknown* self);
  uint32_t (*Release)(ks_unknown* self);
} ks_unknown_vtbl;
struct ks_unknown {
  const ks_unknown_vtbl* vtbl;
};

/* Invoke flags. A property get may also be asked for as KS_DISPATCH_METHOD |
 * KS_DISPATCH_PROPERTYGET, as late-binding clients do. */
#define KS_DISPATCH_METHOD 0x1
#define KS_DISPATCH_PROPERTYGET 0x2
#define KS_DISPATCH_PROPERTYPUT 0x4
#define KS_DISPATCH_PROPERTYPUTREF 0x8
/* The named argument of a put: the value being assigned. */
#define KS_DISPID_PROPERTYPUT (-3)
#define KS_DISPID_UNKNOWN (-1)

/* Arguments, last one first (rgvarg[0] is the last argument), as automation passes them. */
typedef struct ks_dispparams {
  ks_variant* rgvarg;
  int32_t* rgdispidNamedArgs;
  uint32_t cArgs;
  uint32_t cNamedArgs;
} ks_dispparams;

/* Filled by Invoke for every failure it returns (when the pointer is not NULL): `code` is the
 * runtime-error number (KS_ERR_* or the control's own, e.g. 10005 connection failed) and
 * `description` says what went wrong and what to do. Free the strings with KsStringFree (or
 * KsExcepInfoClear). */
typedef struct ks_excepinfo {
  int32_t code;
  ks_string source;
  ks_string description;
  ks_hresult scode;
} ks_excepinfo;
KS_API void KsExcepInfoClear(ks_excepinfo* e);

typedef struct ks_typeinfo ks_typeinfo;
typedef struct ks_dispatch_vtbl {
  ks_hresult (*QueryInterface)(ks_dispatch* self, const ks_guid* iid, void** out);
  uint32_t (*AddRef)(ks_dispatch* self);
  uint32_t (*Release)(ks_dispatch* self);
  ks_hresult (*GetTypeInfoCount)(ks_dispatch* self, uint32_t* count);
  ks_hresult (*GetTypeInfo)(ks_dispatch* self, uint32_t index, uint32_t lcid, ks_typeinfo** out);
  /* names[0] is the member's name; dispids[0] receives its id. Further names would be
   * parameter names, which the control's members do not take: they get KS_DISPID_UNKNOWN and
   * the call returns KS_DISP_E_UNKNOWNNAME. `iid` must be NULL or KS_IID_NULL. */
  ks_hresult (*GetIDsOfNames)(ks_dispatch* self, const ks_guid* iid, const char** names,
                              uint32_t count, uint32_t lcid, int32_t* dispids);
  /* Calls a member. `result` may be NULL when the result is not wanted; `arg_error` receives the
   * index (in rgvarg) of an argument that did not convert. Failures:
   *   KS_DISP_E_MEMBERNOTFOUND  no such member or kind (dispid 0 included)        code 438
   *   KS_DISP_E_BADPARAMCOUNT   wrong number of arguments                         code 450
   *   KS_DISP_E_TYPEMISMATCH    the argument does not convert to the member's type code 13
   *   KS_DISP_E_OVERFLOW        the argument is out of the member's range          code 6
   *   KS_DISP_E_EXCEPTION       the member itself failed (e.g. the socket refused) its code
   * and each of them fills `excepinfo`. */
  ks_hresult (*Invoke)(ks_dispatch* self, int32_t dispid, const ks_guid* iid, uint32_t lcid,
                       uint16_t flags, ks_dispparams* params, ks_variant* result,
                       ks_excepinfo* excepinfo, uint32_t* arg_error);
} ks_dispatch_vtbl;
struct ks_dispatch {
  const ks_dispatch_vtbl* vtbl;
};

/* ---- Type information ------------------------------------------------------------------------
 * The type library's description, as plain data that lives as long as the library is loaded.
 * KsGetTypeLibrary gives all of it; GetTypeInfo of an instance gives an object for one interface
 * (KS_IID_KsTypeInfo). */
#define KS_TYPEFLAG_FCONTROL 0x20
#define KS_TYPEFLAG_FHIDDEN 0x10
#define KS_TYPEFLAG_FDUAL 0x40
#define KS_TYPEFLAG_FNONEXTENSIBLE 0x80
#define KS_TYPEFLAG_FOLEAUTOMATION 0x100
#define KS_TYPEFLAG_FDISPATCHABLE 0x1000
#define KS_PARAMFLAG_FIN 0x1
#define KS_PARAMFLAG_FOUT 0x2

typedef struct ks_param_desc {
  const char* name;
  ks_vartype vt;         /* KS_VT_BYREF | type for a by-reference parameter */
  const char* type_name; /* "String", "Integer", ... */
  uint16_t flags;        /* KS_PARAMFLAG_* */
} ks_param_desc;

typedef struct ks_member_desc {
  int32_t dispid;
  const char* name;
  uint16_t invoke_kinds; /* the KS_DISPATCH_* flags the member answers to */
  ks_vartype vt;         /* property type or method result; KS_VT_EMPTY: no result */
  const char* type_name; /* "Long", "Font", "Variant", "Void", ... */
  uint32_t param_count;
  const ks_param_desc* params;
} ks_member_desc;

typedef struct ks_interface_desc {
  const char* name;
  ks_guid iid;
  uint32_t type_flags; /* KS_TYPEFLAG_* */
  uint32_t member_count;
  const ks_member_desc* members;
} ks_interface_desc;

typedef struct ks_class_desc {
  const char* name;
  ks_guid clsid;
  const char* prog_id;
  const char* threading_model; /* "Apartment" */
  uint32_t misc_status;        /* OLEMISC_* bits */
  uint32_t type_flags;         /* KS_TYPEFLAG_FCONTROL */
  uint16_t toolbox_bitmap;     /* resource number */
  const ks_interface_desc* default_interface;
  const ks_interface_desc* default_source;
} ks_class_desc;

typedef struct ks_typelib_desc {
  const char* name;
  const char* help_string;
  ks_guid libid;
  uint16_t major_version;
  uint16_t minor_version;
  uint32_t lcid;           /* inside the library */
  uint32_t published_lcid; /* registered under */
  const char* platform;
  const char* imported_library; /* file name */
  const ks_class_desc* coclass;
  uint32_t interface_count;
  const ks_interface_desc* interfaces;
} ks_typelib_desc;

KS_API const ks_typelib_desc* KsGetTypeLibrary(void);

typedef struct ks_typeinfo_vtbl {
  ks_hresult (*QueryInterface)(ks_typeinfo* self, const ks_guid* iid, void** out);
  uint32_t (*AddRef)(ks_typeinfo* self);
  uint32_t (*Release)(ks_typeinfo* self);
  ks_hresult (*GetInterfaceDesc)(ks_typeinfo* self, const ks_interface_desc** out);
  ks_hresult (*GetTypeLibrary)(ks_typeinfo* self, const ks_typelib_desc** out);
} ks_typeinfo_vtbl;
struct ks_typeinfo {
  const ks_typeinfo_vtbl* vtbl;
};

/* ---- Resources --------------------------------------------------------------------------------
 * "_IID_SNPPINSTANCE", "_SRCIID_SNPPINSTANCE": 20 bytes, the little-endian 32-bit value 16, then
 * the interface's GUID (Data1, Data2, Data3 little-endian, then Data4).
 * 30000 (or "#30000"): the toolbox picture, a device-independent bitmap without file header
 * (BITMAPINFOHEADER, 16-colour palette, 4-bit pixels, bottom-up, uncompressed), 16 by 15.
 * Give a name, or NULL and a number. The bytes live as long as the library is loaded. */
KS_API ks_hresult KsFindResource(const char* name, uint16_t number, const uint8_t** data,
                                 uint32_t* size);

/* ---- Events ----------------------------------------------------------------------------------
 * Event sinks are ks_dispatch objects of the host. The control calls their Invoke with the
 * event's dispatch id, KS_DISPATCH_METHOD and the arguments by reference:
 *   1 OnError(ErrorDescription As String), 2 OnComplete(sendResponse As String):
 *     one argument, KS_VT_BYREF | KS_VT_BSTR; the sink may free *pbstrVal and put a new string
 *     there, which then stays in the control.
 *   3 Click, 4 DblClick, 5 KeyDown, 6 KeyPress, 7 KeyUp, 8 MouseDown, 9 MouseMove, 10 MouseUp:
 *     declared, never raised.
 * The sink's result is ignored. */
#define KS_DISPID_OnError 1
#define KS_DISPID_OnComplete 2

typedef struct ks_connection_point ks_connection_point;
typedef struct ks_connection_point_container ks_connection_point_container;

typedef struct ks_connection_point_vtbl {
  ks_hresult (*QueryInterface)(ks_connection_point* self, const ks_guid* iid, void** out);
  uint32_t (*AddRef)(ks_connection_point* self);
  uint32_t (*Release)(ks_connection_point* self);
  ks_hresult (*GetConnectionInterface)(ks_connection_point* self, ks_guid* iid);
  ks_hresult (*GetConnectionPointContainer)(ks_connection_point* self,
                                            ks_connection_point_container** out);
  /* Connects a sink (any object that answers KS_DIID___SNPPInstance or KS_IID_IDispatch);
   * the connection holds a reference to it. Never 0 as cookie. */
  ks_hresult (*Advise)(ks_connection_point* self, ks_unknown* sink, uint32_t* cookie);
  /* Disconnects; safe from inside an event handler. KS_CONNECT_E_NOCONNECTION: no such cookie. */
  ks_hresult (*Unadvise)(ks_connection_point* self, uint32_t cookie);
  ks_hresult (*EnumConnections)(ks_connection_point* self, void** out); /* KS_E_NOTIMPL */
} ks_connection_point_vtbl;
struct ks_connection_point {
  const ks_connection_point_vtbl* vtbl;
};

typedef struct ks_connection_point_container_vtbl {
  ks_hresult (*QueryInterface)(ks_connection_point_container* self, const ks_guid* iid, void** out);
  uint32_t (*AddRef)(ks_connection_point_container* self);
  uint32_t (*Release)(ks_connection_point_container* self);
  ks_hresult (*EnumConnectionPoints)(ks_connection_point_container* self,
                                     void** out); /* KS_E_NOTIMPL */
  /* KS_DIID___SNPPInstance gives the event connection point; KS_CONNECT_E_NOCONNECTION for
   * anything else. */
  ks_hresult (*FindConnectionPoint)(ks_connection_point_container* self, const ks_guid* iid,
                                    ks_connection_point** out);
} ks_connection_point_container_vtbl;
struct ks_connection_point_container {
  const ks_connection_point_container_vtbl* vtbl;
};

/* ---- The control's site ------------------------------------------------------------------------
 * A host that wants change notices or offers an ambient font implements ks_site and hands it to
 * the instance through KS_IID_KsControl. Without a site, change notices go nowhere and the
 * ambient font is a font object of the runtime's defaults. */
typedef struct ks_site ks_site;
typedef struct ks_site_vtbl {
  ks_hresult (*QueryInterface)(ks_site* self, const ks_guid* iid, void** out);
  uint32_t (*AddRef)(ks_site* self);
  uint32_t (*Release)(ks_site* self);
  /* A property changed (after its new value was stored). A failure is returned from the put. */
  ks_hresult (*OnPropertyChanged)(ks_site* self, int32_t dispid, const char* name);
  /* The host's font (a new reference), for controls that ask for it. */
  ks_hresult (*GetAmbientFont)(ks_site* self, ks_dispatch** font);
} ks_site_vtbl;
struct ks_site {
  const ks_site_vtbl* vtbl;
};

/* TLS for an instance's connections (ks_control SetTls). SNPP has no STARTTLS: with TLS on, the
 * connection is TLS from its first byte, the server's greeting comes inside it, and the instance
 * writes nothing (no LOGI, no password) before the handshake has completed and the server's
 * certificate has passed the checks:
 *   trust    the system's CA store, or only the CAs of ca_file and/or ca_path when given;
 *   name     the certificate must be for the Server property's value (its DNS names for a host
 *            name, its IP address entries for an address); a host name also goes out as SNI;
 *   version  TLS 1.2 or newer.
 * A failed handshake raises OnError with a text that names the cause and the remedy, and the
 * reply handler's number (getLastError) is one of the KS_ERR_TLS_* below. After the 221 the
 * instance ends TLS with close_notify, waiting at most a second for the server's answer. */
typedef struct ks_tls_settings {
  uint32_t size;      /* sizeof(ks_tls_settings): the struct may grow at its end */
  int32_t enabled;    /* nonzero: TLS; zero: plain TCP (the fields below are then ignored) */
  int32_t insecure;   /* nonzero: no certificate checks at all. Only when the user asked. */
  const char* ca_file;   /* PEM file of trusted CAs, or NULL */
  const char* ca_path;   /* directory of hashed CA certificates (openssl rehash), or NULL */
  const char* cert_file; /* client certificate (PEM), for gateways that ask for one, or NULL */
  const char* key_file;  /* its private key (PEM, unencrypted); NULL: the key is in cert_file */
} ks_tls_settings;

/* Runtime-error numbers of a failed TLS handshake (OnError, getLastError). */
#define KS_ERR_TLS_UNTRUSTED 10008        /* no trusted CA issued the server's certificate */
#define KS_ERR_TLS_NAME_MISMATCH 10009    /* the certificate is for another name */
#define KS_ERR_TLS_EXPIRED 10010          /* expired, or not valid yet */
#define KS_ERR_TLS_HANDSHAKE_FAILED 10011 /* not TLS (a plain port?), old version, refused */
#define KS_ERR_TLS_SETTINGS 10012         /* SetTls: a file that cannot be used */
#define KS_ERR_TLS_CLIENT_CERTIFICATE 10013 /* the server wants, or refused, a client certificate */

typedef struct ks_control ks_control;
typedef struct ks_control_vtbl {
  ks_hresult (*QueryInterface)(ks_control* self, const ks_guid* iid, void** out);
  uint32_t (*AddRef)(ks_control* self);
  uint32_t (*Release)(ks_control* self);
  /* Holds a reference to the site (NULL drops it). The Font property is not changed. */
  ks_hresult (*SetSite)(ks_control* self, ks_site* site);
  /* A new reference to the site; KS_E_FAIL with *out NULL when none is set. */
  ks_hresult (*GetSite)(ks_control* self, ks_site** out);
  /* Chooses TLS (or plain TCP again, with NULL or enabled 0) for the instance's next Send or
   * Connect; a connection that is open stays as it is. The strings are copied, and the files are
   * read now: KS_E_INVALIDARG when one cannot be used (unreadable CA file, a key that does not
   * belong to the certificate), with KsGetLastErrorText saying which and what to do, and the
   * earlier choice kept. KS_E_POINTER: settings with a size smaller than the struct's first
   * version. */
  ks_hresult (*SetTls)(ks_control* self, const ks_tls_settings* tls);
} ks_control_vtbl;
struct ks_control {
  const ks_control_vtbl* vtbl;
};

/* ---- Loading and saving settings ----------------------------------------------------------------
 * A host keeps an instance's settings in a property bag of its own (ks_property_bag, implemented
 * by the host) and hands the bag to the instance's ks_persist_property_bag (QueryInterface with
 * KS_IID_IPersistPropertyBag; KS_IID_IPersist gives the same interface). Call InitNew once for a
 * new control that has no saved settings, or Load instead; call Save whenever the settings are to
 * be kept. The 23 persisted properties go one after another in this order, under their property
 * names, case included: BackColor, ForeColor, Enabled, Font, BackStyle, BorderStyle, SenderID,
 * Recipient, Idle, State, Server, ServerPort, ServerTimeout, Data, coverageArea, ServiceLevel,
 * SnppLevel, LoginName, Password, HoldUntil, Subject, Message, AlertOverride. None of the three
 * calls sends change notices to the site. Password is stored as plain text, like every String:
 * keep the bag where only its owner can read it.
 *
 * Property names are plain NUL-terminated UTF-8, as for GetIDsOfNames. The callee does not own
 * them: a bag copies a name it keeps. */
typedef struct ks_error_log ks_error_log;
typedef struct ks_property_bag ks_property_bag;
typedef struct ks_persist_property_bag ks_persist_property_bag;

/* The host's collector of failures during a Load; optional (NULL) wherever it is passed. */
typedef struct ks_error_log_vtbl {
  ks_hresult (*QueryInterface)(ks_error_log* self, const ks_guid* iid, void** out);
  uint32_t (*AddRef)(ks_error_log* self);
  uint32_t (*Release)(ks_error_log* self);
  /* The property `name` failed; `info` says why, as Invoke would say it. The caller keeps `info`
   * and frees it afterwards: copy what you keep. */
  ks_hresult (*AddError)(ks_error_log* self, const char* name, ks_excepinfo* info);
} ks_error_log_vtbl;
struct ks_error_log {
  const ks_error_log_vtbl* vtbl;
};

/* The host's store of named values (KS_IID_IPropertyBag). */
typedef struct ks_property_bag_vtbl {
  ks_hresult (*QueryInterface)(ks_property_bag* self, const ks_guid* iid, void** out);
  uint32_t (*AddRef)(ks_property_bag* self);
  uint32_t (*Release)(ks_property_bag* self);
  /* On entry *value holds the default the control will use (the caller owns it). Its type is no
   * demand: give the value with the type it was written with, and the control converts it.
   *   The bag holds a value under `name`: free what *value holds (KsVariantClear), put a copy of
   *     the stored value there (a new string, a new reference to a font object), return KS_S_OK.
   *   It holds none: return KS_E_INVALIDARG, the customary "no such property" (whatever *value
   *     then holds is freed), or return KS_S_OK and leave *value alone. Either gives the default.
   *   Any other failure stops the Load at this property and is what Load returns.
   * A Font is a font object of this library (KS_VT_DISPATCH; NULL is Nothing): one the bag was
   * given by Write, or a new one from KsFontCreate with the stored attributes set through its
   * Invoke. `log` is the host's error log as passed to Load (may be NULL). */
  ks_hresult (*Read)(ks_property_bag* self, const char* name, ks_variant* value, ks_error_log* log);
  /* Stores `value` under `name`: KS_VT_I2, KS_VT_I4, KS_VT_BOOL, KS_VT_BSTR, or KS_VT_DISPATCH for
   * the Font (a font object of this library sharing the control's font; NULL is Nothing).
   * The caller keeps `value`: copy the string, AddRef the font object to keep it. A failure stops
   * the Save at this property and is what Save returns. */
  ks_hresult (*Write)(ks_property_bag* self, const char* name, ks_variant* value);
} ks_property_bag_vtbl;
struct ks_property_bag {
  const ks_property_bag_vtbl* vtbl;
};

/* An instance's persistence (KS_IID_IPersistPropertyBag). The three calls return KS_S_OK or:
 *   the bag's own failure result     its Read (other than KS_E_INVALIDARG) or Write failed
 *   KS_DISP_E_TYPEMISMATCH  code 13  a value read does not convert to its property's type (for
 *                                    instance "abc" for an Integer, or a foreign object for Font)
 *   KS_DISP_E_OVERFLOW      code 6   a value read is outside its property's range
 *   KS_DISP_E_EXCEPTION     its code something else failed, such as the site's ambient font
 *   KS_E_OUTOFMEMORY        code 7
 * and then KsGetLastErrorText names the property and says what went wrong and what to do. A
 * failure stops the call at that property: those before it have been loaded or saved, it and
 * those after it are untouched (a failed Load leaves them with the values they had). Load adds
 * the failure to its `log` too (when not NULL), under the property's name, with the code above
 * (0 for the bag's own failure, whose result is in `scode`) and the same text. */
typedef struct ks_persist_property_bag_vtbl {
  ks_hresult (*QueryInterface)(ks_persist_property_bag* self, const ks_guid* iid, void** out);
  uint32_t (*AddRef)(ks_persist_property_bag* self);
  uint32_t (*Release)(ks_persist_property_bag* self);
  /* KS_CLSID_SNPPInstance. */
  ks_hresult (*GetClassID)(ks_persist_property_bag* self, ks_guid* clsid);
  /* Every property gets its initial value: State -1, SnppLevel 3, ServerTimeout 20, coverageArea
   * and ServiceLevel -1, Idle True, Enabled and AlertOverride False, Message "0", the other
   * Strings empty, the colours and styles 0, Font the site's ambient font (without a site, a new
   * font object of the runtime's defaults). Server and ServerPort are left as they are. */
  ks_hresult (*InitNew)(ks_persist_property_bag* self);
  /* Reads every property from `bag`; one the bag does not hold gets its initial value, Server
   * "127.0.0.1" and ServerPort 0. */
  ks_hresult (*Load)(ks_persist_property_bag* self, ks_property_bag* bag, ks_error_log* log);
  /* Writes every property into `bag`. The control keeps no "changed since saved" state, so both
   * flags are accepted and change nothing: every property is always written. */
  ks_hresult (*Save)(ks_persist_property_bag* self, ks_property_bag* bag, int32_t clear_dirty,
                     int32_t save_all);
} ks_persist_property_bag_vtbl;
struct ks_persist_property_bag {
  const ks_persist_property_bag_vtbl* vtbl;
};

/* Settings files, for hosts that keep settings on disk: Load and Save through a bag kept in a
 * file (JSON, the format snpp-send's --settings reads). `instance` is any interface of an
 * instance (cast to ks_unknown*); `path` is a NUL-terminated UTF-8 file name.
 * KsSettingsLoad: KS_STG_E_FILENOTFOUND when there is no file at `path` (a new host then calls
 * InitNew); KS_E_FAIL when it cannot be read or is no settings file; otherwise as Load.
 * KsSettingsSave: writes a new file readable and writable by its owner only, atomically (a
 * temporary file beside it, then a rename), so an earlier file stays whole when anything fails;
 * KS_E_FAIL when it cannot be written; otherwise as Save.
 * Both: KS_E_POINTER for a NULL argument, KS_E_NOINTERFACE for an object that is no instance. */
KS_API ks_hresult KsSettingsLoad(ks_unknown* instance, const char* path);
KS_API ks_hresult KsSettingsSave(ks_unknown* instance, const char* path);
typedef ks_hresult (*ks_KsSettingsLoad_fn)(ks_unknown*, const char*);
typedef ks_hresult (*ks_KsSettingsSave_fn)(ks_unknown*, const char*);

/* ---- Class objects ------------------------------------------------------------------------------
 */
typedef struct ks_class_factory ks_class_factory;
typedef struct ks_class_factory_vtbl {
  ks_hresult (*QueryInterface)(ks_class_factory* self, const ks_guid* iid, void** out);
  uint32_t (*AddRef)(ks_class_factory* self);
  uint32_t (*Release)(ks_class_factory* self);
  /* `outer` must be NULL (no aggregation). The instance binds to the calling thread's current
   * loop (KS_CO_E_NOTINITIALIZED without one). Its Font is the runtime's default font. */
  ks_hresult (*CreateInstance)(ks_class_factory* self, ks_unknown* outer, const ks_guid* iid,
                               void** out);
  /* Nonzero keeps the library loaded (DllCanUnloadNow says no) until unlocked. */
  ks_hresult (*LockServer)(ks_class_factory* self, int32_t lock);
} ks_class_factory_vtbl;
struct ks_class_factory {
  const ks_class_factory_vtbl* vtbl;
};

/* ---- The four entry points of an in-process server ----------------------------------------------
 */
/* KS_CLASS_E_CLASSNOTAVAILABLE for any class but KS_CLSID_SNPPInstance. */
KS_API ks_hresult DllGetClassObject(const ks_guid* clsid, const ks_guid* iid, void** out);
/* KS_S_OK when no object, loop or lock of the library is left; KS_S_FALSE otherwise. */
KS_API ks_hresult DllCanUnloadNow(void);
/* Records the class id, ProgID, library path and type library in the registry file: the path
 * in $KESTREL_REGISTRY, else $XDG_CONFIG_HOME/kestrel-snpp/registry.json, else
 * $HOME/.config/kestrel-snpp/registry.json. Other entries of the file are kept. */
KS_API ks_hresult DllRegisterServer(void);
/* Removes exactly the entries DllRegisterServer made. */
KS_API ks_hresult DllUnregisterServer(void);
typedef ks_hresult (*ks_DllGetClassObject_fn)(const ks_guid*, const ks_guid*, void**);
typedef ks_hresult (*ks_DllCanUnloadNow_fn)(void);
typedef ks_hresult (*ks_DllRegisterServer_fn)(void);

/* The registry file path the two registration calls use, as a new string. */
KS_API ks_string KsRegistryPath(void);
/* What went wrong in the last failed call of this thread into an exported function, a class
 * object or an instance's ks_persist_property_bag, and what to do (a new string; NULL when nothing
 * failed yet). Invoke reports through ks_excepinfo instead. */
KS_API ks_string KsGetLastErrorText(void);

/* ---- Event loop (owned by the host)
 * -------------------------------------------------------------- */
typedef struct ks_loop ks_loop;
/* A new loop; NULL when out of memory. Instances keep their loop alive after KsLoopDestroy until
 * they are released; the host must stop running it from then on. */
KS_API ks_loop* KsLoopCreate(void);
KS_API void KsLoopDestroy(ks_loop* loop);
/* Makes `loop` the calling thread's current loop (NULL: none); instances created on this thread
 * from now on bind to it. The thread holds no reference: keep the loop until done. */
KS_API ks_hresult KsLoopSetCurrent(ks_loop* loop);
KS_API ks_loop* KsLoopGetCurrent(void);
/* Runs until KsLoopStop or until no work is left. Returns the number of handlers run. */
KS_API size_t KsLoopRun(ks_loop* loop);
/* Runs what is ready now, without waiting. */
KS_API size_t KsLoopPoll(ks_loop* loop);
/* Runs for at most `milliseconds`; returns early on KsLoopStop or when no work is left. */
KS_API size_t KsLoopRunFor(ks_loop* loop, uint32_t milliseconds);
/* Makes a running KsLoopRun/KsLoopRunFor return soon; the next run call starts it again. */
KS_API void KsLoopStop(ks_loop* loop);

/* ---- Fonts
 * --------------------------------------------------------------------------------------- A font
 * object of the standard font type (KS_IID_IFontDisp), with the properties Name (String, dispid 0),
 * Size (Single, points, 2), Bold (3), Italic (4), Underline (5), Strikethrough (6) (Boolean),
 * Weight (Integer, 7) and Charset (Integer, 8). Assigned to a control's Font by reference
 * (KS_DISPATCH_PROPERTYPUTREF), the very object is kept: a change through the host's reference
 * shows in the control's Font. Only font objects of this library can be assigned. */
KS_API ks_hresult KsFontCreate(ks_dispatch** out);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KESTREL_KESTREL_SNPP_H_ */
