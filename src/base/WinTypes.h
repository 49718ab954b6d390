// The Win32 type names and constants the core uses.
//
// On Windows this is the SDK's headers. Elsewhere it defines the subset the
// control needs, with the documented values and layouts, so that the core is
// one source on both. Text inside the core is UTF-16 (char16_t); on Windows
// WCHAR is wchar_t (also 16-bit), and U16()/W() convert pointers between the
// two at the few places where a platform structure carries text.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <wincrypt.h>
#include <oleauto.h>
#include <objsafe.h>
#include <urlmon.h>
#include <msxml2.h>

#ifndef CALG_SM3
#define CALG_SM3 0x800F
#endif

inline const char16_t* U16(const wchar_t* p) { return reinterpret_cast<const char16_t*>(p); }
inline char16_t* U16(wchar_t* p) { return reinterpret_cast<char16_t*>(p); }
inline const wchar_t* W(const char16_t* p) { return reinterpret_cast<const wchar_t*>(p); }
inline wchar_t* W(char16_t* p) { return reinterpret_cast<wchar_t*>(p); }

#else  // POSIX: the documented subset

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t HRESULT;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int BOOL;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef intptr_t LONG_PTR;
typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BYTE* PBYTE;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef void* HANDLE;
typedef HANDLE HMODULE;
typedef HANDLE HINSTANCE;
typedef HANDLE HGLOBAL;
typedef HANDLE HRSRC;
typedef LONG LSTATUS;
typedef DWORD LCID;
typedef WORD LANGID;
typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTKEY;
typedef ULONG_PTR HCRYPTHASH;
typedef void* HCERTSTORE;
typedef void* HCERTCHAINENGINE;
typedef unsigned int ALG_ID;
typedef int16_t VARIANT_BOOL;
typedef WCHAR OLECHAR;
typedef OLECHAR* BSTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* LPOLESTR;
typedef LONG DISPID;
typedef DWORD REGSAM;

struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return a == b; }
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)

#define TRUE 1
#define FALSE 0
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define MAKEINTRESOURCEW(i) ((LPWSTR)(ULONG_PTR)((WORD)(i)))
#define IS_INTRESOURCE(p) ((((ULONG_PTR)(p)) >> 16) == 0)
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01

// HRESULT helpers
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define HRESULT_FROM_WIN32(x) \
  ((HRESULT)(x) <= 0 ? ((HRESULT)(x)) : ((HRESULT)(((x)&0x0000FFFF) | (7 << 16) | 0x80000000)))

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001)
#define E_NOINTERFACE ((HRESULT)0x80004002)
#define E_POINTER ((HRESULT)0x80004003)
#define E_FAIL ((HRESULT)0x80004005)
#define E_UNEXPECTED ((HRESULT)0x8000FFFF)
#define E_ACCESSDENIED ((HRESULT)0x80070005)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154)
#define DISP_E_UNKNOWNINTERFACE ((HRESULT)0x80020001)
#define DISP_E_MEMBERNOTFOUND ((HRESULT)0x80020003)
#define DISP_E_PARAMNOTFOUND ((HRESULT)0x80020004)
#define DISP_E_TYPEMISMATCH ((HRESULT)0x80020005)
#define DISP_E_UNKNOWNNAME ((HRESULT)0x80020006)
#define DISP_E_NONAMEDARGS ((HRESULT)0x80020007)
#define DISP_E_BADVARTYPE ((HRESULT)0x80020008)
#define DISP_E_EXCEPTION ((HRESULT)0x80020009)
#define DISP_E_OVERFLOW ((HRESULT)0x8002000A)
#define DISP_E_BADINDEX ((HRESULT)0x8002000B)
#define DISP_E_BADPARAMCOUNT ((HRESULT)0x8002000E)
#define DISP_E_PARAMNOTOPTIONAL ((HRESULT)0x8002000F)
#define DISPID_UNKNOWN ((DISPID)-1)

// Win32 error numbers
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_WRITE_FAULT 29L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815L
#define ERROR_NOT_FOUND 1168L

// Cryptographic provider errors (full HRESULTs)
#define NTE_BAD_DATA ((HRESULT)0x80090005)
#define NTE_BAD_SIGNATURE ((HRESULT)0x80090006)
#define NTE_BAD_HASH ((HRESULT)0x80090002)
#define NTE_BAD_KEY ((HRESULT)0x80090003)
#define NTE_BAD_LEN ((HRESULT)0x80090004)
#define NTE_BAD_VER ((HRESULT)0x80090007)
#define NTE_BAD_ALGID ((HRESULT)0x80090008)
#define NTE_BAD_FLAGS ((HRESULT)0x80090009)
#define NTE_BAD_TYPE ((HRESULT)0x8009000A)
#define NTE_BAD_KEY_STATE ((HRESULT)0x8009000B)
#define NTE_BAD_HASH_STATE ((HRESULT)0x8009000C)
#define NTE_NO_KEY ((HRESULT)0x8009000D)
#define NTE_NO_MEMORY ((HRESULT)0x8009000E)
#define NTE_EXISTS ((HRESULT)0x8009000F)
#define NTE_PERM ((HRESULT)0x80090010)
#define NTE_NOT_FOUND ((HRESULT)0x80090011)
#define NTE_BAD_UID ((HRESULT)0x80090001)
#define NTE_BAD_PROVIDER ((HRESULT)0x80090013)
#define NTE_BAD_PROV_TYPE ((HRESULT)0x80090014)
#define NTE_BAD_KEYSET ((HRESULT)0x80090016)
#define NTE_PROV_TYPE_NOT_DEF ((HRESULT)0x80090017)
#define NTE_KEYSET_NOT_DEF ((HRESULT)0x80090019)
#define NTE_KEYSET_ENTRY_BAD ((HRESULT)0x8009001A)
#define NTE_FAIL ((HRESULT)0x80090020)
#define NTE_BAD_KEYSET_PARAM ((HRESULT)0x8009001F)
#define CRYPT_E_NOT_FOUND ((HRESULT)0x80092004)
#define CRYPT_E_EXISTS ((HRESULT)0x80092005)
#define CRYPT_E_ASN1_ERROR ((HRESULT)0x80093100)
#define CRYPT_E_ASN1_BADTAG ((HRESULT)0x8009310B)
#define CRYPT_E_ASN1_CORRUPT ((HRESULT)0x80093106)
#define CRYPT_E_ASN1_EOD ((HRESULT)0x80093102)
#define CRYPT_E_BAD_ENCODE ((HRESULT)0x80092002)
#define CRYPT_E_INVALID_PRINTABLE_STRING ((HRESULT)0x80092021)
#define CRYPT_E_INVALID_IA5_STRING ((HRESULT)0x80092022)
#define CRYPT_E_INVALID_NUMERIC_STRING ((HRESULT)0x80092020)
#define CRYPT_E_OID_FORMAT ((HRESULT)0x80092003)
#define CRYPT_E_UNEXPECTED_ENCODING ((HRESULT)0x80091005)
#define CRYPT_E_NO_KEY_PROPERTY ((HRESULT)0x8009200B)
#define SEC_E_INVALID_TOKEN ((HRESULT)0x80090308)
#define TRUST_E_CERT_SIGNATURE ((HRESULT)0x80096004)

// Provider constants
#define PROV_RSA_FULL 1
#define PROV_RSA_AES 24
#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040
#define CRYPT_EXPORTABLE 0x00000001
#define CRYPT_USER_PROTECTED 0x00000002
#define CRYPT_NO_SALT 0x00000010
#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2
#define PP_ENUMALGS 1
#define PP_ENUMCONTAINERS 2
#define PP_IMPTYPE 3
#define PP_NAME 4
#define PP_VERSION 5
#define PP_CONTAINER 6
#define PP_PROVTYPE 16
#define PP_ENUMALGS_EX 22
#define PP_UNIQUE_CONTAINER 36
#define CRYPT_FIRST 1
#define CRYPT_NEXT 2
#define PUBLICKEYBLOB 0x6
#define PRIVATEKEYBLOB 0x7
#define SIMPLEBLOB 0x1
#define PLAINTEXTKEYBLOB 0x8
#define CUR_BLOB_VERSION 2
#define KP_IV 1
#define KP_SALT 2
#define KP_PADDING 3
#define KP_MODE 4
#define KP_PERMISSIONS 6
#define KP_ALGID 7
#define KP_BLOCKLEN 8
#define KP_KEYLEN 9
#define KP_CERTIFICATE 26
#define CRYPT_MODE_CBC 1
#define CRYPT_MODE_ECB 2
#define PKCS5_PADDING 1
#define HP_ALGID 0x0001
#define HP_HASHVAL 0x0002
#define HP_HASHSIZE 0x0004

