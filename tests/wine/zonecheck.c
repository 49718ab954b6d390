/* zonecheck.exe URL...: the zone urlmon's security manager maps each URL
 * to (MapUrlToZone), one "URL ZONE" line per argument, or "URL error
 * 0xHRESULT". Exit status 1 when a call failed. Run under Wine by
 * scripts/wine-install-test to see whether the zone map in the registry
 * is read. */
#define COBJMACROS
#include <windows.h>
#include <urlmon.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
  IInternetSecurityManager* manager = NULL;
  HRESULT hr = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
  if (SUCCEEDED(hr)) hr = CoInternetCreateSecurityManager(NULL, &manager, 0);
  if (FAILED(hr)) {
    printf("CoInternetCreateSecurityManager error 0x%08lx\n", (unsigned long)hr);
    return 1;
  }
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    DWORD zone = 0;
    hr = IInternetSecurityManager_MapUrlToZone(manager, argv[i], &zone, 0);
    if (FAILED(hr)) {
      wprintf(L"%ls error 0x%08lx\n", argv[i], (unsigned long)hr);
      failed = 1;
    } else {
      wprintf(L"%ls %lu\n", argv[i], (unsigned long)zone);
    }
  }
  IInternetSecurityManager_Release(manager);
  CoUninitialize();
  return failed;
}
