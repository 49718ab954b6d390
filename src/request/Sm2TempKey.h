// The SM2 temporary public key in the form the certification authority
// expects (SM2TmpPublicKeyStruct, 136 octets, integers little-endian):
//   0  00 B4 00 00   0x0000B400
//   4  00 01 00 00   256, the key size in bits
//   8  X field: X in 32 octets, most significant first, then the 32
//      further octets of the provider's X field as exported
//   72 Y field, laid out likewise
#pragma once

#include "base/WinTypes.h"

constexpr DWORD kSm2PublicKeyBlobLength = 140;  // 8-octet header + 132-octet body
constexpr DWORD kSm2TmpPublicKeyStructLength = 136;

// Rewrites the provider's SM2 PUBLICKEYBLOB in `blob` (at least 140
// octets) in place into the SM2TmpPublicKeyStruct and sets *length to 136.
// A null buffer or length gives E_INVALIDARG; a blob shorter than 140
// octets is refused with 0x8007000D before it is read.
HRESULT ConvertSM2TmpPublicKeyStructtoCANeeded(BYTE* blob, DWORD* length);

// The uncompressed point 04 || X || Y (65 octets) of the provider's SM2
// PUBLICKEYBLOB `blob` (140 octets; X and Y least significant first at
// body octets 4-35 and 68-99).
void Sm2PublicPoint(const BYTE* blob, BYTE point[65]);

// Writes the SM2TmpPublicKeyStruct of the 132-octet blob `body` into `out`
// (136 octets).
void ComposeSm2TmpPublicKeyStruct(const BYTE* body, BYTE* out);
