// The platform's DOM document class (Msxml2.DOMDocument), which the SDK
// headers name CLSID_DOMDocument2 but no import library defines.
#include <windows.h>

#include <initguid.h>

DEFINE_GUID(CLSID_DOMDocument2, 0xF6D90F11, 0x9C73, 0x11D3, 0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4);
