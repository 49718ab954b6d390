#include "encoding/Buffer.h"

#include <atomic>

namespace {

std::atomic<BufferReleaseObserver> g_observer{nullptr};

void Release(void* p) {
  if (BufferReleaseObserver observer = g_observer.load(std::memory_order_relaxed)) observer(p);
  std::free(p);
}

}  // namespace

void FreeBuffer(void* p) {
  if (p != nullptr) Release(p);
}

void FreeSecret(void* p, size_t size) {
  if (p == nullptr) return;
  // Volatile stores: the wipe of a block about to be freed is otherwise a
  // dead store the optimiser may remove.
  volatile BYTE* bytes = static_cast<volatile BYTE*>(p);
  for (size_t i = 0; i < size; ++i) bytes[i] = 0;
  Release(p);
}

void SetBufferReleaseObserver(BufferReleaseObserver observer) { g_observer.store(observer); }
