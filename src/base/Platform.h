// The one platform interface: every platform call the control makes.
//
// Each entry has the arguments, results and last-error behaviour of the
// Win32 call it is named after, except that text is char16_t (UTF-16) on
// both builds; the win32 table converts at its boundary. The core reaches the
// active table through Plat(); tests install a wrapping table with
// SetPlatform() to inject failures and record calls.
//
// Entries that a build does not provide are never null: they fail with
// ERROR_CALL_NOT_IMPLEMENTED (120) through the last-error value.
#pragma once

#include "base/WinTypes.h"

// Opaque handles of the platform's XML DOM (a document or a node).
struct KlXmlNode;

// One argument of a trace record: a pointer and a byte length. Wide strings
// count their terminator, numbers are 4 bytes.
struct TraceArg {
  const void* data;
  uint32_t size;
  uint8_t kind;  // TraceArgKind
};
enum TraceArgKind : uint8_t { kTraceWide = 1, kTraceAnsi = 2, kTraceNumber = 3 };

// One trace record as handed to the sink.
struct TraceRecord {
  const GUID* component;       // message GUID of the source component
  const char* componentName;   // for text sinks
  uint16_t messageNumber;      // unique within the component
  uint32_t flag;               // the TRACE_FLAG_* bit the record tested
  uint32_t argCount;
  const TraceArg* args;
};

// Provider state of the trace facility, owned by trace/ and filled by the
// platform's TraceRegister (enable mask from a consumer or settings).
struct TraceProviderState {
  uint64_t consumerHandle;  // 0 when no consumer is attached
  uint32_t enableFlags;
  uint8_t enableLevel;
};

struct Platform {
  // Thread state and texts
  DWORD (*GetLastError)();
  void (*SetLastError)(DWORD error);
  // FormatMessageW with FORMAT_MESSAGE_FROM_SYSTEM: the system text for
  // `messageId` in the user's language; returns characters written (0 when
  // the code has no text).
  DWORD (*FormatMessageW)(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                          char16_t* buffer, DWORD size, void* arguments);
  // LoadStringW: string `id` of the module's string table in the user's
  // language; at most size-1 characters plus a terminator; 0 when absent.
  int (*LoadStringW)(HINSTANCE module, UINT id, char16_t* buffer, int size);
  // The language id of the user's interface (1033 or 2052 for our tables).
  LANGID (*GetUserDefaultUILanguage)();
  LCID (*GetThreadLocale)();
  BOOL (*SetThreadLocale)(LCID locale);
  int (*MultiByteToWideChar)(UINT codePage, DWORD flags, const char* text, int length,
                             char16_t* buffer, int size);
  int (*WideCharToMultiByte)(UINT codePage, DWORD flags, const char16_t* text, int length,
                             char* buffer, int size, const char* defaultChar, BOOL* usedDefault);

  // COM runtime and GUIDs
  HRESULT (*CoInitialize)(void* reserved);
  void (*CoUninitialize)();
  HRESULT (*CoCreateGuid)(GUID* guid);
  int (*StringFromGUID2)(REFGUID guid, char16_t* buffer, int size);
  // CoCreateInstance of the platform classes the system uses: the DOM
  // document (CLSID_DOMDocument / IID_IXMLDOMDocument, answered as a
  // KlXmlNode document), the URL security manager and the zone manager.
  // CO_E_NOTINITIALIZED before CoInitialize, REGDB_E_CLASSNOTREG for other
  // classes, E_NOINTERFACE for other interfaces.
  HRESULT (*CoCreateInstance)(REFCLSID clsid, void* outer, DWORD context, REFIID iid,
                              void** object);
  // IUnknown::Release of an object that CoCreateInstance gave; returns the
  // references left.
  ULONG (*ComRelease)(void* object);

