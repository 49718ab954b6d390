// The PKCS#7 bundle of a chain document: opened as a memory store, and its
// certificates that are not self-issued added to the machine's "CA" store.
#pragma once

#include <string>

#include "base/Platform.h"

// Decodes the Base64 text of the P7bContent `node`, opens it as a bundle
// and adds its certificates to the machine's "CA" store. Returns 0 or the
// first failure.
HRESULT ParseP7bContentNode(KlXmlNode* node);

// Opens `size` octets of a PKCS#7 certificates-only message as a read-only
// memory store in `*store`, which the caller closes. Returns 0;
// 0x80070057 for missing data, size 0 or a missing output; the status of
// CertOpenStore's last error when the message is refused.
HRESULT ImportP7bCertificatestoStore(const BYTE* data, DWORD size, HCERTSTORE* store);

// Adds every certificate of `source`, in its order, whose encoded issuer
// differs from its encoded subject to the local machine's "CA" store; a
// certificate already there counts as added. Returns 0; 0x80070057 for a
// missing source; the first failure (certificates added before it stay).
HRESULT AddCACertficatetoStore(HCERTSTORE source);

// Whether the certificate's encoded issuer name equals its encoded subject
// name octet for octet.
bool IsSelfIssued(PCCERT_CONTEXT cert);