#define ALG_CLASS_SIGNATURE (1 << 13)
#define ALG_CLASS_DATA_ENCRYPT (3 << 13)
#define ALG_CLASS_HASH (4 << 13)
#define ALG_CLASS_KEY_EXCHANGE (5 << 13)
#define CALG_MD5 0x00008003
#define CALG_SHA1 0x00008004
#define CALG_SHA 0x00008004
#define CALG_SHA_256 0x0000800c
#define CALG_SHA_384 0x0000800d
#define CALG_SHA_512 0x0000800e
#define CALG_SM3 0x0000800F
#define CALG_RSA_SIGN 0x00002400
#define CALG_RSA_KEYX 0x0000a400
#define CALG_DES 0x00006601
#define CALG_3DES_112 0x00006609
#define CALG_3DES 0x00006603
#define CALG_RC2 0x00006602
#define CALG_RC4 0x00006801
#define CALG_AES_128 0x0000660e
#define CALG_AES_192 0x0000660f
#define CALG_AES_256 0x00006610
#define CALG_SSL3_SHAMD5 0x00008008

// Key blob structures (packed as the platform lays them out)
#pragma pack(push, 1)
struct BLOBHEADER {
  BYTE bType;
  BYTE bVersion;
  WORD reserved;
  ALG_ID aiKeyAlg;
};
typedef BLOBHEADER PUBLICKEYSTRUC;
struct RSAPUBKEY {
  DWORD magic;
  DWORD bitlen;
  DWORD pubexp;
};
#pragma pack(pop)

struct PROV_ENUMALGS {
  ALG_ID aiAlgid;
  DWORD dwBitLen;
  DWORD dwNameLen;
  char szName[20];
};
struct PROV_ENUMALGS_EX {
  ALG_ID aiAlgid;
  DWORD dwDefaultLen;
  DWORD dwMinLen;
  DWORD dwMaxLen;
  DWORD dwProtocols;
  DWORD dwNameLen;
  char szName[20];
  DWORD dwLongNameLen;
  char szLongName[40];
};

// Encoding
#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000
#define CRYPT_VERIFY_CERT_SIGN_SUBJECT_BLOB 1
#define CRYPT_VERIFY_CERT_SIGN_ISSUER_PUBKEY 1
#define X509_ANY_STRING ((LPCSTR)6)
#define X509_UNICODE_ANY_STRING ((LPCSTR)24)
#define PKCS_ATTRIBUTE ((LPCSTR)22)
#define X509_BITS ((LPCSTR)26)
#define X509_PUBLIC_KEY_INFO ((LPCSTR)8)
#define CERT_RDN_ANY_TYPE 0
#define CERT_RDN_ENCODED_BLOB 1
#define CERT_RDN_OCTET_STRING 2
#define CERT_RDN_NUMERIC_STRING 3
#define CERT_RDN_PRINTABLE_STRING 4
#define CERT_RDN_TELETEX_STRING 5
#define CERT_RDN_T61_STRING 5
#define CERT_RDN_VIDEOTEX_STRING 6
#define CERT_RDN_IA5_STRING 7
#define CERT_RDN_GRAPHIC_STRING 8
#define CERT_RDN_VISIBLE_STRING 9
#define CERT_RDN_ISO646_STRING 9
#define CERT_RDN_GENERAL_STRING 10
#define CERT_RDN_UNIVERSAL_STRING 11
#define CERT_RDN_BMP_STRING 12
#define CERT_RDN_UNICODE_STRING 12
#define CERT_RDN_UTF8_STRING 13