  // Cryptographic providers
  BOOL (*CryptEnumProvidersW)(DWORD index, DWORD* reserved, DWORD flags, DWORD* provType,
                              char16_t* name, DWORD* nameSize);
  BOOL (*CryptAcquireContextW)(HCRYPTPROV* prov, const char16_t* container,
                               const char16_t* provider, DWORD provType, DWORD flags);
  BOOL (*CryptReleaseContext)(HCRYPTPROV prov, DWORD flags);
  BOOL (*CryptGetProvParam)(HCRYPTPROV prov, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags);
  BOOL (*CryptGenKey)(HCRYPTPROV prov, ALG_ID algId, DWORD flags, HCRYPTKEY* key);
  BOOL (*CryptGetUserKey)(HCRYPTPROV prov, DWORD keySpec, HCRYPTKEY* key);
  BOOL (*CryptExportKey)(HCRYPTKEY key, HCRYPTKEY expKey, DWORD blobType, DWORD flags, BYTE* data,
                         DWORD* dataLen);
  BOOL (*CryptExportPublicKeyInfo)(HCRYPTPROV prov, DWORD keySpec, DWORD encodingType,
                                   CERT_PUBLIC_KEY_INFO* info, DWORD* infoLen);
  BOOL (*CryptImportKey)(HCRYPTPROV prov, const BYTE* data, DWORD dataLen, HCRYPTKEY pubKey,
                         DWORD flags, HCRYPTKEY* key);
  BOOL (*CryptSetKeyParam)(HCRYPTKEY key, DWORD param, const BYTE* data, DWORD flags);
  BOOL (*CryptGetKeyParam)(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags);
  BOOL (*CryptDecrypt)(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                       DWORD* dataLen);
  BOOL (*CryptGenRandom)(HCRYPTPROV prov, DWORD length, BYTE* buffer);
  BOOL (*CryptCreateHash)(HCRYPTPROV prov, ALG_ID algId, HCRYPTKEY key, DWORD flags,
                          HCRYPTHASH* hash);
  BOOL (*CryptHashData)(HCRYPTHASH hash, const BYTE* data, DWORD dataLen, DWORD flags);
  BOOL (*CryptGetHashParam)(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags);
  BOOL (*CryptSignHashW)(HCRYPTHASH hash, DWORD keySpec, const char16_t* description, DWORD flags,
                         BYTE* signature, DWORD* signatureLen);
  BOOL (*CryptDestroyHash)(HCRYPTHASH hash);
  BOOL (*CryptDestroyKey)(HCRYPTKEY key);
  BOOL (*CryptEncodeObject)(DWORD encodingType, const char* structType, const void* structInfo,
                            BYTE* encoded, DWORD* encodedLen);

