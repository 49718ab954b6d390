// The soft platform's table, assembled from one filler per area. Each area
// fills its own entries; entries no area fills fail with
// ERROR_CALL_NOT_IMPLEMENTED.
#pragma once

#include "control/Platform.h"

void SoftFillUnimplemented(Platform& t);
void SoftFillThread(Platform& t);    // last error, texts, languages, code pages
void SoftFillCom(Platform& t);       // COM initialisation, GUIDs
void SoftFillTrace(Platform& t);     // trace sink
void SoftFillComObjects(Platform& t);  // CoCreateInstance of DOM and zone classes
void SoftFillCertStores(Platform& t);  // certificate contexts and stores
void SoftFillCertNames(Platform& t);   // CertNameToStrW
void SoftFillChains(Platform& t);      // chain engine
void SoftFillVersion(Platform& t);     // platform version and its test
void SoftFillXmlDom(Platform& t);      // XML DOM over libxml2
void SoftFillZones(Platform& t);       // zone manager over the registry
void SoftFillResources(Platform& t);   // embedded resources, module file name
void SoftFillTime(Platform& t);        // file time conversion
void SoftFillFiles(Platform& t);       // temporary files
void SoftFillRegistry(Platform& t);  // registry in the homes' databases
void SoftFillEncode(Platform& t);    // structure encoder (CryptEncodeObject)
void SoftFillCrypto(Platform& t);    // cryptographic providers and key containers

// Sets the calling thread's last-error value (the soft GetLastError's).
void SoftSetLastError(DWORD error);
DWORD SoftGetLastError();
