// The key-provider information property in its stored form.
#include <cstring>

#include "platform/soft/certs/SoftCert.h"

namespace {

constexpr size_t kHeader = 28;  // seven 32-bit fields
constexpr size_t kParam = 16;   // four 32-bit fields

void Put(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<BYTE>(v >> (8 * i));
}
uint32_t Get(const Bytes& b, size_t at) {
  return uint32_t{b[at]} | (uint32_t{b[at + 1]} << 8) | (uint32_t{b[at + 2]} << 16) |
         (uint32_t{b[at + 3]} << 24);
}

size_t WideLen(const char16_t* s) {
  size_t n = 0;
  while (s != nullptr && s[n] != 0) ++n;
  return n;
}

// Appends a zero-terminated UTF-16 text; its offset, 0 for none.
uint32_t AppendText(Bytes& b, const char16_t* s) {
  if (s == nullptr) return 0;
  const size_t at = b.size();
  const size_t n = (WideLen(s) + 1) * 2;
  b.resize(at + n);
  for (size_t i = 0; i < n / 2; ++i) {
    b[at + 2 * i] = static_cast<BYTE>(s[i]);
    b[at + 2 * i + 1] = static_cast<BYTE>(s[i] >> 8);
  }
  return static_cast<uint32_t>(at);
}

// The length in units of a stored text at `at` (terminator included); 0
// when it runs past the end.
size_t StoredTextUnits(const Bytes& b, size_t at) {
  for (size_t i = at; i + 1 < b.size(); i += 2)
    if (b[i] == 0 && b[i + 1] == 0) return (i - at) / 2 + 1;
  return 0;
}

}  // namespace

Bytes SoftSerializeKeyProvInfo(const CRYPT_KEY_PROV_INFO& info) {
  Bytes b(kHeader + kParam * info.cProvParam, 0);
  Put(b, 8, info.dwProvType);
  Put(b, 12, info.dwFlags);
  Put(b, 16, info.cProvParam);
  Put(b, 20, info.cProvParam ? static_cast<uint32_t>(kHeader) : 0);
  Put(b, 24, info.dwKeySpec);
  Put(b, 0, AppendText(b, info.pwszContainerName));
  Put(b, 4, AppendText(b, info.pwszProvName));
  for (DWORD i = 0; i < info.cProvParam; ++i) {
    const CRYPT_KEY_PROV_PARAM& p = info.rgProvParam[i];
    const size_t at = kHeader + kParam * i;
    Put(b, at, p.dwParam);
    Put(b, at + 4, p.cbData ? static_cast<uint32_t>(b.size()) : 0);
    Put(b, at + 8, p.cbData);
    Put(b, at + 12, p.dwFlags);
    b.insert(b.end(), p.pbData, p.pbData + p.cbData);
  }
  return b;
}

size_t SoftDecodeKeyProvInfo(const Bytes& b, void* out, size_t outSize) {
  if (b.size() < kHeader) return 0;
  const uint32_t offContainer = Get(b, 0), offProv = Get(b, 4), count = Get(b, 16),
                 offParams = Get(b, 20);
  if (count > (b.size() - kHeader) / kParam) return 0;
  if (count && (offParams > b.size() || (b.size() - offParams) / kParam < count)) return 0;
  const size_t containerUnits = offContainer ? StoredTextUnits(b, offContainer) : 0;
  const size_t provUnits = offProv ? StoredTextUnits(b, offProv) : 0;
  if ((offContainer && !containerUnits) || (offProv && !provUnits)) return 0;
  size_t paramBytes = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = offParams + kParam * i;
    const uint32_t off = Get(b, at + 4), len = Get(b, at + 8);
    if (len && (off > b.size() || len > b.size() - off)) return 0;
    paramBytes += len;
  }
  const size_t need = sizeof(CRYPT_KEY_PROV_INFO) + count * sizeof(CRYPT_KEY_PROV_PARAM) +
                      (containerUnits + provUnits) * sizeof(char16_t) + paramBytes;
  if (out == nullptr || outSize < need) return need;

  auto* info = static_cast<CRYPT_KEY_PROV_INFO*>(out);
  auto* params = reinterpret_cast<CRYPT_KEY_PROV_PARAM*>(info + 1);
  auto* text = reinterpret_cast<char16_t*>(params + count);
  std::memset(out, 0, need);
  info->dwProvType = Get(b, 8);
  info->dwFlags = Get(b, 12);
  info->cProvParam = count;
  info->rgProvParam = count ? params : nullptr;
  info->dwKeySpec = Get(b, 24);
  auto copyText = [&](uint32_t off, size_t units) -> char16_t* {
    if (!off) return nullptr;
    char16_t* start = text;
    for (size_t i = 0; i < units; ++i)
      *text++ = static_cast<char16_t>(b[off + 2 * i] | (b[off + 2 * i + 1] << 8));
    return start;
  };
  info->pwszContainerName = copyText(offContainer, containerUnits);
  info->pwszProvName = copyText(offProv, provUnits);
  auto* data = reinterpret_cast<BYTE*>(text);
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = offParams + kParam * i;
    const uint32_t off = Get(b, at + 4), len = Get(b, at + 8);
    params[i] = {Get(b, at), len ? data : nullptr, len, Get(b, at + 12)};
    if (len) std::memcpy(data, b.data() + off, len);
    data += len;
  }
  return need;
}
