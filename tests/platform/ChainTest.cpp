// The chain engine on hierarchies made with OpenSSL: every problem is
// its bit of the trust status.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

#include "support/StoreHelpers.h"
#include "support/TestSupport.h"

namespace {

enum Which { kRoot, kCa, kLeaf, kTampered, kExpired, kBelowLeaf };

// A hierarchy of one algorithm and the faulty certificates made from it.
struct Pki { Hierarchy h; Bytes certs[6]; };

Pki MakePki(PkiAlg alg, const char* tag) {
  Pki p{MakeHierarchy(alg, tag), {}};
  p.certs[kRoot] = p.h.root.der;
  p.certs[kCa] = p.h.intermediate.der;
  p.certs[kLeaf] = p.h.leaf.der;
  p.certs[kTampered] = TamperSignature(p.h.leaf.der);
  p.certs[kExpired] = MakeCert(alg, {{{"CN", "Expired"}}, 9, -30, -1, false}, &p.h.intermediate).der;
  p.certs[kBelowLeaf] = MakeCert(alg, {{{"CN", "Below"}}, 10, -1, 30, false}, &p.h.leaf).der;
  return p;
}

const Pki& PkiOf(int param) {
  static const Pki all[3] = {MakePki(PkiAlg::kRsaSha1, "SHA-1"), MakePki(PkiAlg::kRsaSha256, "SHA-256"),
                             MakePki(PkiAlg::kSm2, "SM2")};
  return all[param];
}

// The trust status of the chain built for `der`, and its length.
std::pair<DWORD, DWORD> ChainOf(const Bytes& der) {
  std::pair<DWORD, DWORD> r{0xFFFFFFFF, 0};
  HCERTSTORE mem = Plat().CertOpenStore(CERT_STORE_PROV_MEMORY, kEncoding, 0, 0, nullptr);
  PCCERT_CONTEXT cert = nullptr;
  CERT_CHAIN_PARA para{sizeof para, {}};
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (Plat().CertAddEncodedCertificateToStore(mem, kEncoding, der.data(), static_cast<DWORD>(der.size()),
                                              CERT_STORE_ADD_NEW, &cert) &&
      Plat().CertGetCertificateChain(nullptr, cert, nullptr, nullptr, &para,
                                     CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL |
                                         CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE,
                                     nullptr, &chain)) {
    r = {chain->TrustStatus.dwErrorStatus, chain->rgpChain[0]->cElement};
    EXPECT_EQ(der, DerOf(chain->rgpChain[0]->rgpElement[0]->pCertContext));
    Plat().CertFreeCertificateChain(chain);
  }
  if (cert) Plat().CertFreeCertificateContext(cert);
  Plat().CertCloseStore(mem, 0);
  return r;
}

class ChainTest : public ::testing::TestWithParam<int> {};

constexpr DWORD kLM = CERT_SYSTEM_STORE_LOCAL_MACHINE;
constexpr DWORD kAll = 0xFFFFFFFF;

TEST_P(ChainTest, TrustStatusOfEachSituation) {
  const struct {
    const char* what;
    std::vector<std::tuple<const char16_t*, DWORD, Which>> installs;
    Which subject;
    DWORD mask, status, elements;  // (status & mask) == expected; elements 0: not checked
  } rows[] = {
      {"complete chain", {{u"Root", kLM, kRoot}, {u"CA", kLM, kCa}}, kLeaf, kAll, 0, 3},
      {"missing intermediate", {{u"Root", kLM, kRoot}}, kLeaf, CERT_TRUST_IS_PARTIAL_CHAIN,
       CERT_TRUST_IS_PARTIAL_CHAIN, 0},
      {"root outside Root", {{u"CA", kLM, kRoot}, {u"CA", kLM, kCa}}, kLeaf,
       CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN, CERT_TRUST_IS_UNTRUSTED_ROOT, 0},
      {"self-signed outside Root", {}, kRoot, kAll, CERT_TRUST_IS_UNTRUSTED_ROOT, 0},
      {"tampered signature", {{u"Root", kLM, kRoot}, {u"CA", kLM, kCa}}, kTampered, kAll,
       CERT_TRUST_IS_NOT_SIGNATURE_VALID, 0},
      {"expired", {{u"Root", kLM, kRoot}, {u"CA", kLM, kCa}}, kExpired, kAll, CERT_TRUST_IS_NOT_TIME_VALID, 0},
      {"an end certificate as issuer",
       {{u"Root", kLM, kRoot}, {u"CA", kLM, kCa}, {u"CA", kLM, kLeaf}}, kBelowLeaf,
       CERT_TRUST_INVALID_BASIC_CONSTRAINTS, CERT_TRUST_INVALID_BASIC_CONSTRAINTS, 0},
  };
  const Pki& pki = PkiOf(GetParam());
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    ScopedSoftHomes homes;
    for (const auto& [store, location, which] : r.installs) {
      HCERTSTORE s = OpenSystemStore(location, store);
      ASSERT_NE(nullptr, s);
      EXPECT_EQ(S_OK, AddEncoded(s, pki.certs[which], CERT_STORE_ADD_REPLACE_EXISTING));
      Plat().CertCloseStore(s, 0);
    }
    const auto [status, elements] = ChainOf(pki.certs[r.subject]);
    EXPECT_EQ(r.status, status & r.mask) << std::hex << status;
    EXPECT_EQ(r.elements ? r.elements : elements, elements);
  }
}

INSTANTIATE_TEST_SUITE_P(Algorithms, ChainTest, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<int>& i) {
                           return std::string(i.param == 0 ? "RsaSha1" : i.param == 1 ? "RsaSha256" : "Sm2");
                         });

}  // namespace
