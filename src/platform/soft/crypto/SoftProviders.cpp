// The provider catalogue: names, kinds and algorithm lists.
#include <cstring>
#include <string_view>

#include "platform/soft/crypto/SoftCrypto.h"

namespace {

// Lengths in bits as the platform reports them in PP_ENUMALGS_EX. Rows
// several providers share (SHA-256 only where the platform's provider of
// that name has it: the AES provider, not the base, enhanced or strong one):
#define KL_HASHES                                                        \
  {CALG_MD5, 128, 128, 128, "MD5", "Message Digest 5 (MD5)"},            \
      {CALG_SHA1, 160, 160, 160, "SHA-1", "Secure Hash Algorithm (SHA-1)"}
#define KL_SHA256 {CALG_SHA_256, 256, 256, 256, "SHA-256", "Secure Hash Algorithm (SHA-256)"}
#define KL_DES_FAMILY                                                    \
  {CALG_DES, 56, 56, 56, "DES", "Data Encryption Standard (DES)"},       \
      {CALG_3DES_112, 112, 112, 112, "3DES TWO KEY", "Two Key Triple DES"}, \
      {CALG_3DES, 168, 168, 168, "3DES", "Three Key Triple DES"}

constexpr SoftAlg kBaseAlgs[] = {
    KL_HASHES,
    {CALG_DES, 56, 56, 56, "DES", "Data Encryption Standard (DES)"},
    {CALG_RSA_SIGN, 512, 384, 16384, "RSA_SIGN", "RSA Signature"},
    {CALG_RSA_KEYX, 512, 384, 1024, "RSA_KEYX", "RSA Key Exchange"},
};

constexpr SoftAlg kEnhancedAlgs[] = {
    KL_HASHES,
    KL_DES_FAMILY,
    {CALG_RSA_SIGN, 1024, 384, 16384, "RSA_SIGN", "RSA Signature"},
    {CALG_RSA_KEYX, 1024, 384, 16384, "RSA_KEYX", "RSA Key Exchange"},
};

constexpr SoftAlg kAesAlgs[] = {
    KL_HASHES,
    KL_SHA256,
    KL_DES_FAMILY,
    {CALG_AES_128, 128, 128, 128, "AES 128", "Advanced Encryption Standard (AES) 128"},
    {CALG_AES_192, 192, 192, 192, "AES 192", "Advanced Encryption Standard (AES) 192"},
    {CALG_AES_256, 256, 256, 256, "AES 256", "Advanced Encryption Standard (AES) 256"},
    {CALG_RSA_SIGN, 1024, 384, 16384, "RSA_SIGN", "RSA Signature"},
    {CALG_RSA_KEYX, 1024, 384, 16384, "RSA_KEYX", "RSA Key Exchange"},
};

constexpr SoftAlg kRsaTokenAlgs[] = {
    KL_HASHES,
    KL_SHA256,
    {CALG_3DES, 168, 168, 168, "3DES", "Three Key Triple DES"},
    {CALG_RSA_SIGN, 1024, 512, 4096, "RSA_SIGN", "RSA Signature"},
    {CALG_RSA_KEYX, 1024, 512, 4096, "RSA_KEYX", "RSA Key Exchange"},
};

constexpr SoftAlg kSm2TokenAlgs[] = {
    {CALG_SM3, 256, 256, 256, "SM3", "SM3 Hash Algorithm"},
    {CALG_SHA1, 160, 160, 160, "SHA-1", "Secure Hash Algorithm (SHA-1)"},
    {CALG_SHA_256, 256, 256, 256, "SHA-256", "Secure Hash Algorithm (SHA-256)"},
    {KL_CALG_SM2_SIGN, 256, 256, 256, "SM2_SIGN", "SM2 Signature"},
    {KL_CALG_SM2_KEYX, 256, 256, 256, "SM2_KEYX", "SM2 Key Exchange"},
};

#undef KL_HASHES
#undef KL_SHA256
#undef KL_DES_FAMILY

template <size_t N>
constexpr size_t Count(const SoftAlg (&)[N]) {
  return N;
}

// Enumeration order: the software providers as the platform lists them,
// then the tokens. The AES provider has a type of its own (and is opened
// with it only), as on the platform.
const SoftProvider kProviders[] = {
    {u"Keyloom RSA Token Provider", SoftProviderKind::kRsaToken, "rsa-token", kRsaTokenAlgs,
     Count(kRsaTokenAlgs)},
    {u"Keyloom SM2 Token Provider", SoftProviderKind::kSm2Token, "sm2-token", kSm2TokenAlgs,
     Count(kSm2TokenAlgs)},
    {u"Microsoft Base Cryptographic Provider v1.0", SoftProviderKind::kSoftRsa, "rsa", kBaseAlgs,
     Count(kBaseAlgs)},
    {u"Microsoft Enhanced Cryptographic Provider v1.0", SoftProviderKind::kSoftRsa, "rsa",
     kEnhancedAlgs, Count(kEnhancedAlgs)},
    {u"Microsoft Enhanced RSA and AES Cryptographic Provider", SoftProviderKind::kSoftRsa, "rsa",
     kAesAlgs, Count(kAesAlgs), PROV_RSA_AES},
    {u"Microsoft Strong Cryptographic Provider", SoftProviderKind::kSoftRsa, "rsa", kEnhancedAlgs,
     Count(kEnhancedAlgs)},
};

}  // namespace

const SoftProvider* SoftProviderAt(DWORD index) {
  return index < std::size(kProviders) ? &kProviders[index] : nullptr;
}

const SoftProvider* SoftFindProvider(const char16_t* name) {
  if (name == nullptr) return nullptr;
  for (const SoftProvider& p : kProviders)
    if (std::u16string_view(p.name) == std::u16string_view(name)) return &p;
  return nullptr;
}

const SoftAlg* SoftFindAlg(const SoftProvider& provider, ALG_ID alg) {
  for (size_t i = 0; i < provider.algCount; ++i)
    if (provider.algs[i].id == alg) return &provider.algs[i];
  return nullptr;
}

bool SoftIsToken(const SoftProvider& provider) {
  return provider.kind != SoftProviderKind::kSoftRsa;
}
