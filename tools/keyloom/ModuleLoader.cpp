#include "keyloom/ModuleLoader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

std::string ModulePath(const char*) {
  if (const char* env = std::getenv("KEYLOOM_MODULE"); env && *env) return env;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "libkeyloom.so";
  self[n] = 0;
  std::string dir(self);
  dir = dir.substr(0, dir.rfind('/'));             // .../bin
  dir = dir.substr(0, dir.rfind('/'));             // the build folder
  return dir + "/lib/libkeyloom.so";
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
