// The encrypted format's hand-over: the composed structure read by
// OpenSSL's DER reader, and the reference blobs the provider receives,
// captured through a replaced CryptImportKey.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "encoding/Buffer.h"
#include "install/RsaImport.h"
#include "install/Sm2Import.h"
#include "support/FaultPlatform.h"
#include "support/OpenSslDer.h"
#include "support/CryptTestSupport.h"

namespace {

Bytes Sequence(size_t size, BYTE first) {
  Bytes b(size);
  std::iota(b.begin(), b.end(), first);
  return b;
}

TEST(ComposeRsaEvp, OpenSslReadsFiveElementsInOrder) {
  const Bytes session = Sequence(128, 0x00), key = Sequence(40, 0x80);
  BYTE* out = nullptr;
  DWORD length = 0;
  ASSERT_EQ(S_OK, ComposeRSAEVPPrivateKey(session.data(), 128, key.data(), 40, &out, &length));
  const Bytes der(out, out + length);
  FreeBuffer(out);
  // 30 81 C6: the content (3 + 11 + 11 + 131 + 42 = 198 octets) needs the
  // long form.
  EXPECT_EQ("30 81 C6", ToHex(Bytes(der.begin(), der.begin() + 3)));
  const std::vector<Bytes> expected = {
      {0x02, 0x01, 0x01},                                                  // INTEGER 1
      {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01},  // 1.2.840.113549.1.1.1
      {0x06, 0x09, 0x2B, 0x06, 0x01, 0x04, 0x01, 0xA6, 0x41, 0x01, 0x07},  // 1.3.6.1.4.1.4929.1.7
      Tlv(0x04, {session}),  // 04 81 80, 00 01 .. 7F
      Tlv(0x04, {key}),      // 04 28, 80 81 .. A7
  };
  const std::vector<Bytes> children = DerChildren(der);
  ASSERT_EQ(expected.size(), children.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(ToHex(expected[i]), ToHex(children[i])) << i;
}

// What the replaced CryptImportKey saw: the blob and the octets its
// address pointed at while the call ran.
Bytes g_blob, g_referenced;

BOOL CaptureImport(HCRYPTPROV, const BYTE* data, DWORD length, HCRYPTKEY, DWORD, HCRYPTKEY* key) {
  g_blob.assign(data, data + length);
  uint64_t address = 0;
  uint32_t bits = 0;
  std::memcpy(&address, data + length - 8, 8);
  std::memcpy(&bits, data + (length == 32 ? 16 : 12), 4);
  const BYTE* at = reinterpret_cast<const BYTE*>(static_cast<uintptr_t>(address));
  g_referenced.assign(at, at + bits / 8);
  *key = 0x5EED;
  return TRUE;
}
BOOL AcceptKeyParam(HCRYPTKEY, DWORD, const BYTE*, DWORD) { return TRUE; }
BOOL AcceptDestroy(HCRYPTKEY) { return TRUE; }

TEST(ReferenceBlob, RsaAndSm2BlobsAsTheProviderReceivesThem) {
  const Bytes session = Sequence(128, 0x00), key = Sequence(200, 0x10), cert = {0x30, 0x00};
  BYTE* composed = nullptr;
  DWORD composedLength = 0;
  ASSERT_EQ(S_OK, ComposeRSAEVPPrivateKey(session.data(), 128, key.data(), 200, &composed,
                                          &composedLength));
  const Bytes expectedComposed(composed, composed + composedLength);
  FreeBuffer(composed);

  const struct {
    bool rsa;
    Bytes header;      // the blob without its 8-octet address
    Bytes referenced;  // what the address points at
  } rows[] = {
      // 07 02 01 00, A400 twice, 2048 bits, the composed size in bits (2904
      // = 0xB58 for 363 octets), 0.
      {true, {0x07, 0x02, 0x01, 0x00, 0x00, 0xA4, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00,
              0x00, 0x08, 0x00, 0x00, 0x58, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
       expectedComposed},
      // 07 02 01 00, BE00 twice, 1600 bits (0x640) for the 200-octet key.
      {false, {0x07, 0x02, 0x01, 0x00, 0x00, 0xBE, 0x00, 0x00, 0x00, 0xBE, 0x00, 0x00,
               0x40, 0x06, 0x00, 0x00},
       key},
  };
  ASSERT_EQ(363u, expectedComposed.size());  // 30 82 01 67 + 359
  for (const auto& row : rows) {
    FaultPlatform platform;
    platform.table.CryptImportKey = &CaptureImport;
    platform.table.CryptSetKeyParam = &AcceptKeyParam;
    platform.table.CryptDestroyKey = &AcceptDestroy;
    g_blob.clear();
    const HRESULT hr =
        row.rsa ? ImportEncryptCertEx_RSA(0x1234, 2048, cert.data(), 2, session.data(), 128,
                                          key.data(), 200, CRYPT_EXPORTABLE)
                : ImportEncryptCertEx_SM2(0x1234, cert.data(), 2, key.data(), 200, CRYPT_EXPORTABLE);
    ASSERT_EQ(S_OK, hr);
    ASSERT_EQ(row.header.size() + 8, g_blob.size());
    EXPECT_EQ(ToHex(row.header), ToHex(Bytes(g_blob.begin(), g_blob.end() - 8)));
    EXPECT_EQ(ToHex(row.referenced), ToHex(g_referenced));
    EXPECT_EQ(CRYPT_EXPORTABLE, platform.CallsOf("CryptImportKey").at(0).Number("flags"));
    EXPECT_EQ(KP_CERTIFICATE, platform.CallsOf("CryptSetKeyParam").at(0).Number("param"));
    EXPECT_EQ(1u, platform.CountOf("CryptDestroyKey"));
  }
}

}  // namespace
