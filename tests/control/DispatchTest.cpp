// IDispatch as a script engine drives it: argument coercion and failures.
#include <gtest/gtest.h>

#include "base/Platform.h"
#include "control/DispatchTable.h"
#include "support/AgentFixture.h"
#include "support/FaultPlatform.h"

namespace {

// Arguments in script order (null: VT_NULL, "#n": the number n as VT_I4);
// Invoke receives them reversed.
struct Call {
  std::vector<VARIANT> args;
  VARIANT result;
  EXCEPINFO excep{};
  UINT argErr = 99;
  explicit Call(std::vector<const char16_t*> script) {
    VariantInit(&result);
    for (const char16_t* a : script) {
      VARIANT v;
      VariantInit(&v);
      v.vt = !a ? VT_NULL : a[0] == u'#' ? VT_I4 : VT_BSTR;
      if (v.vt == VT_I4) v.lVal = std::stol(Narrow(a + 1));
      if (v.vt == VT_BSTR) v.bstrVal = SysAllocString(a);
      args.insert(args.begin(), v);
    }
  }
  ~Call() {
    for (VARIANT& v : args) VariantClear(&v);
    VariantClear(&result);
  }
  HRESULT Invoke(ICryptoAgent* agent, DISPID id, WORD flags = DISPATCH_METHOD) {
    DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    return agent->Invoke(id, IID_NULL, 0, flags, &params, &result, &excep, &argErr);
  }
};

TEST(Dispatch, ArgumentsAndFailuresAsAScriptEngineSeesThem) {
  AgentRef agent;
  // argErr 99: left alone.
  const struct { const char* name; std::vector<const char16_t*> args; DISPID id; WORD flags; HRESULT status;
                 UINT argErr; } rows[] = {
      // The first script argument is the last slot.
      {"text for a number", {u"lots", u"Provider"}, 3, DISPATCH_METHOD, DISP_E_TYPEMISMATCH, 1},
      {"null for a string", {nullptr}, 4, DISPATCH_METHOD, DISP_E_TYPEMISMATCH, 99},
      {"one argument too many", {u"RSA", u"extra"}, 4, DISPATCH_METHOD, DISP_E_BADPARAMCOUNT, 99},
      {"no such DISPID", {}, 13, DISPATCH_METHOD, DISP_E_MEMBERNOTFOUND, 99},
      {"a method is no property", {}, 7, DISPATCH_PROPERTYPUT, DISP_E_MEMBERNOTFOUND, 99},
      {"a number beyond LONG", {u"99999999999", u"Provider"}, 3, DISPATCH_METHOD, DISP_E_OVERFLOW, 1},
      // Numbers coerced as script does (provider 42: not a software
      // provider); JScript calls with both flags.
      {"numbers for a number and a string", {u"#1024", u"#42"}, 3,
       DISPATCH_METHOD | DISPATCH_PROPERTYGET, S_OK, 99},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    Call call(r.args);
    EXPECT_EQ(call.Invoke(agent.get(), r.id, r.flags), r.status);
    EXPECT_TRUE(r.argErr == 99 || call.argErr == r.argErr) << call.argErr;
    EXPECT_EQ(call.result.vt, r.status == S_OK ? VT_BOOL : VT_EMPTY);
    EXPECT_TRUE(r.status != S_OK || call.result.boolVal == VARIANT_TRUE);
  }
  EXPECT_EQ(agent.object()->KeyLength(), 1024);
  EXPECT_EQ(agent.object()->CSPName(), u"42");
}

// A failing method reaches the engine as an exception carrying its status
// and, from the thread's error object, the GetLastErrorDesc text; Invoke
// takes that object.
TEST(Dispatch, AFailingMethodRaisesItsStatusWithItsDescription) {
  ScopedEnv lang("LANG", "en_US.UTF-8"), all("LC_ALL", nullptr), messages("LC_MESSAGES", nullptr);
  AgentRef agent;
  const struct { std::vector<const char16_t*> args; DISPID id; uint32_t status; const char* description; } rows[] = {
      {{u"ECC"}, 4, 0xA0072401u, "Invalid key algorithm.\n(0xa0072401)"},
      {{u"#1024", u"   "}, 3, 0x80070057u, "The parameter is incorrect.\r\n\n(0x80070057)"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.description);
    Call call(r.args);
    EXPECT_EQ(call.Invoke(agent.get(), r.id), DISP_E_EXCEPTION);
    EXPECT_EQ(static_cast<uint32_t>(call.excep.scode), r.status);
    EXPECT_EQ(Narrow(call.excep.bstrDescription), r.description);
    EXPECT_EQ(Narrow(call.excep.bstrSource), "Keyloom.CryptoAgent.Tessel_V1.X64");
    EXPECT_EQ(LastErrorText(agent.get()), r.description);
    EXPECT_EQ(call.result.vt, VT_EMPTY);
    IErrorInfo* left = nullptr;
    EXPECT_EQ(Plat().GetErrorInfo(0, &left), S_FALSE);
    SysFreeString(call.excep.bstrDescription);
    SysFreeString(call.excep.bstrSource);
  }
}

// A method called through Invoke is one call of the platform: its waits
// share one deadline from the first of its platform calls to the last.
TEST(Dispatch, AMethodIsOnePlatformCall) {
  AgentRef agent;
  FaultPlatform platform;
  Call call({});
  EXPECT_EQ(call.Invoke(agent.get(), 2), S_OK);  // GetCSPInfo
  const std::vector<FaultPlatform::Call> calls = platform.calls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls.front().name, "BeginCall");
  EXPECT_EQ(calls.back().name, "EndCall");
}

