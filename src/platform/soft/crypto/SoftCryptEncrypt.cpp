// CryptEncrypt: RSA PKCS#1 v1.5 to the public half, written in the
// platform's little-endian order, and block ciphers in ECB or CBC mode with
// PKCS#5 padding added on the final call; the inverse of CryptDecrypt.
#include <openssl/rsa.h>

#include <cstring>

#include "platform/soft/crypto/SoftCrypto.h"
#include "platform/soft/SoftTable.h"

namespace {

// The output length of encrypting *dataLen octets with `key`; 0 with the
// error in *error when the input cannot be encrypted.
DWORD OutputLength(const SoftKey& key, BOOL final, DWORD size, DWORD* error) {
  if (key.kind == SoftKeyKind::kRsa) {
    const DWORD modulus = static_cast<DWORD>(EVP_PKEY_get_size(key.pkey.get()));
    if (size + 11 > modulus) return *error = static_cast<DWORD>(NTE_BAD_LEN), 0;
    return modulus;
  }
  if (key.kind != SoftKeyKind::kSession) return *error = static_cast<DWORD>(NTE_BAD_KEY), 0;
  const EVP_CIPHER* cipher = SoftCipherOf(key.algid, key.mode);
  if (cipher == nullptr) return *error = static_cast<DWORD>(NTE_BAD_ALGID), 0;
  const DWORD block = static_cast<DWORD>(EVP_CIPHER_get_block_size(cipher));
  if (!final && size % block != 0) return *error = static_cast<DWORD>(NTE_BAD_DATA), 0;
  return final ? (size / block + 1) * block : size;
}

BOOL EncryptRsa(SoftKey& key, BYTE* data, DWORD* dataLen, DWORD modulus) {
  EvpPkeyCtx ctx(EVP_PKEY_CTX_new(key.pkey.get(), nullptr));
  SecretBytes out(modulus, 0);
  size_t outSize = modulus;
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_encrypt(ctx.get(), out.data(), &outSize, data, *dataLen) <= 0 || outSize != modulus)
    return SoftFail(static_cast<DWORD>(NTE_FAIL));
  SoftReverse(out.data(), out.size());
  std::memcpy(data, out.data(), modulus);
  *dataLen = modulus;
  return TRUE;
}

BOOL EncryptBlocks(SoftKey& key, BOOL final, BYTE* data, DWORD* dataLen, DWORD padded) {
  const EVP_CIPHER* cipher = SoftCipherOf(key.algid, key.mode);
  const DWORD block = static_cast<DWORD>(EVP_CIPHER_get_block_size(cipher));
  const DWORD size = *dataLen;
  // PKCS#5: every added octet holds the number of octets added.
  std::memset(data + size, static_cast<int>(padded - size), padded - size);
  EvpCipherCtx ctx(EVP_CIPHER_CTX_new());
  int n = 0;
  if (!ctx ||
      EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.session.bytes,
                         key.mode == CRYPT_MODE_CBC ? key.feedback : nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
      EVP_EncryptUpdate(ctx.get(), data, &n, data, static_cast<int>(padded)) != 1)
    return SoftFail(static_cast<DWORD>(NTE_FAIL));
  // The next message starts again from the key's IV; a partial message
  // chains from its last cipher block.
  if (final) std::memcpy(key.feedback, key.iv, sizeof key.iv);
  else if (padded) std::memcpy(key.feedback, data + padded - block, block);
  *dataLen = padded;
  return TRUE;
}

BOOL CryptEncryptImpl(HCRYPTKEY handle, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                      DWORD* dataLen, DWORD bufferLen) {
  std::shared_ptr<SoftKey> key = SoftKeys().Get(handle);
  if (!key) return SoftFail(static_cast<DWORD>(NTE_BAD_KEY));
  if (flags != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
  if (dataLen == nullptr || (data != nullptr && bufferLen < *dataLen))
    return SoftFail(ERROR_INVALID_PARAMETER);
  DWORD error = 0;
  const DWORD needed = OutputLength(*key, final, *dataLen, &error);
  if (needed == 0 && error != 0) return SoftFail(error);
  if (data == nullptr || bufferLen < needed) {
    *dataLen = needed;
    return data == nullptr ? TRUE : SoftFail(ERROR_MORE_DATA);
  }
  // The hash sees the plaintext, on the call that encrypts it.
  if (hash != 0 && !SoftHashAppend(hash, data, *dataLen)) return FALSE;
  return key->kind == SoftKeyKind::kRsa ? EncryptRsa(*key, data, dataLen, needed)
                                        : EncryptBlocks(*key, final, data, dataLen, needed);
}

}  // namespace

void SoftFillCryptEncrypt(Platform& t) { t.CryptEncrypt = &CryptEncryptImpl; }
