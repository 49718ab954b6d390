// The XML DOM over libxml2, with the platform DOM's node model: children in
// document order, comments and processing instructions as nodes,
// white-space-only text dropped, text content as the concatenation of the
// descendants' text. The XML declaration, which libxml2 keeps apart, is
// shown as the processing instruction "xml" it is in the platform's DOM.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "encoding/Unicode.h"
#include "platform/soft/system/SoftComObject.h"
#include "platform/soft/SoftTable.h"

struct KlXmlNode {
  SoftComObject com;
  std::shared_ptr<xmlDoc> doc;  // null: nothing loaded
  xmlNode* node = nullptr;      // null with a document: the document itself
  std::string declaration;      // the "xml" instruction's text, when this is it
  bool isDeclaration = false;
};

namespace {

void DestroyNode(SoftComObject* self) { delete reinterpret_cast<KlXmlNode*>(self); }

KlXmlNode* NewNode() {
  auto* n = new KlXmlNode;
  n->com.destroy = &DestroyNode;
  return n;
}

bool IsBlankText(const xmlNode* n) {
  if (n->type != XML_TEXT_NODE) return false;
  for (const xmlChar* p = n->content; p != nullptr && *p; ++p)
    if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') return false;
  return true;
}

bool Counts(const xmlNode* n) {
  switch (n->type) {
    case XML_ELEMENT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
    case XML_ENTITY_REF_NODE:
      return true;
    case XML_TEXT_NODE:
      return !IsBlankText(n);
    default:
      return false;
  }
}

xmlNode* FirstChildOf(const KlXmlNode* n) {
  if (n->doc == nullptr || n->isDeclaration) return nullptr;
  return n->node == nullptr ? n->doc->children : n->node->children;
}

// The declaration counts as the document's first child when the text had one.
bool HasDeclaration(const KlXmlNode* n) {
  return n->node == nullptr && !n->isDeclaration && !n->declaration.empty();
}

std::vector<xmlNode*> ChildrenOf(const KlXmlNode* n) {
  std::vector<xmlNode*> out;
  for (xmlNode* c = FirstChildOf(n); c != nullptr; c = c->next)
    if (Counts(c)) out.push_back(c);
  return out;
}

KlXmlNode* Wrap(const KlXmlNode* parent, xmlNode* child) {
  KlXmlNode* n = NewNode();
  n->doc = parent->doc;
  n->node = child;
  return n;
}

KlXmlNode* WrapDeclaration(const KlXmlNode* document) {
  KlXmlNode* n = NewNode();
  n->doc = document->doc;
  n->isDeclaration = true;
  n->declaration = document->declaration;
  return n;
}

HRESULT GiveText(const std::u16string& text, char16_t** out) {
  if (out == nullptr) return E_POINTER;
  *out = new (std::nothrow) char16_t[text.size() + 1];
  if (*out == nullptr) return E_OUTOFMEMORY;
  std::memcpy(*out, text.data(), text.size() * sizeof(char16_t));
  (*out)[text.size()] = 0;
  return S_OK;
}

std::u16string FromXml(const xmlChar* s) {
  return s == nullptr ? std::u16string() : Utf8ToUtf16(reinterpret_cast<const char*>(s));
}

// The text between "<?xml" and "?>" at the start, trimmed; empty when the
// text has no declaration.
std::string DeclarationOf(const std::string& text) {
  if (text.compare(0, 5, "<?xml") != 0 || text.size() < 6 ||
      std::strchr(" \t\r\n", text[5]) == nullptr)
    return {};
  const size_t end = text.find("?>");
  if (end == std::string::npos) return {};
  std::string body = text.substr(5, end - 5);
  const size_t a = body.find_first_not_of(" \t\r\n");
  const size_t b = body.find_last_not_of(" \t\r\n");
  return a == std::string::npos ? std::string() : body.substr(a, b - a + 1);
}

HRESULT XmlLoadImpl(KlXmlNode* document, const char16_t* text) {
  if (document == nullptr || text == nullptr) return E_INVALIDARG;
  if (document->node != nullptr || document->isDeclaration) return E_INVALIDARG;
  document->doc.reset();
  document->declaration.clear();
  const std::string utf8 = Utf16ToUtf8(text);
  // No network, no external entities, no entity expansion: the text alone.
  xmlDoc* doc = xmlReadMemory(utf8.data(), static_cast<int>(utf8.size()), nullptr, "UTF-8",
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr || xmlDocGetRootElement(doc) == nullptr) {
    if (doc != nullptr) xmlFreeDoc(doc);
    return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  }
  document->doc.reset(doc, &xmlFreeDoc);
  document->declaration = DeclarationOf(utf8);
  return S_OK;
}

HRESULT XmlChildCountImpl(KlXmlNode* node, long* count) {
  if (node == nullptr || count == nullptr) return E_INVALIDARG;
  *count = static_cast<long>(ChildrenOf(node).size()) + (HasDeclaration(node) ? 1 : 0);
  return S_OK;
}

HRESULT XmlChildAtImpl(KlXmlNode* node, long index, KlXmlNode** child) {
  if (child == nullptr) return E_POINTER;
  *child = nullptr;
  if (node == nullptr) return E_INVALIDARG;
  if (index < 0) return E_INVALIDARG;
  if (HasDeclaration(node)) {
    if (index == 0) return *child = WrapDeclaration(node), S_OK;
    --index;
  }
  const std::vector<xmlNode*> children = ChildrenOf(node);
  if (static_cast<size_t>(index) >= children.size()) return S_FALSE;
  *child = Wrap(node, children[static_cast<size_t>(index)]);
  return S_OK;
}

HRESULT XmlLastChildImpl(KlXmlNode* node, KlXmlNode** child) {
  if (child == nullptr) return E_POINTER;
  *child = nullptr;
  if (node == nullptr) return E_INVALIDARG;
  const std::vector<xmlNode*> children = ChildrenOf(node);
  if (!children.empty()) return *child = Wrap(node, children.back()), S_OK;
  if (HasDeclaration(node)) return *child = WrapDeclaration(node), S_OK;
  return S_FALSE;
}

HRESULT XmlNodeNameImpl(KlXmlNode* node, char16_t** name) {
  if (node == nullptr) return E_INVALIDARG;
  if (node->isDeclaration) return GiveText(u"xml", name);
  if (node->node == nullptr) return GiveText(u"#document", name);
  const xmlNode* n = node->node;
  switch (n->type) {
    case XML_TEXT_NODE: return GiveText(u"#text", name);
    case XML_CDATA_SECTION_NODE: return GiveText(u"#cdata-section", name);
    case XML_COMMENT_NODE: return GiveText(u"#comment", name);
    default: break;
  }
  std::u16string qualified = FromXml(n->name);
  if (n->type == XML_ELEMENT_NODE && n->ns != nullptr && n->ns->prefix != nullptr)
    qualified = FromXml(n->ns->prefix) + u":" + qualified;
  return GiveText(qualified, name);
}

HRESULT XmlTextImpl(KlXmlNode* node, char16_t** text) {
  if (node == nullptr) return E_INVALIDARG;
  if (node->isDeclaration) return GiveText(Utf8ToUtf16(node->declaration), text);
  if (node->doc == nullptr) return GiveText(u"", text);
  xmlNode* n = node->node != nullptr ? node->node : xmlDocGetRootElement(node->doc.get());
  xmlChar* content = xmlNodeGetContent(n);
  std::u16string value = FromXml(content);
  xmlFree(content);
  // The platform DOM does not preserve white space: an element's text
  // loses the white space at both ends (comments keep theirs).
  if (n != nullptr && n->type == XML_ELEMENT_NODE) {
    const size_t first = value.find_first_not_of(u" \t\r\n");
    value = first == std::u16string::npos
                ? std::u16string()
                : value.substr(first, value.find_last_not_of(u" \t\r\n") - first + 1);
  }
  return GiveText(value, text);
}

void XmlFreeTextImpl(char16_t* text) { delete[] text; }

void XmlReleaseImpl(KlXmlNode* node) {
  if (node != nullptr) SoftComRelease(&node->com);
}

}  // namespace

SoftComObject* SoftNewXmlDocument() { return &NewNode()->com; }

void SoftFillXmlDom(Platform& t) {
  t.XmlLoad = &XmlLoadImpl;
  t.XmlLastChild = &XmlLastChildImpl;
  t.XmlChildAt = &XmlChildAtImpl;
  t.XmlChildCount = &XmlChildCountImpl;
  t.XmlNodeName = &XmlNodeNameImpl;
  t.XmlText = &XmlTextImpl;
  t.XmlFreeText = &XmlFreeTextImpl;
  t.XmlRelease = &XmlReleaseImpl;
}
