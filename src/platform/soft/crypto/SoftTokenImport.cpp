// The tokens' import of an authority's wrapped key through a reference
// blob (reserved field 1): the blob carries the address and size of the
// wrapped structure; the token opens it with the container's exchange key
// and stores the result as the container's new exchange key.
#include <cstring>

#include "platform/soft/crypto/SoftCrypto.h"
#include "platform/soft/crypto/SoftDer.h"
#include "platform/soft/crypto/SoftKeyBlobs.h"

namespace {

constexpr size_t kRsaReferenceSize = 32;
constexpr size_t kSm2ReferenceSize = 24;
constexpr size_t kWrappedLimit = 1 << 20;
constexpr DWORD kTripleDesKey = 24;

// DER contents of the object identifiers the envelopes name.
const BYTE kOidSm4Ecb[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x68, 0x01};  // 1.2.156.10197.1.104.1

// The wrapped structure a reference blob points at: `sizeBits` bits at
// the address stored at `addressOffset`.
bool Referenced(const BYTE* blob, size_t addressOffset, DWORD sizeBits, const BYTE** data,
                size_t* size) {
  uint64_t address = 0;
  std::memcpy(&address, blob + addressOffset, sizeof address);
  if (address == 0 || sizeBits == 0 || sizeBits % 8 != 0 || sizeBits / 8 > kWrappedLimit)
    return false;
  *data = reinterpret_cast<const BYTE*>(static_cast<uintptr_t>(address));
  *size = sizeBits / 8;
  return true;
}

// Decrypts `in` with a block cipher without padding into `out`.
DWORD Decipher(const EVP_CIPHER* cipher, const BYTE* key, const BYTE* in, size_t size,
               SecretBytes* out) {
  const int block = EVP_CIPHER_get_block_size(cipher);
  if (size == 0 || size % static_cast<size_t>(block) != 0) return static_cast<DWORD>(NTE_BAD_DATA);
  EvpCipherCtx ctx(EVP_CIPHER_CTX_new());
  out->assign(size + static_cast<size_t>(block), 0);
  int n = 0, tail = 0;
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, key, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
      EVP_DecryptUpdate(ctx.get(), out->data(), &n, in, static_cast<int>(size)) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), out->data() + n, &tail) != 1)
    return static_cast<DWORD>(NTE_BAD_DATA);
  out->resize(static_cast<size_t>(n + tail));
  return ERROR_SUCCESS;
}

// The container's exchange key of the expected kind.
DWORD ExchangeKey(SoftProv& prov, SoftKeyKind kind, EvpPkey* key) {
  SoftStoredKey stored;
  if (DWORD e = SoftLoadKeyPair(prov, AT_KEYEXCHANGE, &stored)) return e;
  if (SoftKindOfAlg(stored.algid) != kind) return static_cast<DWORD>(NTE_BAD_KEY);
  return SoftKeyFromMaterial(kind, stored.material, key);
}

