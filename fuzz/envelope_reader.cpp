// Fuzz target: the key envelope readers on arbitrary text (the input's
// octets taken as UTF-16LE). Whatever the text, a failure hands nothing
// out, a success hands out the algorithm of its format and wrapped keys no
// longer than the text could carry, and no read passes the text's end.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "encoding/Buffer.h"
#include "install/Envelope.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void ParseBoth(const std::u16string& text) {
  for (const bool encrypted : {false, true}) {
    ALG_ID algorithm = 0xFFFF;
    BYTE *session = nullptr, *privateKey = nullptr;
    DWORD sessionLength = 7, privateLength = 7;
    const HRESULT hr =
        encrypted ? ParseEncryptCertPrivateKeyDataEx(text, &algorithm, &session, &sessionLength,
                                                     &privateKey, &privateLength)
                  : ParseEncryptCertPrivateKeyData(text, &algorithm, &session, &sessionLength,
                                                   &privateKey, &privateLength);
    const ScopedBuffer<> sessionHolder(session), privateHolder(privateKey);
    if (hr != S_OK) {
      Check(hr < 0 && session == nullptr && privateKey == nullptr && sessionLength == 0 &&
            privateLength == 0 && algorithm == 0);
      continue;
    }
    Check(algorithm == CALG_3DES || (encrypted && algorithm == 0));
    Check(privateKey != nullptr && privateLength <= text.size());
    Check(algorithm == CALG_3DES ? session != nullptr && sessionLength <= text.size()
                                 : session == nullptr && sessionLength == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exactly sized copy, so that the sanitizer sees any read past it.
  std::vector<char16_t> units(size / 2);
  for (size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  // A text of digits only reads back as its value (when it fits).
  const LONG number = ReadEnvelopeNumber(units.data(), units.size());
  if (!units.empty() && units.size() <= 9 && units[0] >= u'0' && units[0] <= u'9') {
    LONG expected = 0;
    size_t i = 0;
    for (; i < units.size() && units[i] >= u'0' && units[i] <= u'9'; ++i)
      expected = expected * 10 + (units[i] - u'0');
    Check(number == expected);
  }
  const std::u16string text(units.begin(), units.end());
  ParseBoth(text);

  // The fields one after another from the start, as a reader that knows
  // no header would take them: the cursor only moves forward, within the text.
  size_t cursor = 0;
  std::u16string field;
  while (GetBase64KeyFromEncryptedData(text, &cursor, &field) == S_OK) {
    Check(cursor <= text.size() && field.find(u',') == std::u16string::npos);
  }
  Check(cursor <= text.size());
  return 0;
}
