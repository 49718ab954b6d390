// comcheck DLL: loads the control's module as the COM runtime does and reads
// back what only the Windows build has: the DLL's five exports, its embedded
// type library, and the control's IDispatch offering that type information.
// Prints "FAIL ..." per failed check, then
// "KEYLOOM-WINE-TEST-END failures=N tests=M", and exits with N.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <string>
#include <utility>

#include "keyloom_h.h"

namespace {

int failures = 0, tests = 0;

// Counts one check; prints name and detail when ok is false.
void Check(const char* name, bool ok, const std::string& detail = {}) {
  ++tests;
  if (!ok) {
    ++failures;
    std::printf("FAIL %s%s%s\n", name, detail.empty() ? "" : ": ", detail.c_str());
  }
}

// "0x%08lx" of value, as the scripts print statuses.
std::string Hex(unsigned long value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", value);
  return text;
}

// One check that a call answered expected.
void CheckHr(const char* name, HRESULT got, HRESULT expected) {
  Check(name, got == expected, "got " + Hex(got) + ", expected " + Hex(expected));
}

// text for printing: ASCII kept, anything else '?'; null gives "".
std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; text && *text; ++text) out += *text < 128 ? static_cast<char>(*text) : '?';
  return out;
}

// One check that got (may be null) equals expected; frees got.
void CheckText(const std::string& name, BSTR got, const wchar_t* expected) {
  Check(name.c_str(), got && std::wstring(got) == expected, "got \"" + Narrow(got) + "\"");
  SysFreeString(got);
}

// The type flags of info (borrowed), or 0 when its attributes cannot be read.
WORD TypeFlags(ITypeInfo* info) {
  TYPEATTR* type = nullptr;
  if (!info || FAILED(info->GetTypeAttr(&type))) return 0;
  WORD flags = type->wTypeFlags;
  info->ReleaseTypeAttr(type);
  return flags;
}

// The type library: its version and locale (the ones registration writes),
// the names of the class and interface, and the interface's dual flags.
// (The members' names and DISPIDs, from the IDL it is compiled from:
// tests/control.)
void CheckTypeLibrary(const wchar_t* path) {
  ITypeLib* library = nullptr;
  CheckHr("LoadTypeLibEx", LoadTypeLibEx(path, REGKIND_NONE, &library), S_OK);
  if (!library) return;
  BSTR name = nullptr;
  TLIBATTR* attr = nullptr;
  if (SUCCEEDED(library->GetLibAttr(&attr))) {
    Check("library lcid 0x409, version 1.0", attr->lcid == 0x409 && attr->wMajorVerNum == 1 && attr->wMinorVerNum == 0,
          Hex(attr->lcid) + " " + std::to_string(attr->wMajorVerNum) + "." + std::to_string(attr->wMinorVerNum));
    library->ReleaseTLibAttr(attr);
  }
  ITypeInfo* info = nullptr;
  const std::pair<const GUID*, const wchar_t*> kTypes[] = {{&CLSID_CryptoAgent, L"CryptoAgent"},
                                                          {&IID_ICryptoAgent, L"ICryptoAgent"}};
  for (const auto& [guid, type] : kTypes) {
    if (info) info->Release();
    info = nullptr;
    name = nullptr;
    if (SUCCEEDED(library->GetTypeInfoOfGuid(*guid, &info))) {
      info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    }
    CheckText(Narrow(type) + " name", name, type);
  }
  library->Release();
  if (!info) return;
  // A dual interface: the dispatch view is dual and non-extensible, its
  // vtable half (implemented type -1) carries the OLE-automation flag.
  const WORD dual = TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
  Check("interface flags", TypeFlags(info) == dual, Hex(TypeFlags(info)));
  HREFTYPE vtable_ref = 0;
  ITypeInfo* vtable = nullptr;
  if (SUCCEEDED(info->GetRefTypeOfImplType(-1, &vtable_ref))) info->GetRefTypeInfo(vtable_ref, &vtable);
  Check("vtable half flags", TypeFlags(vtable) == (dual | TYPEFLAG_FOLEAUTOMATION), Hex(TypeFlags(vtable)));
  if (vtable) vtable->Release();
  info->Release();
}

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

// A control made through the DLL's class factory answers the type
// information of the embedded library.
void CheckControlTypeInfo(HMODULE module) {
  // Through void*, as FARPROC is not the function type it has.
  auto get_class_object =
      reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  IClassFactory* factory = nullptr;
  if (get_class_object) get_class_object(CLSID_CryptoAgent, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  Check("DllGetClassObject", factory != nullptr);
  if (!factory) return;
  IDispatch* dispatch = nullptr;
  CheckHr("CreateInstance", factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
  factory->Release();
  if (!dispatch) return;
  UINT count = 0;
  dispatch->GetTypeInfoCount(&count);
  Check("GetTypeInfoCount", count == 1, std::to_string(count));
  ITypeInfo* info = nullptr;
  CheckHr("GetTypeInfo 1", dispatch->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
  dispatch->Release();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: comcheck PATH-OF-keyloom.dll\n", stderr);
    return 2;
  }
  CoInitialize(nullptr);
  HMODULE module = LoadLibraryW(argv[1]);
  Check("LoadLibrary", module != nullptr, Hex(GetLastError()));
  if (module) {
    for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer",
                             "DllInstall"}) {
      Check(name, GetProcAddress(module, name) != nullptr, "not exported");
    }
    CheckTypeLibrary(argv[1]);
    CheckControlTypeInfo(module);
  }
  CoUninitialize();
  std::printf("KEYLOOM-WINE-TEST-END failures=%d tests=%d\n", failures, tests);
  return failures;
}
