// PLACEHOLDER: replaced by the chain document installation.
#include "store/ChainDocument.h"
HRESULT LoadModuleResource(HMODULE, const char16_t*, WORD, BYTE**, DWORD*) { return E_NOTIMPL; }
HRESULT ImportCertificateChainfromBlobData(const BYTE*, DWORD) { return E_NOTIMPL; }