// An RSA key from its DER RSAPrivateKey, read here (not by OpenSSL's
// decoder, which leaves unwiped copies) into a PRIVATEKEYBLOB.
DWORD RsaFromDer(const BYTE* der, size_t size, EvpPkey* key) {
  const BYTE* p = der;
  const BYTE* end = der + size;
  SoftDerItem seq, item[9];
  if (!SoftDerExpect(&p, end, 0x30, &seq) || p != end) return static_cast<DWORD>(NTE_BAD_DATA);
  p = seq.content;
  end = seq.content + seq.size;
  for (SoftDerItem& i : item) {
    if (!SoftDerExpect(&p, end, 0x02, &i)) return static_cast<DWORD>(NTE_BAD_DATA);
    while (i.size > 1 && i.content[0] == 0) ++i.content, --i.size;  // the sign octet
  }
  // A modulus of an odd number of octets (1032, 1048, 2040 bits) has
  // halves of ceil(n/16) octets, as the blob lays them out.
  if (item[1].size == 0 || item[1].content[0] < 0x80 || item[2].size > 4)
    return static_cast<DWORD>(NTE_BAD_DATA);
  const size_t full = item[1].size, half = (full + 1) / 2;
  // Blob order after the header: n, p, q, dp, dq, qinv, d.
  const int order[] = {1, 4, 5, 6, 7, 8, 3};
  SecretBytes blob(20 + full + 5 * half + full, 0);
  blob[0] = PRIVATEKEYBLOB;
  blob[1] = CUR_BLOB_VERSION;
  StoreLe32(&blob[4], CALG_RSA_KEYX);
  StoreLe32(&blob[8], RSA2_MAGIC);
  StoreLe32(&blob[12], static_cast<DWORD>(full * 8));
  for (size_t i = 0; i < item[2].size; ++i) blob[16 + i] = item[2].content[item[2].size - 1 - i];
  size_t offset = 20;
  for (int index : order) {
    const size_t width = (index == 1 || index == 3) ? full : half;
    const SoftDerItem& v = item[index];
    if (v.size > width) return static_cast<DWORD>(NTE_BAD_DATA);
    for (size_t i = 0; i < v.size; ++i) blob[offset + i] = v.content[v.size - 1 - i];
    offset += width;
  }
  bool isPrivate = false;
  return SoftImportRsaBlob(blob.data(), static_cast<DWORD>(blob.size()), key, &isPrivate);
}

// SEQUENCE { INTEGER 1, OID rsaEncryption, OID 3DES-ECB, OCTET STRING
// wrapped session key, OCTET STRING wrapped private key }.
DWORD OpenRsaEnvelope(SoftProv& prov, const BYTE* data, size_t size, EvpPkey* result) {
  SoftDerItem wrappedSession, wrappedKey;
  if (!SoftDerReadRsaEnvelope(data, size, &wrappedSession, &wrappedKey))
    return static_cast<DWORD>(NTE_BAD_DATA);

  EvpPkey exchange;
  if (DWORD e = ExchangeKey(prov, SoftKeyKind::kRsa, &exchange)) return e;
  // The authority sends the wrapped session key big-endian, as it made it.
  SecretBytes session;
  if (DWORD e = SoftRsaDecryptPkcs1(exchange.get(), wrappedSession.content, wrappedSession.size,
                                    &session))
    return e;
  if (session.size() == 32) session.resize(kTripleDesKey);  // a 32-octet result carries 24
  if (session.size() != kTripleDesKey) return static_cast<DWORD>(NTE_BAD_DATA);

  SecretBytes der;
  if (DWORD e = Decipher(EVP_des_ede3_ecb(), session.data(), wrappedKey.content, wrappedKey.size, &der))
    return e;
  DWORD plainSize = static_cast<DWORD>(der.size());
  if (DWORD e = SoftStripPkcs5(der.data(), &plainSize, 8)) return e;
  return RsaFromDer(der.data(), plainSize, result);
  return ERROR_SUCCESS;
}

