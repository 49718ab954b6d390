// CKeyloomModule: the process's one module object.
//
// It keeps the lock count (one lock per live control and per
// IClassFactory::LockServer(TRUE)), the module instance handle through which
// every resource is read, the per-user registration flag, and the cached
// class factory of CryptoAgent.
#pragma once

#include <atomic>
#include <mutex>

#include "control/ComTypes.h"

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

// Library load and unload: store the instance handle, start tracing and
// write the load record; stop tracing and release the cached factory.
void ModuleAttach(HINSTANCE instance);
void ModuleDetach();
void ModuleThreadAttach();
void ModuleThreadDetach();

// The cached class factory of CryptoAgent, created once under the module's
// lock (checked again inside it). Not referenced for the caller.
IClassFactory* ModuleClassFactory();
