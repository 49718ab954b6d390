// The soft platform's table, assembled from one filler per area. Each area
// fills its own entries; entries no area fills fail with
// ERROR_CALL_NOT_IMPLEMENTED.
#pragma once

#include "control/Platform.h"

void SoftFillUnimplemented(Platform& t);
void SoftFillThread(Platform& t);    // last error, texts, languages, code pages
void SoftFillCom(Platform& t);       // COM initialisation, GUIDs
void SoftFillTrace(Platform& t);     // trace sink
void SoftFillEncode(Platform& t);    // structure encoder (CryptEncodeObject)
void SoftFillRegistry(Platform& t);  // registry in the homes' databases
void SoftFillCrypto(Platform& t);    // cryptographic providers and key containers

// Sets the calling thread's last-error value (the soft GetLastError's).
void SoftSetLastError(DWORD error);
DWORD SoftGetLastError();
