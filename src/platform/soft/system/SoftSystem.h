// system/: the soft platform's thread state and texts, COM, tracing, the
// XML DOM, URL zones, resources, time, temporary files and the version.
#pragma once

#include "base/Platform.h"

void SoftFillThread(Platform& t);      // last error, texts, languages, code pages
void SoftFillCom(Platform& t);         // COM initialisation, GUIDs
void SoftFillErrorInfo(Platform& t);   // the thread's error object
void SoftFillTrace(Platform& t);       // trace sink
void SoftFillComObjects(Platform& t);  // CoCreateInstance of DOM and zone classes
void SoftFillVersion(Platform& t);     // platform version and its test
void SoftFillXmlDom(Platform& t);      // XML DOM over libxml2
void SoftFillZones(Platform& t);       // zone manager over the registry
void SoftFillResources(Platform& t);   // embedded resources, module file name
void SoftFillTypeLibs(Platform& t);    // type libraries (the IDL source) and their registration
void SoftFillTime(Platform& t);        // file time conversion
void SoftFillFiles(Platform& t);       // temporary files

// Sets the calling thread's last-error value (the soft GetLastError's).
void SoftSetLastError(DWORD error);
DWORD SoftGetLastError();
