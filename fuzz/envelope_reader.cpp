// Fuzz target: the key envelope readers on arbitrary text (the octets taken
// as UTF-16LE). A failure hands nothing out; a success hands out its
// format's algorithm and keys no longer than the text; no read passes the
// text's end, nor does a field reader's cursor.
#include <cstdlib>
#include <vector>

#include "encoding/Buffer.h"
#include "install/Envelope.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exactly sized copy, so that the sanitizer sees a read past it.
  std::vector<char16_t> units(size / 2);
  for (size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  (void)ReadEnvelopeNumber(units.data(), units.size());
  const std::u16string text(units.begin(), units.end());

  for (const auto parse : {ParseEncryptCertPrivateKeyData, ParseEncryptCertPrivateKeyDataEx}) {
    ALG_ID alg = 1;
    BYTE *session = nullptr, *key = nullptr;
    DWORD sessionLength = 1, keyLength = 1;
    const HRESULT hr = parse(text, &alg, &session, &sessionLength, &key, &keyLength);
    const ScopedBuffer<> sessionHolder(session), keyHolder(key);
    const bool ex = parse == ParseEncryptCertPrivateKeyDataEx;
    if (hr != S_OK ? hr >= 0 || session || key || sessionLength || keyLength || alg
                   : (alg != CALG_3DES && (!ex || alg != 0)) || !key || keyLength > size ||
                         (alg == CALG_3DES) != (session != nullptr) || sessionLength > size)
      std::abort();
  }
  size_t cursor = 0;
  std::u16string field;
  while (GetBase64KeyFromEncryptedData(text, &cursor, &field) == S_OK)
    if (cursor > text.size() || field.find(u',') != std::u16string::npos) std::abort();
  if (cursor > text.size()) std::abort();
  return 0;
}
