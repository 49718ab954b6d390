// COM initialisation and GUIDs of the soft platform.
#include <openssl/rand.h>

#include <cstdio>

#include "platform/soft/SoftTable.h"

namespace {

thread_local int t_comInitCount = 0;

HRESULT CoInitializeImpl(void*) {
  // The first initialisation of a thread answers S_OK, later ones S_FALSE,
  // as the platform does for an apartment already entered.
  return t_comInitCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitializeImpl() {
  if (t_comInitCount > 0) --t_comInitCount;
}

HRESULT CoCreateGuidImpl(GUID* guid) {
  if (guid == nullptr) return E_INVALIDARG;
  unsigned char b[16];
  if (RAND_bytes(b, sizeof b) != 1) return E_FAIL;
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  guid->Data1 = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  guid->Data2 = static_cast<uint16_t>((b[4] << 8) | b[5]);
  guid->Data3 = static_cast<uint16_t>((b[6] << 8) | b[7]);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = b[8 + i];
  return S_OK;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": 38 characters and a terminator;
// 0 when the buffer is too small, as the platform answers.
int StringFromGUID2Impl(REFGUID g, char16_t* buffer, int size) {
  if (buffer == nullptr || size < 39) return 0;
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  for (int i = 0; i < 39; ++i) buffer[i] = static_cast<char16_t>(text[i]);
  return 39;
}

}  // namespace

bool SoftComInitialized() { return t_comInitCount > 0; }

void SoftFillCom(Platform& t) {
  t.CoInitialize = &CoInitializeImpl;
  t.CoUninitialize = &CoUninitializeImpl;
  t.CoCreateGuid = &CoCreateGuidImpl;
  t.StringFromGUID2 = &StringFromGUID2Impl;
}
