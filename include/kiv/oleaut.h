// The OLE Automation value model: BSTR, VARIANT and SAFEARRAY with the
// functions that create, copy and free them. Layouts and semantics follow
// OLE Automation so that values can be handed to any code that speaks that
// ABI (pointers are 64-bit, LONG and ULONG are 32-bit as on Windows).
//
// Ownership is manual, as in OLE Automation: a VARIANT owns its string or
// array; VariantClear frees it. C++ code should prefer the RAII wrappers in
// <kiv/value.h>. All functions may be called from any thread; one value must
// not be changed by two threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kiv/export.h"

using BYTE = std::uint8_t;
using CHAR = char;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using INT = std::int32_t;
using UINT = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using FLOAT = float;
using DOUBLE = double;
using HRESULT = std::int32_t;
using SCODE = std::int32_t;
using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using DATE = double;
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// Result codes of the value functions (the OLE Automation values).
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008);
constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005);
constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000B);
constexpr HRESULT DISP_E_ARRAYISLOCKED = static_cast<HRESULT>(0x8002000D);

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_RECORD = 36,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0FFF,
};

// Feature bits of SAFEARRAY::fFeatures.
constexpr USHORT FADF_AUTO = 0x0001;
constexpr USHORT FADF_STATIC = 0x0002;
constexpr USHORT FADF_EMBEDDED = 0x0004;
constexpr USHORT FADF_FIXEDSIZE = 0x0010;
constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_UNKNOWN = 0x0200;
constexpr USHORT FADF_DISPATCH = 0x0400;
constexpr USHORT FADF_VARIANT = 0x0800;

struct IUnknown;
struct IDispatch;
struct IRecordInfo;

union CY {
  struct {
    ULONG Lo;
    LONG Hi;
  } s;
  LONGLONG int64;
};

struct DECIMAL {
  USHORT wReserved;
  BYTE scale;
  BYTE sign;
  ULONG Hi32;
  ULONGLONG Lo64;
};

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

// rgsabound is stored last dimension first, as OLE Automation does:
// rgsabound[0] describes dimension cDims, rgsabound[cDims - 1] dimension 1.
// In the data block dimension 1 varies fastest.
struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];
};

struct VARIANT {
  union {
    struct {
      VARTYPE vt;
      WORD wReserved1;
      WORD wReserved2;
      WORD wReserved3;
      union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        CY cyVal;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        LONGLONG* pllVal;
        FLOAT* pfltVal;
        DOUBLE* pdblVal;
        VARIANT_BOOL* pboolVal;
        SCODE* pscode;
        CY* pcyVal;
        DATE* pdate;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        SAFEARRAY** pparray;
        VARIANT* pvarVal;
        void* byref;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        DECIMAL* pdecVal;
        CHAR* pcVal;
        USHORT* puiVal;
        ULONG* pulVal;
        ULONGLONG* pullVal;
        INT* pintVal;
        UINT* puintVal;
        struct {
          void* pvRecord;
          IRecordInfo* pRecInfo;
        } brecVal;
      };
    };
    DECIMAL decVal;
  };
};
using VARIANTARG = VARIANT;

static_assert(sizeof(VARIANT) == 24, "VARIANT must keep the 64-bit OLE Automation layout");
static_assert(sizeof(SAFEARRAYBOUND) == 8);
static_assert(offsetof(SAFEARRAY, pvData) == 16 && offsetof(SAFEARRAY, rgsabound) == 24);

extern "C" {

// Strings. A BSTR points at its first unit; the length in bytes is stored in
// the four bytes before it and a zero unit follows the last one. A null BSTR
// is a valid empty string for every function here.
KIV_API BSTR SysAllocString(const OLECHAR* text);
KIV_API BSTR SysAllocStringLen(const OLECHAR* text, UINT units);
KIV_API BSTR SysAllocStringByteLen(const char* bytes, UINT byteCount);
KIV_API void SysFreeString(BSTR text);
KIV_API UINT SysStringLen(BSTR text);
KIV_API UINT SysStringByteLen(BSTR text);

// Variants. VariantClear frees what the variant owns (strings, arrays,
// nested variants, interface references) and leaves VT_EMPTY. VariantCopy
// clears the destination first and deep-copies strings and arrays.
KIV_API void VariantInit(VARIANT* value);
KIV_API HRESULT VariantClear(VARIANT* value);
KIV_API HRESULT VariantCopy(VARIANT* destination, const VARIANT* source);

// Arrays of 1 to 10 dimensions. rgsabound is given dimension 1 first, as in
// OLE Automation. Supported element types: the scalar types above,
// VT_BSTR, VT_VARIANT, VT_UNKNOWN and VT_DISPATCH.
KIV_API SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* rgsabound);
KIV_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
KIV_API HRESULT SafeArrayDestroy(SAFEARRAY* psa);
KIV_API HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
KIV_API UINT SafeArrayGetDim(SAFEARRAY* psa);
KIV_API UINT SafeArrayGetElemsize(SAFEARRAY* psa);
KIV_API HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
KIV_API HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
KIV_API HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
KIV_API HRESULT SafeArrayLock(SAFEARRAY* psa);
KIV_API HRESULT SafeArrayUnlock(SAFEARRAY* psa);
KIV_API HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
KIV_API HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
KIV_API HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, const LONG* rgIndices, void** ppvData);
// Element access copies: strings are reallocated, variants deep-copied.
// rgIndices lists dimension 1 first.
KIV_API HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv);
KIV_API HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv);
// Changes the count and lower bound of the last dimension (dimension cDims
// in the OLE numbering); elements cut off are freed, new ones are zeroed.
KIV_API HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew);

}  // extern "C"
