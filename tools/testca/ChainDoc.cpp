// `testca chain-doc`: the demo hierarchies the module carries and the two
// chain documents that registration installs from.
//
// The hierarchy files live in the folder beside their keys; a second run
// loads them instead of making new keys, so the documents come out the
// same. The SHA-256 RSA and the SM2 intermediate are named as `testca init`
// names its intermediates (rsa-ca, sm2-ca with their roots), so `testca
// issue` and `testca envelope` given the same folder issue below them.
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <sys/stat.h>

#include <cstdint>

#include "testca/Authority.h"

namespace testca {
namespace {

constexpr int kYears = 20;
constexpr char kImportPath[] = "SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates";

// One certificate of a demo hierarchy: its file stem, common name, the
// digest its issuer signs with, and the stem of its issuer (null: a root).
struct Member {
  const char* stem;
  const char* commonName;
  Alg alg;
  const char* digest;
  const char* issuer;
};

// Issuers come before what they issue.
constexpr Member kRsaHierarchy[] = {
    {"rsa-sha1-root", "Keyloom Demo RSA SHA-1 Root", Alg::kRsa, "SHA1", nullptr},
    {"rsa-sha1-ca", "Keyloom Demo RSA SHA-1 CA", Alg::kRsa, "SHA1", "rsa-sha1-root"},
    {"rsa-root", "Keyloom Demo RSA SHA-256 Root", Alg::kRsa, "SHA256", nullptr},
    {"rsa-ca", "Keyloom Demo RSA SHA-256 CA", Alg::kRsa, "SHA256", "rsa-root"},
};
constexpr Member kSm2Hierarchy[] = {
    {"sm2-root", "Keyloom Demo SM2 Root", Alg::kSm2, "SM3", nullptr},
    {"sm2-ca", "Keyloom Demo SM2 CA", Alg::kSm2, "SM3", "sm2-root"},
};

bool Exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

Bytes DemoName(const char* commonName) {
  X509_NAME* name = X509_NAME_new();
  const auto add = [name](const char* field, const char* value) {
    X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
  };
  add("C", "CN");
  add("O", "Keyloom Demo");
  add("CN", commonName);
  Bytes der = NameDer(name);
  X509_NAME_free(name);
  return der;
}

// Loads `m` from `dir` when both its files are there, otherwise makes it
// (its issuer already in `made`). A member found but not signed by its
// issuer, or half present, is refused rather than replaced.
bool Obtain(const std::string& dir, const Member& m, const std::vector<Authority>& made,
            const std::vector<const Member*>& madeMembers, Authority* out, std::string* error) {
  const std::string prefix = dir + "/" + m.stem;
  const Authority* issuer = nullptr;
  for (size_t i = 0; i < madeMembers.size(); ++i)
    if (m.issuer != nullptr && std::string(madeMembers[i]->stem) == m.issuer) issuer = &made[i];
  out->alg = m.alg;
  const bool haveCert = Exists(prefix + ".crt"), haveKey = Exists(prefix + ".key");
  if (haveCert || haveKey) {
    out->cert = LoadCertificate(prefix + ".crt");
    out->key = LoadKey(prefix + ".key");
    EVP_PKEY* signer = issuer ? issuer->key.get() : out->key.get();
    if (!out->cert || !out->key || X509_check_private_key(out->cert.get(), out->key.get()) != 1 ||
        !SignedBy(out->cert.get(), signer, m.alg)) {
      *error = prefix + ".crt and .key are not a certificate of this hierarchy with its key"
               " (remove the folder to make a new hierarchy)";
      return false;
    }
    return true;
  }
  out->key = NewKey(m.alg);
  if (!out->key) {
    *error = "cannot generate a key";
    return false;
  }
  out->cert = MakeCertificate(DemoName(m.commonName), out->key.get(),
                              issuer ? Usage::kIntermediate : Usage::kRoot, kYears, m.alg, issuer,
                              out->key.get(), error, m.digest);
  return out->cert && WriteAuthority(prefix, *out, error);
}

std::string Base64(const Bytes& data) {
  std::string text(4 * ((data.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data.data(),
                                static_cast<int>(data.size()));
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

std::string XmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string HexUpper(const unsigned char* data, size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < size; ++i) out += kDigits[data[i] >> 4], out += kDigits[data[i] & 15];
  return out;
}

// "CN=..., O=..., C=..." : most specific part first, as the platform shows names.
std::string SubjectText(X509* cert) {
  const X509_NAME* name = X509_get_subject_name(cert);
  std::string out;
  for (int i = X509_NAME_entry_count(name) - 1; i >= 0; --i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    unsigned char* value = nullptr;
    const int n = ASN1_STRING_to_UTF8(&value, X509_NAME_ENTRY_get_data(entry));
    if (!out.empty()) out += ", ";
    out += OBJ_nid2sn(OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)));
    out += "=";
    if (n > 0) out.append(reinterpret_cast<char*>(value), static_cast<size_t>(n));
    OPENSSL_free(value);
  }
  return out;
}

void AppendRecord(Bytes* entry, uint32_t id, const Bytes& value) {
  for (uint32_t field : {id, 1u, static_cast<uint32_t>(value.size())})
    for (int shift = 0; shift < 32; shift += 8) entry->push_back(static_cast<unsigned char>(field >> shift));
  entry->insert(entry->end(), value.begin(), value.end());
}

Bytes Digest(const Bytes& data, const char* name) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  const bool ok = md != nullptr && EVP_Digest(data.data(), data.size(), out, &size, md, nullptr) == 1;
  EVP_MD_free(md);
  return ok ? Bytes(out, out + size) : Bytes();
}

// The Certificate element of one root: the registry entry of the machine's
// trusted root store (SHA-1 hash, MD5 hash, last the certificate).
std::string CertificateElement(X509* cert) {
  const Bytes der = CertificateDer(cert);
  const Bytes sha1 = Digest(der, "SHA1");
  Bytes entry;
  AppendRecord(&entry, 3, sha1);
  AppendRecord(&entry, 4, Digest(der, "MD5"));
  AppendRecord(&entry, 32, der);
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
  return "    <Certificate SerialNum=\"" +
         HexUpper(ASN1_STRING_get0_data(serial), static_cast<size_t>(ASN1_STRING_length(serial))) +
         "\" SubjectDN=\"" + XmlEscaped(SubjectText(cert)) + "\">\r\n" +
         "      <ImportPath>" + kImportPath + "</ImportPath>\r\n" +
         "      <EntryPoint>" + HexUpper(sha1.data(), sha1.size()) + "</EntryPoint>\r\n" +
         "      <Content>" + Base64(entry) + "</Content>\r\n" + "    </Certificate>\r\n";
}

// A certificates-only SignedData of `certs`, in their order.
Bytes Bundle(const std::vector<Authority>& members) {
  PKCS7* p7 = PKCS7_new();
  bool ok = p7 != nullptr && PKCS7_set_type(p7, NID_pkcs7_signed) == 1 &&
            PKCS7_content_new(p7, NID_pkcs7_data) == 1;
  for (const Authority& a : members) ok = ok && PKCS7_add_certificate(p7, a.cert.get()) == 1;
  unsigned char* der = nullptr;
  const int n = ok ? i2d_PKCS7(p7, &der) : 0;
  Bytes out;
  if (n > 0) out.assign(der, der + n);
  OPENSSL_free(der);
  PKCS7_free(p7);
  return out;
}

template <size_t N>
bool WriteDocument(const std::string& dir, const Member (&hierarchy)[N], const char* title,
                   const std::string& path, std::string* error) {
  std::vector<Authority> made;
  std::vector<const Member*> madeMembers;
  for (const Member& m : hierarchy) {
    Authority a;
    if (!Obtain(dir, m, made, madeMembers, &a, error)) return false;
    made.push_back(std::move(a));
    madeMembers.push_back(&m);
  }
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!-- ";
  doc += title;
  doc += " made by testca chain-doc; a demonstration hierarchy, not for production -->\r\n"
         "<root>\r\n  <RootCACertificate>\r\n";
  for (size_t i = 0; i < made.size(); ++i)
    if (madeMembers[i]->issuer == nullptr) doc += CertificateElement(made[i].cert.get());
  doc += "  </RootCACertificate>\r\n  <P7bContent>\r\n";
  const Bytes bundle = Bundle(made);
  if (bundle.empty()) {
    *error = "cannot encode the PKCS#7 bundle";
    return false;
  }
  const std::string text = Base64(bundle);
  for (size_t at = 0; at < text.size(); at += 76) doc += text.substr(at, 76) + "\r\n";
  doc += "  </P7bContent>\r\n</root>\r\n";
  // The same document is left untouched, so nothing built from it is
  // rebuilt.
  Bytes existing;
  std::string ignored;
  if (ReadWholeFile(path, &existing, &ignored) && std::string(existing.begin(), existing.end()) == doc)
    return true;
  return WriteWholeFile(path, doc, 0644, false, error);
}

}  // namespace

bool WriteChainDocuments(const std::string& dir, const std::string& rsaPath,
                         const std::string& sm2Path, std::string* error) {
  return MakeFolder(dir, error) &&
         WriteDocument(dir, kRsaHierarchy, "Keyloom demo RSA hierarchy", rsaPath, error) &&
         WriteDocument(dir, kSm2Hierarchy, "Keyloom demo SM2 hierarchy", sm2Path, error);
}

}  // namespace testca
