#pragma once

#include <string>

#include "support/CryptTestSupport.h"
#include "support/TraceRecorder.h"
#include "testca/TestCa.h"

inline std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// A new container (its name to *container) of the Enhanced provider holding
// a 1024-bit RSA key of `spec`; the key's public half as OpenSSL reads it,
// null on failure.
inline Pkey KeyInNewContainer(std::u16string* container, DWORD spec) {
  *container = UniqueContainer("install");
  Prov prov;
  Key key;
  if (!prov.Acquire(container->c_str(), kEnhanced, CRYPT_NEWKEYSET) ||
      !Plat().CryptGenKey(prov.h, spec, 1024u << 16, &key.h))
    return nullptr;
  return RsaFromPublicBlob(ExportKey(key.h, PUBLICKEYBLOB));
}

// Whether the trace consumer saw the step record "function - step" with `status`.
inline bool HasStep(const std::string& step, HRESULT status) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(status));
  for (const RecordedTrace& r : ScopedTraceRecorder::records())
    if (r.component == "TraceHelper" && (r.message == 13 || r.message == 14) &&
        r.args[0] == step && r.args[1] == hex)
      return true;
  return false;
}