struct CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
};
typedef CRYPTOAPI_BLOB CRYPT_INTEGER_BLOB, CRYPT_UINT_BLOB, CRYPT_OBJID_BLOB, CERT_NAME_BLOB,
    CERT_RDN_VALUE_BLOB, CERT_BLOB, CRL_BLOB, DATA_BLOB, CRYPT_DATA_BLOB, CRYPT_HASH_BLOB,
    CRYPT_DIGEST_BLOB, CRYPT_DER_BLOB, CRYPT_ATTR_BLOB;
typedef CRYPTOAPI_BLOB* PCRYPT_DATA_BLOB;
typedef CRYPTOAPI_BLOB* PCRYPT_ATTR_BLOB;

struct CRYPT_BIT_BLOB {
  DWORD cbData;
  BYTE* pbData;
  DWORD cUnusedBits;
};
struct CRYPT_ALGORITHM_IDENTIFIER {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Parameters;
};
struct CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
};
typedef CERT_PUBLIC_KEY_INFO* PCERT_PUBLIC_KEY_INFO;
struct CERT_NAME_VALUE {
  DWORD dwValueType;
  CERT_RDN_VALUE_BLOB Value;
};
struct CRYPT_ATTRIBUTE {
  LPSTR pszObjId;
  DWORD cValue;
  PCRYPT_ATTR_BLOB rgValue;
};
struct CERT_RDN_ATTR {
  LPSTR pszObjId;
  DWORD dwValueType;
  CERT_RDN_VALUE_BLOB Value;
};
struct CERT_RDN {
  DWORD cRDNAttr;
  CERT_RDN_ATTR* rgRDNAttr;
};
struct CERT_NAME_INFO {
  DWORD cRDN;
  CERT_RDN* rgRDN;
};

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
typedef FILETIME* LPFILETIME;
struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
typedef SYSTEMTIME* LPSYSTEMTIME;

struct CERT_EXTENSION {
  LPSTR pszObjId;
  BOOL fCritical;
  CRYPT_OBJID_BLOB Value;
};
struct CERT_INFO {
  DWORD dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  CRYPT_BIT_BLOB IssuerUniqueId;
  CRYPT_BIT_BLOB SubjectUniqueId;
  DWORD cExtension;
  CERT_EXTENSION* rgExtension;
};
typedef CERT_INFO* PCERT_INFO;
struct CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;
};
typedef const CERT_CONTEXT* PCCERT_CONTEXT;
typedef CERT_CONTEXT* PCERT_CONTEXT;

struct CRYPT_KEY_PROV_PARAM {
  DWORD dwParam;
  BYTE* pbData;
  DWORD cbData;
  DWORD dwFlags;
};
struct CRYPT_KEY_PROV_INFO {
  LPWSTR pwszContainerName;
  LPWSTR pwszProvName;
  DWORD dwProvType;
  DWORD dwFlags;
  DWORD cProvParam;
  CRYPT_KEY_PROV_PARAM* rgProvParam;
  DWORD dwKeySpec;
};
typedef CRYPT_KEY_PROV_INFO* PCRYPT_KEY_PROV_INFO;

