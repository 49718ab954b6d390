#include "keyloom/CallCommand.h"

#include <cstdio>

#include "control/ICryptoAgent.h"
#include "encoding/Unicode.h"
#include "keyloom/Failure.h"
#include "encoding/Json.h"

namespace {

// Releases a COM interface when it leaves scope.
template <typename T>
struct ComPtr {
  T* p = nullptr;
  ~ComPtr() {
    if (p) p->Release();
  }
  void** out() { return reinterpret_cast<void**>(&p); }
};

void PrintResult(const std::string& method, HRESULT hr, const VARIANT* result) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08x", static_cast<uint32_t>(hr));
  std::string line = "{\"method\":" + JsonString(method) + ",\"hr\":\"" + hex + "\",\"result\":";
  if (result == nullptr) line += "null";
  else if (result->vt == VT_BOOL) line += result->boolVal ? "true" : "false";
  else if (result->vt == VT_BSTR)
    line += JsonString(Utf16ToUtf8(std::u16string_view(U16(result->bstrVal), SysStringLen(result->bstrVal))));
  else line += "null";
  line += "}\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

HRESULT InvokeOne(IDispatch* dispatch, const MethodCall& call, VARIANT* result) {
  std::u16string name = Utf8ToUtf16(call.method);
  LPOLESTR names[1] = {W(name.data())};
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;

  // Arguments as strings, last first, as a script engine passes them.
  std::vector<VARIANT> args(call.args.size());
  for (size_t i = 0; i < call.args.size(); ++i) {
    VARIANT& v = args[call.args.size() - 1 - i];
    VariantInit(&v);
    const std::u16string text = Utf8ToUtf16(call.args[i]);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(W(text.c_str()), static_cast<UINT>(text.size()));
  }
  DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
  EXCEPINFO excep{};
  UINT argErr = 0;
  hr = dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result,
                        &excep, &argErr);
  for (VARIANT& v : args) VariantClear(&v);
  if (hr == DISP_E_EXCEPTION) {
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    if (excep.scode != 0) hr = excep.scode;
  }
  return hr;
}

}  // namespace

bool ParseCalls(const std::vector<std::string>& words, std::vector<MethodCall>* calls) {
  MethodCall current;
  bool open = false;
  for (const std::string& w : words) {
    if (w == "--") {
      if (!open) return false;
      calls->push_back(std::move(current));
      current = MethodCall{};
      open = false;
    } else if (!open) {
      current.method = w;
      open = true;
    } else {
      current.args.push_back(w);
    }
  }
  if (!open) return false;
  calls->push_back(std::move(current));
  return true;
}

int RunCalls(const LoadedModule& module, const std::vector<MethodCall>& calls) {
  ComPtr<IClassFactory> factory;
  HRESULT hr = module.DllGetClassObject(CLSID_CryptoAgent, IID_IClassFactory, factory.out());
  if (FAILED(hr)) return ReportFailure("call DllGetClassObject", hr);
  ComPtr<IDispatch> control;
  hr = factory.p->CreateInstance(nullptr, IID_IDispatch, control.out());
  if (FAILED(hr)) return ReportFailure("call CreateInstance", hr);
  int exitCode = 0;
  for (const MethodCall& call : calls) {
    VARIANT result;
    VariantInit(&result);
    hr = InvokeOne(control.p, call, &result);
    PrintResult(call.method, hr, hr == S_OK ? &result : nullptr);
    VariantClear(&result);
    if (hr != S_OK) exitCode = ReportFailure("call " + call.method, hr);
  }
  return exitCode;
}

int RunRegsvr(const LoadedModule& module, const std::vector<std::string>& options) {
  bool uninstall = false, install = false, callRegister = true;
  std::u16string cmdline;
  for (const std::string& o : options) {
    if (o == "-u" || o == "/u") {
      uninstall = true;
    } else if (o == "-n" || o == "/n") {
      callRegister = false;
    } else if (o == "-i" || o == "/i") {
      install = true;
    } else if (o.rfind("-i:", 0) == 0 || o.rfind("/i:", 0) == 0) {
      install = true;
      cmdline = Utf8ToUtf16(o.substr(3));
    } else {
      std::fprintf(stderr, "keyloom regsvr: unknown option %s\n", o.c_str());
      return 2;
    }
  }
  if (!install && !callRegister) return 2;  // -n needs -i
  // The platform's tool: "/u /i" uninstalls before unregistering, "/i"
  // installs after registering, and stops at the first failure; without a
  // command line DllInstall receives an empty one.
  auto report = [](const char* entry, HRESULT hr) {
    std::printf("{\"entry\":\"%s\",\"hr\":\"0x%08x\"}\n", entry, static_cast<uint32_t>(hr));
    return hr == S_OK ? 0 : ReportFailure(std::string("regsvr ") + entry, hr);
  };
  if (install && uninstall)
    if (int code = report("DllInstall", module.DllInstall(FALSE, W(cmdline.c_str())))) return code;
  if (!install || callRegister) {
    const int code = uninstall ? report("DllUnregisterServer", module.DllUnregisterServer())
                               : report("DllRegisterServer", module.DllRegisterServer());
    if (code != 0) return code;
  }
  if (install && !uninstall) return report("DllInstall", module.DllInstall(TRUE, W(cmdline.c_str())));
  return 0;
}
