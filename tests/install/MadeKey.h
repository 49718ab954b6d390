// A key pair made in a provider for the installation tests, with a
// certificate of its public key from a throwaway authority (OpenSSL).
#pragma once

#include <string>

#include "support/CryptTestSupport.h"
#include "support/TestPki.h"

struct MadeKey {
  std::u16string container;  // a new container of the provider
  Bytes certificate;         // DER; empty when the key could not be made
};

// Creates a new container of `provider` holding a key of `spec` (RSA 1024
// bits, or SM2 when `sm2`) and certifies its exported public key.
inline MadeKey MakeKey(const char16_t* provider, DWORD spec, bool sm2 = false) {
  MadeKey made{UniqueContainer("install"), {}};
  Prov prov;
  Key key;
  const ALG_ID alg = !sm2 ? spec : spec == AT_SIGNATURE ? KL_CALG_SM2_SIGN : KL_CALG_SM2_KEYX;
  if (!prov.Acquire(made.container.c_str(), provider, CRYPT_NEWKEYSET) ||
      !Plat().CryptGenKey(prov.h, alg, sm2 ? 0 : 1024u << 16, &key.h))
    return made;
  const Bytes blob = ExportKey(key.h, PUBLICKEYBLOB);
  const Pkey pub = sm2 ? Sm2FromPublicBlob(blob) : RsaFromPublicBlob(blob);
  if (pub) made.certificate = CertOfKey(pub.get());
  return made;
}
