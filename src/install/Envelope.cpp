// PLACEHOLDER: replaced by the envelope readers in this branch's work.
#include "install/Envelope.h"
void EraseCommaInWstr(std::u16string*) {}
HRESULT DecodeBase64Key(const std::u16string&, BYTE**, DWORD*) { return E_NOTIMPL; }
HRESULT GetBase64KeyFromEncryptedData(const std::u16string&, size_t*, std::u16string*) { return E_NOTIMPL; }
HRESULT GetSessionKeyandPrivateKeyASN1Obj(const std::u16string&, ALG_ID*, BYTE**, DWORD*, BYTE**, DWORD*) { return E_NOTIMPL; }
HRESULT GetSessionKeyandPrivateKeyASN1ObjEx(const std::u16string&, ALG_ID*, BYTE**, DWORD*, BYTE**, DWORD*) { return E_NOTIMPL; }
HRESULT GetSessionKeyorPrivateKeyFromASN1Obj(const BYTE*, DWORD, BYTE**, DWORD*) { return E_NOTIMPL; }
HRESULT ParseEncryptCertPrivateKeyData(const std::u16string&, ALG_ID*, BYTE**, DWORD*, BYTE**, DWORD*) { return E_NOTIMPL; }
HRESULT ParseEncryptCertPrivateKeyDataEx(const std::u16string&, ALG_ID*, BYTE**, DWORD*, BYTE**, DWORD*) { return E_NOTIMPL; }
HRESULT ParseEncryptCertPublicKeyCert(std::u16string*, BYTE**, DWORD*) { return E_NOTIMPL; }
