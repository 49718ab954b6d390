// The certificate listing that page script receives, and the certificate
// queries the chain services share (subject and issuer text, serial number,
// validity dates, the key-provider property).
//
// A listing is one record per certificate linked to a private key:
// "subject;serial;valid-from;valid-to;provider", records joined by "||",
// nothing escaped. Buffers handed out are AllocZeroed, released by the
// caller with FreeBuffer; string outputs are cleared by the callee first.
#pragma once

#include <string>

#include "base/WinTypes.h"

// Listing flags, combinable.
constexpr DWORD CERTINFO_UPPER_SERIAL = 1;      // serial digits in upper case
constexpr DWORD CERTINFO_TRIM_SERIAL_SIGN = 2;  // drop a leading 00 sign byte
constexpr DWORD CERTINFO_LOCAL_TIME = 4;        // validity times in local time

// What QueryCertContextInfo asks a certificate for.
enum CertQueryType : DWORD {
  CERT_QUERY_SUBJECT = 1,    // text: GetCertSubject, string type 3
  CERT_QUERY_ISSUER = 3,     // text: GetCertIssuer
  CERT_QUERY_SERIAL = 4,     // bytes: GetCertSerialNumber
  CERT_QUERY_NOT_AFTER = 6,  // time: GetCertToDate
  CERT_QUERY_NOT_BEFORE = 7, // time: GetCertFromDate
};

// The one result of QueryCertContextInfo, by query type: `text` (UTF-16,
// AllocZeroed, `length` characters with the terminator) for 1 and 3,
// `bytes`/`length` for 4, `time` for 6 and 7. The caller releases `text`
// and `bytes` with FreeBuffer.
struct CertQueryResult {
  char16_t* text = nullptr;
  BYTE* bytes = nullptr;
  DWORD length = 0;
  SYSTEMTIME time{};
};

// Answers query `type` about `cert` into `result` (see CertQueryType).
// Returns 0, 0x80070057 for a missing certificate or result or an unknown
// type, or the failure of the query.
HRESULT QueryCertContextInfo(PCCERT_CONTEXT cert, DWORD type, CertQueryResult* result);

// The listing of every certificate of `store` in store order; certificates
// without a key-provider property are skipped. *out is cleared first and
// holds the records appended so far when a record fails. Returns 0 (also
// for an empty listing), 0x80070057 for a missing store, or the first
// record failure other than 0x80092004.
HRESULT GetAllCertificatesInfoinStore(HCERTSTORE store, std::u16string* out, DWORD flags);

// One record for `cert` with `flags` into *out (cleared first, written only
// on success). Returns 0, 0x80070057 for a missing
// certificate, 0x80092004 when it has no key-provider property, or the
// failing step's status.
HRESULT GetCertificateInfo(PCCERT_CONTEXT cert, std::u16string* out, DWORD flags);

// The subject (issuer) name as X.500 text, most specific part first,
// values never quoted, in a new buffer *text of *length characters
// including the terminator (`length` may be null). `stringType` is the
// platform's string type (3). Returns 0, 0x8007000E, or the last-error
// status of the failed rendering (nothing handed out).
HRESULT GetCertSubject(PCCERT_CONTEXT cert, char16_t** text, DWORD* length, DWORD stringType);
HRESULT GetCertIssuer(PCCERT_CONTEXT cert, char16_t** text, DWORD* length);

// A copy of the serial number's bytes as the certificate holds them (least
// significant first) in a new buffer. Returns 0 or 0x8007000E.
HRESULT GetCertSerialNumber(PCCERT_CONTEXT cert, BYTE** serial, DWORD* length);

// The not-before / not-after time in UTC as a calendar time; left zero
// when the platform cannot convert it.
void GetCertFromDate(PCCERT_CONTEXT cert, SYSTEMTIME* time);
void GetCertToDate(PCCERT_CONTEXT cert, SYSTEMTIME* time);

// Converts `time` from UTC to the local time in force now (the platform's
// file-time conversion). Returns 0, or the last-error status of the
// failing step with `time` unchanged.
HRESULT ConvertUTCtimetoLocalTime(SYSTEMTIME* time);

// "YYYY-MM-DD hh:mm:ss" of `time` into *out. Returns 0, or 0x80070057
// when `time` or `out` is missing.
HRESULT GetTimeString(const SYSTEMTIME* time, std::u16string* out);

// The certificate's key-provider information (CRYPT_KEY_PROV_INFO with its
// strings behind it) in a new buffer *data of *size bytes. Returns 0,
// 0x8007000E, or the last-error status (0x80092004 when the certificate
// has no such property) with nothing handed out.
HRESULT GetCertificateContextProperty(PCCERT_CONTEXT cert, BYTE** data, DWORD* size);
