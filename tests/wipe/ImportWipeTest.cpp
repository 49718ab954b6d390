// The plain-format import wipes what it unwrapped: no block the module
// releases through its buffer functions still holds the session key or
// the private key (in the envelope's big-endian order or the blob's
// little-endian order) when it goes back to the allocator.
#include <gtest/gtest.h>
#include <malloc.h>
#include <openssl/core_names.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <vector>

#include "encoding/Buffer.h"
#include "install/EncryptCert.h"
#include "support/CryptTestSupport.h"
#include "testca/TestCa.h"

namespace {

std::vector<Bytes> g_secrets;
int g_releasedWithSecret = 0;

void InspectRelease(const void* block) {
  const size_t size = malloc_usable_size(const_cast<void*>(block));
  for (const Bytes& s : g_secrets)
    if (size >= s.size() && memmem(block, size, s.data(), s.size()) != nullptr) ++g_releasedWithSecret;
}

// 16 octets of `value` at `offset` from its most significant end, in both
// orders.
void AddSlices(const BIGNUM* value, size_t offset) {
  Bytes be(static_cast<size_t>(BN_num_bytes(value)));
  BN_bn2bin(value, be.data());
  Bytes slice(be.begin() + static_cast<long>(offset), be.begin() + static_cast<long>(offset + 16));
  g_secrets.push_back(slice);
  std::reverse(slice.begin(), slice.end());
  g_secrets.push_back(slice);
}

std::string Field(const Bytes& wrapped) {
  const std::string text =
      testca::Base64Field(Tlv(0x30, {Tlv(0x02, {{0x00}}), Tlv(0x04, {wrapped})}), 0, true);
  char length[17];
  std::snprintf(length, sizeof length, "%016zu", text.size());
  return length + text;
}

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

using ImportWipe = SoftHomesTest;

TEST_F(ImportWipe, PlainImportReleasesNoPlaintextKey) {
  // The temporary key in a software container, the authority's key made by
  // OpenSSL, and the envelope written here with the 3DES key 01 02 .. 18.
  const std::u16string container = UniqueContainer("wipe");
  Prov prov;
  Key temporary;
  ASSERT_TRUE(prov.Acquire(container.c_str(), kEnhanced, CRYPT_NEWKEYSET));
  ASSERT_TRUE(Plat().CryptGenKey(prov.h, AT_KEYEXCHANGE, 1024u << 16, &temporary.h));
  const Pkey temporaryPublic = RsaFromPublicBlob(ExportKey(temporary.h, PUBLICKEYBLOB));
  ASSERT_NE(nullptr, temporaryPublic);
  Pkey authorityKey(EVP_RSA_gen(1024));
  ASSERT_NE(nullptr, authorityKey);
  const Bytes privateDer = I2d<EVP_PKEY>(authorityKey.get(), i2d_PrivateKey);  // RSAPrivateKey
  Bytes session(24);
  std::iota(session.begin(), session.end(), BYTE{1});
  const std::string envelope =
      "0000000000000001" "0000000000000001" "0000000000000306" +
      Field(PkeyEncrypt(temporaryPublic.get(), session, RSA_PKCS1_PADDING)) +
      Field(Encipher(EVP_des_ede3_ecb(), session, privateDer, true));
  const std::string certificate = testca::Base64Field(CertOfKey(authorityKey.get()), 0, false);

  g_secrets = {Bytes(session.begin(), session.begin() + 16),
               Bytes(session.rbegin(), session.rbegin() + 16)};
  for (const char* name : {OSSL_PKEY_PARAM_RSA_D, OSSL_PKEY_PARAM_RSA_FACTOR1}) {
    BIGNUM* value = nullptr;
    ASSERT_EQ(1, EVP_PKEY_get_bn_param(authorityKey.get(), name, &value));
    AddSlices(value, 8);
    BN_free(value);
  }
  g_releasedWithSecret = 0;
  SetBufferReleaseObserver(&InspectRelease);
  const HRESULT hr = ImportEncryptCertEx({Wide(envelope), Wide(certificate), kEnhanced, container,
                                          u"RSA", 1024, 0});
  SetBufferReleaseObserver(nullptr);
  ASSERT_EQ(S_OK, hr);
  EXPECT_EQ(0, g_releasedWithSecret);

  // The watch sees the keys: the same octets released unwiped are found.
  g_releasedWithSecret = 0;
  SetBufferReleaseObserver(&InspectRelease);
  BYTE* copy = AllocZeroed<BYTE>(privateDer.size());
  std::memcpy(copy, privateDer.data(), privateDer.size());
  FreeBuffer(copy);
  SetBufferReleaseObserver(nullptr);
  EXPECT_EQ(2, g_releasedWithSecret);  // d and prime1, big-endian
}

}  // namespace
