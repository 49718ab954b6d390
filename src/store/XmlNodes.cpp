// The DOM readers of the chain documents over the platform table.
#include "store/XmlNodes.h"

#include <cstring>
#include <string>

#include "base/Status.h"
#include "encoding/Base64.h"
#include "encoding/Buffer.h"
#include "encoding/TextConversion.h"
#include "encoding/Unicode.h"
#include "trace/Trace.h"

TRACE_COMPONENT("XmlNodes");

namespace {

// The version-independent DOM document class and its document interface,
// spelled out: the platform headers name them but no import library of the
// Windows build defines them.
constexpr CLSID kDomDocumentClass = {0xF6D90F11, 0x9C73, 0x11D3,
                                     {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
constexpr IID kDomDocumentInterface = {0x2933BF81, 0x7B36, 0x11D2,
                                       {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// A text buffer of the DOM, released with XmlFreeText.
struct DomText {
  char16_t* value = nullptr;
  DomText() = default;
  DomText(const DomText&) = delete;
  DomText& operator=(const DomText&) = delete;
  ~DomText() {
    if (value != nullptr) Plat().XmlFreeText(value);
  }
};

}  // namespace

bool ContainsNoCase(const char16_t* name, const char16_t* part) {
  const size_t n = WideLength(name), m = WideLength(part);
  for (size_t start = 0; start + m <= n; ++start) {
    size_t i = 0;
    while (i < m && AsciiLower(name[start + i]) == AsciiLower(part[i])) ++i;
    if (i == m) return true;
  }
  return false;
}

HRESULT LoadXMLDom(const BYTE* data, DWORD size, KlXmlNode** document) {
  static constexpr char16_t kName[] = u"LoadXMLDom";
  TraceHelper trace("LoadXMLDom");
  if (data == nullptr || document == nullptr)
    return TracedStatus(kName, u"check parameter", E_INVALIDARG);
  const Platform& p = Plat();
  void* created = nullptr;
  HRESULT hr = p.CoCreateInstance(kDomDocumentClass, nullptr, CLSCTX_INPROC_SERVER,
                                  kDomDocumentInterface, &created);
  TraceStep(kName, u"LoadXMLDom-CoCreateInstance", hr);
  if (FAILED(hr)) return hr;
  XmlNodeHolder doc;
  doc.value = static_cast<KlXmlNode*>(created);

  // The text ends with a zero byte whatever the resource holds.
  const ScopedBuffer<char> utf8(AllocZeroed<char>(static_cast<size_t>(size) + 1));
  if (!utf8) return TracedStatus(kName, u"New Memory.", E_OUTOFMEMORY);
  std::memcpy(utf8.get(), data, size);
  char16_t* wideRaw = nullptr;
  DWORD wideLength = 0;
  hr = UTF8ToUTF16(utf8.get(), &wideRaw, &wideLength);
  const ScopedBuffer<char16_t> wide(wideRaw);
  TraceStep(kName, u"LoadXMLDom-UTF8ToUTF16", hr);
  if (FAILED(hr)) return hr;

  // Whatever the DOM reports for a text that does not parse, the document
  // is refused as a document.
  hr = p.XmlLoad(doc.value, wide.get());
  if (hr != S_OK) {
    TRACE_FAILURE(static_cast<uint32_t>(hr));
    hr = KL_E_XML_PARSE;
  }
  TraceStep(kName, u"LoadXMLDom-loadXML", hr);
  if (FAILED(hr)) return hr;
  *document = doc.value;
  doc.value = nullptr;
  return S_OK;
}

HRESULT GetXMLRootNode(KlXmlNode* document, KlXmlNode** root) {
  TraceHelper trace("GetXMLRootNode");
  if (document == nullptr || root == nullptr) return E_INVALIDARG;
  KlXmlNode* last = nullptr;
  const HRESULT hr = Plat().XmlLastChild(document, &last);
  if (FAILED(hr)) return hr;
  if (last == nullptr) return KL_E_XML_PARSE;
  DomText name;
  if (SUCCEEDED(Plat().XmlNodeName(last, &name.value))) TRACE_VALUE(name.value);
  *root = last;
  return S_OK;
}

HRESULT FindChildNode(KlXmlNode* node, const char16_t* name, KlXmlNode** child) {
  static constexpr char16_t kName[] = u"FindChildNode";
  TraceHelper trace("FindChildNode");
  if (node == nullptr || name == nullptr || child == nullptr)
    return TracedStatus(kName, u"check parameter.", E_INVALIDARG);
  const Platform& p = Plat();
  long count = 0;
  HRESULT hr = p.XmlChildCount(node, &count);
  if (FAILED(hr)) return hr;
  for (long i = 0; i < count; ++i) {
    XmlNodeHolder item;
    hr = p.XmlChildAt(node, i, &item.value);
    if (FAILED(hr)) return hr;
    if (item.value == nullptr) break;
    DomText itemName;
    hr = p.XmlNodeName(item.value, &itemName.value);
    if (FAILED(hr)) return hr;
    if (ContainsNoCase(itemName.value, name)) {
      *child = item.value;
      item.value = nullptr;
      return S_OK;
    }
  }
  TRACE_VALUE(name);
  return KL_E_XML_PARSE;
}

HRESULT GetNodeValue(KlXmlNode* node, char16_t** text) {
  TraceHelper trace("GetNodeValue");
  if (node == nullptr || text == nullptr) return E_INVALIDARG;
  DomText content;
  const HRESULT hr = Plat().XmlText(node, &content.value);
  if (FAILED(hr)) return hr;
  const size_t length = WideLength(content.value);
  char16_t* copy = AllocZeroed<char16_t>(length + 1);
  if (copy == nullptr) return TracedStatus(u"GetNodeValue", u"New Memory.\n", E_OUTOFMEMORY);
  if (length != 0) std::memcpy(copy, content.value, length * sizeof(char16_t));
  *text = copy;
  return S_OK;
}

HRESULT DecodeBase64Text(const char16_t* function, const char16_t* text, ScopedBuffer<>* bytes,
                         LONG* count) {
  if (text == nullptr || bytes == nullptr || count == nullptr) return E_INVALIDARG;
  const std::u16string prefix = std::u16string(function) + u"-";
  char* utf8Raw = nullptr;
  DWORD utf8Length = 0;
  HRESULT hr = UTF16ToUTF8(text, &utf8Raw, &utf8Length);
  const ScopedBuffer<char> utf8(utf8Raw);
  TraceStep(function, (prefix + u"UTF16ToUTF8").c_str(), hr);
  if (FAILED(hr)) return hr;
  BYTE* decoded = nullptr;
  hr = Base64DecodeEx(utf8.get(), static_cast<LONG>(utf8Length), &decoded, count);
  bytes->reset(decoded);
  TraceStep(function, (prefix + u"Base64DecodeEx").c_str(), hr);
  return hr;
}
