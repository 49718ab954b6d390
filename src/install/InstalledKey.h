// Whether an encryption certificate's key is already the container's
// exchange key: an import interrupted after the key went in is finished by
// binding the certificate alone (the temporary key that opened the
// envelope is gone by then).
#pragma once

#include <string>

#include "base/WinTypes.h"

// Sets *installed to true when the exchange key of container
// `containerName` of `providerName` has the public key of the DER
// certificate, false when it has another key or none. Opens the container
// as the import does ("RSA" normally, else in the token's verify context).
// Returns S_OK, or the status of the call that failed (the container
// missing or unreadable, the certificate undecodable).
HRESULT ExchangeKeyIsCertificates(const std::u16string& providerName,
                                  const std::u16string& containerName,
                                  const std::u16string& keyAlgorithm, const BYTE* certificate,
                                  DWORD certificateLength, bool* installed);
