// Library load and unload of the module object (base/ModuleState.h), and
// its cached class factory.
#pragma once

#include "base/ModuleState.h"

// Library load and unload: store the instance handle, start tracing and
// write the load record; stop tracing and release the cached factory.
void ModuleAttach(HINSTANCE instance);
void ModuleDetach();
void ModuleThreadAttach();
void ModuleThreadDetach();

// The cached class factory of CryptoAgent, created once under the module's
// lock (checked again inside it). Not referenced for the caller.
IClassFactory* ModuleClassFactory();