// SM2EnvelopedKey: SEQUENCE { AlgorithmIdentifier SM4-ECB, SM2Cipher,
// BIT STRING public key 04||X||Y, BIT STRING SM4-ECB(private key) }.
DWORD OpenSm2Envelope(SoftProv& prov, const BYTE* data, size_t size, EvpPkey* result) {
  const BYTE* p = data;
  const BYTE* end = data + size;
  SoftDerItem seq, algorithm, oid, cipher, publicKey, wrappedKey;
  if (!SoftDerExpect(&p, end, 0x30, &seq) || p != end) return static_cast<DWORD>(NTE_BAD_DATA);
  p = seq.content;
  end = seq.content + seq.size;
  if (!SoftDerExpect(&p, end, 0x30, &algorithm)) return static_cast<DWORD>(NTE_BAD_DATA);
  const BYTE* a = algorithm.content;
  if (!SoftDerExpect(&a, algorithm.content + algorithm.size, 0x06, &oid) ||
      !SoftDerIsOid(oid, kOidSm4Ecb))
    return static_cast<DWORD>(NTE_BAD_DATA);
  const BYTE* cipherStart = p;
  if (!SoftDerExpect(&p, end, 0x30, &cipher)) return static_cast<DWORD>(NTE_BAD_DATA);
  const size_t cipherSize = static_cast<size_t>(p - cipherStart);
  if (!SoftDerExpect(&p, end, 0x03, &publicKey) || !SoftDerExpect(&p, end, 0x03, &wrappedKey) ||
      p != end || publicKey.size != 66 || publicKey.content[0] != 0 || publicKey.content[1] != 4 ||
      wrappedKey.size != 33 || wrappedKey.content[0] != 0)
    return static_cast<DWORD>(NTE_BAD_DATA);

  EvpPkey exchange;
  if (DWORD e = ExchangeKey(prov, SoftKeyKind::kSm2, &exchange)) return e;
  EvpPkeyCtx ctx(EVP_PKEY_CTX_new(exchange.get(), nullptr));
  SecretBytes sm4Key(cipherSize, 0);
  size_t sm4Size = sm4Key.size();
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
      EVP_PKEY_decrypt(ctx.get(), sm4Key.data(), &sm4Size, cipherStart, cipherSize) <= 0 ||
      sm4Size != 16)
    return static_cast<DWORD>(NTE_BAD_DATA);

  SecretBytes scalar;
  if (DWORD e = Decipher(EVP_sm4_ecb(), sm4Key.data(), wrappedKey.content + 1, 32, &scalar)) return e;
  if (DWORD e = SoftSm2FromPrivate(scalar.data(), result)) return e;
  std::vector<BYTE> point;
  if (DWORD e = SoftSm2PublicPoint(result->get(), &point)) return e;
  // The private key must belong to the public key the envelope names.
  if (std::memcmp(point.data(), publicKey.content + 1, 65) != 0) return static_cast<DWORD>(NTE_BAD_DATA);
  return ERROR_SUCCESS;
}

bool Header(const BYTE* blob, ALG_ID algid) {
  return blob[0] == PRIVATEKEYBLOB && blob[1] == CUR_BLOB_VERSION && blob[2] == 1 && blob[3] == 0 &&
         LoadLe32(blob + 4) == algid && LoadLe32(blob + 8) == algid;
}

}  // namespace

BOOL SoftImportRsaReference(const std::shared_ptr<SoftProv>& prov, const BYTE* blob, DWORD size,
                            HCRYPTKEY* key) {
  const BYTE* data = nullptr;
  size_t dataSize = 0;
  if (size < kRsaReferenceSize || !Header(blob, CALG_RSA_KEYX) || LoadLe32(blob + 20) != 0 ||
      !Referenced(blob, 24, LoadLe32(blob + 16), &data, &dataSize))
    return SoftFail(static_cast<DWORD>(NTE_BAD_DATA));
  EvpPkey pkey;
  if (DWORD e = OpenRsaEnvelope(*prov, data, dataSize, &pkey)) return SoftFail(e);
  return SoftStageKeyPair(prov, AT_KEYEXCHANGE, CALG_RSA_KEYX, false, std::move(pkey), key);
}

BOOL SoftImportSm2Reference(const std::shared_ptr<SoftProv>& prov, const BYTE* blob, DWORD size,
                            HCRYPTKEY* key) {
  const BYTE* data = nullptr;
  size_t dataSize = 0;
  if (size < kSm2ReferenceSize || !Header(blob, KL_CALG_SM2_KEYX) ||
      !Referenced(blob, 16, LoadLe32(blob + 12), &data, &dataSize))
    return SoftFail(static_cast<DWORD>(NTE_BAD_DATA));
  EvpPkey pkey;
  if (DWORD e = OpenSm2Envelope(*prov, data, dataSize, &pkey)) return SoftFail(e);
  return SoftStageKeyPair(prov, AT_KEYEXCHANGE, KL_CALG_SM2_KEYX, false, std::move(pkey), key);
}
