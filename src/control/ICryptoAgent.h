// ICryptoAgent, the control's dual interface, and the class and library ids.
// On Windows the declaration comes from the type library source (widl);
// elsewhere it is declared here with the same GUIDs and method order.
#pragma once

#include "base/ComTypes.h"

#ifdef _WIN32

#include "keyloom_h.h"

#else

// {A3F1C8D2-6E4B-4B97-8D15-C2E7F9A04B36}
inline constexpr IID IID_ICryptoAgent = {
    0xA3F1C8D2, 0x6E4B, 0x4B97, {0x8D, 0x15, 0xC2, 0xE7, 0xF9, 0xA0, 0x4B, 0x36}};
// {5E2C7A14-9B3D-4F61-A8C2-3D7E91B04F25}
inline constexpr CLSID CLSID_CryptoAgent = {
    0x5E2C7A14, 0x9B3D, 0x4F61, {0xA8, 0xC2, 0x3D, 0x7E, 0x91, 0xB0, 0x4F, 0x25}};
// {0C7D2E91-3A5F-4E28-B6D4-8F1A2C9E7B53}
inline constexpr GUID LIBID_KeyloomLib = {
    0x0C7D2E91, 0x3A5F, 0x4E28, {0xB6, 0xD4, 0x8F, 0x1A, 0x2C, 0x9E, 0x7B, 0x53}};

struct ICryptoAgent : IDispatch {
  virtual HRESULT ZENQ_CheckCertificateChain(VARIANT_BOOL* bResult) = 0;
  virtual HRESULT ZENQ_GetCSPInfo(BSTR* pbstrCSPName) = 0;
  virtual HRESULT ZENQ_SetCSPInfo(LONG lKeyLength, BSTR bstrCSPName, VARIANT_BOOL* pbSuccess) = 0;
  virtual HRESULT ZENQ_SetKeyAlgorithm(BSTR bstrKeyAlgorithm, VARIANT_BOOL* pbSuccess) = 0;
  virtual HRESULT ZENQ_GetTempPublickey(BSTR* pbstrTempPublickey) = 0;
  virtual HRESULT ZENQ_ImportEncryptCert(BSTR bstrEncryptedPrivateKey, BSTR bstrP7Cert,
                                         BSTR bstrContainerName,
                                         LONG lEncryptCertPrivateKeyFlags,
                                         VARIANT_BOOL* pbSuccess) = 0;
  virtual HRESULT ZENQ_GetContainer(BSTR* pbstrContainerName) = 0;
  virtual HRESULT ZENQ_ImportSignCert(LONG lCertType, BSTR bstrSignCert, BSTR bstrContainerName,
                                      VARIANT_BOOL* pbSuccess) = 0;
  virtual HRESULT ZENQ_PKCS10CertRequisition(BSTR bstrSubjectDN, LONG lCertType,
                                             LONG lSignPrivateKeyGenerateFlags,
                                             BSTR* pbstrP10CertRequisition) = 0;
  virtual HRESULT ZENQ_GetAllCertInfo(BSTR* bstrAllCertInfo) = 0;
  virtual HRESULT ZENQ_HavePermissiontoGenerateKeyPair(VARIANT_BOOL* pbSuccess) = 0;
  virtual HRESULT ZENQ_PKCS10CertRequisitionwithMD5(BSTR bstrSubjectDN, LONG lCertType,
                                                    LONG lSignPrivateKeyGenerateFlags,
                                                    BSTR* pbstrP10CertRequisition) = 0;
  virtual HRESULT GetLastErrorDesc(BSTR* pbstrErrorDesc) = 0;
};

#endif

// {D4B8E2F7-1C6A-4D39-9E85-7A3C0F2B6E18}: the AppID of the registration.
inline constexpr GUID APPID_Keyloom = {
    0xD4B8E2F7, 0x1C6A, 0x4D39, {0x9E, 0x85, 0x7A, 0x3C, 0x0F, 0x2B, 0x6E, 0x18}};
