#include "keyloom/ModuleLoader.h"

#include <cstdlib>

#ifdef _WIN32

#include "encoding/Unicode.h"

namespace {
template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn* fn) {
  *fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *fn != nullptr;
}
}  // namespace

// $KEYLOOM_MODULE, else keyloom.dll beside the tool.
std::string ModulePath(const char*) {
  if (const char* env = std::getenv("KEYLOOM_MODULE"); env && *env) return env;
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::string path = Utf16ToUtf8(std::u16string_view(U16(self), n));
  return path.substr(0, path.find_last_of("\\/") + 1) + "keyloom.dll";
}

bool LoadModule(const std::string& path, LoadedModule* m, std::string* error) {
  const std::u16string wide = Utf8ToUtf16(path);
  HMODULE module = LoadLibraryW(W(wide.c_str()));
  if (module == nullptr) {
    *error = "cannot load " + path;
    return false;
  }
  m->handle = module;
  if (!Resolve(module, "DllGetClassObject", &m->DllGetClassObject) ||
      !Resolve(module, "DllCanUnloadNow", &m->DllCanUnloadNow) ||
      !Resolve(module, "DllRegisterServer", &m->DllRegisterServer) ||
      !Resolve(module, "DllUnregisterServer", &m->DllUnregisterServer) ||
      !Resolve(module, "DllInstall", &m->DllInstall)) {
    *error = path + " lacks one of the five module exports";
    FreeLibrary(module);
    m->handle = nullptr;
    return false;
  }
  return true;
}

void UnloadModule(LoadedModule* m) {
  if (m->handle) FreeLibrary(static_cast<HMODULE>(m->handle));
  m->handle = nullptr;
}

bool LoadModuleResources(const std::string& path, HINSTANCE* resources, std::string* error) {
  const std::u16string wide = Utf8ToUtf16(path);
  *resources = LoadLibraryExW(W(wide.c_str()), nullptr,
                              LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (*resources == nullptr) *error = "cannot load " + path;
  return *resources != nullptr;
}

void UnloadModuleResources(HINSTANCE resources) {
  if (resources) FreeLibrary(resources);
}

#else

#include <dlfcn.h>
#include <unistd.h>

// Where the install rules put the module: relative to the prefix, and the
// prefix the build was configured for.
#ifndef KEYLOOM_MODULE_INSTALL_DIR
#define KEYLOOM_MODULE_INSTALL_DIR "lib/keyloom"
#endif
#ifndef KEYLOOM_INSTALL_PREFIX
#define KEYLOOM_INSTALL_PREFIX "/usr/local"
#endif

std::string ModulePath(const char*) {
  if (const char* env = std::getenv("KEYLOOM_MODULE"); env && *env) return env;
  const std::string installed = KEYLOOM_INSTALL_PREFIX "/" KEYLOOM_MODULE_INSTALL_DIR "/libkeyloom.so";
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return installed;
  self[n] = 0;
  std::string dir(self);
  dir = dir.substr(0, dir.rfind('/'));             // .../bin
  dir = dir.substr(0, dir.rfind('/'));             // the prefix or the build folder
  // An installed tree wherever its prefix was moved, then the build folder.
  for (const std::string& candidate : {dir + "/" KEYLOOM_MODULE_INSTALL_DIR "/libkeyloom.so",
                                       dir + "/lib/libkeyloom.so"})
    if (access(candidate.c_str(), F_OK) == 0) return candidate;
  return installed;
}

bool LoadModule(const std::string& path, LoadedModule* m, std::string* error) {
  m->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (m->handle == nullptr) {
    const char* why = dlerror();
    *error = why ? why : ("cannot load " + path);
    return false;
  }
  auto resolve = [&](auto& fn, const char* name) {
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(m->handle, name));
    return fn != nullptr;
  };
  if (!resolve(m->DllGetClassObject, "DllGetClassObject") ||
      !resolve(m->DllCanUnloadNow, "DllCanUnloadNow") ||
      !resolve(m->DllRegisterServer, "DllRegisterServer") ||
      !resolve(m->DllUnregisterServer, "DllUnregisterServer") ||
      !resolve(m->DllInstall, "DllInstall")) {
    *error = path + " lacks one of the five module exports";
    dlclose(m->handle);
    m->handle = nullptr;
    return false;
  }
  return true;
}

void UnloadModule(LoadedModule* m) {
  if (m->handle) dlclose(m->handle);
  m->handle = nullptr;
}

bool LoadModuleResources(const std::string&, HINSTANCE* resources, std::string*) {
  *resources = nullptr;
  return true;
}

void UnloadModuleResources(HINSTANCE) {}

#endif  // _WIN32
