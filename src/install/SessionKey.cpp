// PLACEHOLDER: replaced by the session-key unwrap.
#include "install/SessionKey.h"
HRESULT DecryptSessionKeywithTempKey(const std::u16string&, HCRYPTPROV*, const std::u16string&, BYTE*, DWORD, BYTE**, DWORD*) { return E_NOTIMPL; }
bool CreatePrivateExponentOneKey(const std::u16string&, DWORD, const std::u16string&, HCRYPTPROV*, HCRYPTKEY*) { return false; }
bool ImportPlainSessionBlob(HCRYPTPROV, HCRYPTKEY, ALG_ID, const BYTE*, DWORD, HCRYPTKEY*) { return false; }
HRESULT DecryptPrivateKeywithSessionKey(ALG_ID, const BYTE*, DWORD, const BYTE*, DWORD, BYTE**, DWORD*) { return E_NOTIMPL; }
