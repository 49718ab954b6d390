// IDispatch as a script engine drives it: names, DISPIDs, argument coercion
// and failures.
#include <gtest/gtest.h>

#include <vector>

#include "control/DispatchTable.h"
#include "support/AgentFixture.h"

namespace {

TEST(Dispatch, NamesMatchWithoutRegardToCase) {
  AgentRef agent;
  struct {
    const char16_t* name;
    DISPID id;
  } rows[] = {
      {u"ZENQ_CheckCertificateChain", 1}, {u"zenq_getcspinfo", 2},
      {u"ZENQ_SETCSPINFO", 3},            {u"ZENQ_SetKeyAlgorithm", 4},
      {u"ZENQ_GetTempPublickey", 5},      {u"ZENQ_ImportEncryptCert", 6},
      {u"ZENQ_GetContainer", 7},          {u"ZENQ_ImportSignCert", 8},
      {u"ZENQ_PKCS10CertRequisition", 9}, {u"ZENQ_GetAllCertInfo", 10},
      {u"ZENQ_HavePermissiontoGenerateKeyPair", 11},
      {u"ZENQ_PKCS10CertRequisitionwithMD5", 12},
      {u"getlasterrordesc", 99},
  };
  for (const auto& r : rows) {
    std::u16string name = r.name;
    LPOLESTR names[1] = {name.data()};
    DISPID id = 0;
    EXPECT_EQ(agent->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK) << Narrow(r.name);
    EXPECT_EQ(id, r.id) << Narrow(r.name);
  }
  std::u16string unknown = u"ZENQ_GetCSPInfoX";
  LPOLESTR names[1] = {unknown.data()};
  DISPID id = 0;
  EXPECT_EQ(agent->GetIDsOfNames(IID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  UINT count = 9;
  EXPECT_EQ(agent->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
}

// Arguments in script order; Invoke receives them reversed.
struct Call {
  std::vector<VARIANT> args;
  VARIANT result;
  EXCEPINFO excep{};
  UINT argErr = 99;
  Call() { VariantInit(&result); }
  ~Call() {
    for (VARIANT& v : args) VariantClear(&v);
    VariantClear(&result);
  }
  Call& Push(VARTYPE type, const char16_t* text = nullptr, LONG number = 0) {
    VARIANT v;
    VariantInit(&v);
    v.vt = type;
    if (type == VT_BSTR) v.bstrVal = SysAllocString(text);
    if (type == VT_I4) v.lVal = number;
    args.insert(args.begin(), v);
    return *this;
  }
  Call& Str(const char16_t* s) { return Push(VT_BSTR, s); }
  Call& Long(LONG n) { return Push(VT_I4, nullptr, n); }
  HRESULT Invoke(ICryptoAgent* agent, DISPID id, WORD flags = DISPATCH_METHOD) {
    DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    return agent->Invoke(id, IID_NULL, 0, flags, &params, &result, &excep, &argErr);
  }
};

TEST(Dispatch, CoercesStringsToLongsAsScriptDoes) {
  AgentRef agent;
  Call call;
  call.Str(u" 2048 ").Str(u"Microsoft Enhanced Cryptographic Provider v1.0");
  EXPECT_EQ(call.Invoke(agent.get(), 3), S_OK);
  EXPECT_EQ(call.result.vt, VT_BOOL);
  EXPECT_EQ(call.result.boolVal, VARIANT_TRUE);
  EXPECT_EQ(agent.object()->KeyLength(), 2048);
}

TEST(Dispatch, NumberForAStringParameterBecomesItsText) {
  AgentRef agent;
  Call call;
  call.Long(1024).Long(42);  // provider name 42: not a software provider
  EXPECT_EQ(call.Invoke(agent.get(), 3), S_OK);
  EXPECT_EQ(agent.object()->CSPName(), u"42");
}

TEST(Dispatch, FailuresAScriptEngineSees) {
  AgentRef agent;
  const struct {
    const char* name;
    std::vector<const char16_t*> args;  // script order; null is VT_NULL
    DISPID id;
    WORD flags;
    HRESULT status;
  } rows[] = {
      {"text for a number", {u"lots", u"Provider"}, 3, DISPATCH_METHOD, DISP_E_TYPEMISMATCH},
      {"null for a string", {nullptr}, 4, DISPATCH_METHOD, DISP_E_TYPEMISMATCH},
      {"one argument too many", {u"RSA", u"extra"}, 4, DISPATCH_METHOD, DISP_E_BADPARAMCOUNT},
      {"no such DISPID", {}, 13, DISPATCH_METHOD, DISP_E_MEMBERNOTFOUND},
      {"a method is no property", {}, 7, DISPATCH_PROPERTYPUT, DISP_E_MEMBERNOTFOUND},
      {"a number beyond LONG", {u"99999999999", u"Provider"}, 3, DISPATCH_METHOD, DISP_E_OVERFLOW},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    Call call;
    for (const char16_t* a : r.args) a ? call.Str(a) : call.Push(VT_NULL);
    EXPECT_EQ(call.Invoke(agent.get(), r.id, r.flags), r.status);
    if (r.status == DISP_E_TYPEMISMATCH && r.id == 3) {
      EXPECT_EQ(call.argErr, 1u);  // the first script argument is the last slot
    }
  }
  // A failing method reaches the engine as an exception carrying its status.
  Call call;
  call.Str(u"ECC");
  EXPECT_EQ(call.Invoke(agent.get(), 4), DISP_E_EXCEPTION);
  EXPECT_EQ(static_cast<uint32_t>(call.excep.scode), 0xA0072401u);
  EXPECT_EQ(call.result.vt, VT_EMPTY);
}

TEST(Dispatch, StringResultsComeBackAsBstr) {
  AgentRef agent;
  Call call;
  EXPECT_EQ(call.Invoke(agent.get(), 7, DISPATCH_METHOD | DISPATCH_PROPERTYGET), S_OK);
  EXPECT_EQ(call.result.vt, VT_BSTR);
  EXPECT_EQ(SysStringLen(call.result.bstrVal), 0u);
}

struct CoerceRow {
  VARTYPE fromType;
  const char16_t* text;  // for VT_BSTR
  LONG number;           // for VT_I4 / VT_BOOL
  VARTYPE target;
  HRESULT status;
  LONG expectLong;
  const char16_t* expectText;
};

const CoerceRow kCoerceRows[] = {
    {VT_BSTR, u"1024", 0, VT_I4, S_OK, 1024, nullptr},
    {VT_BSTR, u"-7", 0, VT_I4, S_OK, -7, nullptr},
    {VT_BSTR, u"2.5", 0, VT_I4, S_OK, 2, nullptr},  // rounds half to even
    {VT_BSTR, u"3.5", 0, VT_I4, S_OK, 4, nullptr},
    {VT_BSTR, u"0x10", 0, VT_I4, DISP_E_TYPEMISMATCH, 0, nullptr},
    {VT_BSTR, u"", 0, VT_I4, DISP_E_TYPEMISMATCH, 0, nullptr},
    {VT_BSTR, u"true", 0, VT_BOOL, S_OK, -1, nullptr},
    {VT_BSTR, u"FALSE", 0, VT_BOOL, S_OK, 0, nullptr},
    {VT_BSTR, u"-1", 0, VT_BOOL, S_OK, -1, nullptr},
    {VT_BSTR, u"0", 0, VT_BOOL, S_OK, 0, nullptr},
    {VT_BSTR, u"yes", 0, VT_BOOL, DISP_E_TYPEMISMATCH, 0, nullptr},
    {VT_I4, nullptr, 1024, VT_BSTR, S_OK, 0, u"1024"},
    {VT_BOOL, nullptr, -1, VT_BSTR, S_OK, 0, u"True"},
    {VT_BOOL, nullptr, -1, VT_I4, S_OK, -1, nullptr},
    {VT_I4, nullptr, 5, VT_BOOL, S_OK, -1, nullptr},
};

TEST(CoerceVariant, ScriptEngineRules) {
  for (const CoerceRow& r : kCoerceRows) {
    VARIANT in, out;
    VariantInit(&in);
    in.vt = r.fromType;
    if (r.fromType == VT_BSTR) in.bstrVal = SysAllocString(r.text);
    else if (r.fromType == VT_BOOL) in.boolVal = static_cast<VARIANT_BOOL>(r.number);
    else in.lVal = r.number;
    SCOPED_TRACE(r.text ? Narrow(r.text) : std::to_string(r.number));
    EXPECT_EQ(CoerceVariant(in, r.target, &out), r.status);
    if (r.status == S_OK) {
      if (r.target == VT_BSTR) EXPECT_EQ(Narrow(out.bstrVal), Narrow(r.expectText));
      else if (r.target == VT_BOOL) EXPECT_EQ(out.boolVal, static_cast<VARIANT_BOOL>(r.expectLong));
      else EXPECT_EQ(out.lVal, r.expectLong);
    }
    VariantClear(&in);
    VariantClear(&out);
  }
}

}  // namespace
