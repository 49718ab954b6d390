// Helpers of the key-installation tests: RSA keys and their RSAPrivateKey
// written from OpenSSL's numbers, temporary keys in a provider, plain
// envelopes written here with a known session key.
#pragma once

#include <openssl/core_names.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <array>
#include <string>

#include "base/Status.h"
#include "encoding/Buffer.h"
#include "request/Sm2TempKey.h"
#include "support/CryptTestSupport.h"
#include "support/TraceRecorder.h"
#include "testca/TestCa.h"

using Bignum = std::unique_ptr<BIGNUM, OpenSslFree<BIGNUM, BN_free>>;

// An RSA key of `bits` with public exponent `exponent`, made by OpenSSL.
inline Pkey GenerateRsa(int bits, unsigned long exponent) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  Bignum e(BN_new());
  EVP_PKEY* key = nullptr;
  if (BN_set_word(e.get(), exponent) && EVP_PKEY_keygen_init(ctx) > 0 &&
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, bits) > 0 &&
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, e.get()) > 0)
    EVP_PKEY_keygen(ctx, &key);
  EVP_PKEY_CTX_free(ctx);
  return Pkey(key);
}

// The nine numbers of an RSAPrivateKey in their order (version 0 first).
using RsaNumbers = std::array<Bignum, 9>;
inline RsaNumbers NumbersOf(EVP_PKEY* key) {
  RsaNumbers v;
  v[0].reset(BN_new());
  const char* names[] = {"n", "e", "d", "rsa-factor1", "rsa-factor2", "rsa-exponent1",
                         "rsa-exponent2", "rsa-coefficient1"};
  for (size_t i = 0; i < 8; ++i) {
    BIGNUM* value = nullptr;
    EVP_PKEY_get_bn_param(key, names[i], &value);
    v[i + 1].reset(value);
  }
  return v;
}

// SEQUENCE of the first `count` numbers as INTEGERs, written by hand.
inline Bytes RsaPrivateKeyDer(const RsaNumbers& v, size_t count = 9) {
  std::vector<Bytes> parts;
  for (size_t i = 0; i < count; ++i) {
    Bytes magnitude(static_cast<size_t>(BN_num_bytes(v[i].get())));
    BN_bn2bin(v[i].get(), magnitude.data());
    if (magnitude.empty() || magnitude[0] & 0x80) magnitude.insert(magnitude.begin(), 0x00);
    parts.push_back(Tlv(0x02, {magnitude}));
  }
  return Tlv(0x30, parts);
}

struct TempKey {
  std::u16string container;
  Bytes envelopeForm;  // the RSAPublicKey DER, or the 136-octet SM2 form
  Bytes publicBlob;
};

// A new container of `provider` holding a temporary exchange key (RSA of
// `bits`, or SM2); the form is empty on failure.
inline TempKey MakeTempKey(const char16_t* provider, bool sm2, int bits) {
  TempKey t{UniqueContainer("keys"), {}, {}};
  Prov prov;
  Key key;
  if (!prov.Acquire(t.container.c_str(), provider, CRYPT_NEWKEYSET) ||
      !Plat().CryptGenKey(prov.h, sm2 ? KL_CALG_SM2_KEYX : AT_KEYEXCHANGE,
                          sm2 ? 0 : static_cast<DWORD>(bits) << 16, &key.h))
    return t;
  t.publicBlob = ExportKey(key.h, PUBLICKEYBLOB);
  Bytes form = t.publicBlob;
  DWORD length = static_cast<DWORD>(form.size());
  if (sm2 && ConvertSM2TmpPublicKeyStructtoCANeeded(form.data(), &length) == S_OK)
    t.envelopeForm.assign(form.begin(), form.begin() + length);
  if (Pkey pub = sm2 ? nullptr : RsaFromPublicBlob(t.publicBlob))
    t.envelopeForm = I2d<EVP_PKEY>(pub.get(), i2d_PublicKey);
  return t;
}

// The plain envelope (device and encrypt type 1, session key type 306) of
// `session` wrapped for the RSA `temporary` key and `enciphered`, each as
// SEQUENCE { INTEGER 0, OCTET STRING } in Base64 with its final comma
// (the Base64 of the test authority, which does not use our encoder).
inline std::u16string PlainEnvelope(EVP_PKEY* temporary, const Bytes& session,
                                    const Bytes& enciphered) {
  std::string text = "0000000000000001" "0000000000000001" "0000000000000306";
  for (const Bytes& wrapped : {PkeyEncrypt(temporary, session, RSA_PKCS1_PADDING), enciphered}) {
    const std::string field =
        testca::Base64Field(Tlv(0x30, {Tlv(0x02, {{0x00}}), Tlv(0x04, {wrapped})}), 0, true);
    char length[17];
    std::snprintf(length, sizeof length, "%016zu", field.size());
    text += length + field;
  }
  return std::u16string(text.begin(), text.end());
}

// Whether the trace consumer saw the step "function - step" with `status`.
inline bool HasStep(const std::string& step, HRESULT status) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(status));
  for (const RecordedTrace& r : ScopedTraceRecorder::records())
    if ((r.message == 13 || r.message == 14) && r.args[0] == step && r.args[1] == hex) return true;
  return false;
}

inline std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }
