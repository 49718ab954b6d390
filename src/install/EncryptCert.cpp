// PLACEHOLDER: replaced by the import flows.
#include "install/EncryptCert.h"
HRESULT ImportEncryptCertEx(const EncryptCertImport&) { return E_NOTIMPL; }
HRESULT ImportEncryptCert(const EncryptCertImport&) { return E_NOTIMPL; }
HRESULT ImportEncryptCertByEncryptedFormat(const EncryptCertImport&) { return E_NOTIMPL; }
