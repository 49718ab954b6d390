// Library load and unload on POSIX: the loader runs these as the platform
// runs the DLL's process attach and detach.
#include <dlfcn.h>

#include "module/Module.h"

namespace {

__attribute__((constructor)) void OnLoad() {
  Dl_info info{};
  HINSTANCE instance = nullptr;
  if (dladdr(reinterpret_cast<void*>(&OnLoad), &info) != 0) instance = info.dli_fbase;
  ModuleAttach(instance);
}

__attribute__((destructor)) void OnUnload() { ModuleDetach(); }

}  // namespace
