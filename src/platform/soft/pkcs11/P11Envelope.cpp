// The authority's encrypted envelope opened on the token. The session key
// is unwrapped by the token's exchange key into a session object and never
// leaves the token; it decrypts the private key on the token too. Tokens
// take private keys in unwrapping only as PKCS#8 with their own padding
// rules, while the envelope carries a PKCS#1 RSAPrivateKey in 3DES-ECB with
// PKCS#5 padding: that plaintext comes out, is read and wiped, and the key
// is created as a sensitive, not extractable object by the caller.
#include <cstring>

#include "platform/soft/crypto/SoftDer.h"
#include "platform/soft/pkcs11/P11.h"

namespace {

constexpr size_t kTripleDesKey = 24;

DWORD Bad() { return static_cast<DWORD>(NTE_BAD_DATA); }

// The session key as a 3DES session object of the token: unwrapped there,
// or, for an authority that sends it in 32 octets (of which 3DES takes the
// first 24, which no token's unwrapping does), decrypted and put back.
DWORD SessionKey(P11Token& t, CK_OBJECT_HANDLE unwrapper, const SoftDerItem& wrapped,
                 CK_OBJECT_HANDLE* key) {
  const CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
  const CK_KEY_TYPE type = CKK_DES3;
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  CK_ATTRIBUTE attrs[] = {{CKA_CLASS, const_cast<CK_OBJECT_CLASS*>(&cls), sizeof cls},
                          {CKA_KEY_TYPE, const_cast<CK_KEY_TYPE*>(&type), sizeof type},
                          {CKA_TOKEN, &no, 1},
                          {CKA_SENSITIVE, &yes, 1},
                          {CKA_EXTRACTABLE, &no, 1},
                          {CKA_DECRYPT, &yes, 1},
                          {CKA_VALUE, nullptr, 0}};
  CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
  CK_RV rv = t.f->C_UnwrapKey(t.session, &rsa, unwrapper, const_cast<BYTE*>(wrapped.content),
                              wrapped.size, attrs, 6, key);
  if (rv == CKR_OK) return ERROR_SUCCESS;
  if (rv != CKR_WRAPPED_KEY_LEN_RANGE && rv != CKR_TEMPLATE_INCONSISTENT &&
      rv != CKR_WRAPPED_KEY_INVALID && rv != CKR_KEY_SIZE_RANGE)
    return P11Status(rv);
  SecretBytes plain(wrapped.size, 0);
  CK_ULONG size = plain.size();
  if ((rv = t.f->C_DecryptInit(t.session, &rsa, unwrapper)) != CKR_OK ||
      (rv = t.f->C_Decrypt(t.session, const_cast<BYTE*>(wrapped.content), wrapped.size, plain.data(),
                           &size)) != CKR_OK)
    return P11Status(rv);
  if (size != kTripleDesKey && size != 32) return Bad();
  attrs[6] = {CKA_VALUE, plain.data(), kTripleDesKey};
  return P11Status(t.f->C_CreateObject(t.session, attrs, 7, key));
}

// The eight numbers of a DER RSAPrivateKey, big-endian without sign octets.
DWORD Numbers(const BYTE* der, size_t size, std::vector<SecretBytes>* numbers) {
  const BYTE* p = der;
  const BYTE* end = der + size;
  SoftDerItem seq, item;
  if (!SoftDerExpect(&p, end, 0x30, &seq) || p != end) return Bad();
  p = seq.content;
  end = seq.content + seq.size;
  if (!SoftDerExpect(&p, end, 0x02, &item)) return Bad();  // version
  numbers->clear();
  for (int i = 0; i < 8; ++i) {
    if (!SoftDerExpect(&p, end, 0x02, &item) || item.size == 0) return Bad();
    while (item.size > 1 && item.content[0] == 0) ++item.content, --item.size;
    numbers->emplace_back(item.content, item.content + item.size);
  }
  return ERROR_SUCCESS;
}

}  // namespace

DWORD P11OpenEnvelope(P11Token& t, CK_OBJECT_HANDLE unwrapper, const BYTE* data, size_t size,
                      std::vector<SecretBytes>* numbers) {
  SoftDerItem wrappedSession, wrappedKey;
  if (!SoftDerReadRsaEnvelope(data, size, &wrappedSession, &wrappedKey) || wrappedKey.size == 0 ||
      wrappedKey.size % 8 != 0)
    return Bad();

  CK_OBJECT_HANDLE session = CK_INVALID_HANDLE;
  if (DWORD e = SessionKey(t, unwrapper, wrappedSession, &session)) return e;
  SecretBytes der(wrappedKey.size, 0);
  CK_ULONG plainSize = der.size();
  CK_MECHANISM ecb{CKM_DES3_ECB, nullptr, 0};
  CK_RV rv = t.f->C_DecryptInit(t.session, &ecb, session);
  if (rv == CKR_OK)
    rv = t.f->C_Decrypt(t.session, const_cast<BYTE*>(wrappedKey.content), wrappedKey.size,
                        der.data(), &plainSize);
  t.f->C_DestroyObject(t.session, session);
  if (rv != CKR_OK) return P11Status(rv);
  // PKCS#5 padding: 1 to 8 octets, each the count.
  const BYTE pad = plainSize ? der[plainSize - 1] : 0;
  if (pad == 0 || pad > 8 || pad > plainSize) return Bad();
  for (size_t i = plainSize - pad; i < plainSize; ++i)
    if (der[i] != pad) return Bad();
  return Numbers(der.data(), plainSize - pad, numbers);
}
