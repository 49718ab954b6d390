// CryptDecrypt: RSA PKCS#1 v1.5 in the platform's little-endian order, and
// block ciphers in ECB or CBC mode with PKCS#5 padding removed on the final
// call.
#include <cstring>

#include "platform/soft/crypto/SoftCrypto.h"
#include "platform/soft/SoftTable.h"

namespace {

BOOL DecryptRsa(SoftKey& key, BYTE* data, DWORD* dataLen) {
  if (!key.hasPrivate) return SoftFail(static_cast<DWORD>(NTE_BAD_KEY));
  const DWORD modulus = static_cast<DWORD>(EVP_PKEY_get_size(key.pkey.get()));
  if (*dataLen != modulus) return SoftFail(static_cast<DWORD>(NTE_BAD_LEN));
  SecretBytes block(data, data + modulus);
  SoftReverse(block.data(), block.size());
  SecretBytes plain;
  if (DWORD e = SoftRsaDecryptPkcs1(key.pkey.get(), block.data(), block.size(), &plain))
    return SoftFail(e);
  std::memcpy(data, plain.data(), plain.size());
  *dataLen = static_cast<DWORD>(plain.size());
  return TRUE;
}

BOOL DecryptBlocks(SoftKey& key, BOOL final, BYTE* data, DWORD* dataLen) {
  const EVP_CIPHER* cipher = SoftCipherOf(key.algid, key.mode);
  if (cipher == nullptr) return SoftFail(static_cast<DWORD>(NTE_BAD_ALGID));
  const DWORD block = static_cast<DWORD>(EVP_CIPHER_get_block_size(cipher));
  const DWORD size = *dataLen;
  if (size % block != 0 || (final && size == 0)) return SoftFail(static_cast<DWORD>(NTE_BAD_DATA));
  BYTE nextFeedback[16];
  if (size) std::memcpy(nextFeedback, data + size - block, block);
  EvpCipherCtx ctx(EVP_CIPHER_CTX_new());
  int n = 0;
  if (!ctx ||
      EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, key.session.bytes,
                         key.mode == CRYPT_MODE_CBC ? key.feedback : nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
      EVP_DecryptUpdate(ctx.get(), data, &n, data, static_cast<int>(size)) != 1)
    return SoftFail(static_cast<DWORD>(NTE_FAIL));
  if (final) {
    // The next message starts again from the key's IV.
    std::memcpy(key.feedback, key.iv, sizeof key.iv);
    DWORD plain = size;
    if (DWORD e = SoftStripPkcs5(data, &plain, block)) return SoftFail(e);
    *dataLen = plain;
    return TRUE;
  }
  if (size) std::memcpy(key.feedback, nextFeedback, block);
  return TRUE;
}

BOOL CryptDecryptImpl(HCRYPTKEY handle, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                      DWORD* dataLen) {
  std::shared_ptr<SoftKey> key = SoftKeys().Get(handle);
  if (!key) return SoftFail(static_cast<DWORD>(NTE_BAD_KEY));
  if (flags != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
  if (dataLen == nullptr || (data == nullptr && *dataLen != 0))
    return SoftFail(ERROR_INVALID_PARAMETER);
  BOOL ok;
  switch (key->kind) {
    case SoftKeyKind::kRsa: ok = DecryptRsa(*key, data, dataLen); break;
    case SoftKeyKind::kSession: ok = DecryptBlocks(*key, final, data, dataLen); break;
    default: return SoftFail(static_cast<DWORD>(NTE_BAD_KEY));
  }
  if (ok && hash != 0) return SoftHashAppend(hash, data, *dataLen);
  return ok;
}

}  // namespace

void SoftFillCryptDecrypt(Platform& t) { t.CryptDecrypt = &CryptDecryptImpl; }
