// Fuzz target: ComposeSubject on arbitrary UTF-16 text (the input's octets
// taken in little-endian pairs). Whatever it accepts must be a Name that
// OpenSSL parses completely; whatever it refuses hands out nothing.
#include <openssl/x509.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "encoding/Buffer.h"
#include "request/SubjectName.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  std::u16string subject;
  for (size_t i = 0; i + 1 < size; i += 2)
    subject.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  BYTE* der = nullptr;
  DWORD length = 0;
  const HRESULT hr = ComposeSubject(subject, &der, &length);
  const ScopedBuffer<> holder(der);
  if (FAILED(hr)) {
    if (der != nullptr) std::abort();
    return 0;
  }
  const unsigned char* p = der;
  X509_NAME* name = d2i_X509_NAME(nullptr, &p, static_cast<long>(length));
  if (name == nullptr || p != der + length) std::abort();
  X509_NAME_free(name);
  return 0;
}
