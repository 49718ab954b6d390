// Library load and unload on Windows.
#include "module/Module.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH: ModuleAttach(instance); break;
    case DLL_THREAD_ATTACH: ModuleThreadAttach(); break;
    case DLL_THREAD_DETACH: ModuleThreadDetach(); break;
    case DLL_PROCESS_DETACH: ModuleDetach(); break;
    default: break;
  }
  return TRUE;
}
