// A trace consumer for tests: while installed, tracing runs through a
// FaultPlatform whose sink keeps every record written with the chosen
// enable flags.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/FaultPlatform.h"

struct RecordedTrace {
  std::string component;
  uint16_t message;
  uint32_t flag;
  std::vector<std::string> args;  // texts as UTF-8, numbers as 0x%08x
  std::vector<uint32_t> sizes;    // the byte sizes handed to the sink
};

// Re-initializes tracing over the recording sink with `mask` as the
// consumer's enable flags; shuts tracing down and removes the interceptor
// on destruction. The sink sets the last error to 0xDEAD after each
// record, so that callers who see it can tell the sink disturbed them.
class ScopedTraceRecorder {
 public:
  explicit ScopedTraceRecorder(uint32_t mask);
  ~ScopedTraceRecorder();
  ScopedTraceRecorder(const ScopedTraceRecorder&) = delete;
  ScopedTraceRecorder& operator=(const ScopedTraceRecorder&) = delete;
  // The records kept since installation (or the last clear()).
  static std::vector<RecordedTrace>& records();

 private:
  FaultPlatform platform_;
};
