// The module's exported entry points (the platform's headers declare them
// on Windows; this declares them for the other builds and the tests).
#pragma once

#include "base/ComTypes.h"

#ifndef _WIN32
// The class factory of CLSID_CryptoAgent: S_OK, E_POINTER for a null `ppv`,
// E_UNEXPECTED before the module is loaded, CLASS_E_CLASSNOTAVAILABLE for
// other classes, else the factory's QueryInterface result.
STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
// S_OK when no lock is held on the module, else S_FALSE.
STDAPI DllCanUnloadNow();
// The COM registration's status; the chain documents and the trusted sites
// are installed afterwards whatever it was, their outcome only traced.
STDAPI DllRegisterServer();
// The COM unregistration's status; certificates and sites stay.
STDAPI DllUnregisterServer();
// "user" (five characters with the terminator, any case) switches the
// process to per-user registration; then registers (unregistering again
// when that fails, returning the registration's status) or unregisters.
STDAPI DllInstall(BOOL install, const OLECHAR* commandLine);
#endif
