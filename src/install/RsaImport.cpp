// PLACEHOLDER: replaced by the RSA import.
#include "install/RsaImport.h"
HRESULT CopyPrivateKeyAttribute(const BYTE*, DWORD, BYTE**, DWORD*) { return E_NOTIMPL; }
HRESULT DecodePrivateKey(const BYTE*, DWORD, BYTE**, DWORD*, BYTE**, DWORD*, BYTE**, DWORD*, BYTE**, DWORD*, BYTE**, DWORD*, BYTE**, DWORD*, BYTE**, DWORD*) { return E_NOTIMPL; }
HRESULT getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(DWORD, const BYTE*, DWORD, BYTE**, DWORD*) { return E_NOTIMPL; }
HRESULT ImportEncryptCert_RSA(const std::u16string&, HCRYPTPROV, const std::u16string&, DWORD, const BYTE*, DWORD, const BYTE*, DWORD, DWORD) { return E_NOTIMPL; }
HRESULT ComposeRSAEVPPrivateKey(const BYTE*, DWORD, const BYTE*, DWORD, BYTE**, DWORD*) { return E_NOTIMPL; }
HRESULT ImportEncryptCertEx_RSA(HCRYPTPROV, DWORD, const BYTE*, DWORD, const BYTE*, DWORD, const BYTE*, DWORD, DWORD) { return E_NOTIMPL; }
