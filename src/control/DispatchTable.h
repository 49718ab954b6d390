// The fixed dispatch table of ICryptoAgent: names, DISPIDs and parameter
// types, and the script-engine coercion of arguments. On POSIX, where there
// is no type library, IDispatch answers from this table.
#pragma once

#include "base/ComTypes.h"

enum class ParamKind : uint8_t { kLong, kBstr };
enum class ResultKind : uint8_t { kBool, kBstr };

struct DispatchEntry {
  DISPID id;
  const char16_t* name;
  uint8_t paramCount;
  ParamKind params[4];
  ResultKind result;
};

// The thirteen methods in interface order.
extern const DispatchEntry kDispatchTable[13];

// The entry of `id`, or null.
const DispatchEntry* FindDispatchEntry(DISPID id);

// The entry whose name equals `name` without regard to ASCII case, or null.
const DispatchEntry* FindDispatchEntryByName(const char16_t* name);

#ifndef _WIN32
// Coerces `in` (dereferencing VT_BYREF) to VT_I4, VT_BSTR or VT_BOOL as a
// script engine does: numbers from their decimal text, "true"/"false" and
// numbers to booleans, numbers and booleans to text. `out` is initialised
// here and owned by the caller (VariantClear). Returns S_OK,
// DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW.
HRESULT CoerceVariant(const VARIANT& in, VARTYPE target, VARIANT* out);
#endif
