// Certificate store helpers for platform-level tests (platform table only).
#pragma once

#include <string>
#include <vector>

#include "support/TestPki.h"
#include "base/Platform.h"

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// CertOpenStore of a system store; null on failure.
HCERTSTORE OpenSystemStore(DWORD flags, const char16_t* name);
// A read-only memory store of a PKCS#7 bundle; null on failure.
HCERTSTORE OpenBundle(const Bytes& bundle);
// The encoded certificates of a store, in its order.
std::vector<Bytes> StoreCerts(HCERTSTORE store);
// Adds `der` with `disposition`; the last error as a status when it fails,
// 0 when it succeeds.
HRESULT AddEncoded(HCERTSTORE store, const Bytes& der, DWORD disposition);
// The certificate context of `der` found in `store`, or null.
PCCERT_CONTEXT FindExisting(HCERTSTORE store, const Bytes& der);
// Adds `der` to the user's "My" store, linked to the key `spec` of
// `container` of `provider` (no link when `provider` is null); true when done.
bool AddToMy(const Bytes& der, std::u16string container = {}, const char16_t* provider = nullptr,
             DWORD spec = AT_KEYEXCHANGE);
// The encoded certificate of a context.
Bytes DerOf(PCCERT_CONTEXT cert);
