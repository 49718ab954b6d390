// Module resources: the files of resources/embedded.tsv compiled in, found
// by type (a name or an integer) and integer id; and the module's file name.
#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "encoding/Unicode.h"
#include "platform/soft/SoftTable.h"

namespace {

struct EmbeddedResource {
  const char16_t* type;
  WORD id;
  const unsigned char* data;
  DWORD size;
};

#include "EmbeddedResources.inc"

bool SameType(const char16_t* wanted, const char16_t* type) {
  if (IS_INTRESOURCE(wanted)) {
    // An integer type matches a type written as its decimal number.
    return Utf16ToUtf8(type) == std::to_string(reinterpret_cast<ULONG_PTR>(wanted));
  }
  for (size_t i = 0;; ++i) {
    char16_t a = wanted[i], b = type[i];
    if (a >= u'a' && a <= u'z') a = static_cast<char16_t>(a - 32);
    if (b >= u'a' && b <= u'z') b = static_cast<char16_t>(b - 32);
    if (a != b) return false;
    if (a == 0) return true;
  }
}

// Names are integer ids here ("#123" as text names the same).
bool IdOf(const char16_t* name, WORD* id) {
  if (IS_INTRESOURCE(name)) return *id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name)), true;
  if (name == nullptr || name[0] != u'#' || name[1] == 0) return false;
  unsigned long v = 0;
  for (const char16_t* p = name + 1; *p; ++p) {
    if (*p < u'0' || *p > u'9' || v > 0xFFFF) return false;
    v = v * 10 + (*p - u'0');
  }
  if (v > 0xFFFF) return false;
  *id = static_cast<WORD>(v);
  return true;
}

HRSRC FindResourceWImpl(HMODULE, const char16_t* name, const char16_t* type) {
  if (type == nullptr) {
    SoftSetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  }
  WORD id = 0;
  const bool haveId = IdOf(name, &id);
  bool typeSeen = false;
  for (const EmbeddedResource* r = kEmbeddedResources; r->type != nullptr; ++r) {
    if (!SameType(type, r->type)) continue;
    typeSeen = true;
    if (haveId && r->id == id) return const_cast<EmbeddedResource*>(r);
  }
  SoftSetLastError(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
  return nullptr;
}

DWORD SizeofResourceImpl(HMODULE, HRSRC resource) {
  if (resource == nullptr) {
    SoftSetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<const EmbeddedResource*>(resource)->size;
}

HGLOBAL LoadResourceImpl(HMODULE, HRSRC resource) {
  if (resource == nullptr) {
    SoftSetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return const_cast<unsigned char*>(static_cast<const EmbeddedResource*>(resource)->data);
}

void* LockResourceImpl(HGLOBAL data) { return data; }

// The path of the loaded object `module` (its load address, as the module
// keeps it), or of the program for null. Truncates like the platform: a
// short buffer gets size-1 characters and a terminator, the result is size
// and the last error ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameWImpl(HMODULE module, char16_t* path, DWORD size) {
  std::string file;
  if (module == nullptr) {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n > 0) file.assign(buffer, static_cast<size_t>(n));
  } else {
    Dl_info info{};
    if (dladdr(module, &info) != 0 && info.dli_fname != nullptr) file = info.dli_fname;
  }
  if (file.empty()) {
    SoftSetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (path == nullptr || size == 0) {
    SoftSetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const std::u16string wide = Utf8ToUtf16(file);
  if (wide.size() + 1 > size) {
    std::memcpy(path, wide.data(), (size - 1) * sizeof(char16_t));
    path[size - 1] = 0;
    SoftSetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(path, wide.data(), wide.size() * sizeof(char16_t));
  path[wide.size()] = 0;
  return static_cast<DWORD>(wide.size());
}

}  // namespace

void SoftFillResources(Platform& t) {
  t.FindResourceW = &FindResourceWImpl;
  t.SizeofResource = &SizeofResourceImpl;
  t.LoadResource = &LoadResourceImpl;
  t.LockResource = &LockResourceImpl;
  t.GetModuleFileNameW = &GetModuleFileNameWImpl;
}
