// The growing buffer and the length patching of the DER builder.
#include "encoding/DerBuilder.h"

#include <cstring>
#include <utility>

namespace {

constexpr size_t kMaxLength = 0xFFFFFFFF;  // lengths and outputs are DWORDs
constexpr size_t kFirstCapacity = 256;

bool Failed(const DerBuilder* b) { return FAILED(b->status); }

void Fail(DerBuilder* b, HRESULT status) { DerFail(b, status); }

// The number of octets after 0x80|k in the long form of `length` (> 127).
DWORD LongFormCount(size_t length) {
  DWORD k = 1;
  while (k < sizeof(size_t) && (length >> (8 * k)) != 0) ++k;
  return k;
}

// The place for `count` more octets, which the caller fills; null when the
// builder failed.
BYTE* Extend(DerBuilder* b, size_t count) {
  if (FAILED(DerReserve(b, count))) return nullptr;
  BYTE* at = b->data.get() + b->length;
  b->length += count;
  return at;
}

}  // namespace

HRESULT DerFail(DerBuilder* b, HRESULT status) {
  if (!Failed(b)) b->status = status;
  return b->status;
}

DWORD DerWriteLength(BYTE* at, size_t length) {
  if (length <= 0x7F) {
    at[0] = static_cast<BYTE>(length);
    return 1;
  }
  const DWORD k = LongFormCount(length);
  at[0] = static_cast<BYTE>(0x80 | k);
  for (DWORD i = 0; i < k; ++i) at[1 + i] = static_cast<BYTE>(length >> (8 * (k - 1 - i)));
  return 1 + k;
}

HRESULT DerReserve(DerBuilder* b, size_t count) {
  if (Failed(b)) return b->status;
  if (count > kMaxLength - b->length) {
    Fail(b, E_FAIL);
    return b->status;
  }
  const size_t needed = b->length + count;
  if (needed <= b->capacity && b->data) return S_OK;
  size_t capacity = b->capacity < kFirstCapacity ? kFirstCapacity : b->capacity;
  while (capacity < needed) capacity = capacity > kMaxLength / 2 ? kMaxLength : capacity * 2;
  ScopedBuffer<> grown(AllocZeroed(capacity));
  if (!grown) {
    Fail(b, E_OUTOFMEMORY);
    return b->status;
  }
  if (b->length != 0) std::memcpy(grown.get(), b->data.get(), b->length);
  b->data = std::move(grown);
  b->capacity = capacity;
  return S_OK;
}

DerMark DerOpen(DerBuilder* b, BYTE identifier) {
  BYTE* at = Extend(b, 2);
  if (at == nullptr) return {};
  at[0] = identifier;
  at[1] = 0;
  return {b->length - 1, ++b->depth};
}

void DerClose(DerBuilder* b, DerMark mark) {
  if (Failed(b)) return;
  if (mark.depth == 0 || mark.depth != b->depth) return Fail(b, E_FAIL);
  const size_t start = mark.lengthOffset + 1;
  const size_t content = b->length - start;
  if (content > kMaxLength) return Fail(b, E_FAIL);
  if (content > 0x7F) {
    const DWORD k = LongFormCount(content);
    if (Extend(b, k) == nullptr) return;
    BYTE* data = b->data.get();
    std::memmove(data + start + k, data + start, content);
  }
  DerWriteLength(b->data.get() + mark.lengthOffset, content);
  --b->depth;
}

void DerAdd(DerBuilder* b, ByteView bytes) {
  if (bytes.empty()) return;
  if (BYTE* at = Extend(b, bytes.size())) std::memcpy(at, bytes.data(), bytes.size());
}

void DerAddElement(DerBuilder* b, BYTE identifier, ByteView content) {
  if (content.size() > kMaxLength) return Fail(b, E_FAIL);
  BYTE header[1 + 1 + sizeof(size_t)];
  header[0] = identifier;
  const DWORD headerLength = 1 + DerWriteLength(header + 1, content.size());
  if (FAILED(DerReserve(b, headerLength + content.size()))) return;  // one growth at most
  DerAdd(b, {header, headerLength});
  DerAdd(b, content);
}

HRESULT DerAddOwned(DerBuilder* b, BYTE* data, DWORD length) {
  ScopedBuffer<> holder(data);
  if (!Failed(b) && !b->data && data != nullptr) {
    b->data = std::move(holder);
    b->length = b->capacity = length;
    return S_OK;
  }
  DerAdd(b, {data, length});
  return b->status;
}

HRESULT DerFinish(DerBuilder* b, BYTE** out, DWORD* outLen) {
  DerBuilder finished = std::move(*b);
  *b = DerBuilder{};
  if (out == nullptr || outLen == nullptr) return E_POINTER;
  if (finished.depth != 0) Fail(&finished, E_FAIL);
  if (FAILED(DerReserve(&finished, 0))) return finished.status;  // storage even when empty
  *out = finished.data.release();
  *outLen = static_cast<DWORD>(finished.length);
  return S_OK;
}
