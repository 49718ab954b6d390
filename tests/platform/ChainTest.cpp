// The chain engine through the platform table, on hierarchies made with
// OpenSSL: trusted roots from "Root", intermediates from "CA" and "My",
// every problem reported as its bit of the trust status.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <initializer_list>
#include <string>

#include "support/StoreHelpers.h"
#include "support/TestSupport.h"

namespace {

struct Hierarchies {
  Hierarchy rsaSha1 = MakeHierarchy(PkiAlg::kRsaSha1, "SHA-1");
  Hierarchy rsaSha256 = MakeHierarchy(PkiAlg::kRsaSha256, "SHA-256");
  Hierarchy sm2 = MakeHierarchy(PkiAlg::kSm2, "SM2");
};

const Hierarchies& All() {
  static const Hierarchies h;
  return h;
}

struct Install {
  const char16_t* store;
  DWORD location;
  const Der* cert;
};

void Put(const Install& i) {
  HCERTSTORE s = OpenSystemStore(i.location, i.store);
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(S_OK, AddEncoded(s, *i.cert, CERT_STORE_ADD_REPLACE_EXISTING));
  Plat().CertCloseStore(s, 0);
}

struct ChainResult {
  DWORD error = 0xFFFFFFFF;
  DWORD elements = 0;
};

ChainResult ChainOf(const Der& der) {
  ChainResult r;
  HCERTSTORE mem = Plat().CertOpenStore(CERT_STORE_PROV_MEMORY, kEncoding, 0, 0, nullptr);
  PCCERT_CONTEXT cert = nullptr;
  if (!Plat().CertAddEncodedCertificateToStore(mem, kEncoding, der.data(),
                                               static_cast<DWORD>(der.size()), CERT_STORE_ADD_NEW,
                                               &cert))
    return r;
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (Plat().CertGetCertificateChain(nullptr, cert, nullptr, nullptr, &para,
                                     CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL |
                                         CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE,
                                     nullptr, &chain)) {
    r.error = chain->TrustStatus.dwErrorStatus;
    r.elements = chain->rgpChain[0]->cElement;
    EXPECT_EQ(der, DerOf(chain->rgpChain[0]->rgpElement[0]->pCertContext));
    Plat().CertFreeCertificateChain(chain);
  }
  Plat().CertFreeCertificateContext(cert);
  Plat().CertCloseStore(mem, 0);
  return r;
}

class ChainTest : public ::testing::TestWithParam<int> {
 protected:
  const Hierarchy& H() const {
    const Hierarchies& a = All();
    return GetParam() == 0 ? a.rsaSha1 : GetParam() == 1 ? a.rsaSha256 : a.sm2;
  }
  // The root in the machine's "Root", the intermediate in its "CA".
  void InstallRootAndCa() const {
    Put({u"Root", CERT_SYSTEM_STORE_LOCAL_MACHINE, &H().root.der});
    Put({u"CA", CERT_SYSTEM_STORE_LOCAL_MACHINE, &H().intermediate.der});
  }
  ScopedSoftHomes homes_;
};

TEST_P(ChainTest, IndependentVerifierAcceptsTheHierarchy) {
  // OpenSSL's own verifier, told about the SM2 identifier, accepts it: the
  // hierarchy is sound before the platform judges it.
  X509_STORE* trusted = X509_STORE_new();
  X509_STORE_add_cert(trusted, H().root.x509.get());
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  sk_X509_push(untrusted, H().intermediate.x509.get());
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  X509* leaf = X509_dup(H().leaf.x509.get());
  X509* mid = X509_dup(H().intermediate.x509.get());
  if (GetParam() == 2) {  // SM3-with-SM2 signatures carry the identifier
    for (X509* x : {leaf, mid}) {
      ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
      ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char*>("1234567812345678"), 16);
      X509_set0_distinguishing_id(x, id);
    }
  }
  sk_X509_set(untrusted, 0, mid);
  X509_STORE_CTX_init(ctx, trusted, leaf, untrusted);
  EXPECT_EQ(1, X509_verify_cert(ctx)) << X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx));
  X509_STORE_CTX_free(ctx);
  X509_free(leaf);
  X509_free(mid);
  sk_X509_free(untrusted);
  X509_STORE_free(trusted);
}

TEST_P(ChainTest, CompleteInstalledChainIsClean) {
  InstallRootAndCa();
  const ChainResult r = ChainOf(H().leaf.der);
  EXPECT_EQ(0u, r.error);
  EXPECT_EQ(3u, r.elements);
  EXPECT_EQ(0u, ChainOf(H().intermediate.der).error);
  EXPECT_EQ(0u, ChainOf(H().root.der).error);
}

TEST_P(ChainTest, IntermediateFromMyCounts) {
  Put({u"Root", CERT_SYSTEM_STORE_CURRENT_USER, &H().root.der});
  Put({u"My", CERT_SYSTEM_STORE_CURRENT_USER, &H().intermediate.der});
  EXPECT_EQ(0u, ChainOf(H().leaf.der).error);
}

