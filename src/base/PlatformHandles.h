// Holders that release a provider, key, hash, store, certificate or registry key handle of the active
// platform when they leave scope (0 means none).
#pragma once

#include "base/Platform.h"

struct ProviderHandle {
  HCRYPTPROV value = 0;
  ProviderHandle() = default;
  ProviderHandle(const ProviderHandle&) = delete;
  ProviderHandle& operator=(const ProviderHandle&) = delete;
  ~ProviderHandle() {
    if (value) Plat().CryptReleaseContext(value, 0);
  }
};

struct KeyHandle {
  HCRYPTKEY value = 0;
  KeyHandle() = default;
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  ~KeyHandle() {
    if (value) Plat().CryptDestroyKey(value);
  }
};

struct HashHandle {
  HCRYPTHASH value = 0;
  HashHandle() = default;
  HashHandle(const HashHandle&) = delete;
  HashHandle& operator=(const HashHandle&) = delete;
  ~HashHandle() {
    if (value) Plat().CryptDestroyHash(value);
  }
};

struct StoreHandle {
  HCERTSTORE value = nullptr;
  StoreHandle() = default;
  StoreHandle(const StoreHandle&) = delete;
  StoreHandle& operator=(const StoreHandle&) = delete;
  ~StoreHandle() {
    if (value) Plat().CertCloseStore(value, 0);
  }
};

struct CertContextHandle {
  PCCERT_CONTEXT value = nullptr;
  CertContextHandle() = default;
  CertContextHandle(const CertContextHandle&) = delete;
  CertContextHandle& operator=(const CertContextHandle&) = delete;
  ~CertContextHandle() {
    if (value) Plat().CertFreeCertificateContext(value);
  }
};

struct RegKeyHandle {
  HKEY value = nullptr;
  RegKeyHandle() = default;
  RegKeyHandle(const RegKeyHandle&) = delete;
  RegKeyHandle& operator=(const RegKeyHandle&) = delete;
  ~RegKeyHandle() {
    if (value) Plat().RegCloseKey(value);
  }
};

// One method call or tool command of the active platform (BeginCall when
// made, EndCall when it leaves scope): the platform's waits inside it share
// one deadline.
struct PlatformCall {
  const Platform& platform = Plat();
  PlatformCall() { platform.BeginCall(); }
  PlatformCall(const PlatformCall&) = delete;
  PlatformCall& operator=(const PlatformCall&) = delete;
  ~PlatformCall() { platform.EndCall(); }
};
