// The plain-format import of an RSA-2048 encryption key as a page makes
// it (ZENQ_ImportEncryptCert through IDispatch, into the container of a
// fresh temporary key of "Microsoft Enhanced Cryptographic Provider
// v1.0"), beside OpenSSL doing the same unwrap directly: the two Base64
// fields decoded, the session key decrypted with the temporary RSA key,
// the private key decrypted with 3DES-ECB and parsed.
//
// Every import consumes one temporary key, so the containers and their
// envelopes are made before the clock starts; the run has a fixed number
// of iterations.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "SideBySide.h"
#include "control/CryptoAgent.h"
#include "base/Platform.h"
#include "install/SessionKey.h"
#include "encoding/Unicode.h"
#include "testca/TestCa.h"

namespace {

constexpr int kImports = 24;
const char16_t kEnhanced[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
const char16_t kRsaToken[] = u"Keyloom RSA Token Provider";

// Calls one method by name with string arguments, as script does; the
// result is a string (or empty) and the status.
HRESULT Call(IDispatch* control, const std::u16string& method, const std::vector<std::string>& args,
             std::string* text = nullptr) {
  std::u16string name = method;
  LPOLESTR names[1] = {W(name.data())};
  DISPID id = DISPID_UNKNOWN;
  if (HRESULT hr = control->GetIDsOfNames(IID_NULL, names, 1, 0, &id); FAILED(hr)) return hr;
  std::vector<VARIANT> values(args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    const std::u16string wide = Utf8ToUtf16(args[i]);
    VARIANT& v = values[args.size() - 1 - i];
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(W(wide.c_str()), static_cast<UINT>(wide.size()));
  }
  DISPPARAMS params = {values.data(), nullptr, static_cast<UINT>(values.size()), 0};
  VARIANT result;
  result.vt = VT_EMPTY;
  EXCEPINFO exception = {};
  HRESULT hr = control->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, &result, &exception, nullptr);
  if (hr == DISP_E_EXCEPTION) hr = exception.scode;
  if (result.vt == VT_BSTR && text) *text = Utf16ToUtf8(U16(result.bstrVal));
  if (result.vt == VT_BSTR) SysFreeString(result.bstrVal);
  for (VARIANT& v : values) SysFreeString(v.bstrVal);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrSource);
  return hr;
}

testca::Bytes Unbase64(const std::string& text) {
  testca::Bytes out(text.size());
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  size_t size = n < 0 ? 0 : static_cast<size_t>(n);
  for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) --size;
  out.resize(size);
  return out;
}

// An RSA-2048 encryption key for the RSAPublicKey `temporaryKey`.
testca::EnvelopeRequest Request(const testca::Bytes& temporaryKey) {
  testca::EnvelopeRequest request;
  request.temporaryKey = temporaryKey;
  request.bits = 2048;
  request.subject = "CN=Bench,C=CN";
  return request;
}

struct Prepared {
  std::string container, envelope, certificate;
};

// One page's control with temporary keys of one provider and the
// envelopes made for them, used up one per import.
struct Page {
  IDispatch* control = nullptr;
  std::vector<Prepared> imports;
  size_t next = 0;

  Page(const std::string& ca, const char16_t* provider) {
    void* p = nullptr;
    CCryptoAgent::CreateInstance(nullptr, IID_IDispatch, &p);
    control = static_cast<IDispatch*>(p);
    Call(control, u"ZENQ_SetCSPInfo", {"2048", Utf16ToUtf8(provider)});
    Call(control, u"ZENQ_SetKeyAlgorithm", {"RSA"});
    std::string error;
    for (int i = 0; i < kImports; ++i) {
      std::string temp, container;
      Call(control, u"ZENQ_GetTempPublickey", {}, &temp);
      Call(control, u"ZENQ_GetContainer", {}, &container);
      testca::EnvelopeResult made;
      if (!testca::MakeEnvelope(ca, Request(Unbase64(temp)), &made, &error)) std::abort();
      imports.push_back({container, made.envelope, made.certificate});
    }
  }
  ~Page() { control->Release(); }

  bool ImportNext() {
    if (next >= imports.size()) return false;
    const Prepared& p = imports[next++];
    const HRESULT hr =
        Call(control, u"ZENQ_ImportEncryptCert", {p.envelope, p.certificate, p.container, "0"});
    if (hr != S_OK) std::fprintf(stderr, "ZENQ_ImportEncryptCert: 0x%08x\n", static_cast<unsigned>(hr));
    return hr == S_OK;
  }
};

struct Setup {
  std::string root, ca;
  // The OpenSSL side: its own temporary key and an envelope for it.
  testca::Pkey temporaryKey;
  std::string envelope;

