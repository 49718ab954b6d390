// The encrypted format's hand-over: the composed structure read by
// OpenSSL's DER reader, and the reference blobs the provider receives,
// captured through a replaced CryptImportKey.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "encoding/Buffer.h"
#include "install/RsaImport.h"
#include "install/Sm2Import.h"
#include "support/CryptTestSupport.h"
#include "support/FaultPlatform.h"
#include "support/OpenSslDer.h"

namespace {

Bytes Sequence(size_t size, BYTE first) {
  Bytes b(size);
  std::iota(b.begin(), b.end(), first);
  return b;
}

Bytes Concat(std::vector<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
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
  ASSERT_GE(der.size(), 3u);
  EXPECT_EQ(0x30, der[0]);
  EXPECT_EQ(0x81, der[1]);
  EXPECT_EQ(198, der[2]);
  const std::vector<Bytes> expected = {
      {0x02, 0x01, 0x01},                                                  // INTEGER 1
      {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01},  // 1.2.840.113549.1.1.1
      {0x06, 0x09, 0x2B, 0x06, 0x01, 0x04, 0x01, 0xA6, 0x41, 0x01, 0x07},  // 1.3.6.1.4.1.4929.1.7
      Concat({{0x04, 0x81, 0x80}, session}),                               // OCTET STRING 00 01 .. 7F
      Concat({{0x04, 0x28}, key}),                                         // OCTET STRING 80 81 .. A7
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
    const auto imports = platform.CallsOf("CryptImportKey");
    ASSERT_EQ(1u, imports.size());
    EXPECT_EQ(CRYPT_EXPORTABLE, imports[0].Number("flags"));
    const auto params = platform.CallsOf("CryptSetKeyParam");
    ASSERT_EQ(1u, params.size());
    EXPECT_EQ(KP_CERTIFICATE, params[0].Number("param"));
    EXPECT_EQ(1u, platform.CountOf("CryptDestroyKey"));
  }
}

TEST(ReferenceBlob, FailuresKeepTheirSteps) {
  const Bytes key(200, 0x42), cert = {0x30, 0x00};
  const struct {
    const char* failing;
    int occurrence;
    HRESULT expected;  // NTE_BAD_KEY (0x80090003) unchanged; 0x2000xxxx made 0xA007xxxx
    DWORD error;
  } rows[] = {
      {"CryptImportKey", 1, static_cast<HRESULT>(0x80090003), 0x80090003},
      {"CryptSetKeyParam", 1, static_cast<HRESULT>(0xA0070005), 0x20000005},
      {"CryptAcquireContextW", 1, static_cast<HRESULT>(0x80070002), ERROR_FILE_NOT_FOUND},
  };
  for (const auto& row : rows) {
    FaultPlatform platform;
    platform.table.CryptImportKey = &CaptureImport;
    platform.table.CryptSetKeyParam = &AcceptKeyParam;
    platform.table.CryptDestroyKey = &AcceptDestroy;
    platform.FailCall(row.failing, row.occurrence, row.error);
    HRESULT hr;
    if (std::string(row.failing) == "CryptAcquireContextW") {
      HCRYPTPROV prov = 7;
      hr = GetCSPHandleofTempPublickey(u"Keyloom SM2 Token Provider", u"c", u"SM2", &prov);
      EXPECT_EQ(0u, prov);
      EXPECT_EQ(CRYPT_VERIFYCONTEXT, platform.CallsOf("CryptAcquireContextW")[0].Number("flags"));
    } else {
      hr = ImportEncryptCertEx_SM2(0x1234, cert.data(), 2, key.data(), 200, 0);
      // A key imported before the binding failed is still released.
      EXPECT_EQ(row.occurrence && std::string(row.failing) == "CryptSetKeyParam" ? 1u : 0u,
                platform.CountOf("CryptDestroyKey"));
    }
    EXPECT_EQ(row.expected, hr) << row.failing;
  }
}

}  // namespace
