// Script-engine coercion of VARIANT arguments (POSIX; Windows uses the type
// library and the platform's VariantChangeType).
#ifndef _WIN32

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "control/DispatchTable.h"
#include "encoding/Unicode.h"

namespace {

const VARIANT* Deref(const VARIANT& in) {
  const VARIANT* v = &in;
  while (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  return v;
}

// Reads the numeric value of any number-like variant.
bool NumberOf(const VARIANT& v, double* out) {
  const VARTYPE base = v.vt & ~VT_BYREF;
  const bool ref = (v.vt & VT_BYREF) != 0;
  switch (base) {
    case VT_EMPTY: *out = 0; return !ref;
    case VT_I1: *out = ref ? *static_cast<int8_t*>(v.byref) : v.cVal; return true;
    case VT_UI1: *out = ref ? *static_cast<uint8_t*>(v.byref) : v.bVal; return true;
    case VT_I2: *out = ref ? *static_cast<SHORT*>(v.byref) : v.iVal; return true;
    case VT_UI2: *out = ref ? *static_cast<USHORT*>(v.byref) : v.uiVal; return true;
    case VT_I4: case VT_INT: *out = ref ? *v.plVal : v.lVal; return true;
    case VT_UI4: case VT_UINT: *out = ref ? *static_cast<ULONG*>(v.byref) : v.ulVal; return true;
    case VT_I8: *out = static_cast<double>(ref ? *static_cast<LONGLONG*>(v.byref) : v.llVal); return true;
    case VT_UI8: *out = static_cast<double>(ref ? *static_cast<ULONGLONG*>(v.byref) : v.ullVal); return true;
    case VT_R4: *out = ref ? *static_cast<float*>(v.byref) : v.fltVal; return true;
    case VT_R8: *out = ref ? *static_cast<double*>(v.byref) : v.dblVal; return true;
    case VT_BOOL: *out = (ref ? *v.pboolVal : v.boolVal) ? -1 : 0; return true;
    default: return false;
  }
}

BSTR BstrOf(const VARIANT& v) { return (v.vt & VT_BYREF) ? *v.pbstrVal : v.bstrVal; }

std::string Narrow(BSTR s) {
  std::string out;
  const UINT n = SysStringLen(s);
  for (UINT i = 0; i < n; ++i) out.push_back(s[i] < 0x80 ? static_cast<char>(s[i]) : '\x7f');
  return out;
}

// Decimal (optionally fractional or exponent) text with surrounding spaces.
bool ParseNumber(const std::string& text, double* out) {
  size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  if (b == e) return false;
  const std::string trimmed = text.substr(b, e - b);
  char* end = nullptr;
  const double value = std::strtod(trimmed.c_str(), &end);
  if (end != trimmed.c_str() + trimmed.size() || std::isnan(value) || std::isinf(value))
    return false;
  // strtod accepts hexadecimal and "inf"; a script's number text is decimal.
  for (char c : trimmed)
    if (c == 'x' || c == 'X') return false;
  *out = value;
  return true;
}

}  // namespace

HRESULT CoerceVariant(const VARIANT& input, VARTYPE target, VARIANT* out) {
  VariantInit(out);
  const VARIANT& in = *Deref(input);
  const VARTYPE base = in.vt & ~VT_BYREF;
  if (base == VT_NULL || base == VT_DISPATCH || base == VT_UNKNOWN || base == VT_ERROR)
    return DISP_E_TYPEMISMATCH;

  if (target == VT_BSTR) {
    if (base == VT_BSTR) {
      BSTR s = BstrOf(in);
      out->vt = VT_BSTR;
      out->bstrVal = s ? SysAllocStringLen(s, SysStringLen(s)) : nullptr;
      return (s && !out->bstrVal) ? E_OUTOFMEMORY : S_OK;
    }
    double value;
    if (!NumberOf(in, &value)) return DISP_E_TYPEMISMATCH;
    char text[64];
    if (base == VT_BOOL) std::snprintf(text, sizeof text, "%s", value ? "True" : "False");
    else if (base == VT_EMPTY) text[0] = 0;
    else std::snprintf(text, sizeof text, "%.15g", value);
    std::u16string wide(text, text + std::char_traits<char>::length(text));
    out->vt = VT_BSTR;
    out->bstrVal = SysAllocStringLen(wide.c_str(), static_cast<UINT>(wide.size()));
    return out->bstrVal ? S_OK : E_OUTOFMEMORY;
  }

  double value;
  if (base == VT_BSTR) {
    const std::string text = Narrow(BstrOf(in));
    if (target == VT_BOOL) {
      if (EqualsAsciiNoCase(text, "true")) value = -1;
      else if (EqualsAsciiNoCase(text, "false")) value = 0;
      else if (!ParseNumber(text, &value)) return DISP_E_TYPEMISMATCH;
    } else if (!ParseNumber(text, &value)) {
      return DISP_E_TYPEMISMATCH;
    }
  } else if (!NumberOf(in, &value)) {
    return DISP_E_TYPEMISMATCH;
  }

  if (target == VT_BOOL) {
    out->vt = VT_BOOL;
    out->boolVal = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  if (target == VT_I4) {
    const double rounded = std::nearbyint(value);  // banker's rounding, as the platform
    if (rounded < std::numeric_limits<int32_t>::min() ||
        rounded > std::numeric_limits<int32_t>::max())
      return DISP_E_OVERFLOW;
    out->vt = VT_I4;
    out->lVal = static_cast<LONG>(rounded);
    return S_OK;
  }
  return DISP_E_BADVARTYPE;
}

#endif  // _WIN32
