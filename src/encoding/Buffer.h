// Output buffers of the encoding operations.
//
// Every operation that produces bytes or text allocates the output itself
// with AllocZeroed and hands it to the caller, who releases it with
// FreeBuffer (whatever the status was; null is fine). Inside the code,
// ScopedBuffer holds intermediate results so that every path releases them.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "base/Status.h"  // FailedCallStatusWin32Rule, used with these buffers
#include "base/WinTypes.h"

// `count` zero-filled elements of T, or null when memory is exhausted.
// A count of 0 still yields a valid (one-byte) allocation.
template <typename T = BYTE>
T* AllocZeroed(size_t count) {
  void* p = std::calloc(count == 0 ? 1 : count, sizeof(T));
  return static_cast<T*>(p);
}

// Releases an output of AllocZeroed; null is ignored.
inline void FreeBuffer(void* p) { std::free(p); }

struct BufferDeleter {
  void operator()(void* p) const { FreeBuffer(p); }
};
template <typename T = BYTE>
using ScopedBuffer = std::unique_ptr<T, BufferDeleter>;

