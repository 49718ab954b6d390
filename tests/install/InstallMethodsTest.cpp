// The installation methods: the key each certificate type selects, missing
// arguments and their steps, trimming, the current container, and one
// enrollment through IDispatch with the test authority issuing the
// certificate for the control's own request.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "install/MadeKey.h"
#include "support/AgentFixture.h"
#include "support/FaultPlatform.h"
#include "support/ScriptHost.h"
#include "support/StoreHelpers.h"
#include "support/TraceRecorder.h"
#include "testca/TestCa.h"

namespace {

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string Container(ICryptoAgent* agent) {
  BstrHolder name;
  agent->ZENQ_GetContainer(name.out());
  return Narrow(name.value);
}

void Select(ICryptoAgent* agent, const char16_t* algorithm, const char16_t* provider, LONG bits) {
  VARIANT_BOOL ok;
  Bstr a(algorithm), p(provider);
  ASSERT_EQ(agent->ZENQ_SetKeyAlgorithm(a, &ok), S_OK);
  ASSERT_EQ(agent->ZENQ_SetCSPInfo(bits, p, &ok), S_OK);
}

// Only type 1 selects the exchange key; the container holds a signing key
// only, so the exchange key is refused by the provider.
TEST(InstallMethods, CertificateTypeSelectsTheKey) {
  ScopedSoftHomes homes;
  const MadeKey made = MakeKey(kEnhanced, AT_SIGNATURE);
  const Bstr certificate(Wide("  " + testca::Base64Field(made.certificate, 0, false) + "  ").c_str());
  const Bstr container((u"  " + made.container + u"  ").c_str());
  const struct {
    LONG type;
    DWORD spec;
    HRESULT hr;
  } rows[] = {{0, AT_SIGNATURE, S_OK},      {7, AT_SIGNATURE, S_OK},
              {2, AT_SIGNATURE, S_OK},      {-1, AT_SIGNATURE, S_OK},
              {1, AT_KEYEXCHANGE, NTE_NO_KEY}};
  AgentRef agent;
  Select(agent.get(), u"RSA", kEnhanced, 1024);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.type);
    FaultPlatform platform;
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(agent->ZENQ_ImportSignCert(row.type, certificate, container, &ok), row.hr);
    EXPECT_EQ(agent.object()->LastStatus(), row.hr);
    EXPECT_EQ(ok, row.hr == S_OK ? VARIANT_TRUE : VARIANT_FALSE);
    const auto acquire = platform.CallsOf("CryptAcquireContextW");
    ASSERT_FALSE(acquire.empty());
    EXPECT_EQ(acquire[0].Arg("container"), Narrow(made.container.c_str())) << "trimmed";
    const auto getKey = platform.CallsOf("CryptGetUserKey");
    ASSERT_EQ(getKey.size(), 1u);
    EXPECT_EQ(getKey[0].Number("keySpec"), row.spec);
  }
  EXPECT_EQ(Container(agent.get()), "") << "importing a signing certificate keeps the container";
}

bool HasStep(const std::string& step) {
  for (const RecordedTrace& r : ScopedTraceRecorder::records())
    if (r.component == "TraceHelper" && r.message == 13 &&
        r.args[0] + " = " + r.args[1].substr(2) == step)
      return true;
  return false;
}

// Missing arguments: the step of the first one missing, nothing reaches a
// provider, and the current container stays.
TEST(InstallMethods, MissingArguments) {
  ScopedSoftHomes homes;
  const char16_t* const kNull = nullptr;
  const struct {
    bool sign;  // ZENQ_ImportSignCert, else ZENQ_ImportEncryptCert
    const char16_t* first;
    const char16_t* second;
    const char16_t* container;
    const char* step;
  } rows[] = {
      {true, kNull, u"box", kNull, "CCryptoAgent::ZENQ_ImportSignCert - bstrSignCert Invalid parameter."},
      {true, u"", kNull, kNull, "CCryptoAgent::ZENQ_ImportSignCert - bstrSignCert Invalid parameter."},
      {true, u"MIIB", u"", kNull, "CCryptoAgent::ZENQ_ImportSignCert - bstrContainerName Invalid parameter."},
      {true, u"MIIB", kNull, kNull, "CCryptoAgent::ZENQ_ImportSignCert - bstrContainerName Invalid parameter."},
      {false, u"", u"MIIB", u"box", "CCryptoAgent::ZENQ_ImportEncryptCert - Invalid parameter."},
      {false, u"0001", kNull, u"box", "CCryptoAgent::ZENQ_ImportEncryptCert - Invalid parameter."},
      {false, u"0001", u"MIIB", u"", "CCryptoAgent::ZENQ_ImportEncryptCert - Invalid parameter."},
  };
  AgentRef agent;
  Select(agent.get(), u"RSA", kEnhanced, 1024);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.step);
    ScopedTraceRecorder consumer(0xF);
    const Bstr first(row.first), second(row.second), container(row.container);
    VARIANT_BOOL ok = VARIANT_FALSE;
    const HRESULT hr = row.sign ? agent->ZENQ_ImportSignCert(2, first, second, &ok)
                                : agent->ZENQ_ImportEncryptCert(first, second, container, 0, &ok);
    EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_EQ(ok, VARIANT_FALSE);
    EXPECT_TRUE(HasStep(std::string(row.step) + " = 80070057"));
    EXPECT_EQ(Container(agent.get()), "");
  }
}

