// The chain engine over OpenSSL's verifier: trusted roots from the current
// user's view of "Root", other certificates from its "CA" and "My" (and an
// additional store when given); the current time or the one asked for; no
// network, no revocation. Every problem becomes a bit of the trust status:
// the verify callback records each error and lets the verifier carry on.
#include <openssl/x509_vfy.h>

#include <memory>

#include "base/FileTime.h"
#include "platform/soft/SoftTable.h"
#include "platform/soft/certs/SoftCert.h"

namespace {

constexpr char kSm2WithSm3[] = "1.2.156.10197.1.501";

struct Chain {
  CERT_CHAIN_CONTEXT context{};
  CERT_SIMPLE_CHAIN simple{};
  PCERT_SIMPLE_CHAIN simplePtr = nullptr;
  std::vector<CERT_CHAIN_ELEMENT> elements;
  std::vector<PCERT_CHAIN_ELEMENT> elementPtrs;
};

// Error bits per chain position (0 the end certificate) the callback saw.
struct Findings {
  DWORD bits[32] = {};
};

DWORD TrustBitOf(int error) {
  switch (error) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
      return CERT_TRUST_IS_PARTIAL_CHAIN;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      return CERT_TRUST_IS_UNTRUSTED_ROOT;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
      return CERT_TRUST_IS_NOT_SIGNATURE_VALID;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return CERT_TRUST_IS_NOT_TIME_VALID;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
      return CERT_TRUST_INVALID_BASIC_CONSTRAINTS;
    case X509_V_ERR_INVALID_PURPOSE:
      return CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
    case X509_V_ERR_PERMITTED_VIOLATION:
    case X509_V_ERR_EXCLUDED_VIOLATION:
    case X509_V_ERR_SUBTREE_MINMAX:
    case X509_V_ERR_UNSUPPORTED_CONSTRAINT_TYPE:
    case X509_V_ERR_UNSUPPORTED_CONSTRAINT_SYNTAX:
    case X509_V_ERR_UNSUPPORTED_NAME_SYNTAX:
      return CERT_TRUST_INVALID_NAME_CONSTRAINTS;
    case X509_V_ERR_INVALID_POLICY_EXTENSION:
    case X509_V_ERR_NO_EXPLICIT_POLICY:
      return CERT_TRUST_INVALID_POLICY_CONSTRAINTS;
    default:
      return CERT_TRUST_INVALID_EXTENSION;  // any other fault of a certificate
  }
}

int RecordAndContinue(int ok, X509_STORE_CTX* ctx) {
  if (ok) return 1;
  auto* findings = static_cast<Findings*>(X509_STORE_CTX_get_app_data(ctx));
  int depth = X509_STORE_CTX_get_error_depth(ctx);
  if (depth < 0) depth = 0;
  if (depth > 31) depth = 31;
  findings->bits[depth] |= TrustBitOf(X509_STORE_CTX_get_error(ctx));
  return 1;
}

// A private copy of a context's certificate for the verifier, with the SM2
// identifier attached when its signature is SM3-with-SM2 (OpenSSL uses an
// empty identifier unless told).
X509* VerifierCopy(const SoftCert& c) {
  // Decoded afresh in the default library context: the verifier needs the
  // public keys that the context's own copy leaves undecoded.
  const unsigned char* p = c.der.data();
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(c.der.size()));
  if (x != nullptr && c.signatureOid == kSm2WithSm3) {
    ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
    if (id != nullptr && ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char*>(kSm2SignerId),
                                               sizeof kSm2SignerId - 1) == 1)
      X509_set0_distinguishing_id(x, id);
    else
      ASN1_OCTET_STRING_free(id);
  }
  return x;
}

// Adds the certificates of the current user's store `name` (read-only).
template <typename Add>
void ReadStore(const char16_t* name, Add add) {
  HCERTSTORE s = Plat().CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                      0, CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG,
                                      name);
  if (s == nullptr) return;
  for (PCCERT_CONTEXT c = nullptr; (c = Plat().CertEnumCertificatesInStore(s, c)) != nullptr;)
    add(*SoftCertOf(c));
  Plat().CertCloseStore(s, 0);
}

struct VerifierState {
  X509_STORE* trusted = X509_STORE_new();
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  X509* leaf = nullptr;
  ~VerifierState() {
    X509_STORE_CTX_free(ctx);
    X509_free(leaf);
    sk_X509_pop_free(untrusted, X509_free);
    X509_STORE_free(trusted);
  }
};

void AddUntrusted(STACK_OF(X509)* stack, const SoftCert& c) {
  X509* x = VerifierCopy(c);
  if (x != nullptr && sk_X509_push(stack, x) <= 0) X509_free(x);
}