// Certificate stores
#define CERT_STORE_PROV_MSG ((LPCSTR)1)
#define CERT_STORE_PROV_MEMORY ((LPCSTR)2)
#define CERT_STORE_PROV_PKCS7 ((LPCSTR)5)
#define CERT_STORE_PROV_SYSTEM_W ((LPCSTR)10)
#define CERT_STORE_PROV_SYSTEM CERT_STORE_PROV_SYSTEM_W
#define CERT_SYSTEM_STORE_CURRENT_USER 0x00010000
#define CERT_SYSTEM_STORE_LOCAL_MACHINE 0x00020000
#define CERT_STORE_NO_CRYPT_RELEASE_FLAG 0x00000001
#define CERT_STORE_READONLY_FLAG 0x00008000
#define CERT_STORE_OPEN_EXISTING_FLAG 0x00004000
#define CERT_STORE_CREATE_NEW_FLAG 0x00002000
#define CERT_CLOSE_STORE_FORCE_FLAG 0x00000001
#define CERT_CLOSE_STORE_CHECK_FLAG 0x00000002
#define CERT_STORE_ADD_NEW 1
#define CERT_STORE_ADD_USE_EXISTING 2
#define CERT_STORE_ADD_REPLACE_EXISTING 3
#define CERT_STORE_ADD_ALWAYS 4
#define CERT_FIND_ANY 0
#define CERT_FIND_EXISTING 0x000D0000
#define CERT_FIND_SHA1_HASH 0x00010000
#define CERT_FIND_SUBJECT_STR_W 0x00080007
#define CERT_KEY_PROV_HANDLE_PROP_ID 1
#define CERT_KEY_PROV_INFO_PROP_ID 2
#define CERT_SHA1_HASH_PROP_ID 3
#define CERT_MD5_HASH_PROP_ID 4
#define CERT_HASH_PROP_ID CERT_SHA1_HASH_PROP_ID
#define CERT_FRIENDLY_NAME_PROP_ID 11
#define CERT_CERT_PROP_ID 32

// Names as text
#define CERT_SIMPLE_NAME_STR 1
#define CERT_OID_NAME_STR 2
#define CERT_X500_NAME_STR 3
#define CERT_NAME_STR_SEMICOLON_FLAG 0x40000000
#define CERT_NAME_STR_NO_PLUS_FLAG 0x20000000
#define CERT_NAME_STR_NO_QUOTING_FLAG 0x10000000
#define CERT_NAME_STR_CRLF_FLAG 0x08000000
#define CERT_NAME_STR_COMMA_FLAG 0x04000000
#define CERT_NAME_STR_REVERSE_FLAG 0x02000000

// Chains
#define CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL 0x00000004
#define CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE 0x00000100
#define USAGE_MATCH_TYPE_AND 0
#define USAGE_MATCH_TYPE_OR 1
#define CERT_TRUST_NO_ERROR 0x00000000
#define CERT_TRUST_IS_NOT_TIME_VALID 0x00000001
#define CERT_TRUST_IS_NOT_TIME_NESTED 0x00000002
#define CERT_TRUST_IS_REVOKED 0x00000004
#define CERT_TRUST_IS_NOT_SIGNATURE_VALID 0x00000008
#define CERT_TRUST_IS_NOT_VALID_FOR_USAGE 0x00000010
#define CERT_TRUST_IS_UNTRUSTED_ROOT 0x00000020
#define CERT_TRUST_REVOCATION_STATUS_UNKNOWN 0x00000040
#define CERT_TRUST_IS_CYCLIC 0x00000080
#define CERT_TRUST_INVALID_EXTENSION 0x00000100
#define CERT_TRUST_INVALID_POLICY_CONSTRAINTS 0x00000200
#define CERT_TRUST_INVALID_BASIC_CONSTRAINTS 0x00000400
#define CERT_TRUST_INVALID_NAME_CONSTRAINTS 0x00000800
#define CERT_TRUST_IS_OFFLINE_REVOCATION 0x01000000
#define CERT_TRUST_NO_ISSUANCE_CHAIN_POLICY 0x02000000
#define CERT_TRUST_IS_PARTIAL_CHAIN 0x00010000
#define CERT_TRUST_CTL_IS_NOT_TIME_VALID 0x00020000
#define CERT_TRUST_CTL_IS_NOT_SIGNATURE_VALID 0x00040000
#define CERT_TRUST_CTL_IS_NOT_VALID_FOR_USAGE 0x00080000
#define CERT_TRUST_HAS_EXACT_MATCH_ISSUER 0x00000001
#define CERT_TRUST_HAS_KEY_MATCH_ISSUER 0x00000002
#define CERT_TRUST_HAS_NAME_MATCH_ISSUER 0x00000004
#define CERT_TRUST_IS_SELF_SIGNED 0x00000008
#define CERT_TRUST_IS_COMPLEX_CHAIN 0x00010000