// The encryption import makes the trimmed container current before it
// runs, and keeps it when the import fails; a missing argument changes
// nothing.
TEST(InstallMethods, EncryptImportSetsTheContainerEvenWhenItFails) {
  ScopedSoftHomes homes;
  AgentRef agent;
  Select(agent.get(), u"RSA", kEnhanced, 1024);
  const Bstr envelope(u"0000000000000001"), certificate(u"MIIB"), empty(u"");
  const Bstr first(u"  first box "), second(u" second box  ");
  VARIANT_BOOL ok = VARIANT_FALSE;
  const HRESULT hr = agent->ZENQ_ImportEncryptCert(envelope, certificate, first, 0, &ok);
  EXPECT_LT(hr, 0);
  EXPECT_EQ(agent.object()->LastStatus(), hr);
  EXPECT_EQ(Container(agent.get()), "first box");
  EXPECT_EQ(agent->ZENQ_ImportEncryptCert(envelope, empty, second, 0, &ok), E_INVALIDARG);
  EXPECT_EQ(Container(agent.get()), "first box");
  EXPECT_EQ(ok, VARIANT_FALSE);
}

// The whole signing-certificate path as a page drives it: a double request
// for a new container, the test authority's certificate for it, and the
// certificate in "MY" linked to that container's signing key.
TEST(InstallMethods, EnrollmentThroughDispatch) {
  ScopedSoftHomes homes;
  std::string error;
  const std::string ca = homes.root() + "/ca";
  ASSERT_TRUE(testca::Init(ca, &error)) << error;
  ScriptHost host;
  ASSERT_TRUE(host.Select("1024", Narrow(kEnhanced), "RSA"));
  const ScriptResult request = host.Call("ZENQ_PKCS10CertRequisition", {"CN=Install,C=CN", "2", "0"});
  ASSERT_EQ(request.hr, S_OK);
  const std::string container = host.Call("ZENQ_GetContainer").text;
  testca::Bytes requestDer, certificate;
  ASSERT_TRUE(testca::FileOctets(testca::Bytes(request.text.begin(), request.text.end()),
                                 &requestDer, &error)) << error;
  ASSERT_TRUE(testca::Issue(ca, requestDer, &certificate, &error)) << error;

  const ScriptResult imported = host.Call(
      "ZENQ_ImportSignCert", {"2", testca::Base64Field(certificate, 64, false), " " + container});
  ASSERT_EQ(imported.hr, S_OK);
  EXPECT_TRUE(imported.flag);
  EXPECT_EQ(host.Call("ZENQ_GetContainer").text, container);
  HCERTSTORE store = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(StoreCerts(store), std::vector<Bytes>{certificate});
  Plat().CertCloseStore(store, 0);

  // The certificate's key is the container's signing key: OpenSSL verifies
  // a signature the provider makes with it.
  Prov prov;
  ASSERT_TRUE(prov.Acquire(Wide(container).c_str(), kEnhanced, 0));
  const Bytes data = Random(32);
  const X509Ptr cert = X509FromDer(certificate);
  ASSERT_NE(cert, nullptr);
  EXPECT_TRUE(VerifyRsa(X509_get0_pubkey(cert.get()), EVP_sha1(), data,
                        SignData(prov.h, CALG_SHA1, data, AT_SIGNATURE)));
}

}  // namespace
