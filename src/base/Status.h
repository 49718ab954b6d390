// The status convention shared by every operation.
#pragma once

#include "base/WinTypes.h"

// The system's own codes: 0xA0070000 | string id of the message.
constexpr HRESULT OwnStatus(uint16_t stringId) {
  return static_cast<HRESULT>(0xA0070000u | stringId);
}

constexpr HRESULT KL_E_CHAIN_NOT_INTEGRATED = OwnStatus(4147);     // 0xA0071033
constexpr HRESULT KL_E_CHAIN_BAD_SIGNATURE = OwnStatus(4148);      // 0xA0071034
constexpr HRESULT KL_E_ASN1_DECODE = OwnStatus(4161);              // 0xA0071041
constexpr HRESULT KL_E_XML_PARSE = OwnStatus(5122);                // 0xA0071402
constexpr HRESULT KL_E_IMPORT_ENCRYPT_CERT = OwnStatus(5123);      // 0xA0071403
constexpr HRESULT KL_E_BAD_DEVICE_TYPE = OwnStatus(5124);          // 0xA0071404
constexpr HRESULT KL_E_BAD_ENCRYPT_TYPE = OwnStatus(5125);         // 0xA0071405
constexpr HRESULT KL_E_BAD_SESSION_KEY_TYPE = OwnStatus(5126);     // 0xA0071406
constexpr HRESULT KL_E_INVALID_HASH_ALGORITHM = OwnStatus(8224);   // 0xA0072020
constexpr HRESULT KL_E_KEY_LENGTH = OwnStatus(9216);               // 0xA0072400
constexpr HRESULT KL_E_KEY_ALGORITHM = OwnStatus(9217);            // 0xA0072401

// Two rules turn a platform error number into a status. Both take zero and
// negative values (full statuses such as 0x80090016) unchanged.
//
// The full rule: a positive error number e carrying the customer bit
// 0x20000000 (the system's own codes) becomes (e & 0xFFFF) | 0xA0070000;
// any other positive e becomes (e & 0xFFFF) | 0x80070000.
constexpr HRESULT StatusFromErrorFullRule(DWORD e) {
  const int32_t s = static_cast<int32_t>(e);
  if (s <= 0) return s;
  if (e & 0x20000000u) return static_cast<HRESULT>((e & 0xFFFFu) | 0xA0070000u);
  return static_cast<HRESULT>((e & 0xFFFFu) | 0x80070000u);
}

// The Win32 rule: every positive e becomes (e & 0xFFFF) | 0x80070000, the
// customer bit included.
constexpr HRESULT StatusFromErrorWin32Rule(DWORD e) {
  const int32_t s = static_cast<int32_t>(e);
  if (s <= 0) return s;
  return static_cast<HRESULT>((e & 0xFFFFu) | 0x80070000u);
}

// The thread's last-error value through the active platform, made a status
// by the full rule or by the Win32 rule.
HRESULT LastErrorStatusFullRule();
HRESULT LastErrorStatusWin32Rule();

// For a platform call that has just reported failure: the last-error status
// by the full rule or by the Win32 rule, except that a status that is not a
// failure (a last error of 0) gives E_FAIL, so that a failure is never
// reported as success.
HRESULT FailedCallStatusFullRule();
HRESULT FailedCallStatusWin32Rule();