// Inputs other than text are numbers as written (VT_BOOL: -1 true, 0 false).
TEST(CoerceVariant, ScriptEngineRules) {
  // out: the text, or the number written out.
  const struct { VARTYPE from; const char16_t* in; VARTYPE target; HRESULT status; const char* out; } rows[] = {
      {VT_BSTR, u" 2048 ", VT_I4, S_OK, "2048"},  {VT_BSTR, u"-7", VT_I4, S_OK, "-7"},
      {VT_BSTR, u"2.5", VT_I4, S_OK, "2"},        {VT_BSTR, u"3.5", VT_I4, S_OK, "4"},  // half to even
      {VT_BSTR, u"0x10", VT_I4, DISP_E_TYPEMISMATCH, ""}, {VT_BSTR, u"", VT_I4, DISP_E_TYPEMISMATCH, ""},
      {VT_BSTR, u"true", VT_BOOL, S_OK, "-1"},    {VT_BSTR, u"FALSE", VT_BOOL, S_OK, "0"},
      {VT_BSTR, u"-1", VT_BOOL, S_OK, "-1"},      {VT_BSTR, u"0", VT_BOOL, S_OK, "0"},
      {VT_BSTR, u"yes", VT_BOOL, DISP_E_TYPEMISMATCH, ""}, {VT_I4, u"1024", VT_BSTR, S_OK, "1024"},
      {VT_BOOL, u"-1", VT_BSTR, S_OK, "True"},    {VT_BOOL, u"-1", VT_I4, S_OK, "-1"},
      {VT_I4, u"5", VT_BOOL, S_OK, "-1"},
  };
  for (const auto& r : rows) {
    VARIANT in, out{};
    VariantInit(&in);
    VariantInit(&out);
    in.vt = r.from;
    if (r.from == VT_BSTR) in.bstrVal = SysAllocString(r.in);
    else if (r.from == VT_BOOL) in.boolVal = static_cast<VARIANT_BOOL>(std::stol(Narrow(r.in)));
    else in.lVal = std::stol(Narrow(r.in));
    SCOPED_TRACE(Narrow(r.in));
    EXPECT_EQ(CoerceVariant(in, r.target, &out), r.status);
    const std::string got =
        r.target == VT_BSTR ? Narrow(out.bstrVal) : std::to_string(r.target == VT_BOOL ? out.boolVal : out.lVal);
    EXPECT_EQ(r.status == S_OK ? got : "", r.out);
    VariantClear(&in);
    VariantClear(&out);
  }
}

}  // namespace
