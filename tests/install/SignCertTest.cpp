// ImportSignCert on the soft providers, each row on fresh homes: where the
// certificate lands (the user's "MY" store linked to the container, or
// with the token's key), and the failing step when it cannot.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "install/MadeKey.h"
#include "install/SignCert.h"
#include "support/StoreHelpers.h"
#include "support/TraceRecorder.h"
#include "testca/TestCa.h"

namespace {

enum class Lands { kStore, kToken, kNowhere };

// The certificates of the user's "MY" store.
std::vector<Bytes> MyStore() {
  HCERTSTORE store = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
  if (store == nullptr) return {};
  std::vector<Bytes> certs = StoreCerts(store);
  Plat().CertCloseStore(store, 0);
  return certs;
}

// The key-provider link of `der` in "MY" as "container|provider|type|spec".
std::string LinkOf(const Bytes& der) {
  HCERTSTORE store = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
  PCCERT_CONTEXT cert = store ? FindExisting(store, der) : nullptr;
  std::string link = "none";
  DWORD size = 0;
  if (cert && Plat().CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                                       &size)) {
    std::vector<BYTE> data(size);
    if (Plat().CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, data.data(),
                                                 &size)) {
      const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(data.data());
      link = Narrow(U16(info->pwszContainerName)) + "|" + Narrow(U16(info->pwszProvName)) + "|" +
             std::to_string(info->dwProvType) + "|" + std::to_string(info->dwKeySpec) + "|" +
             std::to_string(info->cProvParam);
    }
  }
  if (cert) Plat().CertFreeCertificateContext(cert);
  if (store) Plat().CertCloseStore(store, 0);
  return link;
}

// The certificate a token keeps with the key of `spec`; empty when none.
Bytes TokenCertificate(const char16_t* provider, const std::u16string& container, DWORD spec) {
  Prov prov;
  Key key;
  DWORD size = 0;
  if (!prov.Acquire(container.c_str(), provider, 0) ||
      !Plat().CryptGetUserKey(prov.h, spec, &key.h) ||
      !Plat().CryptGetKeyParam(key.h, KP_CERTIFICATE, nullptr, &size, 0))
    return {};
  Bytes der(size);
  Plat().CryptGetKeyParam(key.h, KP_CERTIFICATE, der.data(), &size, 0);
  return der;
}

bool HasStep(const std::string& step) {
  for (const RecordedTrace& r : ScopedTraceRecorder::records())
    if (r.component == "TraceHelper" && r.message == 13 &&
        r.args[0] + " = " + r.args[1].substr(2) == step)
      return true;
  return false;
}

