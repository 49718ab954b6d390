// Owning holders for the OpenSSL objects of the soft platform, and a byte
// buffer for secrets that wipes every block it gives back.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>
#include <vector>

#include "base/WinTypes.h"

template <typename T, void (*Free)(T*)>
struct SoftOsslFree {
  void operator()(T* p) const { Free(p); }
};

using EvpPkey = std::unique_ptr<EVP_PKEY, SoftOsslFree<EVP_PKEY, EVP_PKEY_free>>;
using EvpPkeyCtx = std::unique_ptr<EVP_PKEY_CTX, SoftOsslFree<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using EvpMdCtx = std::unique_ptr<EVP_MD_CTX, SoftOsslFree<EVP_MD_CTX, EVP_MD_CTX_free>>;
using EvpCipherCtx =
    std::unique_ptr<EVP_CIPHER_CTX, SoftOsslFree<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using Bignum = std::unique_ptr<BIGNUM, SoftOsslFree<BIGNUM, BN_clear_free>>;
using EcGroup = std::unique_ptr<EC_GROUP, SoftOsslFree<EC_GROUP, EC_GROUP_free>>;
using EcPoint = std::unique_ptr<EC_POINT, SoftOsslFree<EC_POINT, EC_POINT_clear_free>>;
using ParamBld = std::unique_ptr<OSSL_PARAM_BLD, SoftOsslFree<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, SoftOsslFree<OSSL_PARAM, OSSL_PARAM_free>>;

// An allocator that wipes each block before returning it, so that a
// vector of secrets leaves nothing behind when it grows or dies.
template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  void deallocate(T* p, size_t n) {
    OPENSSL_cleanse(p, n * sizeof(T));
    ::operator delete(p);
  }
  template <typename U>
  bool operator==(const WipingAllocator<U>&) const { return true; }
};

using SecretBytes = std::vector<BYTE, WipingAllocator<BYTE>>;
