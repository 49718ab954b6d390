// Root entries of a chain document written straight into the registry.
#include "store/RootEntries.h"

#include <string>

#include "base/Status.h"
#include "encoding/Unicode.h"
#include "store/XmlNodes.h"
#include "trace/Trace.h"

TRACE_COMPONENT("RootEntries");

namespace {

struct RegKey {
  HKEY value = nullptr;
  RegKey() = default;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  ~RegKey() {
    if (value != nullptr) Plat().RegCloseKey(value);
  }
};

bool IsWhiteSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// `text` without surrounding spaces, tabs and line breaks.
std::u16string Trimmed(const char16_t* text) {
  size_t begin = 0, end = WideLength(text);
  while (begin < end && IsWhiteSpace(text[begin])) ++begin;
  while (end > begin && IsWhiteSpace(text[end - 1])) --end;
  return std::u16string(text + begin, end - begin);
}

}  // namespace

HRESULT ParseRootCACertificateNode(KlXmlNode* node) {
  TraceHelper trace("ParseRootCACertificateNode");
  if (node == nullptr) return E_INVALIDARG;
  const Platform& p = Plat();
  long count = 0;
  HRESULT hr = p.XmlChildCount(node, &count);
  if (FAILED(hr)) return hr;
  for (long i = 0; i < count; ++i) {
    XmlNodeHolder child;
    hr = p.XmlChildAt(node, i, &child.value);
    if (SUCCEEDED(hr)) hr = child.value != nullptr ? ParseCertificateNode(child.value) : E_FAIL;
    TraceStep(u"ParseRootCACertificateNode", u"ParseRootCACertificateNode-ParseCertificateNode",
              hr);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT ParseCertificateNode(KlXmlNode* node) {
  static constexpr char16_t kName[] = u"ParseCertificateNode";
  TraceHelper trace("ParseCertificateNode");
  RegeditInfo entry;
  HRESULT hr = GetRegisteredCertificateInfoNode(node, &entry);
  TraceStep(kName, u"ParseCertificateNode-GetRegisteredCertificateInfoNode", hr);
  if (FAILED(hr)) return hr;
  hr = WriteCertificatetoRegistry(entry);
  TraceStep(kName, u"ParseCertificateNode-WriteCertificatetoRegistry", hr);
  return hr;
}

HRESULT GetRegisteredCertificateInfoNode(KlXmlNode* node, RegeditInfo* entry) {
  TraceHelper trace("GetRegisteredCertificateInfoNode");
  if (node == nullptr || entry == nullptr) return E_INVALIDARG;
  const Platform& p = Plat();
  long count = 0;
  HRESULT hr = p.XmlChildCount(node, &count);
  if (FAILED(hr)) return hr;
  if (count < 3)
    return TracedStatus(u"GetRegisteredCertificateInfoNode",
                        u"the number of RegeditInfo Child Node is error!", KL_E_XML_PARSE);
  ScopedBuffer<char16_t>* fields[] = {&entry->ImportPath, &entry->EntryPoint, &entry->Content};
  for (long i = 0; i < 3; ++i) {
    XmlNodeHolder child;
    hr = p.XmlChildAt(node, i, &child.value);
    if (FAILED(hr)) return hr;
    char16_t* text = nullptr;
    hr = GetNodeValue(child.value, &text);
    if (FAILED(hr)) return hr;
    fields[i]->reset(text);
  }
  return S_OK;
}

HRESULT WriteCertificatetoRegistry(const RegeditInfo& entry) {
  static constexpr char16_t kName[] = u"WriteCertificatetoRegistry";
  TraceHelper trace("WriteCertificatetoRegistry");
  if (!entry.ImportPath || !entry.EntryPoint || !entry.Content) return E_INVALIDARG;
  ScopedBuffer<> blob;
  LONG length = 0;
  HRESULT hr = DecodeBase64Text(kName, entry.Content.get(), &blob, &length);
  if (FAILED(hr)) return hr;
  const std::u16string path = Trimmed(entry.ImportPath.get());
  const std::u16string name = Trimmed(entry.EntryPoint.get());
  TRACE_VALUE(path.c_str(), name.c_str());
  hr = RegWriteBinaryValue(HKEY_LOCAL_MACHINE, path.c_str(), name.c_str(), blob.get(),
                           static_cast<DWORD>(length));
  TraceStep(kName, u"WriteCertificatetoRegistry-RegWriteBinaryValue", hr);
  return hr;
}

HRESULT RegWriteBinaryValue(HKEY hive, const char16_t* path, const char16_t* name,
                            const BYTE* bytes, DWORD size) {
  static constexpr char16_t kName[] = u"RegWriteBinaryValue";
  TraceHelper trace("RegWriteBinaryValue");
  if (path == nullptr || name == nullptr || (bytes == nullptr && size != 0)) return E_INVALIDARG;
  const Platform& p = Plat();
  RegKey key, entry;
  LSTATUS rc = p.RegOpenKeyExW(hive, path, 0, KEY_ALL_ACCESS, &key.value);
  if (rc != ERROR_SUCCESS)
    return TracedStatus(kName, u"RegOpenKeyEx FAILED.", StatusFromErrorWin32Rule(rc));
  char16_t noClass[] = u"";
  rc = p.RegCreateKeyExW(key.value, name, 0, noClass, 0, KEY_READ | KEY_WRITE, nullptr,
                         &entry.value, nullptr);
  if (rc != ERROR_SUCCESS)
    return TracedStatus(kName, u"RegCreateKeyEx FAILED.", StatusFromErrorWin32Rule(rc));
  rc = p.RegSetValueExW(entry.value, u"Blob", 0, REG_BINARY, bytes, size);
  if (rc != ERROR_SUCCESS)
    return TracedStatus(kName, u"RegSetValueEx FAILED.", StatusFromErrorWin32Rule(rc));
  return S_OK;
}
