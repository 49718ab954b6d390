// A scripted stand-in for a cryptographic provider behind the platform
// table: it records the provider calls the control makes and answers them
// with fixed keys and signatures, so that call sequences, flags and byte
// layouts can be checked without a real provider. Everything else goes to
// the default table.
#pragma once

#include <string>
#include <vector>

#include "base/Platform.h"

struct FakeProvider {
  // Provider names for CryptEnumProvidersW, in order. An entry "!" has a
  // size query that fails (ERROR_INVALID_PARAMETER); "?" fails on fetch.
  std::vector<std::u16string> providers = {u"Microsoft Base Cryptographic Provider v1.0",
                                           u"Microsoft Enhanced Cryptographic Provider v1.0",
                                           u"Keyloom SM2 Token Provider"};
  // The first call whose name matches fails with this last error.
  std::string failCall;
  DWORD failError = 0;
  // The signature CryptSignHashW returns (little-endian, as providers do).
  std::vector<BYTE> signature;
  // What the control asked for, one line per call, e.g.
  // "CryptAcquireContextW {C} Microsoft... flags=0x8".
  std::vector<std::string> log;
  // The data hashed, in order.
  std::vector<BYTE> hashed;

  // The 140-octet SM2 blob and the 140-octet RSAPublicKey handed out.
  static std::vector<BYTE> Sm2Blob();
  static std::vector<BYTE> RsaPublicKey();
};

// Installs `fake` over the default table for the scope.
class ScopedFakeProvider {
 public:
  explicit ScopedFakeProvider(FakeProvider* fake);
  ~ScopedFakeProvider();
  ScopedFakeProvider(const ScopedFakeProvider&) = delete;
  ScopedFakeProvider& operator=(const ScopedFakeProvider&) = delete;

 private:
  Platform table_;
  const Platform* previous_;
};

// Lines of `log` that start with `prefix`.
std::vector<std::string> CallsOf(const FakeProvider& fake, const std::string& prefix);
