// CCryptoAgent: the one scriptable object of the control.
//
// A page creates one per control; every scripting call enters one of its
// thirteen methods on the page's thread (apartment model, no locking). The
// object keeps the script's selections (provider, key length, algorithm),
// the container of the last key it created, and the status of the last
// call, which GetLastErrorDesc describes.
#pragma once

#include <string>
#include <string_view>

#include "control/ICryptoAgent.h"
#include "encoding/Unicode.h"

class CCryptoAgent final : public ICryptoAgent, public IObjectSafety, public ISupportErrorInfo {
 public:
  // Creates an object (aggregated when `outer` is given) and queries `riid`
  // from it. `ppv` receives the interface or null. The object holds one
  // module lock for its lifetime.
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

  // IUnknown: delegates to the controlling unknown.
  HRESULT KL_STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG KL_STDMETHODCALLTYPE AddRef() override;
  ULONG KL_STDMETHODCALLTYPE Release() override;

  // IDispatch
  HRESULT KL_STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT KL_STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT KL_STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                             DISPID* ids) override;
  HRESULT KL_STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                      DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                      UINT* argErr) override;

  // ICryptoAgent
  HRESULT KL_STDMETHODCALLTYPE ZENQ_CheckCertificateChain(VARIANT_BOOL* bResult) override;
  HRESULT KL_STDMETHODCALLTYPE ZENQ_GetCSPInfo(BSTR* pbstrCSPName) override;
  HRESULT KL_STDMETHODCALLTYPE ZENQ_SetCSPInfo(LONG lKeyLength, BSTR bstrCSPName,
                                               VARIANT_BOOL* pbSuccess) override;
  HRESULT KL_STDMETHODCALLTYPE ZENQ_SetKeyAlgorithm(BSTR bstrKeyAlgorithm,
                                                    VARIANT_BOOL* pbSuccess) override;
  HRESULT KL_STDMETHODCALLTYPE ZENQ_GetTempPublickey(BSTR* pbstrTempPublickey) override;
  HRESULT KL_STDMETHODCALLTYPE ZENQ_ImportEncryptCert(BSTR bstrEncryptedPrivateKey,
                                                      BSTR bstrP7Cert, BSTR bstrContainerName,
                                                      LONG lEncryptCertPrivateKeyFlags,
                                                      VARIANT_BOOL* pbSuccess) override;
  HRESULT KL_STDMETHODCALLTYPE ZENQ_GetContainer(BSTR* pbstrContainerName) override;
  HRESULT KL_STDMETHODCALLTYPE ZENQ_ImportSignCert(LONG lCertType, BSTR bstrSignCert,
                                                   BSTR bstrContainerName,
                                                   VARIANT_BOOL* pbSuccess) override;
  HRESULT KL_STDMETHODCALLTYPE ZENQ_PKCS10CertRequisition(BSTR bstrSubjectDN, LONG lCertType,
                                                          LONG lSignPrivateKeyGenerateFlags,
                                                          BSTR* pbstrP10CertRequisition) override;
  HRESULT KL_STDMETHODCALLTYPE ZENQ_GetAllCertInfo(BSTR* bstrAllCertInfo) override;
  HRESULT KL_STDMETHODCALLTYPE ZENQ_HavePermissiontoGenerateKeyPair(
      VARIANT_BOOL* pbSuccess) override;
  HRESULT KL_STDMETHODCALLTYPE ZENQ_PKCS10CertRequisitionwithMD5(
      BSTR bstrSubjectDN, LONG lCertType, LONG lSignPrivateKeyGenerateFlags,
      BSTR* pbstrP10CertRequisition) override;
  HRESULT KL_STDMETHODCALLTYPE GetLastErrorDesc(BSTR* pbstrErrorDesc) override;

  // IObjectSafety: supported options 3 (untrusted caller | untrusted data).
  HRESULT KL_STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID riid, DWORD* supported,
                                                         DWORD* enabled) override;
  HRESULT KL_STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID riid, DWORD mask,
                                                         DWORD enabled) override;

  // ISupportErrorInfo: S_OK for IID_ICryptoAgent (a failing method sets the
  // thread's error object), S_FALSE for any other interface.
  HRESULT KL_STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

  // Read access for tests and the dispatch layer.
  HRESULT LastStatus() const { return m_hrLastError; }
  const std::u16string& KeyAlgorithmName() const { return m_strKeyAlgorithm; }
  const std::u16string& CSPName() const { return m_strCSPName; }
  LONG KeyLength() const { return m_lKeyLength; }

 private:
  // The object's own (non-delegating) IUnknown; the outer object's when
  // aggregated holds this one.
  struct InnerUnknown final : IUnknown {
    CCryptoAgent* self;
    HRESULT KL_STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG KL_STDMETHODCALLTYPE AddRef() override;
    ULONG KL_STDMETHODCALLTYPE Release() override;
  };

  explicit CCryptoAgent(IUnknown* outer);
  ~CCryptoAgent();

  // The two request methods: SHA-1 (RSA or SM2) or MD5 (RSA only).
  HRESULT RequestCertificate(const char16_t* method, BSTR bstrSubjectDN, LONG lCertType,
                             LONG lSignPrivateKeyGenerateFlags, BSTR* pbstrP10CertRequisition,
                             bool md5);

  // Stores the method's status and returns it (the status convention); a
  // failure also becomes the thread's error object with its description.
  HRESULT Finish(HRESULT status);

  InnerUnknown m_inner;
  IUnknown* m_controlling;  // m_inner, or the aggregating object

  DWORD m_dwCurrentSafety = 0;
  ULONG m_refCount = 0;
  HRESULT m_hrLastError = S_OK;
  std::u16string m_strKeyAlgorithm;
  std::u16string m_strCSPName;
  LONG m_lKeyLength = 0;
  std::u16string m_strContainerName;
};

// Trim rule of the methods: leading and trailing U+0020 only.
std::u16string TrimSpaces(const char16_t* text, size_t length);

// A BSTR argument counts as missing when it is null or empty.
bool IsMissing(BSTR text);

// New BSTR copy of `text`; null when memory is exhausted.
BSTR AllocBstr(const std::u16string& text);
