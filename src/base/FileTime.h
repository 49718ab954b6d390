// File times (100-nanosecond ticks since 1601-01-01 UTC) and their relation
// to Unix time, written once for every platform file that converts.
#pragma once

#include <cstdint>

#include "base/WinTypes.h"

constexpr int64_t kFileTimeTicksPerSecond = 10000000;
// Seconds from 1601-01-01 to 1970-01-01 UTC.
constexpr int64_t kUnixEpochFileTimeSeconds = 11644473600;

// The ticks of a FILETIME, as one signed 64-bit number (values with the top
// bit set come out negative).
constexpr int64_t FileTimeTicks(const FILETIME& ft) {
  return static_cast<int64_t>((uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime);
}

// The FILETIME of `ticks`.
constexpr FILETIME FileTimeOfTicks(int64_t ticks) {
  return {static_cast<DWORD>(static_cast<uint64_t>(ticks)),
          static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32)};
}

// The ticks of a Unix time given in seconds and the nanoseconds past them.
constexpr int64_t FileTimeTicksOfUnixTime(int64_t seconds, int64_t nanoseconds = 0) {
  return (seconds + kUnixEpochFileTimeSeconds) * kFileTimeTicksPerSecond + nanoseconds / 100;
}

// The Unix time in whole seconds (rounded down) of `ticks`.
constexpr int64_t UnixTimeOfFileTimeTicks(int64_t ticks) {
  const int64_t seconds = ticks / kFileTimeTicksPerSecond - (ticks % kFileTimeTicksPerSecond < 0);
  return seconds - kUnixEpochFileTimeSeconds;
}
