// Little-endian 32-bit fields at unaligned positions: the byte order of
// the platform's key blobs and of serialized certificate store entries.
#pragma once

#include "base/WinTypes.h"

// The DWORD stored little-endian at `p` (four octets are read).
inline DWORD LoadLe32(const BYTE* p) {
  return DWORD{p[0]} | (DWORD{p[1]} << 8) | (DWORD{p[2]} << 16) | (DWORD{p[3]} << 24);
}

// Stores `value` little-endian at `p` (four octets are written).
inline void StoreLe32(BYTE* p, DWORD value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(value >> (8 * i));
}