TEST_P(ChainTest, MissingIntermediateIsAPartialChain) {
  Put({u"Root", CERT_SYSTEM_STORE_LOCAL_MACHINE, &H().root.der});
  EXPECT_TRUE(ChainOf(H().leaf.der).error & CERT_TRUST_IS_PARTIAL_CHAIN);
}

TEST_P(ChainTest, RootOutsideRootIsUntrusted) {
  Put({u"CA", CERT_SYSTEM_STORE_LOCAL_MACHINE, &H().root.der});
  Put({u"CA", CERT_SYSTEM_STORE_LOCAL_MACHINE, &H().intermediate.der});
  const ChainResult r = ChainOf(H().leaf.der);
  EXPECT_TRUE(r.error & CERT_TRUST_IS_UNTRUSTED_ROOT) << std::hex << r.error;
  EXPECT_FALSE(r.error & CERT_TRUST_IS_PARTIAL_CHAIN);
  // A self-signed certificate outside "Root" is an untrusted root and nothing else.
  EXPECT_EQ(CERT_TRUST_IS_UNTRUSTED_ROOT, ChainOf(H().root.der).error);
}

TEST_P(ChainTest, TamperedSignatureIsReported) {
  InstallRootAndCa();
  const ChainResult r = ChainOf(TamperSignature(H().leaf.der));
  EXPECT_EQ(static_cast<DWORD>(CERT_TRUST_IS_NOT_SIGNATURE_VALID), r.error) << std::hex << r.error;
}

TEST_P(ChainTest, ExpiredCertificateIsNotTimeValid) {
  InstallRootAndCa();
  CertSpec spec{{{"CN", "Expired"}}, 9, -30, -1, false};
  const PkiAlg alg = GetParam() == 0 ? PkiAlg::kRsaSha1 : GetParam() == 1 ? PkiAlg::kRsaSha256 : PkiAlg::kSm2;
  const PkiCert expired = MakeCert(alg, spec, &H().intermediate);
  EXPECT_EQ(static_cast<DWORD>(CERT_TRUST_IS_NOT_TIME_VALID), ChainOf(expired.der).error);
  // An end certificate acting as an issuer breaks the basic constraints.
  const PkiCert below = MakeCert(alg, {{{"CN", "Below"}}, 10, -1, 30, false}, &H().leaf);
  Put({u"CA", CERT_SYSTEM_STORE_LOCAL_MACHINE, &H().leaf.der});
  EXPECT_TRUE(ChainOf(below.der).error & CERT_TRUST_INVALID_BASIC_CONSTRAINTS);
}

INSTANTIATE_TEST_SUITE_P(Algorithms, ChainTest, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<int>& i) {
                           return std::string(i.param == 0 ? "RsaSha1" : i.param == 1 ? "RsaSha256" : "Sm2");
                         });

TEST(VersionTest, AnswersAsAPlatformThatChecksSha256) {
  // The workstation test: 5.1 service pack 3 or later.
  OSVERSIONINFOEXW want{};
  want.dwOSVersionInfoSize = sizeof want;
  want.dwMajorVersion = 5;
  want.dwMinorVersion = 1;
  want.wServicePackMajor = 3;
  ULONGLONG mask = 0;
  for (DWORD bit : {VER_MAJORVERSION, VER_MINORVERSION, VER_SERVICEPACKMAJOR, VER_SERVICEPACKMINOR})
    mask = Plat().VerSetConditionMask(mask, bit, VER_GREATER_EQUAL);
  EXPECT_TRUE(Plat().VerifyVersionInfoW(&want, 0x33, mask));
  // A version far in the future fails with ERROR_OLD_WIN_VERSION.
  want.dwMajorVersion = 99;
  EXPECT_FALSE(Plat().VerifyVersionInfoW(&want, 0x33, mask));
  EXPECT_EQ(static_cast<DWORD>(ERROR_OLD_WIN_VERSION), Plat().GetLastError());
  // The server test (product type 3) does not hold for a workstation.
  OSVERSIONINFOEXW server{};
  server.dwOSVersionInfoSize = sizeof server;
  server.dwMajorVersion = 6;
  server.wProductType = VER_NT_SERVER;
  ULONGLONG serverMask = Plat().VerSetConditionMask(mask, VER_PRODUCT_TYPE, VER_EQUAL);
  OSVERSIONINFOEXW have{};
  have.dwOSVersionInfoSize = sizeof have;
  ASSERT_TRUE(Plat().GetVersionExW(&have));
  EXPECT_EQ(have.wProductType == VER_NT_SERVER,
            static_cast<bool>(Plat().VerifyVersionInfoW(&server, 0xB3, serverMask)));
}

}  // namespace
