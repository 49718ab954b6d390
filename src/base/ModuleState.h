// The process's one module object, CKeyloomModule, shared by the control
// (which holds a lock per live object and reads resources through the
// instance handle) and the module's entry points.
//
// It keeps the lock count (one lock per live control and per
// IClassFactory::LockServer(TRUE)), the module instance handle through which
// every resource is read, the per-user registration flag, and the cached
// class factory of CryptoAgent.
#pragma once

#include <atomic>
#include <mutex>

#include "base/ComTypes.h"

struct CKeyloomModule {
  std::atomic<LONG> lockCount{0};
  HINSTANCE instance = nullptr;
  bool initialized = false;
  bool perUser = false;
  std::mutex factoryLock;                    // guards the factory's creation
  std::atomic<IClassFactory*> factory{nullptr};  // created on first request
};

CKeyloomModule& Module();

// Atomic lock-count changes; each returns the new count.
LONG ModuleLock();
LONG ModuleUnlock();
LONG ModuleLockCount();
