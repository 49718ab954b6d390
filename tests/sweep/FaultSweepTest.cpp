// Every method of the control and every registration export, run again and
// again with the 1st, 2nd, ... platform call failing until a run ends
// without reaching the fault. Each run must fail (unless the failed call is
// one the operation treats as best effort, and then its result must still
// be whole), leave no container without its key and no new certificate in
// "My", and release every handle it acquired (FaultPlatform's balance).
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <iterator>
#include <set>
#include <string>

#include "install/InstallTestSupport.h"
#include "integration/Enrollment.h"
#include "module/Exports.h"
#include "support/AgentFixture.h"
#include "support/Base64Text.h"
#include "support/FaultPlatform.h"
#include "support/StoreHelpers.h"
#include "support/TestPki.h"

namespace {

// What a row's call left for its check.
struct Session {
  AgentRef agent;
  VARIANT_BOOL ok = VARIANT_FALSE;
  BstrHolder text;
  std::u16string a, b, c;  // inputs made by the preparation
};

// The containers of the soft providers, each with whether it holds a key,
// and the certificates of "My".
std::string Snapshot() {
  std::string out;
  for (const char16_t* provider : {kEnhanced, kBase, kRsaToken, kSm2Token}) {
    Prov prov;
    if (!prov.Acquire(nullptr, provider, CRYPT_VERIFYCONTEXT)) continue;
    for (const std::string& name : ContainerNames(prov.h)) {
      Prov box;
      Key key;
      const bool hasKey = box.Acquire(std::u16string(name.begin(), name.end()).c_str(), provider, 0) &&
                          (Plat().CryptGetUserKey(box.h, AT_SIGNATURE, &key.h) ||
                           Plat().CryptGetUserKey(box.h, AT_KEYEXCHANGE, &key.h));
      // the exponent-one key's scratch container is reused as it is
      if (name != "SGKEYCONTAINER") out += name + (hasKey ? " " : " without a key ");
    }
  }
  HCERTSTORE my = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
  if (my) {
    out += "| My " + std::to_string(StoreCerts(my).size());
    Plat().CertCloseStore(my, 0);
  }
  return out;
}

bool IsGuidText(const std::string& s) { return s.size() == 38 && s.front() == '{' && s.back() == '}'; }

// The diagnostic dumps are best effort: a failed dump never fails the call.
const std::set<std::string> kDump = {"CoCreateGuid", "StringFromGUID2", "GetTempPathW",
                                     "PathFileExistsW", "DeleteFileW", "CreateFileW", "WriteFile"};
// Texts and locales are best effort everywhere.
const std::set<std::string> kTexts = {"FormatMessageW", "LoadStringW", "GetThreadLocale",
                                      "SetThreadLocale", "GetUserDefaultUILanguage", "CreateErrorInfo",
                                      "SetErrorInfo", "GetErrorInfo"};

std::set<std::string> With(std::set<std::string> a, const std::set<std::string>& b) {
  a.insert(b.begin(), b.end());
  return a;
}

bool InprocServerRegistered() {
  HKEY key = nullptr;
  if (Plat().RegOpenKeyExW(HKEY_CLASSES_ROOT,
                           u"CLSID\\{5E2C7A14-9B3D-4F61-A8C2-3D7E91B04F25}\\InprocServer32", 0,
                           KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  Plat().RegCloseKey(key);
  return true;
}

struct Row {
  const char* name;
  std::function<void(Session&)> prepare;        // before the fault is armed
  std::function<HRESULT(Session&)> call;        // the method, with the fault armed
  std::function<bool(Session&, HRESULT)> whole;  // after: whether it succeeded wholly
  std::set<std::string> bestEffort;             // entries whose failure may still succeed
  bool checkState = true;                       // containers and "My" as above
};

void None(Session&) {}
void SelectRsa(Session& r) { ASSERT_TRUE(Select(r.agent.get(), u"RSA", kEnhanced, 1024)); }
void SelectSm2(Session& r) { ASSERT_TRUE(Select(r.agent.get(), u"SM2", kSm2Token, 256)); }
bool Ok(Session&, HRESULT hr) { return hr == S_OK; }
bool OkTrue(Session& r, HRESULT hr) { return hr == S_OK && r.ok == VARIANT_TRUE; }
// A text handed out and a GUID-named container made current.
bool TextAndContainer(Session& r, HRESULT hr) {
  return hr == S_OK && SysStringLen(r.text.value) > 0 && IsGuidText(ContainerOf(r.agent.get()));
}

HRESULT TempKey(Session& r) { return r.agent->ZENQ_GetTempPublickey(r.text.out()); }

HRESULT Request(Session& r, LONG type) {
  return r.agent->ZENQ_PKCS10CertRequisition(Bstr(u"CN=Sweep,O=Keyloom,C=CN"), type, 0, r.text.out());
}

// A temporary RSA key and an envelope of the authority made for it.
void PrepareEnvelope(Session& r) {
  SelectRsa(r);
  ASSERT_EQ(TempKey(r), S_OK);
  testca::EnvelopeRequest request;
  request.temporaryKey = Unbase64(Narrow(r.text.value));
  request.bits = 1024;
  request.subject = "CN=Sweep,O=Keyloom,C=CN";
  testca::EnvelopeResult result;
  std::string error;
  ASSERT_TRUE(testca::MakeEnvelope(Authority(), request, &result, &error)) << error;
  r.a = Wide(result.envelope);
  r.b = Wide(result.certificate);
  r.c = Wide(ContainerOf(r.agent.get()));
}

// Enumerations end at their first failure, as at their end; the version
// check falls back to the older platform's answer.
const std::set<std::string> kListing = {"CertEnumCertificatesInStore", "GetVersionExW",
                                        "VerSetConditionMask", "VerifyVersionInfoW"};

const Row kRows[] = {
    {"ZENQ_CheckCertificateChain", [](Session&) { ASSERT_EQ(DllRegisterServer(), S_OK); },
     [](Session& r) { return r.agent->ZENQ_CheckCertificateChain(&r.ok); }, OkTrue,
     With(kListing, {"XmlNodeName"})},  // a node whose name cannot be read is skipped
    {"ZENQ_GetCSPInfo", None, [](Session& r) { return r.agent->ZENQ_GetCSPInfo(r.text.out()); }, Ok,
     {"CryptEnumProvidersW"}},  // an entry that cannot be read is left out
    {"ZENQ_GetTempPublickey RSA", SelectRsa, TempKey, TextAndContainer, kDump},
    {"ZENQ_GetTempPublickey SM2", SelectSm2, TempKey, TextAndContainer, kDump},
    // The scratch container of the exponent-one key is created when it
    // cannot be opened; the look at the container's present exchange key
    // (an earlier import finished?) falls back to the whole import.
    {"ZENQ_ImportEncryptCert", PrepareEnvelope,
     [](Session& r) {
       return r.agent->ZENQ_ImportEncryptCert(Bstr(r.a.c_str()), Bstr(r.b.c_str()), Bstr(r.c.c_str()), 0,
                                              &r.ok);
     },
     OkTrue, With(kDump, {"CryptAcquireContextW", "CryptGetUserKey", "CryptExportPublicKeyInfo"})},
    {"ZENQ_ImportSignCert",
     [](Session& r) {
       SelectRsa(r);
       const Pkey key = KeyInNewContainer(&r.c, AT_SIGNATURE);
       ASSERT_NE(key, nullptr);
       r.b = Wide(testca::Base64Field(CertOfKey(key.get()), 0, false));
     },
     [](Session& r) { return r.agent->ZENQ_ImportSignCert(2, Bstr(r.b.c_str()), Bstr(r.c.c_str()), &r.ok); },
     OkTrue, kDump},
    {"ZENQ_PKCS10CertRequisition RSA double", SelectRsa, [](Session& r) { return Request(r, 2); },
     TextAndContainer, {}},
    {"ZENQ_PKCS10CertRequisition SM2 single", SelectSm2, [](Session& r) { return Request(r, 1); },
     TextAndContainer, {}},
    // A time that cannot be converted is listed as the platform left it.
    {"ZENQ_GetAllCertInfo",
     [](Session&) {
       std::u16string container;
       const Pkey key = KeyInNewContainer(&container, AT_KEYEXCHANGE);
       ASSERT_TRUE(key && AddToMy(CertOfKey(key.get()), container, kEnhanced));
     },
     [](Session& r) { return r.agent->ZENQ_GetAllCertInfo(r.text.out()); },
     [](Session& r, HRESULT hr) { return hr == S_OK && SysStringLen(r.text.value) > 0; },
     With(kListing, {"FileTimeToSystemTime", "SystemTimeToFileTime", "FileTimeToLocalFileTime"})},
    // Providers that cannot be read are skipped; the probe's container is
    // deleted on a best-effort basis.
    {"ZENQ_HavePermissiontoGenerateKeyPair", None,
     [](Session& r) { return r.agent->ZENQ_HavePermissiontoGenerateKeyPair(&r.ok); }, OkTrue,
     {"CryptEnumProvidersW", "CryptAcquireContextW"}},
    {"GetLastErrorDesc",
     [](Session& r) { r.agent->ZENQ_PKCS10CertRequisition(Bstr(u"CN=x"), 1, 0, r.text.out()); },
     [](Session& r) { return r.agent->GetLastErrorDesc(r.text.out()); }, Ok, {}},
    // The COM server's keys come first; the chain documents and trusted
    // sites after them are best effort: success means a whole server, and
    // a failed install leaves none.
    {"DllRegisterServer", None, [](Session&) { return DllRegisterServer(); },
     [](Session&, HRESULT hr) { return hr == S_OK && InprocServerRegistered(); }, {"*"}, false},
    {"DllInstall", None, [](Session&) { return DllInstall(TRUE, nullptr); },
     [](Session&, HRESULT hr) {
       EXPECT_EQ(SUCCEEDED(hr), InprocServerRegistered());
       return SUCCEEDED(hr);
     },
     {"*"}, false},
    // Unregistration goes on past what it cannot read; success means the
    // server is gone.
    {"DllUnregisterServer", [](Session&) { ASSERT_EQ(DllRegisterServer(), S_OK); },
     [](Session&) { return DllUnregisterServer(); },
     [](Session&, HRESULT hr) {
       EXPECT_TRUE(FAILED(hr) || !InprocServerRegistered());
       return hr == S_OK;
     },
     {"*"}, false},
};

class FaultSweep : public ::testing::TestWithParam<size_t> {};

TEST_P(FaultSweep, EveryPlatformCallFailedInTurn) {
  const Row& row = kRows[GetParam()];
  const std::set<std::string> bestEffort = With(row.bestEffort, kTexts);
  for (int n = 1;; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n));
    ScopedSoftHomes homes;
    std::string before, after, failed;
    bool succeeded = false;
    {
      FaultPlatform platform;
      {
        Session run;
        row.prepare(run);
        if (::testing::Test::HasFatalFailure()) return;
        if (row.checkState) before = Snapshot();
        platform.FailNthCall(n, ERROR_ACCESS_DENIED);
        const HRESULT hr = row.call(run);
        failed = platform.FailedCall();
        platform.FailNthCall(0, 0);
        succeeded = row.whole(run, hr);
      }
      if (row.checkState) after = Snapshot();
      EXPECT_EQ(platform.Unbalanced(), "") << "failing call " << n << " (" << failed << ")";
      platform.checkBalance = false;
    }
    if (failed.empty()) {
      EXPECT_TRUE(succeeded) << "without a fault";
      break;
    }
    SCOPED_TRACE(failed);
    if (!bestEffort.count("*") && !bestEffort.count(failed)) {
      EXPECT_FALSE(succeeded);
    }
    if (!succeeded && row.checkState) {
      EXPECT_EQ(after.find("without a key"), std::string::npos) << after;
      EXPECT_EQ(after.substr(after.find('|')), before.substr(before.find('|')));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Methods, FaultSweep, ::testing::Range(size_t{0}, std::size(kRows)),
                         [](const auto& info) {
                           std::string name = kRows[info.param].name;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

}  // namespace
