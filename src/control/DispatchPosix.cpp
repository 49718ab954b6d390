// IDispatch without a type library (POSIX): names and DISPIDs from the fixed
// table, arguments coerced as a script engine does.
#ifndef _WIN32

#include "control/CryptoAgent.h"
#include "base/Platform.h"
#include "base/PlatformHandles.h"
#include "control/DispatchTable.h"
#include "trace/Trace.h"

TRACE_COMPONENT("Dispatch");

namespace {

// Holds the coerced arguments of one call and releases them.
struct CoercedArgs {
  VARIANT values[4];
  uint8_t count = 0;
  ~CoercedArgs() {
    for (uint8_t i = 0; i < count; ++i) VariantClear(&values[i]);
  }
};

}  // namespace

HRESULT CCryptoAgent::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT CCryptoAgent::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT CCryptoAgent::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                    DISPID* ids) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
  const DispatchEntry* entry = FindDispatchEntryByName(names[0]);
  ids[0] = entry ? entry->id : DISPID_UNKNOWN;
  // The methods have no named parameters.
  for (UINT i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  return (entry && count == 1) ? S_OK : DISP_E_UNKNOWNNAME;
}

HRESULT CCryptoAgent::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                             VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  const DispatchEntry* entry = FindDispatchEntry(id);
  if (entry == nullptr || (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0)
    return DISP_E_MEMBERNOTFOUND;
  if (params == nullptr) return E_INVALIDARG;
  if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  if (params->cArgs != entry->paramCount) return DISP_E_BADPARAMCOUNT;

  // rgvarg holds the arguments last first.
  CoercedArgs args;
  for (uint8_t i = 0; i < entry->paramCount; ++i) {
    const UINT slot = params->cArgs - 1 - i;
    const VARTYPE target = entry->params[i] == ParamKind::kLong ? VT_I4 : VT_BSTR;
    const HRESULT hr = CoerceVariant(params->rgvarg[slot], target, &args.values[i]);
    args.count = static_cast<uint8_t>(i + 1);
    if (FAILED(hr)) {
      if (argErr) *argErr = slot;
      return hr;
    }
  }
  auto L = [&](int i) { return args.values[i].lVal; };
  auto S = [&](int i) { return args.values[i].bstrVal; };

  VARIANT_BOOL flag = VARIANT_FALSE;
  BSTR text = nullptr;
  HRESULT hr;
  // Every page's and host's call arrives here: the method's waits for
  // other processes (the soft platform's locks) end at one deadline.
  PlatformCall call;
  switch (id) {
    case 1: hr = ZENQ_CheckCertificateChain(&flag); break;
    case 2: hr = ZENQ_GetCSPInfo(&text); break;
    case 3: hr = ZENQ_SetCSPInfo(L(0), S(1), &flag); break;
    case 4: hr = ZENQ_SetKeyAlgorithm(S(0), &flag); break;
    case 5: hr = ZENQ_GetTempPublickey(&text); break;
    case 6: hr = ZENQ_ImportEncryptCert(S(0), S(1), S(2), L(3), &flag); break;
    case 7: hr = ZENQ_GetContainer(&text); break;
    case 8: hr = ZENQ_ImportSignCert(L(0), S(1), S(2), &flag); break;
    case 9: hr = ZENQ_PKCS10CertRequisition(S(0), L(1), L(2), &text); break;
    case 10: hr = ZENQ_GetAllCertInfo(&text); break;
    case 11: hr = ZENQ_HavePermissiontoGenerateKeyPair(&flag); break;
    case 12: hr = ZENQ_PKCS10CertRequisitionwithMD5(S(0), L(1), L(2), &text); break;
    case 99: hr = GetLastErrorDesc(&text); break;
    default: return DISP_E_MEMBERNOTFOUND;
  }

  if (FAILED(hr)) {
    // As the platform's type-library Invoke does: a failing method reaches
    // the script engine as an exception carrying its status, described by
    // the thread's error object (which Invoke takes).
    SysFreeString(text);
    if (excep) {
      *excep = EXCEPINFO{};
      excep->scode = hr;
      IErrorInfo* info = nullptr;
      if (Plat().GetErrorInfo(0, &info) == S_OK && info != nullptr) {
        info->GetSource(&excep->bstrSource);
        info->GetDescription(&excep->bstrDescription);
        info->GetHelpFile(&excep->bstrHelpFile);
        info->GetHelpContext(&excep->dwHelpContext);
        info->Release();
      }
    }
    return DISP_E_EXCEPTION;
  }
  if (result) {
    VariantInit(result);
    if (entry->result == ResultKind::kBool) {
      result->vt = VT_BOOL;
      result->boolVal = flag;
    } else {
      result->vt = VT_BSTR;
      result->bstrVal = text;
      text = nullptr;
    }
  }
  SysFreeString(text);
  return S_OK;
}

#endif  // _WIN32
