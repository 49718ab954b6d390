// The common head of every object the soft platform hands out as a COM
// object (DOM documents and nodes, the URL security and zone managers), so
// that one release serves them all.
#pragma once

#include <atomic>

#include "base/WinTypes.h"

struct SoftComObject {
  std::atomic<ULONG> refs{1};
  void (*destroy)(SoftComObject* self) = nullptr;
};

// Drops one reference and destroys the object at zero; returns what is left.
inline ULONG SoftComRelease(SoftComObject* object) {
  if (object == nullptr) return 0;
  const ULONG left = object->refs.fetch_sub(1) - 1;
  if (left == 0) object->destroy(object);
  return left;
}

// Makers of the classes CoCreateInstance answers (defined with each class).
SoftComObject* SoftNewXmlDocument();
SoftComObject* SoftNewSecurityManager();
SoftComObject* SoftNewZoneManager();

// Whether the calling thread has initialised COM (SoftCom.cpp).
bool SoftComInitialized();