struct CERT_TRUST_STATUS {
  DWORD dwErrorStatus;
  DWORD dwInfoStatus;
};
struct CERT_ENHKEY_USAGE {
  DWORD cUsageIdentifier;
  LPSTR* rgpszUsageIdentifier;
};
typedef CERT_ENHKEY_USAGE CTL_USAGE;
struct CERT_USAGE_MATCH {
  DWORD dwType;
  CERT_ENHKEY_USAGE Usage;
};
struct CERT_CHAIN_PARA {
  DWORD cbSize;
  CERT_USAGE_MATCH RequestedUsage;
};
typedef CERT_CHAIN_PARA* PCERT_CHAIN_PARA;
struct CERT_REVOCATION_INFO;
struct CERT_CHAIN_ELEMENT {
  DWORD cbSize;
  PCCERT_CONTEXT pCertContext;
  CERT_TRUST_STATUS TrustStatus;
  CERT_REVOCATION_INFO* pRevocationInfo;
  CERT_ENHKEY_USAGE* pIssuanceUsage;
  CERT_ENHKEY_USAGE* pApplicationUsage;
  LPCWSTR pwszExtendedErrorInfo;
};
typedef CERT_CHAIN_ELEMENT* PCERT_CHAIN_ELEMENT;
struct CERT_TRUST_LIST_INFO;
struct CERT_SIMPLE_CHAIN {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cElement;
  PCERT_CHAIN_ELEMENT* rgpElement;
  CERT_TRUST_LIST_INFO* pTrustListInfo;
  BOOL fHasRevocationFreshnessTime;
  DWORD dwRevocationFreshnessTime;
};
typedef CERT_SIMPLE_CHAIN* PCERT_SIMPLE_CHAIN;
struct CERT_CHAIN_CONTEXT;
typedef const CERT_CHAIN_CONTEXT* PCCERT_CHAIN_CONTEXT;
struct CERT_CHAIN_CONTEXT {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cChain;
  PCERT_SIMPLE_CHAIN* rgpChain;
  DWORD cLowerQualityChainContext;
  PCCERT_CHAIN_CONTEXT* rgpLowerQualityChainContext;
  BOOL fHasRevocationFreshnessTime;
  DWORD dwRevocationFreshnessTime;
  DWORD dwCreateFlags;
  GUID ChainId;
};

// Platform version test
struct OSVERSIONINFOEXW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
};
typedef OSVERSIONINFOEXW* LPOSVERSIONINFOEXW;
#define VER_MINORVERSION 0x0000001
#define VER_MAJORVERSION 0x0000002
#define VER_BUILDNUMBER 0x0000004
#define VER_PLATFORMID 0x0000008
#define VER_SERVICEPACKMINOR 0x0000010
#define VER_SERVICEPACKMAJOR 0x0000020
#define VER_SUITENAME 0x0000040
#define VER_PRODUCT_TYPE 0x0000080
#define VER_EQUAL 1
#define VER_GREATER 2
#define VER_GREATER_EQUAL 3
#define VER_LESS 4
#define VER_LESS_EQUAL 5
#define VER_AND 6
#define VER_OR 7
#define VER_NT_WORKSTATION 0x0000001
#define VER_NT_DOMAIN_CONTROLLER 0x0000002
#define VER_NT_SERVER 0x0000003

// Registry
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define REG_OPTION_NON_VOLATILE 0
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define KEY_WOW64_64KEY 0x0100
// Provider results and values of the soft providers
#define NTE_BAD_PUBLIC_KEY ((HRESULT)0x80090015)
#define NTE_PROV_TYPE_NO_MATCH ((HRESULT)0x8009001B)
#define CRYPT_NOHASHOID 0x00000001
#define CRYPT_IMPL_HARDWARE 1
#define CRYPT_IMPL_SOFTWARE 2
#define CRYPT_IMPL_REMOVABLE 8
#define RSA1_MAGIC 0x31415352  // "RSA1"
#define RSA2_MAGIC 0x32415352  // "RSA2"
// Registry results and options of the soft registry
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_FILE_CORRUPT 1392L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_DISK_FULL 112L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_KEY_DELETED 1018L
#define ERROR_NOACCESS 998L
#define REG_OPTION_VOLATILE 1
#define DELETE 0x00010000

