// Areas of the win32 table that are more than one forwarding call each.
#pragma once

#include "base/Platform.h"

void Win32FillXmlDom(Platform& t);  // the platform's DOM document (MSXML)
void Win32FillZones(Platform& t);   // the URL security and zone managers
void Win32FillTrace(Platform& t);   // the event-trace provider
void Win32FillTypeLibs(Platform& t);  // type library loading and registration
