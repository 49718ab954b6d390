// The keys of one container as `keyloom key list` reports them.
#pragma once

#include <string>
#include <vector>

#include "support/TestSupport.h"

struct ListedKey {
  std::string spec;       // "exchange" or "signature"
  std::string algorithm;
  Bytes spki;             // the DER SubjectPublicKeyInfo
  Bytes certificate;      // the certificate stored with the key; empty for none
};

// Runs the built tool; an empty list when the container is not listed.
std::vector<ListedKey> ListedKeys(const std::string& container);

// The listed key of `spec`, or null.
const ListedKey* FindKey(const std::vector<ListedKey>& keys, const std::string& spec);