// Files
#define GENERIC_READ 0x80000000
#define GENERIC_WRITE 0x40000000
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x80
#define FILE_ATTRIBUTE_TEMPORARY 0x100
#define FILE_SHARE_READ 0x1
struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
struct OVERLAPPED;
typedef OVERLAPPED* LPOVERLAPPED;

// Messages
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define CP_ACP 0
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
#define LOCALE_SYSTEM_DEFAULT 0x0800
#define LOCALE_USER_DEFAULT 0x0400

// COM
#define CLSCTX_INPROC_SERVER 0x1
#define COINIT_APARTMENTTHREADED 0x2

// Zones
#define URLZONE_LOCAL_MACHINE 0
#define URLZONE_INTRANET 1
#define URLZONE_TRUSTED 2
#define URLZONE_INTERNET 3
#define URLZONE_UNTRUSTED 4
#define SZM_CREATE 0
#define SZM_DELETE 1
#define ZAFLAGS_REQUIRE_VERIFICATION 0x00000004
#define MAX_ZONE_PATH 260
#define MAX_ZONE_DESCRIPTION 200
struct ZONEATTRIBUTES {
  ULONG cbSize;
  WCHAR szDisplayName[MAX_ZONE_PATH];
  WCHAR szDescription[MAX_ZONE_DESCRIPTION];
  WCHAR szIconPath[MAX_ZONE_PATH];
  DWORD dwTemplateMinLevel;
  DWORD dwTemplateRecommended;
  DWORD dwTemplateCurrentLevel;
  DWORD dwFlags;
};

// Stores, chains, version test, files, DOM and zones: codes, zone
// attribute values, and the classes and interfaces created for the system
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0)
#define ERROR_OLD_WIN_VERSION 1150L
#define ERROR_ALREADY_EXISTS 183L
#define CRYPT_E_INVALID_MSG_TYPE ((HRESULT)0x80091004)
#define URLTEMPLATE_LOW 0x10000
#define URLTEMPLATE_MEDLOW 0x10500
#define URLTEMPLATE_MEDIUM 0x11000
#define ZAFLAGS_CUSTOM_EDIT 0x00000001
#define ZAFLAGS_ADD_SITES 0x00000002
#define ZAFLAGS_SUPPORTS_VERIFICATION 0x00000040
inline constexpr CLSID CLSID_DOMDocument = {0xF6D90F11, 0x9C73, 0x11D3,
                                            {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
inline constexpr IID IID_IXMLDOMDocument = {0x2933BF81, 0x7B36, 0x11D2,
                                            {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
inline constexpr CLSID CLSID_InternetSecurityManager = {
    0x7B8A2D94, 0x0AC9, 0x11D1, {0x89, 0x6C, 0x00, 0xC0, 0x4F, 0xB6, 0xBF, 0xC4}};
inline constexpr IID IID_IInternetSecurityManager = {
    0x79EAC9EE, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
inline constexpr CLSID CLSID_InternetZoneManager = {
    0x7B8A2D95, 0x0AC9, 0x11D1, {0x89, 0x6C, 0x00, 0xC0, 0x4F, 0xB6, 0xBF, 0xC4}};
inline constexpr IID IID_IInternetZoneManager = {
    0x79EAC9EF, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};

// Object safety
#define INTERFACESAFE_FOR_UNTRUSTED_CALLER 0x00000001
#define INTERFACESAFE_FOR_UNTRUSTED_DATA 0x00000002

inline const char16_t* U16(const char16_t* p) { return p; }
inline char16_t* U16(char16_t* p) { return p; }
inline const char16_t* W(const char16_t* p) { return p; }
inline char16_t* W(char16_t* p) { return p; }

#endif  // _WIN32

// Codes both builds use that not every SDK names.
#define KL_DELETEKEYSET_SM2 0xFFFF0002u
#define KL_CALG_SM2_KEYX 0xBE00u
#define KL_CALG_SM2_SIGN 0x3E00u
// The signer identifier of every SM2 signature the SM2 providers make and
// check (the identifier of GM/T 0009 that the platform's providers use).
inline constexpr char kSm2SignerId[] = "1234567812345678";
