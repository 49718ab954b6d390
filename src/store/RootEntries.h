// The root entries of a chain document: each Certificate element of
// RootCACertificate names a registry key below the local machine hive, a
// sub-key (the thumbprint) and the serialized store entry to write there
// as its "Blob" value, which makes it a root of the machine's trusted store.
#pragma once

#include "base/Platform.h"
#include "encoding/Buffer.h"

// One entry as read from a Certificate element: its first three child
// nodes' texts, each a buffer of GetNodeValue owned by the holder.
struct RegeditInfo {
  ScopedBuffer<char16_t> ImportPath;
  ScopedBuffer<char16_t> EntryPoint;
  ScopedBuffer<char16_t> Content;
};

// Writes every child of the RootCACertificate `node` as an entry, from the
// first, stopping at the first failure (earlier entries stay written).
// No children is success. Returns 0 or that failure.
HRESULT ParseRootCACertificateNode(KlXmlNode* node);

// Reads and writes one Certificate element. Returns 0 or the failure of
// GetRegisteredCertificateInfoNode or WriteCertificatetoRegistry.
HRESULT ParseCertificateNode(KlXmlNode* node);

// Fills `entry` from the texts of the first three child nodes of `node`,
// by position whatever their names or kinds; further children are
// ignored. Returns 0; 0xA0071402 with fewer than three children; the
// status of a failing read (texts already read stay in `entry`).
HRESULT GetRegisteredCertificateInfoNode(KlXmlNode* node, RegeditInfo* entry);

// Decodes the entry's Base64 Content and writes it as the "Blob" value of
// sub-key EntryPoint of key ImportPath of the local machine hive; both
// names are taken without surrounding white space. Returns 0 or the first
// failure.
HRESULT WriteCertificatetoRegistry(const RegeditInfo& entry);

// Opens `path` below `hive` (it must exist), creates or opens its sub-key
// `name` and sets its REG_BINARY value "Blob" to `size` octets of `bytes`,
// replacing any earlier value. Returns 0 or 0x80070000 | the registry's
// error (0x80070002 for a missing path, 0x80070005 without the right to
// write).
HRESULT RegWriteBinaryValue(HKEY hive, const char16_t* path, const char16_t* name,
                            const BYTE* bytes, DWORD size);
