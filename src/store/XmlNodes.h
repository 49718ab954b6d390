// Reading the chain documents through the platform's XML DOM: loading the
// text, the document element, children found by name, and node text.
// Shared by the installation and the chain check.
#pragma once

#include "base/Platform.h"
#include "encoding/Buffer.h"

// Owns one DOM document or node of the platform (null means none) and
// releases it with XmlRelease when it leaves scope.
struct XmlNodeHolder {
  KlXmlNode* value = nullptr;
  XmlNodeHolder() = default;
  XmlNodeHolder(const XmlNodeHolder&) = delete;
  XmlNodeHolder& operator=(const XmlNodeHolder&) = delete;
  ~XmlNodeHolder() {
    if (value != nullptr) Plat().XmlRelease(value);
  }
};

// Creates a DOM document (CoCreateInstance of the DOM class; the caller
// has initialized COM) and loads `size` octets of UTF-8 `data` into it. On
// success `*document` is a new document that the caller releases with
// XmlRelease. Returns 0; 0x80070057 for missing data or output; the
// status of CoCreateInstance or of the text conversion; 0xA0071402 when
// the text does not parse as XML (then no document is handed out).
HRESULT LoadXMLDom(const BYTE* data, DWORD size, KlXmlNode** document);

// The document's last child node, its document element, in `*root`
// (the caller releases it). Returns 0; 0x80070057 for missing arguments;
// 0xA0071402 when the document has no child node.
HRESULT GetXMLRootNode(KlXmlNode* document, KlXmlNode** root);

// The first child of `node` whose name contains `name` (compared without
// regard to letter case), in `*child` (the caller releases it). Returns 0;
// 0x80070057 for missing arguments; 0xA0071402 when `node` has no children
// or none matches (`*child` is then left unset); a DOM failure's status.
HRESULT FindChildNode(KlXmlNode* node, const char16_t* name, KlXmlNode** child);

// The text content of `node` (its own and its descendants' text,
// concatenated) in a new zero-terminated buffer of AllocZeroed that the
// caller releases with FreeBuffer. Returns 0; 0x80070057 for a missing
// node or output; 0x8007000E when the copy cannot be allocated; a DOM
// failure's status.
HRESULT GetNodeValue(KlXmlNode* node, char16_t** text);

// Whether `name` contains `part`, ASCII letters compared without regard to
// case (other characters exactly). Empty `part` is found in any name.
bool ContainsNoCase(const char16_t* name, const char16_t* part);

// The octets of the Base64 `text` (UTF-16; white space and line breaks
// skipped) in `*bytes` (replacing what it held), `*count` of them. Steps
// are traced as "<function>-UTF16ToUTF8" and "<function>-Base64DecodeEx".
// Returns 0 or the failing conversion's status (E_FAIL for an empty text).
HRESULT DecodeBase64Text(const char16_t* function, const char16_t* text, ScopedBuffer<>* bytes,
                         LONG* count);
