// The platform version and its test. The soft platform answers as a
// current workstation release (10.0), which checks SHA-256 signatures.
#include <cstring>

#include "platform/soft/SoftTable.h"

namespace {

constexpr DWORD kVersionInfoSize = 276;  // OSVERSIONINFOW, the short record

BOOL GetVersionExWImpl(OSVERSIONINFOEXW* info) {
  if (info == nullptr || info->dwOSVersionInfoSize < kVersionInfoSize) {
    SoftSetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  const bool extended = info->dwOSVersionInfoSize >= sizeof(OSVERSIONINFOEXW);
  const DWORD size = info->dwOSVersionInfoSize;
  std::memset(info, 0, extended ? sizeof(OSVERSIONINFOEXW) : kVersionInfoSize);
  info->dwOSVersionInfoSize = size;
  info->dwMajorVersion = 10;
  info->dwMinorVersion = 0;
  info->dwBuildNumber = 19045;
  info->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
  if (extended) info->wProductType = VER_NT_WORKSTATION;
  return TRUE;
}

// The condition of one type bit: three bits at (bit index * 3).
BYTE ConditionOf(ULONGLONG mask, DWORD typeBit) {
  int index = 0;
  while (index < 8 && (typeBit >> index) != 1) ++index;
  return static_cast<BYTE>((mask >> (index * 3)) & 7);
}

ULONGLONG VerSetConditionMaskImpl(ULONGLONG mask, DWORD typeMask, BYTE condition) {
  for (int index = 0; index < 8; ++index) {
    if (!(typeMask & (1u << index))) continue;
    mask &= ~(ULONGLONG{7} << (index * 3));
    mask |= ULONGLONG{static_cast<BYTE>(condition & 7)} << (index * 3);
  }
  return mask;
}

bool Compare(uint64_t have, uint64_t want, BYTE condition) {
  switch (condition) {
    case VER_EQUAL: return have == want;
    case VER_GREATER: return have > want;
    case VER_GREATER_EQUAL: return have >= want;
    case VER_LESS: return have < want;
    case VER_LESS_EQUAL: return have <= want;
    case VER_AND: return (have & want) == want;
    case VER_OR: return (have & want) != 0;
    default: return false;
  }
}

BOOL VerifyVersionInfoWImpl(OSVERSIONINFOEXW* want, DWORD typeMask, ULONGLONG mask) {
  OSVERSIONINFOEXW have{};
  have.dwOSVersionInfoSize = sizeof have;
  GetVersionExWImpl(&have);
  if (want == nullptr || typeMask == 0) {
    SoftSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  bool ok = true;
  // Major, minor and service pack are compared as one ordered version when
  // they are tested together, as the platform does.
  const DWORD ordered = VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR |
                        VER_SERVICEPACKMINOR;
  DWORD rest = typeMask;
  if (typeMask & VER_MAJORVERSION) {
    auto pack = [&](const OSVERSIONINFOEXW& v) {
      uint64_t n = uint64_t{v.dwMajorVersion} << 48;
      if (typeMask & VER_MINORVERSION) n |= uint64_t{v.dwMinorVersion & 0xFFFF} << 32;
      if (typeMask & VER_SERVICEPACKMAJOR) n |= uint64_t{v.wServicePackMajor} << 16;
      if (typeMask & VER_SERVICEPACKMINOR) n |= v.wServicePackMinor;
      return n;
    };
    ok = Compare(pack(have), pack(*want), ConditionOf(mask, VER_MAJORVERSION));
    rest &= ~ordered;
  }
  if (rest & VER_MINORVERSION)
    ok = ok && Compare(have.dwMinorVersion, want->dwMinorVersion, ConditionOf(mask, VER_MINORVERSION));
  if (rest & VER_SERVICEPACKMAJOR)
    ok = ok && Compare(have.wServicePackMajor, want->wServicePackMajor,
                       ConditionOf(mask, VER_SERVICEPACKMAJOR));
  if (rest & VER_SERVICEPACKMINOR)
    ok = ok && Compare(have.wServicePackMinor, want->wServicePackMinor,
                       ConditionOf(mask, VER_SERVICEPACKMINOR));
  if (rest & VER_BUILDNUMBER)
    ok = ok && Compare(have.dwBuildNumber, want->dwBuildNumber, ConditionOf(mask, VER_BUILDNUMBER));
  if (rest & VER_PLATFORMID)
    ok = ok && Compare(have.dwPlatformId, want->dwPlatformId, ConditionOf(mask, VER_PLATFORMID));
  if (rest & VER_PRODUCT_TYPE)
    ok = ok && Compare(have.wProductType, want->wProductType, ConditionOf(mask, VER_PRODUCT_TYPE));
  if (rest & VER_SUITENAME)
    ok = ok && Compare(have.wSuiteMask, want->wSuiteMask, ConditionOf(mask, VER_SUITENAME));
  if (!ok) SoftSetLastError(ERROR_OLD_WIN_VERSION);
  return ok ? TRUE : FALSE;
}

}  // namespace

void SoftFillVersion(Platform& t) {
  t.GetVersionExW = &GetVersionExWImpl;
  t.VerifyVersionInfoW = &VerifyVersionInfoWImpl;
  t.VerSetConditionMask = &VerSetConditionMaskImpl;
}