  // Certificate stores
  HCERTSTORE (*CertOpenStore)(const char* storeProvider, DWORD encodingType, HCRYPTPROV prov,
                              DWORD flags, const void* para);
  BOOL (*CertCloseStore)(HCERTSTORE store, DWORD flags);
  PCCERT_CONTEXT (*CertEnumCertificatesInStore)(HCERTSTORE store, PCCERT_CONTEXT previous);
  PCCERT_CONTEXT (*CertFindCertificateInStore)(HCERTSTORE store, DWORD encodingType,
                                               DWORD findFlags, DWORD findType,
                                               const void* findPara, PCCERT_CONTEXT previous);
  BOOL (*CertAddCertificateContextToStore)(HCERTSTORE store, PCCERT_CONTEXT cert,
                                           DWORD disposition, PCCERT_CONTEXT* added);
  BOOL (*CertAddEncodedCertificateToStore)(HCERTSTORE store, DWORD encodingType,
                                           const BYTE* encoded, DWORD encodedLen,
                                           DWORD disposition, PCCERT_CONTEXT* added);
  BOOL (*CertGetCertificateContextProperty)(PCCERT_CONTEXT cert, DWORD propId, void* data,
                                            DWORD* dataLen);
  BOOL (*CertSetCertificateContextProperty)(PCCERT_CONTEXT cert, DWORD propId, DWORD flags,
                                            const void* data);
  PCCERT_CONTEXT (*CertDuplicateCertificateContext)(PCCERT_CONTEXT cert);
  BOOL (*CertFreeCertificateContext)(PCCERT_CONTEXT cert);
  DWORD (*CertNameToStrW)(DWORD encodingType, const CERT_NAME_BLOB* name, DWORD strType,
                          char16_t* text, DWORD textSize);
  // CryptVerifyCertificateSignatureEx: checks the signature of a signed
  // encoding (certificate, CRL or certification request: SEQUENCE {
  // toBeSigned, algorithm, BIT STRING signature }). The subject is a
  // CRYPT_DATA_BLOB (CRYPT_VERIFY_CERT_SIGN_SUBJECT_BLOB), the issuer a
  // CERT_PUBLIC_KEY_INFO (CRYPT_VERIFY_CERT_SIGN_ISSUER_PUBKEY). FALSE with
  // NTE_BAD_SIGNATURE when the signature does not match, NTE_BAD_ALGID for an
  // algorithm the platform cannot check, CRYPT_E_ASN1_* for a malformed
  // encoding, E_INVALIDARG for other subject or issuer types.
  BOOL (*CryptVerifyCertificateSignatureEx)(HCRYPTPROV prov, DWORD encodingType,
                                            DWORD subjectType, void* subject, DWORD issuerType,
                                            void* issuer, DWORD flags, void* extra);
  BOOL (*CertGetCertificateChain)(HCERTCHAINENGINE engine, PCCERT_CONTEXT cert, FILETIME* time,
                                  HCERTSTORE additionalStore, const CERT_CHAIN_PARA* para,
                                  DWORD flags, void* reserved, PCCERT_CHAIN_CONTEXT* chain);
  void (*CertFreeCertificateChain)(PCCERT_CHAIN_CONTEXT chain);
  void (*CertFreeCertificateChainEngine)(HCERTCHAINENGINE engine);
  BOOL (*GetVersionExW)(OSVERSIONINFOEXW* info);
  BOOL (*VerifyVersionInfoW)(OSVERSIONINFOEXW* info, DWORD typeMask, ULONGLONG conditionMask);
  ULONGLONG (*VerSetConditionMask)(ULONGLONG conditionMask, DWORD typeMask, BYTE condition);

  // Registry
  LSTATUS (*RegOpenKeyExW)(HKEY key, const char16_t* subKey, DWORD options, REGSAM access,
                           HKEY* result);
  LSTATUS (*RegCreateKeyExW)(HKEY key, const char16_t* subKey, DWORD reserved, char16_t* keyClass,
                             DWORD options, REGSAM access, void* security, HKEY* result,
                             DWORD* disposition);
  LSTATUS (*RegSetValueExW)(HKEY key, const char16_t* valueName, DWORD reserved, DWORD type,
                            const BYTE* data, DWORD dataLen);
  LSTATUS (*RegQueryValueExW)(HKEY key, const char16_t* valueName, DWORD* reserved, DWORD* type,
                              BYTE* data, DWORD* dataLen);
  LSTATUS (*RegEnumKeyExW)(HKEY key, DWORD index, char16_t* name, DWORD* nameLen,
                           DWORD* reserved, char16_t* keyClass, DWORD* classLen,
                           FILETIME* lastWrite);
  LSTATUS (*RegDeleteValueW)(HKEY key, const char16_t* valueName);
  LSTATUS (*RegDeleteTreeW)(HKEY key, const char16_t* subKey);
  LSTATUS (*RegCloseKey)(HKEY key);

  // Module resources (by integer type name or id)
  HRSRC (*FindResourceW)(HMODULE module, const char16_t* name, const char16_t* type);
  DWORD (*SizeofResource)(HMODULE module, HRSRC resource);
  HGLOBAL (*LoadResource)(HMODULE module, HRSRC resource);
  void* (*LockResource)(HGLOBAL data);
  DWORD (*GetModuleFileNameW)(HMODULE module, char16_t* path, DWORD size);

