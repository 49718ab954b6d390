// Helpers of the installation tests: keys made in a provider with a
// certificate from OpenSSL, the user's "MY" store, recorded steps.
#pragma once

#include <string>
#include <vector>

#include "support/CryptTestSupport.h"
#include "support/StoreHelpers.h"
#include "support/TraceRecorder.h"
#include "testca/TestCa.h"

inline std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

struct MadeKey {
  std::u16string container;  // a new container of the provider
  Bytes certificate;         // DER; empty when the key could not be made
};

// A new container of `provider` holding a key of `spec` (RSA 1024 bits, or
// SM2 when `sm2`), and a certificate of its exported public key issued by
// a throwaway OpenSSL authority.
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

// The certificates of the user's "MY" store.
inline std::vector<Bytes> MyStore() {
  HCERTSTORE store = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
  std::vector<Bytes> certs = store ? StoreCerts(store) : std::vector<Bytes>{};
  if (store) Plat().CertCloseStore(store, 0);
  return certs;
}

// Whether a failed step "function - step" with `status` was recorded
// whose text contains `step`.
inline bool HasStep(const std::string& step, HRESULT status) {
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(status));
  for (const RecordedTrace& r : ScopedTraceRecorder::records())
    if (r.component == "TraceHelper" && r.message == 13 &&
        r.args[0].find(step) != std::string::npos && r.args[1].substr(2) == hex)
      return true;
  return false;
}
