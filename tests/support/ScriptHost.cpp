#include "support/ScriptHost.h"

#include <gtest/gtest.h>

#include "control/CryptoAgent.h"
#include "encoding/Unicode.h"

ScriptHost::ScriptHost() {
  void* p = nullptr;
  EXPECT_EQ(CCryptoAgent::CreateInstance(nullptr, IID_IDispatch, &p), S_OK);
  control_ = static_cast<IDispatch*>(p);
}

ScriptHost::~ScriptHost() {
  if (control_) control_->Release();
}

ScriptResult ScriptHost::Call(const std::string& method, const std::vector<std::string>& args) {
  ScriptResult result;
  std::u16string name = Utf8ToUtf16(method);
  LPOLESTR names[1] = {name.data()};
  DISPID id = DISPID_UNKNOWN;
  result.hr = control_->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  if (FAILED(result.hr)) return result;
  std::vector<VARIANT> values(args.size());  // Invoke takes them last first
  for (size_t i = 0; i < args.size(); ++i) {
    VARIANT& v = values[args.size() - 1 - i];
    const std::u16string text = Utf8ToUtf16(args[i]);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(text.c_str(), static_cast<UINT>(text.size()));
  }
  DISPPARAMS params{values.data(), nullptr, static_cast<UINT>(values.size()), 0};
  VARIANT out;
  VariantInit(&out);
  EXCEPINFO excep{};
  UINT argErr = 0;
  result.hr = control_->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, &out, &excep, &argErr);
  if (result.hr == DISP_E_EXCEPTION) result.hr = excep.scode;
  // The caller owns what the exception carries.
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  if (out.vt == VT_BSTR)
    result.text = Utf16ToUtf8(std::u16string_view(out.bstrVal, SysStringLen(out.bstrVal)));
  if (out.vt == VT_BOOL) result.flag = out.boolVal == VARIANT_TRUE;
  VariantClear(&out);
  for (VARIANT& v : values) VariantClear(&v);
  return result;
}