TEST(ImportSignCert, WhereTheCertificateLands) {
  const struct {
    const char16_t* provider;
    const char16_t* algorithm;
    bool sm2;
    DWORD madeSpec, importSpec;
    bool otherKeysCertificate;
    HRESULT hr;
    const char* step;
    Lands lands;
  } rows[] = {
      {kEnhanced, u"RSA", false, AT_SIGNATURE, AT_SIGNATURE, false, S_OK, "", Lands::kStore},
      {kEnhanced, u"rsa", false, AT_KEYEXCHANGE, AT_KEYEXCHANGE, false, S_OK, "", Lands::kStore},
      {kRsaToken, u"RSA", false, AT_SIGNATURE, AT_SIGNATURE, false, S_OK, "", Lands::kToken},
      {kSm2Token, u"SM2", true, AT_SIGNATURE, AT_SIGNATURE, false, S_OK, "", Lands::kToken},
      {kSm2Token, u"", true, AT_SIGNATURE, AT_SIGNATURE, false, S_OK, "", Lands::kToken},
      {kEnhanced, u"RSA", false, AT_KEYEXCHANGE, AT_SIGNATURE, false, NTE_NO_KEY,
       "ImportSignCert - CryptGetUserKey = 8009000d", Lands::kNowhere},
      {kRsaToken, u"RSA", false, AT_KEYEXCHANGE, AT_SIGNATURE, false, NTE_NO_KEY,
       "ImportSignCert - CryptGetUserKey = 8009000d", Lands::kNowhere},
      // A software provider takes no container in a verification context.
      {kEnhanced, u"SM2", false, AT_SIGNATURE, AT_SIGNATURE, false, NTE_BAD_FLAGS,
       "ImportSignCert - SM2 CryptAcquireContext = 80090009", Lands::kNowhere},
      {kRsaToken, u"RSA", false, AT_SIGNATURE, AT_SIGNATURE, true, NTE_BAD_PUBLIC_KEY,
       "ImportSignCert - non-microsoft's CSP: CryptSetKeyParam = 80090015", Lands::kNowhere},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Narrow(row.provider) + " " + Narrow(row.algorithm));
    ScopedSoftHomes homes;
    const MadeKey made = MakeKey(row.provider, row.madeSpec, row.sm2);
    ASSERT_FALSE(made.certificate.empty());
    const Bytes der = row.otherKeysCertificate ? MakeKey(kEnhanced, AT_SIGNATURE).certificate
                                               : made.certificate;
    // Broken by commas every ten characters, as some pages send it.
    std::u16string text;
    for (char c : testca::Base64Field(der, 10, true)) text.push_back(static_cast<char16_t>(c));

    ScopedTraceRecorder consumer(0xF);
    EXPECT_EQ(ImportSignCert(row.importSpec, &text, row.provider, made.container, row.algorithm),
              row.hr);
    if (*row.step) {
      EXPECT_TRUE(HasStep(row.step)) << row.step;
    }
    EXPECT_EQ(text.find(u','), std::u16string::npos);

    const std::vector<Bytes> my = MyStore();
    if (row.lands == Lands::kStore) {
      ASSERT_EQ(my.size(), 1u);
      EXPECT_EQ(my[0], der);
      EXPECT_EQ(LinkOf(der), Narrow(made.container.c_str()) + "|" + Narrow(row.provider) + "|1|" +
                                 std::to_string(row.importSpec) + "|0");
    } else {
      EXPECT_TRUE(my.empty());
    }
    if (row.provider != kEnhanced) {
      EXPECT_EQ(TokenCertificate(row.provider, made.container, row.madeSpec),
                row.lands == Lands::kToken ? der : Bytes());
    }
  }
}

// A second import of the same certificate replaces the entry; each import
// leaves its own diagnostic copy of the DER.
TEST(ImportSignCert, TwiceReplacesAndDumpsTwice) {
  ScopedSoftHomes homes;
  const MadeKey made = MakeKey(kEnhanced, AT_SIGNATURE);
  for (int i = 0; i < 2; ++i) {
    std::u16string text;
    for (char c : testca::Base64Field(made.certificate, 0, false))
      text.push_back(static_cast<char16_t>(c));
    ASSERT_EQ(ImportSignCert(AT_SIGNATURE, &text, kEnhanced, made.container, u"RSA"), S_OK);
  }
  EXPECT_EQ(MyStore(), std::vector<Bytes>{made.certificate});
  int dumps = 0;
  for (const auto& entry : std::filesystem::directory_iterator(homes.temp())) {
    EXPECT_EQ(entry.path().extension(), ".ZENQ");
    EXPECT_EQ(ReadFile(entry.path().string()),
              std::string(made.certificate.begin(), made.certificate.end()));
    ++dumps;
  }
  EXPECT_EQ(dumps, 2);
}

TEST(ImportSignCert, TextThatIsNoCertificate) {
  ScopedSoftHomes homes;
  const MadeKey made = MakeKey(kEnhanced, AT_SIGNATURE);
  ScopedTraceRecorder consumer(0xF);
  std::u16string text = u",,";
  EXPECT_EQ(ImportSignCert(AT_SIGNATURE, &text, kEnhanced, made.container, u"RSA"), E_FAIL);
  EXPECT_TRUE(HasStep("ImportSignCert - base64 decode public key FAILED. = 80004005"));
  EXPECT_TRUE(MyStore().empty());
}

}  // namespace