  // Time
  BOOL (*FileTimeToSystemTime)(const FILETIME* fileTime, SYSTEMTIME* systemTime);
  BOOL (*SystemTimeToFileTime)(const SYSTEMTIME* systemTime, FILETIME* fileTime);
  BOOL (*FileTimeToLocalFileTime)(const FILETIME* fileTime, FILETIME* localFileTime);

  // Temporary files
  DWORD (*GetTempPathW)(DWORD size, char16_t* buffer);
  HANDLE (*CreateFileW)(const char16_t* path, DWORD access, DWORD share, void* security,
                        DWORD disposition, DWORD attributes, HANDLE templateFile);
  BOOL (*WriteFile)(HANDLE file, const void* data, DWORD length, DWORD* written, void* overlapped);
  BOOL (*CloseHandle)(HANDLE handle);
  BOOL (*DeleteFileW)(const char16_t* path);
  BOOL (*PathFileExistsW)(const char16_t* path);

  // XML DOM (the platform's DOM document, made with CoCreateInstance).
  // Nodes returned are owned by the caller and released with XmlRelease.
  // loadXML: parses the UTF-16 text into `document`; a text that does not
  // parse fails with a negative code and leaves the document empty.
  HRESULT (*XmlLoad)(KlXmlNode* document, const char16_t* text);
  // The last child node; S_FALSE and null when there is none.
  HRESULT (*XmlLastChild)(KlXmlNode* node, KlXmlNode** child);
  // The index-th child (document order; comments and processing
  // instructions count, white-space-only text does not). S_FALSE past the end.
  HRESULT (*XmlChildAt)(KlXmlNode* node, long index, KlXmlNode** child);
  HRESULT (*XmlChildCount)(KlXmlNode* node, long* count);
  // Node name as a new buffer freed with XmlFreeText ("#comment", "#text",
  // the target of a processing instruction, the element's qualified name).
  HRESULT (*XmlNodeName)(KlXmlNode* node, char16_t** name);
  // get_text: the concatenated text of the node and its descendants.
  HRESULT (*XmlText)(KlXmlNode* node, char16_t** text);
  void (*XmlFreeText)(char16_t* text);
  void (*XmlRelease)(KlXmlNode* node);

  // URL zones of the browser, on the security manager (SetZoneMapping,
  // MapUrlToZone) and the zone manager (Get/SetZoneAttributes) that
  // CoCreateInstance gave.
  HRESULT (*SetZoneMapping)(void* securityManager, DWORD zone, const char16_t* pattern,
                            DWORD flags);
  HRESULT (*GetZoneAttributes)(void* zoneManager, DWORD zone, ZONEATTRIBUTES* attributes);
  HRESULT (*SetZoneAttributes)(void* zoneManager, DWORD zone, const ZONEATTRIBUTES* attributes);
  // The zone of a URL ("scheme://host[:port][/path]"): the zone of the
  // mapping that matches its scheme and host (ports never take part),
  // URLZONE_INTERNET when none does.
  HRESULT (*MapUrlToZone)(void* securityManager, const char16_t* url, DWORD* zone, DWORD flags);

  // Trace provider: register/unregister the module's provider (filling the
  // state from a consumer or from settings) and send one record.
  void (*TraceRegister)(const GUID* controlGuid, TraceProviderState* state);
  void (*TraceUnregister)(TraceProviderState* state);
  void (*TraceWrite)(const TraceProviderState* state, const TraceRecord* record);
};

// The active table. Never null.
const Platform& Plat();

// Installs `table` as the active table and returns the one it replaces
// (the default table when none was installed). Pass nullptr to return to
// the default. The table must outlive its use; not thread-safe against
// concurrent calls, tests install it before they start the control.
const Platform* SetPlatform(const Platform* table);

// The build's own table (soft or win32).
const Platform& DefaultPlatform();
