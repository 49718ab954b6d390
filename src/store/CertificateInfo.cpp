// The certificate listing and the certificate queries behind it.
#include "store/CertificateInfo.h"

#include <cstdio>
#include <cstring>

#include "base/Platform.h"
#include "base/Status.h"
#include "encoding/Buffer.h"
#include "encoding/TextConversion.h"
#include "trace/Trace.h"

TRACE_COMPONENT("CertificateInfo");

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Renders `name` with the platform: size query, zeroed buffer, fill.
HRESULT NameText(const char16_t* function, const CERT_NAME_BLOB* name, DWORD stringType,
                 char16_t** text, DWORD* length) {
  *text = nullptr;
  if (length != nullptr) *length = 0;
  const Platform& p = Plat();
  const DWORD type = stringType | CERT_NAME_STR_NO_QUOTING_FLAG | CERT_NAME_STR_REVERSE_FLAG;
  const DWORD size = p.CertNameToStrW(kEncoding, name, type, nullptr, 0);
  if (size == 0) return TracedStatus(function, u"CertNameToStr", FailedCallStatusFullRule());
  ScopedBuffer<char16_t> buffer(AllocZeroed<char16_t>(size));
  if (!buffer) return TracedStatus(function, u"Dispatch memory failed.", E_OUTOFMEMORY);
  if (p.CertNameToStrW(kEncoding, name, type, buffer.get(), size) == 0)
    return TracedStatus(function, u"CertNameToStr", FailedCallStatusFullRule());
  *text = buffer.release();
  if (length != nullptr) *length = size;
  return S_OK;
}

void DateOf(const FILETIME& fileTime, SYSTEMTIME* time) {
  *time = SYSTEMTIME{};
  if (!Plat().FileTimeToSystemTime(&fileTime, time)) *time = SYSTEMTIME{};
}

// Upper-cases and drops the sign byte as the flags say.
void ApplySerialFlags(std::u16string* serial, DWORD flags) {
  if (flags & CERTINFO_UPPER_SERIAL)
    for (char16_t& c : *serial)
      if (c >= u'a' && c <= u'f') c = static_cast<char16_t>(c - u'a' + u'A');
  if ((flags & CERTINFO_TRIM_SERIAL_SIGN) && serial->size() > 2 && serial->compare(0, 2, u"00") == 0) {
    const char16_t third = (*serial)[2];
    if ((third >= u'8' && third <= u'9') || (third >= u'A' && third <= u'F') ||
        (third >= u'a' && third <= u'f'))
      serial->erase(0, 2);
  }
}

// One validity time of the record, followed by ";".
HRESULT AppendTime(PCCERT_CONTEXT cert, bool notAfter, DWORD flags, std::u16string* out) {
  SYSTEMTIME time{};
  if (notAfter) GetCertToDate(cert, &time);
  else GetCertFromDate(cert, &time);
  // When the conversion fails the time stays in UTC.
  if (flags & CERTINFO_LOCAL_TIME) (void)ConvertUTCtimetoLocalTime(&time);
  std::u16string text;
  const HRESULT hr = GetTimeString(&time, &text);
  TraceStep(u"GetCertificateInfo", u"GetCertificateInfo-GetTimeString", hr);
  if (FAILED(hr)) return hr;
  *out += text;
  *out += u';';
  return S_OK;
}

}  // namespace

HRESULT QueryCertContextInfo(PCCERT_CONTEXT cert, DWORD type, CertQueryResult* result) {
  if (cert == nullptr || result == nullptr) return E_INVALIDARG;
  switch (type) {
    case CERT_QUERY_SUBJECT:
      return GetCertSubject(cert, &result->text, &result->length, CERT_X500_NAME_STR);
    case CERT_QUERY_ISSUER:
      return GetCertIssuer(cert, &result->text, &result->length);
    case CERT_QUERY_SERIAL:
      return GetCertSerialNumber(cert, &result->bytes, &result->length);
    case CERT_QUERY_NOT_AFTER:
      GetCertToDate(cert, &result->time);
      return S_OK;
    case CERT_QUERY_NOT_BEFORE:
      GetCertFromDate(cert, &result->time);
      return S_OK;
    default:
      return E_INVALIDARG;
  }
}

