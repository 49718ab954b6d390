#include "keyloom/StoreCommand.h"

#include <cstdio>

#include "base/Platform.h"
#include "base/PlatformHandles.h"
#include "base/Status.h"
#include "encoding/Buffer.h"
#include "encoding/Unicode.h"
#include "keyloom/Failure.h"
#include "encoding/Json.h"

namespace {

// The system stores every account has, whether or not anything was ever
// stored in them.
constexpr const char16_t* kPredefinedStores[] = {
    u"My", u"Root", u"CA", u"Trust", u"Disallowed", u"AddressBook", u"TrustedPeople",
    u"TrustedPublisher", u"AuthRoot", u"Request"};

std::string Hex(const BYTE* data, DWORD length, bool reversed) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (DWORD i = 0; i < length; ++i) {
    const BYTE b = data[reversed ? length - 1 - i : i];
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// A certificate property read with the size query first; empty when the
// certificate does not have it.
std::vector<BYTE> Property(PCCERT_CONTEXT cert, DWORD id) {
  DWORD size = 0;
  if (!Plat().CertGetCertificateContextProperty(cert, id, nullptr, &size) || size == 0) return {};
  std::vector<BYTE> value(size);
  if (!Plat().CertGetCertificateContextProperty(cert, id, value.data(), &size)) return {};
  value.resize(size);
  return value;
}

// The name as the platform's certificate listings show it: X.500 keys,
// most specific part first ("CN=..., O=..., C=...").
std::string NameText(const CERT_NAME_BLOB& name) {
  const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
  const DWORD size = Plat().CertNameToStrW(X509_ASN_ENCODING, &name, type, nullptr, 0);
  if (size == 0) return {};
  std::u16string text(size, u'\0');
  Plat().CertNameToStrW(X509_ASN_ENCODING, &name, type, text.data(), size);
  text.resize(WideLength(text.c_str()));
  return Utf16ToUtf8(text);
}

// ISO 8601 in UTC, to the second; empty when the time cannot be converted.
std::string IsoTime(const FILETIME& time) {
  SYSTEMTIME t{};
  if (!Plat().FileTimeToSystemTime(&time, &t)) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", unsigned{t.wYear},
                unsigned{t.wMonth}, unsigned{t.wDay}, unsigned{t.wHour}, unsigned{t.wMinute},
                unsigned{t.wSecond});
  return text;
}

std::string JsonOrNull(const std::string& text) {
  return text.empty() ? "null" : JsonString(text);
}

// {"provider","container","spec"} of the certificate's key-provider link,
// or null when it has none.
std::string KeyLink(PCCERT_CONTEXT cert) {
  std::vector<BYTE> value = Property(cert, CERT_KEY_PROV_INFO_PROP_ID);
  if (value.size() < sizeof(CRYPT_KEY_PROV_INFO)) return "null";
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(value.data());
  const auto text = [](const char16_t* s) { return JsonString(s ? Utf16ToUtf8(s) : std::string()); };
  const char* spec = info->dwKeySpec == AT_KEYEXCHANGE ? "\"exchange\""
                     : info->dwKeySpec == AT_SIGNATURE ? "\"signature\""
                                                        : nullptr;
  return "{\"provider\":" + text(U16(info->pwszProvName)) +
         ",\"container\":" + text(U16(info->pwszContainerName)) +
         ",\"spec\":" + (spec ? spec : std::to_string(info->dwKeySpec)) + "}";
}

std::string Describe(PCCERT_CONTEXT cert) {
  const CERT_INFO& info = *cert->pCertInfo;
  const std::vector<BYTE> sha1 = Property(cert, CERT_SHA1_HASH_PROP_ID);
  return "{\"thumbprint\":" +
         JsonOrNull(Hex(sha1.data(), static_cast<DWORD>(sha1.size()), false)) +
         ",\"subject\":" + JsonString(NameText(info.Subject)) +
         ",\"issuer\":" + JsonString(NameText(info.Issuer)) +
         // The platform keeps the serial's octets least significant first.
         ",\"serial\":" +
         JsonString(Hex(info.SerialNumber.pbData, info.SerialNumber.cbData, true)) +
         ",\"notBefore\":" + JsonOrNull(IsoTime(info.NotBefore)) +
         ",\"notAfter\":" + JsonOrNull(IsoTime(info.NotAfter)) + ",\"key\":" + KeyLink(cert) +
         "}";
}

bool Predefined(const std::u16string& name) {
  for (const char16_t* known : kPredefinedStores)
    if (EqualsAsciiNoCase(name, known)) return true;
  return false;
}

int List(const std::string& storeName, bool machine) {
  const std::u16string name = Utf8ToUtf16(storeName);
  const DWORD location = machine ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER;
  StoreHandle store;
  store.value = Plat().CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     location | CERT_STORE_READONLY_FLAG |
                                         CERT_STORE_OPEN_EXISTING_FLAG,
                                     name.c_str());
  if (store.value == nullptr) {
    const HRESULT hr = FailedCallStatusFullRule();
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) && Predefined(name)) return 0;
    return ReportFailure("store list " + storeName, hr);
  }
  for (PCCERT_CONTEXT cert = nullptr;
       (cert = Plat().CertEnumCertificatesInStore(store.value, cert)) != nullptr;)
    std::printf("%s\n", Describe(cert).c_str());
  return 0;
}

// Forty hexadecimal digits, either case, as the SHA-1 thumbprint's bytes.
bool ParseThumbprint(const std::string& text, std::vector<BYTE>* hash) {
  if (text.size() != 40) return false;
  hash->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    for (size_t j = i; j < i + 2; ++j) {
      const char c = text[j];
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return false;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    hash->push_back(static_cast<BYTE>(value));
  }
  return true;
}

int Delete(const std::string& storeName, const std::string& thumbprint, bool machine) {
  std::vector<BYTE> hash;
  if (!ParseThumbprint(thumbprint, &hash)) return 2;
  const std::string what = "store delete " + storeName + " " + thumbprint;
  const std::u16string name = Utf8ToUtf16(storeName);
  const DWORD location = machine ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER;
  StoreHandle store;
  store.value = Plat().CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     location | CERT_STORE_OPEN_EXISTING_FLAG, name.c_str());
  if (store.value == nullptr) return ReportFailure(what, FailedCallStatusFullRule());
  CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
  PCCERT_CONTEXT cert = Plat().CertFindCertificateInStore(
      store.value, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
  if (cert == nullptr) return ReportFailure(what, FailedCallStatusFullRule());
  // The call releases the context whatever its result.
  if (!Plat().CertDeleteCertificateFromStore(cert)) return ReportFailure(what, FailedCallStatusFullRule());
  return 0;
}

}  // namespace

int RunStoreCommand(const std::vector<std::string>& args) {
  if (args.empty() || (args[0] != "list" && args[0] != "delete")) return 2;
  const bool deleting = args[0] == "delete";
  bool machine = false;
  std::vector<std::string> operands;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--machine") machine = true;
    else if (!args[i].empty() && args[i][0] != '-') operands.push_back(args[i]);
    else return 2;
  }
  if (operands.size() != (deleting ? 2u : 1u)) return 2;
  return deleting ? Delete(operands[0], operands[1], machine) : List(operands[0], machine);
}
