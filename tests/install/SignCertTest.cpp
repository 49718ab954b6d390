// ImportSignCert on the soft providers, each row on fresh homes and run
// twice: where the certificate lands ("MY" linked to the container, or
// with the token's key) or the step that fails, with nothing written.
#include <gtest/gtest.h>

#include "install/InstallTestSupport.h"
#include "install/SignCert.h"

namespace {

enum Lands { kStore, kToken, kNowhere };

// The key-provider link of the one certificate in "MY".
std::string Link() {
  HCERTSTORE store = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
  PCCERT_CONTEXT cert = Plat().CertEnumCertificatesInStore(store, nullptr);
  std::vector<BYTE> data(1024);
  DWORD size = static_cast<DWORD>(data.size());
  std::string link = "none";
  if (Plat().CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, data.data(),
                                               &size)) {
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(data.data());
    link = Narrow(U16(info->pwszContainerName)) + "|" + Narrow(U16(info->pwszProvName)) + "|" +
           std::to_string(info->dwProvType) + "|" + std::to_string(info->dwKeySpec);
  }
  Plat().CertFreeCertificateContext(cert);
  Plat().CertCloseStore(store, 0);
  return link;
}

// The certificate a token keeps with its key of `spec`; empty when none.
Bytes TokenCertificate(const char16_t* provider, const std::u16string& container, DWORD spec) {
  Prov prov;
  Key key;
  Bytes der(4096);
  DWORD size = static_cast<DWORD>(der.size());
  if (!prov.Acquire(container.c_str(), provider, 0) ||
      !Plat().CryptGetUserKey(prov.h, spec, &key.h) ||
      !Plat().CryptGetKeyParam(key.h, KP_CERTIFICATE, der.data(), &size, 0))
    return {};
  der.resize(size);
  return der;
}

TEST(ImportSignCert, WhereTheCertificateLands) {
  const struct {
    const char16_t* provider;
    const char16_t* algorithm;
    DWORD madeSpec, importSpec;
    int certificate;  // 0 the key's, 1 another key's, 2 text that is no Base64
    HRESULT hr;
    const char* step;
    Lands lands;
  } rows[] = {
      {kEnhanced, u"RSA", AT_SIGNATURE, AT_SIGNATURE, 0, S_OK, "", kStore},
      {kEnhanced, u"rsa", AT_KEYEXCHANGE, AT_KEYEXCHANGE, 0, S_OK, "", kStore},
      {kRsaToken, u"RSA", AT_SIGNATURE, AT_SIGNATURE, 0, S_OK, "", kToken},
      {kSm2Token, u"SM2", AT_SIGNATURE, AT_SIGNATURE, 0, S_OK, "", kToken},
      {kSm2Token, u"", AT_KEYEXCHANGE, AT_KEYEXCHANGE, 0, S_OK, "", kToken},
      {kEnhanced, u"RSA", AT_KEYEXCHANGE, AT_SIGNATURE, 0, NTE_NO_KEY, "CryptGetUserKey", kNowhere},
      {kRsaToken, u"RSA", AT_KEYEXCHANGE, AT_SIGNATURE, 0, NTE_NO_KEY, "CryptGetUserKey", kNowhere},
      // A software provider takes no container in a verification context.
      {kEnhanced, u"SM2", AT_SIGNATURE, AT_SIGNATURE, 0, NTE_BAD_FLAGS, "SM2 CryptAcquireContext",
       kNowhere},
      {kRsaToken, u"RSA", AT_SIGNATURE, AT_SIGNATURE, 1, NTE_BAD_PUBLIC_KEY,
       "non-microsoft's CSP: CryptSetKeyParam", kNowhere},
      {kEnhanced, u"RSA", AT_SIGNATURE, AT_SIGNATURE, 2, E_FAIL, "base64 decode public key FAILED.",
       kNowhere},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Narrow(row.provider) + " " + Narrow(row.algorithm) + " " + row.step);
    ScopedSoftHomes homes;
    const bool sm2 = row.provider == kSm2Token;
    const MadeKey made = MakeKey(row.provider, row.madeSpec, sm2);
    ASSERT_FALSE(made.certificate.empty());
    const Bytes der =
        row.certificate == 1 ? MakeKey(kEnhanced, AT_SIGNATURE).certificate : made.certificate;
    for (int pass = 0; pass < 2; ++pass) {  // a second import replaces the first
      ScopedTraceRecorder consumer(0xF);
      // Broken by commas every ten characters, as some pages send it.
      std::u16string text =
          row.certificate == 2 ? u",,," : Wide(testca::Base64Field(der, 10, true));
      EXPECT_EQ(ImportSignCert(row.importSpec, &text, row.provider, made.container, row.algorithm),
                row.hr);
      EXPECT_TRUE(row.hr == S_OK || HasStep(std::string("ImportSignCert - ") + row.step, row.hr));
    }
    EXPECT_EQ(MyStore(), row.lands == kStore ? std::vector<Bytes>{der} : std::vector<Bytes>{});
    if (row.lands == kStore)
      EXPECT_EQ(Link(), Narrow(made.container.c_str()) + "|" + Narrow(row.provider) + "|1|" +
                            std::to_string(row.importSpec));
    else
      EXPECT_EQ(TokenCertificate(row.provider, made.container, row.madeSpec),
                row.lands == kToken ? der : Bytes());
  }
}

}  // namespace
