// The plain-format import wipes what it unwrapped: no block the module
// releases through its buffer functions still holds the session key or
// the private key (big-endian as in the envelope, little-endian as in the
// blob) when it goes back to the allocator.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstring>

#include "install/EncryptCert.h"
#include "install_keys/KeyTestSupport.h"

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
  const TempKey t = MakeTempKey(kEnhanced, false, 1024);
  const Pkey temporary = RsaFromPublicBlob(t.publicBlob), authority = GenerateRsa(1024, 65537);
  ASSERT_TRUE(temporary && authority);
  const Bytes der = I2d<EVP_PKEY>(authority.get(), i2d_PrivateKey);  // RSAPrivateKey
  const Bytes session = Random(24);
  const std::u16string envelope =
      PlainEnvelope(temporary.get(), session, Encipher(EVP_des_ede3_ecb(), session, der, true));
  const std::string cert = testca::Base64Field(CertOfKey(authority.get()), 0, false);

  // 16 octets of the session key, of d and of prime1, in both orders.
  const RsaNumbers v = NumbersOf(authority.get());
  g_secrets = {Bytes(session.begin(), session.begin() + 16)};
  for (const BIGNUM* value : {v[3].get(), v[4].get()}) {
    Bytes be(static_cast<size_t>(BN_num_bytes(value)));
    BN_bn2bin(value, be.data());
    g_secrets.emplace_back(be.begin() + 8, be.begin() + 24);
  }
  for (size_t i = 0, n = g_secrets.size(); i < n; ++i)
    g_secrets.emplace_back(g_secrets[i].rbegin(), g_secrets[i].rend());

  HRESULT hr = E_FAIL;
  EXPECT_EQ(0, ReleasedSecrets([&] {
    hr = ImportEncryptCertEx({envelope, Wide(cert), kEnhanced,
                              t.container, u"RSA", 1024, 0});
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
