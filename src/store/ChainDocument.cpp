// Installation of a root chain document: the resource copy, the DOM, and
// the order of its two parts (roots first, then the bundle).
#include "store/ChainDocument.h"

#include <cstring>

#include "base/Status.h"
#include "encoding/Buffer.h"
#include "store/CaBundle.h"
#include "store/RootEntries.h"
#include "store/XmlNodes.h"
#include "trace/Trace.h"

TRACE_COMPONENT("ChainDocument");

HRESULT LoadModuleResource(HMODULE module, const char16_t* type, WORD id, BYTE** data,
                           DWORD* size) {
  static constexpr char16_t kName[] = u"LoadModuleResource";
  TraceHelper trace("LoadModuleResource");
  if (type == nullptr || data == nullptr || size == nullptr) return E_INVALIDARG;
  const Platform& p = Plat();
  // The id as an integer resource name.
  const char16_t* name = reinterpret_cast<const char16_t*>(static_cast<ULONG_PTR>(id));
  HRSRC resource = p.FindResourceW(module, name, type);
  if (resource == nullptr)
    return TracedStatus(kName, u"FindResource FAILED.", FailedCallStatusFullRule());
  const DWORD length = p.SizeofResource(module, resource);
  if (length == 0)
    return TracedStatus(kName, u"SizeofResource FAILED.", FailedCallStatusFullRule());
  HGLOBAL loaded = p.LoadResource(module, resource);
  const void* bytes = loaded != nullptr ? p.LockResource(loaded) : nullptr;
  if (bytes == nullptr)
    return TracedStatus(kName, u"LoadResource FAILED.", FailedCallStatusFullRule());
  BYTE* copy = AllocZeroed(length);
  if (copy == nullptr) return TracedStatus(kName, u"Dispatch memory failed.", E_OUTOFMEMORY);
  std::memcpy(copy, bytes, length);
  *data = copy;
  *size = length;
  return S_OK;
}

HRESULT ImportCertificateChainfromBlobData(const BYTE* data, DWORD size) {
  static constexpr char16_t kName[] = u"ImportCertificateChainfromBlobData";
  TraceHelper trace("ImportCertificateChainfromBlobData");
  XmlNodeHolder document;
  HRESULT hr = LoadXMLDom(data, size, &document.value);
  TraceStep(kName, u"ImportCertificateChainfromBlobData-LoadXMLDom", hr);
  if (FAILED(hr)) return hr;
  hr = ImportCertChainfromXMLDOMDoc(document.value);
  TraceStep(kName, u"ImportCertificateChainfromBlobData-ImportCertChainfromXMLDOMDoc", hr);
  return hr;
}

HRESULT ImportCertChainfromXMLDOMDoc(KlXmlNode* document) {
  static constexpr char16_t kName[] = u"ImportCertChainfromXMLDOMDoc";
  TraceHelper trace("ImportCertChainfromXMLDOMDoc");
  XmlNodeHolder root, roots, bundle;
  HRESULT hr = GetXMLRootNode(document, &root.value);
  TraceStep(kName, u"ImportCertChainfromXMLDOMDoc-GetXMLRootNode", hr);
  if (FAILED(hr)) return hr;
  hr = FindChildNode(root.value, u"RootCACertificate", &roots.value);
  TraceStep(kName, u"ImportCertChainfromXMLDOMDoc-FindChildNode", hr);
  if (FAILED(hr)) return hr;
  hr = ParseRootCACertificateNode(roots.value);
  TraceStep(kName, u"ImportCertChainfromXMLDOMDoc-ParseRootCACertificateNode", hr);
  if (FAILED(hr)) return hr;
  hr = FindChildNode(root.value, u"P7bContent", &bundle.value);
  if (SUCCEEDED(hr)) hr = ParseP7bContentNode(bundle.value);
  TraceStep(kName, u"ImportCertChainfromXMLDOMDoc-FindChildNode", hr);
  return FAILED(hr) ? hr : S_OK;
}
