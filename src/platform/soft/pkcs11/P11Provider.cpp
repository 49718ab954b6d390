// The provider's entries of the platform table. Each entry serves the
// handles of this provider and hands every other call to the soft
// platform's entry it replaces, so the provider joins the table without the
// other providers knowing of it.
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "base/ByteOrder.h"
#include "encoding/Unicode.h"
#include "platform/soft/crypto/SoftCrypto.h"
#include "platform/soft/crypto/SoftKeyBlobs.h"
#include "platform/soft/pkcs11/P11.h"
#include "platform/soft/SoftTable.h"

namespace {

constexpr DWORD kKnownFlags =
    CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
constexpr DWORD kProviderVersion = 0x200;
constexpr size_t kReferenceSize = 32;
constexpr size_t kWrappedLimit = 1 << 20;

constexpr SoftAlg kAlgs[] = {
    {CALG_MD5, 128, 128, 128, "MD5", "Message Digest 5 (MD5)"},
    {CALG_SHA1, 160, 160, 160, "SHA-1", "Secure Hash Algorithm (SHA-1)"},
    {CALG_SHA_256, 256, 256, 256, "SHA-256", "Secure Hash Algorithm (SHA-256)"},
    {CALG_RSA_SIGN, 1024, 1024, 4096, "RSA_SIGN", "RSA Signature"},
    {CALG_RSA_KEYX, 1024, 1024, 4096, "RSA_KEYX", "RSA Key Exchange"},
};

// The DigestInfo prefixes of the hashes the provider signs.
const BYTE kMd5Info[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                         0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
const BYTE kSha1Info[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                          0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
const BYTE kSha256Info[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                            0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

// A private key found on the token, valid while the token stays open.
struct PrivateRef {
  uint64_t generation = 0;
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  DWORD size = 0;  // modulus octets
};

struct P11Prov {
  std::string container;  // empty: a verification context without one
  size_t algIndex = 0, containerIndex = 0;
  std::vector<std::string> containers;
  PrivateRef privates[3];  // by spec
};

struct P11Key {
  std::shared_ptr<P11Prov> prov;
  DWORD spec = 0;
  ALG_ID algid = 0;
  EvpPkey pub;
};

struct P11Hash {
  std::shared_ptr<P11Prov> prov;
  ALG_ID algid = 0;
  EvpMdCtx ctx;
  bool finished = false;
  std::vector<BYTE> value;
};

SoftHandleTable<P11Prov>& Provs() {
  static auto* t = new SoftHandleTable<P11Prov>(ULONG_PTR{0x11} << 32);
  return *t;
}
SoftHandleTable<P11Key>& Keys() {
  static auto* t = new SoftHandleTable<P11Key>(ULONG_PTR{0x12} << 32);
  return *t;
}
SoftHandleTable<P11Hash>& Hashes() {
  static auto* t = new SoftHandleTable<P11Hash>(ULONG_PTR{0x13} << 32);
  return *t;
}

// The soft platform's entries this provider stands in front of.
Platform& Soft() {
  static Platform soft{};
  return soft;
}

// Containers made with CRYPT_NEWKEYSET that hold no key yet: they exist in
// this process only, so a failed enrollment leaves nothing on the token.
std::set<std::string>& Pending() {
  static auto* s = new std::set<std::string>;
  return *s;
}

DWORD SoftCount() {
  DWORD n = 0;
  while (SoftProviderAt(n) != nullptr) ++n;
  return n;
}

std::string UserName() {
  if (const char* v = getenv("USER"); v != nullptr && *v != 0) return v;
  if (const passwd* pw = getpwuid(getuid())) return pw->pw_name;
  return "default";
}

DWORD SpecOf(ALG_ID requested, ALG_ID* algid) {
  if (requested == AT_KEYEXCHANGE || requested == CALG_RSA_KEYX) return *algid = CALG_RSA_KEYX, AT_KEYEXCHANGE;
  if (requested == AT_SIGNATURE || requested == CALG_RSA_SIGN) return *algid = CALG_RSA_SIGN, AT_SIGNATURE;
  return 0;
}

// Whether the container has a key on the token (or is pending here).
DWORD Exists(P11Token& t, const std::string& container) {
  if (Pending().count(container)) return ERROR_SUCCESS;
  for (DWORD spec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
    std::vector<CK_OBJECT_HANDLE> found;
    if (DWORD e = P11Find(t, CKO_PUBLIC_KEY, P11KeyId(container, spec), &found)) return e;
    if (!found.empty()) return ERROR_SUCCESS;
  }
  return static_cast<DWORD>(NTE_BAD_KEYSET);
}

// A new key handle for the pair `spec` of the provider's container.
BOOL OpenKey(const std::shared_ptr<P11Prov>& prov, P11Token& t, DWORD spec, HCRYPTKEY* handle) {
  auto key = std::make_shared<P11Key>();
  key->prov = prov;
  key->spec = spec;
  key->algid = spec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN;
  if (DWORD e = P11PublicKey(t, prov->container, spec, &key->pub)) return SoftFail(e);
  *handle = Keys().Add(std::move(key));
  return TRUE;
}

// The private key of `spec`, found once per open token.
DWORD Private(P11Prov& prov, P11Token& t, DWORD spec, PrivateRef** out) {
  PrivateRef& ref = prov.privates[spec];
  if (ref.generation != t.generation || ref.handle == CK_INVALID_HANDLE) {
    std::vector<CK_OBJECT_HANDLE> found;
    if (DWORD e = P11Find(t, CKO_PRIVATE_KEY, P11KeyId(prov.container, spec), &found)) return e;
    if (found.empty()) return static_cast<DWORD>(NTE_NO_KEY);
    CK_ATTRIBUTE modulus{CKA_MODULUS, nullptr, 0};
    if (CK_RV rv = t.f->C_GetAttributeValue(t.session, found[0], &modulus, 1)) return P11Status(rv);
    ref = {t.generation, found[0], static_cast<DWORD>(modulus.ulValueLen)};
  }
  *out = &ref;
  return ERROR_SUCCESS;
}

// Opens the token and logs the thread in: the start of every private-key
// operation.
DWORD OpenForPrivate(P11Token** t) {
  if (DWORD e = P11Open(t)) return e;
  return P11Login(**t);
}

BOOL EnumProviders(DWORD index, DWORD* reserved, DWORD flags, DWORD* type, char16_t* name,
                   DWORD* size) {
  const DWORD count = SoftCount();
  if (index != count || reserved != nullptr || flags != 0)
    return Soft().CryptEnumProvidersW(index, reserved, flags, type, name, size);
  if (type) *type = PROV_RSA_FULL;
  return SoftCopyOut(kP11ProviderName, sizeof kP11ProviderName, reinterpret_cast<BYTE*>(name), size);
}

BOOL AcquireContext(HCRYPTPROV* handle, const char16_t* container, const char16_t* name, DWORD type,
                    DWORD flags) {
  if (name == nullptr || std::u16string_view(name) != kP11ProviderName)
    return Soft().CryptAcquireContextW(handle, container, name, type, flags);
  if (handle == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  if (type != PROV_RSA_FULL) return SoftFail(static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH));
  if ((flags & ~kKnownFlags) != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
  auto prov = std::make_shared<P11Prov>();
  const bool named = container != nullptr && container[0] != 0;
  const DWORD mode = flags & (CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET);
  if (!named && (mode & CRYPT_VERIFYCONTEXT)) {
    *handle = Provs().Add(std::move(prov));  // no token needed until a container is used
    return TRUE;
  }
  prov->container = named ? Utf16ToUtf8(container) : UserName();
  P11Lock lock;
  P11Token* t = nullptr;
  DWORD e = P11Open(&t);
  if (e == ERROR_SUCCESS) {
    switch (mode) {
      case 0:
      case CRYPT_VERIFYCONTEXT:
      case CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET:
        e = Exists(*t, prov->container);
        break;
      case CRYPT_NEWKEYSET:
        e = Exists(*t, prov->container);
        if (e == ERROR_SUCCESS) e = static_cast<DWORD>(NTE_EXISTS);
        else if (e == static_cast<DWORD>(NTE_BAD_KEYSET)) e = ERROR_SUCCESS, Pending().insert(prov->container);
        break;
      case CRYPT_DELETEKEYSET:
        if (Pending().erase(prov->container)) e = ERROR_SUCCESS;
        else if ((e = Exists(*t, prov->container)) == ERROR_SUCCESS && (e = P11Login(*t)) == ERROR_SUCCESS)
          e = P11DeleteContainer(*t, prov->container);
        if (e == ERROR_SUCCESS) {
          *handle = 0;
          SoftSetLastError(ERROR_SUCCESS);
          return TRUE;
        }
        break;
      default:
        e = static_cast<DWORD>(NTE_BAD_FLAGS);
    }
  }
  if (e != ERROR_SUCCESS) return SoftFail(e);
  *handle = Provs().Add(std::move(prov));
  SoftSetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL ReleaseContext(HCRYPTPROV handle, DWORD flags) {
  if (!Provs().Get(handle)) return Soft().CryptReleaseContext(handle, flags);
  if (flags != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
  Provs().Remove(handle);
  return TRUE;
}

BOOL CopyText(const std::string& text, BYTE* data, DWORD* dataLen) {
  return SoftCopyOut(text.c_str(), static_cast<DWORD>(text.size() + 1), data, dataLen);
}

BOOL EnumAlgs(P11Prov& prov, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags) {
  if (flags & CRYPT_FIRST) prov.algIndex = 0;
  if (prov.algIndex >= std::size(kAlgs)) return SoftFail(ERROR_NO_MORE_ITEMS);
  const SoftAlg& alg = kAlgs[prov.algIndex];
  BOOL ok;
  if (param == PP_ENUMALGS_EX) {
    PROV_ENUMALGS_EX r{};
    r.aiAlgid = alg.id;
    r.dwDefaultLen = alg.defaultLen, r.dwMinLen = alg.minLen, r.dwMaxLen = alg.maxLen;
    r.dwNameLen = static_cast<DWORD>(std::strlen(alg.name) + 1);
    std::strncpy(r.szName, alg.name, sizeof r.szName - 1);
    r.dwLongNameLen = static_cast<DWORD>(std::strlen(alg.longName) + 1);
    std::strncpy(r.szLongName, alg.longName, sizeof r.szLongName - 1);
    ok = SoftCopyOut(&r, sizeof r, data, dataLen);
  } else {
    PROV_ENUMALGS r{};
    r.aiAlgid = alg.id;
    r.dwBitLen = alg.defaultLen;
    r.dwNameLen = static_cast<DWORD>(std::strlen(alg.name) + 1);
    std::strncpy(r.szName, alg.name, sizeof r.szName - 1);
    ok = SoftCopyOut(&r, sizeof r, data, dataLen);
  }
  if (ok && data != nullptr) ++prov.algIndex;
  return ok;
}

BOOL EnumContainers(P11Prov& prov, BYTE* data, DWORD* dataLen, DWORD flags) {
  if ((flags & CRYPT_FIRST) || prov.containers.empty()) {
    P11Lock lock;
    P11Token* t = nullptr;
    // No token holds no containers: the list is empty, not an error.
    if (P11Open(&t) != ERROR_SUCCESS) prov.containers.clear();
    else if (DWORD e = P11ListContainers(*t, &prov.containers)) return SoftFail(e);
    prov.containerIndex = 0;
  }
  if (dataLen == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  if (data == nullptr) {
    DWORD longest = 1;
    for (const std::string& n : prov.containers) longest = std::max(longest, static_cast<DWORD>(n.size() + 1));
    *dataLen = longest;
    return TRUE;
  }
  if (prov.containerIndex >= prov.containers.size()) return SoftFail(ERROR_NO_MORE_ITEMS);
  if (!CopyText(prov.containers[prov.containerIndex], data, dataLen)) return FALSE;
  ++prov.containerIndex;
  return TRUE;
}

BOOL GetProvParam(HCRYPTPROV handle, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags) {
  std::shared_ptr<P11Prov> prov = Provs().Get(handle);
  if (!prov) return Soft().CryptGetProvParam(handle, param, data, dataLen, flags);
  const DWORD type = PROV_RSA_FULL, impl = CRYPT_IMPL_REMOVABLE;
  switch (param) {
    case PP_NAME: return CopyText(Utf16ToUtf8(kP11ProviderName), data, dataLen);
    case PP_CONTAINER:
    case PP_UNIQUE_CONTAINER: return CopyText(prov->container, data, dataLen);
    case PP_ENUMALGS:
    case PP_ENUMALGS_EX: return EnumAlgs(*prov, param, data, dataLen, flags);
    case PP_ENUMCONTAINERS: return EnumContainers(*prov, data, dataLen, flags);
    case PP_PROVTYPE: return SoftCopyOut(&type, sizeof type, data, dataLen);
    case PP_IMPTYPE: return SoftCopyOut(&impl, sizeof impl, data, dataLen);
    case PP_VERSION: return SoftCopyOut(&kProviderVersion, sizeof kProviderVersion, data, dataLen);
    default: return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
  }
}

BOOL GenKey(HCRYPTPROV handle, ALG_ID requested, DWORD flags, HCRYPTKEY* key) {
  std::shared_ptr<P11Prov> prov = Provs().Get(handle);
  if (!prov) return Soft().CryptGenKey(handle, requested, flags, key);
  if (key == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  ALG_ID algid = 0;
  const DWORD spec = SpecOf(requested, &algid);
  if (spec == 0) return SoftFail(static_cast<DWORD>(NTE_BAD_ALGID));
  if (prov->container.empty()) return SoftFail(static_cast<DWORD>(NTE_BAD_KEYSET));
  DWORD bits = flags >> 16;
  if (bits == 0) bits = 1024;
  if (bits < 1024 || bits > 4096 || bits % 8 != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
  P11Lock lock;
  P11Token* t = nullptr;
  if (DWORD e = OpenForPrivate(&t)) return SoftFail(e);
  if (DWORD e = P11GenerateKey(*t, prov->container, spec, bits)) return SoftFail(e);
  Pending().erase(prov->container);
  prov->privates[spec] = PrivateRef();
  return OpenKey(prov, *t, spec, key);
}

BOOL GetUserKey(HCRYPTPROV handle, DWORD spec, HCRYPTKEY* key) {
  std::shared_ptr<P11Prov> prov = Provs().Get(handle);
  if (!prov) return Soft().CryptGetUserKey(handle, spec, key);
  if (key == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  if ((spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) || prov->container.empty())
    return SoftFail(static_cast<DWORD>(NTE_NO_KEY));
  P11Lock lock;
  P11Token* t = nullptr;
  if (DWORD e = P11Open(&t)) return SoftFail(e);
  return OpenKey(prov, *t, spec, key);
}

BOOL ExportKey(HCRYPTKEY handle, HCRYPTKEY exp, DWORD blobType, DWORD flags, BYTE* data, DWORD* dataLen) {
  std::shared_ptr<P11Key> key = Keys().Get(handle);
  if (!key) return Soft().CryptExportKey(handle, exp, blobType, flags, data, dataLen);
  if (dataLen == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  if (flags != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
  // The private half never leaves the token.
  if (blobType == PRIVATEKEYBLOB) return SoftFail(static_cast<DWORD>(NTE_BAD_KEY_STATE));
  if (blobType != PUBLICKEYBLOB) return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
  SecretBytes blob;
  if (DWORD e = SoftExportRsaBlob(key->pub.get(), key->algid, false, &blob)) return SoftFail(e);
  return SoftCopyOut(blob.data(), static_cast<DWORD>(blob.size()), data, dataLen);
}

BOOL ExportPublicKeyInfo(HCRYPTPROV handle, DWORD spec, DWORD encoding, CERT_PUBLIC_KEY_INFO* info,
                         DWORD* infoLen) {
  std::shared_ptr<P11Prov> prov = Provs().Get(handle);
  if (!prov) return Soft().CryptExportPublicKeyInfo(handle, spec, encoding, info, infoLen);
  if (infoLen == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  if ((encoding & X509_ASN_ENCODING) == 0) return SoftFail(ERROR_FILE_NOT_FOUND);
  if ((spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) || prov->container.empty())
    return SoftFail(static_cast<DWORD>(NTE_NO_KEY));
  EvpPkey pub;
  {
    P11Lock lock;
    P11Token* t = nullptr;
    DWORD e = P11Open(&t);
    if (e == ERROR_SUCCESS) e = P11PublicKey(*t, prov->container, spec, &pub);
    if (e != ERROR_SUCCESS) return SoftFail(e);
  }
  static const char kOid[] = "1.2.840.113549.1.1.1";
  static const BYTE kNull[] = {0x05, 0x00};
  const int n = i2d_PublicKey(pub.get(), nullptr);  // DER RSAPublicKey
  if (n <= 0) return SoftFail(static_cast<DWORD>(NTE_BAD_KEY));
  const DWORD total = static_cast<DWORD>(sizeof(CERT_PUBLIC_KEY_INFO) + sizeof kOid + sizeof kNull + n);
  if (info == nullptr) return *infoLen = total, TRUE;
  if (*infoLen < total) {
    *infoLen = total;
    return SoftFail(ERROR_MORE_DATA);
  }
  BYTE* p = reinterpret_cast<BYTE*>(info) + sizeof(CERT_PUBLIC_KEY_INFO);
  std::memcpy(p, kOid, sizeof kOid);
  info->Algorithm.pszObjId = reinterpret_cast<char*>(p);
  p += sizeof kOid;
  std::memcpy(p, kNull, sizeof kNull);
  info->Algorithm.Parameters = {sizeof kNull, p};
  p += sizeof kNull;
  BYTE* q = p;
  i2d_PublicKey(pub.get(), &q);
  info->PublicKey = {static_cast<DWORD>(n), p, 0};
  *infoLen = total;
  return TRUE;
}

// The big-endian numbers (n, e, d, p, q, dp, dq, qinv) of a PRIVATEKEYBLOB.
DWORD BlobNumbers(const BYTE* blob, DWORD size, std::vector<SecretBytes>* v) {
  if (size < 20 || LoadLe32(blob + 8) != RSA2_MAGIC) return static_cast<DWORD>(NTE_BAD_DATA);
  // As the platform lays out a modulus of any length: halves of ceil(n/16)
  // octets, whole numbers of ceil(n/8).
  const DWORD bits = LoadLe32(blob + 12), full = (bits + 7) / 8, half = (bits + 15) / 16;
  if (bits == 0 || bits > 16384 || size < 20 + full + 5 * half + full) return static_cast<DWORD>(NTE_BAD_DATA);
  auto number = [](const BYTE* le, size_t n) {
    SecretBytes be(le, le + n);
    SoftReverse(be.data(), be.size());
    size_t lead = 0;
    while (lead + 1 < be.size() && be[lead] == 0) ++lead;
    be.erase(be.begin(), be.begin() + static_cast<std::ptrdiff_t>(lead));
    return be;
  };
  const BYTE* p = blob + 20;
  const BYTE* d = p + full + 5 * half;
  v->clear();
  v->push_back(number(p, full));
  v->push_back(number(blob + 16, 4));
  v->push_back(number(d, full));
  for (int i = 0; i < 5; ++i) v->push_back(number(p + full + i * half, half));  // p q dp dq qinv
  return ERROR_SUCCESS;
}

BOOL ImportKey(HCRYPTPROV handle, const BYTE* blob, DWORD size, HCRYPTKEY pubKey, DWORD flags, HCRYPTKEY* key) {
  std::shared_ptr<P11Prov> prov = Provs().Get(handle);
  if (!prov) return Soft().CryptImportKey(handle, blob, size, pubKey, flags, key);
  if (blob == nullptr || key == nullptr || size < 12) return SoftFail(ERROR_INVALID_PARAMETER);
  if (prov->container.empty()) return SoftFail(static_cast<DWORD>(NTE_BAD_KEYSET));
  if (blob[0] != PRIVATEKEYBLOB || blob[1] != CUR_BLOB_VERSION) return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
  ALG_ID algid = 0;
  const DWORD spec = SpecOf(LoadLe32(blob + 4), &algid);
  if (spec == 0) return SoftFail(static_cast<DWORD>(NTE_BAD_ALGID));
  std::vector<SecretBytes> numbers;
  P11Lock lock;
  P11Token* t = nullptr;
  if (DWORD e = OpenForPrivate(&t)) return SoftFail(e);
  if (blob[2] == 1) {
    // A reference blob: bits at 12, the structure's size in bits at 16,
    // its address at 24; the container's exchange key opens it.
    uint64_t address = 0;
    if (size < kReferenceSize || spec != AT_KEYEXCHANGE) return SoftFail(static_cast<DWORD>(NTE_BAD_DATA));
    std::memcpy(&address, blob + 24, sizeof address);
    const DWORD sizeBits = LoadLe32(blob + 16);
    if (address == 0 || sizeBits == 0 || sizeBits % 8 != 0 || sizeBits / 8 > kWrappedLimit)
      return SoftFail(static_cast<DWORD>(NTE_BAD_DATA));
    PrivateRef* unwrapper = nullptr;
    if (DWORD e = Private(*prov, *t, AT_KEYEXCHANGE, &unwrapper)) return SoftFail(e);
    if (DWORD e = P11OpenEnvelope(*t, unwrapper->handle,
                                  reinterpret_cast<const BYTE*>(static_cast<uintptr_t>(address)),
                                  sizeBits / 8, &numbers))
      return SoftFail(e);
  } else if (DWORD e = BlobNumbers(blob, size, &numbers)) {
    return SoftFail(e);
  }
  if (DWORD e = P11CreateKey(*t, prov->container, spec, numbers)) return SoftFail(e);
  Pending().erase(prov->container);
  prov->privates[spec] = PrivateRef();
  return OpenKey(prov, *t, spec, key);
}

BOOL SetKeyParam(HCRYPTKEY handle, DWORD param, const BYTE* data, DWORD flags) {
  std::shared_ptr<P11Key> key = Keys().Get(handle);
  if (!key) return Soft().CryptSetKeyParam(handle, param, data, flags);
  if (data == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  if (param != KP_CERTIFICATE) return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
  const BYTE* p = data;
  using X509Ptr = std::unique_ptr<X509, SoftOsslFree<X509, X509_free>>;
  X509Ptr cert(d2i_X509(nullptr, &p, 1 << 20));
  if (!cert) return SoftFail(static_cast<DWORD>(NTE_BAD_DATA));
  if (EVP_PKEY_eq(key->pub.get(), X509_get0_pubkey(cert.get())) != 1)
    return SoftFail(static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
  P11Lock lock;
  P11Token* t = nullptr;
  DWORD e = P11Open(&t);
  if (e == ERROR_SUCCESS)
    e = P11PutCertificate(*t, key->prov->container, key->spec, data, static_cast<size_t>(p - data));
  return e == ERROR_SUCCESS ? TRUE : SoftFail(e);
}

BOOL GetKeyParam(HCRYPTKEY handle, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags) {
  std::shared_ptr<P11Key> key = Keys().Get(handle);
  if (!key) return Soft().CryptGetKeyParam(handle, param, data, dataLen, flags);
  if (flags != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
  DWORD value = 0;
  switch (param) {
    case KP_ALGID: value = key->algid; break;
    case KP_KEYLEN:
    case KP_BLOCKLEN: value = SoftRsaBits(key->pub.get()); break;
    case KP_CERTIFICATE: {
      std::vector<BYTE> der;
      P11Lock lock;
      P11Token* t = nullptr;
      DWORD e = P11Open(&t);
      if (e == ERROR_SUCCESS) e = P11GetCertificate(*t, key->prov->container, key->spec, &der);
      if (e != ERROR_SUCCESS) return SoftFail(e);
      return SoftCopyOut(der.data(), static_cast<DWORD>(der.size()), data, dataLen);
    }
    default: return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
  }
  return SoftCopyOut(&value, sizeof value, data, dataLen);
}

BOOL Decrypt(HCRYPTKEY handle, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data, DWORD* dataLen) {
  std::shared_ptr<P11Key> key = Keys().Get(handle);
  if (!key) return Soft().CryptDecrypt(handle, hash, final, flags, data, dataLen);
  if (data == nullptr || dataLen == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  if (hash != 0 || !final || flags != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
  if (key->spec != AT_KEYEXCHANGE) return SoftFail(static_cast<DWORD>(NTE_BAD_KEY));
  SecretBytes in(data, data + *dataLen), out(*dataLen, 0);
  SoftReverse(in.data(), in.size());  // the platform's order is little-endian
  P11Lock lock;
  P11Token* t = nullptr;
  PrivateRef* ref = nullptr;
  if (DWORD e = OpenForPrivate(&t)) return SoftFail(e);
  if (DWORD e = Private(*key->prov, *t, AT_KEYEXCHANGE, &ref)) return SoftFail(e);
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  CK_ULONG size = out.size();
  CK_RV rv = t->f->C_DecryptInit(t->session, &mechanism, ref->handle);
  if (rv == CKR_OK) rv = t->f->C_Decrypt(t->session, in.data(), in.size(), out.data(), &size);
  if (rv != CKR_OK) return SoftFail(P11Status(rv));
  std::memcpy(data, out.data(), size);
  *dataLen = static_cast<DWORD>(size);
  return TRUE;
}

BOOL Encrypt(HCRYPTKEY handle, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data, DWORD* dataLen,
             DWORD bufferLen) {
  if (!Keys().Get(handle)) return Soft().CryptEncrypt(handle, hash, final, flags, data, dataLen, bufferLen);
  return SoftFail(static_cast<DWORD>(NTE_BAD_KEY));
}

BOOL GenRandom(HCRYPTPROV handle, DWORD length, BYTE* buffer) {
  if (!Provs().Get(handle)) return Soft().CryptGenRandom(handle, length, buffer);
  if (length == 0) return TRUE;
  if (buffer == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  return RAND_bytes(buffer, static_cast<int>(length)) == 1 ? TRUE : SoftFail(static_cast<DWORD>(NTE_FAIL));
}

const EVP_MD* DigestOf(ALG_ID algid) {
  switch (algid) {
    case CALG_MD5: return EVP_md5();
    case CALG_SHA1: return EVP_sha1();
    case CALG_SHA_256: return EVP_sha256();
    default: return nullptr;
  }
}

BOOL CreateHash(HCRYPTPROV handle, ALG_ID algid, HCRYPTKEY hkey, DWORD flags, HCRYPTHASH* result) {
  std::shared_ptr<P11Prov> prov = Provs().Get(handle);
  if (!prov) return Soft().CryptCreateHash(handle, algid, hkey, flags, result);
  if (result == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  const EVP_MD* md = DigestOf(algid);
  if (md == nullptr) return SoftFail(static_cast<DWORD>(NTE_BAD_ALGID));
  if (hkey != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_KEY));
  if (flags != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
  auto hash = std::make_shared<P11Hash>();
  hash->prov = prov;
  hash->algid = algid;
  hash->ctx.reset(EVP_MD_CTX_new());
  if (!hash->ctx || EVP_DigestInit_ex(hash->ctx.get(), md, nullptr) != 1)
    return SoftFail(static_cast<DWORD>(NTE_NO_MEMORY));
  *result = Hashes().Add(std::move(hash));
  return TRUE;
}

BOOL HashData(HCRYPTHASH handle, const BYTE* data, DWORD size, DWORD flags) {
  std::shared_ptr<P11Hash> hash = Hashes().Get(handle);
  if (!hash) return Soft().CryptHashData(handle, data, size, flags);
  if (flags != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
  if (hash->finished) return SoftFail(static_cast<DWORD>(NTE_BAD_HASH_STATE));
  if (size == 0) return TRUE;
  if (data == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  return EVP_DigestUpdate(hash->ctx.get(), data, size) == 1 ? TRUE : SoftFail(static_cast<DWORD>(NTE_FAIL));
}

DWORD Finish(P11Hash& hash) {
  if (hash.finished) return ERROR_SUCCESS;
  hash.value.assign(EVP_MAX_MD_SIZE, 0);
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(hash.ctx.get(), hash.value.data(), &size) != 1) return static_cast<DWORD>(NTE_FAIL);
  hash.value.resize(size);
  hash.finished = true;
  return ERROR_SUCCESS;
}

BOOL GetHashParam(HCRYPTHASH handle, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags) {
  std::shared_ptr<P11Hash> hash = Hashes().Get(handle);
  if (!hash) return Soft().CryptGetHashParam(handle, param, data, dataLen, flags);
  if (flags != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
  const DWORD size = static_cast<DWORD>(EVP_MD_CTX_get_size(hash->ctx.get()));
  switch (param) {
    case HP_ALGID: return SoftCopyOut(&hash->algid, sizeof hash->algid, data, dataLen);
    case HP_HASHSIZE: return SoftCopyOut(&size, sizeof size, data, dataLen);
    case HP_HASHVAL:
      if (data == nullptr) return SoftCopyOut(nullptr, size, nullptr, dataLen);
      if (DWORD e = Finish(*hash)) return SoftFail(e);
      return SoftCopyOut(hash->value.data(), size, data, dataLen);
    default: return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
  }
}

BOOL SignHash(HCRYPTHASH handle, DWORD spec, const char16_t* description, DWORD flags, BYTE* data,
              DWORD* dataLen) {
  std::shared_ptr<P11Hash> hash = Hashes().Get(handle);
  if (!hash) return Soft().CryptSignHashW(handle, spec, description, flags, data, dataLen);
  if (dataLen == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  if ((spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) || hash->prov->container.empty())
    return SoftFail(static_cast<DWORD>(NTE_NO_KEY));
  P11Lock lock;
  P11Token* t = nullptr;
  PrivateRef* ref = nullptr;
  if (DWORD e = OpenForPrivate(&t)) return SoftFail(e);
  if (DWORD e = Private(*hash->prov, *t, spec, &ref)) return SoftFail(e);
  if (data == nullptr) return SoftCopyOut(nullptr, ref->size, nullptr, dataLen);
  if (*dataLen < ref->size) {
    *dataLen = ref->size;
    return SoftFail(ERROR_MORE_DATA);
  }
  if (DWORD e = Finish(*hash)) return SoftFail(e);
  BYTE info[sizeof kSha256Info + EVP_MAX_MD_SIZE];
  size_t prefix = 0;
  if ((flags & CRYPT_NOHASHOID) == 0) {
    const BYTE* p = hash->algid == CALG_MD5 ? kMd5Info : hash->algid == CALG_SHA1 ? kSha1Info : kSha256Info;
    prefix = hash->algid == CALG_MD5 ? sizeof kMd5Info : hash->algid == CALG_SHA1 ? sizeof kSha1Info : sizeof kSha256Info;
    std::memcpy(info, p, prefix);
  }
  std::memcpy(info + prefix, hash->value.data(), hash->value.size());
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  CK_ULONG size = *dataLen;
  CK_RV rv = t->f->C_SignInit(t->session, &mechanism, ref->handle);
  if (rv == CKR_OK) rv = t->f->C_Sign(t->session, info, prefix + hash->value.size(), data, &size);
  if (rv != CKR_OK) {
    ref->handle = CK_INVALID_HANDLE;  // found again next time
    return SoftFail(P11Status(rv));
  }
  SoftReverse(data, size);
  *dataLen = static_cast<DWORD>(size);
  return TRUE;
}

BOOL DestroyHash(HCRYPTHASH handle) {
  if (!Hashes().Remove(handle)) return Soft().CryptDestroyHash(handle);
  return TRUE;
}

BOOL DestroyKey(HCRYPTKEY handle) {
  if (!Keys().Remove(handle)) return Soft().CryptDestroyKey(handle);
  return TRUE;
}

}  // namespace

void SoftFillPkcs11(Platform& t) {
  Soft() = t;
  t.CryptEnumProvidersW = &EnumProviders;
  t.CryptAcquireContextW = &AcquireContext;
  t.CryptReleaseContext = &ReleaseContext;
  t.CryptGetProvParam = &GetProvParam;
  t.CryptGenKey = &GenKey;
  t.CryptGetUserKey = &GetUserKey;
  t.CryptExportKey = &ExportKey;
  t.CryptExportPublicKeyInfo = &ExportPublicKeyInfo;
  t.CryptImportKey = &ImportKey;
  t.CryptSetKeyParam = &SetKeyParam;
  t.CryptGetKeyParam = &GetKeyParam;
  t.CryptDecrypt = &Decrypt;
  t.CryptEncrypt = &Encrypt;
  t.CryptGenRandom = &GenRandom;
  t.CryptCreateHash = &CreateHash;
  t.CryptHashData = &HashData;
  t.CryptGetHashParam = &GetHashParam;
  t.CryptSignHashW = &SignHash;
  t.CryptDestroyHash = &DestroyHash;
  t.CryptDestroyKey = &DestroyKey;
}
