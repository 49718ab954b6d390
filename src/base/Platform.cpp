#include "base/Platform.h"

#include <atomic>

namespace {
std::atomic<const Platform*> g_active{nullptr};
}

const Platform& Plat() {
  const Platform* p = g_active.load(std::memory_order_acquire);
  return p ? *p : DefaultPlatform();
}

const Platform* SetPlatform(const Platform* table) {
  const Platform* previous = g_active.exchange(table, std::memory_order_acq_rel);
  return previous ? previous : &DefaultPlatform();
}