  Setup() {
    char pattern[] = "/tmp/keyloom-bench-XXXXXX";
    root = mkdtemp(pattern);
    ca = root + "/ca";
    setenv("KEYLOOM_HOME", (root + "/user").c_str(), 1);
    setenv("KEYLOOM_MACHINE_HOME", (root + "/machine").c_str(), 1);
    setenv("TMPDIR", root.c_str(), 1);
    std::string error;
    if (!testca::Init(ca, &error)) std::abort();
    temporaryKey.reset(EVP_RSA_gen(1024));
    unsigned char* der = nullptr;
    const int n = i2d_PublicKey(temporaryKey.get(), &der);
    testca::EnvelopeResult made;
    if (!testca::MakeEnvelope(ca, Request(testca::Bytes(der, der + n)), &made, &error)) std::abort();
    OPENSSL_free(der);
    envelope = made.envelope;
  }
  ~Setup() { std::filesystem::remove_all(root); }
};

Setup& Shared() {
  static Setup s;
  return s;
}

// The content of the OCTET STRING in SEQUENCE { INTEGER, OCTET STRING }.
testca::Bytes SecondElement(const testca::Bytes& der) {
  const unsigned char* p = der.data();
  long length = 0;
  int tag = 0, cls = 0;
  ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(der.size()));  // SEQUENCE
  ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(der.size()));  // INTEGER
  p += length;
  ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(der.size()));  // OCTET STRING
  return testca::Bytes(p, p + length);
}

// OpenSSL alone: fields, RSA decrypt, 3DES-ECB decrypt, key parse.
bool OpensslUnwrap(const Setup& s) {
  const std::string& e = s.envelope;
  const size_t l1 = std::stoul(e.substr(48, 16));
  const size_t l2 = std::stoul(e.substr(64 + l1, 16));
  const testca::Bytes wrappedSession = SecondElement(Unbase64(e.substr(64, l1 - 1)));
  const testca::Bytes wrappedKey = SecondElement(Unbase64(e.substr(80 + l1, l2 - 1)));

  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(s.temporaryKey.get(), nullptr);
  unsigned char session[256];
  size_t sessionSize = sizeof session;
  bool ok = ctx && EVP_PKEY_decrypt_init(ctx) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
            EVP_PKEY_decrypt(ctx, session, &sessionSize, wrappedSession.data(), wrappedSession.size()) == 1 &&
            sessionSize == 24;
  EVP_PKEY_CTX_free(ctx);

  testca::Bytes plain(wrappedKey.size() + 8);
  int n = 0, tail = 0;
  EVP_CIPHER_CTX* cipher = EVP_CIPHER_CTX_new();
  ok = ok && EVP_DecryptInit_ex(cipher, EVP_des_ede3_ecb(), nullptr, session, nullptr) == 1 &&
       EVP_DecryptUpdate(cipher, plain.data(), &n, wrappedKey.data(), static_cast<int>(wrappedKey.size())) == 1 &&
       EVP_DecryptFinal_ex(cipher, plain.data() + n, &tail) == 1;
  EVP_CIPHER_CTX_free(cipher);
  const unsigned char* p = plain.data();
  EVP_PKEY* key = ok ? d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, n + tail) : nullptr;
  ok = key != nullptr && EVP_PKEY_get_bits(key) == 2048;
  EVP_PKEY_free(key);
  OPENSSL_cleanse(session, sizeof session);
  OPENSSL_cleanse(plain.data(), plain.size());
  return ok;
}

// Target: the whole import at most 1.2 times OpenSSL's unwrap. The plain
// format makes a fresh RSA key pair with exponents 1 in the software
// provider for every import, which the row below measures alone.
void PlainImportRsa2048(benchmark::State& state) {
  Setup& s = Shared();
  Page page(s.ca, kEnhanced);
  bench::SideBySide(state, 1.2, 1, [&page] { return page.ImportNext(); },
                    [&s] { return OpensslUnwrap(s); });
}
BENCHMARK(PlainImportRsa2048)->Iterations(kImports)->Unit(benchmark::kMillisecond);

// The exponent-one key of one plain import (generated, exported, changed,
// imported) beside OpenSSL generating an RSA-1024 key.
void ExponentOneKey(benchmark::State& state) {
  Shared();
  bench::SideBySide(
      state, 0, 1,
      [] {
        HCRYPTPROV provider = 0;
        HCRYPTKEY key = 0;
        if (!CreatePrivateExponentOneKey(kExponentOneProvider, PROV_RSA_FULL, kExponentOneContainer,
                                         &provider, &key))
          return false;
        Plat().CryptDestroyKey(key);
        Plat().CryptReleaseContext(provider, 0);
        return true;
      },
      [] {
        testca::Pkey key(EVP_RSA_gen(1024));
        return key != nullptr;
      });
}
BENCHMARK(ExponentOneKey)->Iterations(kImports)->Unit(benchmark::kMillisecond);

// The encrypted format into "Keyloom RSA Token Provider": the token opens
// the envelope itself, with no exponent-one key.
void EncryptedImportRsa2048(benchmark::State& state) {
  Setup& s = Shared();
  Page page(s.ca, kRsaToken);
  bench::SideBySide(state, 1.2, 1, [&page] { return page.ImportNext(); },
                    [&s] { return OpensslUnwrap(s); });
}
BENCHMARK(EncryptedImportRsa2048)->Iterations(kImports)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
