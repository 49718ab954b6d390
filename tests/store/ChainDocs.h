// Chain documents built from TestPki hierarchies: serialized root entries
// and a certificates-only bundle, both made with OpenSSL.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <vector>

#include "base/Status.h"
#include "store/ChainDocument.h"
#include "support/StoreHelpers.h"

inline Bytes Digest(const EVP_MD* md, const Bytes& data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr);
  out.resize(n);
  return out;
}
inline std::string Thumbprint(const Bytes& der) { return ToHex(Digest(EVP_sha1(), der).data(), 20, ""); }

// The serialized store entry, records of little-endian id, 1, length, bytes:
//   03 00 00 00 01 00 00 00 14 00 00 00 <20 octets>   SHA-1 hash (property 3)
//   04 00 00 00 01 00 00 00 10 00 00 00 <16 octets>   MD5 hash (property 4)
//   20 00 00 00 01 00 00 00 <n: 4 octets> <n octets>  the DER (property 32)
inline Bytes SerializedEntry(const Bytes& der) {
  Bytes out;
  auto put32 = [&](size_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  for (const auto& [id, bytes] : {std::pair{3, Digest(EVP_sha1(), der)}, {4, Digest(EVP_md5(), der)}, {32, der}}) {
    put32(id), put32(1), put32(bytes.size());
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}

// Base64 by OpenSSL, broken by CR LF every 76 characters when `breaks`.
inline std::string Base64(const Bytes& data, bool breaks = false) {
  std::string text(4 * ((data.size() + 2) / 3) + 1, '\0');
  text.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data.data(),
                              static_cast<int>(data.size())));
  for (size_t at = 76; breaks && at < text.size(); at += 78) text.insert(at, "\r\n");
  return text;
}

// The machine's registry path of `store`, and of the entry of `der` in it.
inline std::u16string EntryPath(const char* store, const Bytes* der = nullptr) {
  std::string path = "SOFTWARE\\Microsoft\\SystemCertificates\\";
  path.append(store).append("\\Certificates");
  if (der) path.append("\\").append(Thumbprint(*der));
  return std::u16string(path.begin(), path.end());
}

// A Certificate element for `der`: its children named `names`, the path and
// thumbprint padded with `pad`, then `extra`.
inline std::string Entry(const Bytes& der, const char* pad = "", const char* names[3] = nullptr,
                         const std::string& extra = "") {
  static const char* usual[3] = {"ImportPath", "EntryPoint", "Content"};
  const char** n = names ? names : usual;
  std::string values[3];
  values[0].append(pad).append("SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates").append(pad);
  values[1].append(pad).append(Thumbprint(der)).append(pad);
  values[2] = Base64(SerializedEntry(der), true);
  std::string xml = "<Certificate SerialNum=\"01\" SubjectDN=\"CN=x\">";
  for (int i = 0; i < 3; ++i)
    xml.append("<").append(n[i]).append(">").append(values[i]).append("</").append(n[i]).append(">\r\n");
  return xml.append(extra).append("</Certificate>\r\n");
}

// The document: its RootCACertificate children, and the bundle of `bundle`
// unless `withBundle` is false.
inline std::string Document(const std::string& roots, const std::vector<Bytes>& bundle,
                            bool withBundle = true) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!-- chain -->\r\n<root>\r\n";
  xml += "<RootCACertificate>\r\n" + roots + "</RootCACertificate>\r\n";
  if (withBundle) xml += "<P7bContent>\r\n" + Base64(MakeBundle(bundle), true) + "\r\n</P7bContent>\r\n";
  return xml + "</root>\r\n";
}

// Two hierarchies, SHA-256 and SHA-1 signed: their roots are the entries,
// the roots and intermediates the bundle, in that order.
struct TwoHierarchies {
  Hierarchy a = MakeHierarchy(PkiAlg::kRsaSha256, "Chain A");
  Hierarchy b = MakeHierarchy(PkiAlg::kRsaSha1, "Chain B");
  std::vector<Bytes> Bundle() const { return {a.root.der, a.intermediate.der, b.root.der, b.intermediate.der}; }
  std::string Roots() const { return Entry(a.root.der) + Entry(b.root.der); }
};
inline const TwoHierarchies& Pki() {
  static const TwoHierarchies pki;
  return pki;
}

// Creates the machine's root store key, present on every installed system.
inline void CreateRootKey() {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Plat().RegCreateKeyExW(HKEY_LOCAL_MACHINE, EntryPath("ROOT").c_str(), 0,
                                                  nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  Plat().RegCloseKey(key);
}

// Runs `operation` (installation or check) over the document `xml` with
// COM initialized, as the module's callers do.
inline HRESULT RunOn(HRESULT (*operation)(const BYTE*, DWORD), const std::string& xml) {
  Plat().CoInitialize(nullptr);
  const HRESULT hr = operation(reinterpret_cast<const BYTE*>(xml.data()), static_cast<DWORD>(xml.size()));
  Plat().CoUninitialize();
  return hr;
}
