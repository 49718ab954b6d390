// The plain-format import wipes what it unwrapped: no block the module
// releases through its buffer functions still holds the session key or
// the private key (big-endian as in the envelope, little-endian as in the
// blob) when it goes back to the allocator.
#include <gtest/gtest.h>
#include <malloc.h>
#include <openssl/x509.h>

#include <cstring>

#include "encoding/Buffer.h"
#include "install/EncryptCert.h"
#include "install/InstallTestSupport.h"

namespace {

std::vector<Bytes> g_secrets;
int g_released = 0;  // released blocks holding a secret

void InspectRelease(const void* block) {
  const size_t size = malloc_usable_size(const_cast<void*>(block));
  for (const Bytes& s : g_secrets)
    if (size >= s.size() && memmem(block, size, s.data(), s.size()) != nullptr) ++g_released;
}

// Runs `action` with every release inspected; the count of secret blocks.
template <typename Action>
int ReleasedSecrets(Action action) {
  g_released = 0;
  SetBufferReleaseObserver(&InspectRelease);
  action();
  SetBufferReleaseObserver(nullptr);
  return g_released;
}

using ImportWipe = SoftHomesTest;

TEST_F(ImportWipe, PlainImportReleasesNoPlaintextKey) {
  std::u16string container;
  const Pkey temporary = KeyInNewContainer(&container, AT_KEYEXCHANGE);
  const Pkey authority(EVP_RSA_gen(1024));
  ASSERT_TRUE(temporary && authority);
  const Bytes der = I2d<EVP_PKEY>(authority.get(), i2d_PrivateKey);  // RSAPrivateKey
  const Bytes session = Random(24);
  // The plain envelope: device and encrypt type 1, session key type 306,
  // then each wrapped key as SEQUENCE { INTEGER 0, OCTET STRING } in the
  // test authority's Base64 with its final comma.
  std::string envelope = "0000000000000001" "0000000000000001" "0000000000000306";
  for (const Bytes& wrapped : {PkeyEncrypt(temporary.get(), session, RSA_PKCS1_PADDING),
                               Encipher(EVP_des_ede3_ecb(), session, der, true)}) {
    const std::string field =
        testca::Base64Field(Tlv(0x30, {Tlv(0x02, {{0x00}}), Tlv(0x04, {wrapped})}), 0, true);
    char length[17];
    std::snprintf(length, sizeof length, "%016zu", field.size());
    envelope += length + field;
  }
  const std::string cert = testca::Base64Field(CertOfKey(authority.get()), 0, false);

  // 16 octets of the session key, of d and of prime1, in both orders.
  g_secrets = {Bytes(session.begin(), session.begin() + 16)};
  for (const char* name : {"d", "rsa-factor1"}) {
    BIGNUM* value = nullptr;
    ASSERT_EQ(1, EVP_PKEY_get_bn_param(authority.get(), name, &value));
    Bytes be(static_cast<size_t>(BN_num_bytes(value)));
    BN_bn2bin(value, be.data());
    BN_free(value);
    g_secrets.emplace_back(be.begin() + 8, be.begin() + 24);
  }
  for (size_t i = 0, n = g_secrets.size(); i < n; ++i)
    g_secrets.emplace_back(g_secrets[i].rbegin(), g_secrets[i].rend());

  HRESULT hr = E_FAIL;
  EXPECT_EQ(0, ReleasedSecrets([&] {
    hr = ImportEncryptCertEx({Wide(envelope), Wide(cert), kEnhanced, container, u"RSA", 1024, 0});
  }));
  EXPECT_EQ(S_OK, hr);
  // The watch sees an unwiped release: the DER holds d and prime1.
  EXPECT_EQ(2, ReleasedSecrets([&] {
    BYTE* copy = AllocZeroed<BYTE>(der.size());
    std::memcpy(copy, der.data(), der.size());
    FreeBuffer(copy);
  }));
}

}  // namespace
