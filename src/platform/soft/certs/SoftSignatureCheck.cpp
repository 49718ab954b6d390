// CryptVerifyCertificateSignatureEx over OpenSSL: the signature of a signed
// encoding (certificate, CRL, certification request) checked with the
// issuer's public key info. RSA with MD5, SHA-1 or SHA-2, and SM2 with SM3
// under the default distinguishing identifier, as the token provider signs.
#include <openssl/err.h>
#include <openssl/objects.h>

#include <string>
#include <vector>

#include "platform/soft/SoftOssl.h"
#include "platform/soft/SoftTable.h"
#include "platform/soft/crypto/SoftDer.h"

namespace {

constexpr uint8_t kTagSequence = 0x30, kTagBitString = 0x03, kTagOid = 0x06;

using Bytes = std::vector<BYTE>;

void AppendTlv(Bytes* out, uint8_t tag, const BYTE* content, size_t size) {
  out->push_back(tag);
  if (size < 0x80) {
    out->push_back(static_cast<BYTE>(size));
  } else {
    BYTE octets[sizeof(size_t)];
    int n = 0;
    for (size_t v = size; v; v >>= 8) octets[n++] = static_cast<BYTE>(v);
    out->push_back(static_cast<BYTE>(0x80 | n));
    while (n) out->push_back(octets[--n]);
  }
  out->insert(out->end(), content, content + size);
}

// The dotted text of an OBJECT IDENTIFIER's content octets; empty when malformed.
std::string OidText(const SoftDerItem& oid) {
  Bytes der;
  AppendTlv(&der, kTagOid, oid.content, oid.size);
  const unsigned char* p = der.data();
  ASN1_OBJECT* object = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(der.size()));
  char text[128] = {};
  const int length = object ? OBJ_obj2txt(text, sizeof text, object, 1) : 0;
  ASN1_OBJECT_free(object);
  return length > 0 && length < static_cast<int>(sizeof text) ? text : std::string();
}

