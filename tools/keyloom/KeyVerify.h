// `keyloom key verify --provider NAME --container NAME`: whether each key
// pair of a container is whole, and whether the certificate bound to it is
// its certificate, checked through the platform's own calls as an
// administrator checks a key pair.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/WinTypes.h"

// The outcome for one key pair of the container.
struct KeyCheck {
  DWORD spec = 0;  // AT_KEYEXCHANGE or AT_SIGNATURE
  // A fresh random value signed with the private key verifies with the
  // exported public key (and, for RSA exchange keys, a value encrypted to
  // the exported public key decrypts with the private key).
  bool publicKeyMatchesPrivate = false;
  // Every certificate bound to the key (stored with it, or linked from the
  // user's "My" store to this provider, container and spec) has the
  // exported public key and verifies the same signature; empty when no
  // certificate is bound.
  std::optional<bool> certificateMatches;
  // The first failure of a platform call during the checks, S_OK when each
  // call worked (a signature that does not verify is a result, not a
  // failure). A failure leaves the check it interrupted false.
  HRESULT status = S_OK;
};

// Checks the key pairs of `container` of `provider` (provider type
// `type`), exchange key first; a spec the container has no key for is
// left out. Returns S_OK with *checks filled (empty when the container
// holds no key), or the status of the failed open (NTE_BAD_KEYSET for a
// container that does not exist) with *checks empty.
HRESULT CheckContainerKeys(const std::u16string& provider, DWORD type,
                           const std::u16string& container, std::vector<KeyCheck>* checks);

// Runs the command: one JSON object a line per key, failures on standard
// error. Returns 0 when every key holds and no certificate mismatches, 1
// otherwise (also for a container without keys).
int RunKeyVerify(const std::u16string& provider, DWORD type, const std::u16string& container);
