#include "request/Sm2TempKey.h"

#include <algorithm>
#include <cstring>

#include "trace/Trace.h"

TRACE_COMPONENT("Sm2TempKey");

void ComposeSm2TmpPublicKeyStruct(const BYTE* body, BYTE* out) {
  BYTE work[132];
  std::memcpy(work, body, sizeof work);
  std::reverse(work + 4, work + 36);   // X, least significant first in the blob
  std::reverse(work + 68, work + 100);  // Y likewise
  const BYTE header[8] = {0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
  std::memcpy(out, header, 8);
  std::memcpy(out + 8, work + 4, 64);
  std::memcpy(out + 72, work + 68, 64);
}

void Sm2PublicPoint(const BYTE* blob, BYTE point[65]) {
  const BYTE* body = blob + 8;
  point[0] = 0x04;
  std::reverse_copy(body + 4, body + 36, point + 1);
  std::reverse_copy(body + 68, body + 100, point + 33);
}

HRESULT ConvertSM2TmpPublicKeyStructtoCANeeded(BYTE* blob, DWORD* length) {
  TraceHelper trace("ConvertSM2TmpPublicKeyStructtoCANeeded");
  if (blob == nullptr || length == nullptr)
    return TracedStatus(u"ConvertSM2TmpPublicKeyStructtoCANeeded", u"Invalid parameter.",
                        E_INVALIDARG);
  if (*length < kSm2PublicKeyBlobLength) {
    const HRESULT hr = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    return TracedStatus(u"ConvertSM2TmpPublicKeyStructtoCANeeded", u"Invalid parameter.", hr);
  }
  BYTE converted[kSm2TmpPublicKeyStructLength];
  ComposeSm2TmpPublicKeyStruct(blob + 8, converted);
  std::memset(blob, 0, *length);
  std::memcpy(blob, converted, sizeof converted);
  *length = kSm2TmpPublicKeyStructLength;
  return S_OK;
}
