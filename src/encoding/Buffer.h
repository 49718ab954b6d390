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
void FreeBuffer(void* p);

// Overwrites the first `size` bytes of `p` with zeros (a write the
// compiler may not drop) and releases it as FreeBuffer does. Every buffer
// that held secret key material (a plaintext session key or private key)
// is released this way. Null is ignored.
void FreeSecret(void* p, size_t size);

// Test hook: when set, called with every block just before FreeBuffer or
// FreeSecret hands it back to the allocator (after FreeSecret's wipe).
// Not for production use; set it while no other thread frees buffers.
using BufferReleaseObserver = void (*)(const void* block);
void SetBufferReleaseObserver(BufferReleaseObserver observer);

struct BufferDeleter {
  void operator()(void* p) const { FreeBuffer(p); }
};
template <typename T = BYTE>
using ScopedBuffer = std::unique_ptr<T, BufferDeleter>;

// A buffer of secret octets (AllocZeroed) that is wiped when released.
class ScopedSecret {
 public:
  ScopedSecret() = default;
  ScopedSecret(BYTE* data, DWORD size) : data_(data), size_(size) {}
  ScopedSecret(const ScopedSecret&) = delete;
  ScopedSecret& operator=(const ScopedSecret&) = delete;
  ~ScopedSecret() { FreeSecret(data_, size_); }
  // Takes ownership of `data` (wiping and releasing what was held).
  void reset(BYTE* data = nullptr, DWORD size = 0) {
    FreeSecret(data_, size_);
    data_ = data;
    size_ = size;
  }
  // Hands the octets over unwiped; the new owner releases them with
  // FreeSecret (their size is size() before the call).
  BYTE* release() {
    BYTE* data = data_;
    data_ = nullptr;
    size_ = 0;
    return data;
  }
  BYTE* get() const { return data_; }
  DWORD size() const { return size_; }

 private:
  BYTE* data_ = nullptr;
  DWORD size_ = 0;
};

