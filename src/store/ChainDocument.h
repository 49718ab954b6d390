// The root chain documents the module carries (resources "CERTIFICATE"
// 208, RSA, and 209, SM2): an XML document whose RootCACertificate element
// lists registry entries of the machine's trusted root store and whose
// P7bContent element holds a certificates-only PKCS#7 bundle of the
// hierarchy. Installing one writes every root entry straight into the
// machine's registry and adds the bundle's certificates that are not
// self-issued to the machine's "CA" store.
#pragma once

#include "base/ComTypes.h"
#include "base/Platform.h"

constexpr WORD kRsaChainDocument = 208;
constexpr WORD kSm2ChainDocument = 209;

// A copy of resource `id` of `type` of `module` in a new buffer (AllocZeroed;
// the caller releases it with FreeBuffer) of exactly its size. Returns 0 or
// the last-error status of the failing resource call; 0x8007000E when the
// copy cannot be allocated.
HRESULT LoadModuleResource(HMODULE module, const char16_t* type, WORD id, BYTE** data,
                           DWORD* size);

// Installs the document `data` (UTF-8 XML, `size` octets): the roots, then
// the bundle. The caller has initialized COM on this thread. Returns 0, or
// the first failure (0xA0071402 for a document that does not parse or
// lacks an element; entries written before a failure stay written).
HRESULT ImportCertificateChainfromBlobData(const BYTE* data, DWORD size);

// Installs a loaded document: the document element's RootCACertificate
// entries into the machine's registry, then its P7bContent bundle into the
// machine's "CA" store. Returns 0 or the first failure: 0xA0071402 when an
// element is missing (without RootCACertificate nothing is installed,
// without P7bContent the roots are); an entry's failure leaves the earlier
// entries written and the later ones and the bundle not installed.
HRESULT ImportCertChainfromXMLDOMDoc(KlXmlNode* document);
