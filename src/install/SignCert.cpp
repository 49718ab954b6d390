// PLACEHOLDER: replaced by the signing-certificate installation.
#include "install/SignCert.h"
HRESULT ImportSignCert(DWORD, std::u16string*, const std::u16string&, const std::u16string&, const std::u16string&) { return E_NOTIMPL; }