HRESULT GetAllCertificatesInfoinStore(HCERTSTORE store, std::u16string* out, DWORD flags) {
  static constexpr char16_t kName[] = u"GetAllCertificatesInfoinStore";
  if (out == nullptr) return E_INVALIDARG;
  out->clear();
  if (store == nullptr) return TracedStatus(kName, u"check parameter.", E_INVALIDARG);
  const Platform& p = Plat();
  bool first = true;
  for (PCCERT_CONTEXT cert = nullptr; (cert = p.CertEnumCertificatesInStore(store, cert)) != nullptr;) {
    std::u16string record;
    const HRESULT hr = GetCertificateInfo(cert, &record, flags);
    if (hr == CRYPT_E_NOT_FOUND) {
      // No private key known for it: not listed.
      TRACE_VALUE(u"skipped: no key-provider property");
      continue;
    }
    if (FAILED(hr)) {
      p.CertFreeCertificateContext(cert);
      return TracedStatus(kName, u"GetAllCertificatesInfoinStore-GetCertificateInfo", hr);
    }
    if (!first) *out += u"||";
    *out += record;
    first = false;
  }
  return S_OK;
}

HRESULT GetCertificateInfo(PCCERT_CONTEXT cert, std::u16string* out, DWORD flags) {
  static constexpr char16_t kName[] = u"GetCertificateInfo";
  if (out == nullptr) return E_INVALIDARG;
  out->clear();
  if (cert == nullptr) return TracedStatus(kName, u"check parameter.", E_INVALIDARG);
  // Built aside: a record that fails half-way is not handed out.
  std::u16string record;

  CertQueryResult subject;
  HRESULT hr = QueryCertContextInfo(cert, CERT_QUERY_SUBJECT, &subject);
  ScopedBuffer<char16_t> subjectText(subject.text);
  TraceStep(kName, u"GetCertificateInfo-QueryCertContextInfo", hr);
  if (FAILED(hr)) return hr;
  record += subjectText.get();
  record += u';';

  CertQueryResult serial;
  hr = QueryCertContextInfo(cert, CERT_QUERY_SERIAL, &serial);
  ScopedBuffer<BYTE> serialBytes(serial.bytes);
  char16_t* rendered = nullptr;
  if (SUCCEEDED(hr)) hr = ConvertBinaryDataToString(serialBytes.get(), serial.length, &rendered);
  ScopedBuffer<char16_t> serialText(rendered);
  TraceStep(kName, u"GetCertificateInfo-FormatStringFromData", hr);
  if (FAILED(hr)) return hr;
  std::u16string digits = serialText.get();
  ApplySerialFlags(&digits, flags);
  record += digits;
  record += u';';

  if (FAILED(hr = AppendTime(cert, false, flags, &record))) return hr;
  if (FAILED(hr = AppendTime(cert, true, flags, &record))) return hr;

  BYTE* property = nullptr;
  DWORD size = 0;
  hr = GetCertificateContextProperty(cert, &property, &size);
  ScopedBuffer<BYTE> propertyHolder(property);
  TraceStep(kName, u"GetCertificateInfo-GetCertificateContextProperty", hr);
  if (FAILED(hr)) return hr;
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(property);
  if (size >= sizeof(CRYPT_KEY_PROV_INFO) && info->pwszProvName != nullptr)
    record += U16(info->pwszProvName);
  *out = std::move(record);
  return S_OK;
}

HRESULT GetCertSubject(PCCERT_CONTEXT cert, char16_t** text, DWORD* length, DWORD stringType) {
  if (cert == nullptr || text == nullptr) return E_INVALIDARG;
  return NameText(u"GetCertSubject", &cert->pCertInfo->Subject, stringType, text, length);
}

