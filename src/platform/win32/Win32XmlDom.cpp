// The DOM calls over the platform's XML DOM document, which the caller
// creates with CoCreateInstance. Nodes handed out are IXMLDOMNode
// interfaces, each referenced once for the caller.
#ifdef _WIN32


#include <cstdlib>
#include <cstring>

#include "platform/win32/Win32Table.h"

#include <msxml2.h>

namespace {

IXMLDOMNode* AsNode(KlXmlNode* node) { return reinterpret_cast<IXMLDOMNode*>(node); }
KlXmlNode* AsHandle(IXMLDOMNode* node) { return reinterpret_cast<KlXmlNode*>(node); }

// A heap copy of a BSTR's text, freed with XmlFreeText; consumes the BSTR.
HRESULT TakeText(BSTR text, char16_t** out) {
  const UINT n = SysStringLen(text);
  auto* copy = static_cast<char16_t*>(std::calloc(n + 1, sizeof(char16_t)));
  if (copy == nullptr) {
    SysFreeString(text);
    return E_OUTOFMEMORY;
  }
  if (n) std::memcpy(copy, text, n * sizeof(char16_t));
  SysFreeString(text);
  *out = copy;
  return S_OK;
}

// loadXML, synchronous and without white-space-only text; a text that
// does not parse is a failure (loadXML itself answers S_FALSE).
HRESULT XmlLoad(KlXmlNode* document, const char16_t* text) {
  if (text == nullptr || document == nullptr) return E_INVALIDARG;
  IXMLDOMDocument* doc = nullptr;
  HRESULT hr = AsNode(document)->QueryInterface(IID_IXMLDOMDocument, reinterpret_cast<void**>(&doc));
  if (FAILED(hr)) return hr;
  doc->put_async(VARIANT_FALSE);
  doc->put_preserveWhiteSpace(VARIANT_FALSE);
  BSTR source = SysAllocString(W(text));
  if (source == nullptr) {
    doc->Release();
    return E_OUTOFMEMORY;
  }
  VARIANT_BOOL loaded = VARIANT_FALSE;
  hr = doc->loadXML(source, &loaded);
  SysFreeString(source);
  doc->Release();
  if (FAILED(hr)) return hr;
  return loaded == VARIANT_TRUE ? S_OK : HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
}

HRESULT XmlLastChild(KlXmlNode* node, KlXmlNode** child) {
  if (node == nullptr || child == nullptr) return E_INVALIDARG;
  IXMLDOMNode* last = nullptr;
  const HRESULT hr = AsNode(node)->get_lastChild(&last);
  *child = AsHandle(last);
  return hr;
}

HRESULT XmlChildCount(KlXmlNode* node, long* count) {
  if (node == nullptr || count == nullptr) return E_INVALIDARG;
  IXMLDOMNodeList* list = nullptr;
  HRESULT hr = AsNode(node)->get_childNodes(&list);
  if (FAILED(hr)) return hr;
  hr = list->get_length(count);
  list->Release();
  return hr;
}

HRESULT XmlChildAt(KlXmlNode* node, long index, KlXmlNode** child) {
  if (node == nullptr || child == nullptr) return E_INVALIDARG;
  *child = nullptr;
  IXMLDOMNodeList* list = nullptr;
  HRESULT hr = AsNode(node)->get_childNodes(&list);
  if (FAILED(hr)) return hr;
  IXMLDOMNode* item = nullptr;
  hr = list->get_item(index, &item);
  list->Release();
  if (FAILED(hr)) return hr;
  *child = AsHandle(item);
  return item ? S_OK : S_FALSE;
}

HRESULT XmlNodeName(KlXmlNode* node, char16_t** name) {
  if (node == nullptr || name == nullptr) return E_INVALIDARG;
  BSTR text = nullptr;
  const HRESULT hr = AsNode(node)->get_nodeName(&text);
  if (FAILED(hr)) return hr;
  return TakeText(text, name);
}

HRESULT XmlText(KlXmlNode* node, char16_t** value) {
  if (node == nullptr || value == nullptr) return E_INVALIDARG;
  BSTR text = nullptr;
  const HRESULT hr = AsNode(node)->get_text(&text);
  if (FAILED(hr)) return hr;
  return TakeText(text, value);
}

}  // namespace

void Win32FillXmlDom(Platform& t) {
  t.XmlLoad = &XmlLoad;
  t.XmlLastChild = &XmlLastChild;
  t.XmlChildAt = &XmlChildAt;
  t.XmlChildCount = &XmlChildCount;
  t.XmlNodeName = &XmlNodeName;
  t.XmlText = &XmlText;
  t.XmlFreeText = [](char16_t* text) { std::free(text); };
  t.XmlRelease = [](KlXmlNode* node) {
    if (node) AsNode(node)->Release();
  };
}

#endif  // _WIN32
