// PLACEHOLDER: replaced by the SM2 import.
#include "install/Sm2Import.h"
HRESULT ImportEncryptCertEx_SM2(HCRYPTPROV, const BYTE*, DWORD, const BYTE*, DWORD, DWORD) { return E_NOTIMPL; }
HRESULT GetCSPHandleofTempPublickey(const std::u16string&, const std::u16string&, const std::u16string&, HCRYPTPROV*) { return E_NOTIMPL; }