HRESULT GetCertIssuer(PCCERT_CONTEXT cert, char16_t** text, DWORD* length) {
  if (cert == nullptr || text == nullptr) return E_INVALIDARG;
  return NameText(u"GetCertIssuer", &cert->pCertInfo->Issuer, CERT_X500_NAME_STR, text, length);
}

HRESULT GetCertSerialNumber(PCCERT_CONTEXT cert, BYTE** serial, DWORD* length) {
  if (cert == nullptr || serial == nullptr || length == nullptr) return E_INVALIDARG;
  *serial = nullptr;
  *length = 0;
  const CRYPT_INTEGER_BLOB& number = cert->pCertInfo->SerialNumber;
  BYTE* copy = AllocZeroed(number.cbData);
  if (copy == nullptr)
    return TracedStatus(u"GetCertSerialNumber", u"Dispatch memory failed.", E_OUTOFMEMORY);
  if (number.cbData != 0) std::memcpy(copy, number.pbData, number.cbData);
  *serial = copy;
  *length = number.cbData;
  return S_OK;
}

void GetCertFromDate(PCCERT_CONTEXT cert, SYSTEMTIME* time) {
  DateOf(cert->pCertInfo->NotBefore, time);
}

void GetCertToDate(PCCERT_CONTEXT cert, SYSTEMTIME* time) { DateOf(cert->pCertInfo->NotAfter, time); }

HRESULT ConvertUTCtimetoLocalTime(SYSTEMTIME* time) {
  static constexpr char16_t kName[] = u"ConvertUTCtimetoLocalTime";
  if (time == nullptr) return E_INVALIDARG;
  const Platform& p = Plat();
  FILETIME utc{}, local{};
  if (!p.SystemTimeToFileTime(time, &utc))
    return TracedStatus(kName, u"SystemTimeToFileTime", FailedCallStatusFullRule());
  if (!p.FileTimeToLocalFileTime(&utc, &local))
    return TracedStatus(kName, u"FileTimeToLocalFileTime", FailedCallStatusFullRule());
  SYSTEMTIME converted{};
  if (!p.FileTimeToSystemTime(&local, &converted))
    return TracedStatus(kName, u"FileTimeToSystemTime", FailedCallStatusFullRule());
  *time = converted;
  return S_OK;
}

HRESULT GetTimeString(const SYSTEMTIME* time, std::u16string* out) {
  if (out == nullptr) return E_INVALIDARG;
  out->clear();
  if (time == nullptr) return E_INVALIDARG;
  char text[128];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", int{time->wYear},
                int{time->wMonth}, int{time->wDay}, int{time->wHour}, int{time->wMinute},
                int{time->wSecond});
  for (const char* c = text; *c; ++c) out->push_back(static_cast<char16_t>(*c));
  return S_OK;
}

HRESULT GetCertificateContextProperty(PCCERT_CONTEXT cert, BYTE** data, DWORD* size) {
  static constexpr char16_t kName[] = u"GetCertificateContextProperty";
  static constexpr char16_t kStep[] = u"GetCertificateContextProperty-CertGetCertificateContextProperty";
  if (cert == nullptr || data == nullptr || size == nullptr) return E_INVALIDARG;
  *data = nullptr;
  *size = 0;
  const Platform& p = Plat();
  DWORD needed = 0;
  if (!p.CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &needed))
    return TracedStatus(kName, kStep, FailedCallStatusFullRule());
  ScopedBuffer<BYTE> buffer(AllocZeroed(needed));
  if (!buffer) return TracedStatus(kName, u"new memory.\n", E_OUTOFMEMORY);
  if (!p.CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buffer.get(), &needed))
    return TracedStatus(kName, kStep, FailedCallStatusFullRule());
  *data = buffer.release();
  *size = needed;
  return S_OK;
}
