// A DER builder over one growing buffer.
//
// Elements are written front to back: DerOpen writes the identifier and
// reserves one length octet, the content is appended (raw octets,
// complete encodings, whole elements or nested open elements), and
// DerClose writes the length, moving the content right when the long form
// needs more octets. Elements close innermost first.
//
// The first failure (memory, a length beyond 32 bits, a close out of
// order, a composer's status) sticks: every later call does nothing and
// DerFinish returns that status. Callers may therefore chain calls and
// check once, at the end or after a step they trace.
//
//   DerBuilder b;
//   const DerMark seq = DerOpen(&b, kTagSequence);
//   DerAddElement(&b, kTagInteger, version);
//   DerAdd(&b, name);
//   DerClose(&b, seq);
//   HRESULT hr = DerFinish(&b, &out, &outLen);
#pragma once

#include <cstddef>

#include "encoding/Buffer.h"
#include "encoding/DerEncoder.h"

// The buffer (AllocZeroed storage, released with the builder) and the state
// of its open elements. Zero-initialised is empty and ready; movable, not
// copyable.
struct DerBuilder {
  ScopedBuffer<> data;
  size_t length = 0;    // octets written
  size_t capacity = 0;  // octets allocated
  DWORD depth = 0;      // elements opened and not yet closed
  HRESULT status = S_OK;
};

// An open element: where its length octet is and how deep it is nested.
struct DerMark {
  size_t lengthOffset = 0;
  DWORD depth = 0;
};

// Fails the builder with `status` (a failure code) unless it failed
// already. Result: the builder's status, the first failure.
HRESULT DerFail(DerBuilder* b, HRESULT status);

// Writes the DER length octets of `length` at `at` (short form up to 127,
// else 0x80|k and k big-endian octets; room for 1 + sizeof(size_t)) and
// returns their count.
DWORD DerWriteLength(BYTE* at, size_t length);

// Makes room for `count` more octets (growth is otherwise automatic; this
// spares reallocations when the size is known). Result: the builder's
// status (E_OUTOFMEMORY, or E_FAIL when the total would exceed 32 bits).
HRESULT DerReserve(DerBuilder* b, size_t count);

// Writes `identifier` and a placeholder length octet and returns the mark
// DerClose takes. On a failed builder it returns an empty mark and does
// nothing.
DerMark DerOpen(DerBuilder* b, BYTE identifier);

// Writes the length of the element `mark` opened: the octets appended since
// DerOpen. Empty content gives length 00. A mark other than the innermost
// open element fails the builder with E_FAIL, as does content beyond 32 bits.
void DerClose(DerBuilder* b, DerMark mark);

// Appends `bytes` as they are (content octets or complete encodings).
void DerAdd(DerBuilder* b, ByteView bytes);

// Appends the whole element identifier, length octets, `content`.
void DerAddElement(DerBuilder* b, BYTE identifier, ByteView content);

// Appends `length` octets at `data`, an AllocZeroed buffer the builder
// takes over (an empty builder adopts it without copying; otherwise it is
// copied and released). Result: the builder's status.
HRESULT DerAddOwned(DerBuilder* b, BYTE* data, DWORD length);

// Runs `compose`, any function with the composers' outputs
// HRESULT(BYTE** out, DWORD* outLen), appends what it produced and
// releases it. A failed builder does not run it; a failure of `compose`
// fails the builder. Result: the builder's status after the call.
template <typename Compose>
HRESULT DerAddComposed(DerBuilder* b, Compose&& compose) {
  if (FAILED(b->status)) return b->status;
  BYTE* out = nullptr;
  DWORD outLen = 0;
  const HRESULT hr = compose(&out, &outLen);
  ScopedBuffer<> holder(out);
  if (FAILED(hr)) return DerFail(b, hr);
  return DerAddOwned(b, holder.release(), outLen);
}

// The octets written so far; valid until the next call that writes.
inline ByteView DerView(const DerBuilder* b) { return {b->data.get(), b->length}; }

// Hands the octets out: *out (released by the caller with FreeBuffer) and
// *outLen, set only on success. An element still open fails with E_FAIL.
// On failure nothing is handed out and the storage is released. Either way
// the builder is empty afterwards.
HRESULT DerFinish(DerBuilder* b, BYTE** out, DWORD* outLen);
