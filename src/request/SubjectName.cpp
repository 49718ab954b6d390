#include "request/SubjectName.h"

#include <new>

#include "encoding/Buffer.h"
#include "encoding/DerBuilder.h"
#include "encoding/DerEncoder.h"
#include "encoding/TextConversion.h"
#include "encoding/Unicode.h"
#include "trace/Trace.h"

TRACE_COMPONENT("SubjectName");

namespace {

constexpr char kCountryName[] = "2.5.4.6";
constexpr char kEmailAddress[] = "1.2.840.113549.1.9.1";

struct NameEntry {
  const char16_t* name;
  const char* objectId;
};
// Searched in order; the first match wins.
constexpr NameEntry kNames[] = {
    {u"CN", "2.5.4.3"},
    {u"SERIALNUMBER", "2.5.4.5"},
    {u"C", kCountryName},
    {u"L", "2.5.4.7"},
    {u"S", "2.5.4.8"},
    {u"ST", "2.5.4.8"},
    {u"STREET", "2.5.4.9"},
    {u"O", "2.5.4.10"},
    {u"OU", "2.5.4.11"},
    {u"businessCategory", "2.5.4.15"},
    {u"PostalCode", "2.5.4.17"},
    {u"E", kEmailAddress},
    {u"Email", kEmailAddress},
    {u"jurisdictionOfIncorporationLocalityName", "1.3.6.1.4.1.311.60.2.1.1"},
    {u"jurisdictionOfIncorporationStateOrProvinceName", "1.3.6.1.4.1.311.60.2.1.2"},
    {u"jurisdictionOfIncorporationCountryName", "1.3.6.1.4.1.311.60.2.1.3"},
};

// The value as a PrintableString or IA5String element: UTF-8 bytes checked
// against the string type by the platform encoder.
HRESULT ComposeNarrowString(const std::u16string& value, DWORD valueType,
                            const char16_t* convertStep, const char16_t* composeStep, BYTE** out,
                            DWORD* outLen) {
  static constexpr char16_t kName[] = u"ComposeSubjectChild";
  char* utf8 = nullptr;
  DWORD utf8Len = 0;
  HRESULT hr = UTF16ToUTF8(value.c_str(), &utf8, &utf8Len);
  const ScopedBuffer<char> holder(utf8);
  TraceStep(kName, convertStep, hr);
  if (FAILED(hr)) return hr;
  hr = ComposeAnyString(valueType, {reinterpret_cast<const BYTE*>(utf8), utf8Len}, out, outLen);
  return TracedStatus(kName, composeStep, hr);
}

// The value element: a PrintableString (country name) or IA5String
// (e-mail address) of the UTF-8 text, else a UTF8String.
HRESULT ComposeValue(const SubjectAttribute& attribute, BYTE** out, DWORD* outLen) {
  if (EqualsAsciiNoCase(attribute.objectId, kCountryName))
    return ComposeNarrowString(attribute.value, CERT_RDN_PRINTABLE_STRING,
                               u"UTF16ToUTF8(CountryName)", u"ComposeAnyString(CountryName)", out,
                               outLen);
  if (EqualsAsciiNoCase(attribute.objectId, kEmailAddress))
    return ComposeNarrowString(attribute.value, CERT_RDN_IA5_STRING, u"UTF16ToUTF8(Email)",
                               u"ComposeAnyString(Email)", out, outLen);
  const uint64_t bytes = 2ull * attribute.value.size();
  const ByteView text(reinterpret_cast<const BYTE*>(attribute.value.c_str()),
                      static_cast<size_t>(bytes));
  const HRESULT hr =
      bytes > 0xFFFFFFFFull ? E_FAIL : ComposeAnyString(CERT_RDN_UTF8_STRING, text, out, outLen);
  return TracedStatus(u"ComposeSubjectChild", u"ComposeAnyString", hr);
}

// SET { SEQUENCE { oid, value } }: one relative distinguished name.
HRESULT AddSubjectChild(DerBuilder* b, const SubjectAttribute& attribute) {
  TraceHelper trace("ComposeSubjectChild");
  DerBuilder value;
  HRESULT hr =
      DerAddComposed(&value, [&](BYTE** o, DWORD* n) { return ComposeValue(attribute, o, n); });
  if (FAILED(hr)) return DerFail(b, hr);
  const DerMark set = DerOpen(b, kTagSet);
  hr = DerAddComposed(b, [&](BYTE** o, DWORD* n) {
    return ComposeSpecialAttribute(attribute.objectId.c_str(), DerView(&value), o, n);
  });
  TraceStep(u"ComposeSubjectChild", u"ComposeSpecialAttribute", hr);
  if (FAILED(hr)) return hr;
  DerClose(b, set);
  return TracedStatus(u"ComposeSubjectChild", u"ASN1Encode", b->status);
}

}  // namespace