// The key of a CERT_PUBLIC_KEY_INFO, through its DER SubjectPublicKeyInfo.
EvpPkey KeyOf(const CERT_PUBLIC_KEY_INFO& info) {
  if (info.Algorithm.pszObjId == nullptr) return nullptr;
  using Object = std::unique_ptr<ASN1_OBJECT, SoftOsslFree<ASN1_OBJECT, ASN1_OBJECT_free>>;
  Object oid(OBJ_txt2obj(info.Algorithm.pszObjId, 1));
  const int oidLength = oid ? i2d_ASN1_OBJECT(oid.get(), nullptr) : 0;
  if (oidLength <= 0) return nullptr;
  Bytes algorithm(static_cast<size_t>(oidLength));
  unsigned char* w = algorithm.data();
  i2d_ASN1_OBJECT(oid.get(), &w);
  algorithm.insert(algorithm.end(), info.Algorithm.Parameters.pbData,
                   info.Algorithm.Parameters.pbData + info.Algorithm.Parameters.cbData);
  Bytes bits = {static_cast<BYTE>(info.PublicKey.cUnusedBits)};
  bits.insert(bits.end(), info.PublicKey.pbData, info.PublicKey.pbData + info.PublicKey.cbData);
  Bytes body, spki;
  AppendTlv(&body, kTagSequence, algorithm.data(), algorithm.size());
  AppendTlv(&body, kTagBitString, bits.data(), bits.size());
  AppendTlv(&spki, kTagSequence, body.data(), body.size());
  const unsigned char* p = spki.data();
  return EvpPkey(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
}

// The digest of a signature algorithm; null for one not checked here.
const EVP_MD* DigestOf(const std::string& oid, bool* sm2) {
  *sm2 = oid == "1.2.156.10197.1.501";
  if (*sm2) return EVP_sm3();
  if (oid == "1.2.840.113549.1.1.4") return EVP_md5();
  if (oid == "1.2.840.113549.1.1.5") return EVP_sha1();
  if (oid == "1.2.840.113549.1.1.11") return EVP_sha256();
  if (oid == "1.2.840.113549.1.1.12") return EVP_sha384();
  if (oid == "1.2.840.113549.1.1.13") return EVP_sha512();
  return nullptr;
}

// The check itself; returns the Win32 error (0 when the signature holds).
DWORD Check(const CRYPT_DATA_BLOB& signedBlob, const CERT_PUBLIC_KEY_INFO& issuer) {
  const uint8_t* p = signedBlob.pbData;
  const uint8_t* end = p + signedBlob.cbData;
  SoftDerItem outer, tbs, algorithm, oid, signature;
  if (!SoftDerExpect(&p, end, kTagSequence, &outer)) return static_cast<DWORD>(CRYPT_E_ASN1_BADTAG);
  p = outer.content;
  end = outer.content + outer.size;
  const uint8_t* tbsStart = p;
  if (!SoftDerExpect(&p, end, kTagSequence, &tbs)) return static_cast<DWORD>(CRYPT_E_ASN1_BADTAG);
  const size_t tbsLength = static_cast<size_t>(p - tbsStart);
  if (!SoftDerExpect(&p, end, kTagSequence, &algorithm) ||
      !SoftDerExpect(&p, end, kTagBitString, &signature) || signature.size < 1 ||
      signature.content[0] != 0)
    return static_cast<DWORD>(CRYPT_E_ASN1_BADTAG);
  const uint8_t* a = algorithm.content;
  if (!SoftDerExpect(&a, algorithm.content + algorithm.size, kTagOid, &oid))
    return static_cast<DWORD>(CRYPT_E_ASN1_BADTAG);

  bool sm2 = false;
  const EVP_MD* md = DigestOf(OidText(oid), &sm2);
  if (md == nullptr) return static_cast<DWORD>(NTE_BAD_ALGID);
  EvpPkey key = KeyOf(issuer);
  if (!key) return static_cast<DWORD>(NTE_BAD_PUBLIC_KEY);
  EvpMdCtx ctx(EVP_MD_CTX_new());
  EvpPkeyCtx pctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  if (!ctx || !pctx) return static_cast<DWORD>(NTE_NO_MEMORY);
  if (sm2 && EVP_PKEY_CTX_set1_id(pctx.get(), kSm2SignerId, sizeof kSm2SignerId - 1) <= 0)
    return static_cast<DWORD>(NTE_BAD_PUBLIC_KEY);
  EVP_MD_CTX_set_pkey_ctx(ctx.get(), pctx.get());
  const bool valid =
      EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key.get()) == 1 &&
      EVP_DigestVerify(ctx.get(), signature.content + 1, signature.size - 1, tbsStart,
                       tbsLength) == 1;
  ERR_clear_error();
  return valid ? ERROR_SUCCESS : static_cast<DWORD>(NTE_BAD_SIGNATURE);
}

BOOL CryptVerifyCertificateSignatureExImpl(HCRYPTPROV, DWORD, DWORD subjectType, void* subject,
                                           DWORD issuerType, void* issuer, DWORD, void*) {
  if (subjectType != CRYPT_VERIFY_CERT_SIGN_SUBJECT_BLOB ||
      issuerType != CRYPT_VERIFY_CERT_SIGN_ISSUER_PUBKEY || subject == nullptr ||
      issuer == nullptr) {
    SoftSetLastError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  const DWORD error = Check(*static_cast<const CRYPT_DATA_BLOB*>(subject),
                            *static_cast<const CERT_PUBLIC_KEY_INFO*>(issuer));
  SoftSetLastError(error);
  return error == ERROR_SUCCESS;
}

}  // namespace

void SoftFillSignatureCheck(Platform& t) {
  t.CryptVerifyCertificateSignatureEx = &CryptVerifyCertificateSignatureExImpl;
}