BOOL CertGetCertificateChainImpl(HCERTCHAINENGINE, PCCERT_CONTEXT cert, FILETIME* time,
                                 HCERTSTORE additional, const CERT_CHAIN_PARA*, DWORD, void*,
                                 PCCERT_CHAIN_CONTEXT* out) {
  if (out != nullptr) *out = nullptr;
  if (cert == nullptr || out == nullptr) {
    SoftSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  VerifierState v;
  if (v.trusted == nullptr || v.untrusted == nullptr || v.ctx == nullptr) {
    SoftSetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  ReadStore(u"Root", [&](const SoftCert& c) {
    X509* x = VerifierCopy(c);
    if (x != nullptr) X509_STORE_add_cert(v.trusted, x);
    X509_free(x);
  });
  ReadStore(u"CA", [&](const SoftCert& c) { AddUntrusted(v.untrusted, c); });
  ReadStore(u"My", [&](const SoftCert& c) { AddUntrusted(v.untrusted, c); });
  if (additional != nullptr)
    for (PCCERT_CONTEXT c = nullptr;
         (c = Plat().CertEnumCertificatesInStore(additional, c)) != nullptr;)
      AddUntrusted(v.untrusted, *SoftCertOf(c));
  v.leaf = VerifierCopy(*SoftCertOf(cert));
  Findings findings;
  if (v.leaf == nullptr || X509_STORE_CTX_init(v.ctx, v.trusted, v.leaf, v.untrusted) != 1) {
    SoftSetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    return FALSE;
  }
  X509_STORE_CTX_set_app_data(v.ctx, &findings);
  X509_STORE_CTX_set_verify_cb(v.ctx, &RecordAndContinue);
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(v.ctx);
  X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_CHECK_SS_SIGNATURE);
  if (time != nullptr) {
    X509_VERIFY_PARAM_set_time(param,
                               static_cast<time_t>(UnixTimeOfFileTimeTicks(FileTimeTicks(*time))));
  }
  X509_verify_cert(v.ctx);

  auto chain = std::make_unique<Chain>();
  STACK_OF(X509)* built = X509_STORE_CTX_get1_chain(v.ctx);
  const int count = built != nullptr && sk_X509_num(built) > 0 ? sk_X509_num(built) : 1;
  DWORD all = 0;
  for (int i = 0; i < count; ++i) {
    PCCERT_CONTEXT element = nullptr;
    X509* x = i == 0 ? nullptr : sk_X509_value(built, i);
    if (i == 0) {
      element = Plat().CertDuplicateCertificateContext(cert);
    } else {
      unsigned char* der = nullptr;
      const int n = i2d_X509(x, &der);
      SoftCert* c = n > 0 ? SoftNewCert(der, static_cast<size_t>(n)) : nullptr;
      OPENSSL_free(der);
      if (c != nullptr) element = &c->context;
    }
    if (element == nullptr) break;
    CERT_CHAIN_ELEMENT e{};
    e.cbSize = sizeof e;
    e.pCertContext = element;
    e.TrustStatus.dwErrorStatus = findings.bits[i < 31 ? i : 31];
    if (X509_self_signed(i == 0 ? v.leaf : x, 0) == 1)
      e.TrustStatus.dwInfoStatus |= CERT_TRUST_IS_SELF_SIGNED;
    if (i + 1 < count) e.TrustStatus.dwInfoStatus |= CERT_TRUST_HAS_NAME_MATCH_ISSUER;
    all |= e.TrustStatus.dwErrorStatus;
    chain->elements.push_back(e);
  }
  sk_X509_pop_free(built, X509_free);
  for (CERT_CHAIN_ELEMENT& e : chain->elements) chain->elementPtrs.push_back(&e);
  chain->simple.cbSize = sizeof chain->simple;
  chain->simple.TrustStatus.dwErrorStatus = all;
  chain->simple.cElement = static_cast<DWORD>(chain->elements.size());
  chain->simple.rgpElement = chain->elementPtrs.data();
  chain->simplePtr = &chain->simple;
  chain->context.cbSize = sizeof chain->context;
  chain->context.TrustStatus.dwErrorStatus = all;
  chain->context.cChain = 1;
  chain->context.rgpChain = &chain->simplePtr;
  *out = &chain.release()->context;
  return TRUE;
}

void CertFreeCertificateChainImpl(PCCERT_CHAIN_CONTEXT context) {
  if (context == nullptr) return;
  auto* chain = const_cast<Chain*>(reinterpret_cast<const Chain*>(context));
  for (CERT_CHAIN_ELEMENT& e : chain->elements) SoftReleaseCert(SoftCertOf(e.pCertContext));
  delete chain;
}

void CertFreeCertificateChainEngineImpl(HCERTCHAINENGINE) {}  // only the default engine exists

}  // namespace

void SoftFillChains(Platform& t) {
  t.CertGetCertificateChain = &CertGetCertificateChainImpl;
  t.CertFreeCertificateChain = &CertFreeCertificateChainImpl;
  t.CertFreeCertificateChainEngine = &CertFreeCertificateChainEngineImpl;
}