HRESULT SplidWstr(std::u16string_view text, char16_t separator,
                  std::vector<std::u16string>* pieces) {
  if (text.empty()) return S_OK;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != separator) continue;
    pieces->emplace_back(text.substr(start, i - start));
    start = i + 1;
  }
  pieces->emplace_back(text.substr(start));
  return S_OK;
}

std::u16string ReplaceWchar(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char16_t c : text)
    if (c != u' ') out.push_back(c);
  return out;
}

std::string GetObjectID(std::u16string_view name) {
  TraceHelper trace("GetObjectID");
  for (const NameEntry& e : kNames)
    if (EqualsAsciiNoCase(name, e.name)) return e.objectId;
  const std::u16string copy(name);
  TraceStep(u"GetObjectID", copy.c_str(), NTE_NOT_FOUND);
  return std::string();
}

HRESULT ParseSubject(std::u16string_view subject, std::vector<SubjectAttribute>* attributes) {
  static constexpr char16_t kName[] = u"ParseSubject";
  TraceHelper trace("ParseSubject");
  if (attributes == nullptr) return E_POINTER;
  try {
    std::vector<std::u16string> pieces;
    TraceStep(kName, u"SplidWstr-Subject", SplidWstr(subject, u',', &pieces));
    for (const std::u16string& piece : pieces) {
      std::vector<std::u16string> pair;
      SplidWstr(piece, u'=', &pair);
      const HRESULT hr = pair.size() == 2 ? S_OK : NTE_BAD_DATA;
      TraceStep(kName, u"SplidWstr-Pair", hr);
      if (FAILED(hr)) return hr;
      attributes->push_back({GetObjectID(ReplaceWchar(pair[0])), std::move(pair[1])});
    }
  } catch (const std::bad_alloc&) {
    return TracedStatus(kName, u"New Memory", E_OUTOFMEMORY);
  }
  return S_OK;
}

HRESULT ComposeSubjectChild(const SubjectAttribute& attribute, BYTE** out, DWORD* outLen) {
  if (out == nullptr || outLen == nullptr) return E_POINTER;
  DerBuilder b;
  const HRESULT hr = AddSubjectChild(&b, attribute);
  return FAILED(hr) ? hr : DerFinish(&b, out, outLen);
}

HRESULT ComposeSubject(std::u16string_view subject, BYTE** out, DWORD* outLen) {
  static constexpr char16_t kName[] = u"ComposeSubject";
  TraceHelper trace("ComposeSubject");
  if (out == nullptr || outLen == nullptr) return E_POINTER;
  try {
    std::vector<SubjectAttribute> attributes;
    HRESULT hr = ParseSubject(subject, &attributes);
    TraceStep(kName, u"ParseSubject", hr);
    if (FAILED(hr)) return hr;

    // The text names the most specific attribute first, the encoding the
    // most general.
    DerBuilder b;
    const DerMark sequence = DerOpen(&b, kTagSequence);
    for (auto it = attributes.rbegin(); it != attributes.rend(); ++it) {
      hr = AddSubjectChild(&b, *it);
      TraceStep(kName, u"ComposeSubjectChild", hr);
      if (FAILED(hr)) return hr;
    }
    if (attributes.empty()) DerFail(&b, E_FAIL);  // a Name is never empty
    DerClose(&b, sequence);
    return TracedStatus(kName, u"ASN1Encode", DerFinish(&b, out, outLen));
  } catch (const std::bad_alloc&) {
    return TracedStatus(kName, u"New Memory", E_OUTOFMEMORY);
  }
}
